#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <sstream>

#include "cli/commands.h"
#include "sources/fake_catalogue.h"
#include "sources/open_source.h"
#include "sources/source_picker.h"
#include "support/test_support.h"

using namespace kestrix::sources;
using kestrix::systemReason;
using kestrix::test::messageOf;
using kestrix::test::TempDir;

namespace kestrix::cli {
// Defined in src/cli/cmd_sources.cpp: `kestrix-cli sources` over any catalogue.
int runSources(const sources::Catalogue& catalogue, Format format, std::ostream& out, std::ostream& err);
}  // namespace kestrix::cli

namespace {

FakeCatalogue::Volume dataVolume(std::int64_t length) {
  FakeCatalogue::Volume v;
  v.information = VolumeInformation{"Data", 0x1234ABCD, "NTFS"};
  v.extent = DiskExtent{0, 1048576, length};
  v.length = length;  // the free-space query fails: TotalSize stays 0
  return v;
}

}  // namespace

TEST(SourceMenu, NothingToOfferGivesTheImageEntryAndOneSeparator) {
  TempDir dir;
  FakeCatalogue cat(dir.path().string());
  const auto menu = BuildSourceMenu(cat);
  ASSERT_EQ(menu.size(), 2u);
  EXPECT_EQ(menu[0].kind, EntryKind::Image);
  EXPECT_EQ(menu[0].name, "Openimage");
  EXPECT_EQ(menu[0].caption, "打开磁盘镜像");
  EXPECT_EQ(menu[0].imageIndex, 19);
  EXPECT_EQ(menu[1].kind, EntryKind::Separator);
  EXPECT_EQ(menu[1].caption, "-");
  EXPECT_EQ(menu[1].imageIndex, -1);
}

TEST(SourceMenu, OffersVolumesThenEveryDiskThatOpensAcrossGaps) {
  TempDir dir;
  FakeCatalogue cat(dir.path().string());
  const std::string volumeD = cat.addVolume('D', dataVolume(8192));
  const std::string disk0 = cat.addDisk(0, 1048576 + 512);  // the exact length, not whole cylinders
  cat.refuseDisk(1);                                          // cannot be read
  const std::string disk2 = cat.addDisk(2, 1536 * 1024, true);
  const std::string disk255 = cat.addDisk(255, 500107862016);  // sparse, never read

  const auto menu = BuildSourceMenu(cat);
  std::vector<std::string> names, captions, nodes;
  for (const auto& e : menu) {
    names.push_back(e.name);
    captions.push_back(e.caption);
    nodes.push_back(e.nativePath);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Openimage", "", "Dxx", "", "PhysicalDrive0", "PhysicalDrive2",
                                             "PhysicalDrive255"}));
  EXPECT_EQ(captions, (std::vector<std::string>{"打开磁盘镜像", "-", "Data (D:), HD0, NTFS, [0.00 MB/0.00 MB]", "-",
                                                "HD0, Fixed Drive, [1 MB]", "HD2, Removable Drive, [1.50 MB]",
                                                "HD255, Fixed Drive, [465.76 GB]"}));
  EXPECT_EQ(nodes, (std::vector<std::string>{"", "", volumeD, "", disk0, disk2, disk255}));
  EXPECT_EQ(menu[2].imageIndex, 18);
  EXPECT_EQ(menu[4].imageIndex, 17);
  EXPECT_EQ(menu[4].kind, EntryKind::Disk);
  EXPECT_EQ(menu[2].kind, EntryKind::Volume);
}

