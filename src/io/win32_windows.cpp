#include "io/win32.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include "io/errors.h"

namespace kestrix::win32 {

namespace {

struct Pair {
  DWORD code;
  int error;
};
// The first pair of an errno is the Win32 error whose text stands for it.
constexpr Pair kPairs[] = {
    {ERROR_FILE_NOT_FOUND, ENOENT},     {ERROR_PATH_NOT_FOUND, ENOENT},   {ERROR_INVALID_DRIVE, ENOENT},
    {ERROR_ACCESS_DENIED, EACCES},      {ERROR_PRIVILEGE_NOT_HELD, EPERM}, {ERROR_SHARING_VIOLATION, EBUSY},
    {ERROR_LOCK_VIOLATION, EBUSY},      {ERROR_DISK_FULL, ENOSPC},        {ERROR_HANDLE_DISK_FULL, ENOSPC},
    {ERROR_FILE_EXISTS, EEXIST},        {ERROR_ALREADY_EXISTS, EEXIST},   {ERROR_DIRECTORY, ENOTDIR},
    {ERROR_BAD_UNIT, ENODEV},           {ERROR_NOT_READY, ENODEV},         {ERROR_CRC, EIO},
    {ERROR_READ_FAULT, EIO},            {ERROR_WRITE_FAULT, EIO},         {ERROR_SECTOR_NOT_FOUND, EIO},
    {ERROR_IO_DEVICE, EIO},             {ERROR_INVALID_NAME, EINVAL},     {ERROR_FILE_TOO_LARGE, EFBIG},
    {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},  {ERROR_OUTOFMEMORY, ENOMEM},      {ERROR_WRITE_PROTECT, EROFS},
    {ERROR_BUFFER_OVERFLOW, ENAMETOOLONG}, {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
};

std::string messageText(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n = ::FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string out = n > 0 && text ? narrow(text) : std::string();
  if (text) ::LocalFree(text);
  // One sentence ends the engine's messages: no line break, no full stop of its own.
  while (!out.empty() && (out.back() == '\r' || out.back() == '\n' || out.back() == ' ' || out.back() == '.'))
    out.pop_back();
  if (out.empty()) out = "System error " + std::to_string(code);
  return out;
}

}  // namespace

std::wstring widen(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  std::wstring out(std::size_t(n > 0 ? n : 0), L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), out.data(), n);
  return out;
}

std::string narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string out(std::size_t(n > 0 ? n : 0), '\0');
  if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::string narrow(const wchar_t* wide) { return wide ? narrow(std::wstring(wide)) : std::string(); }

int errorOf(DWORD code) {
  for (const Pair& p : kPairs)
    if (p.code == code) return p.error;
  return kWin32Error + int(code & 0xFFFF);
}

int lastError() { return errorOf(::GetLastError()); }

Handle openPath(const std::string& path, DWORD access, DWORD share, DWORD disposition, DWORD flags) {
  return Handle(::CreateFileW(widen(path).c_str(), access, share, nullptr, disposition, flags, nullptr));
}

std::optional<std::vector<std::byte>> deviceAnswer(HANDLE device, DWORD code, const void* input, DWORD inputSize) {
  std::vector<std::byte> buffer(1024);
  for (int attempt = 0; attempt < 8; ++attempt) {
    DWORD returned = 0;
    if (::DeviceIoControl(device, code, const_cast<void*>(input), inputSize, buffer.data(), DWORD(buffer.size()),
                          &returned, nullptr)) {
      buffer.resize(returned);
      return buffer;
    }
    const DWORD err = ::GetLastError();
    if (err != ERROR_MORE_DATA && err != ERROR_INSUFFICIENT_BUFFER) return std::nullopt;
    buffer.resize(buffer.size() * 4);
  }
  return std::nullopt;
}

std::vector<RawExtent> volumeExtents(HANDLE volume) {
  std::vector<RawExtent> extents;
  const auto answer = deviceAnswer(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS);
  if (!answer || answer->size() < sizeof(DWORD) * 2) return extents;
  VOLUME_DISK_EXTENTS head;
  std::memcpy(&head, answer->data(), std::min(answer->size(), sizeof head));
  const std::size_t first = offsetof(VOLUME_DISK_EXTENTS, Extents);
  for (DWORD i = 0; i < head.NumberOfDiskExtents; ++i) {
    const std::size_t at = first + i * sizeof(DISK_EXTENT);
    if (at + sizeof(DISK_EXTENT) > answer->size()) break;
    DISK_EXTENT e;
    std::memcpy(&e, answer->data() + at, sizeof e);
    extents.push_back({std::uint32_t(e.DiskNumber), e.StartingOffset.QuadPart, e.ExtentLength.QuadPart});
  }
  return extents;
}

std::optional<std::uint32_t> diskNumber(HANDLE disk) {
  STORAGE_DEVICE_NUMBER number{};
  DWORD returned = 0;
  if (!::DeviceIoControl(disk, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number, sizeof number, &returned,
                         nullptr))
    return std::nullopt;
  return std::uint32_t(number.DeviceNumber);
}

std::optional<std::int64_t> deviceLength(HANDLE device) {
  GET_LENGTH_INFORMATION info{};
  DWORD returned = 0;
  if (!::DeviceIoControl(device, IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info, sizeof info, &returned, nullptr))
    return std::nullopt;
  return info.Length.QuadPart;
}

}  // namespace kestrix::win32

namespace kestrix {

std::string systemReason(int err) {
  if (err >= win32::kWin32Error) return win32::messageText(DWORD(err - win32::kWin32Error));
  for (const win32::Pair& p : win32::kPairs)
    if (p.error == err) return win32::messageText(p.code);
  return std::strerror(err);
}

}  // namespace kestrix
