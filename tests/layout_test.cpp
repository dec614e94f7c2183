// The layouts other than the Unicode one: their geometry against real and hand-built bytes,
// and the headers of those not read yet named by the scan, by recover and by check.

#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <cstring>

#include "format/format.h"
#include "recover/sample_image.h"
#include "scan/scan.h"
#include "support/cli_run.h"
#include "support/test_support.h"

using namespace kestrix;
using test::TempDir;

namespace {

// An ANSI header laid out by hand from the documented offsets, its partial CRC set.
std::vector<std::byte> ansiHeader() {
  std::vector<std::byte> h(512);
  std::memcpy(h.data(), "!BDNxxxxSM", 10);
  pst::putLe16(h, 10, 14);                   // wVer
  pst::putLe32(h, 24, 0x3D650);              // bidNextB
  pst::putLe32(h, 28, 0x21EBD);              // bidNextP
  pst::putLe32(h, 168, 0x270400);            // ROOT.ibFileEof
  pst::putLe32(h, 172, 0x232400);            // ROOT.ibAMapLast
  pst::putLe32(h, 184, 0x21EBC);             // ROOT.BREFNBT
  pst::putLe32(h, 188, 0xC7E00);
  pst::putLe32(h, 192, 0x21EB4);             // ROOT.BREFBBT
  pst::putLe32(h, 196, 0x5400);
  h[200] = std::byte{1};                     // fAMapValid
  h[460] = std::byte{0x80};                  // bSentinel
  h[461] = std::byte{1};                     // bCryptMethod: permute
  pst::sealHeader(h);
  return h;
}

std::vector<std::byte> withVersion(std::vector<std::byte> header, std::uint16_t version) {
  pst::putLe16(header, pst::kHeaderVersionAt, version);
  pst::sealHeader(header);
  return header;
}

}  // namespace

