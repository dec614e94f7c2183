#include "pst/repair.h"

#include <algorithm>
#include <filesystem>
#include <unordered_map>
#include <optional>
#include <unordered_set>

#include "pst/node_reader.h"
#include "pst/node_writer.h"
#include "io/errors.h"

namespace kestrix::pst {

namespace {

// The maps that begin an interval: allocation, page, free and free-page maps in the layouts of
// 512-byte pages, the allocation map alone in the 4 KiB one.
constexpr std::int64_t kReservedPerInterval = 4096;

std::int64_t wholeIntervalsLength(std::int64_t length, const Geometry& g) {
  const std::int64_t first = g.firstMapOffset, interval = g.mapInterval;
  const std::int64_t intervals = std::max<std::int64_t>(1, (length - first + interval - 1) / interval);
  return first + intervals * interval;
}

// The room a repaired copy of a file of `length` bytes may take: the copy, in whole
// intervals, and one interval appended for new tree pages.
std::int64_t repairedRoom(std::int64_t length, const Geometry& g) { return wholeIntervalsLength(length, g) + g.mapInterval; }

// Why a file as checked cannot be repaired: the data of Message::Code::CannotRepair after the
// path (see unrepairableReason); empty when it can be.
std::vector<std::string> unrepairable(const CheckReport& r) {
  if (!r.supported()) return {"layout"};
  if (!r.isPst) return {"nopst"};
  return {};
}

// The block tree from every block the scan proved, and from every block `listing` names whose
// trailer and signature hold while its CRC fails, where no copy of that BID passes its CRC:
// readers read it, and nothing better exists. Where a BID was found more than once, the copy
// at the place the old tree names wins; reference counts come from the old tree (`known`).
std::vector<BlockEntry> blocksFromScan(const StructureScan& scan, const std::vector<BlockEntry>& known,
                                       const std::vector<BlockEntry>& listing) {
  std::unordered_map<std::uint64_t, const BlockEntry*> old;
  for (const auto& e : known) old.emplace(blockKey(e.bid), &e);
  std::unordered_map<std::uint64_t, BlockEntry> chosen;
  std::vector<FoundBlock> found = scan.blocks;
  {
    std::unordered_set<std::uint64_t> proved, listed;
    for (const auto& f : scan.blocks) proved.insert(blockKey(f.bid));
    for (const auto& e : listing) listed.insert(blockKey(e.bid));
    for (const auto& f : scan.badCrcBlocks)
      if (!proved.count(blockKey(f.bid)) && listed.count(blockKey(f.bid))) found.push_back(f);
  }
  for (const auto& f : found) {
    const std::uint64_t key = blockKey(f.bid);
    const auto was = old.find(key);
    const std::uint16_t refs = was != old.end() ? std::max<std::uint16_t>(was->second->refs, 1) : 1;
    const BlockEntry entry{f.bid, f.offset, f.size, refs, f.inflated};
    auto [it, inserted] = chosen.try_emplace(key, entry);
    if (!inserted && was != old.end() && was->second->offset == f.offset) it->second = entry;
  }
  std::vector<BlockEntry> out;
  out.reserve(chosen.size());
  for (auto& [key, e] : chosen) out.push_back(e);
  std::sort(out.begin(), out.end(), [](const BlockEntry& a, const BlockEntry& b) { return blockKey(a.bid) < blockKey(b.bid); });
  return out;
}

struct Layout {
  std::vector<std::pair<std::uint64_t, std::vector<std::byte>>> pages;
  BlockRef root;
};

// Free page-sized slots of the output: not the header, not the map pages at the start of an
// interval, not under a block of the new block tree. Appends intervals when it runs out.
class SlotAllocator {
 public:
  SlotAllocator(std::int64_t length, const std::vector<BlockEntry>& blocks, const Geometry& g)
      : m_g(&g), m_slot(std::int64_t(g.pageSize)), m_length(length) {
    m_used.assign(std::size_t(length / m_slot), false);
    auto mark = [this](std::int64_t from, std::int64_t to) {
      for (std::int64_t p = from / m_slot; p * m_slot < to && p < std::int64_t(m_used.size()); ++p) m_used[std::size_t(p)] = true;
    };
    mark(0, g.firstMapOffset);
    for (std::int64_t at = g.firstMapOffset; at < length; at += g.mapInterval) mark(at, at + kReservedPerInterval);
    // A block tree's entries may name any offset (a crafted or damaged page): only those in
    // the file take room.
    for (const auto& b : blocks)
      if (b.offset < std::uint64_t(length))
        mark(std::int64_t(b.offset), std::int64_t(b.offset) + std::int64_t(blockSpan(b.size, g)));
  }

  // The slots `bytes` take.
  std::size_t slotsFor(std::size_t bytes) const { return (bytes + std::size_t(m_slot) - 1) / std::size_t(m_slot); }

