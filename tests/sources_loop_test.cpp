// The Linux backend against a real block device: a loop device over an image with a
// partition table, a labelled FAT partition and a PST written at a known sector.
// Needs root and loop devices (CI and the build machines have both); skips with the reason
// otherwise. The loop device is always detached.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "cli/commands.h"
#include "io/output_file.h"
#include "recover/sample_image.h"
#include "scan/fragments.h"
#include "scan/scan.h"
#include "sources/catalogue.h"
#include "sources/open_source.h"
#include "sources/source_picker.h"
#include "sources/volume_list.h"
#include "support/cli_run.h"
#include "support/test_support.h"

using namespace kestrix;
using namespace kestrix::sources;
namespace fs = std::filesystem;

namespace {

constexpr std::int64_t kImageBytes = 16 << 20;
constexpr std::int64_t kPartitionStart = 2048;   // sectors
constexpr std::int64_t kPartitionSectors = 8192;  // 4 MiB
constexpr std::int64_t kPstSector = 12288;       // 6 MiB, outside the partition

int run(const std::string& command, std::string* output = nullptr) { return test::runShell(command, output); }

std::string readLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

bool haveTool(const std::string& tool) { return run("command -v " + tool) == 0; }

// A loop device attached with partition scanning, detached (with its partitions) on exit.
class LoopDevice {
 public:
  ~LoopDevice() {
    if (!m_mountPoint.empty()) run("umount " + m_mountPoint);
    if (m_device.empty()) return;
    if (!m_madeNode.empty()) ::unlink(m_madeNode.c_str());
    run("partx -d " + m_device);
    run("losetup -d " + m_device);
  }
  // Returns "" on success, else why the device could not be attached.
  std::string attach(const std::string& image) {
    std::string out;
    if (run("losetup -f --show -P " + image, &out) != 0) return "losetup -f --show -P failed: " + out;
    m_device = out.substr(0, out.find('\n'));
    run("partx -a " + m_device);  // tells the kernel of the partitions where -P did not (fails if it knows)
    const std::string partition = m_device + "p1";
    if (!fs::exists(partition)) {
      // A /dev that is not devtmpfs (some containers) gets no node for the new partition:
      // make it from the numbers the kernel gives in sysfs, and remove it afterwards.
      const std::string numbers = readLine("/sys/class/block/" + fs::path(partition).filename().string() + "/dev");
      unsigned major = 0, minor = 0;
      if (std::sscanf(numbers.c_str(), "%u:%u", &major, &minor) != 2 ||
          ::mknod(partition.c_str(), S_IFBLK | 0600, ::makedev(major, minor)) != 0)
        return "the partition node " + partition + " did not appear and cannot be made";
      m_madeNode = partition;
    }
    return {};
  }
  // Mounts partition 1 read-only; returns "" on success, else why it could not.
  std::string mountFirstPartition(const std::string& point) {
    std::string out;
    if (run("mount -o ro " + m_device + "p1 " + point, &out) != 0) return "mount -o ro failed: " + out;
    m_mountPoint = point;
    return {};
  }
  const std::string& device() const { return m_device; }

 private:
  std::string m_device;
  std::string m_mountPoint;
  std::string m_madeNode;
};

std::string skipReason() {
  if (::geteuid() != 0) return "loop devices need root";
  if (!fs::exists("/dev/loop-control")) return "no /dev/loop-control: loop devices are not available here";
  for (const char* tool : {"losetup", "partx", "sfdisk", "mkfs.vfat"})
    if (!haveTool(tool)) return std::string(tool) + " is not installed (util-linux, fdisk, dosfstools)";
  return {};
}

}  // namespace

