// OSTs with 4 KiB pages, read by check: both samples whole, with the folders and messages an
// independent reader exports from them; a lost tree page found; compressed blocks inflated to
// exactly the size their block-tree entry gives, or not at all. (Their repair: LayoutRepair in
// pst_test.cpp.)

#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <filesystem>

#include "format/format.h"
#include "format/inflate.h"
#include "pst/check.h"
#include "pst/node_writer.h"
#include "support/cli_run.h"
#include "support/test_support.h"

using namespace kestrix;
using test::TempDir;

namespace {

const pst::Geometry& kOst = pst::kUnicode4KGeometry;

}  // namespace

// What `pffexport -m all` writes for each sample: 183 and 162 items; 56 and 52 folders below
// the root, of which 6 and 3 are search folders, which check does not count as folders, while
// it counts the root. (The three empty folders it recovers from sample 2's free space are no
// part of the trees.)
TEST(Ost, SamplesCheckSoundWithWhatAnIndependentReaderFinds) {
  TempDir dir;
  struct Sample {
    int which;
    int folders, messages;
  };
  for (const Sample s : {Sample{1, 56 - 6 + 1, 183}, Sample{2, 52 - 3 + 1, 162}}) {
    const std::vector<std::byte>& bytes = test::ostSample(s.which);
    ASSERT_EQ(bytes.size(), 16818176u) << "xz (xz-utils) is needed";
    const std::string path = dir.file("sample-" + std::to_string(s.which) + ".ost");
    test::writeFile(path, bytes);
    const test::CliOutcome r = test::runCliArgs({"check", "-q", "--format", "tsv", path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("verdict\tsound\nheader\town\nlayout\tthe 4 KiB-page layout\n"), std::string::npos) << r.out;
    const std::string messages = std::to_string(s.messages);
    EXPECT_NE(r.out.find("messages\t" + messages + ", " + messages + " readable\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("folders\t" + std::to_string(s.folders) + "\n"), std::string::npos) << r.out;
  }
}

// The writers lay out what sample 1 holds, byte for byte: its header over its own unnamed
// bytes, the root page of each tree, the first allocation map and a block stored as it is
// (BID 0x8E3C at 0x23000). A block-tree leaf holds stale bytes past its entries: built
// anew, it reads back with the same entries, inflated sizes and all.
TEST(Ost, WritersLayOutWhatTheSampleHolds) {
  const std::vector<std::byte>& bytes = test::ostSample();
  ASSERT_FALSE(bytes.empty()) << "xz (xz-utils) is needed";
  const pst::Bytes file(bytes);
  const pst::Header h = pst::parseHeader(file, pst::FileLayout::Unicode4K).header;
  std::vector<std::byte> header(kOst.header.size);
  pst::buildHeader(h, header, file.first(kOst.header.size), kOst);
  EXPECT_TRUE(std::ranges::equal(header, file.first(kOst.header.size)));
  for (const std::uint64_t at : {h.nodeRoot.offset, h.blockRoot.offset}) {
    const pst::Bytes page = file.subspan(at, kOst.pageSize);
    const auto parsed = pst::parseTreePage(page, kOst);
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(std::ranges::equal(pst::buildTreePage(*parsed, at, kOst), page)) << std::hex << at;
  }
  const auto leaf = pst::parseTreePage(file.subspan(0x216000, kOst.pageSize), kOst);
  ASSERT_TRUE(leaf && leaf->level == 0 && leaf->entries.size() > 117);
  const std::vector<std::byte> built = pst::buildTreePage(*leaf, 0x216000, kOst);
  ASSERT_TRUE(pst::isValidPage(built, 0x216000, kOst));
  const auto again = pst::parseTreePage(built, kOst);
  ASSERT_TRUE(again && again->entries.size() == leaf->entries.size());
  for (std::size_t i = 0; i < leaf->entries.size(); ++i) {
    const pst::TreeEntry &a = leaf->entries[i], &b = again->entries[i];
    EXPECT_TRUE(a.child == b.child && a.size == b.size && a.inflated == b.inflated && a.refs == b.refs) << i;
  }
  EXPECT_EQ(again->entries[117].inflated, 616);
  const pst::Bytes map = file.subspan(std::size_t(kOst.firstMapOffset), kOst.pageSize);
  std::vector<std::uint8_t> bits(kOst.mapBits.size);
  std::transform(map.begin(), map.begin() + std::ptrdiff_t(bits.size()), bits.begin(), [](std::byte b) { return std::uint8_t(b); });
  EXPECT_TRUE(std::ranges::equal(pst::buildMapPage(pst::kPageAllocMap, bits, std::uint64_t(kOst.firstMapOffset), kOst), map));
  const pst::Bytes block = file.subspan(0x23000, 512);
  EXPECT_TRUE(std::ranges::equal(pst::buildBlock({block.begin(), block.begin() + 148}, pst::Encoding::None, 0x8E3C, 0x23000, kOst), block));
}

// A block-tree leaf page zeroed: the walk misses it and the blocks it listed, and says so.
TEST(Ost, ALostTreePageIsDamage) {
  std::vector<std::byte> bytes = test::ostSample();
  ASSERT_FALSE(bytes.empty()) << "xz (xz-utils) is needed";
  const pst::ParsedHeader header = pst::parseHeader(bytes, pst::FileLayout::Unicode4K);
  ASSERT_EQ(header.state, pst::HeaderState::Sound);
  const auto root = pst::parseTreePage(pst::Bytes(bytes).subspan(header.header.blockRoot.offset, kOst.pageSize), kOst);
  ASSERT_TRUE(root && root->level == 1 && root->entries.size() > 1);
  const std::uint64_t leaf = root->entries[1].child.offset;
  std::fill_n(bytes.begin() + std::ptrdiff_t(leaf), kOst.pageSize, std::byte{0});

  test::MemorySource src(std::move(bytes));
  std::atomic<bool> stop{false};
  const pst::CheckReport r = pst::checkPst(src, stop);
  EXPECT_EQ(r.analysis.layout, pst::FileLayout::Unicode4K);
  EXPECT_EQ(r.analysis.headerVerdict, pst::HeaderVerdict::Own);
  EXPECT_TRUE(r.analysis.nodeTree.whole());
  EXPECT_EQ(r.analysis.blockTree.pagesMissing, 1);
  EXPECT_GT(r.nodesBroken, 0);
  EXPECT_FALSE(r.sound());
}

// The root folder's data block is stored compressed (BID 0xC1D4: 325 bytes, 616 inflated).
// Its block-tree entry made to claim 65,000 bytes, the page's CRC set again: the stream gives
// fewer, so the folder's properties do not parse, and the file is damaged.
TEST(Ost, ABlockClaimingAnotherInflatedSizeIsNotRead) {
  std::vector<std::byte> bytes = test::ostSample();
  ASSERT_FALSE(bytes.empty()) << "xz (xz-utils) is needed";
  const std::size_t leaf = 0x216000, entry = leaf + 117 * 24;
  ASSERT_EQ(pst::le64(bytes, entry), 0xC1D4u);
  ASSERT_EQ(pst::le16(bytes, entry + 16), 325);
  ASSERT_EQ(pst::le16(bytes, entry + kOst.treePage.blockInflatedAt), 616);
  pst::putLe16(bytes, entry + kOst.treePage.blockInflatedAt, 65000);
  const std::span<std::byte> page = std::span(bytes).subspan(leaf, kOst.pageSize);
  pst::putLe32(page, kOst.pageTrailerAt() + kOst.pageTrailer.crc.at, pst::crc(pst::Bytes(page).first(kOst.pageTrailerAt())));

  test::MemorySource src(std::move(bytes));
  std::atomic<bool> stop{false};
  const pst::CheckReport r = pst::checkPst(src, stop);
  EXPECT_TRUE(r.analysis.blockTree.whole());
  EXPECT_EQ(r.foldersUnparsed, 1);
  EXPECT_FALSE(r.sound());
}

// A compressed block of sample 1 (BID 0x68C at 0x6B800: 380 bytes stored, 558 inflated), and
// streams crafted around it.
TEST(Ost, CompressedBlocksInflateToTheSizeGivenOrNotAtAll) {
  const std::vector<std::byte>& bytes = test::ostSample();
  ASSERT_FALSE(bytes.empty()) << "xz (xz-utils) is needed";
  const pst::Bytes stored = pst::Bytes(bytes).subspan(0x6B800, 380);
  const pst::BlockTrailer t = pst::blockTrailer(pst::Bytes(bytes).subspan(0x6B800 + 512 - 24, 24), kOst);
  ASSERT_EQ(t.bid, 0x68Cu);
  ASSERT_EQ(t.size, 380);
  ASSERT_EQ(t.inflated, 558);
  const auto inflated = pst::inflateBlock(stored, 558);
  ASSERT_TRUE(inflated);
  EXPECT_EQ(inflated->size(), 558u);
  // A size other than the stream's, in either direction; a cut or altered stream.
  EXPECT_FALSE(pst::inflateBlock(stored, 557));
  EXPECT_FALSE(pst::inflateBlock(stored, 559));
  EXPECT_FALSE(pst::inflateBlock(stored.first(200), 558));
  std::vector<std::byte> altered(stored.begin(), stored.end());
  altered[100] ^= std::byte{0x40};
  EXPECT_FALSE(pst::inflateBlock(altered, 558));
  EXPECT_FALSE(pst::inflateBlock({}, 0));
  // A stream that inflates to 16 MiB, given as a block of the largest size: refused once
  // that size is reached, with no more written.
  std::vector<Bytef> zeros(16 << 20);
  uLongf packedSize = compressBound(uLong(zeros.size()));
  std::vector<std::byte> packed(packedSize);
  ASSERT_EQ(compress(reinterpret_cast<Bytef*>(packed.data()), &packedSize, zeros.data(), uLong(zeros.size())), Z_OK);
  packed.resize(packedSize);
  EXPECT_FALSE(pst::inflateBlock(packed, kOst.maxBlockData()));
}
