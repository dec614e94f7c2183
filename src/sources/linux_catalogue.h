#pragma once
// The Linux catalogue. PhysicalDriveN is the N-th whole disk of /sys/block in natural order
// (sd*, vd*, xvd*, hd*, nvme*n*, mmcblk*, then loop devices that have a backing file). Drive
// letters C to Z go to the partitions of those disks, and to disks that carry a file system
// without a partition table, in disk order then partition order. Label, file system and serial
// come from libblkid; total and free size from statvfs of the mount point (none when the
// volume is not mounted); the extent is the parent disk's number, the partition's start and
// length. Every device is opened O_RDONLY | O_CLOEXEC, only for as long as a query needs it.
//
// The layout is read again for every query, so the answers follow devices that come and go;
// a disk that appears between two queries can move the letters after it.

#include <cstdint>
#include <string>
#include <vector>

#include "sources/catalogue.h"

namespace kestrix::sources {

class LinuxCatalogue final : public Catalogue {
 public:
  // The roots are parameters so that tests can point the backend at a tree of their own.
  explicit LinuxCatalogue(std::string sysBlock = "/sys/block", std::string devDir = "/dev",
                          std::string mountInfo = "/proc/self/mountinfo");

  std::optional<VolumeInformation> volumeInformation(char letter) const override;
  std::optional<FreeSpace> freeSpace(char letter) const override;
  DriveType driveType(char letter) const override;
  std::optional<DiskExtent> volumeExtent(char letter) const override;
  std::string volumeNode(char letter) const override;
  DiskProbe probeDisk(int number) const override;
  std::string diskNode(int number) const override;

  struct Disk {
    std::string name;  // "sda", "loop3"
    std::string node;  // "/dev/sda"
    bool removable = false;
  };
  struct Volume {
    char letter = 0;
    std::string name;             // "sda1", or the disk's name for a disk without partitions
    std::string node;
    int disk = 0;                 // index into Layout::disks
    std::int64_t start = 0;       // bytes from the start of the disk
    std::int64_t length = 0;      // bytes, from sysfs
  };
  struct Layout {
    std::vector<Disk> disks;
    std::vector<Volume> volumes;  // letters C, D, ... in order
  };
  // The disks, and with withVolumes the volumes too (which probes disks without partitions
  // for a file system).
  Layout layout(bool withVolumes = true) const;

 private:
  const Volume* volumeOf(char letter, Layout& layout) const;

  std::string m_sysBlock;
  std::string m_devDir;
  std::string m_mountInfo;
};

// Helpers of the backend, exposed for the tests.

// True for the names of whole disks that may be offered; a loop device also needs a backing
// file, which the caller checks.
bool isWholeDiskName(const std::string& name);
// Natural order of device names: disk kind first (in the order above), then names with their
// number runs compared as numbers and letter runs by length first (sdz < sdaa, loop2 < loop10).
bool diskNameLess(const std::string& a, const std::string& b);
// The 32-bit volume serial for a libblkid UUID: FAT's "1234-ABCD" and NTFS's 16 digits give
// the serial the volume itself records (the low 32 bits); a longer UUID gives its first 8 hex
// digits. 0 when the text holds no hex digits.
std::uint32_t serialFromUuid(const std::string& uuid);
// The file system name the way users know it: vfat -> "FAT32" or "FAT", ntfs -> "NTFS",
// exfat -> "exFAT"; other libblkid types unchanged.
std::string fileSystemName(const std::string& type, const std::string& version);
// The mount point of device major:minor in the text of /proc/self/mountinfo ("" when not
// mounted), with the octal escapes (\040 for a blank) decoded.
std::string mountPointOf(const std::string& mountInfo, unsigned major, unsigned minor);

}  // namespace kestrix::sources
