#include "recover/volume_map.h"

#include <algorithm>
#include <array>
#include <map>

#include "format/extent_leaf.h"

namespace kestrix::pst {

namespace {

struct Leaf {
  std::int64_t agree = 0;
  std::vector<FileRun> runs;
};

// Leaf `extents` against the proved pieces: the volume start most extents agree on, how many
// extents agree on it and how many say otherwise.
struct Vote {
  std::int64_t start = 0, agree = 0, disagree = 0;
};

Vote vote(const ExtentLeaf& leaf, const std::vector<FileRun>& proved) {
  std::map<std::int64_t, std::int64_t> starts;  // volume start -> extents that put a piece there
  std::int64_t withPieces = 0;
  for (const VolumeExtent& e : leaf.extents) {
    const std::int64_t from = std::int64_t(e.logical) * leaf.blockSize, to = from + std::int64_t(e.blocks) * leaf.blockSize;
    const auto piece = std::lower_bound(proved.begin(), proved.end(), from,
                                        [](const FileRun& p, std::int64_t at) { return p.fileOffset < at; });
    if (piece == proved.end() || piece->fileOffset + piece->length > to) continue;
    ++withPieces;
    ++starts[piece->sourceOffset - (std::int64_t(e.physical) * leaf.blockSize + (piece->fileOffset - from))];
  }
  Vote v;
  for (const auto& [start, n] : starts)
    if (n > v.agree) v = {start, n, 0};
  v.disagree = withPieces - v.agree;
  return v;
}

}  // namespace

std::vector<FileRun> mappedByVolume(scan::ByteSource& source, std::span<const std::int64_t> leaves,
                                    const std::vector<FileRun>& proved, std::int64_t fileLength) {
  std::vector<Leaf> taken;
  std::vector<std::byte> block;
  std::array<std::byte, kPageSize> first;
  for (const std::int64_t at : leaves) {
    if (source.readAt(at, first) != first.size()) continue;
    block.resize(std::size_t(extentLeafBlockSize(first)));
    if (block.empty() || source.readAt(at, block) != block.size()) continue;
    ExtentLeaf leaf = parseExtentLeaf(block);
    // An extent past the source's end is no piece of a file on it (nor a product to overflow).
    const auto blocksOnSource = std::uint64_t(source.size() / std::max<std::int64_t>(leaf.blockSize, 1));
    std::erase_if(leaf.extents, [&](const VolumeExtent& e) { return e.physical >= blocksOnSource; });
    if (leaf.extents.empty()) continue;
    const Vote v = vote(leaf, proved);
    if (v.agree < 2 || v.start < 0 || v.disagree * 8 > v.agree) continue;
    Leaf kept{v.agree, {}};
    for (const VolumeExtent& e : leaf.extents) {
      const std::int64_t from = std::int64_t(e.logical) * leaf.blockSize;
      const std::int64_t length = std::min(std::int64_t(e.blocks) * leaf.blockSize, fileLength - from);
      const std::int64_t sourceAt = v.start + std::int64_t(e.physical) * leaf.blockSize;
      if (length > 0 && sourceAt + length <= source.size()) kept.runs.push_back({from, sourceAt, length});
    }
    taken.push_back(std::move(kept));
  }
  // The best-supported leaves first; a run that overlaps one kept already is kept only when it
  // says the same (a copy of the leaf in the journal).
  std::stable_sort(taken.begin(), taken.end(), [](const Leaf& a, const Leaf& b) { return a.agree > b.agree; });
  std::vector<FileRun> out;  // in file order
  for (const Leaf& leaf : taken)
    for (const FileRun& run : leaf.runs) {
      auto at = std::lower_bound(out.begin(), out.end(), run.fileOffset,
                                 [](const FileRun& r, std::int64_t off) { return r.fileOffset < off; });
      const bool overlapsNext = at != out.end() && at->fileOffset < run.fileOffset + run.length;
      const bool overlapsPrev = at != out.begin() && std::prev(at)->fileOffset + std::prev(at)->length > run.fileOffset;
      if (!overlapsNext && !overlapsPrev) out.insert(at, run);
    }
  return out;
}

}  // namespace kestrix::pst
