#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <numeric>
#include <random>
#include <regex>
#include <set>

#include "build_info.h"
#include "cli/commands.h"
#include "io/output_file.h"
#include "recover/recover_job.h"
#include "recover/recover_report.h"
#include "recover/sample_image.h"
#include "format/format.h"
#include "format/map_page.h"
#include "support/cli_run.h"
#include "support/test_support.h"

using namespace kestrix;
using scan::kFirstMapPageOffset;
using scan::kIntervalBytes;
using test::TempDir;

namespace {

using Outcome = test::CliOutcome;

Outcome recover(std::vector<std::string> args) {
  args.insert(args.begin(), "recover");
  return test::runCliArgs(std::move(args));
}

std::string text(const std::vector<std::byte>& bytes) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Intervals [first, first + count) of enron.pst as an older version of the file would hold
// them: the same map pages, other contents.
std::vector<std::byte> olderCopy(std::int32_t first, std::int32_t count) {
  const auto& pst = test::enronPst();
  const auto from = std::size_t(kFirstMapPageOffset + first * kIntervalBytes);
  std::vector<std::byte> bytes(pst.begin() + std::ptrdiff_t(from),
                               pst.begin() + std::ptrdiff_t(from + std::size_t(count * kIntervalBytes)));
  for (std::size_t i = 0; i < bytes.size(); ++i)
    if (i % std::size_t(kIntervalBytes) >= 512) bytes[i] ^= std::byte{0x5A};
  return bytes;
}

const std::vector<std::byte>& synthetic() {
  static const auto bytes = rebuild::makeSyntheticPst(3, 5);
  return bytes;
}

// enron.pst in pieces, out of order, noise between, and older copies of some intervals:
//   old 37-39, D 37-54, A header + 0-17, old 15-20, B 18-36 (or B1 18-19 and B2 21-36,
//   with ID 20 lost). The older copies are what the assembly rule must pass over: 15-20
//   overlaps A, and 37-39 lies farther before B than D does.
std::vector<std::byte> enronImage(bool loseInterval20) {
  const auto& pst = test::enronPst();
  rebuild::ImageBuilder image(77);
  image.noise(900);
  image.append(olderCopy(37, 3));
  image.noise(333);
  image.appendIntervals(pst, 37, 18);
  image.noise(1200);
  image.append(std::span(pst).first(std::size_t(kFirstMapPageOffset)));
  image.appendIntervals(pst, 0, 18);
  image.noise(45);
  image.append(olderCopy(15, 6));
  image.noise(700);
  if (loseInterval20) {
    image.appendIntervals(pst, 18, 2);
    image.noise(2000);
    image.appendIntervals(pst, 21, 16);
  } else {
    image.appendIntervals(pst, 18, 19);
  }
  image.noise(512);
  image.append(synthetic());  // file2.pst, in one piece
  image.noise(64);
  return image.take();
}

struct Run {
  std::int64_t fileOffset, imgOffset, len;
  bool fill;
};

// The byte_run elements of one fileobject of report.xml.
std::vector<Run> runsOf(const std::string& xml, const std::string& fileName) {
  const auto at = xml.find("<filename>" + fileName + "</filename>");
  const auto end = xml.find("</fileobject>", at);
  std::vector<Run> runs;
  if (at == std::string::npos || end == std::string::npos) return runs;
  const std::string part = xml.substr(at, end - at);
  const std::regex re(R"re(<byte_run file_offset="(\d+)"(?: img_offset="(\d+)")?( fill="0")? len="(\d+)"/>)re");
  for (std::sregex_iterator it(part.begin(), part.end(), re), stop; it != stop; ++it)
    runs.push_back({std::stoll((*it)[1]), (*it)[2].matched ? std::stoll((*it)[2]) : -1, std::stoll((*it)[4]),
                    (*it)[3].matched});
  return runs;
}

void expectReportDescribes(const std::string& xml, const std::string& name, const std::vector<std::byte>& image,
                           const std::vector<std::byte>& file) {
  const auto runs = runsOf(xml, name);
  ASSERT_FALSE(runs.empty());
  std::int64_t at = 0;
  for (const Run& r : runs) {
    ASSERT_EQ(r.fileOffset, at);
    if (r.fill) {
      EXPECT_TRUE(std::all_of(file.begin() + at, file.begin() + at + r.len, [](std::byte b) { return b == std::byte{0}; }));
    } else {
      ASSERT_GE(r.imgOffset, 0);
      ASSERT_LE(r.imgOffset + r.len, std::int64_t(image.size()));
      EXPECT_TRUE(std::equal(file.begin() + at, file.begin() + at + r.len, image.begin() + r.imgOffset));
    }
    at += r.len;
  }
  EXPECT_EQ(at, std::int64_t(file.size()));
}

bool havePython() { return std::system("python3 -c 'import xml.etree.ElementTree' >/dev/null 2>&1") == 0; }

}  // namespace

