#include "rebuild/source_analysis.h"

namespace kestrix::rebuild {

SourceAnalysis analyzeSource(scan::ByteSource& src, const AnalysisOptions& options, const std::atomic<bool>& stop,
                             const scan::ScanProgressFn& progress) {
  SourceAnalysis analysis;
  scan::ScanOptions scanOptions;
  scanOptions.size = options.size;
  scanOptions.chunkSize = options.chunkSize;
  analysis.scan = scan::scanSource(src, stop, progress, scanOptions);
  analysis.fragments = scan::DetectFragments(analysis.scan.hits);
  if (options.rows) analysis.rows = scan::MakeFragmentRows(analysis.fragments, src);
  if (options.files) analysis.files = AssembleFiles(analysis.fragments, src);
  return analysis;
}

}  // namespace kestrix::rebuild
