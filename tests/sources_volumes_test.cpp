#include <gtest/gtest.h>

#include "sources/fake_catalogue.h"
#include "sources/volume_list.h"
#include "support/test_support.h"

using namespace kestrix::sources;
using kestrix::test::TempDir;

namespace {

FakeCatalogue::Volume volume(DriveType type, const std::string& label, std::optional<DiskExtent> extent,
                             std::optional<FreeSpace> space = std::nullopt) {
  FakeCatalogue::Volume v;
  v.type = type;
  v.information = VolumeInformation{label, 0x00ABCDEF, "NTFS"};
  v.extent = extent;
  v.space = space;
  v.length = 4096;
  return v;
}

}  // namespace

TEST(VolumeList, ListsLettersWithAKnownDiskOrALabel) {
  TempDir dir;
  FakeCatalogue cat(dir.path().string());
  cat.addVolume('A', volume(DriveType::Fixed, "Floppy", DiskExtent{0, 0, 4096}));  // never examined
  cat.addVolume('D', volume(DriveType::Fixed, "Data", DiskExtent{0, 1048576, 107372081152},
                            FreeSpace{13254321152, 107372081152, 13254321152 + 4096}));
  cat.addVolume('E', volume(DriveType::Fixed, "", std::nullopt));       // cannot be opened, no label
  cat.addVolume('F', volume(DriveType::Fixed, "Locked", std::nullopt));  // cannot be opened, labelled
  cat.addVolume('G', volume(DriveType::CdRom, "", DiskExtent{1, 0, 4096}));
  cat.addVolume('H', volume(DriveType::CdRom, "DVD", DiskExtent{1, 0, 4096}));  // no extent asked for a CD
  cat.addVolume('I', volume(DriveType::Remote, "Share", std::nullopt));
  cat.addVolume('J', volume(DriveType::Remote, "", std::nullopt));
  FakeCatalogue::Volume raw = volume(DriveType::Removable, "", DiskExtent{2, 512, 4096});
  raw.information = std::nullopt;  // no readable file system, free-space query fails too
  cat.addVolume('K', raw);
  cat.addVolume('Q', volume(DriveType::RamDisk, "Ram", std::nullopt));
  cat.addVolume('Z', volume(DriveType::Unknown, "Last", std::nullopt));

  const TNTVolumeList list(cat);
  EXPECT_EQ(list.Drives, (std::vector<std::string>{"D", "F", "H", "I", "K", "Q", "Z"}));
  ASSERT_EQ(list.Count(), 7);
  EXPECT_EQ(list.GetCaption(0), "Data (D:), HD0, NTFS, [12.34 GB/100.00 GB]");
  EXPECT_EQ(list.GetCaption(1), "Locked (F:), HD255, NTFS, [0.00 MB/0.00 MB]");
  EXPECT_EQ(list.GetCaption(2), "DVD (H:), CD255, NTFS, [0.00 MB/0.00 MB]");
  EXPECT_EQ(list.GetCaption(3), "Share (I:), ND255, NTFS, [0.00 MB/0.00 MB]");
  EXPECT_EQ(list.GetCaption(4), " (K:), RD2, , [0.00 MB/0.00 MB]");
  EXPECT_EQ(list.GetCaption(5), "Ram (Q:), RD255, NTFS, [0.00 MB/0.00 MB]");  // a RAM disk is not asked either
  EXPECT_EQ(list.GetCaption(6), "Last (Z:), 255, NTFS, [0.00 MB/0.00 MB]");
  EXPECT_EQ(list.GetDrive(6), "Z");
  // Item keeps the volume listed last.
  EXPECT_TRUE(list.Item.Filled);
  EXPECT_EQ(list.Item.Drive, "Z");
  EXPECT_EQ(list.Item.DiskId, "255");
  EXPECT_EQ(list.Item.SerialText, "00ABCDEF");

  EXPECT_THROW(
      {
        try {
          (void)list.GetCaption(7);
        } catch (const kestrix::Error& e) {
          EXPECT_STREQ(e.what(), "List index out of bounds (7)");
          throw;
        }
      },
      kestrix::Error);
  EXPECT_THROW((void)list.GetDrive(-1), kestrix::Error);
}

