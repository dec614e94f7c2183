#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "pst/check.h"
#include "format/format.h"
#include "pst/node_writer.h"
#include "pst/repair.h"
#include "format/header_block.h"
#include "io/errors.h"
#include "support/test_support.h"

using namespace kestrix;
using namespace kestrix::pst;
using test::MemorySource;
using test::TempDir;

namespace {

constexpr std::int64_t kNodeRootPage = 13916672;  // enron.pst's node-tree root, level 1

std::vector<std::byte> enronWith(std::int64_t zeroFrom, std::int64_t zeroLength) {
  std::vector<std::byte> bytes = test::enronPst();
  std::fill_n(bytes.begin() + zeroFrom, zeroLength, std::byte{0});
  return bytes;
}

CheckReport check(std::vector<std::byte> bytes) {
  MemorySource src(std::move(bytes));
  std::atomic<bool> stop{false};
  return checkPst(src, stop);
}

}  // namespace

TEST(PstFormat, FoldedCrcEqualsTheTable) {
  std::mt19937 rng(5);
  std::vector<std::byte> data(9000);
  for (auto& b : data) b = std::byte(rng());
  for (std::size_t n : {0u, 1u, 15u, 63u, 64u, 65u, 127u, 255u, 256u, 271u, 320u, 496u, 511u, 4096u, 8176u, 8999u})
    for (std::uint32_t start : {0u, 0xFFFFFFFFu, 0x12345678u})
      EXPECT_EQ(crc(std::span(data).first(n), start), crcByTable(std::span(data).first(n), start)) << n;
}

TEST(PstFormat, EncodingsRoundTripAndDiffer) {
  std::vector<std::byte> plain(300);
  for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = std::byte(i * 7);
  for (Encoding e : {Encoding::Permute, Encoding::Cyclic}) {
    auto coded = plain;
    encodeBlock(coded, e, 0x1234568);
    EXPECT_NE(coded, plain);
    decodeBlock(coded, e, 0x1234568);
    EXPECT_EQ(coded, plain);
  }
}

TEST(PstCheck, TheSampleIsSound) {
  const CheckReport r = check(test::enronPst());
  EXPECT_TRUE(r.sound());
  EXPECT_EQ(r.analysis.headerVerdict, HeaderVerdict::Own);
  EXPECT_EQ(r.analysis.encoding, Encoding::Permute);
  EXPECT_EQ(r.blocksListed, 2274);
  EXPECT_EQ(r.messages, 71);
  EXPECT_EQ(r.messagesReadable, 71);
  ASSERT_EQ(r.folders.size(), 10u);
  const auto personal = std::find_if(r.folders.begin(), r.folders.end(), [](auto& f) { return f.name == "Personal"; });
  ASSERT_NE(personal, r.folders.end());
  EXPECT_EQ(personal->messages, 47);
}

// Two threads read and examine the chunks by turns: what is found, and the copy handed on,
// must not depend on where the chunks are cut (4 KiB is less than a block's history).
TEST(PstCheck, TheScanFindsTheSameWhereverTheChunksAreCut) {
  const std::vector<std::byte> file = test::enronPst();
  const auto scanWith = [&](std::size_t chunk, std::vector<std::byte>* copy) {
    MemorySource src(file);
    std::atomic<bool> stop{false};
    StructureScanOptions options;
    options.chunkSize = chunk;
    if (copy)
      options.chunk = [copy](std::int64_t offset, std::span<const std::byte> bytes) {
        ASSERT_EQ(offset, std::int64_t(copy->size()));
        copy->insert(copy->end(), bytes.begin(), bytes.end());
      };
    return scanStructure(src, stop, options);
  };
  const StructureScan whole = scanWith(file.size(), nullptr);
  std::vector<std::byte> copy;
  const StructureScan cut = scanWith(4096, &copy);
  EXPECT_TRUE(copy == file);
  EXPECT_EQ(cut.blocks, whole.blocks);
  EXPECT_EQ(cut.badCrcBlocks, whole.badCrcBlocks);
  EXPECT_TRUE(cut.keptBytes == whole.keptBytes);
  EXPECT_GT(cut.kept.size(), 100u);
  ASSERT_EQ(cut.treePages.size(), whole.treePages.size());
  for (std::size_t i = 0; i < cut.treePages.size(); ++i) EXPECT_EQ(cut.treePages[i].offset, whole.treePages[i].offset);
  EXPECT_EQ(cut.mapIntervals, whole.mapIntervals);
  EXPECT_TRUE(cut.header == whole.header);

  // A callback that fails (a full disk under a repair's copy) ends the pass there.
  MemorySource src(file);
  std::atomic<bool> stop{false};
  StructureScanOptions failing;
  failing.chunkSize = 4096;
  std::int64_t last = -1;
  failing.chunk = [&last](std::int64_t offset, std::span<const std::byte>) {
    last = offset;
    if (offset == 64 * 4096) throw Error("no room");
  };
  EXPECT_THROW(scanStructure(src, stop, failing), Error);
  EXPECT_EQ(last, 64 * 4096);
}

