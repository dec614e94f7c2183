#pragma once
// One front-to-back pass over a PST file (or what is left of one) that finds every piece of
// its structure that proves itself: tree pages by their trailer, signature and CRC, and data
// blocks by their trailer, signature and CRC, wherever they lie. Check and repair both work
// from this pass, so each byte of the input is read once.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "format/format.h"
#include "io/byte_source.h"

namespace kestrix::pst {

// A block whose trailer holds at `offset` (the block's first byte): `size` bytes of data,
// `inflated` once inflated where the layout's trailer says (0 where it has no such field).
struct FoundBlock {
  std::uint64_t bid = 0;
  std::uint64_t offset = 0;
  std::uint16_t size = 0;
  std::uint16_t inflated = 0;
  friend bool operator==(const FoundBlock&, const FoundBlock&) = default;
};

struct FoundTreePage {
  std::uint64_t offset = 0;
  TreePage page;
  // Type, signature and layout hold, the CRC does not: kept, since nothing better may exist,
  // and counted as damage.
  bool crcFailed = false;
};

// The data of an internal block (a data or subnode tree's own block) as the scan found it, so
// that reading the trees afterwards needs no second read of the input.
struct KeptBlock {
  std::uint64_t offset = 0;  // the block's first byte in the input
  std::uint32_t at = 0;      // its data in StructureScan::keptBytes
  std::uint16_t size = 0;
};

// At most this many bytes of internal blocks are kept; past it the trees are read again.
inline constexpr std::size_t kKeptBytesMax = 8 << 20;

struct StructureScan {
  // The layout the input was read in (see geometryToRead).
  const Geometry* geometry = &kUnicodeGeometry;
  std::int64_t length = 0;                 // bytes of the input
  std::vector<std::byte> header;           // its first kHeaderSize bytes (fewer when shorter)
  std::vector<FoundBlock> blocks;          // trailer, signature and CRC hold; by offset
  std::vector<FoundBlock> badCrcBlocks;    // trailer and signature hold, the CRC does not; by offset
  std::vector<FoundTreePage> treePages;    // node- and block-tree pages (valid or crcFailed), in offset order
  std::vector<KeptBlock> kept;             // internal blocks of `blocks` whose data is kept; by offset
  std::vector<std::byte> keptBytes;
  std::int64_t mapIntervals = 0;           // intervals that begin inside the input
  std::int64_t validAllocationMaps = 0;    // of those, how many begin with a valid AMap page
  std::int64_t lastAllocationMap = -1;     // the offset of the last valid one; -1 when there is none
  std::vector<scan::SectorRun> unreadable; // sectors that could not be read (read as zeros)
  bool stopped = false;

  // The kept data of the block found at `offset` with `size` bytes; empty when not kept.
  std::optional<Bytes> keptBlock(std::uint64_t offset, std::uint16_t size) const;
};

// Of the intervals that begin at or past `from`, those whose first page lies whole in the
// first `length` bytes: the ones a scan of that many bytes counts in mapIntervals.
std::int64_t intervalsFrom(std::int64_t from, std::int64_t length, const Geometry& g = kUnicodeGeometry);

struct StructureProgress {
  std::int64_t done = 0;
  std::int64_t total = 0;
};

// Chunks of a pass: half of a typical core's second-level cache.
inline constexpr std::size_t kPassChunk = 512 << 10;

struct StructureScanOptions {
  std::size_t chunkSize = kPassChunk;
  std::function<void(const StructureProgress&)> progress;
  // Called with every chunk as it is read, in order, without gaps, one call at a time (not
  // always on the caller's thread): lets a caller copy the input in the same pass.
  // Unreadable sectors arrive as zeros.
  std::function<void(std::int64_t offset, std::span<const std::byte> bytes)> chunk;
};

// Bytes of the input kept in front of each chunk, so that a block ending in it can be read
// whole: the largest block of the Unicode layout. A pass over a file with larger blocks keeps
// more (PassOptions::history).
inline constexpr std::size_t kHistory = kMaxBlockSize;

struct PassResult {
  bool stopped = false;
  std::vector<scan::SectorRun> unreadable;  // sectors that could not be read (read as zeros)
};

// visit(buf, base, from): buf holds the input from byte `base` on; bytes [from, base +
// buf.size()) are the new chunk and up to PassOptions::history bytes before it are the end of
// the previous one (base == from for the first chunk).
using ChunkVisitor = std::function<void(std::span<const std::byte> buf, std::int64_t base, std::int64_t from)>;

struct PassOptions {
  // Small enough that a chunk is still in the core's cache when it is visited.
  std::size_t chunkSize = kPassChunk;
  // Visits one at a time and in order; else two chunks may be visited at once, in any order.
  bool ordered = true;
  std::function<void(const StructureProgress&)> progress;
  // As StructureScanOptions::chunk.
  std::function<void(std::int64_t offset, std::span<const std::byte> bytes)> chunk;
  // Bytes of the previous chunk kept in front of each: a multiple of 4096.
  std::size_t history = kHistory;
};

// Reads the whole input once, in order, by turns on two threads (the caller's and one more):
// while one reads the next chunk, the other visits the chunk it read itself, still in its
// cache. One read at a time, so the input is never read from two threads at once; progress
// and chunk are called in the reading turn. The stop flag is tested before each chunk is
// read; unreadable sectors are retried one by one and read as zeros. An exception from a
// callback ends the pass and is thrown again on the caller's thread.
PassResult readInOnePass(scan::ByteSource& input, const std::atomic<bool>& stop, const PassOptions& options,
                         const ChunkVisitor& visit);

// The layout to read the input in: the one its header names (a header whose first sector's
// CRC holds); where the header is lost, 4 KiB pages or ANSI when an allocation map of that
// layout proves itself where one begins an interval; else Unicode.
const Geometry& geometryToRead(scan::ByteSource& input);

// Reads the whole input once, in the layout geometryToRead gives (see StructureScan::geometry).
// The stop flag is tested before each chunk; a stopped scan
// says so and holds what was found up to there. Throws kestrix::Error only when the chunk
// callback throws.
StructureScan scanStructure(scan::ByteSource& input, const std::atomic<bool>& stop,
                            const StructureScanOptions& options = {});

}  // namespace kestrix::pst
