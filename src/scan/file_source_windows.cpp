// Reading files, disks and volumes on Windows: CreateFileW, ReadFile at 64-bit offsets. A disk
// or volume answers only whole sectors at sector-aligned offsets into sector-aligned memory, so
// its reads go through an aligned buffer of whole sectors and the asked bytes are copied out.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "scan/byte_source.h"
#include "scan/win32.h"

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

struct AlignedFree {
  void operator()(std::byte* p) const { _aligned_free(p); }
};

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
    const auto length = win32::deviceLength(h.get());
    if (!length) throw SourceOpenError(m_path, win32::lastError());
    m_size = *length;
    DISK_GEOMETRY geometry{};
    DWORD returned = 0;
    m_sectorSize = ::DeviceIoControl(h.get(), IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry, sizeof geometry,
                                     &returned, nullptr) && geometry.BytesPerSector >= 512
                       ? geometry.BytesPerSector
                       : 4096;  // a multiple of every sector size in use
    m_identity.known = true;
    m_identity.devicePath = m_path;
  } else {
    const DWORD type = ::GetFileType(h.get());
    if (type != FILE_TYPE_DISK)
      throw Error("Cannot read \"" + m_path + "\" as a source: it is " +
                  (type == FILE_TYPE_PIPE ? "a pipe" : "a character device without a length") +
                  ", which cannot be read by offset. Save its data to a file and give that file");
    LARGE_INTEGER size{};
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileSizeEx(h.get(), &size) || !::GetFileInformationByHandle(h.get(), &info))
      throw SourceOpenError(m_path, win32::lastError());
    m_size = size.QuadPart;
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
  // A device: whole sectors from the sector at or before offset, never past the end.
  if (offset >= m_size) return 0;
  const std::int64_t sector = m_sectorSize;
  const std::int64_t end = std::min<std::int64_t>(offset + std::int64_t(out.size()), m_size);
  const std::int64_t first = offset / sector * sector;
  const std::int64_t last = (end + sector - 1) / sector * sector;
  constexpr std::int64_t kChunk = 1 << 20;
  std::unique_ptr<std::byte, AlignedFree> buffer(
      static_cast<std::byte*>(_aligned_malloc(std::size_t(std::min(kChunk, last - first)), std::size_t(sector))));
  if (!buffer) {
    m_lastError = ENOMEM;
    return 0;
  }
  std::size_t done = 0;
  for (std::int64_t at = first; at < last; at += kChunk) {
    const std::int64_t length = std::min(kChunk, last - at);
    const std::size_t got = readHandle(handleOf(m_fd), at, buffer.get(), std::size_t(length), m_lastError);
    // The part of what came back that was asked for.
    const std::int64_t from = std::max(at, offset);
    const std::int64_t to = std::min(at + std::int64_t(got), end);
    if (to > from) {
      std::memcpy(out.data() + (from - offset), buffer.get() + (from - at), std::size_t(to - from));
      done = std::size_t(to - offset);
    }
    if (std::int64_t(got) < length) break;
  }
  return done;
}

}  // namespace kestrix::scan
