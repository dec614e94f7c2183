// The Linux backend over a tree of its own: a /sys/block, a /dev of image files and a
// mountinfo text, so the layout rules are checked without devices or root.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "sources/linux_catalogue.h"
#include "sources/source_picker.h"
#include "support/test_support.h"

using namespace kestrix::sources;
namespace fs = std::filesystem;

namespace {

void put(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path) << text << '\n';
}

// A whole disk in sys/ and its node (an image of `sectors` 512-byte sectors) in dev/.
void addDisk(const fs::path& root, const std::string& name, std::int64_t sectors, bool removable = false) {
  put(root / "sys" / name / "size", std::to_string(sectors));
  put(root / "sys" / name / "removable", removable ? "1" : "0");
  fs::create_directories(root / "dev");
  { std::ofstream(root / "dev" / name); }
  fs::resize_file(root / "dev" / name, std::uintmax_t(sectors) * 512);
}

void addPartition(const fs::path& root, const std::string& disk, const std::string& name, int number,
                  std::int64_t start, std::int64_t sectors) {
  put(root / "sys" / disk / name / "partition", std::to_string(number));
  put(root / "sys" / disk / name / "start", std::to_string(start));
  put(root / "sys" / disk / name / "size", std::to_string(sectors));
  { std::ofstream(root / "dev" / name); }
  fs::resize_file(root / "dev" / name, std::uintmax_t(sectors) * 512);
}

}  // namespace

TEST(LinuxCatalogue, NumbersDisksAndLettersVolumesInNaturalOrder) {
  kestrix::test::TempDir dir;
  const fs::path root = dir.path();
  addDisk(root, "sdaa", 64);
  addDisk(root, "sdb", 64, true);
  addPartition(root, "sdb", "sdb2", 2, 2048, 16);
  addPartition(root, "sdb", "sdb1", 1, 34, 16);
  addPartition(root, "sdb", "sdb3", 3, 100, 2);  // an extended-partition stub: no letter
  addPartition(root, "sdb", "sdb5", 5, 200, 8);
  addDisk(root, "nvme0n1", 64);
  addDisk(root, "vda", 64);
  addDisk(root, "loop10", 32);
  put(root / "sys" / "loop10" / "loop" / "backing_file", "/srv/ten.img");
  addDisk(root, "loop2", 32);
  put(root / "sys" / "loop2" / "loop" / "backing_file", "/srv/two.img");
  addDisk(root, "loop0", 32);  // no backing file: unused
  addDisk(root, "zram0", 32);
  addDisk(root, "dm-0", 32);
  addDisk(root, "mmcblk0boot0", 32);
  addDisk(root, "sr0", 32);

  const LinuxCatalogue cat((root / "sys").string(), (root / "dev").string(), (root / "mountinfo").string());
  const auto layout = cat.layout();
  std::vector<std::string> disks;
  for (const auto& d : layout.disks) disks.push_back(d.name);
  EXPECT_EQ(disks, (std::vector<std::string>{"sdb", "sdaa", "vda", "nvme0n1", "loop2", "loop10"}));

  // Partitions in partition order; the disks without partitions hold no file system.
  ASSERT_EQ(layout.volumes.size(), 3u);
  EXPECT_EQ(layout.volumes[0].letter, 'C');
  EXPECT_EQ(layout.volumes[0].name, "sdb1");
  EXPECT_EQ(layout.volumes[0].start, 34 * 512);
  EXPECT_EQ(layout.volumes[2].letter, 'E');
  EXPECT_EQ(layout.volumes[2].name, "sdb5");

  EXPECT_EQ(cat.diskNode(4), (root / "dev" / "loop2").string());
  EXPECT_EQ(cat.diskNode(6), "");
  EXPECT_EQ(cat.volumeNode('d'), (root / "dev" / "sdb2").string());
  EXPECT_EQ(cat.driveType('C'), DriveType::Removable);
  EXPECT_EQ(cat.driveType('F'), DriveType::NoRootDir);
  EXPECT_EQ(cat.volumeExtent('D'), (DiskExtent{0, 2048 * 512, 16 * 512}));
  EXPECT_FALSE(cat.volumeInformation('D'));  // no file system in an empty image
  EXPECT_FALSE(cat.freeSpace('D'));          // not mounted (not even a block device)

  const DiskProbe sdb = cat.probeDisk(0);
  EXPECT_EQ(sdb.state, DiskProbe::State::Open);
  EXPECT_EQ(sdb.length, 64 * 512);
  EXPECT_EQ(sdb.geometry.MediaType, kMediaRemovable);
  EXPECT_EQ(cat.probeDisk(6).state, DiskProbe::State::Absent);

  // The menu over this tree: volumes labelled by nothing but their disk, every disk.
  const auto menu = BuildSourceMenu(cat);
  ASSERT_EQ(menu.size(), 1u + 1 + 3 + 1 + 6);
  EXPECT_EQ(menu[2].caption, " (C:), RD0, , [0.00 MB/0.00 MB]");
  EXPECT_EQ(menu[6].caption, "HD0, Removable Drive, [32 KB]");
  EXPECT_EQ(menu[11].name, "PhysicalDrive5");
  EXPECT_EQ(menu[11].nativePath, (root / "dev" / "loop10").string());
}

