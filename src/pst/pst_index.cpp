#include "pst/pst_index.h"

#include <algorithm>
#include <tuple>
#include <unordered_set>

namespace kestrix::pst {

namespace {

bool sameBid(std::uint64_t a, std::uint64_t b) { return blockKey(a) == blockKey(b); }

NodeEntry toNode(const TreeEntry& e) { return {std::uint32_t(e.key), e.parent, e.data, e.sub}; }
BlockEntry toBlock(const TreeEntry& e) { return {e.child.bid, e.child.offset, e.size, e.refs, e.inflated}; }

template <typename Entry, typename Convert>
std::vector<Entry> fromLeaves(const TreeWalk& walk, Convert convert) {
  std::size_t count = 0;
  for (const FoundTreePage* p : walk.leafPages) count += p->page.entries.size();
  std::vector<Entry> out;
  out.reserve(count);
  for (const FoundTreePage* p : walk.leafPages)
    for (const auto& e : p->page.entries) out.push_back(convert(e));
  return out;
}

}  // namespace

PageLookup::PageLookup(const StructureScan& scan) {
  m_byOffset.reserve(scan.treePages.size());
  for (const auto& p : scan.treePages) m_byOffset.emplace(p.offset, &p);
}

const FoundTreePage* PageLookup::at(BlockRef ref, std::uint8_t type) const {
  auto it = m_byOffset.find(ref.offset);
  if (it == m_byOffset.end() || it->second->page.type != type || !sameBid(it->second->page.bid, ref.bid))
    return nullptr;
  return it->second;
}

TreeWalk walkTree(const PageLookup& pages, BlockRef root, std::uint8_t type) {
  TreeWalk walk;
  const FoundTreePage* top = pages.at(root, type);
  if (!top) return walk;
  walk.rootFound = true;
  // Depth first, children in key order, so leaves come out in key order.
  std::unordered_set<const FoundTreePage*> reached{top};
  std::vector<const FoundTreePage*> stack{top};
  while (!stack.empty()) {
    const FoundTreePage* p = stack.back();
    stack.pop_back();
    ++walk.pagesReached;
    walk.pageOffsets.push_back(p->offset);
    if (p->crcFailed) {
      ++walk.pagesBadCrc;
      walk.badCrcOffsets.push_back(p->offset);
    }
    if (p->page.level == 0) {
      walk.leafPages.push_back(p);
      continue;
    }
    for (auto it = p->page.entries.rbegin(); it != p->page.entries.rend(); ++it) {
      const FoundTreePage* child = pages.at(it->child, type);
      if (!child || child->page.level + 1 != p->page.level)
        ++walk.pagesMissing;
      else if (!reached.insert(child).second)
        ++walk.pagesRepeated;
      else
        stack.push_back(child);
    }
  }
  return walk;
}

std::optional<BlockRef> guessRoot(const StructureScan& scan, std::uint8_t type) {
  std::unordered_set<std::uint64_t> referenced;
  for (const auto& p : scan.treePages)
    if (p.page.type == type && p.page.level > 0)
      for (const auto& e : p.page.entries) referenced.insert(e.child.offset);
  const FoundTreePage* best = nullptr;
  const auto rank = [](const FoundTreePage& p) { return std::tuple(!p.crcFailed, p.page.level, p.page.bid); };
  for (const auto& p : scan.treePages)
    if (p.page.type == type && !referenced.count(p.offset) && (!best || rank(p) > rank(*best))) best = &p;
  if (!best) return std::nullopt;
  return BlockRef{best->page.bid, best->offset};
}

bool newerPagesOutside(const StructureScan& scan, const TreeWalk& walk, std::uint8_t type) {
  std::unordered_set<std::uint64_t> reached(walk.pageOffsets.begin(), walk.pageOffsets.end());
  std::uint64_t newestReached = 0;
  for (const auto& p : scan.treePages)
    if (p.page.type == type && reached.count(p.offset)) newestReached = std::max(newestReached, p.page.bid);
  for (const auto& p : scan.treePages)
    if (p.page.type == type && !p.crcFailed && !reached.count(p.offset) && p.page.bid > newestReached &&
        p.page.bid <= kLargestPageBid)
      return true;
  return false;
}

std::vector<TreeEntry> newestLeafEntries(const StructureScan& scan, std::uint8_t type,
                                         std::span<const std::uint64_t> only, std::span<const std::uint64_t> kept) {
  struct Candidate {
    TreeEntry entry;
    std::pair<bool, std::uint64_t> rank;  // the page's CRC holds, its BID
  };
  std::unordered_map<std::uint64_t, Candidate> byKey;
  for (const auto& p : scan.treePages) {
    if (p.page.type != type || p.page.level != 0) continue;
    if (p.crcFailed && std::find(kept.begin(), kept.end(), p.offset) == kept.end()) continue;
    for (const auto& e : p.page.entries) {
      const std::uint64_t key = type == kPageBlockTree ? blockKey(e.child.bid) : e.key;
      if (!only.empty() && std::find(only.begin(), only.end(), key) == only.end()) continue;
      const std::pair rank(!p.crcFailed, p.page.bid);
      auto [it, inserted] = byKey.try_emplace(key, Candidate{e, rank});
      if (!inserted && rank > it->second.rank) it->second = {e, rank};
    }
  }
  std::vector<TreeEntry> out;
  out.reserve(byKey.size());
  for (auto& [key, c] : byKey) out.push_back(c.entry);
  std::sort(out.begin(), out.end(), [type](const TreeEntry& a, const TreeEntry& b) {
    return type == kPageBlockTree ? blockKey(a.child.bid) < blockKey(b.child.bid) : a.key < b.key;
  });
  return out;
}

std::vector<NodeEntry> toNodes(const std::vector<TreeEntry>& leaves) {
  std::vector<NodeEntry> out;
  out.reserve(leaves.size());
  for (const auto& e : leaves) out.push_back(toNode(e));
  return out;
}

std::vector<BlockEntry> toBlocks(const std::vector<TreeEntry>& leaves) {
  std::vector<BlockEntry> out;
  out.reserve(leaves.size());
  for (const auto& e : leaves) out.push_back(toBlock(e));
  return out;
}

std::vector<NodeEntry> toNodes(const TreeWalk& walk) { return fromLeaves<NodeEntry>(walk, toNode); }
std::vector<BlockEntry> toBlocks(const TreeWalk& walk) { return fromLeaves<BlockEntry>(walk, toBlock); }

BlockIndex::BlockIndex(std::vector<BlockEntry> entries, const StructureScan& scan)
    : m_entries(std::move(entries)), m_scan(scan) {
  const auto byKey = [](const BlockEntry& a, const BlockEntry& b) { return blockKey(a.bid) < blockKey(b.bid); };
  if (!std::is_sorted(m_entries.begin(), m_entries.end(), byKey)) std::sort(m_entries.begin(), m_entries.end(), byKey);
  // Whether the scan found each block: both lists walked once by offset, not searched per entry.
  std::vector<std::uint32_t> byOffset(m_entries.size());
  for (std::size_t i = 0; i < byOffset.size(); ++i) byOffset[i] = std::uint32_t(i);
  const auto offsetOf = [this](std::uint32_t i) { return m_entries[i].offset; };
  if (!std::is_sorted(byOffset.begin(), byOffset.end(), [&](auto a, auto b) { return offsetOf(a) < offsetOf(b); }))
    std::sort(byOffset.begin(), byOffset.end(), [&](auto a, auto b) { return offsetOf(a) < offsetOf(b); });
  m_state.assign(m_entries.size(), 0);
  for (const auto& [found, flag] : {std::pair(&scan.blocks, kPresent), std::pair(&scan.badCrcBlocks, kBadCrc)}) {
    auto it = found->begin();
    for (const std::uint32_t i : byOffset) {
      const BlockEntry& e = m_entries[i];
      while (it != found->end() && it->offset < e.offset) ++it;
      for (auto same = it; same != found->end() && same->offset == e.offset; ++same)
        if (sameBid(same->bid, e.bid) && same->size == e.size) m_state[i] |= flag;
    }
  }
}

const BlockEntry* BlockIndex::find(std::uint64_t bid) const {
  const std::uint64_t key = blockKey(bid);
  auto it = std::lower_bound(m_entries.begin(), m_entries.end(), key,
                             [](const BlockEntry& e, std::uint64_t k) { return blockKey(e.bid) < k; });
  return it != m_entries.end() && blockKey(it->bid) == key ? &*it : nullptr;
}

bool BlockIndex::present(std::uint64_t bid) const {
  const BlockEntry* e = find(bid);
  return e && present(*e);
}

bool BlockIndex::badCrc(std::uint64_t bid) const {
  const BlockEntry* e = find(bid);
  return e && badCrc(*e);
}

std::optional<Bytes> BlockIndex::kept(const BlockEntry& e) const {
  return present(e) && !badCrc(e) ? m_scan.keptBlock(e.offset, e.size) : std::nullopt;
}

}  // namespace kestrix::pst
