// The output writer's Linux part: every name relative to the folder's descriptor; a temporary
// file without a name (O_TMPFILE) or under a hidden name (O_EXCL | O_NOFOLLOW), pwrite, fsync,
// renameat over the target, linkat to keep what it replaces until the set is in place, flock.
#include <fcntl.h>
#include <dirent.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "io/output_file.h"
#include "io/output_names.h"
#include "io/errors.h"

namespace kestrix::rebuild {

OutputFolder::OutputFolder(std::string path) : m_path(std::move(path)) {
  m_handle = ::open(m_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (m_handle < 0) throw Error(Message{Message::Code::FolderRefused, {m_path, ""}, errno});
}

OutputFolder::~OutputFolder() {
  m_lock = FolderLock();
  if (m_handle >= 0) ::close(int(m_handle));
}

void OutputFolder::removeLeftovers() {
  // Under the lock no other run writes here: a part file is one a killed run left behind (a
  // file system without O_TMPFILE keeps them), or a previous file kept during its commit.
  const int fd = ::openat(int(m_handle), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    ::close(fd);
    return;
  }
  std::vector<std::string> stale;
  while (const dirent* e = ::readdir(dir)) {
    struct stat st {};
    if (isTempName(e->d_name) && ::fstatat(int(m_handle), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode)))
      stale.emplace_back(e->d_name);
  }
  ::closedir(dir);
  for (const std::string& name : stale) ::unlinkat(int(m_handle), name.c_str(), 0);
}

void OutputFile::create() {
  m_name = textOf(pathOf(m_path).filename());
  const auto fail = [&](int err) { throw Error(Message{Message::Code::CannotCreate, {m_path}, err}); };
  if (m_name.empty() || m_name == "." || m_name == "..") fail(EISDIR);
  const int folder = int(m_folder->handle());
  // A file without a name vanishes with the process, whatever kills it; naming it later needs
  // /proc/self/fd. Elsewhere a hidden name is made that nothing can have planted (O_EXCL).
  if (::access("/proc/self/fd", X_OK) == 0) m_fd = ::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  for (int attempt = 0; m_fd < 0 && attempt < 100; ++attempt) {
    const std::string name = tempNameFor(m_name);
    m_fd = ::openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (m_fd >= 0) m_tempName = name;
    else if (errno != EEXIST) fail(errno);
  }
  if (m_fd < 0) fail(EEXIST);
  struct stat st {};
  if (m_folder->filesTakeFolderMode() && ::fstat(folder, &st) == 0) {
    // The group's and others' bits only where the file is in the folder's group.
    const bool grouped = ::fchown(int(m_fd), uid_t(-1), st.st_gid) == 0;
    ::fchmod(int(m_fd), st.st_mode & (grouped ? 0666 : 0600));
  }
  callWriterHook(WriterStep::Created, m_path);
}

OutputFile::~OutputFile() {
  if (m_fd >= 0) ::close(int(m_fd));
  if (!m_tempName.empty()) ::unlinkat(int(m_folder->handle()), m_tempName.c_str(), 0);
  if (!m_committed && !m_previous.empty()) ::unlinkat(int(m_folder->handle()), m_previous.c_str(), 0);
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
    if (::linkat(AT_FDCWD, self.c_str(), int(m_folder->handle()), name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      m_tempName = name;
      return;
    }
    if (errno != EEXIST) break;
  }
  throw Error(Message{Message::Code::CannotWrite, {m_path}, errno});
}

void OutputFile::finish() {
  if (m_fd < 0) return;
  if (::fsync(int(m_fd)) != 0) throw Error(Message{Message::Code::CannotWrite, {m_path}, errno});
  if (m_tempName.empty()) linkTemporaryName();
  const int closed = ::close(int(m_fd));
  m_fd = -1;
  if (closed != 0) throw Error(Message{Message::Code::CannotWrite, {m_path}, errno});
}

void OutputFile::commit() {
  if (m_committed) return;
  finish();
  callWriterHook(WriterStep::Committing, m_path);
  const int folder = int(m_folder->handle());
  if (::renameat(folder, m_tempName.c_str(), folder, m_name.c_str()) != 0)
    throw Error(Message{Message::Code::CannotWrite, {m_path}, errno});
  m_tempName.clear();
  m_committed = true;
  // The rename is durable only once the folder is; the data was synced before.
  if (::fsync(folder) != 0 && errno != EINVAL) throw Error(Message{Message::Code::CannotWrite, {m_path}, errno});
}

void OutputFile::keepPrevious() {
  const int folder = int(m_folder->handle());
  struct stat st {};
  m_hadPrevious = ::fstatat(folder, m_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (!m_hadPrevious || S_ISDIR(st.st_mode)) return;
  // A second name for what stands there (a link is kept as the link); where the file system
  // takes no hard links, what stands there is replaced without a way back.
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = tempNameFor(m_name);
    if (::linkat(folder, m_name.c_str(), folder, name.c_str(), 0) == 0) {
      m_previous = name;
      return;
    }
    if (errno != EEXIST) return;
  }
}

bool OutputFile::restorePrevious() {
  if (!m_committed) return true;
  const int folder = int(m_folder->handle());
  bool ok = false;
  if (!m_previous.empty())
    ok = ::renameat(folder, m_previous.c_str(), folder, m_name.c_str()) == 0;
  else if (!m_hadPrevious)
    ok = ::unlinkat(folder, m_name.c_str(), 0) == 0;
  if (!ok) return false;
  m_previous.clear();
  m_committed = false;
  ::fsync(folder);
  return true;
}

void OutputFile::dropPrevious() {
  if (m_previous.empty()) return;
  ::unlinkat(int(m_folder->handle()), m_previous.c_str(), 0);
  m_previous.clear();
}

FolderLock::FolderLock(std::intptr_t folder, const std::string& path) {
  // A descriptor of its own on the same open folder: the lock goes with the last of them.
  m_fd = ::fcntl(int(folder), F_DUPFD_CLOEXEC, 0);
  if (m_fd < 0) throw Error(Message{Message::Code::FolderRefused, {path, ""}, errno});
  if (::flock(int(m_fd), LOCK_EX | LOCK_NB) == 0) return;
  const int err = errno;
  ::close(int(m_fd));
  m_fd = -1;
  if (err == EWOULDBLOCK) throw Error(Message{Message::Code::FolderRefused, {path, "busy"}});
}

FolderLock::FolderLock(const std::string& folder) {
  const OutputFolder open(folder);
  *this = FolderLock(open.handle(), folder);
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
