#include "recover/source_analysis.h"

namespace kestrix::rebuild {

SourceAnalysis analyzeSource(scan::ByteSource& src, const AnalysisOptions& options, const std::atomic<bool>& stop,
                             const scan::ScanProgressFn& progress) {
  SourceAnalysis analysis;
  scan::FragmentWalker walker(options.onFragment ? options.onFragment : [&](const scan::Fragment& f) {
    analysis.fragments.push_back(f);
  });
  scan::ScanOptions scanOptions;
  scanOptions.size = options.size;
  scanOptions.chunkSize = options.chunkSize;
  scanOptions.keepHits = options.keepHits;
  scanOptions.onHit = [&](const scan::FoundPage& hit) {
    walker.add(hit);
    if (options.onHit) options.onHit(hit);
  };
  analysis.scan = scan::scanSource(src, stop, progress, scanOptions);
  walker.finish();
  if (options.onFragment) return analysis;
  if (options.rows) analysis.rows = scan::MakeFragmentRows(analysis.fragments, src);
  if (options.files) {
    Assembly assembly = AssembleFiles(analysis.fragments, src, stop, &analysis.scan.index);
    analysis.files = std::move(assembly.files);
    analysis.filesStopped = assembly.stopped;
  }
  return analysis;
}

}  // namespace kestrix::rebuild