TEST(PstCheck, TellsForeignLostAndUnsupportedHeaders) {
  // The rebuild's fixed block is another file's header: the trees are found by search.
  auto foreign = test::enronPst();
  const auto block = rebuild::HeaderBlock();
  std::copy(block.begin(), block.end(), foreign.begin());
  CheckReport r = check(foreign);
  EXPECT_EQ(r.analysis.headerVerdict, HeaderVerdict::Foreign);
  EXPECT_TRUE(r.analysis.nodeTree.whole());
  EXPECT_FALSE(r.analysis.nodeTree.rootFromHeader);
  EXPECT_EQ(r.messagesReadable, 71);
  EXPECT_FALSE(r.sound());

  // Its own header with the node root page lost: still its own, the node tree not whole.
  r = check(enronWith(kNodeRootPage, 512));
  EXPECT_EQ(r.analysis.headerVerdict, HeaderVerdict::Own);
  EXPECT_FALSE(r.analysis.nodeTree.whole());

  auto ansi = test::enronPst();
  ansi[10] = std::byte{14};
  EXPECT_FALSE(check(ansi).supported());
  EXPECT_FALSE(check({}).isPst);
}

namespace {

// A mailbox of each layout: the sample, the sample written anew in the ANSI layout, both OST
// samples with 4 KiB pages.
struct Mailbox {
  const char* name;
  const std::vector<std::byte>& (*bytes)();
  std::int64_t messages;
};
const Mailbox kMailboxes[] = {
    {"unicode", &test::enronPst, 71},
    {"ansi", &test::ansiEnron, 71},
    {"ost1", []() -> const std::vector<std::byte>& { return test::ostSample(1); }, 183},
    {"ost2", []() -> const std::vector<std::byte>& { return test::ostSample(2); }, 162},
};
#ifdef _WIN32
constexpr std::size_t kMailboxesMade = 1;  // the others are made by xz and python3, which Windows lacks
#else
constexpr std::size_t kMailboxesMade = std::size(kMailboxes);
#endif

// The ways a disk loses parts of a file, laid out in the Unicode layout's terms as the model
// tests lay them: the first 17,408 bytes; the file cut where its last interval of 253,952
// bytes begins (for an OST with 4 KiB pages, whose one interval is the whole file, its tail);
// the root page of the node tree, of the block tree; the allocation map of the 21st interval
// (an OST's only one).
enum class Loss { None, Header, Tail, NodeRoot, BlockRoot, Map };
const char* const kLossNames[] = {"none", "header", "tail", "noderoot", "blockroot", "map"};

std::vector<std::byte> lose(std::vector<std::byte> bytes, Loss loss) {
  const Geometry& g = *geometryOf(parseHeader(bytes, FileLayout::Unknown).layout);
  const std::int64_t first = kFirstAMapOffset, size = std::int64_t(bytes.size());
  const auto zero = [&bytes](std::int64_t from, std::int64_t length) {
    std::fill_n(bytes.begin() + from, length, std::byte{0});
  };
  if (loss == Loss::Header) zero(0, first);
  if (loss == Loss::Tail) bytes.resize(std::size_t(first + (size - 1 - first) / kIntervalBytes * kIntervalBytes));
  if (loss == Loss::NodeRoot) zero(std::int64_t(parseHeader(bytes, g.layout).header.nodeRoot.offset), std::int64_t(g.pageSize));
  if (loss == Loss::BlockRoot) zero(std::int64_t(parseHeader(bytes, g.layout).header.blockRoot.offset), std::int64_t(g.pageSize));
  if (loss == Loss::Map) zero(g.intervalOffset(std::min<std::int64_t>(20, (size - 1 - g.firstMapOffset) / g.mapInterval)), std::int64_t(g.pageSize));
  return bytes;
}

// Messages readable after a loss, where fewer than all: the sample's last interval holds
// blocks of three of its messages. The generator writes every tree page of the ANSI sample into
// its last interval: cut there, nothing of its index survives (-1), and repair refuses it.
std::int64_t survivors(const Mailbox& m, Loss loss) {
  if (loss == Loss::Tail && std::string(m.name) == "unicode") return 68;
  if (loss == Loss::Tail && std::string(m.name) == "ansi") return -1;
  return m.messages;
}

bool havePffinfo() { return std::system("command -v pffinfo >/dev/null 2>&1") == 0; }

class LayoutRepair : public ::testing::TestWithParam<std::tuple<std::size_t, Loss>> {};

}  // namespace

