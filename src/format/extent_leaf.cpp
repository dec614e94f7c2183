#include "format/extent_leaf.h"

namespace kestrix::pst {

namespace {

constexpr std::uint16_t kMagic = 0xF30A;
constexpr std::size_t kHeaderSize = 12, kEntrySize = 12;
// An entry longer than this is an extent allocated ahead and not written yet.
constexpr std::uint32_t kMaxInitialized = 32768;

std::size_t capacityFor(std::int64_t blockSize) { return (std::size_t(blockSize) - kHeaderSize) / kEntrySize; }

// The block size whose leaf holds exactly `capacity` entries, or 0.
std::int64_t blockSizeFor(std::size_t capacity) {
  for (std::int64_t size = 1024; size <= 65536; size *= 2)
    if (capacityFor(size) == capacity) return size;
  return 0;
}

// The entries of a leaf within `bytes` (at most `count`): in order of logical block, apart,
// each of 1 block or more. Sets out when given; false at the first that is not.
bool readEntries(Bytes bytes, std::size_t count, std::vector<VolumeExtent>* out) {
  std::uint64_t nextLogical = 0;
  for (std::size_t i = 0; i < count && kHeaderSize + (i + 1) * kEntrySize <= bytes.size(); ++i) {
    const std::size_t at = kHeaderSize + i * kEntrySize;
    const std::uint32_t logical = le32(bytes, at);
    std::uint32_t length = le16(bytes, at + 4);
    const std::uint64_t physical = (std::uint64_t(le16(bytes, at + 6)) << 32) | le32(bytes, at + 8);
    const bool initialized = length <= kMaxInitialized;
    if (!initialized) length -= kMaxInitialized;
    if (length == 0 || logical < nextLogical || physical == 0) return false;
    nextLogical = std::uint64_t(logical) + length;
    if (out && initialized) out->push_back({logical, length, physical});
  }
  return true;
}

}  // namespace

bool isExtentLeafStart(Bytes sector) {
  if (sector.size() < kPageSize || le16(sector, 0) != kMagic || le16(sector, 6) != 0) return false;
  const std::size_t count = le16(sector, 2), capacity = le16(sector, 4);
  return count != 0 && count <= capacity && blockSizeFor(capacity) != 0 && readEntries(sector, count, nullptr);
}

std::int64_t extentLeafBlockSize(Bytes sector) { return sector.size() < 6 ? 0 : blockSizeFor(le16(sector, 4)); }

ExtentLeaf parseExtentLeaf(Bytes block) {
  ExtentLeaf leaf;
  if (!isExtentLeafStart(block)) return leaf;
  const std::int64_t size = extentLeafBlockSize(block);
  const std::size_t count = le16(block, 2);
  if (std::int64_t(block.size()) < size || !readEntries(block, count, &leaf.extents)) {
    leaf.extents.clear();
    return leaf;
  }
  leaf.blockSize = size;
  return leaf;
}

}  // namespace kestrix::pst
