#include <gtest/gtest.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>

#include "cli/commands.h"
#include "recover/sample_image.h"
#include "support/cli_run.h"
#include "support/test_support.h"

using namespace kestrix;
using test::TempDir;

namespace {

using Outcome = test::CliOutcome;

Outcome runArgs(std::vector<std::string> args, bool stopped = false) { return test::runCliArgs(std::move(args), stopped); }

std::string text(const std::vector<std::byte>& b) { return std::string(reinterpret_cast<const char*>(b.data()), b.size()); }

// The real program, for what only a process shows: exit status and stderr.
Outcome program(const std::string& args) {
  TempDir dir;
  const std::string cmd = std::string(KESTRIX_CLI_PATH) + " " + args + " >" + dir.file("out") + " 2>" + dir.file("err");
  Outcome r;
  const int raw = std::system(cmd.c_str());
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.out = text(test::readFile(dir.file("out")));
  r.err = text(test::readFile(dir.file("err")));
  return r;
}

bool sameFrom(const std::vector<std::byte>& a, const std::vector<std::byte>& b, std::size_t from) {
  return a.size() == b.size() && std::equal(a.begin() + std::ptrdiff_t(from), a.end(), b.begin() + std::ptrdiff_t(from));
}

// enron.pst cut in three, out of order, with noise and a stray map page between.
struct PiecesImage {
  TempDir dir;
  std::string path = dir.file("disk.img");
  PiecesImage() {
    const auto& pst = test::enronPst();
    rebuild::ImageBuilder image(1);
    image.noise(700);
    image.appendIntervals(pst, 40, 15);
    image.noise(123);
    image.append(std::span(pst).first(0x4400));
    image.appendIntervals(pst, 0, 20);
    image.noise(50);
    image.append(test::mapPageAt(0x4400 + 3 * 0x3E000));
    image.noise(60);
    image.appendIntervals(pst, 20, 20);
    image.noise(9);
    test::writeFile(path, image.bytes());
  }
};

}  // namespace