// Each mailbox, damaged so, repaired in its own layout: its version, a header whose CRCs hold
// and the allocation maps left for the owner's program to rebuild; check calls it sound with
// every message that survived, and pffinfo (an independent reader, where installed) opens it.
// A sound file is copied byte for byte.
TEST_P(LayoutRepair, WritesTheFileInItsOwnLayoutWithWhatSurvived) {
  const auto [which, loss] = GetParam();
  const Mailbox& m = kMailboxes[which];
  const std::vector<std::byte>& original = m.bytes();
  ASSERT_FALSE(original.empty()) << "xz (xz-utils) and python3 are needed";
  const ParsedHeader was = parseHeader(original, FileLayout::Unknown);
  TempDir dir;
  const std::string out = dir.file("repaired.pst");
  MemorySource src(lose(original, loss));
  std::atomic<bool> stop{false};
  if (survivors(m, loss) < 0) {
    EXPECT_THROW(repairFile(src, out, stop), Error);
    EXPECT_FALSE(std::filesystem::exists(out));
    return;
  }
  const RepairReport r = repairFile(src, out, stop);
  EXPECT_EQ(r.unchanged, loss == Loss::None);
  EXPECT_TRUE(r.headerRebuilt || loss != Loss::Header);
  const std::vector<std::byte> written = test::readFile(out);
  EXPECT_TRUE(loss != Loss::None || written == original) << "a sound file is copied byte for byte";
  const ParsedHeader header = parseHeader(written, was.layout);
  EXPECT_EQ(header.state, HeaderState::Sound);
  EXPECT_EQ(header.header.version, was.header.version);
  EXPECT_TRUE(loss == Loss::None || header.header.amapValid == 0);
  const CheckReport again = check(written);
  EXPECT_TRUE(again.sound());
  EXPECT_EQ(again.analysis.layout, was.layout);
  EXPECT_EQ(again.messagesReadable, survivors(m, loss));
  EXPECT_EQ(r.after.messagesReadable, survivors(m, loss));
  EXPECT_TRUE(!havePffinfo() || std::system(("pffinfo '" + out + "' >/dev/null 2>&1").c_str()) == 0);
}

INSTANTIATE_TEST_SUITE_P(EveryLayout, LayoutRepair,
                         ::testing::Combine(::testing::Range<std::size_t>(0, kMailboxesMade),
                                            ::testing::Values(Loss::None, Loss::Header, Loss::Tail, Loss::NodeRoot, Loss::BlockRoot, Loss::Map)),
                         [](const auto& info) {
                           return std::string(kMailboxes[std::get<0>(info.param)].name) + "_" +
                                  kLossNames[int(std::get<1>(info.param))];
                         });

TEST(PstRepair, WritesTheStoreAnewWhenTheIndexListsItTwiceOrWithoutData) {
  constexpr std::size_t kStoreLeaf = 0xD3AE00;  // the node-tree leaf holding the store (0x21), 32-byte entries
  TempDir dir;
  std::atomic<bool> stop{false};
  for (const bool twice : {true, false}) {
    std::vector<std::byte> bytes = test::enronPst();
    const std::span<std::byte> leaf = std::span(bytes).subspan(kStoreLeaf, kPageSize);
    ASSERT_EQ(le32(leaf, 0), kNidMessageStore);
    if (twice) putLe32(leaf, 32, kNidMessageStore);  // the next entry (0x61) becomes a second store
    else putLe64(leaf, 8, 0);                        // the store's data block: none
    putLe32(leaf, 500, crc(leaf.first(kPageTrailerAt)));
    EXPECT_FALSE(check(bytes).mailboxOpens) << twice;

    MemorySource src(std::move(bytes));
    const std::string out = dir.file(twice ? "twice.pst" : "nodata.pst");
    const RepairReport r = repairFile(src, out, stop);
    const CheckReport again = check(test::readFile(out));
    EXPECT_TRUE(again.sound()) << twice;
    EXPECT_EQ(again.messagesReadable, 71) << twice;
    EXPECT_EQ(r.after.messagesReadable, 71) << twice;
  }
}

