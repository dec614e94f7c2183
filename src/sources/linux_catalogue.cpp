#include "sources/linux_catalogue.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sources/program_files.h"
#include "io/size_text.h"
#include "io/storage.h"

namespace kestrix::sources {

namespace fs = std::filesystem;

namespace {

std::string readText(const fs::path& path) {
  std::ifstream in(path);
  std::string text;
  std::getline(in, text);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  return text;
}

std::int64_t readNumber(const fs::path& path, std::int64_t fallback = -1) {
  const std::string text = readText(path);
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && value >= 0 ? value : fallback;
}

bool allDigits(const std::string& s, std::size_t from) {
  return from < s.size() && std::all_of(s.begin() + std::ptrdiff_t(from), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool allLower(const std::string& s, std::size_t from) {
  return from < s.size() && std::all_of(s.begin() + std::ptrdiff_t(from), s.end(), [](char c) { return c >= 'a' && c <= 'z'; });
}

// Kinds in their menu order; -1 for a name that is not a whole disk we offer.
int diskKind(const std::string& name) {
  if (name.starts_with("xvd")) return allLower(name, 3) ? 2 : -1;
  if (name.starts_with("sd")) return allLower(name, 2) ? 0 : -1;
  if (name.starts_with("vd")) return allLower(name, 2) ? 1 : -1;
  if (name.starts_with("hd")) return allLower(name, 2) ? 3 : -1;
  if (name.starts_with("nvme")) {
    // nvme<ctrl>n<ns>: the namespace is the disk; nvme0c0n1 (a path) and nvme0 are not.
    const auto n = name.find('n', 4);
    return n != std::string::npos && allDigits(name.substr(0, n), 4) && allDigits(name, n + 1) ? 4 : -1;
  }
  if (name.starts_with("mmcblk")) return allDigits(name, 6) ? 5 : -1;  // not mmcblk0boot0, mmcblk0rpmb
  if (name.starts_with("loop")) return allDigits(name, 4) ? 6 : -1;
  return -1;
}

// A file descriptor closed on every path out.
class Fd {
 public:
  explicit Fd(const std::string& path) : m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC)), m_error(m_fd < 0 ? errno : 0) {}
  ~Fd() {
    if (m_fd >= 0) ::close(m_fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return m_fd; }
  int error() const { return m_error; }

 private:
  int m_fd;
  int m_error;
};

// Exact length of an open device (BLKGETSIZE64), or of a file standing in for one.
std::int64_t lengthOf(int fd) {
  std::uint64_t bytes = 0;
  if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0) return std::int64_t(bytes);
  struct stat st {};
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? std::int64_t(st.st_size) : 0;
}

struct Probed {
  std::string type, version, label, uuid;
};

// The file system on an open device, by libblkid's superblock probe; nullopt when there is
// none or it is ambiguous.
std::optional<Probed> probeFileSystem(int fd) {
  blkid_probe pr = blkid_new_probe();
  if (!pr) return std::nullopt;
  std::optional<Probed> result;
  if (blkid_probe_set_device(pr, fd, 0, 0) == 0) {
    blkid_probe_enable_superblocks(pr, 1);
    blkid_probe_set_superblocks_flags(pr, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID | BLKID_SUBLKS_TYPE |
                                              BLKID_SUBLKS_VERSION);
    if (blkid_do_safeprobe(pr) == 0) {
      auto value = [&](const char* name) {
        const char* data = nullptr;
        return blkid_probe_lookup_value(pr, name, &data, nullptr) == 0 && data ? std::string(data) : std::string();
      };
      Probed p{value("TYPE"), value("VERSION"), value("LABEL"), value("UUID")};
      if (!p.type.empty()) result = std::move(p);
    }
  }
  blkid_free_probe(pr);
  return result;
}

}  // namespace

bool isWholeDiskName(const std::string& name) { return diskKind(name) >= 0; }

bool diskNameLess(const std::string& a, const std::string& b) {
  const int ka = diskKind(a), kb = diskKind(b);
  if (ka != kb) return ka < kb;
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const bool da = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
    const bool db = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
    std::size_t ei = i, ej = j;
    while (ei < a.size() && (std::isdigit(static_cast<unsigned char>(a[ei])) != 0) == da) ++ei;
    while (ej < b.size() && (std::isdigit(static_cast<unsigned char>(b[ej])) != 0) == db) ++ej;
    std::string ra = a.substr(i, ei - i), rb = b.substr(j, ej - j);
    if (da && db) {
      ra.erase(0, std::min(ra.find_first_not_of('0'), ra.size() - 1));
      rb.erase(0, std::min(rb.find_first_not_of('0'), rb.size() - 1));
    }
    if (da != db) return da;  // digits before letters
    if (ra.size() != rb.size()) return ra.size() < rb.size();
    if (ra != rb) return ra < rb;
    i = ei;
    j = ej;
  }
  return a.size() - i < b.size() - j;
}

