#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <set>

#include "pst/check.h"
#include "recover/extract.h"
#include "format/header_block.h"
#include "recover/rebuild.h"
#include "recover/sample_image.h"
#include "format/map_page.h"
#include "io/storage.h"
#include "support/test_support.h"

using namespace kestrix;
using namespace kestrix::rebuild;
using test::MemorySource;
using test::TempDir;

namespace {

constexpr std::int64_t kInterval = 0x3E000;
constexpr std::int64_t kHeader = 0x4400;

// A whole interval whose map page records the offset of `id`; its body is noise marked with
// the id so that the copies can be told apart.
std::vector<std::byte> interval(std::int32_t id, std::uint64_t mark = 0) {
  std::vector<std::byte> bytes(static_cast<std::size_t>(kInterval));
  fillNoise(bytes, 1000 + std::uint64_t(id) + mark * 7777);
  const auto page = test::mapPageAt(kHeader + std::int64_t(id) * kInterval);
  std::copy(page.begin(), page.end(), bytes.begin());
  return bytes;
}

std::vector<std::byte> concat(std::initializer_list<std::vector<std::byte>> parts) {
  std::vector<std::byte> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

std::span<const std::byte> at(const std::vector<std::byte>& bytes, std::int64_t offset, std::int64_t length = kInterval) {
  return std::span(bytes).subspan(std::size_t(offset), std::size_t(length));
}

bool same(std::span<const std::byte> a, std::span<const std::byte> b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

bool allZero(std::span<const std::byte> a) {
  return std::all_of(a.begin(), a.end(), [](std::byte b) { return b == std::byte{0}; });
}

std::int64_t allocatedBytes(const std::string& path) {
  struct stat st {};
  ::stat(path.c_str(), &st);
  return std::int64_t(st.st_blocks) * 512;
}

RebuildResult rebuildPaths(const std::string& in, const std::string& out) {
  std::atomic<bool> stop{false};
  return rebuildFile(in, out, stop, {});
}

}  // namespace

TEST(Rebuild, PutsEveryIntervalAtItsOffset) {
  TempDir dir;
  const auto i3 = interval(3), i1 = interval(1), i2 = interval(2);
  test::writeFile(dir.file("in.bin"), concat({i3, i1, i2}));
  const RebuildResult r = rebuildPaths(dir.file("in.bin"), dir.file("out.pst"));
  EXPECT_EQ(r.intervalsFound, 3);
  EXPECT_EQ(r.highestId, 3);
  const auto out = test::readFile(dir.file("out.pst"));
  ASSERT_EQ(std::int64_t(out.size()), kHeader + 4 * kInterval);
  EXPECT_TRUE(same(at(out, 0, kHeader), HeaderBlock()));
  EXPECT_TRUE(allZero(at(out, kHeader)));  // ID 0 is missing
  EXPECT_TRUE(same(at(out, kHeader + kInterval), i1));
  EXPECT_TRUE(same(at(out, kHeader + 2 * kInterval), i2));
  EXPECT_TRUE(same(at(out, kHeader + 3 * kInterval), i3));
  EXPECT_EQ(r.write.intervalsCopied, 3);
}

TEST(Rebuild, IndexRules) {
  // The later of two blocks with one ID wins; a page off the block grid is not found; a
  // trailing part block is never tested; negative IDs are indexed but never written.
  auto shifted = interval(4);
  std::rotate(shifted.begin(), shifted.end() - 512, shifted.end());  // its page now starts at 512
  auto tail = interval(6);
  tail.resize(std::size_t(kInterval - 1));
  const auto first1 = interval(1, 1), second1 = interval(1, 2), negative = interval(-1);
  MemorySource input(concat({first1, shifted, negative, second1, tail}));
  std::atomic<bool> stop{true};  // the index pass clears a stop left from before
  const PageIndex index = BuildPageIndex(input, stop, {});
  EXPECT_FALSE(stop.load());
  ASSERT_EQ(index.records().size(), 3u);
  EXPECT_EQ(index.highestId(), 1);
  EXPECT_EQ(index.LookupPage(1)->position, 3 * kInterval);
  EXPECT_EQ(index.LookupPage(-1)->position, 2 * kInterval);
  EXPECT_FALSE(index.LookupPage(4).has_value());
  EXPECT_FALSE(index.LookupPage(6).has_value());
  EXPECT_EQ(RebuiltSize(index), kHeader + 2 * kInterval);

  TempDir dir;
  OutputFile out(dir.file("out.pst"));
  const WriteStats stats = WriteRebuiltPst(index, input, out, stop, {});
  out.commit();
  const auto bytes = test::readFile(dir.file("out.pst"));
  ASSERT_EQ(std::int64_t(bytes.size()), kHeader + 2 * kInterval);
  EXPECT_TRUE(same(at(bytes, kHeader + kInterval), second1));
  EXPECT_EQ(stats.intervalsCopied, 1);
}

TEST(Rebuild, InputWithoutAnIntervalGivesNoOutputButTheReason) {
  TempDir dir;
  test::writeFile(dir.file("empty.bin"), {});
  std::vector<std::byte> noise(3 * kInterval);
  fillNoise(noise, 9);
  test::writeFile(dir.file("noise.bin"), noise);
  const std::pair<std::string, std::string> cases[] = {{dir.file("empty.bin"), "it is empty"},
                                                       {dir.file("noise.bin"), "no block of 253952 bytes"},
                                                       {test::enronPath(), "it is a PST file itself"}};
  for (const auto& [input, reason] : cases) {
    try {
      rebuildPaths(input, dir.file("out.pst"));
      ADD_FAILURE() << input << " was rebuilt";
    } catch (const Error& e) {
      EXPECT_TRUE(std::string(e.what()).starts_with("Nothing was rebuilt from \"" + input + "\": " + reason))
          << e.what();
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.pst")));
  }
}

TEST(Rebuild, StopDuringEitherPass) {
  MemorySource input(concat({interval(0), interval(1), interval(2)}));
  TempDir dir;
  std::atomic<bool> stop{false};
  // Stop during the index pass: the output is the header block alone.
  PageIndex index = BuildPageIndex(input, stop, [&](const RebuildProgress&) { stop = true; });
  {
    OutputFile out(dir.file("a.pst"));
    const WriteStats s = WriteRebuiltPst(index, input, out, stop, {});
    EXPECT_TRUE(s.stopped);
    out.commit();
  }
  EXPECT_EQ(std::filesystem::file_size(dir.file("a.pst")), std::uintmax_t(kHeader));

  // Stop during the write pass: header and the intervals written so far.
  index = BuildPageIndex(input, stop, {});
  ASSERT_EQ(index.highestId(), 2);
  {
    OutputFile out(dir.file("b.pst"));
    const WriteStats s = WriteRebuiltPst(index, input, out, stop, [&](const RebuildProgress& p) {
      if (p.phase == RebuildProgress::Phase::Writing && p.done == 1) stop = true;
    });
    EXPECT_TRUE(s.stopped);
    EXPECT_EQ(s.idsWritten, 1);
    out.commit();
  }
  const auto b = test::readFile(dir.file("b.pst"));
  ASSERT_EQ(std::int64_t(b.size()), kHeader + kInterval);
  EXPECT_TRUE(same(at(b, kHeader), at(input.bytes(), 0)));
}

TEST(Rebuild, MissingIntervalsAreHolesAndReadAsZero) {
  TempDir dir;
  const auto i40 = interval(40);
  test::writeFile(dir.file("in.bin"), concat({i40, interval(0)}));
  const RebuildResult r = rebuildPaths(dir.file("in.bin"), dir.file("out.pst"));
  EXPECT_EQ(r.write.size, kHeader + 41 * kInterval);
  const auto out = test::readFile(dir.file("out.pst"));
  EXPECT_TRUE(same(at(out, kHeader + 40 * kInterval), i40));
  EXPECT_TRUE(allZero(at(out, kHeader + kInterval, 39 * kInterval)));
  // 39 zero intervals take no space on a file system with holes (ext4, tmpfs, xfs, btrfs).
  EXPECT_LT(allocatedBytes(dir.file("out.pst")), 10 * kInterval);
}

TEST(Rebuild, ExistingOutputIsReplaced) {
  TempDir dir;
  test::writeFile(dir.file("in.bin"), interval(0));
  std::vector<std::byte> old(10 * kInterval, std::byte{0x5A});
  test::writeFile(dir.file("out.pst"), old);
  rebuildPaths(dir.file("in.bin"), dir.file("out.pst"));
  EXPECT_EQ(std::filesystem::file_size(dir.file("out.pst")), std::uintmax_t(kHeader + kInterval));
}

TEST(Rebuild, RefusesToWriteOverItsInput) {
  TempDir dir;
  const auto data = concat({interval(0), interval(1)});
  test::writeFile(dir.file("in.bin"), data);
  std::filesystem::create_hard_link(dir.file("in.bin"), dir.file("hard.pst"));
  std::filesystem::create_symlink(dir.file("in.bin"), dir.file("soft.pst"));
  for (const char* out : {"in.bin", "hard.pst", "soft.pst"}) {
    try {
      rebuildPaths(dir.file("in.bin"), dir.file(out));
      ADD_FAILURE() << "rebuilt over its input through " << out;
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find("is the input"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(same(test::readFile(dir.file("in.bin")), data)) << out;
  }
  // A device is never an output.
  EXPECT_THROW(rebuildPaths(dir.file("in.bin"), "/dev/null"), Error);
}

TEST(Rebuild, AKillAtAnyMomentLeavesTheEarlierOutputWhole) {
  // A 1 GB input, 4096 intervals in reverse order (holes but for their map pages), rebuilt by
  // a child process that is killed while it indexes, while it writes, and with the output
  // complete but not yet put in place.
  TempDir dir;
  const std::string input = dir.file("in.bin"), output = dir.file("out.pst");
  constexpr std::int32_t kIntervals = 4096;
  {
    const int fd = ::open(input.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, kIntervals * kInterval), 0);
    for (std::int32_t id = 0; id < kIntervals; ++id) {
      const auto page = test::mapPageAt(kHeader + id * kInterval);
      ASSERT_EQ(::pwrite(fd, page.data(), page.size(), (kIntervals - 1 - id) * kInterval), 512);
    }
    ::close(fd);
  }
  const auto earlier = interval(7);
  test::writeFile(output, earlier);
  struct Moment {
    RebuildProgress::Phase phase;
    std::int64_t done;  // of the phase's total; -1 = all of it
    int time;           // the how-manieth report of that progress (the last interval is reported twice:
                        // once copied, once more when the length is set)
  };
  for (const Moment m : {Moment{RebuildProgress::Phase::Indexing, kIntervals / 2 * kInterval, 1},
                         Moment{RebuildProgress::Phase::Writing, kIntervals / 2, 1},
                         Moment{RebuildProgress::Phase::Writing, -1, 2}}) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      std::atomic<bool> stop{false};
      int seen = 0;
      try {
        rebuildFile(input, output, stop, [&](const RebuildProgress& p) {
          if (p.phase == m.phase && p.done == (m.done < 0 ? p.total : m.done) && ++seen == m.time) ::raise(SIGKILL);
        });
      } catch (...) {
      }
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the moment did not come: " << m.done;
    EXPECT_TRUE(test::readFile(output) == earlier) << m.done;
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.insert(e.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"in.bin", "out.pst"})) << m.done;
  }
}

TEST(Rebuild, ReadAndWriteFailuresAreReported) {
  // An input that shrank after it was indexed.
  MemorySource input(concat({interval(0), interval(1)}));
  std::atomic<bool> stop{false};
  const PageIndex index = BuildPageIndex(input, stop, {});
  input.bytes().resize(std::size_t(kInterval + 1000));
  TempDir dir;
  {
    OutputFile out(dir.file("out.pst"));
    try {
      WriteRebuiltPst(index, input, out, stop, {});
      ADD_FAILURE() << "a truncated input went unnoticed";
    } catch (const Error& e) {
      EXPECT_NE(std::string(e.what()).find("Cannot read file \"memory.img\""), std::string::npos) << e.what();
    }
  }
}

TEST(Rebuild, RefusesOutputsThatCannotFit) {
  TempDir dir;
  // Larger than any file the destination takes, or more data than its free space.
  EXPECT_THROW(checkRoomFor(dir.file("x.pst"), INT64_MAX, 0), Error);
  try {
    checkRoomFor(dir.file("x.pst"), std::int64_t(1) << 40, std::int64_t(1) << 61);
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("free there"), std::string::npos) << e.what();
  }
  EXPECT_NO_THROW(checkRoomFor(dir.file("x.pst"), kHeader + kInterval, kHeader + kInterval));
  // A file system of no blocks (proc, where /dev/fd/1 lies) tells no free space, which is not none.
  EXPECT_EQ(sources::folderSpace("/proc").freeBytes, -1);

