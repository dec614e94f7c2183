#pragma once
// The on-disk structures of a PST file in each of its layouts (ANSI; Unicode with 512-byte
// pages or 4 KiB ones): the header and its ROOT, page and block trailers, B-tree pages,
// internal blocks, the CRC, the signature and the block encodings. Readers and builders take
// the layout's geometry (the Unicode one by default). Pure functions
// over byte spans: no I/O, no state. Offsets and sizes are in bytes.

#include <array>
#include <bit>
#include <cstring>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "format/layout.h"

namespace kestrix::pst {

using Bytes = std::span<const std::byte>;

// The Unicode layout's geometry, the one everything below reads and writes unless given another.
inline constexpr std::size_t kPageSize = kUnicodeGeometry.pageSize;
inline constexpr std::size_t kPageTrailerAt = kUnicodeGeometry.pageTrailerAt();  // the trailer ends a page
inline constexpr std::size_t kBlockTrailerSize = kUnicodeGeometry.blockTrailer.size;
inline constexpr std::size_t kMaxBlockSize = kUnicodeGeometry.maxBlockSize;  // a block with its trailer, 64-byte aligned
inline constexpr std::size_t kMaxBlockData = kUnicodeGeometry.maxBlockData();
inline constexpr std::int64_t kFirstAMapOffset = kUnicodeGeometry.firstMapOffset;
inline constexpr std::int64_t kIntervalBytes = kUnicodeGeometry.mapInterval;
inline constexpr std::size_t kHeaderSize = kUnicodeGeometry.header.size;  // the Unicode HEADER structure
static_assert(kPageSize == 512 && kPageTrailerAt == 496 && kBlockTrailerSize == 16 && kMaxBlockSize == 8192 &&
              kFirstAMapOffset == 0x4400 && kIntervalBytes == 0x3E000 && kHeaderSize == 564);

enum PageType : std::uint8_t {
  kPageBlockTree = 0x80,
  kPageNodeTree = 0x81,
  kPageFreeMap = 0x82,
  kPagePageMap = 0x83,
  kPageAllocMap = 0x84,
  kPageFreePageMap = 0x85,
  kPageDensityList = 0x86,
};

enum class Encoding : std::uint8_t { None = 0, Permute = 1, Cyclic = 2 };

// Node IDs: the low 5 bits are the type.
inline constexpr std::uint32_t kNidTypeMask = 0x1F;
inline constexpr std::uint32_t kNidTypeFolder = 0x02;
inline constexpr std::uint32_t kNidTypeMessage = 0x04;
inline constexpr std::uint32_t kNidTypeHierarchyTable = 0x0D;  // a folder's subfolders
inline constexpr std::uint32_t kNidTypeContentsTable = 0x0E;   // a folder's messages
inline constexpr std::uint32_t kNidMessageStore = 0x21;
inline constexpr std::uint32_t kNidRootFolder = 0x122;
inline constexpr std::uint32_t nidType(std::uint64_t nid) { return std::uint32_t(nid) & kNidTypeMask; }

// Block IDs: bit 1 marks an internal block (data or subnode tree), which is never encoded;
// bit 0 is reserved and ignored when blocks are looked up.
inline constexpr std::uint64_t blockKey(std::uint64_t bid) { return bid & ~std::uint64_t(1); }
inline constexpr bool isInternalBid(std::uint64_t bid) { return (bid & 2) != 0; }

// Little-endian access; the caller guarantees the bytes exist.
static_assert(std::endian::native == std::endian::little, "the format is little-endian, and so must the host be");
template <typename T>
inline T loadLe(Bytes b, std::size_t at) {
  T v;
  std::memcpy(&v, b.data() + at, sizeof v);
  return v;
}
inline std::uint16_t le16(Bytes b, std::size_t at) { return loadLe<std::uint16_t>(b, at); }
inline std::uint32_t le32(Bytes b, std::size_t at) { return loadLe<std::uint32_t>(b, at); }
inline std::uint64_t le64(Bytes b, std::size_t at) { return loadLe<std::uint64_t>(b, at); }
void putLe16(std::span<std::byte> b, std::size_t at, std::uint16_t v);
void putLe32(std::span<std::byte> b, std::size_t at, std::uint32_t v);
void putLe64(std::span<std::byte> b, std::size_t at, std::uint64_t v);

// The format's CRC-32: reflected polynomial 0xEDB88320, start value as given (0 for the
// format's own CRCs), no final inversion. Uses carry-less multiplication where the processor
// has it; the result is the same either way.
std::uint32_t crc(Bytes data, std::uint32_t start = 0);
// The table-driven CRC alone, as the reference the fast path is tested against.
std::uint32_t crcByTable(Bytes data, std::uint32_t start = 0);

// The 16-bit signature of a tree page or block: derived from its file offset and BID.
std::uint16_t signature(std::uint64_t offset, std::uint64_t bid);

// Decodes (or encodes: both encodings are their own inverse in the direction needed) the
// data of an external block in place. Cyclic takes the low 32 bits of the block's BID.
void decodeBlock(std::span<std::byte> data, Encoding encoding, std::uint64_t bid);
void encodeBlock(std::span<std::byte> data, Encoding encoding, std::uint64_t bid);

struct BlockRef {
  std::uint64_t bid = 0;
  std::uint64_t offset = 0;
  friend bool operator==(const BlockRef&, const BlockRef&) = default;
};

// The fields of the HEADER that recovery reads or writes: the Unicode one, or another
// layout's read into it (its 32-bit IDs and offsets widened).
struct Header {
  std::uint16_t version = 23;        // wVer: 23 Unicode; 14/15 ANSI; 36 Unicode with 4 KiB pages
  std::uint16_t clientVersion = 19;
  std::uint64_t nextPageBid = 0;     // bidNextP
  std::uint64_t nextBlockBid = 0;    // bidNextB
  std::uint32_t unique = 0;          // dwUnique
  std::array<std::uint32_t, 32> nextNid{};  // rgnid: per NID type, the next index
  std::uint64_t fileEof = 0;         // ROOT.ibFileEof
  std::uint64_t lastAMap = 0;        // ROOT.ibAMapLast
  std::uint64_t amapFree = 0;        // ROOT.cbAMapFree
  std::uint64_t pmapFree = 0;        // ROOT.cbPMapFree
  BlockRef nodeRoot;                 // ROOT.BREFNBT
  BlockRef blockRoot;                // ROOT.BREFBBT
  std::uint8_t amapValid = 0;        // ROOT.fAMapValid: 0 invalid, 1 or 2 valid
  Encoding encoding = Encoding::None;
};

enum class HeaderState {
  Missing,      // no "!BDN" magic
  NotUnicode,   // a PST of another layout (ANSI, 4 KiB pages, or an unknown version): not read
  BadCrc,       // the magic, but a CRC fails
  Sound,        // magic, Unicode, both CRCs hold
};

struct ParsedHeader {
  HeaderState state = HeaderState::Missing;
  FileLayout layout = FileLayout::Unknown;  // as the version names it
  // Filled for BadCrc (best effort) and Sound; for NotUnicode, all fields when the layout is
  // known (ANSI, 4 KiB pages), else the version only.
  Header header;
  bool crcsHold = false;            // every CRC the layout's header has holds (Unknown: false)
};

// Internal blocks (their BID has the internal bit): a data tree's (XBLOCK, XXBLOCK) lists the
// BIDs of the blocks below it; a subnode tree's leaf (SLBLOCK, level 0) lists subnodes, each
// with its data and subnode BIDs; its intermediate block (SIBLOCK, level 1) lists subnodes with
// the SLBLOCK that holds them.
inline constexpr std::uint8_t kBlockTypeData = 0x01;
inline constexpr std::uint8_t kBlockTypeSubnode = 0x02;
struct InternalEntry {
  std::uint64_t nid = 0;  // SLBLOCK, SIBLOCK
  std::uint64_t bid = 0;  // the block below: data, data-tree or SLBLOCK
  std::uint64_t sub = 0;  // SLBLOCK: the subnode's own subnode tree, 0 for none
};
struct InternalBlock {
  std::uint8_t type = 0;   // kBlockTypeData or kBlockTypeSubnode
  std::uint8_t level = 0;
  std::vector<InternalEntry> entries;
};
// The entries of an internal block of the layout `g`; nullopt when the data is none of these
// (another type, a subnode block above level 1) or its entries do not fit it.
std::optional<InternalBlock> parseInternalBlock(Bytes data, const Geometry& g = kUnicodeGeometry);

// The block IDs an internal block names: the blocks of an XBLOCK or XXBLOCK, the data and
// subnode blocks of an SLBLOCK's entries, the SLBLOCKs of an SIBLOCK. Empty for data that is
// none of these; never reads past `data`.
std::vector<std::uint64_t> internalBlockRefs(Bytes data, const Geometry& g = kUnicodeGeometry);

// Whether one 512-byte sector begins a PST header: the magic, and the CRC that covers the
// part of the header within its first sector holds. Every layout has that CRC at the same
// place (ANSI, Unicode, 4 KiB pages); a header of an unknown version is taken to have it too.
bool isHeaderSector(Bytes sector);

// Sets the header's CRCs, where its version's layout has them (an unknown version as the
// Unicode layout): the first sector's always, the whole header's when `header` holds all of
// it. For a header whose fields were set one by one.
void sealHeader(std::span<std::byte> header);

// Reads the header from its first bytes (fewer than the layout's header size give Missing;
// for an unknown version, fewer than kHeaderSize). A header of the layout `reading` is Sound
// or BadCrc; one of any other layout is NotUnicode.
ParsedHeader parseHeader(Bytes bytes, FileLayout reading = FileLayout::Unicode);

// Writes a complete HEADER of the layout `g` (g.header.size bytes) with its CRCs, over `out`,
// which must hold at least that many bytes; the version is the header's, the client magic the
// layout's (an OST's where only OSTs have the layout). Bytes the struct does not name are set
// as a new file has them (the deprecated free maps 0xFF, the rest zero), except that `keep`
// (when not empty, at least g.header.size bytes of a previous header) supplies the reserved
// and unnamed bytes.
void buildHeader(const Header& header, std::span<std::byte> out, Bytes keep = {}, const Geometry& g = kUnicodeGeometry);

struct PageTrailer {
  std::uint8_t type = 0;
  std::uint16_t sig = 0;
  std::uint32_t crc = 0;
  std::uint64_t bid = 0;
};
// The trailer of a page of the layout `g` (page holds at least g.pageSize bytes).
PageTrailer pageTrailer(Bytes page, const Geometry& g = kUnicodeGeometry);

// A page found at `offset`: valid when both type bytes agree, the CRC of the bytes before the
// trailer holds and, for tree pages, the signature matches offset and BID. CrcFailed when
// all of that holds but the CRC: one flipped bit, perhaps in bytes no field uses.
enum class PageState { Invalid, CrcFailed, Valid };
PageState pageState(Bytes page, std::uint64_t offset, const Geometry& g = kUnicodeGeometry);
inline bool isValidPage(Bytes page, std::uint64_t offset, const Geometry& g = kUnicodeGeometry) {
  return pageState(page, offset, g) == PageState::Valid;
}

// One entry of a B-tree page. Intermediate pages: key and child. Node-tree leaves: nid,
// data, sub, parent. Block-tree leaves: the block's BID and offset, its size and refcount.
struct TreeEntry {
  std::uint64_t key = 0;    // NID or BID
  BlockRef child;           // intermediate: child page; block leaf: the block itself
  std::uint64_t data = 0;   // node leaf: bidData
  std::uint64_t sub = 0;    // node leaf: bidSub
  std::uint32_t parent = 0; // node leaf: nidParent
  std::uint16_t size = 0;   // block leaf: cb
  std::uint16_t refs = 0;   // block leaf: cRef
  std::uint16_t inflated = 0;  // block leaf: the size of the data once inflated; 0 where the layout stores blocks as they are
};

struct TreePage {
  std::uint8_t type = 0;    // kPageBlockTree or kPageNodeTree
  std::uint8_t level = 0;   // 0 = leaf
  std::uint64_t bid = 0;
  std::vector<TreeEntry> entries;
};

// Parses a valid tree page (see isValidPage); nullopt when its layout is not that of a
// B-tree page of its type and level (entry size, count).
std::optional<TreePage> parseTreePage(Bytes page, const Geometry& g = kUnicodeGeometry);

// Entries that fit one page: 15 node-tree leaf entries, 20 of the other kinds (ANSI: 31 and
// 41; 4 KiB pages: 126 and 169).
std::size_t pageCapacity(std::uint8_t type, std::uint8_t level, const Geometry& g = kUnicodeGeometry);

// Lays out a tree page of the layout `g` (g.pageSize bytes) with its trailer for the given
// file offset. entries.size() must not exceed pageCapacity. Block-tree leaf entries carry
// their inflated size where the layout has the field.
std::vector<std::byte> buildTreePage(const TreePage& page, std::uint64_t offset, const Geometry& g = kUnicodeGeometry);

// A map page of the layout `g` at `offset` whose bits are `bits` (g.mapBits.size bytes; fewer
// leave the rest zero), with its trailer.
std::vector<std::byte> buildMapPage(std::uint8_t type, std::span<const std::uint8_t> bits, std::uint64_t offset,
                                    const Geometry& g = kUnicodeGeometry);

struct BlockTrailer {
  std::uint16_t size = 0;   // cb: bytes of data
  std::uint16_t sig = 0;
  std::uint32_t crc = 0;
  std::uint64_t bid = 0;
  std::uint16_t inflated = 0;  // the data's size once inflated; 0 where the layout has no such field
};
// The trailer of a block of the layout `g` (its last g.blockTrailer.size bytes).
BlockTrailer blockTrailer(Bytes trailer, const Geometry& g = kUnicodeGeometry);
// Writes a block's trailer of the layout `g` over `trailer` (g.blockTrailer.size bytes); the
// inflated size only where the layout has the field.
void putBlockTrailer(std::span<std::byte> trailer, const BlockTrailer& t, const Geometry& g = kUnicodeGeometry);

// Total length of a block holding `dataSize` bytes: data plus trailer, rounded up to the
// layout's block alignment (64 bytes in the Unicode layout).
constexpr std::size_t blockSpan(std::size_t dataSize, const Geometry& g = kUnicodeGeometry) {
  return (dataSize + g.blockTrailer.size + g.blockAlign - 1) & ~(g.blockAlign - 1);
}
static_assert(blockSpan(0) == 64 && blockSpan(48) == 64 && blockSpan(49) == 128 && blockSpan(0, kUnicode4KGeometry) == 512);

}  // namespace kestrix::pst
