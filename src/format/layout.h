#pragma once
// The geometry of each on-disk layout of a PST file: the ANSI layout (32-bit IDs and offsets),
// the Unicode layout (64-bit, 512-byte pages) and the Unicode layout with 4 KiB pages that
// offline stores use. One table says where every structure lies; the rest of the format layer
// reads through it. Offsets and sizes are in bytes.

#include <cstddef>
#include <cstdint>

namespace kestrix::pst {

enum class FileLayout : std::uint8_t { Unknown, Ansi, Unicode, Unicode4K };

// The header's version field (wVer) names the layout: 14 and 15 ANSI, 23 to 35 Unicode, 36
// Unicode with 4 KiB pages; anything else is a version no layout is known for.
inline constexpr std::size_t kHeaderVersionAt = 10;
constexpr FileLayout layoutOf(std::uint16_t version) {
  if (version == 14 || version == 15) return FileLayout::Ansi;
  if (version >= 23 && version < 36) return FileLayout::Unicode;
  if (version == 36) return FileLayout::Unicode4K;
  return FileLayout::Unknown;
}

// A field: where it lies and how many bytes it takes (IDs and offsets are 4 or 8 bytes wide).
struct Field {
  std::size_t at = 0;
  std::size_t size = 0;
};

struct HeaderGeometry {
  std::size_t size = 0;               // bytes of the HEADER structure
  std::size_t crcPartialAt = 4;       // dwCRCPartial, over crcPartialLength bytes from byte 8
  std::size_t crcPartialLength = 471;
  std::size_t crcFullAt = 0;          // dwCRCFull over crcFullLength bytes from byte 8; 0: none
  std::size_t crcFullLength = 0;
  std::size_t clientVersionAt = 12;
  Field nextBlockBid, nextPageBid;    // bidNextB, bidNextP
  std::size_t uniqueAt = 0;           // dwUnique
  std::size_t nextNidAt = 0;          // rgnid[32]
  std::size_t freeMapsAt = 0;         // rgbFM and rgbFP, 256 bytes, deprecated: a new file has 0xFF
  std::size_t rootAt = 0;             // the ROOT structure; the fields below lie in the header
  Field fileEof, lastAMap, amapFree, pmapFree;
  Field nodeRootBid, nodeRootOffset, blockRootBid, blockRootOffset;
  std::size_t amapValidAt = 0;        // fAMapValid
  std::size_t sentinelAt = 0;         // bSentinel, 0x80
  std::size_t encodingAt = 0;         // bCryptMethod
};

// The trailer that ends each page: type twice, signature, CRC of the bytes before it, BID.
struct PageTrailerGeometry {
  std::size_t size = 0;
  std::size_t typeAt = 0, typeRepeatAt = 1, sigAt = 2;
  Field crc, bid;
  Field filler;                       // bytes no reader needs, written as fillerValue
  std::uint64_t fillerValue = 0;
};

// The trailer after each block's data: its size, signature, CRC of the data, BID, and in the
// 4 KiB layout the size the data has once inflated (a block may be stored compressed).
struct BlockTrailerGeometry {
  std::size_t size = 0;
  std::size_t dataSizeAt = 0, sigAt = 2;
  Field crc, bid;
  Field inflatedSize;                 // size 0: the layout stores blocks as they are
  Field filler;                       // bytes no reader needs, written as fillerValue
  std::uint64_t fillerValue = 0;
};

// The metadata before a B-tree page's trailer: entry count, the most entries that fit, entry
// size and level, after `entriesBytes` of entries. The entries hold IDs (NIDs too) and offsets
// as wide as the layout's (Geometry::idSize, `id` below): an intermediate entry a key and a
// child page's BID and offset; a node-tree leaf entry a NID, its data and subnode BIDs at id and
// 2 id, and its parent's NID (4 bytes) at 3 id; a block-tree leaf entry the block's BID and
// offset, its stored size at 2 id, and (where blocks may be compressed) its inflated size, then
// the reference count.
struct TreePageGeometry {
  std::size_t entriesBytes = 0;
  Field count, maxCount;
  std::size_t entrySizeAt = 0, levelAt = 0;
  std::size_t entrySize = 0;          // an intermediate entry, a block-tree leaf entry
  std::size_t nodeLeafEntrySize = 0;  // a node-tree leaf entry
  std::size_t blockInflatedAt = 0;   // 0: the layout stores blocks as they are
  std::size_t blockRefsAt = 0;
};

// Count, most entries, entry size and level, in that order right after the entries; the two
// counts `countSize` bytes wide. Entries of IDs `idSize` bytes wide, padded to three IDs (four
// in a node-tree leaf), with the reference count right after a block's size.
constexpr TreePageGeometry treePageAfter(std::size_t entriesBytes, std::size_t countSize, std::size_t idSize) {
  TreePageGeometry t;
  t.entriesBytes = entriesBytes;
  t.count = {entriesBytes, countSize};
  t.maxCount = {entriesBytes + countSize, countSize};
  t.entrySizeAt = entriesBytes + 2 * countSize;
  t.levelAt = t.entrySizeAt + 1;
  t.entrySize = 3 * idSize;
  t.nodeLeafEntrySize = 4 * idSize;
  t.blockRefsAt = 2 * idSize + 2;
  return t;
}

struct Geometry {
  FileLayout layout = FileLayout::Unknown;
  const char* name = "";              // "the ANSI layout"
  const char* fileKind = "";          // "an ANSI PST": what a file of this layout is called
  std::uint16_t version = 0;          // the wVer a file of this layout is written with
  const char* clientMagic = "SM";     // the wMagicClient written: "SM" a PST, "SO" an OST
  std::size_t idSize = 0;             // bytes of a BID and of a file offset
  std::size_t pageSize = 0;
  std::int64_t firstMapOffset = 0;    // the first allocation map page
  std::int64_t mapInterval = 0;       // the bytes one allocation map covers, itself included
  Field mapBits;                      // where an allocation map page holds its bits
  std::size_t mapBitBytes = 0;        // the bytes one bit of an allocation map stands for
  std::size_t blockAlign = 0;         // blocks start and end on multiples of this
  std::size_t maxBlockSize = 0;       // a block with its trailer and padding
  // Where the entries of a subnode tree's block (SLBLOCK, SIBLOCK) start: after its type,
  // level and count, and in the 64-bit layouts 4 bytes of padding. A data tree's block (XBLOCK,
  // XXBLOCK) has its total size there instead, in every layout, and its BIDs at 8.
  std::size_t subnodeEntriesAt = 8;
  bool pageMaps = false;              // every eighth interval holds a page map after its allocation map
  // The largest file the layout addresses: its offsets, and its readers' limit. IDs and
  // offsets must also fit idSize bytes (see fitsId).
  std::int64_t maxFileLength = INT64_MAX;
  HeaderGeometry header;
  PageTrailerGeometry pageTrailer;
  BlockTrailerGeometry blockTrailer;
  TreePageGeometry treePage;

