#include "io/storage.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <vector>

namespace kestrix::sources {

namespace {

namespace fs = std::filesystem;

std::string numbersOf(std::uint64_t dev) {
  return std::to_string(major(dev_t(dev))) + ":" + std::to_string(minor(dev_t(dev)));
}

// A sysfs "dev" file: "major:minor".
std::optional<std::uint64_t> readDevFile(const fs::path& path) {
  std::ifstream in(path);
  unsigned maj = 0, min = 0;
  char colon = 0;
  if (in >> maj >> colon >> min && colon == ':') return std::uint64_t(makedev(maj, min));
  return std::nullopt;
}

std::optional<std::pair<std::uint64_t, std::uint64_t>> identityOfPath(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return std::pair{std::uint64_t(st.st_dev), std::uint64_t(st.st_ino)};
}

// The file behind an attached loop device (its sysfs folder): asked of the device itself,
// which knows the file even after it was renamed or deleted; from the path sysfs shows when
// the device cannot be opened (no rights, no node in this /dev).
std::optional<std::pair<std::uint64_t, std::uint64_t>> loopBackingFile(const fs::path& sysDevice,
                                                                         const std::string& devDir) {
  std::error_code ec;
  if (!fs::exists(sysDevice / "loop" / "backing_file", ec)) return std::nullopt;
  const std::string node = devDir + "/" + sysDevice.filename().string();
  const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd >= 0) {
    loop_info64 info {};
    const bool ok = ::ioctl(fd, LOOP_GET_STATUS64, &info) == 0;
    ::close(fd);
    if (ok) return std::pair{std::uint64_t(info.lo_device), std::uint64_t(info.lo_inode)};
  }
  std::ifstream in(sysDevice / "loop" / "backing_file");
  std::string path;
  std::getline(in, path);
  return identityOfPath(path);
}

// The fields of the /proc/self/mountinfo lines of the mounts of device `numbers`: the mount
// source and the file system's options, with the type first.
struct MountLine {
  std::string type, source, options;
};
std::vector<MountLine> mountsOf(const std::string& mountInfo, const std::string& numbers) {
  std::vector<MountLine> mounts;
  std::ifstream in(mountInfo);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string id, parent, devNumbers;
    if (!(fields >> id >> parent >> devNumbers) || devNumbers != numbers) continue;
    const auto dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream tail(line.substr(dash + 3));
    MountLine m;
    tail >> m.type >> m.source >> m.options;
    mounts.push_back(m);
  }
  return mounts;
}

class StorageWalk {
 public:
  StorageWalk(bool throughFiles, const StorageRoots& roots) : m_throughFiles(throughFiles), m_roots(roots) {}

  void device(std::uint64_t dev) {
    if (!m_set.devices.insert(dev).second) return;
    const fs::path sys = fs::path(m_roots.sysDevBlock) / numbersOf(dev);
    std::error_code ec;
    const fs::path real = fs::canonical(sys, ec);
    if (ec) {
      if (m_throughFiles) mountedWithoutDevice(dev);
      return;
    }
    // A partition is part of its whole disk.
    if (fs::exists(real / "partition", ec))
      if (const auto disk = readDevFile(real.parent_path() / "dev")) device(*disk);
    // Device-mapper and md devices keep their bytes on their slaves.
    for (const auto& slave : fs::directory_iterator(real / "slaves", ec))
      if (const auto lower = readDevFile(slave.path() / "dev")) device(*lower);
    if (const auto backing = loopBackingFile(real, m_roots.devDir)) file(backing->first, backing->second);
  }

  void file(std::uint64_t dev, std::uint64_t inode) {
    if (!m_set.files.insert({dev, inode}).second) return;
    if (m_throughFiles) device(dev);
  }

  StorageSet take() { return std::move(m_set); }

 private:
  // Overlay, btrfs subvolumes, tmpfs ...: st_dev names no block device. Writes to an overlay
  // land in its upper and work folders; a btrfs subvolume's mount names its device.
  void mountedWithoutDevice(std::uint64_t dev) {
    for (const MountLine& m : mountsOf(m_roots.mountInfo, numbersOf(dev))) {
      if (m.type == "overlay") {
        std::istringstream options(m.options);
        for (std::string option; std::getline(options, option, ',');) {
          for (const char* key : {"upperdir=", "workdir="}) {
            if (option.rfind(key, 0) != 0) continue;
            struct stat st {};
            if (::stat(decodeMountField(option.substr(std::string(key).size())).c_str(), &st) == 0)
              device(std::uint64_t(st.st_dev));
          }
        }
        continue;
      }
      struct stat st {};
      const std::string source = decodeMountField(m.source);
      if (isFuse(m.type)) {
        // A FUSE driver keeps its files wherever it likes; it says where only through its
        // mount source. A path to an image or a device is followed; anything else is unknown.
        if (source.rfind('/', 0) == 0 && ::stat(source.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
          device(std::uint64_t(st.st_rdev));
        else if (source.rfind('/', 0) == 0 && ::stat(source.c_str(), &st) == 0 && S_ISREG(st.st_mode))
          file(std::uint64_t(st.st_dev), std::uint64_t(st.st_ino));
        else
          m_set.unknownMounts.push_back(source.empty() ? m.type : source);
        continue;
      }
      if (source.rfind("/dev/", 0) == 0 && ::stat(source.c_str(), &st) == 0 && S_ISBLK(st.st_mode))
        device(std::uint64_t(st.st_rdev));
    }
  }

  static bool isFuse(const std::string& type) {
    return type == "fuse" || type == "fuseblk" || type.rfind("fuse.", 0) == 0;
  }

  bool m_throughFiles;
  const StorageRoots& m_roots;
  StorageSet m_set;
};

}  // namespace

std::string decodeMountField(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      const std::string digits = text.substr(i + 1, 3);
      if (digits.find_first_not_of("01234567") == std::string::npos) {
        out += char(std::stoi(digits, nullptr, 8));
        i += 3;
        continue;
      }
    }
    out += text[i];
  }
  return out;
}

