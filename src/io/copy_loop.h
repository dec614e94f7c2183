#pragma once
// The one loop that copies stretches of a source into an output file. The rebuild, the
// extraction and the writing of an assembled file describe what goes where as runs, and this
// loop does the reading, the retrying, the zero-filling, the stop, the progress and the
// aligned writing for all of them.

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "io/output_file.h"
#include "io/byte_source.h"

namespace kestrix::rebuild {

// length bytes of the source at sourceOffset go to the output at outputOffset; all three are
// multiples of 512, so that sector retries line up with the source's sectors.
struct CopyRun {
  std::int64_t sourceOffset = 0;
  std::int64_t outputOffset = 0;
  std::int64_t length = 0;
};

struct CopyProgress {
  std::int64_t runsDone = 0;
  std::int64_t bytesDone = 0;
  std::int64_t bytesTotal = 0;  // of all runs
};
using CopyProgressFn = std::function<void(const CopyProgress&)>;

struct CopyOptions {
  // A read that comes back short ends the copy with kestrix::Error naming the source, the
  // offset and the reason, instead of being retried sector by sector and zero-filled: an
  // input that should be whole (a rebuild's fragment file) is not patched with zeros.
  bool shortReadIsError = false;
};

struct CopyResult {
  std::int64_t runsCopied = 0;
  std::int64_t bytesCopied = 0;
  // Source sectors written as zeros, merged into runs: sectors that could not be read and
  // whole sectors past the source's end.
  std::vector<scan::SectorRun> unreadable;
  std::int64_t sectorsPastEnd = 0;  // of the sectors in unreadable, those past the source's end
  bool stopped = false;             // the stop flag ended the loop before the last run
};

// Copies the runs in the order given. The stop flag is tested before each run; progress is
// reported before the first run and after each. Reads go through scan::readSectorsRetrying:
// a short read is retried sector by sector, and a sector that still cannot be read, or lies
// past the source's end, is written as zeros and listed. The bytes are gathered in a
// page-aligned 1 MiB window indexed by output offset and written as whole windows at
// window-aligned offsets; what lies between runs is never written, so it becomes a hole
// once the output's length is set. Throws kestrix::Error when a write fails, and when a
// sector within the source's length reads short without an error (the source shrank: "Cannot
// read file ... the data ends early").
CopyResult copyRuns(scan::ByteSource& src, std::span<const CopyRun> runs, OutputFile& output,
                    const std::atomic<bool>& stop, const CopyProgressFn& progress, const CopyOptions& options = {});

}  // namespace kestrix::rebuild
