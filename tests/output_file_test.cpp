// The output writer: a target changes only when a whole new file is committed, names that
// are no regular file are refused, and a full disk leaves nothing half-written.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>

#include "io/output_file.h"
#include "recover/recover_job.h"
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

  // A FIFO given as the output: refused, where opening it for writing would wait forever.
  const auto pst = rebuild::makeSyntheticPst(2, 4);
  test::writeFile(dir.file("in.bin"), std::span(pst).subspan(std::size_t(scan::kFirstMapPageOffset)));
  const auto r = test::runCliArgs({"rebuild", "-q", dir.file("in.bin"), "-o", dir.file("fifo")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("It is a FIFO"), std::string::npos) << r.err;
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
}
