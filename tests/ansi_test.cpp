// ANSI PSTs (32-bit IDs and offsets) read by check and by the mailbox outline: a small mailbox
// laid out byte by byte in the test from the documented offsets (not from the geometry it
// checks), whole, then with a tree page lost; repair copies it, or refuses what would pass the
// layout's limits. The writers lay out what the generated ANSI sample holds. (Repair of a
// damaged ANSI file: LayoutRepair in pst_test.cpp.)

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>

#include "format/format.h"
#include "pst/check.h"
#include "pst/mailbox_outline.h"
#include "pst/node_reader.h"
#include "pst/node_writer.h"
#include "support/cli_run.h"
#include "support/test_support.h"

using namespace kestrix;
using test::TempDir;

namespace {

using Bytes = std::vector<std::byte>;

constexpr std::size_t kFileLength = 0x4400 + 0x3E000;  // the header's part and one interval
constexpr std::uint32_t kNodeRootAt = 0x4400 + 512, kNodeLeafAt = 0x4400 + 1024, kBlockLeafAt = 0x4400 + 1536;
constexpr std::uint32_t kNodeRootBid = 0x10101, kNodeLeafBid = 0x10105, kBlockLeafBid = 0x10109;  // pages: bit 0 set
constexpr std::uint32_t kInbox = 0x8022, kPlainMessage = 0x200024, kLongMessage = 0x200044;

// A mailbox of the ANSI layout: the message store, the root folder and a folder "Inbox" under
// it, all three named in 8-bit strings; two messages in the folder, one whose data spans two
// blocks under an XBLOCK, one with an attachment-like subnode reached through an SIBLOCK and
// an SLBLOCK. Blocks are permute-encoded, as the header says.
class AnsiMailbox {
 public:
  AnsiMailbox() : m_file(kFileLength) {
    header();
    page(0x4400, 0x84, 0x4400, {});  // the allocation map (its bits are not read)
    const auto pc = [](const char* name) {
      return pst::buildPropertyContext({{pst::kPropDisplayName, 0x001E, Bytes(reinterpret_cast<const std::byte*>(name),
                                                                               reinterpret_cast<const std::byte*>(name) + std::strlen(name))}});
    };
    const std::uint32_t store = external(pc("Caf\xE9 mail"));  // é in Latin-1
    const std::uint32_t root = external(pc(""));
    const std::uint32_t inbox = external(pc("Inbox"));
    const std::uint32_t plain = external(pc("a message"));
    Bytes first(3000, std::byte{'a'}), second(1200, std::byte{'b'});
    const std::uint32_t firstBid = external(first), secondBid = external(second);
    Bytes xblock(8 + 2 * 4);
    xblock[0] = std::byte{0x01};
    xblock[1] = std::byte{1};
    put16(xblock, 2, 2);
    put32(xblock, 4, 4200);
    put32(xblock, 8, firstBid);
    put32(xblock, 12, secondBid);
    const std::uint32_t spans = internal(xblock);
    const std::uint32_t attachment = external(Bytes(40, std::byte{'c'}));
    Bytes slblock(4 + 12);  // type, level, count; then NID, data, subnodes
    slblock[0] = std::byte{0x02};
    put16(slblock, 2, 1);
    put32(slblock, 4, 0x8025);
    put32(slblock, 8, attachment);
    const std::uint32_t sl = internal(slblock);
    Bytes siblock(4 + 8);  // type, level 1, count; then NID, SLBLOCK
    siblock[0] = std::byte{0x02};
    siblock[1] = std::byte{1};
    put16(siblock, 2, 1);
    put32(siblock, 4, 0x8025);
    put32(siblock, 8, sl);
    const std::uint32_t si = internal(siblock);
    m_subnodeData = attachment;

    // Node tree: a root page of one entry over a leaf; NBTENTRY: NID, data, subnodes, parent.
    Bytes root16(16 * 5);
    const std::uint32_t nodes[5][4] = {{pst::kNidMessageStore, store, 0, 0},
                                       {pst::kNidRootFolder, root, 0, pst::kNidRootFolder},
                                       {kInbox, inbox, 0, pst::kNidRootFolder},
                                       {kPlainMessage, plain, 0, kInbox},
                                       {kLongMessage, spans, si, kInbox}};
    for (std::size_t i = 0; i < 5; ++i)
      for (std::size_t f = 0; f < 4; ++f) put32(root16, 16 * i + 4 * f, nodes[i][f]);
    treePage(kNodeLeafAt, 0x81, kNodeLeafBid, 0, 16, root16);
    Bytes top(12);  // BTENTRY: key, child BID, child offset
    put32(top, 0, pst::kNidMessageStore);
    put32(top, 4, kNodeLeafBid);
    put32(top, 8, kNodeLeafAt);
    treePage(kNodeRootAt, 0x81, kNodeRootBid, 1, 12, top);
    // Block tree: one leaf; BBTENTRY: BID, offset, size, references.
    Bytes entries;
    for (const auto& b : m_blocks) {
      Bytes e(12);
      put32(e, 0, b.bid);
      put32(e, 4, b.offset);
      put16(e, 8, b.size);
      put16(e, 10, 1);
      entries.insert(entries.end(), e.begin(), e.end());
    }
    treePage(kBlockLeafAt, 0x80, kBlockLeafBid, 0, 12, entries);
  }

