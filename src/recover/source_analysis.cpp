#include "recover/source_analysis.h"

#include "format/layout.h"

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

std::string otherHeaderNote(const scan::OtherHeader& header) {
  return "a PST header of an unknown version (" + std::to_string(header.version) + ") was found at sector " +
         std::to_string(header.offset / std::int64_t(scan::kPageSize));
}

std::vector<std::string> otherHeaderNotes(const scan::SourceIndex& index, std::size_t maxNamed) {
  std::vector<std::string> notes;
  const auto& found = index.otherHeaders;
  for (std::size_t i = 0; i < found.size() && i < maxNamed; ++i) notes.push_back(otherHeaderNote(found[i]));
  if (found.size() > maxNamed) {
    const std::size_t more = found.size() - maxNamed;
    notes.push_back(std::to_string(more) + " more PST " + (more == 1 ? "header" : "headers") +
                    " of unknown versions " + (more == 1 ? "was" : "were") +
                    " found, from sector " + std::to_string(found[maxNamed].offset / std::int64_t(scan::kPageSize)) +
                    (found.size() == scan::kMaxHeaders ? " (the scan keeps the first " + std::to_string(scan::kMaxHeaders) + ")" : ""));
  }
  return notes;
}

}  // namespace kestrix::rebuild
