// Where bytes live on Windows. A disk or volume source holds the physical disks under it (a
// volume's disk extents, a disk's own number); a file source holds that file (volume serial and
// file index). A folder's writes land on the disks under the volume that GetVolumePathNameW
// names for its real path (junctions and links followed).
#include <climits>
#include <cwchar>
#include <vector>

#include "io/win32.h"
#include "io/storage.h"

namespace kestrix::sources {

namespace {

// The physical disks under a device path: \\.\PhysicalDriveN, \\.\X: or \\?\Volume{...}.
void addDisksOf(const std::string& devicePath, StorageSet& set) {
  const win32::Handle device = win32::openPath(devicePath, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING, 0);
  if (!device.valid()) return;
  if (const auto number = win32::diskNumber(device.get()); number && devicePath.find("PhysicalDrive") != std::string::npos) {
    set.devices.insert(*number);
    return;
  }
  for (const win32::RawExtent& e : win32::volumeExtents(device.get())) set.devices.insert(e.disk);
}

// "C:\" or "C:\mnt\data\" for a folder: the mount point of the volume that holds it.
std::wstring volumeRootOf(const std::string& folder) {
  // The real path first: a junction or a link in the way leads to another volume.
  std::wstring path = win32::widen(folder);
  const win32::Handle h = win32::openPath(folder, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (h.valid()) {
    std::wstring real(32768, L'\0');
    const DWORD n = ::GetFinalPathNameByHandleW(h.get(), real.data(), DWORD(real.size()), FILE_NAME_NORMALIZED);
    if (n > 0 && n < real.size()) path = real.substr(0, n);
  }
  std::wstring root(32768, L'\0');
  if (!::GetVolumePathNameW(path.c_str(), root.data(), DWORD(root.size()))) return {};
  root.resize(wcslen(root.c_str()));
  return root;
}

}  // namespace

StorageSet sourceStorage(const scan::FileIdentity& source, const StorageRoots&) {
  StorageSet set;
  if (!source.known) return set;
  if (!source.devicePath.empty())
    addDisksOf(source.devicePath, set);
  else
    set.files.insert({source.device, source.inode});
  return set;
}

StorageSet folderStorage(const std::string& folder) {
  StorageSet set;
  const std::wstring root = volumeRootOf(folder);
  if (root.empty()) return set;
  wchar_t volume[MAX_PATH] = {};
  if (!::GetVolumeNameForVolumeMountPointW(root.c_str(), volume, MAX_PATH)) return set;
  std::wstring name = volume;  // \\?\Volume{...}\ : the device is the name without its last backslash
  if (!name.empty() && name.back() == L'\\') name.pop_back();
  addDisksOf(win32::narrow(name), set);
  return set;
}

// The folder is held open without FILE_SHARE_DELETE while it is written into: its path cannot
// be made to lead elsewhere, so the path answers for the handle.
StorageSet openFolderStorage(std::intptr_t, const std::string& path) { return folderStorage(path); }

bool kernelFolder(std::intptr_t) { return false; }

PathEntry entryAt(const std::string& path) {
  PathEntry entry;
  const std::wstring wide = win32::widen(path);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!::GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) return entry;
  entry.exists = true;
  entry.link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  if (path.size() > 4 && (path.compare(0, 4, "\\\\.\\") == 0)) entry.kind = PathKind::Device;
  else if (!entry.link && (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) entry.kind = PathKind::Folder;
  // The file the name leads to, through a link.
  const win32::Handle h = win32::openPath(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                          OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  BY_HANDLE_FILE_INFORMATION info{};
  if (h.valid() && ::GetFileInformationByHandle(h.get(), &info)) {
    entry.known = true;
    entry.device = info.dwVolumeSerialNumber;
    entry.inode = (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    if (entry.link && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) entry.kind = PathKind::Folder;
  }
  return entry;
}

FolderSpace folderSpace(const std::string& folder) {
  FolderSpace space;
  const std::wstring root = volumeRootOf(folder);
  wchar_t fileSystem[MAX_PATH + 1] = {};
  DWORD flags = 0;
  if (!root.empty() && ::GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, &flags, fileSystem,
                                               MAX_PATH + 1)) {
    const std::wstring name = fileSystem;
    space.holes = (flags & FILE_SUPPORTS_SPARSE_FILES) != 0;
    if (name == L"FAT" || name == L"FAT32") space.largestFile = 0xFFFFFFFFll;  // 4 GiB - 1
  }
  ULARGE_INTEGER available{};
  if (::GetDiskFreeSpaceExW(win32::widen(folder).c_str(), &available, nullptr, nullptr))
    space.freeBytes = available.QuadPart > std::uint64_t(INT64_MAX) ? INT64_MAX : std::int64_t(available.QuadPart);
  return space;
}

// The file systems Windows writes to keep their limit in their name (folderSpace).
bool lengthFits(const std::string&, std::int64_t) { return true; }

}  // namespace kestrix::sources
