// The Windows catalogue's rules over a fake of what the Win32 calls answer: which letters and
// disks are offered, which disk a volume lies on, the captions, the device descriptor's text.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "sources/source_picker.h"
#include "sources/windows_catalogue.h"

namespace kestrix::sources {
namespace {

struct FakeCalls final : WindowsCalls {
  std::string letters;
  std::map<char, unsigned> types;
  std::map<char, VolumeInformation> information;
  std::map<char, FreeSpace> space;
  std::map<char, std::vector<DiskExtent>> extents;
  std::map<int, Disk> disks;

  std::string logicalDrives() const override { return letters; }
  unsigned driveType(char l) const override { return types.count(l) ? types.at(l) : 0; }
  std::optional<VolumeInformation> volumeInformation(char l) const override {
    return information.count(l) ? std::optional(information.at(l)) : std::nullopt;
  }
  std::optional<FreeSpace> freeSpace(char l) const override {
    return space.count(l) ? std::optional(space.at(l)) : std::nullopt;
  }
  std::optional<std::vector<DiskExtent>> volumeExtents(char l) const override {
    return extents.count(l) ? std::optional(extents.at(l)) : std::nullopt;
  }
  Disk disk(int n) const override { return disks.count(n) ? disks.at(n) : Disk{}; }
};

// A STORAGE_DEVICE_DESCRIPTOR: the header, then the strings at the offsets given.
std::vector<std::byte> descriptor(const std::map<std::size_t, std::string>& strings, std::uint32_t size = 0) {
  std::vector<std::byte> bytes(64);
  for (const auto& [field, text] : strings) {
    const auto at = std::uint32_t(bytes.size());
    for (char c : text) bytes.push_back(std::byte(c));
    bytes.push_back(std::byte{0});
    std::memcpy(bytes.data() + field, &at, 4);
  }
  const std::uint32_t declared = size ? size : std::uint32_t(bytes.size());
  std::memcpy(bytes.data() + 4, &declared, 4);
  return bytes;
}

constexpr unsigned kFixed = 3, kRemovable = 2, kCdRom = 5;
constexpr std::int64_t kGiB = 1 << 30;

TEST(WindowsCatalogue, MenuOffersTheDrivesAndDisksTheCallsReport) {
  FakeCalls calls;
  calls.letters = "ACDEZ";  // A: is never offered
  calls.types = {{'A', kRemovable}, {'C', kFixed}, {'D', kRemovable}, {'E', kCdRom}, {'Z', kFixed}};
  calls.information = {{'C', {"System", 0x1234ABCD, "NTFS"}}, {'E', {"DVD", 1, "UDF"}}, {'Z', {"", 2, "NTFS"}}};
  calls.space = {{'C', {10 * kGiB, 100 * kGiB, 12 * kGiB}}};
  // C: lies on two disks (a spanned volume): it counts as on the disk of its first extent.
  calls.extents = {{'C', {{1, 1048576, 50 * kGiB}, {0, 1048576, 50 * kGiB}}}, {'D', {}}};
  WindowsCalls::Disk disk0;
  disk0.open = WindowsCalls::Disk::Open::Yes;
  disk0.length = 100 * kGiB + 512;  // not whole cylinders: the exact length wins
  disk0.geometry = DiskGeometry{13054, 12, 255, 63, 512};
  disk0.descriptor = descriptor({{12, "ATA     "}, {16, "ST1000DM003"}, {24, "  Z1D5K0LL  "}});
  WindowsCalls::Disk refused;
  refused.open = WindowsCalls::Disk::Open::Refused;
  refused.error = EACCES;
  WindowsCalls::Disk noLength;  // no length request, no geometry: nothing to size it by
  noLength.open = WindowsCalls::Disk::Open::Yes;
  calls.disks = {{0, disk0}, {2, refused}, {3, noLength}};

  const WindowsCatalogue catalogue(calls);
  std::vector<std::string> captions;
  for (const auto& e : BuildSourceMenu(catalogue)) captions.push_back(e.caption + " | " + e.nativePath);
  EXPECT_EQ(captions, (std::vector<std::string>{
                          "打开磁盘镜像 | ",
                          "- | ",
                          "System (C:), HD1, NTFS, [10.00 GB/100.00 GB] | \\\\.\\C:",
                          "DVD (E:), CD255, UDF, [0.00 MB/0.00 MB] | \\\\.\\E:",
                          "- | ",
                          "HD0, Fixed Drive, [100 GB], ATA ST1000DM003, SN Z1D5K0LL | \\\\.\\PhysicalDrive0",
                          "HD3, Fixed Drive, [0 B] | \\\\.\\PhysicalDrive3",
                      }));
  // D: exists but has no extent and no label; Z: gives no extent (no volume device): both left out.
  EXPECT_EQ(catalogue.driveType('F'), DriveType::NoRootDir);
  EXPECT_EQ(catalogue.volumeNode('F'), "");
  EXPECT_EQ(catalogue.probeDisk(2).state, DiskProbe::State::Unreadable);
  EXPECT_EQ(catalogue.probeDisk(2).error, EACCES);
  EXPECT_EQ(catalogue.diskNode(1), "");
  EXPECT_EQ(catalogue.diskNode(2), "\\\\.\\PhysicalDrive2");
  EXPECT_THROW(NativePathOf(catalogue, "\\\\.\\PhysicalDrive1"), SourceOpenError);
}

TEST(WindowsCatalogue, DeviceDescriptionStaysInsideTheReturnedBytes) {
  EXPECT_EQ(deviceDescription({}), "");
  EXPECT_EQ(deviceDescription(descriptor({{16, "Virtual Disk"}})), "Virtual Disk");
  EXPECT_EQ(deviceDescription(descriptor({{24, "    "}, {16, "X"}})), "X");
  EXPECT_EQ(deviceDescription(descriptor({{24, "0001"}})), "SN 0001");
  // The descriptor says it is shorter than the strings: they lie outside it.
  EXPECT_EQ(deviceDescription(descriptor({{16, "Disk"}}, 64)), "");
  // A string without its NUL ends with the bytes; an offset past them is nothing.
  auto cut = descriptor({{16, "Disk"}});
  cut.pop_back();
  EXPECT_EQ(deviceDescription(cut), "Disk");
  auto wild = descriptor({{12, "V"}});
  const std::uint32_t far = 1u << 30;
  std::memcpy(wild.data() + 16, &far, 4);
  EXPECT_EQ(deviceDescription(wild), "V");
}

}  // namespace
}  // namespace kestrix::sources
