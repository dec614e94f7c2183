#pragma once
// Writing chosen fragments out of a source as whole map intervals, so that the rebuild
// can take the result.

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "format/map_page.h"
#include "io/output_file.h"
#include "io/byte_source.h"
#include "scan/fragments.h"

namespace kestrix::rebuild {

// Sectors [first, end) of the source: a fragment's B and B', and the sectors of its layout's
// map interval.
struct SectorExtent {
  std::int64_t first = 0;
  std::int64_t end = 0;
  std::int64_t intervalSectors = scan::kIntervalSectors;
};
SectorExtent extentOf(const scan::Fragment& fragment);

struct ExtractProgress {
  std::int64_t done = 0;   // bytes written
  std::int64_t total = 0;  // bytes to write
};
using ExtractProgressFn = std::function<void(const ExtractProgress&)>;

struct ExtractResult {
  std::int64_t bytesWritten = 0;
  std::int64_t intervalsWritten = 0;
  // Source sectors written as zeros: those that could not be read, and those past the
  // source's end (sectorsPastEnd of them).
  std::vector<scan::SectorRun> unreadable;
  std::int64_t sectorsPastEnd = 0;
  bool stopped = false;
};

// Writes source bytes first*512 .. end*512 of each extent, in the order given, one interval
// at a time, through copyRuns: the stop flag is tested before each interval; a sector that
// cannot be read, or lies past the source's end, is written as zeros and listed. Throws
// kestrix::Error when the output cannot be written.
ExtractResult ExtractFragments(scan::ByteSource& src, std::span<const SectorExtent> extents, OutputFile& output,
                               const std::atomic<bool>& stop, const ExtractProgressFn& progress);

// The extraction as one job: refuses an output on or of the source, checks its room, writes
// it through OutputSet and puts it in place. Stopped, it writes nothing: a file of that name
// stays as it was. Throws kestrix::Error for a refusal or a failure (the file likewise untouched).
ExtractResult extractToFile(scan::ByteSource& src, std::span<const SectorExtent> extents, const std::string& outputPath,
                            const std::atomic<bool>& stop, const ExtractProgressFn& progress);

}  // namespace kestrix::rebuild