TEST(LinuxCatalogue, NameOrderSerialsFileSystemsAndMountPoints) {
  EXPECT_TRUE(diskNameLess("sdz", "sdaa"));
  EXPECT_TRUE(diskNameLess("loop2", "loop10"));
  EXPECT_TRUE(diskNameLess("nvme0n2", "nvme0n10"));
  EXPECT_TRUE(diskNameLess("nvme1n1", "nvme10n1"));
  EXPECT_TRUE(diskNameLess("xvdb", "hda"));
  EXPECT_FALSE(diskNameLess("sda", "sda"));
  for (const char* name : {"sda", "vdb", "xvdc", "hdd", "nvme0n1", "mmcblk1", "loop7"}) EXPECT_TRUE(isWholeDiskName(name)) << name;
  for (const char* name : {"sda1", "nvme0", "nvme0c0n1", "nvme0n1p1", "mmcblk0p1", "mmcblk0boot0", "zram0", "sr0",
                           "dm-0", "md0", "ram0", "loop"})
    EXPECT_FALSE(isWholeDiskName(name)) << name;

  EXPECT_EQ(serialFromUuid("1234-ABCD"), 0x1234ABCDu);                 // FAT
  EXPECT_EQ(serialFromUuid("0123456789ABCDEF"), 0x89ABCDEFu);          // NTFS: the low 32 bits
  EXPECT_EQ(serialFromUuid("4e5a2f3c-1b2d-4c3e-9f00-112233445566"), 0x4E5A2F3Cu);
  EXPECT_EQ(serialFromUuid(""), 0u);

  EXPECT_EQ(fileSystemName("vfat", "FAT32"), "FAT32");
  EXPECT_EQ(fileSystemName("vfat", "FAT16"), "FAT");
  EXPECT_EQ(fileSystemName("ntfs", ""), "NTFS");
  EXPECT_EQ(fileSystemName("exfat", "1.0"), "exFAT");
  EXPECT_EQ(fileSystemName("ext4", "1.0"), "ext4");

  const std::string info =
      "27 1 254:0 / / rw,relatime - ext4 /dev/vda rw\n"
      "40 27 8:17 / /media/my\\040disk rw - vfat /dev/sdb1 rw\n"
      "41 27 8:17 / /mnt/again rw - vfat /dev/sdb1 rw\n";
  EXPECT_EQ(mountPointOf(info, 254, 0), "/");
  EXPECT_EQ(mountPointOf(info, 8, 17), "/media/my disk");
  EXPECT_EQ(mountPointOf(info, 8, 1), "");
  EXPECT_EQ(mountPointOf(info, 25, 40), "");
}

TEST(LinuxCatalogue, ADiskWithAFileSystemAndNoPartitionTableIsAVolume) {
  if (std::system("command -v mkfs.vfat >/dev/null 2>&1") != 0) GTEST_SKIP() << "mkfs.vfat (dosfstools) is not installed";
  kestrix::test::TempDir dir;
  const fs::path root = dir.path();
  addDisk(root, "vda", 8192);
  addDisk(root, "vdb", 8192);
  const std::string vda = (root / "dev" / "vda").string();
  ASSERT_EQ(std::system(("mkfs.vfat -n WHOLE -i 0BADF00D " + vda + " >/dev/null 2>&1").c_str()), 0);

  const LinuxCatalogue cat((root / "sys").string(), (root / "dev").string(), (root / "mountinfo").string());
  EXPECT_EQ(cat.volumeNode('C'), vda);
  EXPECT_EQ(cat.volumeNode('D'), "");  // vdb holds nothing
  const auto info = cat.volumeInformation('C');
  ASSERT_TRUE(info);
  EXPECT_EQ(info->label, "WHOLE");
  EXPECT_EQ(info->fileSystem, "FAT");
  EXPECT_EQ(info->serial, 0x0BADF00Du);
  EXPECT_EQ(cat.volumeExtent('C'), (DiskExtent{0, 0, 8192 * 512}));
  const auto menu = BuildSourceMenu(cat);
  ASSERT_GE(menu.size(), 3u);
  EXPECT_EQ(menu[2].caption, "WHOLE (C:), HD0, FAT, [0.00 MB/0.00 MB]");
}
