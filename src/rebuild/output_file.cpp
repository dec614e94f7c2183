#include "rebuild/output_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>

#include "scan/errors.h"
#include "sources/size_text.h"
#include "sources/storage.h"

namespace kestrix::rebuild {

namespace {

namespace fs = std::filesystem;

std::string folderOf(const std::string& path) {
  const fs::path parent = fs::path(path).parent_path();
  return parent.empty() ? "." : parent.string();
}

// The folder an output would land in: the path itself or the nearest folder above it that
// exists (creating the missing ones would write there already).
std::string nearestExisting(const std::string& path, struct stat& st) {
  fs::path at = fs::absolute(path).lexically_normal();
  while (::stat(at.c_str(), &st) != 0) {
    if (at == at.parent_path()) return {};
    at = at.parent_path();
  }
  return at.string();
}

[[noreturn]] void refuse(const std::string& path, const std::string& why) {
  throw Error("Cannot write file \"" + path + "\". " + why);
}

// Refuses when writing into the folder (or the nearest one above it that exists) would land
// on the source's storage.
void refuseFolderOnSource(const std::string& path, const std::string& folder, const scan::ByteSource& source,
                          const sources::StorageSet& sourceSet) {
  struct stat st {};
  if (nearestExisting(folder, st).empty() || (sourceSet.devices.empty() && sourceSet.files.empty())) return;
  if (sources::writeStorage(std::uint64_t(st.st_dev)).meets(sourceSet))
    throw Error(Message{Message::Code::OutputOnSource, {path, source.name()}});
}

std::string kindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO (named pipe)";
  if (S_ISSOCK(mode)) return "a socket";
  return "a device";
}

// "1,234,567" for a count of bytes (not negative).
std::string withSeparators(std::int64_t n) {
  const std::string digits = std::to_string(n);
  std::string out;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

std::string tempNameFor(const std::string& name) {
  static std::atomic<unsigned> counter{0};
  const auto tick = std::uint64_t(std::chrono::steady_clock::now().time_since_epoch().count());
  const std::uint64_t mix = tick ^ (std::uint64_t(::getpid()) << 32) ^ (std::uint64_t(++counter) * 0x9E3779B97F4A7C15ull);
  constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string tag;
  for (std::uint64_t v = mix; tag.size() < 8; v /= 36) tag += kDigits[v % 36];
  return "." + name.substr(0, 200) + ".kestrix-" + tag;
}

// refuseUnsafeOutput with the source's storage worked out already (it is the same for every
// file of a run).
void refuseTarget(const std::string& outputPath, const scan::ByteSource* source, const sources::StorageSet& sourceSet) {
  if (outputPath.empty() || fs::path(outputPath).filename().empty() || outputPath.back() == '/')
    throw Error(Message{Message::Code::OutputIsFolderName, {outputPath}});
  struct stat st {};
  if (::lstat(outputPath.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode) && !S_ISREG(st.st_mode))
      refuse(outputPath, "It is " + kindOf(st.st_mode) + "; results are written to regular files only");
    // A link is replaced, not followed; it matters only when it leads to the source.
    struct stat file = st;
    const bool known = !S_ISLNK(st.st_mode) || ::stat(outputPath.c_str(), &file) == 0;
    if (source && known && sourceSet.holdsFile(std::uint64_t(file.st_dev), std::uint64_t(file.st_ino))) {
      const scan::FileIdentity id = source->identity();
      const bool itself =
          id.blockDevice == 0 && id.device == std::uint64_t(file.st_dev) && id.inode == std::uint64_t(file.st_ino);
      if (itself) throw Error(Message{Message::Code::OutputIsInput, {outputPath, source->name()}});
      refuse(outputPath, "It is the file behind the source \"" + source->name() +
                             "\" (a loop device), whose data it would overwrite; choose another output");
    }
  }
  if (source) refuseFolderOnSource(outputPath, folderOf(outputPath), *source, sourceSet);
}

}  // namespace

void refuseUnsafeOutput(const std::string& outputPath, const scan::ByteSource* source) {
  refuseTarget(outputPath, source, source ? sources::sourceStorage(source->identity()) : sources::StorageSet{});
}

