#include "rebuild/extract.h"

#include <algorithm>
#include <cstring>

#include "scan/map_page.h"

namespace kestrix::rebuild {

using scan::kIntervalBytes;
using scan::kPageSize;

SectorExtent extentOf(const scan::Fragment& fragment) { return {fragment.first.sector, fragment.endSector()}; }

ExtractResult ExtractFragments(scan::ByteSource& src, std::span<const SectorExtent> extents, OutputFile& output,
                               const std::atomic<bool>& stop, const ExtractProgressFn& progress) {
  ExtractResult result;
  std::int64_t total = 0;
  for (const auto& e : extents) total += std::max<std::int64_t>(0, e.end - e.first) * std::int64_t(kPageSize);
  std::vector<std::byte> buffer(static_cast<std::size_t>(kIntervalBytes));
  const std::int64_t sourceSectors = src.size() / std::int64_t(kPageSize);
  for (const auto& extent : extents) {
    for (std::int64_t sector = extent.first; sector < extent.end; sector += scan::kIntervalSectors) {
      if (stop.load()) {
        result.stopped = true;
        break;
      }
      if (progress) progress({result.bytesWritten, total});
      const std::int64_t count = std::min(scan::kIntervalSectors, extent.end - sector);
      const auto length = std::size_t(count) * kPageSize;
      std::span<std::byte> chunk(buffer.data(), length);
      const std::int64_t readable = std::clamp<std::int64_t>(sourceSectors - sector, 0, count);
      scan::readSectorsRetrying(src, sector * std::int64_t(kPageSize), chunk.first(std::size_t(readable) * kPageSize),
                                result.unreadable);
      if (readable < count) {
        std::memset(chunk.data() + readable * std::int64_t(kPageSize), 0, std::size_t(count - readable) * kPageSize);
        result.sectorsPastEnd += count - readable;
      }
      output.writeAt(result.bytesWritten, chunk);
      result.bytesWritten += std::int64_t(length);
      ++result.intervalsWritten;
    }
    if (result.stopped) break;
  }
  if (progress) progress({result.bytesWritten, total});
  return result;
}

}  // namespace kestrix::rebuild