std::uint32_t serialFromUuid(const std::string& uuid) {
  std::string hex;
  for (char c : uuid)
    if (std::isxdigit(static_cast<unsigned char>(c))) hex += c;
  if (hex.empty()) return 0;
  if (hex.size() <= 16) hex = hex.size() > 8 ? hex.substr(hex.size() - 8) : hex;  // FAT, exFAT, NTFS
  else hex = hex.substr(0, 8);                                                 // 128-bit UUIDs
  return std::uint32_t(std::stoul(hex, nullptr, 16));
}

std::string fileSystemName(const std::string& type, const std::string& version) {
  if (type == "vfat") return version == "FAT32" ? "FAT32" : "FAT";
  if (type == "ntfs") return "NTFS";
  if (type == "exfat") return "exFAT";
  return type;
}

std::string mountPointOf(const std::string& mountInfo, unsigned major, unsigned minor) {
  const std::string wanted = std::to_string(major) + ":" + std::to_string(minor);
  std::istringstream lines(mountInfo);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string id, parent, device, root, point;
    if (!(fields >> id >> parent >> device >> root >> point) || device != wanted) continue;
    return decodeMountField(point);
  }
  return {};
}

LinuxCatalogue::LinuxCatalogue(std::string sysBlock, std::string devDir, std::string mountInfo)
    : m_sysBlock(std::move(sysBlock)), m_devDir(std::move(devDir)), m_mountInfo(std::move(mountInfo)) {}

LinuxCatalogue::Layout LinuxCatalogue::layout(bool withVolumes) const {
  Layout result;
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(m_sysBlock, ec)) {
    const std::string name = entry.path().filename().string();
    if (!isWholeDiskName(name)) continue;
    // An unused loop device has no backing file and nothing to read.
    if (name.starts_with("loop") && !fs::exists(entry.path() / "loop" / "backing_file")) continue;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end(), diskNameLess);

  for (const auto& name : names) {
    const fs::path sys = fs::path(m_sysBlock) / name;
    const int diskIndex = int(result.disks.size());
    result.disks.push_back({name, (fs::path(m_devDir) / name).string(), readNumber(sys / "removable", 0) == 1});
    if (!withVolumes) continue;

    struct Part {
      std::int64_t number;
      std::string name;
      std::int64_t start, sectors;
    };
    std::vector<Part> parts;
    for (const auto& entry : fs::directory_iterator(sys, ec)) {
      if (!fs::exists(entry.path() / "partition")) continue;
      parts.push_back({readNumber(entry.path() / "partition"), entry.path().filename().string(),
                       readNumber(entry.path() / "start", 0), readNumber(entry.path() / "size", 0)});
    }
    std::sort(parts.begin(), parts.end(), [](const Part& a, const Part& b) { return a.number < b.number; });

    auto addVolume = [&](const std::string& volumeName, std::int64_t startSectors, std::int64_t sectors) {
      if (result.volumes.size() >= 24) return;  // C to Z
      // sysfs counts start and size in 512-byte units whatever the logical sector size.
      result.volumes.push_back({char('C' + result.volumes.size()), volumeName,
                                (fs::path(m_devDir) / volumeName).string(), diskIndex, startSectors * 512,
                                sectors * 512});
    };
    if (!parts.empty()) {
      for (const auto& p : parts)
        if (p.sectors > 2) addVolume(p.name, p.start, p.sectors);  // 2 sectors: an extended-partition stub
    } else {
      const Fd fd(result.disks.back().node);
      if (fd.get() >= 0 && probeFileSystem(fd.get())) addVolume(name, 0, readNumber(sys / "size", 0));
    }
  }
  return result;
}

const LinuxCatalogue::Volume* LinuxCatalogue::volumeOf(char letter, Layout& layout) const {
  layout = this->layout();
  const char upper = char(std::toupper(static_cast<unsigned char>(letter)));
  for (const auto& v : layout.volumes)
    if (v.letter == upper) return &v;
  return nullptr;
}