  // A crafted map page with the highest ID: refused, or written as holes; never written out.
  test::writeFile(dir.file("in.bin"), interval(INT32_MAX));
  try {
    const RebuildResult r = rebuildPaths(dir.file("in.bin"), dir.file("out.pst"));
    EXPECT_EQ(r.write.size, kHeader + (std::int64_t(INT32_MAX) + 1) * kInterval);
    EXPECT_LT(allocatedBytes(dir.file("out.pst")), 10 * kInterval);
  } catch (const Error& e) {
    EXPECT_NE(std::string(e.what()).find("largest file"), std::string::npos) << e.what();
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.pst")));
  }
}

TEST(Extract, WritesWholeIntervalsInTheOrderGiven) {
  ImageBuilder image(4);
  const auto pst = makeSyntheticPst(6, 11);
  image.noise(100);
  const std::int64_t b = image.appendIntervals(pst, 3, 3);
  image.noise(33);
  const std::int64_t a = image.appendIntervals(pst, 0, 3);
  image.noise(10);
  MemorySource src(image.take());
  TempDir dir;
  const std::vector<SectorExtent> extents{{b, b + 3 * 496}, {a, a + 3 * 496}};
  std::atomic<bool> stop{false};
  {
    OutputFile out(dir.file("frag.bin"));
    const ExtractResult r = ExtractFragments(src, extents, out, stop, {});
    EXPECT_EQ(r.intervalsWritten, 6);
    EXPECT_TRUE(r.unreadable.empty());
    out.commit();
  }
  const auto frag = test::readFile(dir.file("frag.bin"));
  ASSERT_EQ(std::int64_t(frag.size()), 6 * kInterval);
  EXPECT_TRUE(same(at(frag, 0, 3 * kInterval), at(pst, kHeader + 3 * kInterval, 3 * kInterval)));
  // The rebuild takes it and gives the file back from 0x4400 on.
  rebuildPaths(dir.file("frag.bin"), dir.file("out.pst"));
  const auto out = test::readFile(dir.file("out.pst"));
  ASSERT_EQ(out.size(), pst.size());
  EXPECT_TRUE(same(at(out, kHeader, 6 * kInterval), at(pst, kHeader, 6 * kInterval)));
}

