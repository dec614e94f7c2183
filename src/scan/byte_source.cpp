#include "scan/byte_source.h"

#include <algorithm>
#include <cerrno>

namespace kestrix {

std::string cannotOpenMessage(const std::string& path, int err) {
  return "Cannot open file \"" + path + "\". " + systemReason(err);
}

SourceOpenError::SourceOpenError(std::string path, int err)
    : Error(cannotOpenMessage(path, err)), m_path(std::move(path)), m_error(err) {}

}  // namespace kestrix

namespace kestrix::scan {

void readSectorsRetrying(ByteSource& src, std::int64_t offset, std::span<std::byte> out,
                         std::vector<SectorRun>& unreadable) {
  constexpr std::size_t kSector = 512;
  const std::size_t got = src.readAt(offset, out);
  if (got == out.size()) return;
  for (std::size_t at = got / kSector * kSector; at < out.size(); at += kSector) {
    std::span<std::byte> sector = out.subspan(at, std::min(kSector, out.size() - at));
    const std::size_t n = src.readAt(offset + std::int64_t(at), sector);
    if (n == sector.size()) continue;
    std::fill(sector.begin(), sector.end(), std::byte{0});
    if (sector.size() < kSector) continue;  // a part-sector at the very end is never tested
    const std::int64_t bad = (offset + std::int64_t(at)) / std::int64_t(kSector);
    if (!unreadable.empty() && unreadable.back().first + unreadable.back().count == bad)
      ++unreadable.back().count;
    else
      unreadable.push_back({bad, 1});
  }
}

void readExactly(ByteSource& src, std::int64_t offset, std::span<std::byte> out) {
  const std::size_t got = src.readAt(offset, out);
  if (got == out.size()) return;
  const std::string reason = src.lastError() != 0 ? systemReason(src.lastError()) : "the data ends early (truncated)";
  throw Error("Cannot read file \"" + src.name() + "\" at byte " + std::to_string(offset + std::int64_t(got)) +
              ". " + reason);
}

}  // namespace kestrix::scan