TEST(LoopDevice, PartitionIsListedAndTheDiskIsScannedByName) {
  if (const std::string reason = skipReason(); !reason.empty()) GTEST_SKIP() << reason;
  test::TempDir dir;
  const std::string image = dir.file("disk.img");
  {
    std::vector<std::byte> bytes(std::size_t(kImageBytes), std::byte{0});
    const auto pst = rebuild::makeSyntheticPst(3, 7);
    std::copy(pst.begin(), pst.end(), bytes.begin() + kPstSector * 512);
    test::writeFile(image, bytes);
  }
  std::string out;
  ASSERT_EQ(run("printf 'label: dos\\nstart=" + std::to_string(kPartitionStart) + ", size=" +
                    std::to_string(kPartitionSectors) + ", type=c\\n' | sfdisk -q " + image, &out), 0)
      << out;
  // The file system is made in the image before it is attached, so nothing writes to the device.
  ASSERT_EQ(run("mkfs.vfat -n KESTRIX -i 1234ABCD --offset " + std::to_string(kPartitionStart) + " " + image + " " +
                    std::to_string(kPartitionSectors / 2), &out), 0)
      << out;

  LoopDevice loop;
  if (const std::string reason = loop.attach(image); !reason.empty()) GTEST_SKIP() << reason;
  const std::string partition = loop.device() + "p1";
  const Catalogue& cat = systemCatalogue();

  int disk = -1;
  for (int n = 0; n <= 255 && disk < 0; ++n)
    if (cat.diskNode(n) == loop.device()) disk = n;
  ASSERT_GE(disk, 0) << loop.device() << " is not among the disks";
  char letter = 0;
  for (char x = 'C'; x <= 'Z' && !letter; ++x)
    if (cat.volumeNode(x) == partition) letter = x;
  if (!letter) GTEST_SKIP() << "every drive letter is taken by other volumes";
  const std::string drive(1, letter);

  // The menu offers the disk and the labelled partition, as the window would.
  const auto menu = BuildSourceMenu(cat);
  const auto diskEntry = std::find_if(menu.begin(), menu.end(), [&](const auto& e) { return e.nativePath == loop.device(); });
  ASSERT_NE(diskEntry, menu.end());
  EXPECT_EQ(diskEntry->name, "PhysicalDrive" + std::to_string(disk));
  EXPECT_EQ(diskEntry->caption, "HD" + std::to_string(disk) + ", Fixed Drive, [16 MB]");
  const auto volumeEntry = std::find_if(menu.begin(), menu.end(), [&](const auto& e) { return e.nativePath == partition; });
  ASSERT_NE(volumeEntry, menu.end());
  EXPECT_EQ(volumeEntry->name, drive + "xx");
  // Not mounted: no free-space answer, sizes 0.00 MB.
  EXPECT_EQ(volumeEntry->caption, "KESTRIX (" + drive + ":), HD" + std::to_string(disk) + ", FAT, [0.00 MB/0.00 MB]");
  const TNTVolumeInfo info(cat, drive);
  EXPECT_EQ(info.SerialText, "1234ABCD");
  EXPECT_EQ(info.Extent, (DiskExtent{std::uint32_t(disk), kPartitionStart * 512, kPartitionSectors * 512}));

  // The whole device is the source: its exact length from the device.
  auto src = openSource("PhysicalDrive" + std::to_string(disk));
  EXPECT_EQ(src->name(), loop.device());
  std::uint64_t deviceBytes = 0;
  {
    const int fd = ::open(loop.device().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ioctl(fd, BLKGETSIZE64, &deviceBytes), 0);
    ::close(fd);
  }
  EXPECT_EQ(src->size(), std::int64_t(deviceBytes));
  EXPECT_EQ(src->size(), kImageBytes);
  std::atomic<bool> stop{false};
  const auto result = scan::scanSource(*src, stop, {});
  const auto fragments = scan::DetectFragments(result.hits);
  ASSERT_EQ(fragments.size(), 1u);
  EXPECT_EQ(fragments[0].first, (scan::FoundPage{0, kPstSector + 34}));
  EXPECT_EQ(fragments[0].last, (scan::FoundPage{2, kPstSector + 34 + 2 * 496}));

  // The volume by its letter covers the whole partition although its size is unknown.
  SourcePicker picker(cat);
  picker.SourceItemClick(*volumeEntry);
  EXPECT_EQ(picker.SourcePath(), "\\\\.\\" + drive + ":");
  EXPECT_EQ(picker.SourceSize(), kPartitionSectors * 512);
  EXPECT_EQ(openSource("\\\\.\\" + drive + ":")->name(), partition);

  // The command line: sources names the device nodes, scan takes PhysicalDriveN.
  std::atomic<bool> cliStop{false};
  std::ostringstream json, jsonErr;
  const char* sourcesArgs[] = {"kestrix-cli", "sources", "--format", "json"};
  EXPECT_EQ(cli::runCli(4, sourcesArgs, json, jsonErr, cliStop), 0);
  EXPECT_NE(json.str().find("\"source\": \"" + drive + ":\", \"name\": \"" + drive + "xx\", \"caption\": \"KESTRIX ("),
            std::string::npos)
      << json.str();
  EXPECT_NE(json.str().find("\"device\": \"" + partition + "\""), std::string::npos);
  std::ostringstream scanOut, scanErr;
  const std::string diskName = "PhysicalDrive" + std::to_string(disk);
  const char* scanArgs[] = {"kestrix-cli", "scan", "-q", "--format", "tsv", diskName.c_str()};
  EXPECT_EQ(cli::runCli(6, scanArgs, scanOut, scanErr, cliStop), 0) << scanErr.str();
  EXPECT_NE(scanOut.str().find("\n1\t0 - " + std::to_string(kPstSector + 34) + "\t"), std::string::npos) << scanOut.str();
}

