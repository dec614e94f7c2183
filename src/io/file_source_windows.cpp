// Reading files, disks and volumes on Windows: CreateFileW, ReadFile at 64-bit offsets. A disk
// or volume answers only whole sectors at sector-aligned offsets into sector-aligned memory, so
// its reads go through readWholeSectors.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include "io/byte_source.h"
#include "io/win32.h"

namespace kestrix::scan {

namespace {

HANDLE handleOf(std::intptr_t fd) { return reinterpret_cast<HANDLE>(fd); }

bool isDeviceName(const std::string& path) {
  return path.size() > 4 && (path.compare(0, 4, "\\\\.\\") == 0 || path.compare(0, 4, "\\\\?\\") == 0) &&
         path.find('\\', 4) == std::string::npos;
}

// ReadFile at an offset; the count read, with the error that cut it short.
std::size_t readHandle(HANDLE h, std::int64_t offset, std::byte* out, std::size_t size, int& error) {
  std::size_t done = 0;
  error = 0;
  while (done < size) {
    OVERLAPPED at{};
    const std::int64_t where = offset + std::int64_t(done);
    at.Offset = DWORD(std::uint64_t(where) & 0xFFFFFFFFu);
    at.OffsetHigh = DWORD(std::uint64_t(where) >> 32);
    const DWORD want = DWORD(std::min<std::size_t>(size - done, 1u << 30));
    DWORD got = 0;
    if (!::ReadFile(h, out + done, want, &got, &at)) {
      const DWORD err = ::GetLastError();
      if (err != ERROR_HANDLE_EOF) error = win32::errorOf(err);
      break;
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

}  // namespace

FileByteSource::FileByteSource(std::string path) : m_path(std::move(path)) {
  const bool device = isDeviceName(m_path);
  if (!device) {
    const DWORD attributes = ::GetFileAttributesW(win32::widen(m_path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
      throw SourceOpenError(m_path, EISDIR);
  }
  win32::Handle h = win32::openPath(m_path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL);
  if (!h.valid()) throw SourceOpenError(m_path, win32::lastError());
  if (device) {
    DISK_GEOMETRY geometry{};
    DWORD returned = 0;
    const bool hasGeometry = ::DeviceIoControl(h.get(), IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry,
                                               sizeof geometry, &returned, nullptr) != 0;
    m_sectorSize = hasGeometry && geometry.BytesPerSector >= 512 ? geometry.BytesPerSector
                                                                   : 4096;  // a multiple of every sector size in use
    // The exact length; a device that does not give it (some drivers, Wine) is read over its
    // whole cylinders.
    const auto length = win32::deviceLength(h.get());
    if (!length && !hasGeometry) throw SourceOpenError(m_path, win32::lastError());
    m_size = length ? *length
                    : geometry.Cylinders.QuadPart * std::int64_t(geometry.TracksPerCylinder) *
                          std::int64_t(geometry.SectorsPerTrack) * std::int64_t(geometry.BytesPerSector);
    m_identity.known = true;
    m_identity.devicePath = m_path;
  } else {
    const DWORD type = ::GetFileType(h.get());
    if (type != FILE_TYPE_DISK)
      throw Error(Message{Message::Code::NotByOffset, {m_path, type == FILE_TYPE_PIPE ? "pipe" : "chardev"}});
    LARGE_INTEGER size{};
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileSizeEx(h.get(), &size) || !::GetFileInformationByHandle(h.get(), &info))
      throw SourceOpenError(m_path, win32::lastError());
    m_size = size.QuadPart;
    m_regular = true;
    m_identity = {true, info.dwVolumeSerialNumber,
                  (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow, 0, {}};
  }
  m_fd = reinterpret_cast<std::intptr_t>(h.release());
}

FileByteSource::~FileByteSource() { ::CloseHandle(handleOf(m_fd)); }

std::size_t FileByteSource::readAt(std::int64_t offset, std::span<std::byte> out) {
  m_lastError = 0;
  if (offset < 0 || out.empty()) return 0;
  if (m_sectorSize == 0) return readHandle(handleOf(m_fd), offset, out.data(), out.size(), m_lastError);
  return readWholeSectors(
      [this](std::int64_t at, std::byte* buffer, std::size_t length) {
        return readHandle(handleOf(m_fd), at, buffer, length, m_lastError);
      },
      m_sectorSize, m_size, offset, out);
}

// Holes are not looked for here: a sparse file is read as it is, its zeros included.
ByteSource::Stretch FileByteSource::dataFrom(std::int64_t offset) { return {offset, m_size}; }

}  // namespace kestrix::scan