TEST(Layout, HeadersOfEveryLayoutAreReadThroughTheirGeometry) {
  const std::vector<std::byte> ansi = ansiHeader();
  pst::ParsedHeader p = pst::parseHeader(ansi);
  EXPECT_EQ(p.layout, pst::FileLayout::Ansi);
  EXPECT_EQ(p.state, pst::HeaderState::NotUnicode);  // not where the Unicode layout is read
  EXPECT_TRUE(p.crcsHold);
  EXPECT_EQ(pst::parseHeader(ansi, pst::FileLayout::Ansi).state, pst::HeaderState::Sound);
  EXPECT_TRUE(pst::isHeaderSector(ansi));
  EXPECT_EQ(p.header.fileEof, 0x270400u);
  EXPECT_EQ(p.header.lastAMap, 0x232400u);
  EXPECT_EQ(p.header.nodeRoot, (pst::BlockRef{0x21EBC, 0xC7E00}));
  EXPECT_EQ(p.header.blockRoot, (pst::BlockRef{0x21EB4, 0x5400}));
  EXPECT_EQ(p.header.nextBlockBid, 0x3D650u);
  EXPECT_EQ(p.header.nextPageBid, 0x21EBDu);
  EXPECT_EQ(p.header.encoding, pst::Encoding::Permute);
  EXPECT_EQ(p.header.amapValid, 1);
  std::vector<std::byte> flipped = ansi;
  flipped[300] ^= std::byte{1};
  EXPECT_FALSE(pst::parseHeader(flipped).crcsHold);

  // The offline store's own bytes: its header, its first allocation map, its block tree's
  // root page and its first block, each where and as the 4 KiB geometry says.
  const std::vector<std::byte>& ost = test::ostSample();
  ASSERT_EQ(ost.size(), 16818176u) << "xz (xz-utils) is needed";
  const pst::Geometry& g = pst::kUnicode4KGeometry;
  p = pst::parseHeader(ost);
  EXPECT_EQ(p.layout, pst::FileLayout::Unicode4K);
  EXPECT_EQ(p.state, pst::HeaderState::NotUnicode);
  EXPECT_TRUE(p.crcsHold);
  EXPECT_EQ(p.header.fileEof, ost.size());
  EXPECT_EQ(p.header.lastAMap, std::uint64_t(g.firstMapOffset));
  EXPECT_EQ(p.header.nodeRoot, (pst::BlockRef{0x4AA4, 0x250000}));
  EXPECT_EQ(p.header.blockRoot, (pst::BlockRef{0x4AAF, 0x1F2000}));
  EXPECT_EQ(p.header.encoding, pst::Encoding::None);
  EXPECT_EQ(p.header.amapValid, 2);
  // The file is one interval: its map's bits count what is in use of it.
  const pst::Bytes bytes(ost);
  const pst::Bytes map = bytes.subspan(std::size_t(g.firstMapOffset), g.pageSize);
  EXPECT_EQ(map[g.pageTrailerAt()], std::byte{pst::kPageAllocMap});
  EXPECT_EQ(map[g.pageTrailerAt() + 1], std::byte{pst::kPageAllocMap});
  EXPECT_EQ(pst::crc(map.first(g.pageTrailerAt())), pst::le32(map, g.pageTrailerAt() + g.pageTrailer.crc.at));
  std::int64_t used = 0;
  for (std::byte b : map.subspan(g.mapBits.at, g.mapBits.size)) used += std::popcount(std::to_integer<unsigned>(b));
  EXPECT_EQ(std::int64_t(g.firstMapOffset) + g.mapInterval, std::int64_t(ost.size()));
  EXPECT_EQ(g.mapInterval - used * std::int64_t(g.mapBitBytes), std::int64_t(p.header.amapFree));
  const pst::Bytes root = bytes.subspan(p.header.blockRoot.offset, g.pageSize);
  const pst::Bytes trailer = root.subspan(g.pageTrailerAt());
  EXPECT_EQ(trailer[0], std::byte{pst::kPageBlockTree});
  EXPECT_EQ(pst::le64(trailer, g.pageTrailer.bid.at), p.header.blockRoot.bid);
  EXPECT_EQ(pst::le16(trailer, g.pageTrailer.sigAt), pst::signature(p.header.blockRoot.offset, p.header.blockRoot.bid));
  EXPECT_EQ(pst::crc(root.first(g.pageTrailerAt())), pst::le32(trailer, g.pageTrailer.crc.at));
  // Block 4, 172 bytes at 0x25000: its trailer ends the first 512-byte step.
  const std::size_t blockAt = 0x25000;
  const pst::Bytes block = bytes.subspan(blockAt + g.blockAlign - g.blockTrailer.size, g.blockTrailer.size);
  const std::uint16_t size = pst::le16(block, g.blockTrailer.dataSizeAt);
  EXPECT_EQ(size, 172);
  EXPECT_EQ(pst::le64(block, g.blockTrailer.bid.at), 4u);
  EXPECT_EQ(pst::le16(block, g.blockTrailer.sigAt), pst::signature(blockAt, 4));
  EXPECT_EQ(pst::le32(block, g.blockTrailer.crc.at), pst::crc(bytes.subspan(blockAt, size)));
  EXPECT_EQ(pst::le16(block, g.blockTrailer.inflatedSize.at), 172);

  // The Unicode layout reads as before; a version no layout has is named, nothing more.
  p = pst::parseHeader(test::enronPst());
  EXPECT_EQ(p.layout, pst::FileLayout::Unicode);
  EXPECT_EQ(p.state, pst::HeaderState::Sound);
  std::vector<std::byte> unknown = withVersion(ansi, 99);
  unknown.resize(pst::kHeaderSize);
  p = pst::parseHeader(unknown);
  EXPECT_EQ(p.layout, pst::FileLayout::Unknown);
  EXPECT_EQ(p.state, pst::HeaderState::NotUnicode);
  EXPECT_EQ(p.header.version, 99);
  EXPECT_FALSE(p.crcsHold);
}

