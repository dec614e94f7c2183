#include "pst/mailbox_outline.h"

#include <algorithm>
#include <array>
#include <tuple>
#include <unordered_set>

#include "pst/node_reader.h"

namespace kestrix::pst {

namespace {

// The page `ref` names, when it is a valid page of that tree at that offset (its CRC may fail)
// with the BID named and, unless level is -1, of that level; with whether its CRC fails.
std::optional<std::pair<TreePage, bool>> readTreePage(scan::ByteSource& file, BlockRef ref, std::uint8_t type, int level,
                                                      const Geometry& g) {
  if (ref.offset % g.pageSize != 0 || ref.offset < std::uint64_t(g.firstMapOffset) ||
      file.size() < std::int64_t(g.pageSize) || ref.offset > std::uint64_t(file.size()) - g.pageSize)
    return std::nullopt;
  std::vector<std::byte> bytes(g.pageSize);
  if (file.readAt(std::int64_t(ref.offset), bytes) != bytes.size()) return std::nullopt;
  const PageState state = pageState(bytes, ref.offset, g);
  if (state == PageState::Invalid) return std::nullopt;
  auto page = parseTreePage(bytes, g);
  if (!page || page->type != type || blockKey(page->bid) != blockKey(ref.bid) || (level >= 0 && page->level != level))
    return std::nullopt;
  return std::pair(std::move(*page), state == PageState::CrcFailed);
}

// The tree pages reached from a root, read one by one into `found` as a pass would have found
// them there. A page counts when it is valid at the offset its parent names (a failing CRC is
// kept, as the pass keeps it), carries the BID and type named, and lies one level below its
// parent: so each page is taken once and the walk is as deep as the root's level at most.
// False when the stop flag ended it.
bool gatherTree(scan::ByteSource& file, BlockRef root, std::uint8_t type, StructureScan& found, MailboxOutline& out,
                const OutlineLimits& limits, const std::atomic<bool>& stop) {
  struct Wanted {
    BlockRef ref;
    int level;  // the level the page must have; -1 for the root (any)
  };
  std::vector<Wanted> stack{{root, -1}};
  std::unordered_set<std::uint64_t> seen;
  std::int64_t read = 0;
  while (!stack.empty()) {
    if (stop.load(std::memory_order_relaxed)) return false;
    const Wanted w = stack.back();
    stack.pop_back();
    if (seen.count(w.ref.offset)) continue;
    if (read++ == limits.maxPages) {
      out.pagesCapped = true;
      return true;
    }
    ++out.pagesRead;
    auto page = readTreePage(file, w.ref, type, w.level, *found.geometry);
    if (!page) continue;
    // Taken once; a page named with another BID or level is not taken, and may be read again
    // when named rightly (the read limit bounds those reads).
    seen.insert(w.ref.offset);
    // Depth first, children in key order, as walkTree takes them.
    const auto& entries = page->first.entries;
    if (page->first.level > 0)
      for (auto it = entries.rbegin(); it != entries.rend(); ++it) stack.push_back({it->child, page->first.level - 1});
    found.treePages.push_back({w.ref.offset, std::move(page->first), page->second});
  }
  return true;
}

// Reads the blocks of property contexts where the block tree puts them, and records in
// `found` those whose trailer, signature and CRC hold there (or all but the CRC), as a pass
// would: a BlockIndex over `found` then serves a NodeReader. An internal block's children are
// read too, down to the data blocks (two levels at most).
// Where the block tree was read only in part (pagesCapped), a block it does not list is looked
// up from the root down, one page a level.
class BlockProbe {
 public:
  BlockProbe(scan::ByteSource& file, BlockRef root, const std::vector<BlockEntry>& byKey, StructureScan& found,
             MailboxOutline& out, const OutlineLimits& limits)
      : m_file(file), m_root(root), m_byKey(byKey), m_found(found), m_out(out), m_limits(limits) {}

  void probe(std::uint64_t bid, int depth = 2) {
    if (depth < 0 || bid == 0 || !m_probed.insert(blockKey(bid)).second || m_out.blocksRead >= m_limits.maxBlocks) return;
    const auto it = find(bid);
    const Geometry& g = *m_found.geometry;
    if (!it || it->size > g.maxBlockData()) return;
    ++m_out.blocksRead;
    std::vector<std::byte> raw(blockSpan(it->size, g));
    if (m_file.readAt(std::int64_t(it->offset), raw) != raw.size()) return;
    const BlockTrailer t = blockTrailer(Bytes(raw).last(g.blockTrailer.size), g);
    if (blockKey(t.bid) != blockKey(bid) || t.size != it->size || t.sig != signature(it->offset, t.bid)) return;
    const Bytes data = Bytes(raw).first(it->size);
    const bool crcHolds = crc(data) == t.crc;
    (crcHolds ? m_found.blocks : m_found.badCrcBlocks).push_back({t.bid, it->offset, it->size, t.inflated});
    m_dirty = true;
    if (crcHolds && isInternalBid(bid))
      for (const std::uint64_t child : internalBlockRefs(data, g)) probe(child, depth - 1);
  }

