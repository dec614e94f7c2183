#include "pst/check.h"

#include <algorithm>
#include <array>
#include <unordered_map>

#include "format/inflate.h"
#include "pst/node_reader.h"

namespace kestrix::pst {

namespace {

// The encoding that makes the node data of the message store or the root folder a heap. Looks
// through every surviving leaf page (the walked tree may be empty or stale) for just those.
std::optional<Encoding> encodingFromData(const StructureScan& scan, scan::ByteSource& input) {
  const std::array<std::uint64_t, 2> nids{kNidMessageStore, kNidRootFolder};
  const std::vector<NodeEntry> nodes = toNodes(newestLeafEntries(scan, kPageNodeTree, nids));
  std::vector<std::uint64_t> bids;
  for (const auto& n : nodes) bids.push_back(blockKey(n.data));
  const BlockIndex blocks(toBlocks(newestLeafEntries(scan, kPageBlockTree, bids)), scan);
  for (const auto& node : nodes) {
    if (isInternalBid(node.data) || !blocks.present(node.data)) continue;
    const BlockEntry& e = *blocks.find(node.data);
    std::vector<std::byte> raw(e.size);
    if (input.readAt(std::int64_t(e.offset), raw) != raw.size()) continue;
    // A block stored compressed is encoded as stored: decoded, it must inflate to a heap.
    const bool compressed = e.inflated != 0 && e.inflated != e.size;
    for (Encoding enc : {Encoding::Permute, Encoding::None, Encoding::Cyclic}) {
      if (!compressed) {
        if (looksLikeHeap(raw, enc, e.bid)) return enc;
        continue;
      }
      std::vector<std::byte> decoded = raw;
      decodeBlock(decoded, enc, e.bid);
      if (const auto inflated = inflateBlock(decoded, e.inflated); inflated && looksLikeHeap(*inflated, Encoding::None, e.bid))
        return enc;
    }
  }
  return std::nullopt;
}

TreeReport reportOf(const TreeWalk& walk, bool fromHeader, bool stale) {
  return {fromHeader, walk.rootFound, walk.pagesReached, walk.pagesMissing, walk.pagesRepeated, walk.pagesBadCrc, stale};
}

}  // namespace

const char* headerVerdictName(HeaderVerdict v) {
  switch (v) {
    case HeaderVerdict::Own: return "own";
    case HeaderVerdict::Foreign: return "foreign";
    case HeaderVerdict::BadCrc: return "bad CRC";
    case HeaderVerdict::Missing: return "missing";
    case HeaderVerdict::NotUnicode: return "not supported yet";
  }
  return "";
}

std::string notReadText(std::uint16_t version) {
  const Geometry* g = geometryOf(layoutOf(version));
  if (!g) return "a PST of an unknown version (" + std::to_string(version) + "): not read";
  return std::string(g->fileKind) + " (version " + std::to_string(version) + "): not read yet";
}

Analysis analyse(const StructureScan& scan, scan::ByteSource& input) {
  Analysis a;
  const Geometry& g = *scan.geometry;
  a.layout = g.layout;
  const ParsedHeader parsed = parseHeader(scan.header, g.layout);
  a.header = parsed.header;
  switch (parsed.state) {
    case HeaderState::Missing: a.headerVerdict = HeaderVerdict::Missing; break;
    case HeaderState::NotUnicode: a.headerVerdict = HeaderVerdict::NotUnicode; return a;
    case HeaderState::BadCrc: a.headerVerdict = HeaderVerdict::BadCrc; break;
    case HeaderState::Sound: a.headerVerdict = HeaderVerdict::Foreign; break;
  }
  const PageLookup pages(scan);
  TreeWalk nodeWalk, blockWalk;
  bool fromHeader = false;
  if (parsed.state == HeaderState::Sound) {
    nodeWalk = walkTree(pages, a.header.nodeRoot, kPageNodeTree);
    blockWalk = walkTree(pages, a.header.blockRoot, kPageBlockTree);
    // Another file's header names roots that are not here and a length that is not this one;
    // the file's own header may have lost a root page, but not both and its length too.
    if (nodeWalk.rootFound || blockWalk.rootFound || std::int64_t(a.header.fileEof) == scan.length) {
      a.headerVerdict = HeaderVerdict::Own;
      fromHeader = true;
      a.nodeRoot = a.header.nodeRoot;
      a.blockRoot = a.header.blockRoot;
    }
  }
  if (!fromHeader) {
    a.nodeRoot = guessRoot(scan, kPageNodeTree);
    a.blockRoot = guessRoot(scan, kPageBlockTree);
    nodeWalk = a.nodeRoot ? walkTree(pages, *a.nodeRoot, kPageNodeTree) : TreeWalk{};
    blockWalk = a.blockRoot ? walkTree(pages, *a.blockRoot, kPageBlockTree) : TreeWalk{};
  }
  // Pages of a tree newer than every page it reaches: the trees used are an older generation
  // than the file holds (an older header, or roots guessed from what survived). A file closed
  // cleanly holds none: its header names the newest roots.
  const bool nodeStale = nodeWalk.rootFound && newerPagesOutside(scan, nodeWalk, kPageNodeTree);
  const bool blockStale = blockWalk.rootFound && newerPagesOutside(scan, blockWalk, kPageBlockTree);
  a.nodeTree = reportOf(nodeWalk, fromHeader, nodeStale);
  a.blockTree = reportOf(blockWalk, fromHeader, blockStale);
  a.nodes = toNodes(nodeWalk);
  a.blocks = toBlocks(blockWalk);
  for (const TreeWalk* walk : {&nodeWalk, &blockWalk})
    a.badCrcPages.insert(a.badCrcPages.end(), walk->badCrcOffsets.begin(), walk->badCrcOffsets.end());
  for (const TreeWalk* walk : {&nodeWalk, &blockWalk})
    for (const std::uint64_t page : walk->pageOffsets) a.indexEnd = std::max(a.indexEnd, std::int64_t(page + g.pageSize));
  for (const BlockEntry& b : a.blocks)
    a.indexEnd = std::max(a.indexEnd, std::int64_t(std::min<std::uint64_t>(b.offset + blockSpan(b.size, g), INT64_MAX)));

  if (a.headerVerdict == HeaderVerdict::Own) {
    a.encoding = a.header.encoding;
    a.encodingFromHeader = true;
  } else {
    const auto found = encodingFromData(scan, input);
    a.encoding = found.value_or(parsed.state == HeaderState::Sound ? a.header.encoding : Encoding::Permute);
  }
  return a;
}

bool CheckReport::soundApartFromCrcs() const {
  const AnalysisSummary& a = analysis;
  return isPst && !stopped && a.headerVerdict == HeaderVerdict::Own && lengthSane && a.nodeTree.whole() &&
         a.blockTree.whole() && blocksMissing == 0 && nodesBroken == 0 &&
         messagesReadable == messages && foldersUnparsed == 0 && mailboxOpens && !mapsTrustedButLost() &&
         unreadable.empty();
}

bool saneLength(std::uint64_t end, std::int64_t length, std::int64_t indexEnd, const Geometry& g) {
  const std::uint64_t first = std::uint64_t(g.firstMapOffset);
  return end > first && (end - first) % std::uint64_t(g.mapInterval) == 0 && end <= std::uint64_t(length) &&
         end >= std::uint64_t(indexEnd);
}

std::int64_t slackPast(const StructureScan& scan, const AnalysisSummary& a) {
  if (scan.stopped || a.headerVerdict != HeaderVerdict::Own) return 0;
  const std::uint64_t end = a.header.fileEof;
  if (!saneLength(end, scan.length, a.indexEnd, *scan.geometry) || end == std::uint64_t(scan.length) ||
      scan.lastAllocationMap >= std::int64_t(end))
    return 0;
  return scan.length - std::int64_t(end);
}

CheckReport describe(const StructureScan& scan, scan::ByteSource& input, const AnalysisSummary& analysis,
                     const std::vector<NodeEntry>& nodes, std::vector<BlockEntry> blockEntries, const std::atomic<bool>& stop) {
  CheckReport r;
  r.length = scan.length;
  r.analysis = analysis;
  r.unreadable = scan.unreadable;
  r.stopped = scan.stopped;
  r.isPst = analysis.headerVerdict == HeaderVerdict::Own ||
            std::any_of(scan.treePages.begin(), scan.treePages.end(), [](const FoundTreePage& p) { return !p.crcFailed; });
  r.slackBytes = slackPast(scan, analysis);
  r.lengthSane = saneLength(analysis.header.fileEof, scan.length, analysis.indexEnd, *scan.geometry);
  // Intervals that begin in the slack are none of the file's: their maps are not lost.
  r.mapIntervals = scan.mapIntervals -
                   (r.slackBytes > 0 ? intervalsFrom(scan.length - r.slackBytes, scan.length, *scan.geometry) : 0);
  r.mapsLost = r.mapIntervals - scan.validAllocationMaps;
  const BlockIndex blocks(std::move(blockEntries), scan);
  r.blocksListed = std::int64_t(blocks.entries().size());
  for (std::size_t i = 0; i < blocks.entries().size(); ++i) {
    if (blocks.badCrcAt(i)) ++r.blocksBadCrc;
    else if (!blocks.presentAt(i)) ++r.blocksMissing;
  }
  NodeReader reader(input, blocks, analysis.encoding);
  // Every node reads blocks: the stop flag is tested every so many.
  std::size_t step = 0;
  const auto stopNow = [&] { return ++step % 256 == 0 && stop.load(); };
  std::unordered_map<std::uint32_t, std::size_t> folderAt;
  for (const auto& n : nodes) {
    if (stopNow()) {
      r.stopped = true;
      return r;
    }
    if ((n.data != 0 && !blocks.present(n.data)) || (n.sub != 0 && !blocks.present(n.sub))) ++r.nodesBroken;
    if (nidType(n.nid) != kNidTypeFolder) continue;
    FolderReport f{n.nid, n.parent, {}, 0, 0};
    bool parses = false;
    if (auto name = reader.text(n.data, kPropDisplayName, &parses)) f.name = std::move(*name);
    r.foldersUnparsed += !parses;
    folderAt.emplace(n.nid, r.folders.size());
    r.folders.push_back(std::move(f));
  }
  int roots = 0;
  for (const auto& n : nodes)
    if ((n.nid == kNidMessageStore || n.nid == kNidRootFolder) && reader.dataWhole(n.data)) ++roots;
  r.mailboxOpens = roots == 2;
  for (const auto& n : nodes) {
    if (stopNow()) {
      r.stopped = true;
      return r;
    }
    if (nidType(n.nid) != kNidTypeMessage) continue;
    const bool readable = reader.dataWhole(n.data) && (n.sub == 0 || reader.subnodesWhole(n.sub));
    ++r.messages;
    r.messagesReadable += readable;
    if (auto it = folderAt.find(n.parent); it != folderAt.end()) {
      ++r.folders[it->second].messages;
      r.folders[it->second].readable += readable;
    }
  }
  return r;
}

CheckReport checkPst(scan::ByteSource& input, const std::atomic<bool>& stop, const StructureScanOptions& options) {
  const StructureScan scan = scanStructure(input, stop, options);
  Analysis a = analyse(scan, input);
  return describe(scan, input, a, a.nodes, std::move(a.blocks), stop);
}

}  // namespace kestrix::pst