TEST(Cli, ScanListsFragmentsInEveryFormat) {
  const std::string enron = test::enronPath();
  Outcome r = runArgs({"scan", "--quiet", "--format", "tsv", enron});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "ID\t开始ID\t结束ID\t碎片大小\t文件大小\n1\t0 - 34\t54 - 27314\t55\t55 <13.33 MB>\n");
  EXPECT_EQ(r.err, "");

  r = runArgs({"scan", "-q", enron});
  EXPECT_NE(r.out.find("1   0 - 34  54 - 27314  55"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("碎片: 1"), std::string::npos);

  r = runArgs({"scan", "-q", "--format", "json", "--hits", enron});
  EXPECT_NE(r.out.find("\"startId\": 0, \"startSector\": 34, \"endId\": 54, \"endSector\": 27314, \"intervals\": 55"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("\"cells\": [\"1\", \"0 - 34\", \"54 - 27314\", \"55\", \"55 <13.33 MB>\"]"), std::string::npos);
  EXPECT_NE(r.out.find("{\"id\": 54, \"sector\": 26818}"), std::string::npos);

  r = runArgs({"scan", "-q", "--format", "tsv", "--hits", enron});
  EXPECT_NE(r.out.find("\n页ID\t扇区\n0\t34\n1\t530\n"), std::string::npos) << r.out;
}

TEST(Cli, ExtractThenRebuildGivesTheFileBack) {
  PiecesImage image;
  Outcome r = runArgs({"scan", "-q", "--format", "tsv", image.path});
  ASSERT_EQ(r.status, 0);
  // Pieces in disk order: IDs 40-54, 0-19, the stray page, 20-39.
  EXPECT_NE(r.out.find("\n1\t40 - 700\t54 - 8140\t15\t0\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\t0 - "), std::string::npos);
  EXPECT_NE(r.out.find("\t20\t55 <13.33 MB>\n"), std::string::npos) << r.out;

  const std::string frags = image.dir.file("frags.bin"), pst = image.dir.file("out.pst");
  r = runArgs({"extract", "-q", image.path, "--fragments", "4,1,2", "-o", frags});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(std::filesystem::file_size(frags), std::uintmax_t(55) * 0x3E000);
  r = runArgs({"rebuild", "-q", frags, "-o", pst});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Complete!"), std::string::npos);
  EXPECT_TRUE(sameFrom(test::readFile(pst), test::enronPst(), 0x4400));
}

TEST(Cli, RebuildTakesSeveralPairs) {
  TempDir dir;
  const auto a = rebuild::makeSyntheticPst(3, 1), b = rebuild::makeSyntheticPst(5, 2);
  test::writeFile(dir.file("a.bin"), std::span(a).subspan(0x4400));
  test::writeFile(dir.file("b.bin"), std::span(b).subspan(0x4400));
  Outcome r = runArgs({"rebuild", "-q", dir.file("a.bin"), "-o", dir.file("a.pst"), dir.file("b.bin"), "-o", dir.file("b.pst")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(sameFrom(test::readFile(dir.file("a.pst")), a, 0x4400));
  EXPECT_TRUE(sameFrom(test::readFile(dir.file("b.pst")), b, 0x4400));

  r = runArgs({"rebuild", "-q", dir.file("a.bin"), dir.file("b.bin"), "-o", dir.file("a.pst")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("2 inputs but 1 output"), std::string::npos) << r.err;
  // A failure ends the command: the second pair is not touched, no "Complete!".
  r = runArgs({"rebuild", "-q", dir.file("missing.bin"), "-o", dir.file("x.pst"), dir.file("b.bin"), "-o", dir.file("y.pst")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out.find("Complete!"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(dir.file("y.pst")));
  // An output that a later pair reads, or the raw copy --repair keeps, is refused before the
  // first pair is written.
  const auto bBefore = test::readFile(dir.file("b.bin"));
  for (const auto& args : {std::vector<std::string>{"rebuild", "-q", dir.file("a.bin"), "-o", dir.file("b.bin"),
                                                    dir.file("b.bin"), "-o", dir.file("c.pst")},
                           std::vector<std::string>{"rebuild", "-q", "--repair", dir.file("a.bin"), "-o",
                                                    dir.file("b.pst"), dir.file("b.raw.pst"), "-o", dir.file("c.pst")}}) {
    if (args[2] == "--repair") std::filesystem::copy_file(dir.file("b.bin"), dir.file("b.raw.pst"));
    r = runArgs(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("It is the input"), std::string::npos) << r.err;
  }
  EXPECT_TRUE(test::readFile(dir.file("b.bin")) == bBefore);
  EXPECT_TRUE(test::readFile(dir.file("b.raw.pst")) == bBefore);
  EXPECT_FALSE(std::filesystem::exists(dir.file("c.pst")));
}

TEST(Cli, ErrorsAndRefusals) {
  PiecesImage image;
  Outcome r = runArgs({"extract", "-q", image.path, "--fragments", "9", "-o", image.dir.file("f.bin")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("There is no fragment 9"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(image.dir.file("f.bin")));

  const auto before = test::readFile(image.path);
  r = runArgs({"extract", "-q", image.path, "--fragments", "1", "-o", image.path});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("is the input"), std::string::npos) << r.err;
  EXPECT_EQ(test::readFile(image.path), before);

  // A stop before the scan's first chunk: nothing to list, reported, not a success.
  r = runArgs({"scan", "-q", image.path}, true);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("stopped at byte 0"), std::string::npos) << r.err;
}

TEST(Cli, ExitStatusAndMessagesOfTheProgram) {
  Outcome r = program("scan x-does-not-exist.img");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot open file \"x-does-not-exist.img\". No such file or directory\n");
  r = program("scan");
  EXPECT_EQ(r.status, 2);
  r = program("scan --format xml " + test::enronPath());
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("--format: 'xml' is not an output format: choose table, tsv or json"), std::string::npos) << r.err;
  r = program("frobnicate");
  EXPECT_EQ(r.status, 2);
  for (const char* help : {"--help", "scan --help", "extract --help", "rebuild --help"}) {
    r = program(help);
    EXPECT_EQ(r.status, 0) << help;
    EXPECT_NE(r.out.find("Usage"), std::string::npos) << help;
  }
  // Not a terminal: no progress line on stderr.
  r = program("scan --format tsv " + test::enronPath());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

TEST(Cli, ExampleRunsEndToEnd) {
  TempDir dir;
  const std::string ex = dir.file("an example");
  Outcome r = runArgs({"example", "-q", "--dir", ex});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("enron: fragments"), std::string::npos) << r.out;
  EXPECT_EQ(r.out.find("DIFFERS"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(ex + "/enron-rebuilt.pst"));
  // The commands it suggests can be pasted into a shell as they are.
  EXPECT_NE(r.out.find("kestrix-cli recover '" + ex + "/disk.img' -o '" + ex + "/recovered'\n"), std::string::npos) << r.out;

  // Its map: one titled shape per fragment the scan lists, those of file2.pst naming it; never
  // written onto the source.
  r = runArgs({"map", "-q", ex + "/disk.img", "-o", ex + "/map.svg"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto bytes = test::readFile(ex + "/map.svg");
  const std::string svg(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const auto count = [&](const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = svg.find(what); at != std::string::npos; at = svg.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count("<g class=\"fragment"), 6u);
  EXPECT_EQ(count("used by file2.pst</title>"), 3u);
  EXPECT_EQ(count("used by no file</title>"), 1u);
  EXPECT_EQ(svg.rfind("</svg>\n"), svg.size() - 7);
  EXPECT_EQ(runArgs({"map", "-q", ex + "/disk.img", "-o", ex + "/disk.img"}).status, 1);

  // Fragments of the two mailboxes rebuilt as one: the later interval of an ID wins, and the
  // IDs both hold are named, not dropped without a word.
  ASSERT_EQ(runArgs({"extract", "-q", ex + "/disk.img", "--fragments", "2,3", "-o", ex + "/mixed.bin"}).status, 0);
  r = runArgs({"rebuild", "-q", ex + "/mixed.bin", "-o", ex + "/mixed.pst"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.err.find("6 IDs of \"" + ex + "/mixed.bin\" appear in more than one interval (0-5); the last of each was written"),
            std::string::npos)
      << r.err;

  // A PST to hide that is empty, or shorter than its header declares: refused, not read past its end.
  test::writeFile(dir.file("empty.pst"), {});
  r = runArgs({"example", "-q", "--dir", dir.file("e"), "--pst", dir.file("empty.pst")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("it is empty"), std::string::npos) << r.err;
  test::writeFile(dir.file("short.pst"), std::span(test::enronPst()).first(5000000));
  r = runArgs({"example", "-q", "--dir", dir.file("s"), "--pst", dir.file("short.pst")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("its header declares 13984768 bytes, but it holds 5000000"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir.file("s/disk.img")));
  auto huge = test::enronPst();
  huge[184 + 7] = std::byte{0x80};  // the declared length, 2^63 and more
  test::writeFile(dir.file("huge.pst"), huge);
  r = runArgs({"example", "-q", "--dir", dir.file("h"), "--pst", dir.file("huge.pst")});
  EXPECT_NE(r.err.find("its header declares 9223372036868760576 bytes"), std::string::npos) << r.err;
  r = runArgs({"example", "-q", "--dir", dir.file("empty.pst/x")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Cannot create folder \"" + dir.file("empty.pst/x") + "\". Not a directory\n");
}

// An OST with 4 KiB pages lying whole on a source: its one map page makes a fragment of one
// interval, and recover writes it back byte for byte.
TEST(Cli, OstsComeBackWhole) {
  TempDir dir;
  for (const char* name : {"ost-sample-1.ost", "ost-sample-2.ost"}) {
    const std::string packed = std::string(KESTRIX_TESTDATA_DIR) + "/" + name + ".xz";
    const std::string file = dir.file(name);
    ASSERT_EQ(std::system(("xz -dc '" + packed + "' > '" + file + "'").c_str()), 0) << "xz (xz-utils) is needed";
    Outcome r = runArgs({"scan", "-q", "--format", "tsv", "--hits", file});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "ID\t开始ID\t结束ID\t碎片大小\t文件大小\n1\t0 - 272\t0 - 32848\t1\t1 <16.03 MB>\n\n页ID\t扇区\n0\t272\n") << name;
    EXPECT_EQ(r.err, "");
    r = runArgs({"recover", "-q", file, "-o", dir.file(std::string("out-") + name)});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(test::readFile(dir.file(std::string("out-") + name + "/file1.ost")), test::readFile(file)) << name;
  }
}

// Numbers are taken for what they are: one out of range is refused rather than clamped; a
// name that is not UTF-8 still gives valid JSON.
TEST(Cli, NumbersAndNamesAreTakenForWhatTheyAre) {
  TempDir dir;
  Outcome r = runArgs({"extract", "-q", test::enronPath(), "--fragments", "1,99999999999999999999", "-o", dir.file("f")});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("'99999999999999999999' is not a fragment number"), std::string::npos) << r.err;
  r = runArgs({"recover", "-q", test::enronPath(), "-o", dir.file("out"), "--file", "0"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("'0' is not a file number: they count from 1 to 2147483647"), std::string::npos) << r.err;
  EXPECT_LT(r.err.size(), 200u);
  EXPECT_FALSE(std::filesystem::exists(dir.file("out")));

  const std::string odd = dir.file("enron-\xFF\xC3.img");
  std::filesystem::copy_file(test::enronPath(), odd);
  r = runArgs({"scan", "-q", "--format", "json", odd});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("enron-\xEF\xBF\xBD\xEF\xBF\xBD.img\""), std::string::npos) << r.out;
}

// A rebuild that finds no interval, or whose input ends in part of an interval, exits 1 and
// does not say "Complete!"; the second writes what is whole and names what it left out.
TEST(Cli, RebuildSaysWhenItFoundNothingOrLeftSomethingOut) {
  TempDir dir;
  Outcome r = runArgs({"rebuild", "-q", test::enronPath(), "-o", dir.file("out.pst")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("it is a PST file itself"), std::string::npos) << r.err;
  EXPECT_EQ(r.out.find("Complete!"), std::string::npos);

  const auto pst = rebuild::makeSyntheticPst(3, 4);
  test::writeFile(dir.file("cut.bin"), std::span(pst).subspan(0x4400, 3 * 0x3E000 - 1000));
  r = runArgs({"rebuild", "-q", dir.file("cut.bin"), "-o", dir.file("cut.pst")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("the last 252952 bytes of \"" + dir.file("cut.bin") + "\" are not a whole map interval"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(r.out.find("Complete!"), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(dir.file("cut.pst")), std::uintmax_t(0x4400 + 2 * 0x3E000));
}

// One-page fragments whose intervals overlap and run past the source's end: each sector past
// the end counts once, and not as an unreadable sector of the source.
TEST(Cli, ZeroFilledSectorsAreCountedOnce) {
  TempDir dir;
  rebuild::ImageBuilder image(3);
  image.noise(100);
  for (int i = 0; i < 100; ++i) image.append(test::mapPageAt(0x4400 + std::int64_t(1 + i % 7) * 0x3E000));
  image.noise(400);  // 600 sectors in all
  test::writeFile(dir.file("disk.img"), image.bytes());
  std::string all;
  for (int n = 1; n <= 100; ++n) all += (n > 1 ? "," : "") + std::to_string(n);
  const Outcome r = runArgs({"extract", "-q", dir.file("disk.img"), "--fragments", all, "-o", dir.file("f.bin")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "kestrix-cli: " + dir.file("f.bin") + ": 95 sectors lie past its end; written as zeros: 600-694\n");
}

// A pipe has no length and cannot be read by offset: refused with the reason, not scanned as empty.
TEST(Cli, APipeIsRefusedAsASource) {
  TempDir dir;
  const std::string cmd = "cat '" + test::enronPath() + "' | " + KESTRIX_CLI_PATH + " scan /dev/stdin > '" +
                          dir.file("out") + "' 2> '" + dir.file("err") + "'";
  const int raw = std::system(cmd.c_str());
  EXPECT_EQ(WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, 1);
  EXPECT_NE(text(test::readFile(dir.file("err"))).find("Cannot read \"/dev/stdin\" as a source: it is a pipe"),
            std::string::npos);
  EXPECT_TRUE(test::readFile(dir.file("out")).empty());
  // A FIFO named as the source is refused at once, not waited on for a writer.
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  const Outcome r = runArgs({"scan", dir.file("fifo")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("it is a pipe"), std::string::npos) << r.err;
}

namespace {

// Peak resident memory of one run of kestrix-cli, in bytes, its output thrown away.
std::int64_t peakMemoryOf(std::vector<std::string> args) {
  args.insert(args.begin(), KESTRIX_CLI_PATH);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  int status = 0;
  struct rusage usage {};
  if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid) return -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << args[1];
  return std::int64_t(usage.ru_maxrss) * 1024;
}

}  // namespace

// A disk full of map pages (here 65,536, every sector one, each a fragment of its own) costs
// the scan a few dozen bytes a hit: no row of texts is held per fragment or per hit.
TEST(Cli, ScanMemoryStaysSmallPerHit) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer keeps freed memory and adds its own; measured in the normal build";
#endif
  constexpr std::int64_t kHits = 65536;
  TempDir dir;
  rebuild::ImageBuilder pages(7);
  for (std::int64_t i = 0; i < kHits; ++i) pages.append(test::mapPageAt(0x4400 + (i * 7919 % 5000) * 0x3E000));
  test::writeFile(dir.file("pages.img"), pages.bytes());
  rebuild::ImageBuilder noise(8);
  noise.noise(kHits);
  test::writeFile(dir.file("noise.img"), noise.bytes());
  for (const std::vector<std::string>& args : {std::vector<std::string>{"scan", "-q"},
                                              std::vector<std::string>{"scan", "-q", "--format", "json", "--hits"}}) {
    auto with = args, without = args;
    with.push_back(dir.file("pages.img"));
    without.push_back(dir.file("noise.img"));
    const std::int64_t extra = peakMemoryOf(with) - peakMemoryOf(without);
    EXPECT_LT(extra, 64 * kHits) << args.back() << ": " << extra / kHits << " bytes a hit";
  }
}
