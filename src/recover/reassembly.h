#pragma once
// Putting a PST file back together block by block, where the file's own index says each
// block belongs, wherever a file system scattered it on the source.
//
// The map pages anchor stretches of the file on the source (an interval each). A file system
// cuts files at its clusters, so an anchored interval may run into another file's data part
// way. Every tree page and block proves where it belongs: the page or block trailer names its
// BID, its signature is tied to its file offset, and its CRC covers its data. So:
// - the two B-trees are walked from the header's roots, each page found by its BID among the
//   tree pages the scan recorded anywhere on the source (its signature must fit the offset the
//   parent names);
// - each block is looked for first where the anchors predict, then where the pages and blocks
//   next to it in the file were found, then by its trailer anywhere else on the source (one
//   more pass, only for what is still missing, over neither what the scan saw hold only zeros
//   nor the pieces of the file already found);
// - a block whose trailer lies in one extent and whose start in another is put together from
//   both sides, or with a run of clusters between them from a third place, and checked by
//   its CRC; so is a tree page of 4 KiB a file system cut (its trailer in the scan's cut
//   pages), in a second pass that knows where the pieces of the file around it lie;
// - the result is a list of runs: which bytes of the file come from where on the source.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "format/format.h"
#include "io/byte_source.h"
#include "scan/scan.h"

namespace kestrix::pst {

// Bytes [fileOffset, fileOffset + length) of the file lie at sourceOffset on the source.
struct FileRun {
  std::int64_t fileOffset = 0;
  std::int64_t sourceOffset = 0;
  std::int64_t length = 0;
  friend bool operator==(const FileRun&, const FileRun&) = default;
};

struct ReassemblyProgress {
  std::int64_t done = 0;
  std::int64_t total = 0;
  bool searching = false;  // the pass over the whole source for blocks still missing
};

struct ReassemblyInput {
  FileLayout layout = FileLayout::Unicode;    // of the file: its geometry, and the evidence of the index it is put together from
  std::span<const std::byte> header;          // the file's first bytes, its header whole (may be empty)
  const scan::SourceIndex* index = nullptr;   // every tree page and block trailer on the source
  std::vector<FileRun> anchors;               // where the map pages place stretches of the file
  std::int64_t fileLength = 0;                // the length the file is written with
  std::function<void(const ReassemblyProgress&)> progress;
};

struct ReassemblyResult {
  bool treesFound = false;            // both roots found: the file's index is known
  std::int64_t pages = 0;             // tree pages of both trees
  std::int64_t pagesMissing = 0;      // referenced, not found on the source
  // Found nowhere whole, put together from pieces of the source (cut by its file system) that
  // only the page's CRC ties together: not proved. Pages that two different sets of pieces fit
  // stay missing, and are counted in pagesAmbiguous too.
  std::int64_t pagesInferred = 0;
  std::int64_t pagesAmbiguous = 0;
  std::int64_t newerPages = 0;        // tree pages of this file newer than the trees used
  std::int64_t blocks = 0;            // blocks the block tree lists
  std::int64_t blocksPredicted = 0;   // found where the anchors predict
  std::int64_t blocksFound = 0;       // found elsewhere on the source by their trailer
  std::int64_t blocksStitched = 0;    // put together from two or three places
  // Read where the extent map of the file system the file lay on puts its pieces (see
  // recover/volume_map.h), however many: proved by trailer, signature and CRC.
  std::int64_t blocksMapped = 0;
  // Listed by no surviving block-tree page (one was lost), named by the node tree or an
  // internal block, and found by their trailer: proved, for repair to list anew.
  std::int64_t blocksUnlisted = 0;
  // Placements of pieces whose CRC was tried while stitching: each holds by chance with
  // probability 2^-32, so stitchTries / 2^32 bounds the chance that a stitched block is false.
  std::int64_t stitchTries = 0;
  // Found nowhere whole, kept where the anchors put them since their trailer is there or some
  // of their sectors could not be read (what a sector copy gives), or put together from
  // clusters anywhere on the source that only their CRC (and, for a compressed block, its
  // inflating) or the same bytes in another block tie to them: not proved.
  std::int64_t blocksInferred = 0;
  std::int64_t blocksMissing = 0;
  // Of those missing: pieces were found that put the block together, but so did others that
  // give it different bytes. Neither is taken.
  std::int64_t blocksAmbiguous = 0;
  // Found whole in more than one place with different data (another file that shares block
  // IDs): the copy where this file's own pieces lead was taken; which one is right is not proved.
  std::int64_t blocksUncertain = 0;
  // The file, as runs in file order; bytes in no run are written as zeros. Where every block
  // and page lies where the anchors predict, these are the anchored intervals unchanged.
  // Every run starts and ends on a 512-byte boundary of the file and of the source (a piece
  // is taken with the rest of its sectors, which a file system never splits).
  std::vector<FileRun> runs;
  bool stopped = false;
  bool verifiedAsAnchored() const {
    return treesFound && pagesMissing == 0 && pagesInferred == 0 && blocksFound == 0 && blocksStitched == 0 && blocksMapped == 0 && blocksInferred == 0 &&
           blocksUnlisted == 0 && blocksMissing == 0;
  }
  std::int64_t blocksProved() const { return blocksPredicted + blocksFound + blocksStitched + blocksMapped + blocksUnlisted; }
};

ReassemblyResult reassemble(scan::ByteSource& source, const ReassemblyInput& input, const std::atomic<bool>& stop);

// For a file whose header is lost: the root page of the newest generation of a tree (type
// kPageNodeTree or kPageBlockTree) that the source holds, as a header names it (BID and file
// offset). B-tree pages are written anew on every change, so a disk holds several
// generations; the newest root is the page of the highest level and, among those, the highest
// BID. Its file offset is where an anchor puts it, proved by its signature; with `anywhere`
// (no other file on the source can own it), else the one offset within the file that its
// signature allows. Pages of the file's layout `g` only. nullopt when no such page can be placed.
std::optional<BlockRef> newestRoot(scan::ByteSource& source, const scan::SourceIndex& index, std::span<const FileRun> anchors,
                                   std::int64_t fileLength, std::uint8_t type, bool anywhere, const Geometry& g);

}  // namespace kestrix::pst