TEST(PstRepair, CopiesASoundFileAndRefusesWhatIsNoPst) {
  TempDir dir;
  std::atomic<bool> stop{false};
  MemorySource sound(test::enronPst());
  EXPECT_TRUE(repairFile(sound, dir.file("copy.pst"), stop).unchanged);
  EXPECT_EQ(test::readFile(dir.file("copy.pst")), test::enronPst());

  // No PST structure: an error, no output, and an existing file of that name untouched.
  const std::vector<std::byte> keep(100, std::byte{7});
  test::writeFile(dir.file("keep.pst"), keep);
  std::vector<std::byte> noise(1 << 20);
  std::mt19937 rng(9);
  for (auto& b : noise) b = std::byte(rng());
  MemorySource random(noise);
  EXPECT_THROW(repairFile(random, dir.file("keep.pst"), stop), Error);
  EXPECT_EQ(test::readFile(dir.file("keep.pst")), keep);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);

  // A stop leaves nothing behind either.
  stop = true;
  MemorySource stopped(test::enronPst());
  EXPECT_TRUE(repairFile(stopped, dir.file("stopped.pst"), stop).stopped);
  EXPECT_FALSE(std::filesystem::exists(dir.file("stopped.pst")));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 2);
}

// An undelete tool writes a file in whole clusters, so the rest of its last cluster follows
// the declared end. That slack is no part of the file: neither damage nor an interval whose
// map is lost, and repair leaves it out. Past the declared end, an interval that begins with
// a valid allocation map, or pages the trees name, say the file goes on: nothing is cut.
TEST(PstRepair, CutsSlackPastTheDeclaredEndAndNothingTheFileGoesOnWith) {
  TempDir dir;
  std::atomic<bool> stop{false};
  const std::vector<std::byte>& enron = test::enronPst();
  const std::int64_t end = std::int64_t(enron.size());
  const auto withTail = [](std::vector<std::byte> bytes, const std::vector<std::byte>& tail) {
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    return bytes;
  };
  const auto repaired = [&](const std::vector<std::byte>& bytes, const std::string& name) {
    MemorySource src(bytes);
    const RepairReport r = repairFile(src, dir.file(name), stop);
    return std::pair(r, test::readFile(dir.file(name)));
  };
  std::vector<std::byte> noise(3584);
  std::mt19937 rng(3);
  for (auto& b : noise) b = std::byte(rng());
  for (const auto& tail : {noise, std::vector<std::byte>(512)}) {
    const std::int64_t slack = std::int64_t(tail.size());
    const CheckReport r = check(withTail(enron, tail));
    EXPECT_TRUE(r.sound()) << slack;
    EXPECT_EQ(r.slackBytes, slack);
    EXPECT_EQ(r.mapIntervals, 55) << slack;
    EXPECT_EQ(r.mapsLost, 0) << slack;
    const auto [report, out] = repaired(withTail(enron, tail), "cut.pst");
    EXPECT_TRUE(out == enron) << slack;
    EXPECT_FALSE(report.unchanged) << slack;
    EXPECT_EQ(report.slackCut, slack);
    EXPECT_EQ(report.outputLength, end);
    EXPECT_TRUE(report.before.sound() && report.after.sound()) << slack;
    EXPECT_EQ(report.after.slackBytes, 0) << slack;
  }
  // A damaged file comes out of the repair the same with slack or without.
  {
    const auto damaged = enronWith(kNodeRootPage, 512);
    const auto [plain, plainOut] = repaired(damaged, "plain.pst");
    const auto [cut, cutOut] = repaired(withTail(damaged, noise), "slack.pst");
    EXPECT_TRUE(cut.treesRebuilt);
    EXPECT_EQ(cut.slackCut, 3584);
    EXPECT_TRUE(cutOut == plainOut);
    EXPECT_EQ(cut.after.mapIntervals, plain.after.mapIntervals);
  }
  // A whole interval more whose allocation map is valid: the file goes on.
  {
    std::vector<std::byte> tail(static_cast<std::size_t>(kIntervalBytes));
    std::array<std::uint8_t, 496> bits{};
    bits[0] = 0xFF;
    const auto map = buildMapPage(kPageAllocMap, bits, std::uint64_t(end));
    std::copy(map.begin(), map.end(), tail.begin());
    const auto longer = withTail(enron, tail);
    const CheckReport r = check(longer);
    EXPECT_EQ(r.slackBytes, 0);
    EXPECT_EQ(r.mapIntervals, 56);
    EXPECT_EQ(r.mapsLost, 0);
    EXPECT_TRUE(repaired(longer, "longer.pst").second == longer);
  }
  // A header that declares the last interval away, whose map page is lost, while the trees'
  // newest pages lie in it: those bytes are the file's.
  {
    auto shorter = enronWith(end - kIntervalBytes, 512);
    Header h = parseHeader(std::span(shorter).first(kHeaderSize)).header;
    h.fileEof = std::uint64_t(end - kIntervalBytes);
    buildHeader(h, std::span(shorter).first(kHeaderSize), std::vector<std::byte>(shorter.begin(), shorter.begin() + kHeaderSize));
    const CheckReport r = check(shorter);
    EXPECT_EQ(r.analysis.headerVerdict, HeaderVerdict::Own);
    EXPECT_EQ(r.slackBytes, 0);
    EXPECT_EQ(r.mapsLost, 1);
    EXPECT_GE(repaired(shorter, "shorter.pst").first.outputLength, end);
  }
}