// An image holding the sample mailbox, an ANSI header, the offline store's first 4 KiB and a
// header of a version no layout has: the scan keeps each with its layout's evidence, and
// scan, recover and check name the one of the unknown version.
TEST(Layout, HeadersAreKeptByLayoutAndUnknownOnesNamed) {
  TempDir dir;
  rebuild::ImageBuilder image(7);
  image.noise(40);
  const std::int64_t ansiAt = image.append(ansiHeader());
  image.noise(3);
  const std::int64_t ostAt = image.append(std::span(test::ostSample()).first(4096));
  const std::int64_t unknownAt = image.append(withVersion(ansiHeader(), 99));
  image.noise(5);
  const auto& enron = test::enronPst();
  const std::int64_t enronAt = image.append(std::span(enron).first(0x4400));
  image.appendIntervals(enron, 0, 55);
  image.noise(9);

  test::MemorySource src(image.bytes());
  std::atomic<bool> stop{false};
  const scan::ScanResult scanned = scan::scanSource(src, stop, {});
  EXPECT_EQ(scanned.index.headers, std::vector<std::int64_t>{enronAt * 512});
  EXPECT_EQ(scanned.index.ansi.headers, std::vector<std::int64_t>{ansiAt * 512});
  EXPECT_EQ(scanned.index.pages4K.headers, std::vector<std::int64_t>{ostAt * 512});
  EXPECT_EQ(scanned.index.otherHeaders, (std::vector<scan::OtherHeader>{{unknownAt * 512, 99}}));

  const std::string path = dir.file("disk.img");
  test::writeFile(path, image.bytes());
  const std::string unknownNote = "a PST header of an unknown version (99) was found at sector " + std::to_string(unknownAt);
  test::CliOutcome r = test::runCliArgs({"scan", "-q", "--format", "tsv", path});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), "ID\t开始ID\t结束ID\t碎片大小\t文件大小");  // the columns as they were
  EXPECT_EQ(r.err, "kestrix-cli: " + unknownNote + "\n");
  r = test::runCliArgs({"scan", "-q", "--format", "json", path});
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("{\"sector\": " + std::to_string(unknownAt) + ", \"version\": 99, \"note\": \"" + unknownNote + "\"}"),
            std::string::npos)
      << r.out;

  // recover puts the mailbox together and names the others among its notes.
  r = test::runCliArgs({"recover", "-q", "--format", "json", path, "-o", dir.file("out")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("\"notes\": [\n    \"" + unknownNote + "\""),
            std::string::npos)
      << r.out;

  // check names the version of a file it does not read.
  const std::string unknown = dir.file("unknown.pst");
  std::vector<std::byte> unknownFile = withVersion(ansiHeader(), 99);
  unknownFile.resize(0x4400);
  test::writeFile(unknown, unknownFile);
  r = test::runCliArgs({"check", "-q", "--format", "tsv", unknown});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("verdict\ta PST of an unknown version (99): not read\n"), std::string::npos) << r.out;
  EXPECT_EQ(r.err, "kestrix-cli: \"" + unknown + "\" is a PST of an unknown version (99): not read\n");
}

namespace {

// An ANSI tree page laid out by hand: 4-byte fields, the counts at 496, the trailer (type
// twice, signature, BID, CRC) at 500.
std::vector<std::byte> ansiTreePage(std::uint8_t type, std::uint8_t level, std::uint8_t width,
                                    const std::vector<std::vector<std::uint32_t>>& entries, std::uint32_t bid,
                                    std::uint32_t offset) {
  std::vector<std::byte> page(512);
  for (std::size_t i = 0; i < entries.size(); ++i)
    for (std::size_t f = 0; f < entries[i].size(); ++f) pst::putLe32(page, i * width + 4 * f, entries[i][f]);
  page[496] = std::byte(entries.size());
  page[497] = std::byte(496 / width);
  page[498] = std::byte(width);
  page[499] = std::byte(level);
  page[500] = page[501] = std::byte(type);
  pst::putLe16(page, 502, pst::signature(offset, bid));
  pst::putLe32(page, 504, bid);
  pst::putLe32(page, 508, pst::crc(pst::Bytes(page).first(500)));
  return page;
}

}  // namespace

