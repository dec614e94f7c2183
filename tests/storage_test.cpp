// Where the writer looks for the source: the storage walk over a sysfs tree and a mountinfo
// of its own, so that partitions, device-mapper slaves, loop devices and overlay mounts are
// checked without root and on kernels that lack some of them (the real devices are in
// sources_loop_test.cpp).

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>

#include "io/storage.h"
#include "support/test_support.h"

using namespace kestrix;
using sources::StorageRoots;
namespace fs = std::filesystem;

namespace {

std::uint64_t dev(unsigned maj, unsigned min) { return makedev(maj, min); }

// A device's sysfs folder at sys/devices/<path>, reachable as sys/dev/block/MAJ:MIN.
fs::path addDevice(const fs::path& sys, const std::string& path, std::uint64_t number, bool partition = false) {
  const fs::path folder = sys / "devices" / path;
  fs::create_directories(folder);
  const std::string numbers = std::to_string(major(number)) + ":" + std::to_string(minor(number));
  std::ofstream(folder / "dev") << numbers << '\n';
  if (partition) std::ofstream(folder / "partition") << "1\n";
  fs::create_directories(sys / "dev" / "block");
  fs::create_directory_symlink(folder, sys / "dev" / "block" / numbers);
  return folder;
}

scan::FileIdentity blockDevice(std::uint64_t number) { return {true, 5, 100, number, {}}; }

}  // namespace

TEST(Storage, TheSourceIsFoundThroughPartitionsDeviceMapperLoopFilesAndOverlay) {
  test::TempDir dir;
  const fs::path sys = dir.path() / "sys";
  StorageRoots roots{(sys / "dev" / "block").string(), (dir.path() / "no-dev").string(),
                     (dir.path() / "mountinfo").string()};
  addDevice(sys, "sda", dev(8, 0));
  addDevice(sys, "sda/sda1", dev(8, 1), true);
  const fs::path sda2 = addDevice(sys, "sda/sda2", dev(8, 2), true);
  addDevice(sys, "sdb", dev(8, 16));
  const fs::path dm = addDevice(sys, "dm-0", dev(253, 0));  // a logical volume on sda2
  fs::create_directories(dm / "slaves");
  fs::create_directory_symlink(sda2, dm / "slaves" / "sda2");
  const std::string image = dir.file("disk.img");
  test::writeFile(image, std::vector<std::byte>(4096));
  const fs::path loop = addDevice(sys, "loop0", dev(7, 0));  // no node in no-dev: the path is read
  fs::create_directories(loop / "loop");
  std::ofstream(loop / "loop" / "backing_file") << image << '\n';

  const auto meets = [&](const scan::FileIdentity& source, std::uint64_t folderDevice) {
    return sources::writeStorage(folderDevice, roots).meets(sources::sourceStorage(source, roots));
  };
  // The whole disk as the source: its partitions and a volume on one of them lie on it.
  EXPECT_TRUE(meets(blockDevice(dev(8, 0)), dev(8, 1)));
  EXPECT_TRUE(meets(blockDevice(dev(8, 0)), dev(253, 0)));
  EXPECT_FALSE(meets(blockDevice(dev(8, 0)), dev(8, 16)));
  // The volume as the source: the other partition of its disk counts as the source too.
  EXPECT_TRUE(meets(blockDevice(dev(253, 0)), dev(8, 1)));
  EXPECT_FALSE(meets(blockDevice(dev(253, 0)), dev(8, 16)));

  // The image as the source: a file system on the loop device over it lies inside it.
  struct stat st {};
  ASSERT_EQ(::stat(image.c_str(), &st), 0);
  const scan::FileIdentity imageId{true, std::uint64_t(st.st_dev), std::uint64_t(st.st_ino), 0, {}};
  EXPECT_TRUE(meets(imageId, dev(7, 0)));
  EXPECT_FALSE(meets(imageId, dev(8, 1)));
  // The loop device as the source: the file behind it is part of it.
  EXPECT_TRUE(sources::sourceStorage(blockDevice(dev(7, 0)), roots).holdsFile(std::uint64_t(st.st_dev),
                                                                               std::uint64_t(st.st_ino)));

  // An overlay (no block device of its own) writes into its upper folder: onto the device
  // that holds that folder (a real one, named in mountinfo with an escaped blank).
  fs::create_directories(dir.path() / "up per");
  ASSERT_EQ(::stat((dir.path() / "up per").c_str(), &st), 0);
  if (!fs::exists(sys / "dev" / "block" / (std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev)))))
    addDevice(sys, "real", std::uint64_t(st.st_dev));
  std::ofstream(roots.mountInfo) << "41 1 0:98 / /merged rw,relatime - overlay overlay rw,lowerdir=/l,upperdir="
                                 << dir.path().string() << "/up\\040per,workdir=/w\n";
  EXPECT_TRUE(meets(blockDevice(std::uint64_t(st.st_dev)), dev(0, 98)));
  EXPECT_FALSE(meets(blockDevice(dev(8, 16)), dev(0, 98)));

  // A FUSE mount of the image (ntfs-3g, fuse2fs) writes into the image; one whose source is no
  // file or device (sshfs, a deleted image) keeps its data where nobody can tell.
  std::ofstream(roots.mountInfo, std::ios::app)
      << "42 1 0:99 / /m rw - fuseblk " << image << " rw,user_id=0\n"
      << "43 1 0:100 / /s rw - fuse.sshfs host:/x rw\n"
      << "44 1 0:101 / /d rw - fuse " << dir.file("gone.img") << " rw\n";
  EXPECT_TRUE(meets(imageId, dev(0, 99)));
  EXPECT_TRUE(sources::writeStorage(dev(0, 99), roots).unknownMounts.empty());
  EXPECT_EQ(sources::writeStorage(dev(0, 100), roots).unknownMounts, std::vector<std::string>{"host:/x"});
  EXPECT_EQ(sources::writeStorage(dev(0, 101), roots).unknownMounts, std::vector<std::string>{dir.file("gone.img")});
}
