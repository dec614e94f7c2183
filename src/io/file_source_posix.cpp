// Reading files and device nodes on Linux: open, fstat, pread.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "io/byte_source.h"

namespace kestrix {

std::string systemReason(int err) { return std::strerror(err); }

}  // namespace kestrix

namespace kestrix::scan {

FileByteSource::FileByteSource(std::string path) : m_path(std::move(path)) {
  // O_NONBLOCK: opening a FIFO would wait for a writer, past any Ctrl-C; it is refused below.
  m_fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (m_fd < 0) throw SourceOpenError(m_path, errno);
  const int flags = ::fcntl(int(m_fd), F_GETFL);
  if (flags != -1) ::fcntl(int(m_fd), F_SETFL, flags & ~O_NONBLOCK);
  struct stat st {};
  if (::fstat(int(m_fd), &st) != 0 || S_ISDIR(st.st_mode)) {
    const int err = S_ISDIR(st.st_mode) ? EISDIR : errno;
    ::close(int(m_fd));
    throw SourceOpenError(m_path, err);
  }
  if (S_ISREG(st.st_mode)) {
    m_size = st.st_size;
    m_regular = true;
  } else {
    // Device nodes report no length in stat; seeking to the end gives the whole device.
    const off_t end = ::lseek(int(m_fd), 0, SEEK_END);
    m_size = end < 0 ? 0 : end;
    // A pipe or a stream gives its bytes once, front to back, and has no length: read as a
    // source it would look empty, and a scan of it would find nothing and say so as success.
    const char* what = S_ISFIFO(st.st_mode) ? "pipe" : S_ISSOCK(st.st_mode) ? "socket"
                       : !S_ISBLK(st.st_mode) && end <= 0 ? "chardev" : nullptr;
    if (what) {
      ::close(int(m_fd));
      throw Error(Message{Message::Code::NotByOffset, {m_path, what}});
    }
  }
  m_identity = {true, std::uint64_t(st.st_dev), std::uint64_t(st.st_ino),
                S_ISBLK(st.st_mode) ? std::uint64_t(st.st_rdev) : 0, {}};
}

FileByteSource::~FileByteSource() {
  if (m_fd >= 0) ::close(int(m_fd));
}

std::size_t FileByteSource::readAt(std::int64_t offset, std::span<std::byte> out) {
  m_lastError = 0;
  std::size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = ::pread(int(m_fd), out.data() + done, out.size() - done, offset + std::int64_t(done));
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

ByteSource::Stretch FileByteSource::dataFrom(std::int64_t offset) {
  if (!m_regular || offset >= m_size) return {offset, m_size};
  const off_t data = ::lseek(int(m_fd), offset, SEEK_DATA);
  if (data < 0) {
    // ENXIO: nothing but a hole up to the end. Unless the file has become shorter than the
    // offset: then the reads are to find out where it ends now, as they do without holes.
    struct stat st {};
    if (errno == ENXIO && ::fstat(int(m_fd), &st) == 0 && st.st_size >= m_size) return {m_size, m_size};
    return {offset, m_size};  // EINVAL: the file system cannot tell
  }
  const off_t hole = ::lseek(int(m_fd), data, SEEK_HOLE);
  const std::int64_t first = std::min<std::int64_t>(data, m_size);
  return {first, hole > data ? std::min<std::int64_t>(hole, m_size) : m_size};
}

}  // namespace kestrix::scan