TEST(LoopDevice, AMountedVolumeShowsItsFreeSpaceAndIsScannedWhole) {
  if (const std::string reason = skipReason(); !reason.empty()) GTEST_SKIP() << reason;
  if (!haveTool("mkfs.ext4") || !haveTool("mount")) GTEST_SKIP() << "mkfs.ext4 or mount is not installed";
  test::TempDir dir;
  const std::string image = dir.file("disk.img");
  test::writeFile(image, std::vector<std::byte>(std::size_t(kImageBytes)));
  std::string out;
  ASSERT_EQ(run("printf 'label: dos\\nstart=2048, size=16384, type=83\\n' | sfdisk -q " + image, &out), 0) << out;
  ASSERT_EQ(run("mkfs.ext4 -q -F -L KXEXT -E offset=1048576 " + image + " 8M", &out), 0) << out;
  LoopDevice loop;
  if (const std::string reason = loop.attach(image); !reason.empty()) GTEST_SKIP() << reason;
  const std::string point = dir.file("mnt");
  fs::create_directory(point);
  if (const std::string reason = loop.mountFirstPartition(point); !reason.empty()) GTEST_SKIP() << reason;

  const Catalogue& cat = systemCatalogue();
  char letter = 0;
  for (char x = 'C'; x <= 'Z' && !letter; ++x)
    if (cat.volumeNode(x) == loop.device() + "p1") letter = x;
  if (!letter) GTEST_SKIP() << "every drive letter is taken by other volumes";
  const TNTVolumeInfo info(cat, std::string(1, letter));
  EXPECT_EQ(info.VolumeLabel, "KXEXT");
  EXPECT_EQ(info.FileSystem, "ext4");
  struct statvfs vfs {};
  ASSERT_EQ(::statvfs(point.c_str(), &vfs), 0);
  EXPECT_EQ(info.TotalSize, std::int64_t(vfs.f_blocks * vfs.f_frsize));
  EXPECT_EQ(info.FreeSize, std::int64_t(vfs.f_bavail * vfs.f_frsize));
  EXPECT_GT(info.FreeSize, 0);
  ASSERT_EQ(run("blkid -s UUID -o value " + loop.device() + "p1", &out), 0);
  std::string uuid = out.substr(0, 8);
  for (char& c : uuid) c = char(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_EQ(info.SerialText, uuid);

  // The file system is smaller than its partition; the scan by letter covers the partition.
  EXPECT_LT(info.TotalSize, 16384 * 512);
  SourcePicker picker(cat);
  picker.SourceChange(std::string(1, letter) + ":");
  EXPECT_EQ(picker.SourceSize(), 16384 * 512);

  // Nothing is written onto the disk being read: not into the mounted partition when the
  // whole disk or the partition is the source, also not into a folder still to be made.
  for (const std::string& node : {loop.device(), loop.device() + "p1"}) {
    scan::FileByteSource src(node);
    for (const std::string& target : {point + "/out.pst", point + "/new/folder/"}) {
      try {
        if (target.back() == '/')
          rebuild::refuseUnsafeFolder(target, &src);
        else
          rebuild::refuseUnsafeOutput(target, &src);
        ADD_FAILURE() << target << " on " << node << " was not refused";
      } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("lies on the source"), std::string::npos) << e.what();
      }
    }
    EXPECT_NO_THROW(rebuild::refuseUnsafeOutput(dir.file("out.pst"), &src));
  }
}

TEST(OpenSource, ARefusedDeviceNamesTheRightsItNeeds) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a device node and drop to another user";
  const group* disk = ::getgrnam("disk");
  if (!disk) GTEST_SKIP() << "there is no group \"disk\"";
  test::TempDir dir;
  const std::string node = dir.file("sdz");
  if (::mknod(node.c_str(), S_IFBLK | 0640, ::makedev(7, 0)) != 0 || ::chown(node.c_str(), 0, disk->gr_gid) != 0)
    GTEST_SKIP() << "cannot make a block device node here";
  ::chmod(dir.path().c_str(), 0755);

  // The open is refused to an ordinary user; the message names the node, the reason and
  // the rights. The child drops to "nobody" so the test process keeps its rights.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(fds[0]);
    std::string message = "(opened)";
    if (::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0) {
      try {
        openSource(node);
      } catch (const std::exception& e) {
        message = e.what();
      }
    } else {
      message = "(could not drop rights)";
    }
    (void)!::write(fds[1], message.data(), message.size());
    ::_exit(0);
  }
  ::close(fds[1]);
  std::string message;
  char buffer[512];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) message.append(buffer, std::size_t(n));
  ::close(fds[0]);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(message, "Cannot open file \"" + node + "\". Permission denied\nReading \"" + node +
                         "\" needs root rights or membership of the group \"disk\": run it with sudo, or add "
                         "your user to \"disk\" and log in again.");
}

