// The output writer's Linux part: a temporary file without a name (O_TMPFILE) or under a
// hidden name (O_EXCL | O_NOFOLLOW), pwrite, fsync, renameat over the target, flock.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "io/output_file.h"
#include "io/output_names.h"
#include "io/errors.h"

namespace kestrix::rebuild {

OutputFile::OutputFile(std::string path) : m_path(std::move(path)) {
  m_name = textOf(pathOf(m_path).filename());
  const auto fail = [&](int err) {
    if (m_folder >= 0) ::close(int(m_folder));
    throw Error(Message{Message::Code::CannotCreate, {m_path}, err});
  };
  if (m_name.empty() || m_name == "." || m_name == "..") fail(EISDIR);
  m_folder = ::open(folderOf(m_path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (m_folder < 0) fail(errno);
  // A file without a name vanishes with the process, whatever kills it; naming it later needs
  // /proc/self/fd. Elsewhere a hidden name is made that nothing can have planted (O_EXCL).
  if (::access("/proc/self/fd", X_OK) == 0)
    m_fd = ::openat(int(m_folder), ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
  for (int attempt = 0; m_fd < 0 && attempt < 100; ++attempt) {
    const std::string name = tempNameFor(m_name);
    m_fd = ::openat(int(m_folder), name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (m_fd >= 0) m_tempName = name;
    else if (errno != EEXIST) fail(errno);
  }
  if (m_fd < 0) fail(EEXIST);
}

OutputFile::~OutputFile() {
  if (m_fd >= 0) ::close(int(m_fd));
  if (!m_tempName.empty()) ::unlinkat(int(m_folder), m_tempName.c_str(), 0);
  if (m_folder >= 0) ::close(int(m_folder));
}

void OutputFile::writeAt(std::int64_t offset, std::span<const std::byte> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::pwrite(int(m_fd), data.data() + done, data.size() - done, offset + std::int64_t(done));
    if (n > 0) {
      done += std::size_t(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const int err = n < 0 ? errno : ENOSPC;
    throw Error(Message{Message::Code::CannotWriteAt, {m_path, std::to_string(offset + std::int64_t(done))}, err});
  }
}

void OutputFile::resize(std::int64_t size) {
  if (::ftruncate(int(m_fd), size) != 0)
    throw Error(Message{Message::Code::CannotResize, {m_path, std::to_string(size)}, errno});
}

namespace {

// Reads an output's temporary file through its descriptor.
class WrittenBytes final : public scan::ByteSource {
 public:
  WrittenBytes(int fd, std::string name) : m_fd(fd), m_name(std::move(name)) {
    struct stat st {};
    if (::fstat(m_fd, &st) != 0) throw Error("Cannot read file \"" + m_name + "\" back. " + systemReason(errno));
    m_size = std::int64_t(st.st_size);
    m_identity = {true, std::uint64_t(st.st_dev), std::uint64_t(st.st_ino), 0, {}};
  }
  std::int64_t size() const override { return m_size; }
  std::size_t readAt(std::int64_t offset, std::span<std::byte> out) override {
    std::size_t done = 0;
    while (done < out.size() && offset + std::int64_t(done) < m_size) {
      const ssize_t n = ::pread(m_fd, out.data() + done, out.size() - done, offset + std::int64_t(done));
      if (n > 0) done += std::size_t(n);
      else if (n < 0 && errno == EINTR) continue;
      else {
        m_error = n < 0 ? errno : 0;
        break;
      }
    }
    return done;
  }
  std::string name() const override { return m_name; }
  int lastError() const override { return m_error; }
  scan::FileIdentity identity() const override { return m_identity; }

 private:
  int m_fd;
  std::string m_name;
  std::int64_t m_size = 0;
  int m_error = 0;
  scan::FileIdentity m_identity;
};

}  // namespace

std::unique_ptr<scan::ByteSource> OutputFile::reader() const { return std::make_unique<WrittenBytes>(int(m_fd), m_path); }

void OutputFile::linkTemporaryName() {
  const std::string self = "/proc/self/fd/" + std::to_string(m_fd);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = tempNameFor(m_name);
    if (::linkat(AT_FDCWD, self.c_str(), int(m_folder), name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      m_tempName = name;
      return;
    }
    if (errno != EEXIST) break;
  }
  throw Error(Message{Message::Code::CannotWrite, {m_path}, errno});
}

void OutputFile::commit() {
  if (m_committed) return;
  const auto fail = [&](int err) { throw Error(Message{Message::Code::CannotWrite, {m_path}, err}); };
  if (::fsync(int(m_fd)) != 0) fail(errno);
  if (m_tempName.empty()) linkTemporaryName();
  if (::renameat(int(m_folder), m_tempName.c_str(), int(m_folder), m_name.c_str()) != 0) fail(errno);
  m_tempName.clear();
  m_committed = true;
  const int closed = ::close(int(m_fd));
  m_fd = -1;
  // The rename is durable only once the folder is; the data was synced before.
  if (::fsync(int(m_folder)) != 0 && errno != EINVAL) fail(errno);
  if (closed != 0) fail(errno);
}

FolderLock::FolderLock(const std::string& folder) {
  m_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (m_fd < 0) throw Error(Message{Message::Code::FolderRefused, {folder, ""}, errno});
  if (::flock(int(m_fd), LOCK_EX | LOCK_NB) == 0) return;
  const int err = errno;
  ::close(int(m_fd));
  m_fd = -1;
  if (err == EWOULDBLOCK)
    throw Error(Message{Message::Code::FolderRefused, {folder, "busy"}});
}

FolderLock::~FolderLock() {
  if (m_fd >= 0) ::close(int(m_fd));
}

FolderLock::FolderLock(FolderLock&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }

FolderLock& FolderLock::operator=(FolderLock&& other) noexcept {
  if (this != &other) {
    if (m_fd >= 0) ::close(int(m_fd));
    m_fd = other.m_fd;
    other.m_fd = -1;
  }
  return *this;
}

}  // namespace kestrix::rebuild
