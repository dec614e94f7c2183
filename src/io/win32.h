#pragma once
// What the Windows parts of the engine share: UTF-8 inside, UTF-16 at every system call;
// handles that close themselves; and system errors carried in the engine's int error codes.
// An error with an errno counterpart travels as that errno (so callers test EACCES, ENOENT ...
// as on Linux); any other one as kWin32Error + its code. systemReason() gives FormatMessageW's
// text for both.

#ifndef _WIN32
#error "win32.h is for the Windows build only"
#endif

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winioctl.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrix::win32 {

inline constexpr int kWin32Error = 0x40000000;

std::wstring widen(const std::string& utf8);
std::string narrow(const std::wstring& wide);
std::string narrow(const wchar_t* wide);

// The engine's error code for a Win32 error (GetLastError()).
int errorOf(DWORD code);
int lastError();

// A HANDLE closed on every path out; INVALID_HANDLE_VALUE when none.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE h) : m_h(h) {}
  ~Handle() { reset(); }
  Handle(Handle&& o) noexcept : m_h(o.m_h) { o.m_h = INVALID_HANDLE_VALUE; }
  Handle& operator=(Handle&& o) noexcept {
    if (this != &o) {
      reset();
      m_h = o.m_h;
      o.m_h = INVALID_HANDLE_VALUE;
    }
    return *this;
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return m_h; }
  bool valid() const { return m_h != INVALID_HANDLE_VALUE && m_h != nullptr; }
  HANDLE release() {
    HANDLE h = m_h;
    m_h = INVALID_HANDLE_VALUE;
    return h;
  }
  void reset() {
    if (valid()) ::CloseHandle(m_h);
    m_h = INVALID_HANDLE_VALUE;
  }

 private:
  HANDLE m_h = INVALID_HANDLE_VALUE;
};

// CreateFileW for a UTF-8 path.
Handle openPath(const std::string& path, DWORD access, DWORD share, DWORD disposition, DWORD flags);

// A DeviceIoControl request without input that fills a buffer, grown as the answer needs;
// nullopt when the request fails.
std::optional<std::vector<std::byte>> deviceAnswer(HANDLE device, DWORD code, const void* input = nullptr,
                                                   DWORD inputSize = 0);

// The disk numbers of the extents of an open volume (IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS) as
// (disk, starting offset, length), in the order the system gives them.
struct RawExtent {
  std::uint32_t disk = 0;
  std::int64_t start = 0;
  std::int64_t length = 0;
};
std::vector<RawExtent> volumeExtents(HANDLE volume);

// The number of an open physical disk (IOCTL_STORAGE_GET_DEVICE_NUMBER); nullopt when unknown.
std::optional<std::uint32_t> diskNumber(HANDLE disk);

// The exact length of an open disk or volume (IOCTL_DISK_GET_LENGTH_INFO); nullopt when unknown.
std::optional<std::int64_t> deviceLength(HANDLE device);

}  // namespace kestrix::win32