StorageSet sourceStorage(const scan::FileIdentity& source, const StorageRoots& roots) {
  StorageWalk walk(false, roots);
  if (!source.known) return walk.take();
  if (source.blockDevice != 0)
    walk.device(source.blockDevice);
  else
    walk.file(source.device, source.inode);
  return walk.take();
}

StorageSet writeStorage(std::uint64_t device, const StorageRoots& roots) {
  StorageWalk walk(true, roots);
  walk.device(device);
  return walk.take();
}

StorageSet folderStorage(const std::string& folder) {
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0) return {};
  return writeStorage(std::uint64_t(st.st_dev));
}

StorageSet openFolderStorage(std::intptr_t folder, const std::string&) {
  struct stat st {};
  if (::fstat(int(folder), &st) != 0) return {};
  return writeStorage(std::uint64_t(st.st_dev));
}

bool kernelFolder(std::intptr_t folder) {
  struct stat st {};
  if (::fstat(int(folder), &st) != 0) return false;
  static const std::set<std::string> kKernel = {"devtmpfs", "proc", "sysfs", "devpts", "cgroup", "cgroup2",
                                                "debugfs", "tracefs", "securityfs", "pstore", "bpf", "mqueue",
                                                "configfs", "fusectl", "binfmt_misc", "efivarfs", "hugetlbfs"};
  for (const MountLine& m : mountsOf(StorageRoots{}.mountInfo, numbersOf(std::uint64_t(st.st_dev))))
    if (kKernel.count(m.type)) return true;
  return false;
}

PathEntry entryAt(const std::string& path) {
  PathEntry entry;
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return entry;
  entry.exists = true;
  entry.link = S_ISLNK(st.st_mode);
  entry.known = !entry.link || ::stat(path.c_str(), &st) == 0;
  // A link takes the kind of what it leads to (/dev/stdout to a pipe or a terminal); one that
  // leads nowhere is a new name.
  if (entry.known && !S_ISREG(st.st_mode))
    entry.kind = S_ISDIR(st.st_mode) ? PathKind::Folder : S_ISFIFO(st.st_mode) ? PathKind::Fifo
                 : S_ISSOCK(st.st_mode) ? PathKind::Socket : PathKind::Device;
  if (entry.known) {
    entry.device = std::uint64_t(st.st_dev);
    entry.inode = std::uint64_t(st.st_ino);
  }
  return entry;
}

FolderSpace folderSpace(const std::string& folder) {
  FolderSpace space;
  struct statfs fs {};
  if (::statfs(folder.c_str(), &fs) == 0) {
    constexpr long kMsdos = 0x4d44;
    constexpr long kExfat = 0x2011BAB0;
    space.holes = fs.f_type != kMsdos && fs.f_type != kExfat;
  }
  const long bits = ::pathconf(folder.c_str(), _PC_FILESIZEBITS);
  if (bits > 0 && bits < 64) space.largestFile = (std::int64_t(1) << (bits - 1)) - 1;
  struct rlimit rl {};
  if (::getrlimit(RLIMIT_FSIZE, &rl) == 0 && rl.rlim_cur != RLIM_INFINITY &&
      std::int64_t(rl.rlim_cur) < space.largestFile)
    space.largestFile = std::int64_t(rl.rlim_cur);
  struct statvfs vfs {};
  // A file system of no blocks at all (proc, sysfs: /dev/fd/1 lies on one) has no free space
  // to tell, which is not "none free".
  if (::statvfs(folder.c_str(), &vfs) == 0 && vfs.f_blocks > 0)
    space.freeBytes = std::int64_t(vfs.f_bavail) * std::int64_t(vfs.f_frsize);
  return space;
}

bool lengthFits(const std::string& folder, std::int64_t size) {
  int fd = ::open(folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  std::string named;
  if (fd < 0) {
    named = folder + "/.kestrix-size-probe-XXXXXX";
    fd = ::mkstemp(named.data());
    if (fd < 0) return true;
  }
  const bool fits = ::ftruncate(fd, size) == 0 || errno != EFBIG;
  ::close(fd);
  if (!named.empty()) ::unlink(named.c_str());
  return fits;
}

}  // namespace kestrix::sources
