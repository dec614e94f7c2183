#include "pst/repair.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <unordered_map>
#include <unordered_set>

#include "pst/node_reader.h"
#include "scan/errors.h"

namespace kestrix::pst {

namespace {

constexpr std::int64_t kReservedPerInterval = 4096;  // allocation, page, free and free-page maps

std::int64_t wholeIntervalsLength(std::int64_t length) {
  const std::int64_t intervals = std::max<std::int64_t>(1, (length - kFirstAMapOffset + kIntervalBytes - 1) / kIntervalBytes);
  return kFirstAMapOffset + intervals * kIntervalBytes;
}

// The block tree from every block the scan proved. Where a BID was found more than once,
// the copy at the place the old tree names wins; reference counts come from the old tree.
std::vector<BlockEntry> blocksFromScan(const StructureScan& scan, const std::vector<BlockEntry>& known) {
  std::unordered_map<std::uint64_t, const BlockEntry*> old;
  for (const auto& e : known) old.emplace(blockKey(e.bid), &e);
  std::unordered_map<std::uint64_t, BlockEntry> chosen;
  for (const auto& f : scan.blocks) {
    const std::uint64_t key = blockKey(f.bid);
    const auto was = old.find(key);
    const std::uint16_t refs = was != old.end() ? std::max<std::uint16_t>(was->second->refs, 1) : 1;
    const BlockEntry entry{f.bid, f.offset, f.size, refs};
    auto [it, inserted] = chosen.try_emplace(key, entry);
    if (!inserted && was != old.end() && was->second->offset == f.offset) it->second = entry;
  }
  std::vector<BlockEntry> out;
  out.reserve(chosen.size());
  for (auto& [key, e] : chosen) out.push_back(e);
  std::sort(out.begin(), out.end(), [](const BlockEntry& a, const BlockEntry& b) { return blockKey(a.bid) < blockKey(b.bid); });
  return out;
}

// The folder that holds the mailbox's visible folders, from the message store's entry ID.
std::uint32_t topFolder(const std::vector<NodeEntry>& nodes, NodeReader& reader) {
  std::unordered_map<std::uint32_t, const NodeEntry*> byNid;
  for (const auto& n : nodes) byNid.emplace(n.nid, &n);
  if (auto store = byNid.find(kNidMessageStore); store != byNid.end())
    if (auto id = reader.property(store->second->data, kPropIpmSubtreeEntryId); id && id->size() >= 24) {
      const std::uint32_t nid = le32(*id, 20);
      if (byNid.count(nid) && nidType(nid) == kNidTypeFolder) return nid;
    }
  return byNid.count(kNidRootFolder) ? kNidRootFolder : 0;
}

struct Layout {
  std::vector<std::pair<std::uint64_t, std::array<std::byte, kPageSize>>> pages;
  BlockRef root;
};

// Free 512-byte slots of the output: not the header, not the map pages at the start of an
// interval, not under a block of the new block tree. Appends intervals when it runs out.
class SlotAllocator {
 public:
  SlotAllocator(std::int64_t length, const std::vector<BlockEntry>& blocks) : m_length(length) {
    m_used.assign(std::size_t(length / 512), false);
    auto mark = [this](std::int64_t from, std::int64_t to) {
      for (std::int64_t p = from / 512; p * 512 < to && p < std::int64_t(m_used.size()); ++p) m_used[std::size_t(p)] = true;
    };
    mark(0, kFirstAMapOffset);
    for (std::int64_t at = kFirstAMapOffset; at < length; at += kIntervalBytes) mark(at, at + kReservedPerInterval);
    for (const auto& b : blocks) mark(std::int64_t(b.offset), std::int64_t(b.offset + blockSpan(b.size)));
  }

  std::uint64_t next() {
    while (m_cursor < m_used.size() && m_used[m_cursor]) ++m_cursor;
    if (m_cursor == m_used.size()) {
      m_appended.push_back(m_length);
      m_length += kIntervalBytes;
      m_used.resize(std::size_t(m_length / 512), false);
      m_cursor = std::size_t(m_appended.back() + kReservedPerInterval) / 512;
      for (std::size_t p = std::size_t(m_appended.back() / 512); p < m_cursor; ++p) m_used[p] = true;
    }
    m_used[m_cursor] = true;
    return std::uint64_t(m_cursor++) * 512;
  }

  std::int64_t length() const { return m_length; }
  const std::vector<std::int64_t>& appended() const { return m_appended; }

 private:
  std::int64_t m_length;
  std::vector<bool> m_used;
  std::size_t m_cursor = 0;
  std::vector<std::int64_t> m_appended;
};

// Lays out a B-tree over entries in key order, leaves first, each level full but the last page.
Layout layoutTree(std::uint8_t type, std::vector<TreeEntry> level, SlotAllocator& slots, std::uint64_t& nextBid) {
  Layout out;
  std::uint8_t depth = 0;
  do {
    const std::size_t capacity = pageCapacity(type, depth);
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
      out.pages.emplace_back(offset, buildTreePage(page, offset));
    }
    level = std::move(parents);
    ++depth;
  } while (level.size() > 1);
  out.root = level.front().child;
  return out;
}

std::uint32_t defaultNextNid(std::size_t type) {
  switch (type) {
    case 0x03: return 0x4000;   // search folders
    case 0x04: return 0x10000;  // messages
    case 0x08: return 0x8000;   // associated messages
    default: return 0x400;
  }
}

}  // namespace