namespace {

// enron.pst with one interval more, where a test lays crafted pages and blocks, each with the
// CRC and signature its place demands; the header follows (roots, length, CRCs).
struct CraftedEnron {
  std::vector<std::byte> bytes = test::enronPst();
  std::uint64_t next = bytes.size() + 4096;
  std::uint64_t nextBid = 0x7FFF0000;
  CraftedEnron() { bytes.resize(bytes.size() + std::size_t(kIntervalBytes)); }

  Header header() const { return parseHeader(std::span(bytes).first(kHeaderSize)).header; }
  void setHeader(Header h) {
    h.fileEof = bytes.size();
    const std::vector<std::byte> keep(bytes.begin(), bytes.begin() + kHeaderSize);
    buildHeader(h, std::span(bytes).first(kHeaderSize), keep);
  }
  TreePage pageAt(std::uint64_t offset) const { return *parseTreePage(std::span(bytes).subspan(offset, kPageSize)); }
  void putPage(const TreePage& page, std::uint64_t offset) {
    const auto built = buildTreePage(page, offset);
    std::copy(built.begin(), built.end(), bytes.begin() + std::ptrdiff_t(offset));
  }
  BlockRef addPage(std::uint8_t type, std::uint8_t level, std::vector<TreeEntry> entries) {
    const TreePage page{type, level, nextBid += 4, std::move(entries)};
    putPage(page, next);
    next += kPageSize;
    return {page.bid, next - kPageSize};
  }
  // An internal block (bit 1 of its BID) or an external one, unencoded; returns its leaf entry.
  TreeEntry addBlock(std::vector<std::byte> data, bool internal) {
    const std::uint64_t bid = (nextBid += 4) | (internal ? 2 : 0);
    TreeEntry e;
    e.key = bid;
    e.child = {bid, next};
    e.size = std::uint16_t(data.size());
    e.refs = 2;
    const auto block = buildBlock(std::move(data), Encoding::None, bid, next);
    std::copy(block.begin(), block.end(), bytes.begin() + std::ptrdiff_t(next));
    next += block.size();
    return e;
  }
  // The pages of a tree, walked from its root.
  std::vector<std::uint64_t> pagesOf(BlockRef root) const {
    std::vector<std::uint64_t> out, todo{root.offset};
    while (!todo.empty()) {
      out.push_back(todo.back());
      const TreePage p = pageAt(todo.back());
      todo.pop_back();
      if (p.level > 0)
        for (const auto& e : p.entries) todo.push_back(e.child.offset);
    }
    return out;
  }
};

std::vector<std::byte> xblock(std::uint8_t level, std::uint64_t child, std::size_t count) {
  std::vector<std::byte> b(8 + 8 * count);
  b[0] = std::byte{1};
  b[1] = std::byte{level};
  putLe16(b, 2, std::uint16_t(count));
  for (std::size_t i = 0; i < count; ++i) putLe64(b, 8 + 8 * i, child);
  return b;
}

RepairReport repairBytes(std::vector<std::byte> bytes, const std::string& out) {
  MemorySource src(std::move(bytes));
  std::atomic<bool> stop{false};
  return repairFile(src, out, stop);
}

}  // namespace

