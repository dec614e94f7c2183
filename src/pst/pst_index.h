#pragma once
// The two B-trees of a PST file as recovery sees them: walked from their roots over the
// pages the structure scan found, or, where pages are lost, merged from every surviving
// leaf page. Blocks are looked up by BID; what is "present" is what the scan proved.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "format/format.h"
#include "pst/structure_scan.h"

namespace kestrix::pst {

struct NodeEntry {
  std::uint32_t nid = 0;
  std::uint32_t parent = 0;
  std::uint64_t data = 0;  // bidData
  std::uint64_t sub = 0;   // bidSub, 0 = none
  friend bool operator==(const NodeEntry&, const NodeEntry&) = default;
};

struct BlockEntry {
  std::uint64_t bid = 0;
  std::uint64_t offset = 0;
  std::uint16_t size = 0;
  std::uint16_t refs = 0;
  std::uint16_t inflated = 0;  // the data's size once inflated; 0 where the layout stores blocks as they are
  friend bool operator==(const BlockEntry&, const BlockEntry&) = default;
};

// The found tree pages by file offset.
class PageLookup {
 public:
  explicit PageLookup(const StructureScan& scan);
  // The valid page of that type at the offset whose BID is `bid`, or nullptr.
  const FoundTreePage* at(BlockRef ref, std::uint8_t type) const;

 private:
  std::unordered_map<std::uint64_t, const FoundTreePage*> m_byOffset;
};

struct TreeWalk {
  bool rootFound = false;
  std::int64_t pagesReached = 0;
  std::int64_t pagesMissing = 0;          // referenced pages not found (lost, bad CRC, wrong BID)
  std::int64_t pagesRepeated = 0;         // references to a page the walk had reached already
  std::int64_t pagesBadCrc = 0;           // pages reached whose CRC fails (kept, see FoundTreePage)
  std::vector<const FoundTreePage*> leafPages;  // leaf pages in the order the tree holds them
  std::vector<std::uint64_t> pageOffsets;      // pages reached
  std::vector<std::uint64_t> badCrcOffsets;    // of those, the ones whose CRC fails
  bool whole() const { return rootFound && pagesMissing == 0 && pagesRepeated == 0 && pagesBadCrc == 0; }
};

// Walks a tree from `root`. Each child must be a page of the same tree one level down;
// anything else counts as missing. Each page is reached once: a page named a second time (by
// the same parent or another) counts as repeated, which is damage, and is not walked again.
// So the walk reaches at most the pages the scan found (one per 512 bytes of the input) and
// holds a few words per page, whatever the pages name.
TreeWalk walkTree(const PageLookup& pages, BlockRef root, std::uint8_t type);

// Where the header cannot be trusted: of the pages of that tree that no other found page
// references, those whose CRC holds before the others, then the highest, and of those the
// newest (highest BID); nullopt when none was found.
// When the real root is lost this is an older root or a subtree, which newerPagesOutside tells.
std::optional<BlockRef> guessRoot(const StructureScan& scan, std::uint8_t type);

// Whether a found page of that type whose CRC holds, newer than every page the walk reached,
// lies outside the walk: the walk then shows an older state of the file than its last one.
// Page IDs count up from small numbers, one per page written: none reaches 2^62. A page that
// names a larger one is crafted: no generation of the trees, and no repair numbers its pages
// above it (near 2^64 it could not).
inline constexpr std::uint64_t kLargestPageBid = std::uint64_t(1) << 62;

bool newerPagesOutside(const StructureScan& scan, const TreeWalk& walk, std::uint8_t type);

// Every leaf entry of that tree on the found pages; for each key, the entry of the newest
// page (highest BID) wins. In key order. With `only`, just the entries of those keys (NIDs,
// or BIDs with bit 0 ignored). Of the pages whose CRC fails, only those at the offsets in
// `kept` count (the ones a walk reached: a stale page in free space whose CRC fails is
// garbage), and for a key only where no page whose CRC holds lists it.
std::vector<TreeEntry> newestLeafEntries(const StructureScan& scan, std::uint8_t type,
                                         std::span<const std::uint64_t> only = {},
                                         std::span<const std::uint64_t> kept = {});

std::vector<NodeEntry> toNodes(const std::vector<TreeEntry>& leaves);
std::vector<BlockEntry> toBlocks(const std::vector<TreeEntry>& leaves);
// The leaf entries of a walk, in the order the tree holds them.
std::vector<NodeEntry> toNodes(const TreeWalk& walk);
std::vector<BlockEntry> toBlocks(const TreeWalk& walk);

// Blocks by BID (bit 0 ignored) and whether the scan proved each one.
class BlockIndex {
 public:
  BlockIndex(std::vector<BlockEntry> entries, const StructureScan& scan);
  const BlockEntry* find(std::uint64_t bid) const;
  // The entry exists and the scan found the block with that BID, offset and size there, its
  // trailer and signature holding. Its CRC may fail (badCrc): readers read such a block, so it
  // is kept and counted rather than taken for lost.
  bool present(std::uint64_t bid) const;
  // Present, and its CRC fails.
  bool badCrc(std::uint64_t bid) const;
  // The same for an entry find() returned, without searching again.
  bool present(const BlockEntry& e) const { return presentAt(std::size_t(&e - m_entries.data())); }
  bool badCrc(const BlockEntry& e) const { return badCrcAt(std::size_t(&e - m_entries.data())); }
  // The data of a present entry whose CRC holds as the scan kept it (internal blocks only, see KeptBlock).
  std::optional<Bytes> kept(const BlockEntry& e) const;
  const std::vector<BlockEntry>& entries() const { return m_entries; }
  // The layout the blocks were found in.
  const Geometry& geometry() const { return *m_scan.geometry; }
  // Whether the entry at that index of entries() is present, and whether its CRC fails.
  bool presentAt(std::size_t i) const { return m_state[i] != 0; }
  bool badCrcAt(std::size_t i) const { return m_state[i] == kBadCrc; }

 private:
  static constexpr std::uint8_t kPresent = 1, kBadCrc = 2;
  std::vector<BlockEntry> m_entries;  // by blockKey
  std::vector<std::uint8_t> m_state;  // per entry: kPresent, kBadCrc
  const StructureScan& m_scan;
};

}  // namespace kestrix::pst
