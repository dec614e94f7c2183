#include "sources/volume_list.h"

#include <charconv>
#include <cstdio>

#include "io/size_text.h"

namespace kestrix::sources {

TNTVolumeInfo::TNTVolumeInfo(const Catalogue& catalogue, const std::string& drive) : Drive(drive) {
  ReadVolumeInformation(catalogue);
  ReadDiskExtent(catalogue);
}

void TNTVolumeInfo::ReadVolumeInformation(const Catalogue& catalogue) {
  VolumeLabel.clear();
  SerialText.clear();
  FileSystem.clear();
  TotalSize = FreeSize = 0;
  if (Drive.empty()) return;
  const char letter = Drive[0];
  if (const auto info = catalogue.volumeInformation(letter)) {
    VolumeLabel = info->label;
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08X", unsigned(info->serial));
    SerialText = hex;
    FileSystem = info->fileSystem;
  }
  if (const auto space = catalogue.freeSpace(letter)) {
    TotalSize = space->total;
    FreeSize = space->availableToCaller;
  }
}

void TNTVolumeInfo::ReadDiskExtent(const Catalogue& catalogue) {
  Extent = DiskExtent{};
  DriveKind.clear();
  if (Drive.empty()) return;
  const char letter = Drive[0];
  const DriveType type = catalogue.driveType(letter);
  switch (type) {
    case DriveType::Removable:
    case DriveType::RamDisk: DriveKind = "RD"; break;
    case DriveType::Fixed: DriveKind = "HD"; break;
    case DriveType::Remote: DriveKind = "ND"; break;
    case DriveType::CdRom: DriveKind = "CD"; break;
    default: break;
  }
  if (type != DriveType::Removable && type != DriveType::Fixed) return;
  if (const auto extent = catalogue.volumeExtent(letter)) Extent = *extent;
}

TNTVolumeList::TNTVolumeList(const Catalogue& catalogue) { Enumerate(catalogue); }

void TNTVolumeList::Enumerate(const Catalogue& catalogue) {
  for (char letter = 'C'; letter <= 'Z'; ++letter) {
    const TNTVolumeInfo current(catalogue, std::string(1, letter));
    if (current.Extent.DiskNumber == 255 && current.VolumeLabel.empty()) continue;
    Item.Drive = current.Drive;
    Item.VolumeLabel = current.VolumeLabel;
    Item.DriveKind = current.DriveKind;
    Item.DiskId = current.DriveKind + std::to_string(current.Extent.DiskNumber);
    Item.FileSystem = current.FileSystem;
    Item.SerialText = current.SerialText;
    Item.TotalSize = current.TotalSize;
    Item.FreeSize = current.FreeSize;
    Item.Filled = true;
    Drives.push_back(current.Drive);
    Captions.push_back(current.VolumeLabel + " (" + current.Drive + ":), " + Item.DiskId + ", " + current.FileSystem +
                       ", [" + SizeText(double(current.FreeSize)) + "/" + SizeText(double(current.TotalSize)) + "]");
  }
}

namespace {

const std::string& at(const std::vector<std::string>& list, int index) {
  if (index < 0 || index >= int(list.size()))
    throw Error("List index out of bounds (" + std::to_string(index) + ")");
  return list[std::size_t(index)];
}

}  // namespace

const std::string& TNTVolumeList::GetCaption(int index) const { return at(Captions, index); }
const std::string& TNTVolumeList::GetDrive(int index) const { return at(Drives, index); }

std::string TNTVolumeList::SizeText(double bytes) {
  // GB from 1 GiB on: below it two decimals of GB would show a volume of a few MiB as 0.00 GB.
  const bool gb = bytes >= 1073741824.0;
  const double value = gb ? bytes / 1024 / 1024 / 1024 : bytes / 1024 / 1024;
  // to_chars ignores the locale: the window sets one from the environment, and the
  // captions keep '.' as their separator.
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 2).ptr;
  return std::string(text, end) + (gb ? " GB" : " MB");
}

std::string GetMediaTypeText(int mediaType) {
  if (mediaType == 0) return "Unknown Media Type";
  if (mediaType >= 1 && mediaType <= 10) return "Floppy Disk";
  if (mediaType == 11) return "Removable Drive";
  if (mediaType == 12) return "Fixed Drive";
  if (mediaType >= 13 && mediaType <= 25) return "Zip / Other";
  return "UNKNOWN";
}

std::uint64_t GetDiskSize(const DiskGeometry& g) {
  return std::uint64_t(g.Cylinders) * g.TracksPerCylinder * g.SectorsPerTrack * g.BytesPerSector;
}

}  // namespace kestrix::sources
