#include "scan/byte_source.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestrix {

std::string systemReason(int err) { return std::strerror(err); }

std::string cannotOpenMessage(const std::string& path, int err) {
  return "Cannot open file \"" + path + "\". " + systemReason(err);
}

SourceOpenError::SourceOpenError(std::string path, int err)
    : Error(Message{Message::Code::CannotOpen, {path}, err}), m_path(std::move(path)), m_error(err) {}

Message messageOf(const std::exception& e) {
  if (const auto* error = dynamic_cast<const Error*>(&e)) return error->message();
  return {Message::Code::Text, {e.what()}};
}

}  // namespace kestrix

namespace kestrix::scan {

FileByteSource::FileByteSource(std::string path) : m_path(std::move(path)) {
  m_fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (m_fd < 0) throw SourceOpenError(m_path, errno);
  struct stat st {};
  if (::fstat(m_fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    const int err = S_ISDIR(st.st_mode) ? EISDIR : errno;
    ::close(m_fd);
    throw SourceOpenError(m_path, err);
  }
  if (S_ISREG(st.st_mode)) {
    m_size = st.st_size;
  } else {
    // Device nodes report no length in stat; seeking to the end gives the whole device.
    const off_t end = ::lseek(m_fd, 0, SEEK_END);
    m_size = end < 0 ? 0 : end;
    // A pipe or a stream gives its bytes once, front to back, and has no length: read as a
    // source it would look empty, and a scan of it would find nothing and say so as success.
    const char* what = S_ISFIFO(st.st_mode) ? "pipe" : S_ISSOCK(st.st_mode) ? "socket"
                       : !S_ISBLK(st.st_mode) && end <= 0 ? "chardev" : nullptr;
    if (what) {
      ::close(m_fd);
      throw Error(Message{Message::Code::NotByOffset, {m_path, what}});
    }
  }
  m_identity = {true, std::uint64_t(st.st_dev), std::uint64_t(st.st_ino),
                S_ISBLK(st.st_mode) ? std::uint64_t(st.st_rdev) : 0};
}

FileByteSource::~FileByteSource() {
  if (m_fd >= 0) ::close(m_fd);
}

std::size_t FileByteSource::readAt(std::int64_t offset, std::span<std::byte> out) {
  m_lastError = 0;
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::pread(m_fd, out.data() + done, out.size() - done, offset + std::int64_t(done));
    if (n > 0) {
      done += std::size_t(n);
    } else if (n == 0) {
      break;
    } else if (errno != EINTR) {
      m_lastError = errno;
      break;
    }
  }
  return done;
}

void readSectorsRetrying(ByteSource& src, std::int64_t offset, std::span<std::byte> out,
                         std::vector<SectorRun>& unreadable) {
  constexpr std::size_t kSector = 512;
  const std::size_t got = src.readAt(offset, out);
  if (got == out.size()) return;
  for (std::size_t at = got / kSector * kSector; at < out.size(); at += kSector) {
    std::span<std::byte> sector = out.subspan(at, std::min(kSector, out.size() - at));
    const std::size_t n = src.readAt(offset + std::int64_t(at), sector);
    if (n == sector.size()) continue;
    std::fill(sector.begin(), sector.end(), std::byte{0});
    if (sector.size() < kSector) continue;  // a part-sector at the very end is never tested
    const std::int64_t bad = (offset + std::int64_t(at)) / std::int64_t(kSector);
    if (!unreadable.empty() && unreadable.back().first + unreadable.back().count == bad)
      ++unreadable.back().count;
    else
      unreadable.push_back({bad, 1});
  }
}

void readExactly(ByteSource& src, std::int64_t offset, std::span<std::byte> out) {
  const std::size_t got = src.readAt(offset, out);
  if (got == out.size()) return;
  throw Error(Message{Message::Code::CannotRead, {src.name(), std::to_string(offset + std::int64_t(got))},
                      src.lastError()});
}

}  // namespace kestrix::scan
