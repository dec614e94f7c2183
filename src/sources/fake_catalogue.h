#pragma once
// A catalogue of disks and volumes backed by image files in a folder, for tests and for
// trying the window without real devices. Each disk and volume is a file "disk<N>.img" or
// "volume-<X>.img" whose length is the device's length; the facts that the system would
// report (label, free space, drive type, extent) are set by the test.

#include <map>
#include <optional>
#include <string>

#include "sources/catalogue.h"

namespace kestrix::sources {

class FakeCatalogue final : public Catalogue {
 public:
  // folder must exist; the image files are made in it (and left for the caller to remove).
  explicit FakeCatalogue(std::string folder);

  // Disk N over a sparse image of `length` bytes; returns the image's path.
  std::string addDisk(int number, std::int64_t length, bool removable = false);
  // Disk N exists but opening it fails with `error` (EACCES: no right to read it).
  void refuseDisk(int number, int error = EACCES);

  struct Volume {
    DriveType type = DriveType::Fixed;
    std::optional<VolumeInformation> information;  // nullopt: the query fails
    std::optional<FreeSpace> space;                // nullopt: the query fails
    std::optional<DiskExtent> extent;              // nullopt: the device cannot be opened
    std::int64_t length = 0;                       // bytes of the image behind the letter
  };
  // Volume X over a sparse image of volume.length bytes; returns the image's path.
  std::string addVolume(char letter, const Volume& volume);

  std::optional<VolumeInformation> volumeInformation(char letter) const override;
  std::optional<FreeSpace> freeSpace(char letter) const override;
  DriveType driveType(char letter) const override;
  std::optional<DiskExtent> volumeExtent(char letter) const override;
  std::string volumeNode(char letter) const override;
  DiskProbe probeDisk(int number) const override;
  std::string diskNode(int number) const override;
  std::unique_ptr<scan::ByteSource> open(const std::string& nativePath) const override;

 private:
  struct Disk {
    std::string path;
    bool removable = false;
    int error = 0;  // the open fails with this errno when not 0
  };
  struct VolumeEntry {
    Volume facts;
    std::string path;
  };
  const VolumeEntry* volume(char letter) const;

  std::string m_folder;
  std::map<int, Disk> m_disks;
  std::map<char, VolumeEntry> m_volumes;
};

}  // namespace kestrix::sources
