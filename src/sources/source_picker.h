#pragma once
// The source picker apart from the window: what the source menu offers, how a choice maps to
// a path, and how the chosen source's size is found. The window and kestrix-cli both use it.
//
// Contract between the window and the data-source backends; implemented in
// source_picker.cpp. Device paths keep their Windows form (\\.\PhysicalDriveN, \\.\X:) and
// are mapped to native nodes by the Catalogue.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io/byte_source.h"

namespace kestrix::sources {

class Catalogue;  // catalogue.h: the disks and volumes of the machine (or of a test)

enum class EntryKind { Image, Separator, Volume, Disk };

// One entry of the source menu, in menu order.
struct SourceMenuEntry {
  EntryKind kind = EntryKind::Separator;
  std::string name;        // "Openimage", "Cxx", "PhysicalDrive0"; empty for a separator
  std::string caption;     // "打开磁盘镜像", a volume caption, "HD0, Fixed Drive, [465.75 GB]", "-"
  int imageIndex = -1;     // 19 image, 18 volume, 17 disk, -1 separator
  std::string nativePath;  // the device node behind a volume or disk entry ("" otherwise)
};

// The menu: the image entry, a separator when at least one volume is listed, the volumes,
// a separator, then every disk that can be opened (a disk that cannot does not hide later ones),
// captioned "HDn, MEDIA TYPE, [SIZE]" and its model and serial where the system gives them.
std::vector<SourceMenuEntry> BuildSourceMenu(const Catalogue& catalogue);

// The chosen source: the text shown in the box, the path and the size in bytes.
class SourcePicker {
 public:
  explicit SourcePicker(const Catalogue& catalogue);

  const std::string& SourceText() const { return m_text; }
  const std::string& SourcePath() const { return m_path; }
  std::int64_t SourceSize() const { return m_size; }
  // The container the source is read through ("E01", "qcow2", "VMDK", "VHD", "VHDX"), "" for a
  // raw image, a disk or a volume.
  const std::string& SourceFormat() const { return m_format; }

  // Applies a menu choice. For the image entry, imagePath is what the open dialog returned
  // (empty when cancelled: nothing changes). Sets the shown text; when it differs from the
  // text shown before, SourceChange runs (and may throw as SourceChange does).
  void SourceItemClick(const SourceMenuEntry& entry, const std::string& imagePath = {});

  // Takes the shown text as the source: "PhysicalDriveN", "X:" or a file path. Sets
  // SourcePath, opens the source read-only once and sets SourceSize to its whole length.
  // Throws kestrix::Error ("Cannot open file "PATH". REASON") when it cannot be opened;
  // SourceSize is then 0, so no scan runs with the size of an earlier source.
  void SourceChange(const std::string& text);

  // Opens the chosen source for a scan and takes its length as it is now: a file may have
  // shrunk or grown, a device may hold other media since it was chosen. Throws as
  // openSourceByName does; SourceSize is then 0.
  std::unique_ptr<scan::ByteSource> Open();

 private:
  const Catalogue& m_catalogue;
  std::string m_text;
  std::string m_path;
  std::int64_t m_size = 0;
  std::string m_format;
};

// Opens a source for reading by a name a user gives: "PhysicalDriveN", "\\.\PhysicalDriveN",
// "X:", "\\.\X:" or a path. Read-only; throws kestrix::Error with the system's message.
std::unique_ptr<scan::ByteSource> openSourceByName(const Catalogue& catalogue, const std::string& name);

}  // namespace kestrix::sources
