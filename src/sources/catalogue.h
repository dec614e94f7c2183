#pragma once
// The platform layer under the source picker: the disks and volumes of the machine, and
// opening a source read-only. The picker and the volume list ask a Catalogue the questions
// that the Windows storage calls answer (volume information, free space, drive type, the
// volume's extent on a disk, a disk's geometry), so a Windows backend can join behind the
// same interface. The Linux backend is systemCatalogue(); tests use FakeCatalogue.
//
// Nothing here opens a device for writing or exclusively, not even to query it.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "io/byte_source.h"
#include "io/errors.h"

namespace kestrix::sources {

// Drive type codes, with the values of the Windows DRIVE_* constants.
enum class DriveType { Unknown = 0, NoRootDir = 1, Removable = 2, Fixed = 3, Remote = 4, CdRom = 5, RamDisk = 6 };

// Windows MEDIA_TYPE values that a backend reports; GetMediaTypeText reads every value.
inline constexpr int kMediaUnknown = 0;
inline constexpr int kMediaRemovable = 11;
inline constexpr int kMediaFixed = 12;

// What the volume-information query gives for a drive letter.
struct VolumeInformation {
  std::string label;          // empty when the volume has none
  std::uint32_t serial = 0;   // the 32-bit volume serial number
  std::string fileSystem;     // "NTFS", "FAT32", "ext4" ...
};

// What the free-space query gives, in bytes.
struct FreeSpace {
  std::int64_t availableToCaller = 0;
  std::int64_t total = 0;
  std::int64_t totalFree = 0;
};

// The first extent of a volume on a physical disk. DiskNumber 255 with offset and length 0
// means that no extent is known.
struct DiskExtent {
  std::uint32_t DiskNumber = 255;
  std::int64_t StartingOffset = 0;  // bytes from the start of the disk
  std::int64_t ExtentLength = 0;    // bytes
  friend bool operator==(const DiskExtent&, const DiskExtent&) = default;
};

// A disk's geometry as the drive-geometry request gives it.
struct DiskGeometry {
  std::int64_t Cylinders = 0;
  int MediaType = kMediaUnknown;
  std::uint32_t TracksPerCylinder = 0;
  std::uint32_t SectorsPerTrack = 0;
  std::uint32_t BytesPerSector = 0;
};

// The geometry a disk of `length` bytes reports where the system has none of its own:
// 255 tracks a cylinder, 63 sectors a track, as many whole cylinders as fit.
DiskGeometry standardGeometry(std::int64_t length, std::uint32_t bytesPerSector, bool removable);

// Physical disk N as the menu builder finds it.
struct DiskProbe {
  enum class State { Absent, Unreadable, Open };
  State state = State::Absent;
  int error = 0;             // errno of the failed open (Unreadable)
  std::string nativePath;    // the device node ("" when Absent)
  std::int64_t length = 0;   // exact length in bytes (Open)
  DiskGeometry geometry;     // (Open)
  std::string description;   // model and serial where the system gives them, e.g. "ATA ST1000, SN Z1D" (Open)
};

// The failure to open a source (io/errors.h): the message, the errno and the path.
using SourceOpenError = kestrix::SourceOpenError;

class Catalogue {
 public:
  virtual ~Catalogue() = default;

  // Volumes, by drive letter 'C' to 'Z'. A fact that cannot be read is nullopt.
  virtual std::optional<VolumeInformation> volumeInformation(char letter) const = 0;
  virtual std::optional<FreeSpace> freeSpace(char letter) const = 0;
  virtual DriveType driveType(char letter) const = 0;
  // Opens the volume read-only to find its first extent; nullopt when it cannot be opened
  // or the answer holds no extent.
  virtual std::optional<DiskExtent> volumeExtent(char letter) const = 0;
  // The device node behind the letter, "" when no volume has it.
  virtual std::string volumeNode(char letter) const = 0;

  // Physical disk N (0 to 255): opens it read-only to read its length and geometry.
  virtual DiskProbe probeDisk(int number) const = 0;
  // The device node of disk N, "" when there is none.
  virtual std::string diskNode(int number) const = 0;

  // Opens a device node or a file read-only (O_RDONLY | O_CLOEXEC). Its size() is the whole
  // length: a file's length, a device's exact length. Throws SourceOpenError.
  virtual std::unique_ptr<scan::ByteSource> open(const std::string& nativePath) const;
};

// The catalogue of this machine (Linux: /sys/block, libblkid, statvfs, BLKGETSIZE64; Windows:
// the Win32 calls of windows_catalogue.h).
const Catalogue& systemCatalogue();

// Opens a path read-only as Catalogue::open does. Throws SourceOpenError.
std::unique_ptr<scan::ByteSource> openReadOnly(const std::string& path);

// The SourcePath form of a name, as the source box turns its text into a path:
// "PhysicalDriveN" (N: 1 to 6 digits) -> "\\.\PhysicalDriveN"; "X:" or "X:\" (X a letter) ->
// "\\.\X:"; anything else ("PhysicalDrive_old.img", "d:x") is a path and stays unchanged.
std::string SourcePathOf(const std::string& text);

// The native path behind a SourcePath: the node of "\\.\PhysicalDriveN" or "\\.\X:" from the
// catalogue, any other text unchanged. Throws SourceOpenError (ENODEV, naming the SourcePath)
// when the catalogue has no such disk or volume.
std::string NativePathOf(const Catalogue& catalogue, const std::string& sourcePath);

// True when the path names a device (\\.\ form, or a block or character device node).
bool isDevicePath(const std::string& path);

// The group (other than root's) whose members may read the device node; "" when there is none
// (always on Windows).
std::string readerGroupOf(const std::string& nativePath);

// One line saying which rights reading the device node needs, for a refused open
// (EACCES or EPERM): root, or membership of the group that may read the node; on Windows an
// administrator's rights.
std::string rightsNeededText(const std::string& nativePath);

}  // namespace kestrix::sources