// Trees whose pages or blocks name one child again and again, every CRC and signature valid:
// node-tree pages of levels 2 to 8, each naming the one below 20 times (20^7 paths), and a
// folder whose data is an XXBLOCK naming one XBLOCK 1,021 times, which names one 8 KiB block
// 1,021 times (8.5 GB read whole). Each page and block is looked at once, the repeat is
// damage, and repair gives a sound file with every message.
TEST(PstCheck, TreesThatNameTheSameChildAgainAreDamageNotWork) {
  TempDir dir;
  {
    CraftedEnron f;
    Header h = f.header();
    BlockRef below = h.nodeRoot;
    for (std::uint8_t level = 2; level <= 8; ++level) {
      TreeEntry e;
      e.key = kNidMessageStore;
      e.child = below;
      below = f.addPage(kPageNodeTree, level, std::vector<TreeEntry>(pageCapacity(kPageNodeTree, level), e));
    }
    h.nodeRoot = below;
    f.setHeader(h);
    const CheckReport r = check(f.bytes);
    EXPECT_FALSE(r.sound());
    EXPECT_GT(r.analysis.nodeTree.pagesRepeated, 0);
    EXPECT_EQ(r.messages, 71);
    const RepairReport repaired = repairBytes(f.bytes, dir.file("shared.pst"));
    EXPECT_TRUE(repaired.treesRebuilt);
    const CheckReport again = check(test::readFile(dir.file("shared.pst")));
    EXPECT_TRUE(again.sound());
    EXPECT_EQ(again.messagesReadable, 71);
  }
  {
    CraftedEnron f;
    Header h = f.header();
    const TreeEntry data = f.addBlock(std::vector<std::byte>(kMaxBlockData, std::byte{0x5A}), false);
    const TreeEntry x = f.addBlock(xblock(1, data.key, 1021), true);
    const TreeEntry xx = f.addBlock(xblock(2, x.key, 1021), true);
    const BlockRef leaf = f.addPage(kPageBlockTree, 0, {data, x, xx});
    // The new leaf hangs under a level-1 page of the block tree with room; the folder
    // "Personal" (0x8122) takes the XXBLOCK for its data.
    bool hung = false, pointed = false;
    for (const std::uint64_t at : f.pagesOf(h.blockRoot)) {
      TreePage p = f.pageAt(at);
      if (hung || p.level != 1 || p.entries.size() >= pageCapacity(p.type, 1)) continue;
      TreeEntry e;
      e.key = data.key;
      e.child = leaf;
      p.entries.push_back(e);
      f.putPage(p, at);
      hung = true;
    }
    for (const std::uint64_t at : f.pagesOf(h.nodeRoot)) {
      TreePage p = f.pageAt(at);
      for (auto& e : p.entries)
        if (p.level == 0 && e.key == 0x8122) {
          e.data = xx.key;
          f.putPage(p, at);
          pointed = true;
        }
    }
    ASSERT_TRUE(hung && pointed);
    f.setHeader(h);
    const CheckReport r = check(f.bytes);
    EXPECT_FALSE(r.sound());
    EXPECT_EQ(r.foldersUnparsed, 1);
    const RepairReport repaired = repairBytes(f.bytes, dir.file("xx.pst"));
    EXPECT_GE(repaired.orphansMoved, 47);  // the folder's messages, now in the top folder
    const CheckReport again = check(test::readFile(dir.file("xx.pst")));
    EXPECT_TRUE(again.sound());
    EXPECT_EQ(again.messagesReadable, 71);
  }
}

