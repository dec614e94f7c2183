#include "recover/extract.h"

#include <algorithm>

#include "io/copy_loop.h"
#include "format/map_page.h"

namespace kestrix::rebuild {

using scan::kPageSize;

SectorExtent extentOf(const scan::Fragment& fragment) {
  return {fragment.first.sector, fragment.endSector(), fragment.geometry().intervalSectors()};
}

ExtractResult ExtractFragments(scan::ByteSource& src, std::span<const SectorExtent> extents, OutputFile& output,
                               const std::atomic<bool>& stop, const ExtractProgressFn& progress) {
  std::vector<CopyRun> runs;
  std::int64_t at = 0;
  for (const auto& extent : extents) {
    for (std::int64_t sector = extent.first; sector < extent.end; sector += extent.intervalSectors) {
      const std::int64_t length = std::min(extent.intervalSectors, extent.end - sector) * std::int64_t(kPageSize);
      runs.push_back({sector * std::int64_t(kPageSize), at, length});
      at += length;
    }
  }
  const CopyResult copied = copyRuns(src, runs, output, stop, [&](const CopyProgress& p) {
    if (progress) progress({p.bytesDone, p.bytesTotal});
  });
  ExtractResult result;
  result.bytesWritten = copied.bytesCopied;
  result.intervalsWritten = copied.runsCopied;
  result.unreadable = copied.unreadable;
  result.sectorsPastEnd = copied.sectorsPastEnd;
  result.stopped = copied.stopped;
  output.resize(result.bytesWritten);
  return result;
}

ExtractResult extractToFile(scan::ByteSource& src, std::span<const SectorExtent> extents, const std::string& outputPath,
                            const std::atomic<bool>& stop, const ExtractProgressFn& progress) {
  std::int64_t bytes = 0;
  for (const auto& e : extents) bytes += std::max<std::int64_t>(0, e.end - e.first) * std::int64_t(kPageSize);
  OutputSet outputs(&src, {{outputPath, bytes, bytes}});
  ExtractResult result = ExtractFragments(src, extents, outputs.open(0), stop, progress);
  if (!result.stopped) outputs.commit();
  return result;
}

}  // namespace kestrix::rebuild