// The ANSI layout's tree pages and internal blocks hold 4-byte IDs and offsets: every field
// is read where that layout puts it, and a page of the Unicode entry widths is refused.
TEST(Layout, AnsiTreePagesAndInternalBlocksReadWithFourByteIds) {
  const pst::Geometry& g = pst::kAnsiGeometry;
  EXPECT_EQ(pst::pageCapacity(pst::kPageNodeTree, 0, g), 31u);
  EXPECT_EQ(pst::pageCapacity(pst::kPageBlockTree, 0, g), 41u);
  EXPECT_EQ(pst::pageCapacity(pst::kPageBlockTree, 1, g), 41u);

  // A branch: key, child BID, child offset.
  auto page = ansiTreePage(pst::kPageBlockTree, 1, 12, {{4, 0x21EB0, 0x5600}, {0x3000, 0x21EB2, 0x5800}}, 0x21EB4, 0x5400);
  ASSERT_TRUE(pst::isValidPage(page, 0x5400, g));
  auto parsed = pst::parseTreePage(page, g);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->level, 1);
  EXPECT_EQ(parsed->bid, 0x21EB4u);
  ASSERT_EQ(parsed->entries.size(), 2u);
  EXPECT_EQ(parsed->entries[1].key, 0x3000u);
  EXPECT_EQ(parsed->entries[1].child, (pst::BlockRef{0x21EB2, 0x5800}));

  // A block-tree leaf: BID, offset, then size and reference count in 16 bits each.
  page = ansiTreePage(pst::kPageBlockTree, 0, 12, {{0x24, 0x4600, 0x0003'01F0}}, 0x21EB0, 0x5600);
  parsed = pst::parseTreePage(page, g);
  ASSERT_TRUE(parsed);
  ASSERT_EQ(parsed->entries.size(), 1u);
  EXPECT_EQ(parsed->entries[0].child, (pst::BlockRef{0x24, 0x4600}));
  EXPECT_EQ(parsed->entries[0].size, 0x1F0);
  EXPECT_EQ(parsed->entries[0].refs, 3);

  // A node-tree leaf: NID, data BID, subnode BID, parent NID.
  page = ansiTreePage(pst::kPageNodeTree, 0, 16, {{0x200024, 0x48, 0x4E, 0x8022}}, 0x21EBC, 0xC7E00);
  parsed = pst::parseTreePage(page, g);
  ASSERT_TRUE(parsed);
  ASSERT_EQ(parsed->entries.size(), 1u);
  EXPECT_EQ(parsed->entries[0].key, 0x200024u);
  EXPECT_EQ(parsed->entries[0].data, 0x48u);
  EXPECT_EQ(parsed->entries[0].sub, 0x4Eu);
  EXPECT_EQ(parsed->entries[0].parent, 0x8022u);
  // The Unicode node-leaf width on an ANSI page names another layout's entries.
  EXPECT_FALSE(pst::parseTreePage(ansiTreePage(pst::kPageNodeTree, 0, 32, {{1, 2, 3, 4}}, 0x21EBC, 0xC7E00), g));

  // An XBLOCK: 8-byte header, then 4-byte BIDs; an SLBLOCK: 4-byte header, then (NID, data,
  // subnode); an SIBLOCK: (NID, SLBLOCK).
  std::vector<std::byte> block(8 + 3 * 4);
  block[0] = std::byte{1};
  block[1] = std::byte{1};
  pst::putLe16(block, 2, 3);
  for (std::uint32_t i = 0; i < 3; ++i) pst::putLe32(block, 8 + 4 * i, 0x100 + 4 * i);
  EXPECT_EQ(pst::internalBlockRefs(block, g), (std::vector<std::uint64_t>{0x100, 0x104, 0x108}));
  block.assign(4 + 2 * 12, std::byte{0});
  block[0] = std::byte{2};
  pst::putLe16(block, 2, 2);
  for (std::uint32_t i = 0; i < 2; ++i) {
    pst::putLe32(block, 4 + 12 * i, 0x20 + i);
    pst::putLe32(block, 8 + 12 * i, 0x200 + 4 * i);
    pst::putLe32(block, 12 + 12 * i, i ? 0x302 : 0);  // the first has no subnodes
  }
  EXPECT_EQ(pst::internalBlockRefs(block, g), (std::vector<std::uint64_t>{0x200, 0x204, 0x302}));
  block[1] = std::byte{1};  // as an SIBLOCK its first 16 bytes of entries are two (NID, SLBLOCK) pairs
  EXPECT_EQ(pst::internalBlockRefs(block, g), (std::vector<std::uint64_t>{0x200, 0x21}));
  // The count may not run past the block.
  pst::putLe16(block, 2, 4);
  EXPECT_TRUE(pst::internalBlockRefs(block, g).empty());
}
