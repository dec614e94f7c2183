#pragma once
// The Windows catalogue, in two layers. WindowsCalls is what the Win32 calls answer, one call
// a method, nothing decided; WindowsCatalogue turns those answers into the Catalogue's: which
// letters and disks exist, which disk a volume lies on, what a disk's caption says. The rules
// know nothing of Win32 and are tested with a fake WindowsCalls on every platform; the real
// calls (win32_calls_windows.cpp) are systemCatalogue() in the Windows build.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "sources/catalogue.h"

namespace kestrix::sources {

class WindowsCalls {
 public:
  virtual ~WindowsCalls() = default;

  // GetLogicalDriveStringsW: the letters of the drives that exist, "CDZ".
  virtual std::string logicalDrives() const = 0;
  // GetDriveTypeW of "X:\" (the DRIVE_* value).
  virtual unsigned driveType(char letter) const = 0;
  // GetVolumeInformationW of "X:\"; nullopt when it fails.
  virtual std::optional<VolumeInformation> volumeInformation(char letter) const = 0;
  // GetDiskFreeSpaceExW of "X:\"; nullopt when it fails.
  virtual std::optional<FreeSpace> freeSpace(char letter) const = 0;
  // IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS of \\.\X:, opened for no access; nullopt when the
  // volume cannot be opened or the request fails.
  virtual std::optional<std::vector<DiskExtent>> volumeExtents(char letter) const = 0;

  // \\.\PhysicalDriveN opened GENERIC_READ with FILE_SHARE_READ | FILE_SHARE_WRITE.
  struct Disk {
    enum class Open { Yes, Missing, Refused };
    Open open = Open::Missing;
    int error = 0;                          // the engine's error code of a refused open
    std::optional<std::int64_t> length;     // IOCTL_DISK_GET_LENGTH_INFO
    std::optional<DiskGeometry> geometry;   // IOCTL_DISK_GET_DRIVE_GEOMETRY
    std::vector<std::byte> descriptor;      // IOCTL_STORAGE_QUERY_PROPERTY, StorageDeviceProperty
  };
  virtual Disk disk(int number) const = 0;
};

class WindowsCatalogue final : public Catalogue {
 public:
  explicit WindowsCatalogue(const WindowsCalls& calls) : m_calls(calls) {}

  std::optional<VolumeInformation> volumeInformation(char letter) const override;
  std::optional<FreeSpace> freeSpace(char letter) const override;
  DriveType driveType(char letter) const override;
  // The volume's first extent; a volume across several disks lies on the disk of its first.
  std::optional<DiskExtent> volumeExtent(char letter) const override;
  std::string volumeNode(char letter) const override;  // "\\.\X:"
  DiskProbe probeDisk(int number) const override;
  std::string diskNode(int number) const override;     // "\\.\PhysicalDriveN"

 private:
  bool exists(char letter) const;
  const WindowsCalls& m_calls;
};

// "VENDOR PRODUCT, SN SERIAL" from a STORAGE_DEVICE_DESCRIPTOR as the device returned it:
// the strings at its offsets, blanks trimmed; a part that is missing, empty or outside the
// returned bytes is left out. "" when nothing is known.
std::string deviceDescription(std::span<const std::byte> descriptor);

}  // namespace kestrix::sources