  // The offset of `count` free slots in a row (at most an interval's room), now taken.
  std::uint64_t next(std::size_t count = 1) {
    for (;;) {
      while (m_cursor < m_used.size() && m_used[m_cursor]) ++m_cursor;
      if (m_cursor == m_used.size()) {
        m_appended.push_back(m_length);
        m_length += m_g->mapInterval;
        m_used.resize(std::size_t(m_length / m_slot), false);
        m_cursor = std::size_t((m_appended.back() + kReservedPerInterval) / m_slot);
        for (std::size_t p = std::size_t(m_appended.back() / m_slot); p < m_cursor; ++p) m_used[p] = true;
      }
      std::size_t free = 0;
      while (free < count && m_cursor + free < m_used.size() && !m_used[m_cursor + free]) ++free;
      if (free == count) break;
      m_cursor += free;  // too short a run: on past it
    }
    for (std::size_t p = m_cursor; p < m_cursor + count; ++p) m_used[p] = true;
    const std::uint64_t at = std::uint64_t(m_cursor) * std::uint64_t(m_slot);
    m_cursor += count;
    return at;
  }

  std::int64_t length() const { return m_length; }
  const std::vector<std::int64_t>& appended() const { return m_appended; }

 private:
  const Geometry* m_g;
  std::int64_t m_slot;
  std::int64_t m_length;
  std::vector<bool> m_used;
  std::size_t m_cursor = 0;
  std::vector<std::int64_t> m_appended;
};

// Lays out a B-tree over entries in key order, leaves first, each level full but the last page.
Layout layoutTree(std::uint8_t type, std::vector<TreeEntry> level, SlotAllocator& slots, std::uint64_t& nextBid,
                  const Geometry& g) {
  Layout out;
  std::uint8_t depth = 0;
  do {
    const std::size_t capacity = pageCapacity(type, depth, g);
    std::vector<TreeEntry> parents;
    for (std::size_t from = 0; from < std::max<std::size_t>(level.size(), 1); from += capacity) {
      TreePage page{type, depth, nextBid++, {}};
      page.entries.assign(level.begin() + std::ptrdiff_t(std::min(from, level.size())),
                          level.begin() + std::ptrdiff_t(std::min(from + capacity, level.size())));
      const std::uint64_t offset = slots.next();
      TreeEntry parent;
      parent.key = page.entries.empty() ? 0
                   : (type == kPageBlockTree && depth == 0) ? page.entries.front().child.bid
                                                            : page.entries.front().key;
      parent.child = {page.bid, offset};
      parents.push_back(parent);
      out.pages.emplace_back(offset, buildTreePage(page, offset, g));
    }
    level = std::move(parents);
    ++depth;
  } while (level.size() > 1);
  out.root = level.front().child;
  return out;
}

// The header's next node IDs, per type, past every node that exists.
void raiseNextNids(Header& h, const std::vector<NodeEntry>& nodes) {
  for (const auto& n : nodes) {
    std::uint32_t& next = h.nextNid[nidType(n.nid)];
    next = std::max(next, (n.nid >> 5) + 1);
  }
}

// Every folder and message must lead up to the root folder. Where the way up ends at a lost
// folder, or runs in a circle, the node where it breaks is put into `top`. Returns how many.
std::int64_t attachToRoot(std::vector<NodeEntry>& nodes, std::uint32_t top, std::array<bool, 2>& kindsMoved) {
  std::unordered_map<std::uint32_t, NodeEntry*> byNid;
  for (auto& n : nodes) byNid.emplace(n.nid, &n);
  const auto movable = [](const NodeEntry& n) {
    return (nidType(n.nid) == kNidTypeMessage || nidType(n.nid) == kNidTypeFolder) && n.nid != kNidRootFolder;
  };
  std::unordered_set<std::uint32_t> reaches{kNidRootFolder};
  std::int64_t moved = 0;
  for (auto& start : nodes) {
    if (!movable(start)) continue;
    std::vector<NodeEntry*> path;
    std::unordered_set<std::uint32_t> onPath;
    NodeEntry* at = &start;
    while (!reaches.count(at->nid)) {
      path.push_back(at);
      onPath.insert(at->nid);
      auto up = byNid.find(at->parent);
      if (up == byNid.end() || onPath.count(at->parent) || (!movable(*up->second) && up->second->nid != kNidRootFolder)) {
        at->parent = at->nid == top ? kNidRootFolder : top;  // the way up breaks here
        ++moved;
        kindsMoved[nidType(at->nid) == kNidTypeMessage] = true;
        up = byNid.find(at->parent);
        if (up == byNid.end() || onPath.count(at->parent)) break;
      }
      at = up->second;
    }
    for (NodeEntry* n : path) reaches.insert(n->nid);
  }
  return moved;
}

struct Patch {
  std::int64_t offset = 0;
  std::vector<std::byte> bytes;
};

// The first inputLength bytes of the input as the output will read: patches laid over them,
// zeros past them.
class PatchedSource final : public scan::ByteSource {
 public:
  PatchedSource(scan::ByteSource& input, const std::vector<Patch>& patches, std::int64_t length, std::int64_t inputLength)
      : m_input(input), m_patches(patches), m_length(length), m_inputLength(std::min(inputLength, input.size())) {}
  std::int64_t size() const override { return m_length; }
  std::string name() const override { return m_input.name(); }
  std::size_t readAt(std::int64_t offset, std::span<std::byte> out) override {
    if (offset >= m_length) return 0;
    out = out.first(std::size_t(std::min<std::int64_t>(std::int64_t(out.size()), m_length - offset)));
    std::fill(out.begin(), out.end(), std::byte{0});
    if (offset < m_inputLength) {
      const std::size_t want = std::size_t(std::min<std::int64_t>(std::int64_t(out.size()), m_inputLength - offset));
      if (m_input.readAt(offset, out.first(want)) != want) return 0;
    }
    for (const Patch& p : m_patches) {
      const std::int64_t from = std::max(offset, p.offset);
      const std::int64_t to = std::min(offset + std::int64_t(out.size()), p.offset + std::int64_t(p.bytes.size()));
      if (from < to)
        std::copy_n(p.bytes.begin() + (from - p.offset), to - from, out.begin() + (from - offset));
    }
    return out.size();
  }

