#include "sources/fake_catalogue.h"

#include <cerrno>
#include <filesystem>

#include "io/output_file.h"
#include "io/output_names.h"

namespace kestrix::sources {

namespace {

// An image of `length` bytes, all of them a hole where the file system keeps holes.
std::string makeImage(const std::filesystem::path& path, std::int64_t length) {
  rebuild::OutputFile image(rebuild::textOf(path));
  image.resize(length);
  image.commit();
  return rebuild::textOf(path);
}

}  // namespace

FakeCatalogue::FakeCatalogue(std::string folder) : m_folder(std::move(folder)) {}

std::string FakeCatalogue::addDisk(int number, std::int64_t length, bool removable) {
  const auto path = makeImage(rebuild::pathOf(m_folder) / ("disk" + std::to_string(number) + ".img"), length);
  m_disks[number] = Disk{path, removable, 0};
  return path;
}

void FakeCatalogue::refuseDisk(int number, int error) {
  const auto path = makeImage(rebuild::pathOf(m_folder) / ("disk" + std::to_string(number) + ".img"), 0);
  m_disks[number] = Disk{path, false, error};
}

std::string FakeCatalogue::addVolume(char letter, const Volume& volume) {
  const auto path =
      makeImage(rebuild::pathOf(m_folder) / (std::string("volume-") + letter + ".img"), volume.length);
  m_volumes[letter] = VolumeEntry{volume, path};
  return path;
}

const FakeCatalogue::VolumeEntry* FakeCatalogue::volume(char letter) const {
  const auto it = m_volumes.find(letter);
  return it == m_volumes.end() ? nullptr : &it->second;
}

std::optional<VolumeInformation> FakeCatalogue::volumeInformation(char letter) const {
  const auto* v = volume(letter);
  return v ? v->facts.information : std::nullopt;
}

std::optional<FreeSpace> FakeCatalogue::freeSpace(char letter) const {
  const auto* v = volume(letter);
  return v ? v->facts.space : std::nullopt;
}

DriveType FakeCatalogue::driveType(char letter) const {
  const auto* v = volume(letter);
  return v ? v->facts.type : DriveType::NoRootDir;
}

std::optional<DiskExtent> FakeCatalogue::volumeExtent(char letter) const {
  const auto* v = volume(letter);
  return v ? v->facts.extent : std::nullopt;
}

std::string FakeCatalogue::volumeNode(char letter) const {
  const auto* v = volume(letter);
  return v ? v->path : std::string();
}

DiskProbe FakeCatalogue::probeDisk(int number) const {
  DiskProbe probe;
  const auto it = m_disks.find(number);
  if (it == m_disks.end()) return probe;
  probe.nativePath = it->second.path;
  if (it->second.error != 0) {
    probe.state = DiskProbe::State::Unreadable;
    probe.error = it->second.error;
    return probe;
  }
  probe.state = DiskProbe::State::Open;
  probe.length = open(it->second.path)->size();
  probe.geometry = standardGeometry(probe.length, 512, it->second.removable);
  return probe;
}

std::string FakeCatalogue::diskNode(int number) const {
  const auto it = m_disks.find(number);
  return it == m_disks.end() ? std::string() : it->second.path;
}

std::unique_ptr<scan::ByteSource> FakeCatalogue::open(const std::string& nativePath) const {
  for (const auto& [number, disk] : m_disks)
    if (disk.path == nativePath && disk.error != 0) throw SourceOpenError(nativePath, disk.error);
  return openReadOnly(nativePath);
}

}  // namespace kestrix::sources
