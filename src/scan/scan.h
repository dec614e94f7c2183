#pragma once
// The scan: reads a source front to back and records every allocation-map page, and every
// tree page that files may be put together by.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "format/layout.h"
#include "io/byte_source.h"

namespace kestrix::scan {

inline constexpr std::size_t kChunkSize = 0x40000;  // 256 KiB

// One hit of the found-page list: the page's ID, its sector on the source (the page's first),
// and the layout of the file it belongs to. 16 bytes, the sector first so that nothing pads:
// a scan of a disk full of map pages holds millions of them. Made as {id, sector[, layout]}.
struct FoundPage {
  std::int64_t sector = 0;
  std::int32_t id = 0;
  pst::FileLayout layout = pst::FileLayout::Unicode;
  FoundPage() = default;
  FoundPage(std::int32_t id, std::int64_t sector, pst::FileLayout layout = pst::FileLayout::Unicode)
      : sector(sector), id(id), layout(layout) {}
  friend bool operator==(const FoundPage&, const FoundPage&) = default;
};
static_assert(sizeof(FoundPage) == 16);

// A node- or block-tree page of a PST file found on the source: its type bytes agree and its
// CRC holds. Where it belongs in its file is told by the tree that references it.
struct TreePageHit {
  std::int64_t offset = 0;  // bytes from the start of the source
  std::uint64_t bid = 0;
  std::uint8_t type = 0;    // 0x80 block tree, 0x81 node tree
  std::uint8_t level = 0;   // 0 = leaf
  friend bool operator==(const TreePageHit&, const TreePageHit&) = default;
};

// Bytes ending on a block boundary of the source (64 bytes; 512 in the 4 KiB-page layout) that
// read as a block trailer: a size a block can have and a BID a file's counter can have reached. Whether they end a block is proved
// only once the block's file offset is known (the signature ties it to the BID) and its bytes
// are read (the CRC). Kept for every such place on the source, so that a block is looked for
// in memory, never by reading the source again. 24 bytes each.
struct BlockTrailerHit {
  std::int64_t end = 0;     // the byte after the trailer, on the source
  std::uint64_t bid = 0;
  std::uint16_t size = 0;   // bytes of data before the trailer, padding not counted
  std::uint16_t sig = 0;
  std::uint32_t crc = 0;
  friend bool operator==(const BlockTrailerHit&, const BlockTrailerHit&) = default;
};
static_assert(sizeof(BlockTrailerHit) == 24);

// At most this many block trailers of Unicode files are kept (384 MiB), and a quarter of that
// of each other layout (ANSI trailers, with their 32-bit BIDs, are the likelier to be matched
// by chance); past it the index says it is not complete, and a block it does not list is
// looked for by reading the source.
inline constexpr std::size_t kMaxBlockTrailers = std::size_t(1) << 24;
inline constexpr std::size_t kMaxOtherBlockTrailers = kMaxBlockTrailers / 4;

// At most this many trailers of tree pages cut in pieces are kept, of each layout: a file
// system that cut a page leaves one trailer, and random bytes hardly ever pass their test.
inline constexpr std::size_t kMaxCutPages = std::size_t(1) << 16;

// At most this many header sectors are kept, of each layout and of unknown versions:
// every PST on a disk has one, a copy or two.
inline constexpr std::size_t kMaxHeaders = 4096;

// A sector that begins a PST header of a version no layout is known for: kept to be named,
// never passed over silently.
struct OtherHeader {
  std::int64_t offset = 0;     // bytes from the start of the source
  std::uint16_t version = 0;   // the header's wVer
  friend bool operator==(const OtherHeader&, const OtherHeader&) = default;
};

// At most this many extent leaves of ext4 volumes are kept (8 MiB): one leaf maps up to 340
// pieces of a file, so a million leaves map the pieces of the most fragmented volumes.
inline constexpr std::size_t kMaxExtentLeaves = std::size_t(1) << 20;

// The found-page list: hits in increasing sector order. A deque grows in small blocks, so a
// list of millions of hits never needs room for two copies of itself while it grows.
using FoundPageList = std::deque<FoundPage>;
using HitFn = std::function<void(const FoundPage&)>;

struct ScanProgress {
  std::int64_t done = 0;   // bytes of the source behind the read position
  std::int64_t total = 0;  // bytes to scan
};

struct ScanOptions {
  std::int64_t size = -1;              // bytes to scan from byte 0; -1 = the whole source
  std::size_t chunkSize = kChunkSize;  // a multiple of 512; results do not depend on it
  HitFn onHit;                         // called with every hit as it is found, in sector order
  bool keepHits = true;                // also collect the hits in ScanResult::hits
};

// Which stretches of the source held nothing but zeros when the scan read them, a bit for
// each kUnit bytes (8 MiB of bits for a 4 TB disk): a later look for data there need not
// read them again. The unit is small enough that the gaps between the pieces of a deleted
// file on an emptied disk are mostly whole units. A unit that was not read whole, or held a sector that could not be read,
// is not zero.
struct ZeroMap {
  static constexpr std::int64_t kUnit = std::int64_t(1) << 16;
  std::vector<bool> zero;  // unit i: bytes [i * kUnit, (i + 1) * kUnit)
  bool isZero(std::int64_t unit) const { return unit >= 0 && std::size_t(unit) < zero.size() && zero[std::size_t(unit)]; }
};

// What the scan saw of the files of one layout, in increasing offset order.
struct LayoutEvidence {
  std::vector<TreePageHit> treePages;
  // Tree-page trailers of pages larger than a sector whose CRC does not hold where they lie:
  // both type bytes, the fill a trailer of the layout holds and a BID a file can have, with
  // bytes before them that are not the page's. The end of a page a file system cut, whose
  // start lies elsewhere. offset is where the page would begin, were it whole there; at most
  // kMaxCutPages.
  std::vector<TreePageHit> cutPages;
  std::vector<BlockTrailerHit> trailers;
  bool trailersComplete = true;      // false once the layout's share of kMaxBlockTrailers was kept
  // Sectors (byte offsets) with the magic, a valid header CRC and a version of the layout; at
  // most kMaxHeaders.
  std::vector<std::int64_t> headers;
};

// What the scan proved or saw of every PST structure on the source, wherever it lies: the
// evidence that files are put together from. All in increasing offset order. The evidence of
// Unicode files is the index's own; that of ANSI files and of files with 4 KiB pages lies
// beside it.
struct SourceIndex : LayoutEvidence {
  LayoutEvidence ansi, pages4K;
  // Headers of a version no layout is known for, at most kMaxHeaders.
  std::vector<OtherHeader> otherHeaders;
  // Sectors (byte offsets) that begin an ext4 extent leaf (pst::isExtentLeafStart), at most
  // kMaxExtentLeaves: where the pieces of files on such a volume lie.
  std::vector<std::int64_t> extentLeaves;
  ZeroMap zeros;

