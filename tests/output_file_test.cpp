// The output writer: a target changes only when a whole new file is committed, names that
// are no regular file are refused, and a full disk leaves nothing half-written.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>

#include "io/output_file.h"
#include "recover/recover_job.h"
#include "recover/source_analysis.h"
#include "recover/sample_image.h"
#include "io/errors.h"
#include "format/map_page.h"
#include "support/cli_run.h"
#include "support/test_support.h"

using namespace kestrix;
using rebuild::OutputFile;
using test::messageOf;
namespace fs = std::filesystem;

namespace {

std::vector<std::byte> filled(std::size_t n, unsigned char value) { return std::vector<std::byte>(n, std::byte{value}); }

std::set<std::string> entries(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(folder)) names.insert(e.path().filename().string());
  return names;
}

// A tmpfs of its own, for what only a full disk shows. Needs root; unmounted on exit.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& point, const std::string& size) : m_point(point) {
    fs::create_directories(point);
    m_mounted = test::runShell("mount -t tmpfs -o size=" + size + " kestrix-test '" + point + "'") == 0;
  }
  ~SmallFileSystem() {
    if (m_mounted) test::runShell("umount '" + m_point + "'");
  }
  bool mounted() const { return m_mounted; }

 private:
  std::string m_point;
  bool m_mounted = false;
};

}  // namespace

TEST(OutputFile, TheTargetChangesOnlyWhenAWholeFileIsCommitted) {
  test::TempDir dir;
  const std::string target = dir.file("out.pst");
  test::writeFile(target, filled(5000, 0x11));
  {
    OutputFile out(target);
    out.writeAt(0, filled(8000, 0x22));
    EXPECT_TRUE(test::readFile(target) == filled(5000, 0x11));  // not yet
  }  // dropped: as after a failure or a stop
  EXPECT_TRUE(test::readFile(target) == filled(5000, 0x11));
  EXPECT_EQ(entries(dir.path()), std::set<std::string>{"out.pst"});  // nothing left behind

  OutputFile out(target);
  out.writeAt(0, filled(8000, 0x22));
  out.resize(9000);
  out.commit();
  auto expected = filled(9000, 0x22);
  std::fill(expected.begin() + 8000, expected.end(), std::byte{0});
  EXPECT_TRUE(test::readFile(target) == expected);
  EXPECT_EQ(entries(dir.path()), std::set<std::string>{"out.pst"});
}