void refuseUnsafeFolder(const std::string& folder, const scan::ByteSource* source) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) == 0 && !S_ISDIR(st.st_mode))
    throw Error("Cannot write into folder \"" + folder + "\". It is not a folder");
  if (source) refuseFolderOnSource(folder, folder, *source, sources::sourceStorage(source->identity()));
}

void checkRoomFor(const std::string& outputPath, std::int64_t finalSize, std::int64_t allocatedBytes) {
  struct stat st {};
  const std::string folder = nearestExisting(folderOf(outputPath), st);
  if (folder.empty()) return;  // nothing of the path exists: the creation of its folder fails first
  const sources::FolderSpace space = sources::folderSpace(folder);
  if (finalSize > space.largestFile || (space.holes && !sources::lengthFits(folder, finalSize)))
    throw Error(Message{Message::Code::OutputTooLarge, {outputPath, sources::SizeToText(std::uint64_t(finalSize))}});
  if (space.freeBytes < 0) return;  // unknown: the checked writes still catch a full disk
  const std::int64_t needed = space.holes ? allocatedBytes : finalSize;
  if (needed <= space.freeBytes) return;
  std::string need = sources::SizeToText(std::uint64_t(needed));
  std::string free = sources::SizeToText(std::uint64_t(space.freeBytes));
  if (need == free) {  // the rounded figures hide the difference
    need = withSeparators(needed) + " bytes";
    free = withSeparators(space.freeBytes) + " bytes";
  }
  throw Error(Message{Message::Code::NoRoom, {outputPath, need, free}});
}

