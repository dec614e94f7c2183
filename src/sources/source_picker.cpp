#include "sources/source_picker.h"

#include "sources/catalogue.h"
#include "io/size_text.h"
#include "sources/volume_list.h"

namespace kestrix::sources {

namespace {

constexpr int kLastDisk = 255;

SourceMenuEntry separator() { return {EntryKind::Separator, "", "-", -1, ""}; }

}  // namespace

std::vector<SourceMenuEntry> BuildSourceMenu(const Catalogue& catalogue) {
  std::vector<SourceMenuEntry> menu;
  menu.push_back({EntryKind::Image, "Openimage", "打开磁盘镜像", 19, ""});
  {
    const TNTVolumeList volumes(catalogue);
    if (volumes.Count() > 0) menu.push_back(separator());
    for (int i = 0; i < volumes.Count(); ++i) {
      const std::string& drive = volumes.GetDrive(i);
      menu.push_back({EntryKind::Volume, drive + "xx", volumes.GetCaption(i), 18, catalogue.volumeNode(drive[0])});
    }
  }
  menu.push_back(separator());
  // Every number is tried: a disk that is missing or cannot be read does not hide the
  // disks after it.
  for (int n = 0; n <= kLastDisk; ++n) {
    const DiskProbe disk = catalogue.probeDisk(n);
    if (disk.state != DiskProbe::State::Open) continue;
    menu.push_back({EntryKind::Disk, PhysicalDriveName + std::to_string(n),
                    "HD" + std::to_string(n) + ", " + GetMediaTypeText(disk.geometry.MediaType) + ", [" +
                        SizeToText(std::uint64_t(disk.length)) + "]" +
                        (disk.description.empty() ? "" : ", " + disk.description),
                    17, disk.nativePath});
  }
  return menu;
}

SourcePicker::SourcePicker(const Catalogue& catalogue) : m_catalogue(catalogue) {}

void SourcePicker::SourceItemClick(const SourceMenuEntry& entry, const std::string& imagePath) {
  if (entry.kind == EntryKind::Separator || entry.name.empty()) return;
  const std::string physical = PhysicalDriveName;
  std::string text;
  if (entry.name == "Openimage") {
    if (imagePath.empty()) return;  // the open dialog was cancelled
    m_path = text = imagePath;
  } else if (entry.name.compare(0, physical.size(), physical) == 0) {
    m_path = DevicePrefix + entry.name;
    text = entry.name;
  } else {
    text = entry.name.substr(0, 1) + DriveSuffix;
    m_path = DevicePrefix + text;
  }
  // As with a text box, only a change of the shown text takes the source again.
  if (text != m_text) SourceChange(text);
}

void SourcePicker::SourceChange(const std::string& text) {
  m_text = text;
  m_path = SourcePathOf(text);
  // Whatever happens below, no scan may run with the size of the previous source.
  m_size = 0;
  m_format.clear();
  if (text.empty()) return;
  // The whole length of what was opened: a file's length, a disk's or a volume's exact
  // device length (also for a volume whose file system cannot be read), the media size of an
  // image in a container.
  const auto src = m_catalogue.open(NativePathOf(m_catalogue, m_path));
  m_size = src->size();
  m_format = src->container();
}

std::unique_ptr<scan::ByteSource> SourcePicker::Open() {
  m_size = 0;
  m_format.clear();
  std::unique_ptr<scan::ByteSource> src = openSourceByName(m_catalogue, m_path);
  m_size = src->size();
  m_format = src->container();
  return src;
}

std::unique_ptr<scan::ByteSource> openSourceByName(const Catalogue& catalogue, const std::string& name) {
  return catalogue.open(NativePathOf(catalogue, SourcePathOf(name)));
}

}  // namespace kestrix::sources