TEST(SourcePicker, ChoicesGiveTextPathAndTheWholeLength) {
  TempDir dir;
  FakeCatalogue cat(dir.path().string());
  cat.addDisk(3, 3 * 1048576 + 512);
  cat.addVolume('D', dataVolume(5 * 1048576));
  const std::string image = dir.file("card.img");
  kestrix::test::writeFile(image, std::vector<std::byte>(12345));

  SourcePicker picker(cat);
  EXPECT_EQ(picker.SourceText(), "");
  EXPECT_EQ(picker.SourceSize(), 0);

  picker.SourceItemClick({EntryKind::Disk, "PhysicalDrive3", "", 17, ""});
  EXPECT_EQ(picker.SourceText(), "PhysicalDrive3");
  EXPECT_EQ(picker.SourcePath(), "\\\\.\\PhysicalDrive3");
  EXPECT_EQ(picker.SourceSize(), 3 * 1048576 + 512);  // exact length, not whole cylinders

  // The volume's free-space query fails (TotalSize 0), yet the whole device is scanned.
  picker.SourceItemClick({EntryKind::Volume, "Dxx", "", 18, ""});
  EXPECT_EQ(picker.SourceText(), "D:");
  EXPECT_EQ(picker.SourcePath(), "\\\\.\\D:");
  EXPECT_EQ(picker.SourceSize(), 5 * 1048576);

  picker.SourceItemClick({EntryKind::Image, "Openimage", "", 19, ""}, "");  // dialog cancelled
  EXPECT_EQ(picker.SourceText(), "D:");
  EXPECT_EQ(picker.SourcePath(), "\\\\.\\D:");
  picker.SourceItemClick({EntryKind::Separator, "", "-", -1, ""});
  EXPECT_EQ(picker.SourceText(), "D:");

  picker.SourceItemClick({EntryKind::Image, "Openimage", "", 19, ""}, image);
  EXPECT_EQ(picker.SourceText(), image);
  EXPECT_EQ(picker.SourcePath(), image);
  EXPECT_EQ(picker.SourceSize(), 12345);
  EXPECT_EQ(picker.SourceFormat(), "");

#ifndef _WIN32  // qemu-img makes the image: scripts/test-windows.sh hands such images over
  // An image in a container: the size of the disk it holds, and its format.
  ASSERT_EQ(kestrix::test::runShell("qemu-img create -q -f qcow2 " + dir.file("vm.qcow2") + " 6M"), 0);
  picker.SourceChange(dir.file("vm.qcow2"));
  EXPECT_EQ(picker.SourceSize(), 6 << 20);
  EXPECT_EQ(picker.SourceFormat(), "qcow2");
  EXPECT_EQ(picker.Open()->size(), 6 << 20);
#endif
}

TEST(SourcePicker, ChoosingTheShownEntryAgainChangesNothing) {
  TempDir dir;
  FakeCatalogue cat(dir.path().string());
  const std::string disk = cat.addDisk(3, 1048576);
  SourcePicker picker(cat);
  const SourceMenuEntry entry{EntryKind::Disk, "PhysicalDrive3", "", 17, ""};
  picker.SourceItemClick(entry);
  EXPECT_EQ(picker.SourceSize(), 1048576);
  // The disk grows; choosing it again does not take the source again, so the size stays.
  std::filesystem::resize_file(disk, 2 * 1048576);
  picker.SourceItemClick(entry);
  EXPECT_EQ(picker.SourceSize(), 1048576);
  // Taking the text again (as the command line does) reads the new length.
  picker.SourceChange("PhysicalDrive3");
  EXPECT_EQ(picker.SourceSize(), 2 * 1048576);
}

TEST(SourcePicker, ASourceThatCannotBeOpenedLeavesNoSize) {
  TempDir dir;
  FakeCatalogue cat(dir.path().string());
  cat.addDisk(0, 1048576);
  const std::string refused = (cat.refuseDisk(1), cat.diskNode(1));
  SourcePicker picker(cat);
  picker.SourceChange("PhysicalDrive0");
  ASSERT_EQ(picker.SourceSize(), 1048576);

  EXPECT_EQ(messageOf([&] { picker.SourceItemClick({EntryKind::Disk, "PhysicalDrive1", "", 17, ""}); }),
            "Cannot open file \"" + refused + "\". " + systemReason(EACCES));
  EXPECT_EQ(picker.SourceText(), "PhysicalDrive1");
  EXPECT_EQ(picker.SourcePath(), "\\\\.\\PhysicalDrive1");
  EXPECT_EQ(picker.SourceSize(), 0);  // not the size of PhysicalDrive0

  picker.SourceChange("PhysicalDrive0");
  const std::string missing = dir.file("missing.img");
  EXPECT_EQ(messageOf([&] { picker.SourceChange(missing); }),
            "Cannot open file \"" + missing + "\". " + systemReason(ENOENT));
  EXPECT_EQ(picker.SourceSize(), 0);

  picker.SourceChange("PhysicalDrive0");
  EXPECT_EQ(messageOf([&] { picker.SourceChange("PhysicalDrive9"); }),
            "Cannot open file \"\\\\.\\PhysicalDrive9\". " + systemReason(ENODEV));
  EXPECT_EQ(picker.SourceSize(), 0);
  EXPECT_EQ(messageOf([&] { picker.SourceChange("Q:"); }), "Cannot open file \"\\\\.\\Q:\". " + systemReason(ENODEV));
}