TEST(Extract, BadSectorsAndTheSourceEndBecomeZeros) {
  ImageBuilder image(8);
  const auto pst = makeSyntheticPst(3, 12);
  const std::int64_t a = image.appendIntervals(pst, 0, 2);  // the last one is cut short below
  MemorySource inner(image.take());
  inner.bytes().resize(inner.bytes().size() - 100 * 512);
  test::FaultySource src(inner);
  src.badSectors = {a + 10, a + 11};
  TempDir dir;
  std::atomic<bool> stop{false};
  OutputFile out(dir.file("frag.bin"));
  const std::vector<SectorExtent> extents{{a, a + 2 * 496}};
  const ExtractResult r = ExtractFragments(src, extents, out, stop, {});
  out.commit();
  const std::int64_t end = a + 2 * 496 - 100;  // the first sector past the source's end
  EXPECT_EQ(r.unreadable, (std::vector<scan::SectorRun>{{a + 10, 2}, {end, 100}}));
  EXPECT_EQ(r.sectorsPastEnd, 100);
  const auto frag = test::readFile(dir.file("frag.bin"));
  ASSERT_EQ(std::int64_t(frag.size()), 2 * kInterval);
  EXPECT_TRUE(allZero(at(frag, 10 * 512, 1024)));
  EXPECT_TRUE(allZero(at(frag, 2 * kInterval - 100 * 512, 100 * 512)));
  EXPECT_TRUE(same(at(frag, 0, 10 * 512), at(pst, kHeader, 10 * 512)));
}