OutputFile::OutputFile(std::string path) : m_path(std::move(path)) {
  m_name = fs::path(m_path).filename().string();
  const auto fail = [&](int err) {
    if (m_folder >= 0) ::close(m_folder);
    throw Error(Message{Message::Code::CannotCreate, {m_path}, err});
  };
  if (m_name.empty() || m_name == "." || m_name == "..") fail(EISDIR);
  m_folder = ::open(folderOf(m_path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (m_folder < 0) fail(errno);
  // A file without a name vanishes with the process, whatever kills it; naming it later needs
  // /proc/self/fd. Elsewhere a hidden name is made that nothing can have planted (O_EXCL).
  if (::access("/proc/self/fd", X_OK) == 0)
    m_fd = ::openat(m_folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0644);
  for (int attempt = 0; m_fd < 0 && attempt < 100; ++attempt) {
    const std::string name = tempNameFor(m_name);
    m_fd = ::openat(m_folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (m_fd >= 0) m_tempName = name;
    else if (errno != EEXIST) fail(errno);
  }
  if (m_fd < 0) fail(EEXIST);
}

OutputFile::~OutputFile() {
  if (m_fd >= 0) ::close(m_fd);
  if (!m_tempName.empty()) ::unlinkat(m_folder, m_tempName.c_str(), 0);
  if (m_folder >= 0) ::close(m_folder);
}

void OutputFile::writeAt(std::int64_t offset, std::span<const std::byte> data) {
  std::size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::pwrite(m_fd, data.data() + done, data.size() - done, offset + std::int64_t(done));
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
  if (::ftruncate(m_fd, size) != 0)
    throw Error("Cannot set the length of file \"" + m_path + "\" to " + std::to_string(size) + " bytes. " +
                systemReason(errno));
}

namespace {

// Reads an output's temporary file through its descriptor.
class WrittenBytes final : public scan::ByteSource {
 public:
  WrittenBytes(int fd, std::string name) : m_fd(fd), m_name(std::move(name)) {
    struct stat st {};
    if (::fstat(m_fd, &st) != 0) throw Error("Cannot read file \"" + m_name + "\" back. " + systemReason(errno));
    m_size = std::int64_t(st.st_size);
    m_identity = {true, std::uint64_t(st.st_dev), std::uint64_t(st.st_ino), 0};
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

std::unique_ptr<scan::ByteSource> OutputFile::reader() const { return std::make_unique<WrittenBytes>(m_fd, m_path); }

void OutputFile::rename(const std::string& path) {
  if (m_committed || fs::absolute(folderOf(path)).lexically_normal() != fs::absolute(folderOf(m_path)).lexically_normal())
    throw Error("Cannot write file \"" + path + "\". It is not in the folder of \"" + m_path + "\"");
  m_path = path;
  m_name = fs::path(m_path).filename().string();
}

void OutputFile::linkTemporaryName() {
  const std::string self = "/proc/self/fd/" + std::to_string(m_fd);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string name = tempNameFor(m_name);
    if (::linkat(AT_FDCWD, self.c_str(), m_folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0) {
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
  if (::fsync(m_fd) != 0) fail(errno);
  if (m_tempName.empty()) linkTemporaryName();
  if (::renameat(m_folder, m_tempName.c_str(), m_folder, m_name.c_str()) != 0) fail(errno);
  m_tempName.clear();
  m_committed = true;
  const int closed = ::close(m_fd);
  m_fd = -1;
  // The rename is durable only once the folder is; the data was synced before.
  if (::fsync(m_folder) != 0 && errno != EINVAL) fail(errno);
  if (closed != 0) fail(errno);
}

OutputSet::OutputSet(const scan::ByteSource* source, std::vector<OutputTarget> targets, OutputSetOptions options)
    : m_source(source), m_targets(std::move(targets)) {
  const sources::StorageSet sourceSet = source ? sources::sourceStorage(source->identity()) : sources::StorageSet{};
  std::map<std::string, std::int64_t> dataPerFolder;
  for (const OutputTarget& t : m_targets) {
    refuseTarget(t.path, source, sourceSet);
    std::int64_t& data = dataPerFolder[fs::absolute(folderOf(t.path)).lexically_normal().string()];
    data += t.allocated;
    checkRoomFor(t.path, t.size, data);
  }
  for (const auto& [folder, data] : dataPerFolder) {
    if (options.makeFolders) {
      std::error_code ec;
      fs::create_directories(folder, ec);
      if (ec) throw Error("Cannot create folder \"" + folder + "\". " + ec.message());
    }
    if (options.lockFolders) m_locks.emplace_back(folder);
  }
  m_files.resize(m_targets.size());
}

OutputSet::~OutputSet() = default;

OutputFile& OutputSet::open(std::size_t i) {
  if (!m_files.at(i)) m_files[i] = std::make_unique<OutputFile>(m_targets[i].path);
  return *m_files[i];
}

void OutputSet::commit() {
  for (auto& file : m_files)
    if (file) file->commit();
}

std::size_t OutputSet::add(OutputTarget target) {
  refuseUnsafeOutput(target.path, m_source);
  checkRoomFor(target.path, target.size, target.allocated);
  m_targets.push_back(std::move(target));
  m_files.emplace_back();
  return m_targets.size() - 1;
}

void OutputSet::rename(std::size_t i, const std::string& path) {
  refuseUnsafeOutput(path, m_source);
  if (m_files.at(i)) m_files[i]->rename(path);
  m_targets[i].path = path;
}

void OutputSet::drop(std::size_t i) { m_files.at(i).reset(); }

FolderLock::FolderLock(const std::string& folder) {
  m_fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (m_fd < 0) throw Error("Cannot write into folder \"" + folder + "\". " + systemReason(errno));
  if (::flock(m_fd, LOCK_EX | LOCK_NB) == 0) return;
  const int err = errno;
  ::close(m_fd);
  m_fd = -1;
  if (err == EWOULDBLOCK)
    throw Error("Cannot write into folder \"" + folder +
                "\". Another run of Kestrix is writing into it; wait until it has finished, or choose another folder");
}

FolderLock::~FolderLock() {
  if (m_fd >= 0) ::close(m_fd);
}

FolderLock::FolderLock(FolderLock&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }

FolderLock& FolderLock::operator=(FolderLock&& other) noexcept {
  if (this != &other) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = other.m_fd;
    other.m_fd = -1;
  }
  return *this;
}

void writeWholeFile(const std::string& path, std::span<const std::byte> bytes, const scan::ByteSource* source) {
  OutputSet set(source, {{path, std::int64_t(bytes.size()), std::int64_t(bytes.size())}});
  set.open(0).writeAt(0, bytes);
  set.commit();
}

}  // namespace kestrix::rebuild