RepairReport repairPst(scan::ByteSource& input, rebuild::OutputFile& output, const std::atomic<bool>& stop,
                       const StructureScanOptions& options) {
  RepairReport r;
  StructureScanOptions copying = options;
  copying.chunk = [&output, &options](std::int64_t offset, std::span<const std::byte> bytes) {
    output.writeAt(offset, bytes);
    if (options.chunk) options.chunk(offset, bytes);
  };
  const StructureScan scan = scanStructure(input, stop, copying);
  if (scan.stopped) {
    r.stopped = true;
    return r;
  }
  const Analysis a = analyse(scan, input);
  r.before = describe(scan, input, a, a.nodes, a.blocks);
  if (!r.before.supported())
    throw Error("Cannot repair file \"" + input.name() + "\". It is a PST file of a layout that is not supported yet " +
                "(ANSI or 4 KiB pages)");
  if (!r.before.isPst)
    throw Error("Cannot repair file \"" + input.name() + "\". It holds no PST structure: no header of its own and " +
                "no index page");
  r.outputLength = scan.length;
  if (r.before.sound()) {
    r.unchanged = true;
    r.after = r.before;
    return r;
  }

  std::vector<NodeEntry> nodes = a.nodes;
  std::vector<BlockEntry> blocks = a.blocks;
  const CheckReport& b = r.before;
  r.treesRebuilt = !(a.nodeTree.whole() && a.blockTree.whole() && b.blocksMissing == 0 && b.blocksBadCrc == 0 &&
                     b.nodesBroken == 0);
  if (r.treesRebuilt) {
    std::vector<BlockEntry> known = toBlocks(newestLeafEntries(scan, kPageBlockTree));
    blocks = blocksFromScan(scan, known);
    {
      std::unordered_set<std::uint64_t> had;
      for (const auto& e : a.blocks) had.insert(blockKey(e.bid));
      for (const auto& e : blocks) r.blocksAdded += !had.count(blockKey(e.bid));
      r.blocksDropped = b.blocksMissing + b.blocksBadCrc;
    }
    if (!a.nodeTree.whole()) {
      std::unordered_set<std::uint32_t> walked;
      for (const auto& n : a.nodes) walked.insert(n.nid);
      nodes = toNodes(newestLeafEntries(scan, kPageNodeTree));
      for (const auto& n : nodes) r.nodesRecovered += !walked.count(n.nid);
    }
    const BlockIndex index(blocks, scan);
    std::vector<NodeEntry> kept;
    kept.reserve(nodes.size());
    for (NodeEntry n : nodes) {
      if (n.data != 0 && !index.present(n.data)) {
        ++r.nodesDropped;
        continue;
      }
      if (n.sub != 0 && !index.present(n.sub)) {
        n.sub = 0;
        ++r.subnodesCleared;
      }
      kept.push_back(n);
    }
    nodes = std::move(kept);
    NodeReader reader(input, index, a.encoding);
    r.orphanFolder = topFolder(nodes, reader);
    std::unordered_set<std::uint32_t> present;
    for (const auto& n : nodes) present.insert(n.nid);
    for (auto& n : nodes) {
      const std::uint32_t type = nidType(n.nid);
      if ((type == kNidTypeMessage || type == kNidTypeFolder) && r.orphanFolder != 0 && n.nid != r.orphanFolder &&
          n.nid != kNidRootFolder && !present.count(n.parent)) {
        n.parent = r.orphanFolder;
        ++r.orphansMoved;
      }
    }
  }

  // The header: the file's own one keeps what it knows; any other is made anew.
  const bool ownHeader = a.headerVerdict == HeaderVerdict::Own;
  r.headerRebuilt = !ownHeader;
  Header h = ownHeader ? a.header : Header{};
  h.version = 23;
  h.encoding = a.encoding;
  for (std::size_t t = 0; t < h.nextNid.size(); ++t) h.nextNid[t] = std::max(h.nextNid[t], defaultNextNid(t));
  for (const auto& n : nodes) {
    std::uint32_t& next = h.nextNid[nidType(n.nid)];
    next = std::max(next, (n.nid >> 5) + 1);
  }
  std::uint64_t nextPage = h.nextPageBid;
  for (const auto& p : scan.treePages) nextPage = std::max(nextPage, p.page.bid + 1);
  for (const auto& f : scan.blocks) h.nextBlockBid = std::max(h.nextBlockBid, (blockKey(f.bid) & ~std::uint64_t(3)) + 4);
  h.unique = ownHeader ? h.unique + 1 : 1;

  SlotAllocator slots(wholeIntervalsLength(scan.length), blocks);
  std::vector<std::pair<std::uint64_t, std::array<std::byte, kPageSize>>> pages;
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
      blockLeaves.push_back(t);
    }
    Layout nodeTree = layoutTree(kPageNodeTree, std::move(nodeLeaves), slots, nextPage);
    Layout blockTree = layoutTree(kPageBlockTree, std::move(blockLeaves), slots, nextPage);
    h.nodeRoot = nodeTree.root;
    h.blockRoot = blockTree.root;
    pages = std::move(nodeTree.pages);
    pages.insert(pages.end(), blockTree.pages.begin(), blockTree.pages.end());
  } else {
    h.nodeRoot = *a.nodeRoot;
    h.blockRoot = *a.blockRoot;
  }
  h.nextPageBid = nextPage;
  r.outputLength = slots.length();
  h.fileEof = std::uint64_t(r.outputLength);
  h.lastAMap = std::uint64_t(r.outputLength - kIntervalBytes);
  h.amapValid = 0;
  if (!ownHeader) h.amapFree = h.pmapFree = 0;

  // Appended intervals begin with their allocation map (and every eighth with a page map).
  for (const std::int64_t start : slots.appended()) {
    std::array<std::uint8_t, 496> bits{};
    bits[0] = 0xFF;
    const bool pageMap = (start - kFirstAMapOffset) / kIntervalBytes % 8 == 0;
    if (pageMap) {
      bits[1] = 0xFF;
      std::array<std::uint8_t, 496> all;
      all.fill(0xFF);
      output.writeAt(start + 512, buildMapPage(kPagePageMap, all, std::uint64_t(start + 512)));
    }
    for (const auto& [offset, page] : pages)
      if (std::int64_t(offset) >= start && std::int64_t(offset) < start + kIntervalBytes) {
        const std::size_t unit = std::size_t(std::int64_t(offset) - start) / 64;
        for (std::size_t u = unit; u < unit + 8; ++u) bits[u / 8] |= std::uint8_t(0x80 >> (u % 8));
      }
    output.writeAt(start, buildMapPage(kPageAllocMap, bits, std::uint64_t(start)));
  }
  for (const auto& [offset, page] : pages) output.writeAt(std::int64_t(offset), page);
  std::array<std::byte, kHeaderSize> header{};
  buildHeader(h, header, ownHeader ? Bytes(scan.header) : Bytes{});
  output.writeAt(0, header);
  output.resize(r.outputLength);
  r.pagesWritten = std::int64_t(pages.size());

  Analysis after = a;
  after.header = h;
  after.headerVerdict = HeaderVerdict::Own;
  after.nodeRoot = h.nodeRoot;
  after.blockRoot = h.blockRoot;
  if (r.treesRebuilt) {
    const auto treeReport = [](std::int64_t count) { return TreeReport{true, true, count, 0, false}; };
    std::int64_t nodePages = 0;
    for (const auto& [offset, page] : pages) nodePages += std::to_integer<std::uint8_t>(page[496]) == kPageNodeTree;
    after.nodeTree = treeReport(nodePages);
    after.blockTree = treeReport(std::int64_t(pages.size()) - nodePages);
  } else {
    after.nodeTree.rootFromHeader = after.blockTree.rootFromHeader = true;
  }
  r.after = describe(scan, input, after, nodes, blocks);
  r.after.length = r.outputLength;
  return r;
}