namespace {

// Undoes what a test set up (mounts, loop devices), last first.
class Teardown {
 public:
  ~Teardown() {
    for (auto it = m_commands.rbegin(); it != m_commands.rend(); ++it) run(*it);
  }
  void add(const std::string& command) { m_commands.push_back(command); }

 private:
  std::vector<std::string> m_commands;
};

// An ext4 file system of `mib` MiB in a new image file; "" on success, else why not.
std::string makeExt4Image(const std::string& path, int mib) {
  fs::resize_file((std::ofstream(path), path), std::uintmax_t(mib) << 20);
  std::string out;
  return run("mkfs.ext4 -q -F " + path, &out) == 0 ? std::string() : "mkfs.ext4 failed: " + out;
}

// Attaches the file to a free loop device and mounts it read-write at point; the device
// node, or "" when either step fails (reason says why).
std::string attachAndMount(const std::string& file, const std::string& point, Teardown& teardown, std::string& reason) {
  std::string out;
  if (run("losetup -f --show " + file, &out) != 0) {
    reason = "losetup -f --show failed: " + out;
    return {};
  }
  const std::string device = out.substr(0, out.find('\n'));
  teardown.add("losetup -d " + device);
  fs::create_directories(point);
  if (run("mount " + device + " " + point, &out) != 0) {
    reason = "mount failed: " + out;
    return {};
  }
  teardown.add("umount " + point);
  return device;
}

}  // namespace

TEST(LoopDevice, OutputsOnTheSourceAreFoundThroughLoopDevicesMountsAndStacks) {
  if (const std::string reason = skipReason(); !reason.empty()) GTEST_SKIP() << reason;
  if (!haveTool("mkfs.ext4") || !haveTool("mount")) GTEST_SKIP() << "mkfs.ext4 or mount is not installed";
  test::TempDir dir;
  Teardown teardown;
  std::string reason;
  // The source: an image file with a file system, mounted through a loop device.
  const std::string image = dir.file("a.img"), mountA = dir.file("mnt-a");
  if (reason = makeExt4Image(image, 16); !reason.empty()) GTEST_SKIP() << reason;
  const std::string loopA = attachAndMount(image, mountA, teardown, reason);
  if (loopA.empty()) GTEST_SKIP() << reason;

  // The file behind the loop device that is read: refused before the scan, not cut short.
  auto r = test::runCliArgs({"extract", "-q", loopA, "--fragments", "1", "-o", image});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("It is the file behind the source"), std::string::npos) << r.err;
  EXPECT_EQ(fs::file_size(image), std::uintmax_t(16) << 20);
  // A folder in a mount of the image that is read: its free space is what is being recovered.
  r = test::runCliArgs({"recover", "-q", image, "-o", mountA + "/out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("lies on the source"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(mountA + "/out"));

  // A second loop device over a file inside the source's file system, mounted: its files are
  // written into the source too, whether the source is the image or its loop device.
  const std::string inner = mountA + "/b.img", mountB = dir.file("mnt-b");
  if (reason = makeExt4Image(inner, 4); !reason.empty()) GTEST_SKIP() << reason;
  if (attachAndMount(inner, mountB, teardown, reason).empty()) GTEST_SKIP() << reason;
  for (const std::string& source : {image, loopA}) {
    scan::FileByteSource src(source);
    EXPECT_NE(test::messageOf([&] { rebuild::refuseUnsafeFolder(mountB + "/out", &src); }).find("lies on the source"),
              std::string::npos)
        << source;
    EXPECT_NE(test::messageOf([&] { rebuild::refuseUnsafeOutput(mountB + "/x.pst", &src); }).find("lies on the source"),
              std::string::npos)
        << source;
    EXPECT_EQ(test::messageOf([&] { rebuild::refuseUnsafeOutput(dir.file("x.pst"), &src); }), "(no error)") << source;
  }

  // An overlay whose upper folder lies on the source.
  for (const char* sub : {"/upper", "/work"}) fs::create_directories(mountA + sub);
  fs::create_directories(dir.file("lower"));
  fs::create_directories(dir.file("merged"));
  std::string out;
  if (run("mount -t overlay overlay -o lowerdir=" + dir.file("lower") + ",upperdir=" + mountA + "/upper,workdir=" +
              mountA + "/work " + dir.file("merged"),
          &out) != 0) {
    GTEST_LOG_(INFO) << "overlay cannot be mounted here, not checked: " << out;
    return;
  }
  teardown.add("umount " + dir.file("merged"));
  scan::FileByteSource src(image);
  EXPECT_NE(test::messageOf([&] { rebuild::refuseUnsafeOutput(dir.file("merged") + "/x.pst", &src); }).find("lies on the source"),
            std::string::npos);
}