 private:
  scan::ByteSource& m_input;
  const std::vector<Patch>& m_patches;
  std::int64_t m_length;
  std::int64_t m_inputLength;
};

// The nodes a mailbox cannot open without: the message store (0x21) naming the top folder,
// the root folder (0x122) and the top folder. Those lost are written anew; the top folder is
// the one the store names, else the surviving folder under the root that holds most messages.
class Skeleton {
 public:
  Skeleton(std::vector<NodeEntry>& nodes, NodeReader& reader, Header& header, SlotAllocator& slots, const Geometry& g)
      : m_nodes(nodes), m_header(header), m_slots(slots), m_g(g) {
    for (const auto& n : nodes) m_present.insert(n.nid);
    std::optional<std::uint32_t> named;
    for (const auto& n : nodes)
      if (n.nid == kNidMessageStore)
        if (auto id = reader.property(n.data, kPropIpmSubtreeEntryId); id && id->size() >= 24) named = le32(*id, 20);
    if (named && nidType(*named) == kNidTypeFolder) {
      m_top = *named;
    } else {
      std::unordered_map<std::uint32_t, std::uint32_t> parentOf;
      for (const auto& n : nodes) parentOf[n.nid] = n.parent;
      std::unordered_map<std::uint32_t, std::int64_t> held;  // messages under each folder under the root
      for (const auto& n : nodes) {
        if (nidType(n.nid) != kNidTypeMessage) continue;
        std::uint32_t at = n.parent;
        for (int depth = 0; depth < 64 && parentOf.count(at) && parentOf[at] != kNidRootFolder; ++depth) at = parentOf[at];
        if (parentOf.count(at) && parentOf[at] == kNidRootFolder) ++held[at];
      }
      for (const auto& n : nodes)
        if (nidType(n.nid) == kNidTypeFolder && n.parent == kNidRootFolder && n.nid != kNidRootFolder &&
            (m_top == 0 || held[n.nid] > held[m_top]))
          m_top = n.nid;
    }
    if (m_top == 0) m_top = (header.nextNid[kNidTypeFolder]++ << 5) | kNidTypeFolder;
    if (!m_present.count(kNidRootFolder)) add(kNidRootFolder, kNidRootFolder, folder(""));
    if (!m_present.count(m_top)) add(m_top, kNidRootFolder, folder("Top of Personal Folders"));
    if (!m_present.count(kNidMessageStore)) {
      std::vector<std::byte> key(16);
      for (std::size_t i = 0; i < key.size(); ++i) key[i] = std::byte(0xA0 + i);  // the store's record key
      std::vector<std::byte> entry(4);
      entry.insert(entry.end(), key.begin(), key.end());
      entry.resize(24);
      putLe32(entry, 20, m_top);
      add(kNidMessageStore, 0,
          buildPropertyContext({binaryProperty(0x0FF9, key), stringProperty(kPropDisplayName, "Personal Folders"),
                                binaryProperty(kPropIpmSubtreeEntryId, entry)}));
    }
  }