RepairReport repairFile(scan::ByteSource& input, int inputFd, const std::string& outputPath,
                        const std::atomic<bool>& stop, const StructureScanOptions& options) {
  rebuild::refuseUnsafeOutput(outputPath, inputFd, input.name());
  rebuild::checkRoomFor(outputPath, wholeIntervalsLength(input.size()) + kIntervalBytes,
                        wholeIntervalsLength(input.size()) + kIntervalBytes);
  // Written under a temporary name beside the target, renamed over it once complete.
  const std::filesystem::path target(outputPath);
  std::string temp = (target.parent_path().empty() ? std::filesystem::path(".") : target.parent_path()) /
                     ("." + target.filename().string() + ".kestrix-XXXXXX");
  const int fd = ::mkstemp(temp.data());
  if (fd < 0) throw Error("Cannot create file \"" + outputPath + "\". " + systemReason(errno));
  ::close(fd);
  try {
    rebuild::OutputFile output(temp);
    ::fchmod(output.fd(), 0644);
    RepairReport report = repairPst(input, output, stop, options);
    output.close();
    if (report.stopped) {
      ::unlink(temp.c_str());
      return report;
    }
    if (::rename(temp.c_str(), outputPath.c_str()) != 0)
      throw Error("Cannot create file \"" + outputPath + "\". " + systemReason(errno));
    return report;
  } catch (...) {
    ::unlink(temp.c_str());
    throw;
  }
}

}  // namespace kestrix::pst