  const Bytes& bytes() const { return m_file; }
  std::uint32_t subnodeData() const { return m_subnodeData; }
  // The bytes with the block of that BID zeroed, trailer and all.
  Bytes without(std::uint32_t bid) const {
    Bytes bytes = m_file;
    for (const auto& b : m_blocks)
      if (b.bid == bid) std::fill_n(bytes.begin() + b.offset, (b.size + 12 + 63) / 64 * 64, std::byte{0});
    return bytes;
  }

 private:
  struct Block {
    std::uint32_t bid, offset;
    std::uint16_t size;
  };

  static void put16(Bytes& b, std::size_t at, std::uint16_t v) { pst::putLe16(b, at, v); }
  static void put32(Bytes& b, std::size_t at, std::uint32_t v) { pst::putLe32(b, at, v); }

  void header() {
    std::memcpy(m_file.data(), "!BDN", 4);
    std::memcpy(m_file.data() + 8, "SM", 2);
    put16(m_file, 10, 14);                // wVer
    put16(m_file, 12, 19);                // wVerClient
    put32(m_file, 168, kFileLength);      // ROOT.ibFileEof
    put32(m_file, 172, 0x4400);           // ROOT.ibAMapLast
    put32(m_file, 184, kNodeRootBid);     // ROOT.BREFNBT
    put32(m_file, 188, kNodeRootAt);
    put32(m_file, 192, kBlockLeafBid);    // ROOT.BREFBBT
    put32(m_file, 196, kBlockLeafAt);
    m_file[200] = std::byte{1};           // fAMapValid
    m_file[460] = std::byte{0x80};        // bSentinel
    m_file[461] = std::byte{1};           // bCryptMethod: permute
    put32(m_file, 4, pst::crc(pst::Bytes(m_file).subspan(8, 471)));
  }

  // A 512-byte page: its bytes, then the trailer: type twice, signature, BID, CRC.
  void page(std::uint32_t at, std::uint8_t type, std::uint32_t bid, const Bytes& body) {
    std::copy(body.begin(), body.end(), m_file.begin() + at);
    m_file[at + 500] = m_file[at + 501] = std::byte{type};
    put16(m_file, at + 502, type == 0x84 ? 0 : pst::signature(at, bid));
    put32(m_file, at + 504, bid);
    put32(m_file, at + 508, pst::crc(pst::Bytes(m_file).subspan(at, 500)));
  }

  // Entries, then count, most that fit, entry size and level at 496.
  void treePage(std::uint32_t at, std::uint8_t type, std::uint32_t bid, int level, std::size_t entrySize,
                const Bytes& entries) {
    Bytes body(500);
    std::copy(entries.begin(), entries.end(), body.begin());
    body[496] = std::byte(entries.size() / entrySize);
    body[497] = std::byte(496 / entrySize);
    body[498] = std::byte(entrySize);
    body[499] = std::byte(level);
    page(at, type, bid, body);
  }

  // A block after the pages: its data, then at the end of its 64-byte span the trailer: size,
  // signature, BID, CRC of the data as stored.
  std::uint32_t block(Bytes data, std::uint32_t bid) {
    const std::uint32_t at = m_next;
    std::copy(data.begin(), data.end(), m_file.begin() + at);
    const std::uint32_t span = std::uint32_t((data.size() + 12 + 63) / 64 * 64);
    const std::uint32_t trailer = at + span - 12;
    put16(m_file, trailer, std::uint16_t(data.size()));
    put16(m_file, trailer + 2, pst::signature(at, bid));
    put32(m_file, trailer + 4, bid);
    put32(m_file, trailer + 8, pst::crc(data));
    m_blocks.push_back({bid, at, std::uint16_t(data.size())});
    m_next += span;
    return bid;
  }
  std::uint32_t external(Bytes data) {
    const std::uint32_t bid = m_nextBid += 4;
    pst::encodeBlock(data, pst::Encoding::Permute, bid);
    return block(std::move(data), bid);
  }
  std::uint32_t internal(Bytes data) { return block(std::move(data), (m_nextBid += 4) | 2); }