  // The first data block of a node's data, decoded under none of the encodings.
  std::optional<std::vector<std::byte>> rawFirst(std::uint64_t bidData) {
    const auto it = isInternalBid(bidData) ? std::nullopt : find(bidData);
    if (!it) return std::nullopt;
    std::vector<std::byte> raw(it->size);
    if (m_file.readAt(std::int64_t(it->offset), raw) != raw.size()) return std::nullopt;
    return raw;
  }

  // The index over what was found so far, made anew after more blocks were read.
  const BlockIndex& index() {
    if (m_dirty || !m_index) {
      for (auto* list : {&m_found.blocks, &m_found.badCrcBlocks})
        std::sort(list->begin(), list->end(), [](const FoundBlock& a, const FoundBlock& b) { return a.offset < b.offset; });
      std::vector<BlockEntry> entries = m_byKey;
      entries.insert(entries.end(), m_lookedUp.begin(), m_lookedUp.end());
      m_index.emplace(std::move(entries), m_found);
      m_dirty = false;
    }
    return *m_index;
  }

 private:
  std::optional<BlockEntry> find(std::uint64_t bid) {
    const std::uint64_t key = blockKey(bid);
    const auto it = std::lower_bound(m_byKey.begin(), m_byKey.end(), key,
                                     [](const BlockEntry& e, std::uint64_t k) { return blockKey(e.bid) < k; });
    if (it != m_byKey.end() && blockKey(it->bid) == key) return *it;
    if (!m_out.pagesCapped) return std::nullopt;
    for (const BlockEntry& e : m_lookedUp)
      if (blockKey(e.bid) == key) return e;
    // Down from the root: each step one level lower, so at most the root's level of pages.
    BlockRef ref = m_root;
    for (int level = -1;;) {
      ++m_out.pagesRead;
      const auto page = readTreePage(m_file, ref, kPageBlockTree, level, *m_found.geometry);
      if (!page) return std::nullopt;
      const auto& entries = page->first.entries;
      if (page->first.level == 0) {
        for (const TreeEntry& e : entries)
          if (blockKey(e.child.bid) == key) return m_lookedUp.emplace_back(BlockEntry{e.child.bid, e.child.offset, e.size, e.refs});
        return std::nullopt;
      }
      const auto child = std::upper_bound(entries.begin(), entries.end(), key,
                                          [](std::uint64_t k, const TreeEntry& e) { return k < blockKey(e.key); });
      if (child == entries.begin()) return std::nullopt;
      ref = std::prev(child)->child;
      level = page->first.level - 1;
    }
  }

