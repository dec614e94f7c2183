#pragma once
// Leaf blocks of ext4 extent trees: where a file's blocks lie on its volume. Freeing a file
// frees its leaf blocks without clearing them, and the journal keeps copies, so the leaves of
// a deleted file still say where each of its pieces lies: evidence from the file system that
// a file cut into many small pieces is put back together from.

#include <cstdint>
#include <vector>

#include "format/format.h"

namespace kestrix::pst {

// One extent: `blocks` file-system blocks of the file from block `logical` on, lying from
// block `physical` of the volume on. Extents that were allocated but never written (their
// blocks read as zeros) are not listed.
struct VolumeExtent {
  std::uint32_t logical = 0;
  std::uint32_t blocks = 0;
  std::uint64_t physical = 0;
};

struct ExtentLeaf {
  std::int64_t blockSize = 0;  // of the volume, which the leaf's capacity tells
  std::vector<VolumeExtent> extents;
};

// Whether a 512-byte sector begins an extent leaf: its magic, depth 0, a capacity that fills a
// block of 1 to 64 KiB, and the entries within the sector in order and apart. About one sector
// in 2^40 of random bytes passes.
bool isExtentLeafStart(Bytes sector);

// The block size a leaf beginning with `sector` fills (isExtentLeafStart holds).
std::int64_t extentLeafBlockSize(Bytes sector);

// The extents of a whole leaf block; none when it is no valid leaf.
ExtentLeaf parseExtentLeaf(Bytes block);

}  // namespace kestrix::pst