TEST(VolumeList, EmptyCatalogueListsNothing) {
  TempDir dir;
  FakeCatalogue cat(dir.path().string());
  const TNTVolumeList list(cat);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_FALSE(list.Item.Filled);
  EXPECT_THROW((void)list.GetCaption(0), kestrix::Error);
}

TEST(VolumeInfo, ReadsTheFactsOfOneLetter) {
  TempDir dir;
  FakeCatalogue cat(dir.path().string());
  FakeCatalogue::Volume v = volume(DriveType::Fixed, "Data", DiskExtent{3, 1048576, 999}, FreeSpace{100, 900, 200});
  v.information->serial = 0xDEADBEEF;
  cat.addVolume('D', v);
  const TNTVolumeInfo info(cat, "D");
  EXPECT_EQ(info.SerialText, "DEADBEEF");
  EXPECT_EQ(info.FreeSize, 100);  // available to the caller, not the total free bytes
  EXPECT_EQ(info.TotalSize, 900);
  EXPECT_EQ(info.DriveKind, "HD");
  EXPECT_EQ(info.Extent, (DiskExtent{3, 1048576, 999}));

  const TNTVolumeInfo none(cat, "X");  // nothing behind the letter
  EXPECT_EQ(none.VolumeLabel, "");
  EXPECT_EQ(none.SerialText, "");
  EXPECT_EQ(none.TotalSize, 0);
  EXPECT_EQ(none.DriveKind, "");
  EXPECT_EQ(none.Extent.DiskNumber, 255u);
}

TEST(VolumeList, SizeTextInMegabytesBelowOneGibibyte) {
  EXPECT_EQ(TNTVolumeList::SizeText(0), "0.00 MB");
  EXPECT_EQ(TNTVolumeList::SizeText(1048575), "1.00 MB");  // rounded
  EXPECT_EQ(TNTVolumeList::SizeText(524288), "0.50 MB");
  EXPECT_EQ(TNTVolumeList::SizeText(2 * 1048576), "2.00 MB");  // not 0.00 GB
  EXPECT_EQ(TNTVolumeList::SizeText(1073741823), "1024.00 MB");
  EXPECT_EQ(TNTVolumeList::SizeText(1073741824), "1.00 GB");
  EXPECT_EQ(TNTVolumeList::SizeText(13254321152), "12.34 GB");
  EXPECT_EQ(TNTVolumeList::SizeText(107372081152), "100.00 GB");
  EXPECT_EQ(TNTVolumeList::SizeText(double(1) * (1ull << 50)), "1048576.00 GB");
}

TEST(DiskGeometry, CylinderProductAndMediaTypeTexts) {
  EXPECT_EQ(GetDiskSize({60801, kMediaFixed, 255, 63, 512}), 500105249280u);
  // The cylinder count is used in full: more than 2^32 cylinders do not wrap.
  EXPECT_EQ(GetDiskSize({std::int64_t(1) << 33, kMediaFixed, 255, 63, 4096}),
            (std::uint64_t(1) << 33) * 255 * 63 * 4096);
  // The stand-in geometry covers whole cylinders only: up to one cylinder short of the device.
  const std::int64_t length = 500107862016;  // a 500 GB disk
  const auto g = standardGeometry(length, 512, false);
  EXPECT_EQ(GetDiskSize(g), 500105249280u);
  EXPECT_LT(length - std::int64_t(GetDiskSize(g)), 255 * 63 * 512);
  EXPECT_EQ(g.MediaType, kMediaFixed);
  EXPECT_EQ(standardGeometry(length, 512, true).MediaType, kMediaRemovable);

  EXPECT_EQ(GetMediaTypeText(0), "Unknown Media Type");
  EXPECT_EQ(GetMediaTypeText(1), "Floppy Disk");
  EXPECT_EQ(GetMediaTypeText(10), "Floppy Disk");
  EXPECT_EQ(GetMediaTypeText(11), "Removable Drive");
  EXPECT_EQ(GetMediaTypeText(12), "Fixed Drive");
  EXPECT_EQ(GetMediaTypeText(13), "Zip / Other");
  EXPECT_EQ(GetMediaTypeText(25), "Zip / Other");
  EXPECT_EQ(GetMediaTypeText(26), "UNKNOWN");
  EXPECT_EQ(GetMediaTypeText(-1), "UNKNOWN");
}
