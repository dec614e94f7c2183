#pragma once
// The one analysis of a source that every job starts from: the scan, the fragments, the rows
// of the fragment list and the files that can be put together. The window's scan, kestrix-cli
// recover, extract and example all run it.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "recover/assembly.h"
#include "io/byte_source.h"
#include "scan/fragments.h"
#include "scan/scan.h"

namespace kestrix::rebuild {

struct AnalysisOptions {
  std::int64_t size = -1;                         // bytes to scan from byte 0; -1 = the whole source
  std::size_t chunkSize = 4 * scan::kChunkSize;   // read size; the results do not depend on it
  bool keepHits = false;                          // also keep every hit in scan.hits (16 bytes each)
  scan::HitFn onHit;                              // also told of every hit as it is found (a live map)
  // Where each fragment goes as soon as the walk closes it. When set, the fragments are not
  // collected, and no rows or files are made; when empty, they are collected in
  // SourceAnalysis::fragments.
  std::function<void(const scan::Fragment&)> onFragment;
  bool rows = true;   // make the fragment list's rows
  bool files = true;  // put the files together
};

struct SourceAnalysis {
  scan::ScanResult scan;
  std::vector<scan::Fragment> fragments;  // numbered from 1 in sector order
  std::vector<scan::FragmentRow> rows;    // one per fragment, when asked for
  std::vector<AssembledFile> files;       // when asked for
  bool filesStopped = false;              // the stop flag ended the assembly (also set by a stopped scan)
};

// Scans the source (the stop flag and progress as scan::scanSource has them) and cuts the hits
// into fragments as they arrive, then makes the rows and assembles the files from what was
// found. The rows are made also after a stop (the scan's own result says it was stopped); the
// assembly honours the flag too, so after a stop it puts no file together (filesStopped).
// Reads the source only; throws what the steps throw.
SourceAnalysis analyzeSource(scan::ByteSource& src, const AnalysisOptions& options, const std::atomic<bool>& stop,
                             const scan::ScanProgressFn& progress);

// What a header of a layout that is not read, found on the source, says: "a PST header of the
// ANSI layout (version 14), not read yet, was found at sector 2048", "a PST header of an
// unknown version (99) was found at sector 16".
std::string otherHeaderNote(const scan::OtherHeader& header);

// One note for each such header the scan kept, in sector order: the first maxNamed named,
// then one that counts the rest.
std::vector<std::string> otherHeaderNotes(const scan::SourceIndex& index, std::size_t maxNamed = 16);

}  // namespace kestrix::rebuild
