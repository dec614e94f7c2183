// The Win32 calls behind the Windows catalogue (windows_catalogue.h), and the rest of what the
// sources library asks of Windows: device paths, the rights reading a disk needs, the program's
// folder.
#include <cerrno>
#include <cwchar>
#include <iterator>

#include "io/win32.h"
#include "sources/program_files.h"
#include "io/size_text.h"
#include "sources/windows_catalogue.h"

namespace kestrix::sources {

namespace {

std::wstring rootOf(char letter) { return std::wstring(1, wchar_t(letter)) + L":\\"; }

class Win32Calls final : public WindowsCalls {
 public:
  std::string logicalDrives() const override {
    wchar_t text[4 * 26 + 2] = {};
    const DWORD n = ::GetLogicalDriveStringsW(DWORD(std::size(text)), text);
    std::string letters;
    // "C:\<NUL>D:\<NUL><NUL>"
    for (DWORD i = 0; i < n && i < std::size(text); i += DWORD(wcslen(text + i)) + 1)
      if (text[i] >= L'A' && text[i] <= L'Z') letters += char(text[i]);
    return letters;
  }

  unsigned driveType(char letter) const override { return ::GetDriveTypeW(rootOf(letter).c_str()); }

  std::optional<VolumeInformation> volumeInformation(char letter) const override {
    wchar_t label[MAX_PATH + 1] = {}, fileSystem[MAX_PATH + 1] = {};
    DWORD serial = 0, longest = 0, flags = 0;
    if (!::GetVolumeInformationW(rootOf(letter).c_str(), label, MAX_PATH + 1, &serial, &longest, &flags, fileSystem,
                                 MAX_PATH + 1))
      return std::nullopt;
    return VolumeInformation{win32::narrow(label), std::uint32_t(serial), win32::narrow(fileSystem)};
  }

  std::optional<FreeSpace> freeSpace(char letter) const override {
    ULARGE_INTEGER available{}, total{}, free{};
    if (!::GetDiskFreeSpaceExW(rootOf(letter).c_str(), &available, &total, &free)) return std::nullopt;
    return FreeSpace{std::int64_t(available.QuadPart), std::int64_t(total.QuadPart), std::int64_t(free.QuadPart)};
  }

  std::optional<std::vector<DiskExtent>> volumeExtents(char letter) const override {
    const std::string node = std::string(DevicePrefix) + letter + DriveSuffix;
    const win32::Handle volume = win32::openPath(node, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    if (!volume.valid()) return std::nullopt;
    const auto raw = win32::volumeExtents(volume.get());
    if (raw.empty()) return std::nullopt;
    std::vector<DiskExtent> extents;
    for (const auto& e : raw) extents.push_back({e.disk, e.start, e.length});
    return extents;
  }

  Disk disk(int number) const override {
    Disk d;
    const std::string node = std::string(DevicePrefix) + PhysicalDriveName + std::to_string(number);
    const win32::Handle h = win32::openPath(node, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
    if (!h.valid()) {
      const DWORD err = ::GetLastError();
      d.open = err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND ? Disk::Open::Missing : Disk::Open::Refused;
      d.error = win32::errorOf(err);
      return d;
    }
    d.open = Disk::Open::Yes;
    d.length = win32::deviceLength(h.get());
    DISK_GEOMETRY g{};
    DWORD returned = 0;
    if (::DeviceIoControl(h.get(), IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, sizeof g, &returned, nullptr))
      d.geometry = DiskGeometry{g.Cylinders.QuadPart, int(g.MediaType), std::uint32_t(g.TracksPerCylinder),
                                std::uint32_t(g.SectorsPerTrack), std::uint32_t(g.BytesPerSector)};
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    if (const auto answer = win32::deviceAnswer(h.get(), IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query))
      d.descriptor = *answer;
    return d;
  }
};

}  // namespace

const Catalogue& systemCatalogue() {
  static const Win32Calls calls;
  static const WindowsCatalogue catalogue(calls);
  return catalogue;
}

bool isDevicePath(const std::string& path) { return path.compare(0, 4, DevicePrefix) == 0; }

std::string readerGroupOf(const std::string&) { return {}; }

std::string rightsNeededText(const std::string& nativePath) {
  return "Reading \"" + nativePath +
         "\" needs an administrator's rights: run kestrix-cli from a command prompt opened with "
         "\"Run as administrator\".";
}

std::filesystem::path programDir() {
  std::wstring path(32768, L'\0');
  const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
  if (n == 0 || n >= path.size()) return {};
  path.resize(n);
  return std::filesystem::path(path).parent_path();
}

}  // namespace kestrix::sources