TEST(OutputFile, NamesThatAreNoRegularFileAreRefusedAtOnce) {
  test::TempDir dir;
  ASSERT_EQ(::mkfifo(dir.file("fifo").c_str(), 0600), 0);
  fs::create_directory(dir.file("folder"));
  for (const auto& [name, kind] : {std::pair{dir.file("fifo"), "It is a FIFO (named pipe)"},
                                   std::pair{dir.file("folder"), "It is a folder"},
                                   std::pair{std::string("/dev/null"), "It is a device"}})
    EXPECT_NE(messageOf([&] { rebuild::refuseUnsafeOutput(name, nullptr); }).find(kind), std::string::npos) << name;

  // A link to what is no regular file is refused, not replaced; so is any name in /dev, where
  // /dev/stdout is the system's link, whatever it leads to.
  fs::create_symlink(dir.file("fifo"), dir.file("to-fifo"));
  EXPECT_NE(messageOf([&] { rebuild::refuseUnsafeOutput(dir.file("to-fifo"), nullptr); }).find("It is a FIFO"),
            std::string::npos);
  EXPECT_NE(messageOf([&] { rebuild::refuseUnsafeOutput("/dev/kestrix-test.pst", nullptr); })
                .find("Its folder \"/dev\" belongs to the system"),
            std::string::npos);
  EXPECT_NE(messageOf([&] { rebuild::refuseUnsafeOutput("/dev/stdout", nullptr); }), "(no error)");

  // A FIFO given as the output: refused, where opening it for writing would wait forever.
  const auto pst = rebuild::makeSyntheticPst(2, 4);
  test::writeFile(dir.file("in.bin"), std::span(pst).subspan(std::size_t(scan::kFirstMapPageOffset)));
  const auto r = test::runCliArgs({"rebuild", "-q", dir.file("in.bin"), "-o", dir.file("fifo")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("It is a FIFO"), std::string::npos) << r.err;
}

namespace {

// Resets the writer's test hook however the test ends.
struct HookGuard {
  explicit HookGuard(rebuild::WriterHook hook) { rebuild::setWriterHook(std::move(hook)); }
  ~HookGuard() { rebuild::setWriterHook(nullptr); }
};

// Two PST files on an image, as recover finds them.
std::vector<std::byte> twoFileImage() {
  rebuild::ImageBuilder image(3);
  image.noise(64);
  image.append(rebuild::makeSyntheticPst(2, 8));
  image.noise(64);
  image.append(rebuild::makeSyntheticPst(3, 9));
  return image.take();
}

}  // namespace

// The folder is opened once: swapped for a link after the checks, mid-run, it still receives
// every file, and the link's target nothing.
TEST(OutputFolder, AFolderSwappedForALinkMidRunIsWrittenWhereItWasOpened) {
  test::TempDir dir;
  test::writeFile(dir.file("disk.img"), twoFileImage());
  fs::create_directories(dir.file("out"));
  fs::create_directories(dir.file("elsewhere"));
  bool swapped = false;
  const HookGuard guard([&](rebuild::WriterStep step, const std::string&) {
    if (step != rebuild::WriterStep::Created || swapped) return;
    swapped = true;
    fs::rename(dir.file("out"), dir.file("moved"));
    fs::create_directory_symlink(dir.file("elsewhere"), dir.file("out"));
  });
  scan::FileByteSource src(dir.file("disk.img"));
  rebuild::FolderRecovery job;
  job.folder = dir.file("out");
  job.report = true;
  std::atomic<bool> stop{false};
  const auto run = rebuild::recoverToFolder(src, job, stop, {});
  ASSERT_TRUE(swapped);
  EXPECT_EQ(run.written.results.size(), 2u);
  EXPECT_TRUE(entries(dir.file("elsewhere")).empty());
  EXPECT_EQ(entries(dir.file("moved")), (std::set<std::string>{"file1.pst", "file2.pst", "report.xml", "map.svg"}));
}

// A run's files go in place together: when one cannot, those before it are put back as they
// were (or removed where nothing stood). Written files are closed as they are done, so a run
// of many files needs few descriptors; they are 0600, and part files a killed run left in the
// folder are removed.
TEST(OutputSet, FilesAreCommittedTogetherWithFewOpenAndPrivate) {
  test::TempDir dir;
  test::writeFile(dir.file("a.pst"), filled(100, 0x11));
  test::writeFile(dir.file("c.pst"), filled(100, 0x33));
  test::writeFile(dir.file(".a.pst.kestrix-0123abcd"), filled(10, 0x44));  // left by a killed run
  {
    rebuild::OutputSet set(nullptr, {{dir.file("a.pst"), 200, 200}, {dir.file("b.pst"), 200, 200},
                                     {dir.file("c.pst"), 200, 200}});
    EXPECT_FALSE(fs::exists(dir.file(".a.pst.kestrix-0123abcd")));
    for (std::size_t i = 0; i < 3; ++i) set.open(i).writeAt(0, filled(200, 0x55));
    const HookGuard guard([&](rebuild::WriterStep step, const std::string& path) {
      if (step != rebuild::WriterStep::Committing || path != dir.file("c.pst")) return;
      fs::remove(path);
      fs::create_directory(path);  // the rename over it fails
    });
    const std::string message = messageOf([&] { set.commit(); });
    EXPECT_NE(message.find("Cannot write file \"" + dir.file("c.pst") + "\""), std::string::npos) << message;
    EXPECT_NE(message.find("No file of the run was put in place"), std::string::npos) << message;
  }
  EXPECT_TRUE(test::readFile(dir.file("a.pst")) == filled(100, 0x11));
  EXPECT_EQ(entries(dir.path()), (std::set<std::string>{"a.pst", "c.pst"}));

  fs::remove(dir.file("c.pst"));
  struct rlimit before {};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &before), 0);
  struct rlimit low = before;
  low.rlim_cur = 40;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<rebuild::OutputTarget> many;
  for (int i = 0; i < 100; ++i) many.push_back({dir.file("m" + std::to_string(i) + ".pst"), 10, 10});
  const std::string message = messageOf([&] {
    rebuild::OutputSet set(nullptr, many);
    for (std::size_t i = 0; i < many.size(); ++i) {
      set.open(i).writeAt(0, filled(10, 0x66));
      set.finish();
    }
    set.commit();
  });
  ::setrlimit(RLIMIT_NOFILE, &before);
  EXPECT_EQ(message, "(no error)");
  EXPECT_EQ(entries(dir.path()).size(), 101u);
  struct stat st {};
  ASSERT_EQ(::stat(dir.file("m99.pst").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // Asked for, a shared folder's group and read/write bits instead.
  fs::create_directory(dir.file("shared"));
  ASSERT_EQ(::chmod(dir.file("shared").c_str(), 0750), 0);
  {
    rebuild::OutputSetOptions options;
    options.folderMode = true;
    rebuild::OutputSet set(nullptr, {{dir.file("shared/s.pst"), 10, 10}}, options);
    set.open(0).writeAt(0, filled(10, 0x77));
    set.commit();
  }
  ASSERT_EQ(::stat(dir.file("shared/s.pst").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
}

// A source cut short after the scan: the files copied from it are not put in place, and an
// earlier file stays, rather than zeros written for what was read before.
TEST(OutputSet, ASourceThatShrinksWhileFilesAreWrittenReplacesNothing) {
  test::TempDir dir;
  test::MemorySource inner(twoFileImage());
  test::FaultySource src(inner);
  src.claimedSize = inner.size();
  std::atomic<bool> stop{false};
  const auto analysis = rebuild::analyzeSource(src, {}, stop, {});
  ASSERT_EQ(analysis.files.size(), 2u);
  test::writeFile(dir.file("file2.pst"), filled(100, 0x11));
  inner.bytes().resize(inner.bytes().size() - 300 * 512);  // into the second file
  rebuild::RecoverRequest request;
  request.targets = {{analysis.files[0], dir.file("file1.pst")}, {analysis.files[1], dir.file("file2.pst")}};
  const std::string message = messageOf([&] { rebuild::recoverFiles(src, analysis.fragments, request, stop, {}); });
  EXPECT_NE(message.find("the data ends early"), std::string::npos) << message;
  EXPECT_TRUE(test::readFile(dir.file("file2.pst")) == filled(100, 0x11));
  EXPECT_EQ(entries(dir.path()), std::set<std::string>{"file2.pst"});
}

// An image mounted through FUSE (ntfs-3g) is written into by every file put in the mount: such
// a mount of the source is refused, and so is one that no longer says where its data is.
TEST(OutputFolder, AFuseMountOfTheSourceIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting with ntfs-3g needs root";
  if (::access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "/dev/fuse cannot be used here";
  if (test::runShell("command -v mkntfs && command -v ntfs-3g >/dev/null") != 0) GTEST_SKIP() << "needs mkntfs and ntfs-3g";
  test::TempDir dir;
  const std::string image = dir.file("ntfs.img"), mount = dir.file("m");
  fs::create_directories(mount);
  if (test::runShell("truncate -s 16M '" + image + "' && mkntfs -F -q -Q '" + image + "' >/dev/null 2>&1 && ntfs-3g '" + image +
                     "' '" + mount + "'") != 0)
    GTEST_SKIP() << "cannot mount an NTFS image with ntfs-3g here";
  struct Unmount {
    std::string point;
    ~Unmount() { test::runShell("umount '" + point + "' || fusermount -u '" + point + "'"); }
  } unmount{mount};
  test::writeFile(mount + "/mail.pst", rebuild::makeSyntheticPst(2, 8));
  ASSERT_EQ(test::runShell("sync"), 0);

  const auto r = test::runCliArgs({"recover", image, "-o", mount + "/recovered", "-q"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("It lies on the source \"" + image + "\""), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(mount + "/recovered"));

  // The image deleted under the mount: where its files land cannot be told, so any source is
  // refused there.
  test::writeFile(dir.file("other.img"), filled(4096, 0));
  scan::FileByteSource other(dir.file("other.img"));
  EXPECT_EQ(messageOf([&] { rebuild::refuseUnsafeOutput(mount + "/x.pst", &other); }), "(no error)");
  fs::remove(image);
  EXPECT_NE(messageOf([&] { rebuild::refuseUnsafeOutput(mount + "/x.pst", &other); })
                .find("lies on a FUSE file system mounted from \"" + image + "\""),
            std::string::npos);
}

TEST(OutputFile, AFullDiskLeavesTheEarlierFileAndNoPart) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
  test::TempDir dir;
  const std::string folder = dir.file("small");
  const SmallFileSystem small(folder, "2m");
  if (!small.mounted()) GTEST_SKIP() << "cannot mount a tmpfs here";

  // The disk fills up while recover writes file1.pst, after the room was checked.
  const auto earlier = filled(64 << 10, 0x11);
  test::writeFile(folder + "/file1.pst", earlier);
  rebuild::ImageBuilder image(3);
  image.noise(64);
  image.append(rebuild::makeSyntheticPst(5, 8));  // 1.2 MiB: fits beside the earlier file
  test::MemorySource src(image.take());
  std::atomic<bool> stop{false};
  const auto analysis = rebuild::analyzeSource(src, {}, stop, {});
  ASSERT_EQ(analysis.files.size(), 1u);
  rebuild::RecoverRequest request;
  request.targets.push_back({analysis.files[0], folder + "/file1.pst"});
  bool filledUp = false;
  const std::string message = messageOf([&] {
    rebuild::recoverFiles(src, analysis.fragments, request, stop, [&](std::size_t, const rebuild::RecoverProgress&) {
      if (filledUp) return;
      filledUp = true;
      std::ofstream filler(folder + "/filler", std::ios::binary);
      const auto block = filled(64 << 10, 0x33);
      while (filler.write(reinterpret_cast<const char*>(block.data()), std::streamsize(block.size())) && filler.flush()) {
      }
    });
  });
  EXPECT_NE(message.find("Cannot write file \"" + folder + "/file1.pst\" at byte"), std::string::npos) << message;
  EXPECT_NE(message.find("No space left on device"), std::string::npos) << message;
  EXPECT_TRUE(test::readFile(folder + "/file1.pst") == earlier);
  EXPECT_EQ(entries(folder), (std::set<std::string>{"file1.pst", "filler"}));

  // Refused beforehand when it cannot fit, with figures that show the difference.
  fs::remove(folder + "/filler");
  struct statvfs vfs {};
  ASSERT_EQ(::statvfs(folder.c_str(), &vfs), 0);
  const std::int64_t free = std::int64_t(vfs.f_bavail) * std::int64_t(vfs.f_frsize);
  const auto withCommas = [](std::int64_t n) {
    std::string d = std::to_string(n);
    for (int at = int(d.size()) - 3; at > 0; at -= 3) d.insert(std::size_t(at), ",");
    return d;
  };
  EXPECT_EQ(messageOf([&] { rebuild::checkRoomFor(folder + "/file2.pst", free + 1, free + 1); }),
            "Cannot write file \"" + folder + "/file2.pst\". It needs " + withCommas(free + 1) +
                " bytes of disk space but only " + withCommas(free) + " bytes is free there");

  // Each file fits, both do not: the first is written, the second named with its own size.
  rebuild::ImageBuilder two(4);
  two.append(rebuild::makeSyntheticPst(5, 8));
  two.noise(64);
  two.append(rebuild::makeSyntheticPst(5, 9));
  test::MemorySource twoSrc(two.take());
  rebuild::FolderRecovery job;
  job.folder = folder;
  const auto run = rebuild::recoverToFolder(twoSrc, job, stop, {});
  ASSERT_EQ(run.chosen, std::vector<std::size_t>{0});
  ASSERT_EQ(run.skipped.size(), 1u);
  EXPECT_NE(run.skipped[0].second.find("It needs 1.22 MB of disk space but only"), std::string::npos)
      << run.skipped[0].second;
  EXPECT_EQ(entries(folder), (std::set<std::string>{"file1.pst"}));
  EXPECT_EQ(fs::file_size(folder + "/file1.pst"), rebuild::makeSyntheticPst(5, 8).size());
}
