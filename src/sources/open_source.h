#pragma once
// Opening a data source by the name a user gives it.

#include <memory>
#include <string>

#include "io/byte_source.h"

namespace kestrix::sources {

// Opens a source read-only for the command line, by the names the source box knows:
// "PhysicalDriveN" and "\\.\PhysicalDriveN" (the N-th disk of systemCatalogue()), "X:" and
// "\\.\X:" (a volume), or any path (an image file or a device node). Throws kestrix::Error
// with the system's message ("Cannot open file "PATH". REASON"), followed by a second line
// where the user can act on it: the rights needed when a device refuses to be read (EACCES,
// EPERM), or where to find the names when there is no such disk or volume.
std::unique_ptr<scan::ByteSource> openSource(const std::string& name);

}  // namespace kestrix::sources
