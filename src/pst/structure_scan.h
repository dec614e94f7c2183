#pragma once
// One front-to-back pass over a PST file (or what is left of one) that finds every piece of
// its structure that proves itself: tree pages by their trailer, signature and CRC, and data
// blocks by their trailer, signature and CRC, wherever they lie. Check and repair both work
// from this pass, so each byte of the input is read once.

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "pst/format.h"
#include "scan/byte_source.h"

namespace kestrix::pst {

// A block whose trailer holds at `offset` (the block's first byte): `size` bytes of data.
struct FoundBlock {
  std::uint64_t bid = 0;
  std::uint64_t offset = 0;
  std::uint16_t size = 0;
  friend bool operator==(const FoundBlock&, const FoundBlock&) = default;
};

struct FoundTreePage {
  std::uint64_t offset = 0;
  TreePage page;
};

struct StructureScan {
  std::int64_t length = 0;                 // bytes of the input
  std::vector<std::byte> header;           // its first kHeaderSize bytes (fewer when shorter)
  std::vector<FoundBlock> blocks;          // trailer, signature and CRC hold; by offset
  std::vector<FoundBlock> badCrcBlocks;    // trailer and signature hold, the CRC does not; by offset
  std::vector<FoundTreePage> treePages;    // valid node- and block-tree pages, in offset order
  std::int64_t mapIntervals = 0;           // intervals that begin inside the input
  std::int64_t validAllocationMaps = 0;    // of those, how many begin with a valid AMap page
  std::vector<scan::SectorRun> unreadable; // sectors that could not be read (read as zeros)
  bool stopped = false;
};

struct StructureProgress {
  std::int64_t done = 0;
  std::int64_t total = 0;
};

struct StructureScanOptions {
  std::size_t chunkSize = 4 << 20;
  std::function<void(const StructureProgress&)> progress;
  // Called with every chunk as it is read, in order, without gaps: lets a caller copy the
  // input in the same pass. Unreadable sectors arrive as zeros.
  std::function<void(std::int64_t offset, std::span<const std::byte> bytes)> chunk;
};

// Bytes of the input kept in front of each chunk, so that a block ending in it can be read whole.
inline constexpr std::size_t kHistory = kMaxBlockSize;

struct PassResult {
  bool stopped = false;
  std::vector<scan::SectorRun> unreadable;  // sectors that could not be read (read as zeros)
};

// visit(buf, base, from): buf holds the input from byte `base` on; bytes [from, base +
// buf.size()) are the new chunk and up to kHistory bytes before it are the end of the previous
// one (base == from for the first chunk).
using ChunkVisitor = std::function<void(std::span<const std::byte> buf, std::int64_t base, std::int64_t from)>;

// Reads the whole input once, in order, a second thread reading ahead while visit runs. The
// stop flag is tested before each chunk is read; unreadable sectors are retried one by one
// and read as zeros.
PassResult readInOnePass(scan::ByteSource& input, std::size_t chunkSize, const std::atomic<bool>& stop,
                         const std::function<void(const StructureProgress&)>& progress, const ChunkVisitor& visit);

// Reads the whole input once. The stop flag is tested before each chunk; a stopped scan
// says so and holds what was found up to there. Throws kestrix::Error only when the chunk
// callback throws.
StructureScan scanStructure(scan::ByteSource& input, const std::atomic<bool>& stop,
                            const StructureScanOptions& options = {});

}  // namespace kestrix::pst