  scan::ByteSource& m_file;
  BlockRef m_root;
  const std::vector<BlockEntry>& m_byKey;
  std::vector<BlockEntry> m_lookedUp;
  StructureScan& m_found;
  MailboxOutline& m_out;
  const OutlineLimits& m_limits;
  std::unordered_set<std::uint64_t> m_probed;
  std::optional<BlockIndex> m_index;
  bool m_dirty = false;
};

// UTF-8 of at most maxBytes, cut before a character that would not fit whole.
std::string cutName(std::string name, std::size_t maxBytes) {
  if (name.size() <= maxBytes) return name;
  std::size_t end = maxBytes;
  while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
  name.resize(end);
  return name;
}


TreeReport reportOf(const TreeWalk& walk, bool fromHeader) {
  return {fromHeader, walk.rootFound, walk.pagesReached, walk.pagesMissing, walk.pagesRepeated, walk.pagesBadCrc, false};
}

}  // namespace

MailboxOutline readMailboxOutline(scan::ByteSource& file, const std::atomic<bool>& stop,
                                  const std::optional<Header>& given, const OutlineLimits& limits) {
  MailboxOutline out;
  Header header;
  if (given) {
    header = *given;
    out.header = HeaderState::Sound;
  } else {
    std::array<std::byte, kHeaderSize> bytes{};
    const Bytes head = std::span(bytes).first(file.readAt(0, bytes));
    const FileLayout named = parseHeader(head).layout;
    const ParsedHeader parsed = parseHeader(head, geometryOf(named) ? named : FileLayout::Unicode);
    out.header = parsed.state;
    header = parsed.header;
    if (parsed.state == HeaderState::Missing || parsed.state == HeaderState::NotUnicode) return out;
  }

  StructureScan found;
  const FileLayout layout = layoutOf(header.version);
  found.geometry = geometryOf(geometryOf(layout) ? layout : FileLayout::Unicode);
  found.length = file.size();
  for (const auto& [root, type] : {std::pair(header.nodeRoot, kPageNodeTree), std::pair(header.blockRoot, kPageBlockTree)})
    if (!gatherTree(file, root, type, found, out, limits, stop)) {
      out.stopped = true;
      return out;
    }
  std::sort(found.treePages.begin(), found.treePages.end(),
            [](const FoundTreePage& a, const FoundTreePage& b) { return a.offset < b.offset; });
  std::vector<NodeEntry> nodes;
  {
    const PageLookup pages(found);
    const TreeWalk nodeWalk = walkTree(pages, header.nodeRoot, kPageNodeTree);
    const TreeWalk blockWalk = walkTree(pages, header.blockRoot, kPageBlockTree);
    out.nodeTree = reportOf(nodeWalk, !given);
    out.blockTree = reportOf(blockWalk, !given);
    nodes = toNodes(nodeWalk);
    out.blocks = toBlocks(blockWalk);
  }
  found.treePages.clear();
  std::stable_sort(out.blocks.begin(), out.blocks.end(),
                   [](const BlockEntry& a, const BlockEntry& b) { return blockKey(a.bid) < blockKey(b.bid); });
  for (const NodeEntry& n : nodes) out.messages += nidType(n.nid) == kNidTypeMessage;

  const auto node = [&](std::uint32_t nid) -> const NodeEntry* {
    const auto it = std::find_if(nodes.begin(), nodes.end(), [nid](const NodeEntry& n) { return n.nid == nid; });
    return it == nodes.end() ? nullptr : &*it;
  };
  const NodeEntry* store = node(kNidMessageStore);
  const NodeEntry* rootFolder = node(kNidRootFolder);
  BlockProbe probe(file, header.blockRoot, out.blocks, found, out, limits);
  for (const NodeEntry* n : {store, rootFolder})
    if (n) probe.probe(n->data);
  if (stop.load()) {
    out.stopped = true;
    return out;
  }

  // The header's encoding, unless another one makes the store's data a heap (a header given,
  // or one whose CRC fails, may name none or the wrong one).
  out.encoding = header.encoding;
  if (const auto raw = store ? probe.rawFirst(store->data) : std::nullopt)
    for (Encoding e : {header.encoding, Encoding::Permute, Encoding::None, Encoding::Cyclic})
      if (looksLikeHeap(*raw, e, store->data)) {
        out.encoding = e;
        break;
      }

  std::uint32_t top = kNidRootFolder;
  {
    NodeReader reader(file, probe.index(), out.encoding);
    if (store) {
      if (auto name = reader.text(store->data, kPropDisplayName, &out.storeRead))
        out.displayName = cutName(std::move(*name), limits.maxNameBytes);
      // Its entry ID: flags, the store's UID, then the folder's NID.
      const auto id = reader.property(store->data, kPropIpmSubtreeEntryId);
      if (id && id->size() >= 24 && nidType(le32(*id, 20)) == kNidTypeFolder && node(le32(*id, 20))) top = le32(*id, 20);
    }
    if (rootFolder) {
      bool parses = false;
      reader.property(rootFolder->data, kPropDisplayName, &parses);
      out.rootFolderRead = parses && reader.dataWhole(rootFolder->data);
    }
  }

  std::vector<const NodeEntry*> children;
  for (const NodeEntry& n : nodes)
    if (n.parent == top && n.nid != top && nidType(n.nid) == kNidTypeFolder && children.size() < limits.maxFolders)
      children.push_back(&n);
  for (const NodeEntry* n : children) probe.probe(n->data);
  if (stop.load()) {
    out.stopped = true;
    return out;
  }
  NodeReader reader(file, probe.index(), out.encoding);
  std::vector<std::pair<std::string, std::uint32_t>> named;
  for (const NodeEntry* n : children) {
    auto name = reader.text(n->data, kPropDisplayName);
    named.emplace_back(name ? cutName(std::move(*name), limits.maxNameBytes) : std::string(), n->nid);
  }
  std::sort(named.begin(), named.end());
  for (auto& [name, nid] : named) out.topFolders.push_back(std::move(name));
  return out;
}

}  // namespace kestrix::pst