// One flipped bit where readers do not look: a block's stored CRC, a block's data, the unused
// bytes of a node-tree leaf page. The block or page is kept ("CRC failed, kept") and no
// message is lost: the blocks stay as they are, the page is written anew.
TEST(PstRepair, KeepsWhatReadersReadWhenOnlyACrcFails) {
  constexpr std::size_t kBlock = 12408320, kBlockSpan = 2304;  // a message's data block, 2,258 bytes
  constexpr std::size_t kLeaf = 12289536;                      // a node-tree leaf of 8 entries
  TempDir dir;
  struct Case {
    const char* name;
    std::size_t at;
    bool page;
  };
  for (const Case& c : {Case{"stored CRC", kBlock + kBlockSpan - 12, false}, Case{"data", kBlock + 5, false},
                        Case{"padding", kLeaf + 484, true}}) {
    std::vector<std::byte> bytes = test::enronPst();
    bytes[c.at] ^= std::byte{0x10};
    const CheckReport r = check(bytes);
    EXPECT_FALSE(r.sound()) << c.name;
    EXPECT_EQ(r.blocksBadCrc + r.analysis.nodeTree.pagesBadCrc, 1) << c.name;
    EXPECT_EQ(r.messagesReadable, 71) << c.name;
    const RepairReport repaired = repairBytes(bytes, dir.file("out.pst"));
    EXPECT_EQ(repaired.unchanged, !c.page) << c.name;
    EXPECT_EQ(repaired.blocksCrcKept, c.page ? 0 : 1) << c.name;
    const CheckReport again = check(test::readFile(dir.file("out.pst")));
    EXPECT_TRUE(again.soundApartFromCrcs()) << c.name;
    EXPECT_EQ(again.messagesReadable, 71) << c.name;
  }
}

// Sound needs a length the file holds, every listed message readable, every folder's properties
// parsing and every sector read.
TEST(PstCheck, SoundNeedsASaneLengthEveryMessageAndEverySector) {
  TempDir dir;
  auto huge = test::enronPst();
  Header h = parseHeader(std::span(huge).first(kHeaderSize)).header;
  h.fileEof = std::uint64_t(1) << 63;
  buildHeader(h, std::span(huge).first(kHeaderSize), std::vector<std::byte>(huge.begin(), huge.begin() + kHeaderSize));
  EXPECT_FALSE(check(huge).lengthSane);
  EXPECT_FALSE(check(huge).sound());
  repairBytes(huge, dir.file("length.pst"));
  const CheckReport fixed = check(test::readFile(dir.file("length.pst")));
  EXPECT_TRUE(fixed.sound());
  EXPECT_EQ(fixed.analysis.header.fileEof, test::enronPst().size());

  // A message whose subnode tree names a data block that is gone (its own entry is whole):
  // not readable, so not sound; repair keeps the message without its subnodes.
  constexpr std::int64_t kSubnodeData = 12591616;
  const CheckReport r = check(enronWith(kSubnodeData, 512));
  EXPECT_EQ(r.nodesBroken, 0);
  EXPECT_EQ(r.messagesReadable, 70);
  EXPECT_FALSE(r.sound());
  EXPECT_EQ(repairBytes(enronWith(kSubnodeData, 512), dir.file("sub.pst")).after.messagesReadable, 71);

  // A folder whose properties do not parse (its heap's signature broken, the CRC made to hold):
  // not sound; repair drops it, and its seven messages go into the top folder.
  constexpr std::size_t kFolderBlock = 1329536, kFolderData = 104, kFolderSpan = 128;  // folder 0x80e2
  auto folder = test::enronPst();
  folder[kFolderBlock + 2] ^= std::byte{0x01};
  putLe32(folder, kFolderBlock + kFolderSpan - 12, crc(std::span(folder).subspan(kFolderBlock, kFolderData)));
  EXPECT_EQ(check(folder).foldersUnparsed, 1);
  EXPECT_FALSE(check(folder).sound());
  EXPECT_EQ(repairBytes(folder, dir.file("folder.pst")).orphansMoved, 7);
  const CheckReport dropped = check(test::readFile(dir.file("folder.pst")));
  EXPECT_TRUE(dropped.sound());
  EXPECT_EQ(dropped.messagesReadable, 71);

  // A sector the medium does not give is named, and the file is not sound.
  MemorySource inner(test::enronPst());
  test::FaultySource faulty(inner);
  faulty.badSectors = {100};
  std::atomic<bool> stop{false};
  const CheckReport bad = checkPst(faulty, stop);
  ASSERT_EQ(bad.unreadable.size(), 1u);
  EXPECT_EQ(bad.unreadable[0].first, 100);
  EXPECT_FALSE(bad.sound());
}
