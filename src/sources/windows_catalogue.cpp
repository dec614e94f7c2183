#include "sources/windows_catalogue.h"

#include <algorithm>
#include <cctype>

#include "io/size_text.h"
#include "sources/volume_list.h"

namespace kestrix::sources {

namespace {

char upper(char letter) { return char(std::toupper(static_cast<unsigned char>(letter))); }

// A little-endian 32-bit field of the descriptor; 0 when outside it.
std::uint32_t field(std::span<const std::byte> bytes, std::size_t at) {
  if (at + 4 > bytes.size()) return 0;
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | std::uint32_t(bytes[at + std::size_t(i)]);
  return v;
}

// The NUL-terminated text at offset, blanks trimmed; "" for offset 0 or one outside the bytes.
std::string textAt(std::span<const std::byte> bytes, std::uint32_t offset) {
  if (offset == 0 || offset >= bytes.size()) return {};
  std::string text;
  for (std::size_t i = offset; i < bytes.size() && bytes[i] != std::byte{0}; ++i) {
    const char c = char(bytes[i]);
    text += std::isprint(static_cast<unsigned char>(c)) ? c : ' ';
  }
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

std::string deviceDescription(std::span<const std::byte> descriptor) {
  // Version, Size, four one-byte fields, then the offsets of vendor, product, revision, serial.
  const std::size_t size = std::min<std::size_t>(descriptor.size(), field(descriptor, 4));
  const auto bytes = descriptor.first(size);
  const std::string vendor = textAt(bytes, field(bytes, 12));
  const std::string product = textAt(bytes, field(bytes, 16));
  const std::string serial = textAt(bytes, field(bytes, 24));
  std::string text = vendor;
  if (!product.empty()) text += (text.empty() ? "" : " ") + product;
  if (!serial.empty()) text += (text.empty() ? "SN " : ", SN ") + serial;
  return text;
}

bool WindowsCatalogue::exists(char letter) const {
  const char u = upper(letter);
  return u >= 'C' && u <= 'Z' && m_calls.logicalDrives().find(u) != std::string::npos;
}

std::optional<VolumeInformation> WindowsCatalogue::volumeInformation(char letter) const {
  return exists(letter) ? m_calls.volumeInformation(upper(letter)) : std::nullopt;
}

std::optional<FreeSpace> WindowsCatalogue::freeSpace(char letter) const {
  return exists(letter) ? m_calls.freeSpace(upper(letter)) : std::nullopt;
}

DriveType WindowsCatalogue::driveType(char letter) const {
  if (!exists(letter)) return DriveType::NoRootDir;
  const unsigned type = m_calls.driveType(upper(letter));
  return type <= unsigned(DriveType::RamDisk) ? DriveType(type) : DriveType::Unknown;
}

std::optional<DiskExtent> WindowsCatalogue::volumeExtent(char letter) const {
  if (!exists(letter)) return std::nullopt;
  const auto extents = m_calls.volumeExtents(upper(letter));
  if (!extents || extents->empty()) return std::nullopt;
  return extents->front();
}

std::string WindowsCatalogue::volumeNode(char letter) const {
  return exists(letter) ? std::string(DevicePrefix) + upper(letter) + DriveSuffix : std::string();
}

DiskProbe WindowsCatalogue::probeDisk(int number) const {
  DiskProbe probe;
  if (number < 0 || number > 255) return probe;
  const WindowsCalls::Disk disk = m_calls.disk(number);
  if (disk.open == WindowsCalls::Disk::Open::Missing) return probe;
  probe.nativePath = std::string(DevicePrefix) + PhysicalDriveName + std::to_string(number);
  if (disk.open == WindowsCalls::Disk::Open::Refused) {
    probe.state = DiskProbe::State::Unreadable;
    probe.error = disk.error;
    return probe;
  }
  probe.state = DiskProbe::State::Open;
  // The exact length; a disk that does not give it is as long as its whole cylinders.
  probe.length = disk.length ? *disk.length : disk.geometry ? std::int64_t(GetDiskSize(*disk.geometry)) : 0;
  probe.geometry = disk.geometry ? *disk.geometry : standardGeometry(probe.length, 512, false);
  probe.description = deviceDescription(disk.descriptor);
  return probe;
}

std::string WindowsCatalogue::diskNode(int number) const {
  if (number < 0 || number > 255 || m_calls.disk(number).open == WindowsCalls::Disk::Open::Missing) return {};
  return std::string(DevicePrefix) + PhysicalDriveName + std::to_string(number);
}

}  // namespace kestrix::sources
