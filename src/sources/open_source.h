#pragma once
// Opening a data source by the name a user gives it.

#include <memory>
#include <string>

#include "scan/byte_source.h"

namespace kestrix::sources {

// Opens an image file or device node read-only. Throws kestrix::Error with the system's
// message ("Cannot open file "PATH". REASON").
std::unique_ptr<scan::ByteSource> openSource(const std::string& name);

}  // namespace kestrix::sources