  constexpr std::size_t pageTrailerAt() const { return pageSize - pageTrailer.size; }
  constexpr std::size_t maxBlockData() const { return maxBlockSize - blockTrailer.size; }
  // Where the allocation maps lie: the file offset of map `id`, and the same in 512-byte sectors.
  constexpr std::int64_t intervalOffset(std::int64_t id) const { return firstMapOffset + id * mapInterval; }
  constexpr std::int64_t firstMapSector() const { return firstMapOffset / 512; }
  constexpr std::int64_t intervalSectors() const { return mapInterval / 512; }
  // Whether a BID, NID or file offset can be written in idSize bytes.
  constexpr bool fitsId(std::uint64_t v) const { return idSize >= 8 || v >> (8 * idSize) == 0; }
};

namespace layout_detail {

// Set field by field: every field a layout does not name keeps its default.
constexpr Geometry ansi() {
  Geometry g;
  g.layout = FileLayout::Ansi;
  g.name = "the ANSI layout";
  g.fileKind = "an ANSI PST";
  g.version = 14;
  g.idSize = 4;
  g.pageSize = 512;
  g.firstMapOffset = 0x4400;
  g.mapInterval = 0x3E000;
  g.mapBits = {4, 496};  // after 4 bytes of padding
  g.mapBitBytes = 64;
  g.blockAlign = 64;
  g.maxBlockSize = 8192;
  g.pageMaps = true;
  g.maxFileLength = std::int64_t(1) << 31;  // 2 GiB
  HeaderGeometry& h = g.header;
  h.size = 512;  // no CRC of the whole header
  h.nextBlockBid = {24, 4};
  h.nextPageBid = {28, 4};
  h.uniqueAt = 32;
  h.nextNidAt = 36;
  h.freeMapsAt = 204;
  h.rootAt = 164;
  h.fileEof = {168, 4};
  h.lastAMap = {172, 4};
  h.amapFree = {176, 4};
  h.pmapFree = {180, 4};
  h.nodeRootBid = {184, 4};
  h.nodeRootOffset = {188, 4};
  h.blockRootBid = {192, 4};
  h.blockRootOffset = {196, 4};
  h.amapValidAt = 200;
  h.sentinelAt = 460;
  h.encodingAt = 461;
  g.pageTrailer.size = 12;  // type, type, signature, BID, CRC
  g.pageTrailer.bid = {4, 4};
  g.pageTrailer.crc = {8, 4};
  g.subnodeEntriesAt = 4;
  g.blockTrailer.size = 12;  // size, signature, BID, CRC
  g.blockTrailer.bid = {4, 4};
  g.blockTrailer.crc = {8, 4};
  g.treePage = treePageAfter(496, 1, 4);
  return g;
}

constexpr Geometry unicode() {
  Geometry g;
  g.layout = FileLayout::Unicode;
  g.name = "the Unicode layout";
  g.fileKind = "a Unicode PST";
  g.version = 23;
  g.idSize = 8;
  g.pageSize = 512;
  g.firstMapOffset = 0x4400;
  g.mapInterval = 0x3E000;
  g.mapBits = {0, 496};
  g.mapBitBytes = 64;
  g.blockAlign = 64;
  g.maxBlockSize = 8192;
  g.pageMaps = true;
  HeaderGeometry& h = g.header;
  h.size = 564;
  h.crcFullAt = 524;
  h.crcFullLength = 516;
  h.nextBlockBid = {516, 8};
  h.nextPageBid = {32, 8};
  h.uniqueAt = 40;
  h.nextNidAt = 44;
  h.freeMapsAt = 256;
  h.rootAt = 180;
  h.fileEof = {184, 8};
  h.lastAMap = {192, 8};
  h.amapFree = {200, 8};
  h.pmapFree = {208, 8};
  h.nodeRootBid = {216, 8};
  h.nodeRootOffset = {224, 8};
  h.blockRootBid = {232, 8};
  h.blockRootOffset = {240, 8};
  h.amapValidAt = 248;
  h.sentinelAt = 512;
  h.encodingAt = 513;
  g.pageTrailer.size = 16;  // type, type, signature, CRC, BID
  g.pageTrailer.crc = {4, 4};
  g.pageTrailer.bid = {8, 8};
  g.blockTrailer.size = 16;  // size, signature, CRC, BID
  g.blockTrailer.crc = {4, 4};
  g.blockTrailer.bid = {8, 8};
  g.treePage = treePageAfter(488, 1, 8);
  return g;
}

// The header is the Unicode one. Pages are eight times larger and so is everything laid out
// in pages: the first allocation map lies at 0x22000, and each covers 4,072 bytes of bits
// at 512 bytes a bit. Trailers grow to 24 bytes: a page's ends in 8 bytes no field names
// (1 in the files seen); a block's holds, after the BID, a 16-bit field no reader needs (2 in
// the files seen), the inflated size and 4 zero bytes. The CRC of a block covers its data as
// stored. Blocks are 512-byte aligned and take up to 64 KiB with their trailer. A tree page
// holds 4,056 bytes of entries and counts them in 16 bits; a block-tree leaf entry carries
// the inflated size after the stored one, which moves the reference count along.
constexpr Geometry unicode4K() {
  Geometry g = unicode();
  g.layout = FileLayout::Unicode4K;
  g.name = "the 4 KiB-page layout";
  g.fileKind = "an OST with 4 KiB pages";
  g.version = 36;
  g.clientMagic = "SO";  // only offline stores have this layout
  g.pageMaps = false;
  g.pageSize = 4096;
  g.firstMapOffset = 0x22000;
  g.mapInterval = 0xFE8000;
  g.mapBits = {0, 4072};
  g.mapBitBytes = 512;
  g.blockAlign = 512;
  g.maxBlockSize = 65536;
  g.pageTrailer.size = 24;
  g.pageTrailer.filler = {16, 8};
  g.pageTrailer.fillerValue = 1;
  g.blockTrailer.size = 24;
  g.blockTrailer.filler = {16, 2};
  g.blockTrailer.fillerValue = 2;
  g.blockTrailer.inflatedSize = {18, 2};
  g.treePage = treePageAfter(4056, 2, 8);
  g.treePage.blockInflatedAt = 18;
  g.treePage.blockRefsAt = 20;
  return g;
}

}  // namespace layout_detail

inline constexpr Geometry kAnsiGeometry = layout_detail::ansi();
inline constexpr Geometry kUnicodeGeometry = layout_detail::unicode();
inline constexpr Geometry kUnicode4KGeometry = layout_detail::unicode4K();

// The geometry of a layout; nullptr for Unknown.
constexpr const Geometry* geometryOf(FileLayout layout) {
  switch (layout) {
    case FileLayout::Ansi: return &kAnsiGeometry;
    case FileLayout::Unicode: return &kUnicodeGeometry;
    case FileLayout::Unicode4K: return &kUnicode4KGeometry;
    case FileLayout::Unknown: break;
  }
  return nullptr;
}

// Each map covers the bytes its bits stand for.
constexpr bool mapCoversItsInterval(const Geometry& g) {
  return g.mapInterval == std::int64_t(g.mapBits.size * 8 * g.mapBitBytes) &&
         g.mapBits.at + g.mapBits.size <= g.pageTrailerAt();
}
// A tree page's metadata lies between its entries and its trailer.
constexpr bool treePageFits(const Geometry& g) {
  const TreePageGeometry& t = g.treePage;
  return t.count.at >= t.entriesBytes && t.levelAt < g.pageTrailerAt();
}
static_assert(treePageFits(kAnsiGeometry) && treePageFits(kUnicodeGeometry) && treePageFits(kUnicode4KGeometry));
static_assert(kAnsiGeometry.treePage.levelAt == 499 && kUnicodeGeometry.treePage.levelAt == 491 &&
              kUnicode4KGeometry.treePage.levelAt == 4061);
static_assert(kAnsiGeometry.treePage.entrySize == 12 && kAnsiGeometry.treePage.nodeLeafEntrySize == 16 &&
              kAnsiGeometry.treePage.blockRefsAt == 10);
static_assert(kUnicodeGeometry.treePage.entrySize == 24 && kUnicodeGeometry.treePage.nodeLeafEntrySize == 32 &&
              kUnicodeGeometry.treePage.blockRefsAt == 18);

static_assert(layoutOf(kAnsiGeometry.version) == FileLayout::Ansi && layoutOf(kUnicodeGeometry.version) == FileLayout::Unicode &&
              layoutOf(kUnicode4KGeometry.version) == FileLayout::Unicode4K);
static_assert(mapCoversItsInterval(kAnsiGeometry) && mapCoversItsInterval(kUnicodeGeometry) &&
              mapCoversItsInterval(kUnicode4KGeometry));

}  // namespace kestrix::pst