  const LayoutEvidence& of(pst::FileLayout layout) const {
    return layout == pst::FileLayout::Ansi ? ansi : layout == pst::FileLayout::Unicode4K ? pages4K : *this;
  }
  LayoutEvidence& of(pst::FileLayout layout) {
    return layout == pst::FileLayout::Ansi ? ansi : layout == pst::FileLayout::Unicode4K ? pages4K : *this;
  }
};

struct ScanResult {
  FoundPageList hits;               // in increasing sector order; empty unless keepHits
  SourceIndex index;
  std::vector<SectorRun> unreadable;  // sectors that could not be read, merged into runs
  // Files of the source that are missing (a segment of an image set): why some sectors were unreadable.
  std::vector<std::string> missingFiles;
  std::int64_t bytesRead = 0;       // bytes behind the read position when the loop ended
  bool stopped = false;             // the stop flag ended the loop before the end
  // The source shrank while it was read: it ended at this byte, before the size it had when
  // the scan began. -1 when it did not. The sectors past that end are not listed as unreadable.
  std::int64_t endedAt = -1;
  std::int64_t unreadableSectors() const;
};

using ScanProgressFn = std::function<void(const ScanProgress&)>;

// Scans [0, size) in chunks. A read that comes back short without an error (the seam's
// lastError() is 0) where the source should go on means the source has shrunk: the scan ends
// there and says so in endedAt. The stop flag is tested before each chunk: a chunk that was
// read is examined completely. Progress is reported before each chunk and once at the end.
// Only whole 512-byte steps that were actually read are tested; a short read is retried
// sector by sector, and sectors that still cannot be read are skipped and listed. Each hit
// goes to options.onHit as soon as its chunk is tested, and into the result when keepHits.
// Holes of a sparse file (ByteSource::dataFrom) are not read: the result is the one that
// reading their zeros gives.
ScanResult scanSource(ByteSource& src, const std::atomic<bool>& stop, const ScanProgressFn& progress,
                      const ScanOptions& options = {});

// The six texts of one hit as the found-page list holds them: "", ID, sector, "", "", "".
std::vector<std::string> FoundPageTexts(const FoundPage& hit);

// "first-last" or "first" for one run, runs joined by ", " (for messages).
std::string describeSectorRuns(const std::vector<SectorRun>& runs, std::size_t maxRuns = 8);

}  // namespace kestrix::scan