  Bytes m_file;
  std::vector<Block> m_blocks;
  std::uint32_t m_next = 0x4400 + 2048;
  std::uint32_t m_nextBid = 0x20000;
  std::uint32_t m_subnodeData = 0;
};

pst::CheckReport checked(Bytes bytes) {
  test::MemorySource src(std::move(bytes));
  std::atomic<bool> stop{false};
  return pst::checkPst(src, stop);
}

}  // namespace

TEST(Ansi, AWholeMailboxChecksSoundWithItsFoldersAndMessages) {
  const AnsiMailbox mailbox;
  const pst::CheckReport r = checked(mailbox.bytes());
  EXPECT_EQ(r.analysis.layout, pst::FileLayout::Ansi);
  EXPECT_EQ(r.analysis.headerVerdict, pst::HeaderVerdict::Own);
  EXPECT_EQ(r.analysis.encoding, pst::Encoding::Permute);
  EXPECT_EQ(r.analysis.nodeTree.pagesReached, 2);
  EXPECT_EQ(r.blocksListed, 10);
  EXPECT_EQ(r.messages, 2);
  EXPECT_EQ(r.messagesReadable, 2);
  ASSERT_EQ(r.folders.size(), 2u);
  EXPECT_EQ(r.folders[1].name, "Inbox");
  EXPECT_EQ(r.folders[1].messages, 2);
  EXPECT_TRUE(r.mailboxOpens);
  EXPECT_EQ(r.mapsLost, 0);
  EXPECT_TRUE(r.sound());

  test::MemorySource src(mailbox.bytes());
  std::atomic<bool> stop{false};
  const pst::MailboxOutline outline = pst::readMailboxOutline(src, stop);
  EXPECT_EQ(outline.header, pst::HeaderState::Sound);
  EXPECT_TRUE(outline.indexRead());
  EXPECT_EQ(outline.displayName, "Caf\u00e9 mail");
  EXPECT_EQ(outline.topFolders, std::vector<std::string>{"Inbox"});
  EXPECT_EQ(outline.messages, 2);

  // The command line names the layout; repair copies a sound file as it is.
  TempDir dir;
  const std::string path = dir.file("ansi.pst");
  test::writeFile(path, mailbox.bytes());
  test::CliOutcome cli = test::runCliArgs({"check", "-q", "--format", "tsv", path});
  EXPECT_EQ(cli.status, 0) << cli.err;
  EXPECT_NE(cli.out.find("verdict\tsound\nheader\town\nlayout\tthe ANSI layout\n"), std::string::npos) << cli.out;
  EXPECT_NE(cli.out.find("messages\t2, 2 readable\nfolders\t2\n"), std::string::npos) << cli.out;
  const std::string out = dir.file("repaired.pst");
  cli = test::runCliArgs({"repair", "-q", path, "-o", out});
  EXPECT_EQ(cli.status, 0) << cli.err;
  EXPECT_TRUE(test::readFile(out) == mailbox.bytes());
}

// Each loss is found where it lies: the node tree's leaf page (every node with it), a block
// under an XBLOCK, a subnode's data under an SIBLOCK and an SLBLOCK.
TEST(Ansi, LostPagesAndBlocksAreDamage) {
  const AnsiMailbox mailbox;
  Bytes bytes = mailbox.bytes();
  std::fill_n(bytes.begin() + kNodeLeafAt, 512, std::byte{0});
  pst::CheckReport r = checked(bytes);
  EXPECT_EQ(r.analysis.headerVerdict, pst::HeaderVerdict::Own);
  EXPECT_EQ(r.analysis.nodeTree.pagesMissing, 1);
  EXPECT_EQ(r.messages, 0);
  EXPECT_FALSE(r.sound());

  for (const std::uint32_t lost : {0x20018u, mailbox.subnodeData()}) {  // the XBLOCK's second block; the subnode's
    r = checked(mailbox.without(lost));
    EXPECT_EQ(r.blocksMissing, 1);
    EXPECT_EQ(r.messages, 2);
    EXPECT_EQ(r.messagesReadable, 1);
    EXPECT_FALSE(r.sound());
  }
}

