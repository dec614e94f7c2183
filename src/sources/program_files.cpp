#include "sources/program_files.h"

#include "build_info.h"

namespace kestrix::sources {

namespace fs = std::filesystem;

namespace {

fs::path existingDir(const fs::path& programDir, const char* fromBin) {
  if (programDir.empty()) return {};
  std::error_code ec;
  const fs::path dir = (programDir / fromBin).lexically_normal();
  return fs::is_directory(dir, ec) ? dir : fs::path();
}

}  // namespace

fs::path installedDataDir(const fs::path& programDir) { return existingDir(programDir, kDataDirFromBin); }

fs::path manualDir(const fs::path& programDir) {
  const fs::path doc = existingDir(programDir, kDocDirFromBin);
  return doc.empty() ? programDir : doc;
}

}  // namespace kestrix::sources