TEST(Extract, StopLeavesWholeIntervals) {
  const auto pst = makeSyntheticPst(4, 13);
  MemorySource src(std::vector<std::byte>(pst.begin() + kHeader, pst.end()));
  TempDir dir;
  std::atomic<bool> stop{false};
  OutputFile out(dir.file("frag.bin"));
  const std::vector<SectorExtent> extents{{0, 4 * 496}};
  const ExtractResult r = ExtractFragments(src, extents, out, stop, [&](const ExtractProgress& p) {
    if (p.done == 2 * kInterval) stop = true;
  });
  out.commit();
  EXPECT_TRUE(r.stopped);
  EXPECT_EQ(r.intervalsWritten, 2);
  EXPECT_EQ(std::filesystem::file_size(dir.file("frag.bin")), std::uintmax_t(2 * kInterval));
}

// An ANSI file's intervals (as extract writes them) are rebuilt in its own layout, with the
// header its tree pages give: a file that checks sound. An interval of another layout after
// them is not used, and counted. So are an OST's with 4 KiB pages, whose interval is 0xFE8000
// bytes long and begins 0x22000 bytes into the file.
TEST(Rebuild, AnAnsiOr4KFileGetsItsOwnHeader) {
  struct Case {
    const std::vector<std::byte>& file;
    pst::FileLayout layout;
    std::int64_t messages;
  };
  for (const Case& c : {Case{test::ansiEnron(), pst::FileLayout::Ansi, 71}, Case{test::ostSample(1), pst::FileLayout::Unicode4K, 183}}) {
    ASSERT_FALSE(c.file.empty()) << "xz (xz-utils) and python3 are needed";
    const pst::Geometry& g = *pst::geometryOf(c.layout);
    std::vector<std::byte> in(c.file.begin() + g.firstMapOffset, c.file.end());
    ASSERT_EQ(std::int64_t(in.size()) % g.mapInterval, 0);
    in.resize((in.size() + kInterval - 1) / kInterval * kInterval);  // where the next 0x3E000-byte step begins
    const auto unicode = interval(60);
    in.insert(in.end(), unicode.begin(), unicode.end());
    TempDir dir;
    test::writeFile(dir.file("in.bin"), in);
    const RebuildResult r = rebuildPaths(dir.file("in.bin"), dir.file("out.pst"));
    EXPECT_EQ(r.layout, c.layout);
    EXPECT_EQ(r.otherLayout, 1);
    EXPECT_TRUE(r.write.headerBuilt);
    scan::FileByteSource out(dir.file("out.pst"));
    EXPECT_EQ(out.size(), std::int64_t(c.file.size()));
    std::atomic<bool> stop{false};
    const pst::CheckReport check = pst::checkPst(out, stop);
    EXPECT_TRUE(check.sound());
    EXPECT_EQ(check.messagesReadable, c.messages);
  }
}
