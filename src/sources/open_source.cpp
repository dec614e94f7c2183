#include "sources/open_source.h"

namespace kestrix::sources {

std::unique_ptr<scan::ByteSource> openSource(const std::string& name) {
  return std::make_unique<scan::FileByteSource>(name);
}

}  // namespace kestrix::sources
