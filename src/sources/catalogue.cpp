#include "sources/catalogue.h"

#include <cctype>
#include <cerrno>

#include "io/size_text.h"
#include "sources/image_source.h"

namespace kestrix::sources {

DiskGeometry standardGeometry(std::int64_t length, std::uint32_t bytesPerSector, bool removable) {
  DiskGeometry g;
  g.MediaType = removable ? kMediaRemovable : kMediaFixed;
  g.TracksPerCylinder = 255;
  g.SectorsPerTrack = 63;
  g.BytesPerSector = bytesPerSector;
  g.Cylinders = bytesPerSector == 0 ? 0 : length / (255 * 63 * std::int64_t(bytesPerSector));
  return g;
}

std::unique_ptr<scan::ByteSource> Catalogue::open(const std::string& nativePath) const {
  return openReadOnly(nativePath);
}

std::unique_ptr<scan::ByteSource> openReadOnly(const std::string& path) {
  // A disk image kept in a container is read as the disk it holds.
  return openImage(std::make_unique<scan::FileByteSource>(path));
}

std::string SourcePathOf(const std::string& text) {
  // Only the exact forms name devices: "PhysicalDrive_old.img" or "d:x" are files.
  const std::string physical = PhysicalDriveName;
  const std::string digits = text.size() > physical.size() ? text.substr(physical.size()) : "";
  if (text.compare(0, physical.size(), physical) == 0 && !digits.empty() && digits.size() <= 6 &&
      digits.find_first_not_of("0123456789") == std::string::npos)
    return DevicePrefix + text;
  const bool letter = text.size() >= 2 && std::isalpha(static_cast<unsigned char>(text[0])) &&
                      text.compare(1, 1, DriveSuffix) == 0;
  if (letter && (text.size() == 2 || text.substr(1) == RootSuffix)) return DevicePrefix + text.substr(0, 2);
  return text;
}

std::string NativePathOf(const Catalogue& catalogue, const std::string& sourcePath) {
  const std::string prefix = DevicePrefix;
  if (sourcePath.compare(0, prefix.size(), prefix) != 0) return sourcePath;
  const std::string physical = prefix + PhysicalDriveName;
  std::string node;
  if (sourcePath.compare(0, physical.size(), physical) == 0) {
    const std::string digits = sourcePath.substr(physical.size());
    if (!digits.empty() && digits.size() <= 6 &&
        digits.find_first_not_of("0123456789") == std::string::npos)
      node = catalogue.diskNode(std::stoi(digits));
  } else if (sourcePath.size() > prefix.size()) {
    const char letter = char(std::toupper(static_cast<unsigned char>(sourcePath[prefix.size()])));
    if (letter >= 'C' && letter <= 'Z') node = catalogue.volumeNode(letter);
  }
  if (node.empty()) throw SourceOpenError(sourcePath, ENODEV);
  return node;
}

}  // namespace kestrix::sources
