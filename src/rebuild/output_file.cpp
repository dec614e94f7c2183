#include "rebuild/output_file.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "scan/errors.h"
#include "sources/size_text.h"

namespace kestrix::rebuild {

namespace {

std::string folderOf(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  return parent.empty() ? "." : parent.string();
}

// File systems on which a file cannot have holes: FAT and exFAT.
bool supportsHoles(const std::string& folder) {
  struct statfs fs {};
  if (::statfs(folder.c_str(), &fs) != 0) return true;
  constexpr long kMsdos = 0x4d44;
  constexpr long kExfat = 0x2011BAB0;
  return fs.f_type != kMsdos && fs.f_type != kExfat;
}

std::int64_t largestFile(const std::string& folder) {
  std::int64_t limit = INT64_MAX;
  const long bits = ::pathconf(folder.c_str(), _PC_FILESIZEBITS);
  if (bits > 0 && bits < 64) limit = (std::int64_t(1) << (bits - 1)) - 1;
  struct rlimit rl {};
  if (::getrlimit(RLIMIT_FSIZE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY && std::int64_t(rl.rlim_cur) < limit)
    limit = std::int64_t(rl.rlim_cur);
  return limit;
}

// Whether the folder takes a file of `size` bytes: a file system may allow less than its
// FILESIZEBITS say (ext4 with 4 KiB blocks stops at 16 TiB), so a throw-away file is set to
// that length, as holes, and removed again. True when the probe cannot be made.
bool lengthFits(const std::string& folder, std::int64_t size) {
  std::string probe = folder + "/.kestrix-size-probe-XXXXXX";
  const int fd = ::mkstemp(probe.data());
  if (fd < 0) return true;
  const bool fits = ::ftruncate(fd, size) == 0 || errno != EFBIG;
  ::close(fd);
  ::unlink(probe.c_str());
  return fits;
}

// The whole disk a block device belongs to ("major:minor" of the disk), or its own number.
dev_t wholeDiskOf(dev_t dev) {
  namespace fs = std::filesystem;
  const fs::path sys = "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
  std::error_code ec;
  if (!fs::exists(sys / "partition", ec)) return dev;
  std::ifstream in(fs::canonical(sys, ec).parent_path() / "dev");
  unsigned maj = 0, min = 0;
  char colon = 0;
  if (in >> maj >> colon >> min && colon == ':') return makedev(maj, min);
  return dev;
}

// The file system an output would land on: that of the path itself, or of the nearest
// folder above it that exists (creating the missing ones would write there already).
bool statNearestExisting(const std::string& path, struct stat& st) {
  std::filesystem::path at = std::filesystem::absolute(path);
  while (::stat(at.c_str(), &st) != 0) {
    if (at == at.parent_path()) return false;
    at = at.parent_path();
  }
  return true;
}

}  // namespace

void refuseUnsafeOutput(const std::string& outputPath, int sourceFd, const std::string& sourceName) {
  struct stat in {};
  const bool haveSource = sourceFd >= 0 && ::fstat(sourceFd, &in) == 0;
  struct stat out {};
  if (::stat(outputPath.c_str(), &out) == 0) {
    if (S_ISBLK(out.st_mode) || S_ISCHR(out.st_mode))
      throw Error("Cannot write file \"" + outputPath + "\". It is a device; results are written to files only");
    if (haveSource && in.st_dev == out.st_dev && in.st_ino == out.st_ino)
      throw Error("Cannot write file \"" + outputPath + "\". It is the input \"" + sourceName +
                  "\" itself; choose another output");
  }
  // Writing onto the disk or volume being read would overwrite the very data still to be
  // recovered: refuse a file system on the source device, on another partition of the
  // source disk, or on the disk of a source partition.
  if (haveSource && S_ISBLK(in.st_mode) && statNearestExisting(outputPath, out) &&
      (out.st_dev == in.st_rdev || wholeDiskOf(out.st_dev) == wholeDiskOf(in.st_rdev)))
    throw Error("Cannot write file \"" + outputPath + "\". It lies on the source \"" + sourceName +
                "\", whose data it would overwrite; choose a folder on another disk");
}

void checkRoomFor(const std::string& outputPath, std::int64_t finalSize, std::int64_t allocatedBytes) {
  const std::string folder = folderOf(outputPath);
  const bool holes = supportsHoles(folder);
  const std::int64_t largest = largestFile(folder);
  if (finalSize > largest || (holes && !lengthFits(folder, finalSize)))
    throw Error("Cannot write file \"" + outputPath + "\". It would be " + sources::SizeToText(std::uint64_t(finalSize)) +
                " long, more than the largest file its file system allows");
  struct statvfs vfs {};
  if (::statvfs(folder.c_str(), &vfs) != 0) return;  // unknown: the checked writes still catch a full disk
  std::int64_t freeBytes = std::int64_t(vfs.f_bavail) * std::int64_t(vfs.f_frsize);
  struct stat existing {};
  if (::stat(outputPath.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) && existing.st_nlink == 1)
    freeBytes += std::int64_t(existing.st_blocks) * 512;
  const std::int64_t needed = holes ? allocatedBytes : finalSize;
  if (needed > freeBytes)
    throw Error("Cannot write file \"" + outputPath + "\". It needs " + sources::SizeToText(std::uint64_t(needed)) +
                " of disk space but only " + sources::SizeToText(std::uint64_t(freeBytes)) + " is free there");
}

OutputFile::OutputFile(std::string path) : m_path(std::move(path)) {
  m_fd = ::open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (m_fd < 0) throw Error("Cannot create file \"" + m_path + "\". " + systemReason(errno));
}

OutputFile::~OutputFile() {
  if (m_fd >= 0) ::close(m_fd);
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
    throw Error("Cannot write file \"" + m_path + "\" at byte " + std::to_string(offset + std::int64_t(done)) + ". " +
                systemReason(err));
  }
}

void OutputFile::resize(std::int64_t size) {
  if (::ftruncate(m_fd, size) != 0)
    throw Error("Cannot set the length of file \"" + m_path + "\" to " + std::to_string(size) + " bytes. " +
                systemReason(errno));
}

void OutputFile::close() {
  if (m_fd < 0) return;
  const int fd = m_fd;
  m_fd = -1;
  if (::close(fd) != 0) throw Error("Cannot write file \"" + m_path + "\". " + systemReason(errno));
}

}  // namespace kestrix::rebuild