TEST(SourceNames, ResolveAsTheSourceBoxDoes) {
  EXPECT_EQ(SourcePathOf("PhysicalDrive0"), "\\\\.\\PhysicalDrive0");
  EXPECT_EQ(SourcePathOf("D:"), "\\\\.\\D:");
  EXPECT_EQ(SourcePathOf("D:\\"), "\\\\.\\D:");
  EXPECT_EQ(SourcePathOf("D:x.img"), "D:x.img");  // only "X:" and "X:\\" name volumes
  EXPECT_EQ(SourcePathOf("d:x"), "d:x");
  EXPECT_EQ(SourcePathOf("PhysicalDrive_old.img"), "PhysicalDrive_old.img");  // only digits after the name
  EXPECT_EQ(SourcePathOf("/srv/disk.img"), "/srv/disk.img");
  EXPECT_EQ(SourcePathOf("\\\\.\\D:"), "\\\\.\\D:");
  EXPECT_EQ(SourcePathOf(""), "");

  TempDir dir;
  FakeCatalogue cat(dir.path().string());
  const std::string disk = cat.addDisk(2, 4096);
  const std::string volume = cat.addVolume('D', dataVolume(8192));
  for (const char* name : {"PhysicalDrive2", "\\\\.\\PhysicalDrive2"}) EXPECT_EQ(openSourceByName(cat, name)->name(), disk);
  for (const char* name : {"D:", "d:", "\\\\.\\D:", "D:\\"}) EXPECT_EQ(openSourceByName(cat, name)->name(), volume);
  EXPECT_EQ(openSourceByName(cat, "D:")->size(), 8192);
  EXPECT_EQ(openSourceByName(cat, disk)->name(), disk);  // a path stays a path
  for (const char* name : {"\\\\.\\PhysicalDriveX", "\\\\.\\PhysicalDrive-1", "PhysicalDrive9", "B:"})
    EXPECT_EQ(messageOf([&] { openSourceByName(cat, name); }),
              "Cannot open file \"" + SourcePathOf(name) + "\". " + systemReason(ENODEV))
        << name;
  for (const char* name : {"PhysicalDrive", "PhysicalDriveX", "PhysicalDrive2b", "d:x"})
    EXPECT_EQ(messageOf([&] { openSourceByName(cat, name); }),
              "Cannot open file \"" + std::string(name) + "\". " + systemReason(ENOENT))
        << name;
}

TEST(SourcesCommand, ListsTheMenuWithTheDeviceBehindEachEntry) {
  TempDir dir;
  FakeCatalogue cat(dir.path().string());
  const std::string volume = cat.addVolume('D', dataVolume(8192));
  const std::string disk = cat.addDisk(0, 1048576);
  cat.refuseDisk(1);
  std::ostringstream out, err;
  EXPECT_EQ(kestrix::cli::runSources(cat, kestrix::cli::Format::Tsv, out, err), 0);
  EXPECT_EQ(out.str(), "kind\tsource\tname\tcaption\tdevice\n"
                       "image\tPATH\tOpenimage\t打开磁盘镜像\t\n"
                       "separator\t\t\t-\t\n"
                       "volume\tD:\tDxx\tData (D:), HD0, NTFS, [0.00 MB/0.00 MB]\t" + volume + "\n"
                       "separator\t\t\t-\t\n"
                       "disk\tPhysicalDrive0\tPhysicalDrive0\tHD0, Fixed Drive, [1 MB]\t" + disk + "\n");
  // The refused disk is named with the reason, and one line says what reading it needs.
  const std::string notes = err.str();
  EXPECT_NE(notes.find("PhysicalDrive1 (" + cat.diskNode(1) + ") is not listed: " + systemReason(EACCES) + "\n"),
            std::string::npos)
      << notes;
  EXPECT_EQ(std::count(notes.begin(), notes.end(), '\n'), 2) << notes;

  std::ostringstream json, jsonErr;
  kestrix::cli::runSources(cat, kestrix::cli::Format::Json, json, jsonErr);
  EXPECT_NE(json.str().find("{\"kind\": \"disk\", \"source\": \"PhysicalDrive0\", \"name\": \"PhysicalDrive0\", "
                            "\"caption\": \"HD0, Fixed Drive, [1 MB]\", \"imageIndex\": 17, \"device\": " +
                            kestrix::cli::jsonString(disk) + "}"),
            std::string::npos)
      << json.str();
  EXPECT_NE(json.str().find("\"reason\": \"" + systemReason(EACCES) + "\""), std::string::npos);
}

TEST(OpenSource, CommandLineNamesUnknownDevices) {
  std::ostringstream out, err;
  std::atomic<bool> stop{false};
  const char* argv[] = {"kestrix-cli", "scan", "-q", "PhysicalDrive250"};
  EXPECT_EQ(kestrix::cli::runCli(4, argv, out, err, stop), 1);
  EXPECT_EQ(err.str(),
            "Cannot open file \"\\\\.\\PhysicalDrive250\". " + systemReason(ENODEV) + "\n"
            "kestrix-cli sources lists the disks and volumes of this machine.\n");
  // An argument that begins with / is a path on Windows too, never an option.
  std::ostringstream slashOut, slashErr;
  const char* slash[] = {"kestrix-cli", "scan", "-q", "/no/such/disk.img"};
  EXPECT_EQ(kestrix::cli::runCli(4, slash, slashOut, slashErr, stop), 1);
  EXPECT_EQ(slashErr.str().rfind("Cannot open file \"/no/such/disk.img\". ", 0), 0u) << slashErr.str();
}