std::optional<VolumeInformation> LinuxCatalogue::volumeInformation(char letter) const {
  Layout l;
  const Volume* v = volumeOf(letter, l);
  if (!v) return std::nullopt;
  const Fd fd(v->node);
  if (fd.get() < 0) return std::nullopt;
  const auto probed = probeFileSystem(fd.get());
  if (!probed) return std::nullopt;
  return VolumeInformation{probed->label, serialFromUuid(probed->uuid), fileSystemName(probed->type, probed->version)};
}

std::optional<FreeSpace> LinuxCatalogue::freeSpace(char letter) const {
  Layout l;
  const Volume* v = volumeOf(letter, l);
  if (!v) return std::nullopt;
  struct stat st {};
  if (::stat(v->node.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return std::nullopt;
  std::ifstream in(m_mountInfo);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string point = mountPointOf(text, major(st.st_rdev), minor(st.st_rdev));
  struct statvfs vfs {};
  if (point.empty() || ::statvfs(point.c_str(), &vfs) != 0) return std::nullopt;
  const auto unit = std::int64_t(vfs.f_frsize);
  return FreeSpace{std::int64_t(vfs.f_bavail) * unit, std::int64_t(vfs.f_blocks) * unit,
                   std::int64_t(vfs.f_bfree) * unit};
}

DriveType LinuxCatalogue::driveType(char letter) const {
  Layout l;
  const Volume* v = volumeOf(letter, l);
  if (!v) return DriveType::NoRootDir;
  return l.disks[std::size_t(v->disk)].removable ? DriveType::Removable : DriveType::Fixed;
}

std::optional<DiskExtent> LinuxCatalogue::volumeExtent(char letter) const {
  Layout l;
  const Volume* v = volumeOf(letter, l);
  if (!v) return std::nullopt;
  // The open is the test that the volume can be read, as it is where the extent request
  // needs a handle; sysfs gives the extent itself.
  const Fd fd(v->node);
  if (fd.get() < 0) return std::nullopt;
  const std::int64_t exact = lengthOf(fd.get());
  return DiskExtent{std::uint32_t(v->disk), v->start, exact > 0 ? exact : v->length};
}

std::string LinuxCatalogue::volumeNode(char letter) const {
  Layout l;
  const Volume* v = volumeOf(letter, l);
  return v ? v->node : std::string();
}

DiskProbe LinuxCatalogue::probeDisk(int number) const {
  DiskProbe probe;
  const Layout l = layout(false);
  if (number < 0 || number >= int(l.disks.size())) return probe;
  const Disk& disk = l.disks[std::size_t(number)];
  probe.nativePath = disk.node;
  const Fd fd(disk.node);
  if (fd.get() < 0) {
    probe.state = DiskProbe::State::Unreadable;
    probe.error = fd.error();
    return probe;
  }
  probe.state = DiskProbe::State::Open;
  probe.length = lengthOf(fd.get());
  int sectorSize = 0;
  if (::ioctl(fd.get(), BLKSSZGET, &sectorSize) != 0 || sectorSize <= 0) sectorSize = 512;
  // Linux keeps no disk geometry; the one Windows reports for such a disk stands in.
  probe.geometry = standardGeometry(probe.length, std::uint32_t(sectorSize), disk.removable);
  return probe;
}

std::string LinuxCatalogue::diskNode(int number) const {
  const Layout l = layout(false);
  return number >= 0 && number < int(l.disks.size()) ? l.disks[std::size_t(number)].node : std::string();
}

const Catalogue& systemCatalogue() {
  static const LinuxCatalogue catalogue;
  return catalogue;
}

bool isDevicePath(const std::string& path) {
  if (path.compare(0, 4, DevicePrefix) == 0) return true;
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode));
}

std::string readerGroupOf(const std::string& nativePath) {
  struct stat st {};
  if (::stat(nativePath.c_str(), &st) == 0 && (st.st_mode & S_IRGRP) != 0 && st.st_gid != 0)
    if (const group* g = ::getgrgid(st.st_gid)) return g->gr_name;
  return {};
}

std::string rightsNeededText(const std::string& nativePath) {
  if (::geteuid() == 0)
    return "\"" + nativePath +
           "\" is refused even to root: the system keeps it from being read (a security policy or the "
           "device rules of a container).";
  const std::string name = readerGroupOf(nativePath);
  if (!name.empty())
    return "Reading \"" + nativePath + "\" needs root rights or membership of the group \"" + name +
           "\": run it with sudo, or add your user to \"" + name + "\" and log in again.";
  return "Reading \"" + nativePath + "\" needs root rights: run it with sudo.";
}

std::filesystem::path programDir() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::path() : exe.parent_path();
}

}  // namespace kestrix::sources
