#pragma once
// The logical volumes (drive letters C to Z) of a catalogue: the facts of one letter
// (TNTVolumeInfo) and the list of volumes worth offering, with a caption each (TNTVolumeList).
// Neither reports an error: a fact that cannot be read stays empty or zero.

#include <cstdint>
#include <string>
#include <vector>

#include "sources/catalogue.h"

namespace kestrix::sources {

// The facts of one drive letter, read once when the object is made.
class TNTVolumeInfo {
 public:
  TNTVolumeInfo(const Catalogue& catalogue, const std::string& drive);

  std::string Drive;        // the drive letter as given
  std::string VolumeLabel;  // "" when unreadable or none
  std::string SerialText;   // eight upper-case hex digits; "" when unreadable
  std::string FileSystem;   // "" when unreadable
  std::int64_t TotalSize = 0;  // bytes; 0 when the free-space query fails
  std::int64_t FreeSize = 0;   // bytes available to the caller; 0 when it fails
  std::string DriveKind;    // "HD", "RD", "ND", "CD" or ""
  DiskExtent Extent;        // DiskNumber 255 when no extent is known

 private:
  void ReadVolumeInformation(const Catalogue& catalogue);
  void ReadDiskExtent(const Catalogue& catalogue);
};

// The facts of the volume listed last.
struct VolumeItem {
  std::string Drive;
  std::string VolumeLabel;
  std::string DiskId;  // DriveKind and the disk number: "HD0", "CD255"
  std::string DriveKind;
  std::string FileSystem;
  std::string SerialText;
  std::int64_t TotalSize = 0;
  std::int64_t FreeSize = 0;
  bool Filled = false;
};

// The volumes of letters C to Z that have a known disk or a label, in letter order.
class TNTVolumeList {
 public:
  explicit TNTVolumeList(const Catalogue& catalogue);

  int Count() const { return int(Captions.size()); }
  // Throw kestrix::Error "List index out of bounds (%d)" for an index outside 0..Count-1.
  const std::string& GetCaption(int index) const;
  const std::string& GetDrive(int index) const;
  // "%.2f GB" of Bytes / 2^30 when Bytes >= 1 GiB, else "%.2f MB" of Bytes / 2^20; rounded,
  // '.' as separator whatever the locale: 0 -> "0.00 MB", 2 MiB -> "2.00 MB".
  static std::string SizeText(double bytes);

  VolumeItem Item;
  std::vector<std::string> Captions;
  std::vector<std::string> Drives;

 private:
  void Enumerate(const Catalogue& catalogue);
};

// The media type text of a disk by its MEDIA_TYPE value: 0 "Unknown Media Type", 1-10
// "Floppy Disk", 11 "Removable Drive", 12 "Fixed Drive", 13-25 "Zip / Other", else "UNKNOWN".
std::string GetMediaTypeText(int mediaType);

// Cylinders x TracksPerCylinder x SectorsPerTrack x BytesPerSector, in unsigned 64-bit
// arithmetic: the bytes of the whole cylinders only. Sizes of sources use the exact device
// length instead (DiskProbe::length), which this product can fall short of by up to a cylinder.
std::uint64_t GetDiskSize(const DiskGeometry& geometry);

}  // namespace kestrix::sources