// A repair whose new tree pages would take page IDs past 32 bits (the header's next page ID
// just below 2^32) would write a file no reader opens: refused, and nothing written.
TEST(Ansi, ARepairPastTheLayoutsLimitsIsRefused) {
  const AnsiMailbox mailbox;
  Bytes bytes = mailbox.bytes();
  std::fill_n(bytes.begin() + kBlockLeafAt, 512, std::byte{0});
  pst::putLe32(bytes, 28, 0xFFFFFFFF);  // bidNextP
  pst::putLe32(bytes, 4, pst::crc(pst::Bytes(bytes).subspan(8, 471)));
  TempDir dir;
  const std::string path = dir.file("ansi.pst"), out = dir.file("repaired.pst");
  test::writeFile(path, bytes);
  const test::CliOutcome cli = test::runCliArgs({"repair", "-q", path, "-o", out});
  EXPECT_EQ(cli.status, 1);
  EXPECT_NE(cli.err.find("would pass the limits of its layout"), std::string::npos) << cli.err;
  EXPECT_FALSE(std::filesystem::exists(out));

  // Below the limit the same repair is written, in the ANSI layout.
  pst::putLe32(bytes, 28, 0x1000);
  pst::putLe32(bytes, 4, pst::crc(pst::Bytes(bytes).subspan(8, 471)));
  test::writeFile(path, bytes);
  EXPECT_EQ(test::runCliArgs({"repair", "-q", path, "-o", out}).status, 0);
  const pst::CheckReport r = checked(test::readFile(out));
  EXPECT_EQ(r.analysis.layout, pst::FileLayout::Ansi);
  EXPECT_TRUE(r.sound());
  EXPECT_EQ(r.messagesReadable, 2);
}

// The writers lay out what the generated ANSI sample holds, byte for byte: its header over its
// own unnamed bytes, and without them the named fields and the deprecated free maps (0xFF) in
// their ANSI places; a page of each level of both trees; its first allocation map.
TEST(Ansi, WritersLayOutWhatTheGeneratedSampleHolds) {
  const std::vector<std::byte>& bytes = test::ansiEnron();
  if (bytes.empty()) GTEST_SKIP() << "python3 is needed to generate the ANSI sample";
  const pst::Geometry& g = pst::kAnsiGeometry;
  const pst::Bytes file(bytes);
  const pst::ParsedHeader parsed = pst::parseHeader(file, pst::FileLayout::Ansi);
  ASSERT_EQ(parsed.state, pst::HeaderState::Sound);
  Bytes header(512);
  pst::buildHeader(parsed.header, header, file.first(512), g);
  EXPECT_TRUE(std::ranges::equal(header, file.first(512)));
  Bytes fresh(512);
  pst::buildHeader(parsed.header, fresh, {}, g);
  const pst::ParsedHeader again = pst::parseHeader(fresh, pst::FileLayout::Ansi);
  EXPECT_EQ(again.state, pst::HeaderState::Sound);
  EXPECT_EQ(std::memcmp(fresh.data() + 164, file.data() + 164, 40), 0);  // ROOT
  EXPECT_EQ(std::memcmp(fresh.data() + 8, file.data() + 8, 4), 0);      // client magic, version
  EXPECT_TRUE(std::all_of(fresh.begin() + 204, fresh.begin() + 460, [](std::byte b) { return b == std::byte{0xFF}; }));
  EXPECT_EQ(fresh[460], std::byte{0x80});

  // Each root, then the first child of each page above the leaves.
  std::vector<std::uint64_t> at{parsed.header.nodeRoot.offset, parsed.header.blockRoot.offset};
  for (std::size_t i = 0; i < at.size(); ++i) {
    const pst::Bytes page = file.subspan(at[i], 512);
    const auto tree = pst::parseTreePage(page, g);
    ASSERT_TRUE(tree) << std::hex << at[i];
    EXPECT_TRUE(std::ranges::equal(pst::buildTreePage(*tree, at[i], g), page)) << std::hex << at[i];
    if (tree->level > 0) at.push_back(tree->entries.front().child.offset);
  }
  EXPECT_EQ(at.size(), 5u);  // a node tree of 2 levels, a block tree of 3
  const pst::Bytes map = file.subspan(0x4400, 512);
  std::vector<std::uint8_t> bits(g.mapBits.size);
  std::transform(map.begin() + 4, map.begin() + 4 + 496, bits.begin(), [](std::byte b) { return std::uint8_t(b); });
  EXPECT_TRUE(std::ranges::equal(pst::buildMapPage(pst::kPageAllocMap, bits, 0x4400, g), map));
}
