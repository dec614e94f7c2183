#include "sources/open_source.h"

#include <cerrno>

#include "sources/catalogue.h"
#include "io/size_text.h"
#include "sources/source_picker.h"

namespace kestrix::sources {

std::unique_ptr<scan::ByteSource> openSource(const std::string& name) {
  try {
    return openSourceByName(systemCatalogue(), name);
  } catch (const SourceOpenError& e) {
    if ((e.error() == EACCES || e.error() == EPERM) && isDevicePath(e.path()))
      throw Error(std::string(e.what()) + "\n" + rightsNeededText(e.path()));
    if (e.error() == ENODEV && e.path().starts_with(DevicePrefix))
      throw Error(std::string(e.what()) + "\nkestrix-cli sources lists the disks and volumes of this machine.");
    throw;
  }
}

}  // namespace kestrix::sources