  // Each folder's hierarchy table (its subfolders) and contents table (its messages), written
  // anew where lost or not whole (its data, or its subnodes, where a large table keeps its
  // rows; `subsLost`: nodes whose subnodes were lost), or listing a folder or message that was
  // dropped (`listsDropped`): a reader lists nothing under a folder without them, and gives up
  // on a folder whose table names an item that is not there. The top folder's too, of each
  // kind (`topGained`: subfolders, messages) of which items whose folder was lost were moved
  // under it. The new tables hold the two columns every table has; a folder of more messages
  // than one block's table holds keeps what it has. Returns how many were written.
  std::int64_t rebuildTables(NodeReader& reader, const std::unordered_set<std::uint32_t>& subsLost,
                             const std::unordered_set<std::uint32_t>& listsDropped, std::array<bool, 2> topGained) {
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> children[2];  // subfolders, messages
    std::unordered_map<std::uint32_t, NodeEntry> entryOf;  // copies: add() below may move m_nodes
    std::vector<std::uint32_t> folders;
    for (const auto& n : m_nodes) {
      entryOf[n.nid] = n;
      if (nidType(n.nid) == kNidTypeFolder) {
        folders.push_back(n.nid);
        if (n.parent != n.nid) children[0][n.parent].push_back(n.nid);
      } else if (nidType(n.nid) == kNidTypeMessage) {
        children[1][n.parent].push_back(n.nid);
      }
    }
    std::int64_t written = 0;
    for (const std::uint32_t folder : folders)
      for (std::size_t kind = 0; kind < 2; ++kind) {
        const std::uint32_t table = (folder & ~kNidTypeMask) | (kind == 0 ? kNidTypeHierarchyTable : kNidTypeContentsTable);
        const auto it = entryOf.find(table);
        const bool whole = it != entryOf.end() && it->second.data != 0 && reader.dataWhole(it->second.data) &&
                           !subsLost.count(table) && !listsDropped.count(table) &&
                           (it->second.sub == 0 || reader.subnodesWhole(it->second.sub));
        if (whole && !(folder == m_top && topGained[kind])) continue;
        std::vector<std::byte> data = buildTableContext(children[kind][folder]);
        if (data.empty()) continue;
        add(table, 0, std::move(data));
        ++written;
      }
    return written;
  }

  std::uint32_t top() const { return m_top; }
  std::int64_t created() const { return std::int64_t(m_blocks.size()); }
  bool has(std::uint32_t nid) const { return m_present.count(nid) > 0; }
  std::vector<std::pair<BlockEntry, std::vector<std::byte>>> take() { return std::move(m_blocks); }

 private:
  static std::vector<std::byte> folder(const std::string& name) {
    std::vector<Property> props{integerProperty(0x3602, kTypeInteger32, 0), integerProperty(0x3603, kTypeInteger32, 0),
                                integerProperty(0x360A, kTypeBoolean, 1)};
    if (!name.empty()) props.push_back(stringProperty(kPropDisplayName, name));
    return buildPropertyContext(std::move(props));
  }

  // Node nid's data in a new block: its entry changed where it has one, else added.
  void add(std::uint32_t nid, std::uint32_t parent, std::vector<std::byte> data) {
    const std::uint64_t bid = m_header.nextBlockBid;
    m_header.nextBlockBid += 4;
    const std::uint16_t size = std::uint16_t(data.size());
    const std::uint64_t offset = m_slots.next(m_slots.slotsFor(blockSpan(size, m_g)));
    // Written as it is: where the layout may compress blocks, it inflates to its own size.
    const std::uint16_t inflated = m_g.blockTrailer.inflatedSize.size != 0 ? size : 0;
    m_blocks.push_back({BlockEntry{bid, offset, size, 2, inflated}, buildBlock(std::move(data), m_header.encoding, bid, offset, m_g)});
    const auto it = std::find_if(m_nodes.begin(), m_nodes.end(), [nid](const NodeEntry& n) { return n.nid == nid; });
    if (it != m_nodes.end()) {
      it->data = bid;
      it->sub = 0;
    } else {
      m_nodes.push_back({nid, parent, bid, 0});
    }
    m_present.insert(nid);
  }