TEST(RecoverCommand, WritesEnronByteForByteWithAReportThatParses) {
  TempDir dir;
  const auto image = enronImage(false);
  test::writeFile(dir.file("disk.img"), image);
  // A folder name that a shell would split: the report's command line quotes it.
  const std::string out = dir.file("out dir's");
  const auto r = recover({dir.file("disk.img"), "-o", out, "--report", "-q"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(r.err.empty()) << r.err;
  // 1: old 37-39, 2: D, 3: A, 4: old 15-20, 5: B. D and the older 37-39 both could serve IDs
  // 37-39: D is taken, and the file is marked as one that may mix versions.
  EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(1\s+file1\.pst\s+13\.33 MB\s+55\s+0 两个版本\s+3,5,2\s+2274/2274\s+71/71\s+10\s+own\s+whole\n)")))
      << r.out;
  EXPECT_NE(r.out.find("file1.pst: 2 candidates for IDs 37-39 (fragment 2 taken, 1 passed over); the file may mix"),
            std::string::npos)
      << r.out;
  const auto written = test::readFile(out + "/file1.pst");
  EXPECT_TRUE(written == test::enronPst());

  EXPECT_TRUE(test::readFile(out + "/file2.pst") == synthetic());

  const std::string xml = text(test::readFile(out + "/report.xml"));
  EXPECT_NE(xml.find("<filesize>13984768</filesize>"), std::string::npos);
  EXPECT_NE(xml.find("<version>" KESTRIX_VERSION "</version>"), std::string::npos);
  EXPECT_NE(xml.find("<kestrix:versions>2 candidates for IDs 37-39"), std::string::npos);
  EXPECT_NE(xml.find("<command_line>kestrix-cli recover " + dir.file("disk.img") + " -o &apos;" + dir.path().string() +
                     "/out dir&apos;\\&apos;&apos;s&apos; --report --quiet</command_line>"),
            std::string::npos)
      << xml;
  expectReportDescribes(xml, "file1.pst", image, written);
  expectReportDescribes(xml, "file2.pst", image, synthetic());
  EXPECT_EQ(runsOf(xml, "file1.pst").size(), 3u);  // A with its header, B, D

  // --file 2 writes that file alone.
  const auto one = recover({dir.file("disk.img"), "-o", dir.file("one"), "--file", "2", "-q"});
  ASSERT_EQ(one.status, 0) << one.err;
  EXPECT_TRUE(test::readFile(dir.file("one/file2.pst")) == synthetic());
  EXPECT_FALSE(std::filesystem::exists(dir.file("one/file1.pst")));
  if (havePython()) {
    const std::string check = "python3 -c \"import sys, xml.etree.ElementTree as E; "
                              "n='{http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML}'; "
                              "r=E.parse(sys.argv[1]).getroot(); "
                              "f=r.findall(n+'fileobject'); "
                              "sys.exit(0 if len(f)==2 and f[0].find(n+'filename').text=='file1.pst' and "
                              "sum(int(b.get('len')) for b in f[0].iter(n+'byte_run'))==13984768 else 1)\" ";
    EXPECT_EQ(std::system((check + "\"" + out + "/report.xml\"").c_str()), 0);
  } else {
    GTEST_LOG_(INFO) << "python3 is not installed: report.xml was checked without an XML parser";
  }
}

// A file system with 1 KiB clusters cut enron's 8 KiB block at 6285824 in three: its start
// ends one piece, its end starts the next 2 MB further on, and the one cluster between lies
// on its own among other data in that gap. The image ends 54 KiB short of the file's end (zeros in enron):
// the file put together block by block is whole all the same, and report.xml gives what lies
// past the image's end as a fill, not as image bytes.
TEST(RecoverCommand, ABlockInThreePiecesWithALoneClusterBetweenComesBackWhole) {
  TempDir dir;
  const auto& pst = test::enronPst();
  constexpr std::size_t kCut1 = 6290432, kCut2 = kCut1 + 1024, kShort = 54 * 1024;
  rebuild::ImageBuilder image(5);
  image.noise(8);
  image.append(std::span(pst).first(kCut1));
  image.noise(1500);
  image.append(std::span(pst).subspan(kCut1, kCut2 - kCut1));
  image.noise(2500);
  image.append(std::span(pst).subspan(kCut2, pst.size() - kCut2 - kShort));
  test::writeFile(dir.file("disk.img"), image.bytes());
  const auto r = recover({dir.file("disk.img"), "-o", dir.file("out"), "--report"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("put together block by block"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(", 0 missing"), std::string::npos) << r.out;
  EXPECT_TRUE(test::readFile(dir.file("out/file1.pst")) == pst);
  const std::string xml = text(test::readFile(dir.file("out/report.xml")));
  expectReportDescribes(xml, "file1.pst", image.bytes(), pst);
  const auto runs = runsOf(xml, "file1.pst");
  ASSERT_FALSE(runs.empty());
  EXPECT_TRUE(runs.back().fill && runs.back().len >= std::int64_t(kShort)) << xml;
}

// With its header gone, a file's length is told by its fragments alone. Alone on the source,
// it goes on past an interval that was lost, so that its newest tree pages come back too; not
// when another copy of some of its intervals shows that more than one file's lie there.
TEST(RecoverCommand, AFileWithoutItsHeaderGoesOnPastALostInterval) {
  TempDir dir;
  auto pst = test::enronPst();
  std::fill_n(pst.begin(), kFirstMapPageOffset, std::byte{0});
  for (const bool otherCopy : {false, true}) {
    rebuild::ImageBuilder image(3);
    image.noise(50);
    image.append(std::span(pst).first(std::size_t(kFirstMapPageOffset + 30 * kIntervalBytes)));
    image.noise(900);
    image.appendIntervals(pst, 31, 24);
    image.noise(50);
    if (otherCopy) image.append(olderCopy(40, 2));
    const std::string out = dir.file(otherCopy ? "copy" : "lone");
    test::writeFile(dir.file("disk.img"), image.take());
    const auto r = recover({dir.file("disk.img"), "-o", out, "-q"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.find("1 of 55 intervals not found: ID 30") != std::string::npos, !otherCopy) << r.out;
    const auto checked = test::runCliArgs({"check", "--format", "tsv", out + "/file1.pst"});
    EXPECT_EQ(checked.status, 0) << checked.out;
    EXPECT_NE(checked.out.find(otherCopy ? "messages\t51, 51 readable" : "messages\t71, 71 readable"), std::string::npos)
        << checked.out;
  }
}

// A file as a file system with small holes lays it out: runs of `least` to `least + spread - 1`
// clusters in disk order, 1 to 3 clusters of other data between them.
std::vector<std::byte> smallHoles(std::span<const std::byte> pst, std::size_t least = 4, std::size_t spread = 13,
                                  std::size_t cluster = 4096) {
  rebuild::ImageBuilder image(9);
  image.noise(64);
  for (std::size_t at = 0, i = 0; at < pst.size(); ++i) {
    const std::size_t n = std::min(pst.size() - at, (least + i * 7 % spread) * cluster);
    image.append(pst.subspan(at, n));
    image.noise(std::int64_t(cluster / 512 * (1 + i % 3)));
    at += n;
  }
  return image.take();
}

// Runs of one or two 1 KiB clusters: most blocks lie in four to nine pieces, and each comes
// back from the clusters between its two ends, in disk order. So many placements tried are
// not proof enough to call the file whole: the chance that one is false is stated.
TEST(RecoverCommand, ABlockInManyPiecesComesBackAndItsChanceIsStated) {
  TempDir dir;
  test::writeFile(dir.file("disk.img"), smallHoles(test::enronPst(), 2, 4, 1024));
  const auto r = recover({dir.file("disk.img"), "-o", dir.file("out"), "-q", "--format", "json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(R"("state": "inferred", "stateWhy": ")"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(R"(put together from pieces by their CRC alone, after )"), std::string::npos) << r.out;
  // Every block came back, and those put together from pieces are not counted proved.
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.out, m, std::regex(R"("blocksStitched": (\d+), "blocksMissing": 0,)"))) << r.out;
  const int stitched = std::stoi(m[1]);
  EXPECT_GT(stitched, 0);
  EXPECT_NE(r.out.find("\"blocksProved\": " + std::to_string(2274 - stitched) + ","), std::string::npos) << r.out;
  const auto checked = test::runCliArgs({"check", "--format", "tsv", dir.file("out/file1.pst")});
  EXPECT_NE(checked.out.find("messages\t71, 71 readable"), std::string::npos) << checked.out;
}

// `file` cut into runs of one to eight 4 KiB clusters in no order, up to three clusters of other
// data before each and the rest of its last cluster filled: a volume that filled small holes.
std::vector<std::byte> scatteredInSmallRuns(std::span<const std::byte> file, std::uint64_t seed) {
  constexpr std::size_t kCluster = 4096;
  std::vector<std::span<const std::byte>> pieces;
  std::uint64_t lcg = seed;
  const auto next = [&lcg](std::uint64_t n) { return ((lcg = lcg * 6364136223846793005u + 1442695040888963407u) >> 33) % n; };
  for (std::size_t at = 0; at < file.size();) {
    const std::size_t n = std::min(file.size() - at, (1 + next(8)) * kCluster);
    pieces.push_back(file.subspan(at, n));
    at += n;
  }
  for (std::size_t i = pieces.size(); i > 1; --i) std::swap(pieces[i - 1], pieces[next(i)]);
  rebuild::ImageBuilder image(11);
  for (const auto& piece : pieces) {
    image.noise(std::int64_t(kCluster / 512 * next(4)));
    image.append(piece);
    image.noise(std::int64_t((kCluster - piece.size() % kCluster) % kCluster / 512));
  }
  return image.take();
}

// Runs of one to eight 4 KiB clusters in no order, other data between them: a block's inner
// cluster is often a piece of its own far from both its ends, and its first cluster sometimes
// one whose start holds nothing of the file found. Both are found by their CRC anywhere on a
// source this small, and every message reads.
TEST(RecoverCommand, ClustersOfABlockScatteredAnywhereAreFoundByItsCrc) {
  TempDir dir;
  test::writeFile(dir.file("disk.img"), scatteredInSmallRuns(test::enronPst(), 7));
  const auto r = recover({dir.file("disk.img"), "-o", dir.file("out"), "-q", "--format", "json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(R"("blocksMissing": 0,)"), std::string::npos) << r.out;
  const auto checked = test::runCliArgs({"check", "--format", "tsv", dir.file("out/file1.pst")});
  EXPECT_NE(checked.out.find("messages\t71, 71 readable"), std::string::npos) << checked.out;
}

// The same with an OST, whose blocks take up to 16 clusters: a block's middle lies in two runs
// or more anywhere. Found as two runs where the block inflates, cluster by cluster where another
// block of the file holds its bytes, or as one run with cuts no nearer search tries: inferred,
// not proved, so the file is not whole.
TEST(RecoverCommand, BlocksOfManyClustersScatteredInRunsAreInferredFromTheirPieces) {
  TempDir dir;
  test::writeFile(dir.file("disk.img"), scatteredInSmallRuns(test::ostSample(), 2));
  const auto r = recover({dir.file("disk.img"), "-o", dir.file("out"), "-q", "--format", "json"});
  ASSERT_EQ(r.status, 0) << r.err;
  // Of 1,469 blocks, eight lie where no nearer search finds them; one stays missing.
  const auto count = [&](const char* field) {
    std::smatch m;
    return std::regex_search(r.out, m, std::regex(std::string("\"") + field + "\": ([0-9]+)")) ? std::stoi(m[1]) : -1;
  };
  EXPECT_GE(count("blocksInferred"), 7) << r.out;
  EXPECT_LE(count("blocksMissing"), 1) << r.out;
  EXPECT_EQ(count("messagesReadable"), 183) << r.out;
  EXPECT_NE(r.out.find(R"("state": "damaged")"), std::string::npos) << r.out;
}

// A block-tree leaf of an OST cut after its first sector, seven sectors of another file between
// its pieces: found nowhere whole, it is put together from the sector where the file before it
// continues and the piece its trailer lies in, by its CRC: the blocks only it lists come back,
// the file byte for byte, but unproved, so not whole. With a second end piece whose bytes differ
// by a multiple of the CRC's polynomial (the same CRC, another page), neither is taken.
TEST(RecoverCommand, ATreePageCutInTwoIsInferredFromItsPiecesUnlessTwoFit) {
  constexpr std::size_t kLeaf = 749568, kCut = kLeaf + 512;  // a leaf of the sample's block tree
  const auto& ost = test::ostSample();
  std::vector<std::byte> image(ost.begin(), ost.begin() + kCut);
  image.resize(image.size() + 7 * 512, std::byte{0x5A});
  image.insert(image.end(), ost.begin() + kCut, ost.end());
  TempDir dir;
  const auto pagesFound = [&](const char* state, const char* pages) {
    test::writeFile(dir.file("disk.img"), image);
    std::filesystem::remove_all(dir.file("out"));
    const auto r = recover({dir.file("disk.img"), "-o", dir.file("out"), "-q", "--format", "json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(std::string(R"("state": ")") + state + '"'), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(pages), std::string::npos) << r.out;
  };
  pagesFound("inferred", R"("pagesMissing": 0, "pagesInferred": 1, "pagesAmbiguous": 0)");
  EXPECT_TRUE(test::readFile(dir.file("out/file1.ost")) == ost);

  const std::size_t copy = image.size();
  image.insert(image.end(), ost.begin() + kCut, ost.begin() + kLeaf + 4096);
  const std::byte polynomial[] = {std::byte{0x41}, std::byte{0x06}, std::byte{0x71}, std::byte{0xDB}, std::byte{0x01}};
  for (std::size_t i = 0; i < 5; ++i) image[copy + 512 + i] ^= polynomial[i];  // 1 KiB into the page
  pagesFound("damaged", R"("pagesMissing": 1, "pagesInferred": 0, "pagesAmbiguous": 1)");
}

// A volume of 1 KiB blocks that scattered the file in runs of one to three blocks, in no order,
// and whose extent leaves outlived the file: the leaves that agree with the blocks found whole
// put every other block back, and the bytes between them, so the file comes back byte for byte
// and whole. A leaf that maps the same blocks elsewhere (another file's) is outvoted.
TEST(RecoverCommand, AVolumesExtentLeavesPutBackAFileInSmallPiecesInAnyOrder) {
  constexpr std::int64_t kBlock = 1024, kVolume = 1 << 20;  // the volume starts 1 MiB into the image
  const auto pst = test::enronPst();
  struct Run {
    std::int64_t logical, blocks;
  };
  std::vector<Run> runs;
  const std::int64_t fileBlocks = std::int64_t(pst.size()) / kBlock;
  for (std::int64_t at = 0, i = 0; at < fileBlocks; ++i) {
    runs.push_back({at, std::min<std::int64_t>(1 + i * 7 % 3, fileBlocks - at)});
    at += runs.back().blocks;
  }
  std::vector<std::size_t> order(runs.size());
  std::iota(order.begin(), order.end(), 0);
  std::mt19937 rng(5);
  std::shuffle(order.begin(), order.end(), rng);
  std::vector<std::byte> image(std::size_t(kVolume), std::byte{0x11});
  std::vector<std::int64_t> physical(runs.size());
  for (const std::size_t k : order) {
    image.resize(image.size() + std::size_t(kBlock), std::byte{0x22});  // another file's block between
    physical[k] = (std::int64_t(image.size()) - kVolume) / kBlock;
    const auto from = pst.begin() + runs[k].logical * kBlock;
    image.insert(image.end(), from, from + runs[k].blocks * kBlock);
  }
  const auto leaf = [&](std::size_t first, std::size_t count, std::size_t shift) {
    std::vector<std::byte> block(kBlock);
    const auto put = [&](std::size_t at, std::uint64_t value, std::size_t width) {
      for (std::size_t i = 0; i < width; ++i) block[at + i] = std::byte(value >> (8 * i));
    };
    put(0, 0xF30A, 2), put(2, count, 2), put(4, (kBlock - 12) / 12, 2);
    for (std::size_t i = 0; i < count; ++i) {
      const Run& r = runs[first + i];
      put(12 + 12 * i, std::uint64_t(r.logical), 4), put(16 + 12 * i, std::uint64_t(r.blocks), 2);
      put(20 + 12 * i, std::uint64_t(physical[(first + i + shift) % runs.size()]), 4);
    }
    image.insert(image.end(), block.begin(), block.end());
  };
  leaf(0, 84, 1);  // another file's: the same blocks, each where another run lies
  for (std::size_t first = 0; first < runs.size(); first += 84) leaf(first, std::min<std::size_t>(84, runs.size() - first), 0);
  TempDir dir;
  test::writeFile(dir.file("disk.img"), image);
  const auto r = recover({dir.file("disk.img"), "-o", dir.file("out"), "-q", "--format", "json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(R"("state": "whole")"), std::string::npos) << r.out;
  EXPECT_TRUE(test::readFile(dir.file("out/file1.pst")) == pst);
}

// The sector of a block-tree leaf overwritten: the six blocks it listed are still named by the
// node tree, found by their trailers (one cut in two) and listed anew by the repair.
TEST(RecoverCommand, BlocksOfALostBlockTreePageAreFoundByTheirTrailers) {
  TempDir dir;
  auto pst = test::enronPst();
  constexpr std::size_t kLeaf = 1143808;  // a leaf of enron's block tree, listing 6 blocks
  std::fill_n(pst.begin() + kLeaf, 512, std::byte{0x5A});
  test::writeFile(dir.file("disk.img"), smallHoles(pst));
  const auto r = recover({dir.file("disk.img"), "-o", dir.file("out"), "-q", "--format", "json"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find(R"("state": "damaged", "stateWhy": "1 index page missing", "blocksProved": 2274)"), std::string::npos)
      << r.out;
  const auto checked = test::runCliArgs({"check", "--format", "tsv", dir.file("out/file1.pst")});
  EXPECT_NE(checked.out.find("messages\t71, 71 readable"), std::string::npos) << checked.out;
}

// The header's cluster overwritten, the rest in runs of 1 to 4 clusters: the header built
// anew names the newest generation of the trees the source holds, not an old one that
// happens to lie where the map pages put it.
TEST(RecoverCommand, ALostHeaderIsBuiltOnTheNewestTrees) {
  TempDir dir;
  auto pst = test::enronPst();
  std::fill_n(pst.begin(), 4096, std::byte{0x5A});
  test::writeFile(dir.file("disk.img"), smallHoles(pst, 1, 4));
  const auto r = recover({dir.file("disk.img"), "-o", dir.file("out"), "-q"});
  ASSERT_EQ(r.status, 0) << r.err;
  // Blocks put together from pieces after thousands of placements are not counted proved.
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.out, m, std::regex(R"((\d+)/2274  71/71  10      rebuilt  inferred\n)"))) << r.out;
  EXPECT_NE(r.out.find(", " + std::to_string(2274 - std::stoi(m[1])) + " put together from pieces, 0 missing"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("file1.pst: inferred as put together: header lost, one built from the file's content"),
            std::string::npos)
      << r.out;
}

// The same for an ANSI PST and an OST with 4 KiB pages, each laid on the image in one piece:
// the header is built in the file's own layout (its version, 32-bit fields for ANSI), not left
// as zeros, and the file reads whole. (An OST of one interval is written with --all.)
TEST(RecoverCommand, ALostHeaderIsBuiltInTheFilesOwnLayout) {
  struct Case {
    const char* name;
    const std::vector<std::byte>& bytes;
    std::uint16_t version;
    const char* readable;
  };
  for (const Case& c : {Case{"file1.pst", test::ansiEnron(), 14, "messages\t71, 71 readable"},
                        Case{"file1.ost", test::ostSample(1), 36, "messages\t183, 183 readable"}}) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.bytes.empty()) << "python3 and xz (xz-utils) are needed";
    std::vector<std::byte> image(1 << 20);
    image.insert(image.end(), c.bytes.begin(), c.bytes.end());
    std::fill_n(image.begin() + (1 << 20), 4096, std::byte{0});
    image.resize(image.size() + (1 << 20));
    TempDir dir;
    test::writeFile(dir.file("disk.img"), image);
    const auto r = recover({dir.file("disk.img"), "-o", dir.file("out"), "-q", "--all"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(std::string(c.name) + ": its own header was lost; one was built"), std::string::npos) << r.out;
    const auto written = test::readFile(dir.file("out/") + c.name);
    ASSERT_EQ(written.size(), c.bytes.size());
    const pst::ParsedHeader header = pst::parseHeader(written, pst::layoutOf(c.version));
    EXPECT_EQ(header.state, pst::HeaderState::Sound);
    EXPECT_EQ(header.header.version, c.version);
    const auto checked = test::runCliArgs({"check", "--format", "tsv", dir.file("out/") + c.name});
    EXPECT_EQ(checked.status, 0) << checked.out;
    EXPECT_NE(checked.out.find(c.readable), std::string::npos) << checked.out;
  }
}

// A file system put the file's first cluster, which holds the header, at the end of the
// volume and the rest at its start: the header is found by its roots, not by its place.
TEST(RecoverCommand, AHeaderAwayFromMapPageZeroIsTakenByItsRoots) {
  TempDir dir;
  const auto& pst = test::enronPst();
  rebuild::ImageBuilder image(5);
  image.noise(64);
  image.append(std::span(pst).subspan(4096));
  image.noise(300);
  image.append(std::span(pst).first(4096));
  image.noise(16);
  test::writeFile(dir.file("disk.img"), image.take());
  const auto r = recover({dir.file("disk.img"), "-o", dir.file("out"), "-q"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("file1.pst: its header was found at sector"), std::string::npos) << r.out;
  const auto written = test::readFile(dir.file("out/file1.pst"));
  ASSERT_EQ(written.size(), pst.size());
  EXPECT_TRUE(std::equal(pst.begin(), pst.begin() + 564, written.begin()));
  EXPECT_TRUE(std::equal(pst.begin() + kFirstMapPageOffset, pst.end(), written.begin() + kFirstMapPageOffset));
  const auto checked = test::runCliArgs({"check", "--format", "tsv", dir.file("out/file1.pst")});
  EXPECT_NE(checked.out.find("messages\t71, 71 readable"), std::string::npos) << checked.out;
}

TEST(RecoverCommand, OneLostIntervalIsAZeroHoleAndTheDamagedFileIsRepaired) {
  TempDir dir;
  test::writeFile(dir.file("disk.img"), enronImage(true));
  const auto r = recover({dir.file("disk.img"), "-o", dir.file("out"), "-q"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(1\s+file1\.pst\s+13\.33 MB\s+54\s+1 两个版本\s+3,5,6,2\s+\d+/\d+\s+71/71\s+10\s+own\s+damaged\n)")))
      << r.out;
  EXPECT_NE(r.out.find("1 of 55 intervals not found: ID 20, file bytes 5096448 to 5350399"), std::string::npos)
      << r.out;
  // The interval held blocks: file1.pst is the repaired file, and the bytes as put together
  // are kept beside it.
  EXPECT_NE(r.out.find("file1.pst: damaged as put together"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("kept in file1.raw.pst"), std::string::npos) << r.out;
  const auto checked = test::runCliArgs({"check", dir.file("out/file1.pst")});
  EXPECT_EQ(checked.status, 0) << checked.out;
  // The same facts for scripts, and in the report the raw file's runs and the file made from it.
  const auto json = recover({dir.file("disk.img"), "-o", dir.file("json"), "--format", "json", "--report", "-q"});
  EXPECT_NE(json.out.find(R"("messages": 71, "messagesReadable": 71, "folders": 10, "header": "own", "sound": true, )"
                          R"("repaired": true, "rawFile": "file1.raw.pst")"),
            std::string::npos)
      << json.out;
  const std::string xml = text(test::readFile(dir.file("json/report.xml")));
  EXPECT_NE(xml.find("<filename>file1.raw.pst</filename>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<kestrix:repaired_from>file1.raw.pst</kestrix:repaired_from>"), std::string::npos) << xml;

  const std::string path = dir.file("out/file1.raw.pst");
  const auto written = test::readFile(path);
  const auto& pst = test::enronPst();
  ASSERT_EQ(written.size(), pst.size());
  const auto hole = std::size_t(kFirstMapPageOffset + 20 * kIntervalBytes);
  const auto holeEnd = hole + std::size_t(kIntervalBytes);
  EXPECT_TRUE(std::equal(pst.begin(), pst.begin() + std::ptrdiff_t(hole), written.begin()));
  EXPECT_TRUE(std::all_of(written.begin() + std::ptrdiff_t(hole), written.begin() + std::ptrdiff_t(holeEnd),
                          [](std::byte b) { return b == std::byte{0}; }));
  EXPECT_TRUE(std::equal(pst.begin() + std::ptrdiff_t(holeEnd), pst.end(), written.begin() + std::ptrdiff_t(holeEnd)));
  // The zero interval takes no space: all but the (at most two) part blocks at its edges.
  struct stat st {};
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_LE(std::int64_t(st.st_blocks) * 512, std::int64_t(pst.size()) - kIntervalBytes + 2 * 4096);
}

// A repair that cannot complete (here the raw copy's name is taken by a folder) never puts the
// damaged file over a sound earlier one: that stays, the bytes as put together are kept under
// the next free name, and the run is no success.
TEST(RecoverCommand, AFailedRepairKeepsTheEarlierFile) {
  TempDir dir;
  test::writeFile(dir.file("good.img"), enronImage(false));
  test::writeFile(dir.file("lost.img"), enronImage(true));
  ASSERT_EQ(recover({dir.file("good.img"), "-o", dir.file("out"), "-q"}).status, 0);
  std::filesystem::create_directory(dir.file("out/file1.raw.pst"));
  const auto r = recover({dir.file("lost.img"), "-o", dir.file("out"), "-q"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("file1.pst: damaged (index damaged"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("kept in file1.raw-2.pst; file1.pst was not written"), std::string::npos) << r.out;
  EXPECT_TRUE(test::readFile(dir.file("out/file1.pst")) == test::enronPst());
  EXPECT_EQ(test::readFile(dir.file("out/file1.raw-2.pst")).size(), test::enronPst().size());
}

TEST(RecoverCommand, RefusalsAndNothingToRecover) {
  TempDir dir;
  const auto image = enronImage(false);
  test::writeFile(dir.file("disk.img"), image);

  // An output that is the source itself, through a link: refused, the source untouched.
  std::filesystem::create_directories(dir.file("out"));
  std::filesystem::create_symlink(dir.file("disk.img"), dir.file("out/file1.pst"));
  auto r = recover({dir.file("disk.img"), "-o", dir.file("out"), "-q"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("It is the input"), std::string::npos) << r.err;
  EXPECT_TRUE(test::readFile(dir.file("disk.img")) == image);

  // A folder that is a file; a file number that does not exist.
  test::writeFile(dir.file("plain"), std::vector<std::byte>(10));
  r = recover({dir.file("disk.img"), "-o", dir.file("plain"), "-q"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("is not a folder"), std::string::npos) << r.err;
  r = recover({dir.file("disk.img"), "-o", dir.file("out2"), "--file", "3", "-q"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("There is no file 3"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir.file("out2/file1.pst")));

  // A source with fragments but no file start: an error, and nothing written.
  rebuild::ImageBuilder noStart(3);
  noStart.noise(100);
  noStart.appendIntervals(test::enronPst(), 5, 4);
  test::writeFile(dir.file("nostart.img"), noStart.bytes());
  r = recover({dir.file("nostart.img"), "-o", dir.file("out3"), "-q"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("1 fragment was found"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir.file("out3")));  // not even the folder
}

TEST(RecoverCommand, PlantedLinksAreReplacedNeverFollowed) {
  // Planted in the output folder by someone else: a link to a file they may not write, and a
  // dangling link where the report goes. The run replaces both links and touches neither target.
  TempDir dir;
  test::writeFile(dir.file("disk.img"), enronImage(false));
  const std::string victim = dir.file("victim");
  const std::vector<std::byte> precious(100, std::byte{0x42});
  test::writeFile(victim, precious);
  std::filesystem::create_directories(dir.file("out"));
  std::filesystem::create_symlink(victim, dir.file("out/file1.pst"));
  std::filesystem::create_symlink(dir.file("made-by-link.xml"), dir.file("out/report.xml"));
  const auto r = recover({dir.file("disk.img"), "-o", dir.file("out"), "--report", "-q"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(test::readFile(victim) == precious);
  EXPECT_FALSE(std::filesystem::exists(dir.file("made-by-link.xml")));
  EXPECT_FALSE(std::filesystem::is_symlink(dir.file("out/file1.pst")));
  EXPECT_FALSE(std::filesystem::is_symlink(dir.file("out/report.xml")));
  EXPECT_TRUE(test::readFile(dir.file("out/file1.pst")) == test::enronPst());
}

TEST(RecoverCommand, AConcurrentOrStoppedRunLeavesTheFolderAsItWas) {
  TempDir dir;
  test::writeFile(dir.file("disk.img"), enronImage(false));
  rebuild::ImageBuilder other(9);  // another source, whose file1.pst differs
  other.noise(300);
  other.append(rebuild::makeSyntheticPst(4, 9));
  test::writeFile(dir.file("other.img"), other.bytes());
  const std::string out = dir.file("out");
  ASSERT_EQ(recover({dir.file("disk.img"), "-o", out, "--report", "-q"}).status, 0);
  const auto contents = [&] {  // every entry of the folder, hidden ones too
    std::map<std::string, std::vector<std::byte>> files;
    for (const auto& e : std::filesystem::directory_iterator(out)) files[e.path().filename()] = test::readFile(e.path());
    return files;
  };
  const auto before = contents();
  ASSERT_EQ(before.size(), 5u);  // two files, report.xml, map.svg, summary.txt

  // A second run while another holds the folder: turned away before it writes anything.
  {
    const rebuild::FolderLock first(out);
    const auto r = recover({dir.file("other.img"), "-o", out, "-q"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Another run of Kestrix is writing into it"), std::string::npos) << r.err;
    const auto repair = test::runCliArgs({"repair", "-q", test::enronPath(), "-o", out + "/file1.pst"});
    EXPECT_EQ(repair.status, 1);
    EXPECT_NE(repair.err.find("Another run of Kestrix is writing into it"), std::string::npos) << repair.err;
  }
  EXPECT_TRUE(contents() == before);

  // A run stopped while it writes: none of its files is put in place, so the old files and
  // the old report still agree.
  scan::FileByteSource src(dir.file("other.img"));
  rebuild::FolderRecovery job;
  job.folder = out;
  job.report = true;
  std::atomic<bool> stop{false};
  const auto run = rebuild::recoverToFolder(src, job, stop, [&](const rebuild::FolderRecoveryProgress& p) {
    if (p.stage == rebuild::FolderRecoveryProgress::Stage::Write) stop = true;
  });
  EXPECT_TRUE(run.written.stopped);
  EXPECT_TRUE(contents() == before);
}

// A file whose header declares more intervals than IDs can number is named with the reason and
// not written; the file beside it is written all the same, and the exit status says 1.
TEST(RecoverCommand, OneUnbuildableFileDoesNotStopTheOthers) {
  TempDir dir;
  auto crafted = rebuild::makeSyntheticPst(2, 6);
  const std::uint64_t end = std::uint64_t(kFirstMapPageOffset) + (std::uint64_t(1) << 31) * std::uint64_t(kIntervalBytes);
  pst::putLe64(crafted, 184, end);
  pst::sealHeader(std::span(crafted).first(pst::kHeaderSize));  // its CRC holds: the length is the header's word
  rebuild::ImageBuilder image(4);
  image.noise(100);
  image.append(crafted);
  image.noise(100);
  image.append(synthetic());
  image.noise(100);
  test::writeFile(dir.file("disk.img"), image.bytes());
  const auto r = recover({dir.file("disk.img"), "-o", dir.file("out"), "-q"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("file1.pst: not written: its header declares " + std::to_string(end) + " bytes"),
            std::string::npos)
      << r.out;
  EXPECT_FALSE(std::filesystem::exists(dir.file("out/file1.pst")));
  EXPECT_TRUE(test::readFile(dir.file("out/file2.pst")) == synthetic());
}

// Map pages packed sector after sector (a page-cache dump, or an image made to flood the folder)
// make files of map pages side by side, with no header: counted, not written unless asked,
// and never past the run's output limit, where the mailbox with its own header goes first.
TEST(RecoverCommand, StrayMapPagesAreCountedAndTheOutputIsBounded) {
  TempDir dir;
  const auto& pst = test::enronPst();
  rebuild::ImageBuilder image(5);
  image.noise(100);
  std::vector<std::byte> pages;
  for (int copy = 0; copy < 4; ++copy)
    for (std::int64_t k = 0; k < 55; ++k) {
      const auto at = pst.begin() + std::ptrdiff_t(kFirstMapPageOffset + k * kIntervalBytes);
      pages.insert(pages.end(), at, at + 512);
    }
  image.append(pages);
  image.noise(100);
  auto mailbox = rebuild::makeSyntheticPst(3, 5);
  pst::sealHeader(std::span(mailbox).first(pst::kHeaderSize));  // a header of its own, whose length holds
  image.append(mailbox);
  test::writeFile(dir.file("disk.img"), image.bytes());

  const auto names = [&](const std::string& folder) {
    std::set<std::string> found;
    for (const auto& e : std::filesystem::directory_iterator(dir.file(folder))) found.insert(e.path().filename());
    return found;
  };
  auto r = recover({dir.file("disk.img"), "-o", dir.file("out"), "-q"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("4 files (1, 2, 3, 4) not written: map pages without a header"), std::string::npos) << r.out;
  EXPECT_EQ(names("out"), (std::set<std::string>{"file5.pst", "file5.raw.pst"}));
  EXPECT_TRUE(test::readFile(dir.file("out/file5.raw.pst")) == mailbox);

  // Asked for all, with room for about two of them: the one with its own header first.
  r = recover({dir.file("disk.img"), "-o", dir.file("all"), "-q", "--all", "--max-output", "16MB"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("file2.pst: not written: the run's files would hold more than 16 MB"), std::string::npos) << r.out;
  EXPECT_EQ(names("all"), (std::set<std::string>{"file1.pst", "file5.pst", "file5.raw.pst"}));
}

TEST(RecoverReport, EscapesWhatXmlCannotHoldAsIs) {
  EXPECT_EQ(rebuild::xmlEscape("a&b<c>\"d'"), "a&amp;b&lt;c&gt;&quot;d&apos;");
  EXPECT_EQ(rebuild::xmlEscape("盘\x01x"), "盘\xEF\xBF\xBDx");    // a control character
  EXPECT_EQ(rebuild::xmlEscape("a\xC3(b\xFF"), "a\xEF\xBF\xBD(b\xEF\xBF\xBD");  // bytes that are not UTF-8
  EXPECT_EQ(rebuild::xmlEscape("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // a surrogate
  EXPECT_EQ(rebuild::xmlEscape("tab\tnl\n"), "tab\tnl\n");
}

// What a header says is checked against the file. A node-tree root naming itself (its CRC
// valid) is walked once; a length field with one flipped bit (its CRC failing) neither cuts
// the file short nor makes it unwritably long: every interval is written and every message reads.
TEST(RecoverCommand, AHeaderThatLiesIsCheckedAgainstTheFile) {
  TempDir dir;
  const std::uint64_t end = test::enronPst().size();
  struct Case {
    const char* name;
    int lengthBit;  // -1: the root names itself
  };
  for (const Case& c : {Case{"self", -1}, Case{"shorter", 20}, Case{"longer", 45}}) {
    auto pst = test::enronPst();
    if (c.lengthBit < 0) {
      const pst::Header h = pst::parseHeader(std::span(pst).first(pst::kHeaderSize)).header;
      const std::span<std::byte> root = std::span(pst).subspan(h.nodeRoot.offset, pst::kPageSize);
      pst::putLe64(root, 8, h.nodeRoot.bid);
      pst::putLe64(root, 16, h.nodeRoot.offset);
      pst::putLe32(root, 500, pst::crc(root.first(pst::kPageTrailerAt)));
    } else {
      pst::putLe64(pst, 184, end ^ (std::uint64_t(1) << c.lengthBit));
    }
    rebuild::ImageBuilder image(5);
    image.noise(100);
    image.append(pst);
    image.noise(100);
    test::writeFile(dir.file("disk.img"), image.take());
    const std::string out = dir.file(c.name);
    const auto r = recover({dir.file("disk.img"), "-o", out, "-q"});
    ASSERT_EQ(r.status, 0) << c.name << r.err;
    const auto checked = test::runCliArgs({"check", "--format", "tsv", out + "/file1.pst"});
    EXPECT_EQ(checked.status, 0) << c.name << checked.out;
    EXPECT_NE(checked.out.find("messages\t71, 71 readable"), std::string::npos) << c.name << checked.out;
    EXPECT_EQ(std::filesystem::file_size(out + "/file1.pst"), end) << c.name;
  }
}