  std::vector<NodeEntry>& m_nodes;
  Header& m_header;
  SlotAllocator& m_slots;
  const Geometry& m_g;
  std::unordered_set<std::uint32_t> m_present;
  std::uint32_t m_top = 0;
  std::vector<std::pair<BlockEntry, std::vector<std::byte>>> m_blocks;
};

std::uint32_t defaultNextNid(std::size_t type) {
  switch (type) {
    case 0x03: return 0x4000;   // search folders
    case 0x04: return 0x10000;  // messages
    case 0x08: return 0x8000;   // associated messages
    default: return 0x400;
  }
}

// The header a repair starts from: the file's own where it has one, else a new one; either
// way with the encoding found and next block and page IDs past every one the scan proved.
Header startingHeader(const StructureScan& scan, const Analysis& a, std::uint64_t& nextPage) {
  const bool own = a.headerVerdict == HeaderVerdict::Own;
  Header h = own ? a.header : Header{};
  // The file's own header keeps its version (an ANSI file's 14 or 15); a new one has the layout's.
  if (!own || layoutOf(h.version) != scan.geometry->layout) h.version = scan.geometry->version;
  h.encoding = a.encoding;
  for (std::size_t t = 0; t < h.nextNid.size(); ++t) h.nextNid[t] = std::max(h.nextNid[t], defaultNextNid(t));
  // A block or page ID of 0 means "none": new ones start above it.
  h.nextBlockBid = std::max<std::uint64_t>(h.nextBlockBid, 4);
  nextPage = std::max<std::uint64_t>(h.nextPageBid, 1);
  for (const auto& p : scan.treePages)
    if (p.page.bid <= kLargestPageBid) nextPage = std::max(nextPage, p.page.bid + 1);
  nextPage = std::min(nextPage, kLargestPageBid);
  for (const auto& f : scan.blocks) h.nextBlockBid = std::max(h.nextBlockBid, (blockKey(f.bid) & ~std::uint64_t(3)) + 4);
  h.unique = own ? h.unique + 1 : 1;
  return h;
}

// What follows from the length of the file as written. The allocation maps are marked for
// rebuilding; a header that is not the file's own claims no free space in them.
void finishHeader(Header& h, std::uint64_t nextPage, std::int64_t length, bool own, const Geometry& g) {
  h.nextPageBid = nextPage;
  h.fileEof = std::uint64_t(length);
  h.lastAMap = std::uint64_t(length - g.mapInterval);
  h.amapValid = 0;
  if (!own) h.amapFree = h.pmapFree = 0;
}

// What the scan holds of the input's first `end` bytes, where all past them is slack: no
// valid allocation map lies there, so none is taken off the count of valid ones.
void cutScanAt(StructureScan& scan, std::int64_t end) {
  const Geometry& g = *scan.geometry;
  scan.mapIntervals -= intervalsFrom(end, scan.length, g);
  scan.length = end;
  const auto past = [end, &g](const auto& found) { return std::int64_t(found.offset + blockSpan(found.size, g)) > end; };
  std::erase_if(scan.blocks, past);
  std::erase_if(scan.badCrcBlocks, past);
  std::erase_if(scan.kept, past);
  std::erase_if(scan.treePages, [end, &g](const FoundTreePage& p) { return std::int64_t(p.offset + g.pageSize) > end; });
  const std::int64_t sectors = (end + 511) / 512;
  std::erase_if(scan.unreadable, [sectors](const scan::SectorRun& run) { return run.first >= sectors; });
  for (scan::SectorRun& run : scan.unreadable) run.count = std::min(run.count, sectors - run.first);
}

}  // namespace

std::optional<Header> rebuiltHeader(scan::ByteSource& file, const std::atomic<bool>& stop) {
  const StructureScan scan = scanStructure(file, stop);
  if (scan.stopped) return std::nullopt;
  const Analysis a = analyse(scan, file);
  if (!a.nodeRoot || !a.blockRoot) return std::nullopt;
  std::uint64_t nextPage = 0;
  Header h = startingHeader(scan, a, nextPage);
  raiseNextNids(h, a.nodes);
  h.nodeRoot = *a.nodeRoot;
  h.blockRoot = *a.blockRoot;
  finishHeader(h, nextPage, scan.length, a.headerVerdict == HeaderVerdict::Own, *scan.geometry);
  return h;
}

RepairReport repairPst(scan::ByteSource& input, rebuild::OutputFile& output, const std::atomic<bool>& stop,
                       const StructureScanOptions& options) {
  RepairReport r;
  StructureScanOptions copying = options;
  copying.chunk = [&output, &options](std::int64_t offset, std::span<const std::byte> bytes) {
    output.writeAt(offset, bytes);
    if (options.chunk) options.chunk(offset, bytes);
  };
  StructureScan scan = scanStructure(input, stop, copying);
  if (scan.stopped) {
    r.stopped = true;
    return r;
  }
  const Analysis a = analyse(scan, input);
  r.before = describe(scan, input, a, a.nodes, a.blocks, stop);
  if (r.before.stopped) {
    r.stopped = true;
    return r;
  }
  if (auto why = unrepairable(r.before); !why.empty()) {
    why.insert(why.begin(), input.name());
    throw Error(Message{Message::Code::CannotRepair, std::move(why)});
  }
  // The copy took the slack too: the output ends at the declared end, and the repair below
  // works from what lies before it.
  r.slackCut = r.before.slackBytes;
  if (r.slackCut > 0) {
    cutScanAt(scan, scan.length - r.slackCut);
    output.resize(scan.length);
  }
  r.outputLength = scan.length;
  r.blocksCrcKept = r.before.blocksBadCrc;
  if (r.before.soundApartFromCrcs()) {
    r.unchanged = r.slackCut == 0;
    r.after = r.before;
    r.after.length = scan.length;
    r.after.slackBytes = 0;
    r.after.unreadable = scan.unreadable;
    return r;
  }

  const Geometry& g = *scan.geometry;
  const bool ownHeader = a.headerVerdict == HeaderVerdict::Own;
  r.headerRebuilt = !ownHeader;
  std::uint64_t nextPage = 0;
  Header h = startingHeader(scan, a, nextPage);

  std::vector<NodeEntry> nodes = a.nodes;
  std::vector<BlockEntry> blocks = a.blocks;
  const CheckReport& b = r.before;
  r.treesRebuilt = !(a.nodeTree.whole() && a.blockTree.whole() && b.blocksMissing == 0 &&
                     b.nodesBroken == 0 && b.messagesReadable == b.messages && b.foldersUnparsed == 0 && b.mailboxOpens);
  SlotAllocator slots(wholeIntervalsLength(scan.length, g), a.blocks, g);
  std::vector<Patch> patches;
  std::vector<FoundBlock> newBlocks;
  if (r.treesRebuilt) {
    // A block that only an older copy of a leaf lists, while the block tree is whole, was
    // freed: a copy of it failing its CRC is free space that was written over, not data.
    const std::vector<BlockEntry> leafBlocks = toBlocks(newestLeafEntries(scan, kPageBlockTree, {}, a.badCrcPages));
    blocks = blocksFromScan(scan, leafBlocks, a.blockTree.whole() ? a.blocks : leafBlocks);
    slots = SlotAllocator(wholeIntervalsLength(scan.length, g), blocks, g);
    r.blocksDropped = b.blocksMissing;
    if (!a.nodeTree.whole()) {
      std::unordered_set<std::uint32_t> walked;
      for (const auto& n : a.nodes) walked.insert(n.nid);
      nodes = toNodes(newestLeafEntries(scan, kPageNodeTree, {}, a.badCrcPages));
      for (const auto& n : nodes) r.nodesRecovered += !walked.count(n.nid);
    }
    const BlockIndex index(blocks, scan);
    NodeReader reader(input, index, a.encoding);
    std::vector<NodeEntry> kept;
    kept.reserve(nodes.size());
    std::unordered_set<std::uint32_t> keptNids, subsLost;
    std::unordered_set<std::uint32_t> listsDropped;  // tables that list a folder or message dropped
    for (NodeEntry n : nodes) {
      // A node whose data is lost goes, and so does a second entry for a NID: a mailbox
      // with two message stores opens in no reader. The store, the root folder, folders and
      // messages must have their whole data to stay, and a folder's properties must parse,
      // else the skeleton writes the store or root anew, and what a lost folder held goes
      // into the top folder. A message keeps its subnodes only while they are whole.
      const bool skeletal = n.nid == kNidMessageStore || n.nid == kNidRootFolder;
      const bool message = nidType(n.nid) == kNidTypeMessage, folder = nidType(n.nid) == kNidTypeFolder;
      bool parses = !folder || n.data != 0;  // a folder without data has no properties
      if (folder && n.data != 0) reader.property(n.data, kPropDisplayName, &parses);
      if ((n.data != 0 && !index.present(n.data)) || ((skeletal || message || folder) && !reader.dataWhole(n.data)) ||
          !parses || keptNids.count(n.nid)) {
        ++r.nodesDropped;
        if ((message || folder) && !keptNids.count(n.nid))
          listsDropped.insert((n.parent & ~kNidTypeMask) | (folder ? kNidTypeHierarchyTable : kNidTypeContentsTable));
        continue;
      }
      keptNids.insert(n.nid);
      if (n.sub != 0 && (!index.present(n.sub) || (message && !reader.subnodesWhole(n.sub)))) {
        n.sub = 0;
        ++r.subnodesCleared;
        subsLost.insert(n.nid);
      }
      kept.push_back(n);
    }
    nodes = std::move(kept);
    // A block failing its CRC that no node kept reaches is free space written over, which an
    // older copy of a leaf still lists when the block tree is lost: it goes, or the file
    // written would hold a block that fails its CRC and is no one's data.
    const std::unordered_set<std::uint64_t> reached = reader.reached(nodes);
    std::erase_if(blocks, [&](const BlockEntry& e) { return index.badCrc(e.bid) && !reached.count(blockKey(e.bid)); });
    {
      std::unordered_set<std::uint64_t> had;
      for (const auto& e : a.blocks) had.insert(blockKey(e.bid));
      for (const auto& e : blocks) r.blocksAdded += !had.count(blockKey(e.bid));
    }
    raiseNextNids(h, nodes);  // before new nodes take IDs
    Skeleton skeleton(nodes, reader, h, slots, g);
    r.orphanFolder = skeleton.top();
    r.nodesCreated = skeleton.created();
    std::array<bool, 2> kindsMoved{};  // folders, messages
    r.orphansMoved = attachToRoot(nodes, r.orphanFolder, kindsMoved);
    r.tablesRebuilt = skeleton.rebuildTables(reader, subsLost, listsDropped, kindsMoved);
    for (auto& [entry, block] : skeleton.take()) {
      blocks.push_back(entry);
      newBlocks.push_back({entry.bid, entry.offset, entry.size, entry.inflated});
      patches.push_back({std::int64_t(entry.offset), std::move(block)});
    }
    std::sort(nodes.begin(), nodes.end(), [](const NodeEntry& x, const NodeEntry& y) { return x.nid < y.nid; });
    std::sort(blocks.begin(), blocks.end(), [](const BlockEntry& x, const BlockEntry& y) { return blockKey(x.bid) < blockKey(y.bid); });
  }
  raiseNextNids(h, nodes);

  std::int64_t nodePages = 0, blockPages = 0;
  if (r.treesRebuilt) {
    std::vector<TreeEntry> nodeLeaves, blockLeaves;
    for (const auto& n : nodes) {
      TreeEntry e;
      e.key = n.nid;
      e.data = n.data;
      e.sub = n.sub;
      e.parent = n.parent;
      nodeLeaves.push_back(e);
    }
    for (const auto& e : blocks) {
      TreeEntry t;
      t.key = e.bid;
      t.child = {e.bid, e.offset};
      t.size = e.size;
      t.refs = e.refs;
      t.inflated = e.inflated;
      blockLeaves.push_back(t);
    }
    Layout nodeTree = layoutTree(kPageNodeTree, std::move(nodeLeaves), slots, nextPage, g);
    Layout blockTree = layoutTree(kPageBlockTree, std::move(blockLeaves), slots, nextPage, g);
    h.nodeRoot = nodeTree.root;
    h.blockRoot = blockTree.root;
    nodePages = std::int64_t(nodeTree.pages.size());
    blockPages = std::int64_t(blockTree.pages.size());
    for (auto* tree : {&nodeTree, &blockTree})
      for (auto& [offset, page] : tree->pages)
        patches.push_back({std::int64_t(offset), std::move(page)});
  } else {
    h.nodeRoot = *a.nodeRoot;
    h.blockRoot = *a.blockRoot;
  }
  r.pagesWritten = nodePages + blockPages;
  r.outputLength = slots.length();
  finishHeader(h, nextPage, r.outputLength, ownHeader, g);
  // A file past its layout's limits (an ANSI file's 32-bit IDs and offsets, its 2 GiB) is one
  // no reader opens: none is written.
  if (r.outputLength > g.maxFileLength || !g.fitsId(h.fileEof) || !g.fitsId(h.nextBlockBid) || !g.fitsId(h.nextPageBid))
    throw Error(Message{Message::Code::CannotRepair, {input.name(), "limits"}});

  // Appended intervals begin with their allocation map (and, where the layout has page maps,
  // every eighth with one after it). The map's first bits cover its own page.
  std::vector<Patch> maps;
  const std::int64_t bitBytes = std::int64_t(g.mapBitBytes), pageBits = std::int64_t(g.pageSize) / bitBytes;
  const auto markBits = [](std::vector<std::uint8_t>& bits, std::int64_t from, std::int64_t to) {
    for (std::int64_t u = from; u < to; ++u) bits[std::size_t(u / 8)] |= std::uint8_t(0x80 >> (u % 8));
  };
  for (const std::int64_t start : slots.appended()) {
    std::vector<std::uint8_t> bits(g.mapBits.size);
    markBits(bits, 0, pageBits);
    if (g.pageMaps && (start - g.firstMapOffset) / g.mapInterval % 8 == 0) {
      markBits(bits, pageBits, 2 * pageBits);
      const std::vector<std::uint8_t> all(g.mapBits.size, 0xFF);
      const std::int64_t at = start + std::int64_t(g.pageSize);
      maps.push_back({at, buildMapPage(kPagePageMap, all, std::uint64_t(at), g)});
    }
    for (const Patch& p : patches)
      if (p.offset >= start && p.offset < start + g.mapInterval)
        markBits(bits, (p.offset - start) / bitBytes, (p.offset - start + std::int64_t(p.bytes.size()) + bitBytes - 1) / bitBytes);
    maps.push_back({start, buildMapPage(kPageAllocMap, bits, std::uint64_t(start), g)});
  }
  patches.insert(patches.end(), maps.begin(), maps.end());
  std::vector<std::byte> header(g.header.size);
  buildHeader(h, header, ownHeader ? Bytes(scan.header) : Bytes{}, g);
  patches.push_back({0, std::move(header)});
  output.resize(r.outputLength);
  for (const Patch& p : patches) output.writeAt(p.offset, p.bytes);

  // What the written file holds, told from the input with the patches laid over it.
  PatchedSource written(input, patches, r.outputLength, scan.length);
  StructureScan after;
  after.geometry = &g;
  after.length = r.outputLength;
  after.mapIntervals = scan.mapIntervals + std::int64_t(slots.appended().size());
  after.validAllocationMaps = scan.validAllocationMaps + std::int64_t(slots.appended().size());
  // The scan is not needed past here: its lists move over.
  after.blocks = std::move(scan.blocks);
  if (!newBlocks.empty()) {
    after.blocks.insert(after.blocks.end(), newBlocks.begin(), newBlocks.end());
    std::stable_sort(after.blocks.begin(), after.blocks.end(),
                     [](const FoundBlock& x, const FoundBlock& y) { return x.offset < y.offset; });
  }
  after.badCrcBlocks = std::move(scan.badCrcBlocks);
  // The blocks of both trees lie where no patch goes, so the tree blocks kept from the input
  // are the output's too.
  after.kept = std::move(scan.kept);
  after.keptBytes = std::move(scan.keptBytes);
  AnalysisSummary result = a;
  result.header = h;
  result.headerVerdict = HeaderVerdict::Own;
  result.nodeRoot = h.nodeRoot;
  result.blockRoot = h.blockRoot;
  if (r.treesRebuilt) {
    result.nodeTree = TreeReport{true, true, nodePages, 0, 0, 0, false};
    result.blockTree = TreeReport{true, true, blockPages, 0, 0, 0, false};
  } else {
    result.nodeTree.rootFromHeader = result.blockTree.rootFromHeader = true;
  }
  r.after = describe(after, written, result, nodes, std::move(blocks), stop);
  r.blocksCrcKept = r.after.blocksBadCrc;
  r.stopped = r.after.stopped;
  return r;
}

RepairReport repairFile(scan::ByteSource& input, const std::string& outputPath, const std::atomic<bool>& stop,
                        const StructureScanOptions& options) {
  const std::int64_t size = repairedRoom(input.size(), geometryToRead(input));
  rebuild::OutputSet outputs(&input, {{outputPath, size, size}});
  RepairReport report = repairPst(input, outputs.open(0), stop, options);
  if (!report.stopped) outputs.commit();
  return report;
}

std::string rawPathFor(const std::string& path, int n) {
  const std::filesystem::path p(path);
  const std::string ext = p.extension().string();
  const std::string mark = n > 1 ? ".raw-" + std::to_string(n) : ".raw";
  return (p.parent_path() / (p.stem().string() + mark + (ext.empty() ? "" : ext))).string();
}

CheckedOutput checkWrittenPst(rebuild::OutputSet& outputs, std::size_t target, const std::atomic<bool>& stop,
                              const std::function<void(const CheckedOutputProgress&)>& progress) {
  CheckedOutput out;
  rebuild::OutputFile& written = outputs.open(target);
  const std::unique_ptr<scan::ByteSource> bytes = written.reader();
  const auto stageProgress = [&](CheckedOutputProgress::Stage stage) {
    StructureScanOptions options;
    if (progress)
      options.progress = [&progress, stage](const StructureProgress& p) { progress({stage, p.done, p.total}); };
    return options;
  };
  out.check = checkPst(*bytes, stop, stageProgress(CheckedOutputProgress::Stage::Check));
  if (out.check.stopped) {
    out.stopped = true;
    return out;
  }
  if (out.check.soundApartFromCrcs()) return out;  // blocks whose CRC fails stay as readers read them
  if (const auto why = unrepairable(out.check); !why.empty()) {
    out.notRepaired = "it " + unrepairableReason(why[0]);
    return out;
  }
  const std::string path = written.path();
  const std::string raw = rawPathFor(path);
  const std::int64_t size = repairedRoom(bytes->size(), *geometryOf(out.check.analysis.layout));
  std::optional<std::size_t> repaired;
  // The repair cannot complete: what stood at the target's name stays, and the bytes as
  // written are kept under the raw name (or the first free one after it), never lost and never
  // put over a sound earlier file.
  const auto keepAsWritten = [&](CheckedOutput::Failed step, const Error& e) {
    if (repaired) outputs.drop(*repaired);
    std::string why = e.what();
    for (int n = 1; n < 100 && outputs.targets()[target].path == path; ++n) {
      try {
        outputs.rename(target, n == 1 ? raw : rawPathFor(path, n));
      } catch (const Error&) {
      }
    }
    if (outputs.targets()[target].path == path) throw e;
    out.rawPath = outputs.targets()[target].path;
    out.notRepaired = (step == CheckedOutput::Failed::Copy ? "no repaired copy can be written: " : "the repair failed: ") +
                      why;
    out.failed = step;
    out.failure = e.message();
    return out;
  };
  try {
    repaired = outputs.add({path, size, size});
    outputs.rename(target, raw);
  } catch (const Error& e) {
    return keepAsWritten(CheckedOutput::Failed::Copy, e);
  }
  try {
    out.repair = repairPst(*bytes, outputs.open(*repaired), stop, stageProgress(CheckedOutputProgress::Stage::Repair));
  } catch (const Error& e) {
    return keepAsWritten(CheckedOutput::Failed::Repair, e);
  }
  if (out.repair.stopped) {
    out.stopped = true;
    return out;
  }
  out.repaired = true;
  out.rawPath = raw;
  return out;
}

}  // namespace kestrix::pst
