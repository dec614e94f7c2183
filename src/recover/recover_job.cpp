#include "recover/recover_job.h"

#include <algorithm>
#include <climits>
#include <filesystem>

#include "io/output_file.h"
#include "io/output_names.h"
#include "io/errors.h"
#include "io/storage.h"
#include "format/map_page.h"
#include "io/size_text.h"
#include "recover/source_map.h"

namespace kestrix::rebuild {

namespace fs = std::filesystem;

RecoverOutcome recoverFiles(scan::ByteSource& src, std::span<const scan::Fragment> fragments,
                            const RecoverRequest& request, const std::atomic<bool>& stop,
                            const RecoverFilesProgressFn& progress) {
  std::vector<OutputTarget> targets;
  for (const RecoverTarget& t : request.targets)
    targets.push_back({t.path, t.file.outputSize(),
                       t.file.geometry().intervalOffset(t.file.intervalsFound())});
  const bool withReport = !request.reportPath.empty();
  if (withReport) targets.push_back({request.reportPath, 0, 0});
  const bool withMap = !request.mapPath.empty();
  if (withMap) targets.push_back({request.mapPath, std::int64_t(request.mapSvg.size()), std::int64_t(request.mapSvg.size())});
  const bool withSummary = !request.summaryPath.empty() && request.summary;
  if (withSummary) targets.push_back({request.summaryPath, 0, 0});
  OutputSet outputs(&src, std::move(targets), {request.makeFolders, request.folders, request.folderMode});

  RecoverOutcome outcome;
  RecoverReport report = request.report;
  for (std::size_t i = 0; i < request.targets.size(); ++i) {
    const RecoverTarget& target = request.targets[i];
    RecoverResult result = WriteAssembledFile(src, fragments, target.file, outputs.open(i), stop,
                                              [&](const RecoverProgress& p) {
                                                if (progress) progress(i, p);
                                              },
                                              request.index);
    if (result.stopped) {
      outcome.stopped = true;
      return outcome;
    }
    std::int64_t unreadable = 0;
    for (const auto& run : result.unreadable) unreadable += run.count;
    ReportedFile reported;
    reported.fileName = textOf(pathOf(target.path).filename());
    reported.fileSize = result.size;
    reported.runs = FileByteRuns(fragments, target.file, result);
    reported.declaredSize = target.file.declaredSize;
    reported.intervalsMissing = result.intervalsMissing;
    reported.sectorsUnreadable = unreadable;
    reported.fragmentNumbers = target.file.fragmentNumbers;
    reported.versions = describeConflicts(target.file);
    reported.blocks = result.blocks.blocks;
    reported.blocksPredicted = result.blocks.blocksPredicted;
    reported.blocksFound = result.blocks.blocksFound;
    reported.blocksMapped = result.blocks.blocksMapped;
    reported.blocksStitched = result.blocks.blocksStitched;
    reported.blocksMissing = result.blocks.blocksMissing;
    reported.blocksInferred = result.blocks.blocksInferred;
    reported.stitchTries = result.blocks.stitchTries;
    if (request.checkFiles) {
      pst::CheckedOutput checked = pst::checkWrittenPst(outputs, i, stop, [&](const pst::CheckedOutputProgress& p) {
        if (progress)
          progress(i, {p.done, p.total,
                       p.stage == pst::CheckedOutputProgress::Stage::Check ? RecoverProgress::Stage::Check
                                                                            : RecoverProgress::Stage::Repair});
      });
      if (checked.stopped) {
        outcome.stopped = true;
        return outcome;
      }
      checked.headerBuilt = result.headerRebuilt;
      reportChecked(reported, checked);
      FileEvidence evidence = judgeEvidence(target.file, result, checked.check);
      reported.state = evidence.stateName();
      reported.stateWhy = evidence.why();
      outcome.checked.push_back(std::move(checked));
      outcome.evidence.push_back(std::move(evidence));
    }
    report.files.push_back(std::move(reported));
    outcome.results.push_back(std::move(result));
    outputs.finish();  // closed until the commit: a run of many files holds few open
  }
  // The report, the map and the summary follow the files, in that order.
  std::size_t next = request.targets.size();
  const auto writeText = [&](const std::string& text) {
    outputs.open(next++).writeAt(0, std::as_bytes(std::span(text.data(), text.size())));
  };
  if (withReport) writeText(DfxmlReport(report));
  if (withMap) writeText(request.mapSvg);
  if (withSummary) writeText(request.summary(outcome));
  outputs.commit();
  return outcome;
}

bool isStrayPiece(const AssembledFile& file, std::span<const scan::Fragment> fragments) {
  if (file.headerHasMagic) return false;
  if (file.intervalsFound() <= 1) return true;
  std::vector<std::int64_t> pages;  // sectors of the fragments' first and last map pages
  for (std::int32_t n : file.fragmentNumbers)
    if (n >= 1 && std::size_t(n) <= fragments.size()) {
      pages.push_back(fragments[n - 1].first.sector);
      if (fragments[n - 1].last.sector != fragments[n - 1].first.sector) pages.push_back(fragments[n - 1].last.sector);
    }
  std::sort(pages.begin(), pages.end());
  for (std::size_t i = 1; i < pages.size(); ++i)
    if (pages[i] - pages[i - 1] < kStrayPageSpan) return true;
  return false;
}

std::int64_t defaultOutputLimit(std::int64_t sourceBytes) {
  constexpr std::int64_t kSlack = std::int64_t(64) << 20;
  return sourceBytes > (INT64_MAX - kSlack) / 2 ? INT64_MAX : 2 * sourceBytes + kSlack;
}

namespace {

// Refuses a folder on the source or that is no folder; an existing one is opened, checked and
// locked (FolderLock), so that a second run into it stops at once. Null when it does not exist yet.
std::shared_ptr<OutputFolder> openTargetFolder(const std::string& path, scan::ByteSource& src) {
  refuseUnsafeFolder(path, &src);
  std::error_code ec;
  if (!fs::is_directory(pathOf(path), ec)) return nullptr;
  auto folder = std::make_shared<OutputFolder>(path);
  folder->refuseFor(path, &src, sources::sourceStorage(src));
  folder->lock();
  return folder;
}

}  // namespace

FolderRecoveryResult recoverToFolder(scan::ByteSource& src, const FolderRecovery& job, const std::atomic<bool>& stop,
                                     const FolderRecoveryProgressFn& progress) {
  // An existing folder is opened, checked and locked now, before the long scan, and written
  // through as it is open now.
  std::shared_ptr<OutputFolder> folder = openTargetFolder(job.folder, src);

  FolderRecoveryResult result;
  AnalysisOptions analysis = job.analysis;
  analysis.rows = false;
  analysis.files = true;
  result.analysis = analyzeSource(src, analysis, stop, [&](const scan::ScanProgress& p) {
    if (progress) progress({FolderRecoveryProgress::Stage::Scan, p.done, p.total, {}});
  });
  const auto& files = result.analysis.files;
  const bool scanWhole = !result.analysis.scan.stopped && result.analysis.scan.endedAt < 0;
  if (!scanWhole || result.analysis.filesStopped || files.empty()) return result;
  std::vector<std::size_t> asked, strayPieces;
  if (job.fileNumber != 0) {
    if (job.fileNumber < 1 || job.fileNumber > std::int64_t(files.size()))
      throw Error("There is no file " + std::to_string(job.fileNumber) + " on \"" + src.name() + "\": " +
                  std::to_string(files.size()) + (files.size() == 1 ? " file was" : " files were") +
                  " put together (1 to " + std::to_string(files.size()) + ")");
    asked.push_back(std::size_t(job.fileNumber - 1));
  } else {
    for (std::size_t i = 0; i < files.size(); ++i) {
      if (!job.all && isStrayPiece(files[i], result.analysis.fragments))
        strayPieces.push_back(i);
      else
        asked.push_back(i);
    }
  }
  static_cast<FolderWriteResult&>(result) =
      writeToFolder(src, result.analysis, std::move(asked), job, stop, progress, std::move(folder), std::move(strayPieces));
  return result;
}

FolderWriteResult writeToFolder(scan::ByteSource& src, const SourceAnalysis& analysis, std::vector<std::size_t> asked,
                                const FolderRecovery& job, const std::atomic<bool>& stop,
                                const FolderRecoveryProgressFn& progress, std::shared_ptr<OutputFolder> folder,
                                std::vector<std::size_t> strayPieces) {
  const auto& files = analysis.files;
  FolderWriteResult result;
  result.strayPieces = std::move(strayPieces);
  if (!folder) folder = openTargetFolder(job.folder, src);
  for (const std::size_t i : asked)
    if (i >= files.size()) throw Error("There is no file " + std::to_string(i + 1) + " on \"" + src.name() + "\"");
  // Files with a header of their own are given the room first, then the others, each in order.
  std::stable_partition(asked.begin(), asked.end(), [&](std::size_t i) { return files[i].headerHasMagic; });
  const std::int64_t limit = job.maxOutput >= 0 ? job.maxOutput : defaultOutputLimit(src.size());
  std::vector<std::size_t> writable;
  std::int64_t planned = 0;  // data of the files written before, in the same folder
  const auto pathFor = [&](std::size_t i) { return textOf(pathOf(job.folder) / pathOf(files[i].fileName)); };
  for (std::size_t i : asked) {
    std::string reason = files[i].unbuildable;
    const std::int64_t data = files[i].geometry().intervalOffset(files[i].intervalsFound());
    if (reason.empty() && data > limit - planned)
      reason = "the run's files would hold more than " + sources::SizeToText(std::uint64_t(limit)) +
               " (" + std::to_string(limit) + " bytes), the output limit; --max-output sets another";
    if (reason.empty()) {
      try {
        checkRoomFor(pathFor(i), files[i].outputSize(), data, planned);
        planned += data;
      } catch (const Error& e) {
        reason = e.what();
      }
    }
    if (!reason.empty())
      result.skipped.emplace_back(i, reason);
    else
      writable.push_back(i);
  }
  std::sort(writable.begin(), writable.end());
  std::sort(result.skipped.begin(), result.skipped.end());
  RecoverRequest request;
  for (std::size_t i : writable) request.targets.push_back({files[i], pathFor(i)});
  result.chosen = std::move(writable);
  if (result.chosen.empty()) return result;
  if (job.report) {
    result.reportPath = request.reportPath = textOf(pathOf(job.folder) / "report.xml");
    request.mapPath = textOf(pathOf(job.folder) / "map.svg");
    request.mapSvg = sourceMapSvg({src.name(), src.size(), analysis.fragments, files, analysis.scan.unreadable,
                                   &analysis.scan.index.zeros});
    if (job.summary) {
      result.summaryPath = request.summaryPath = textOf(pathOf(job.folder) / pathOf(job.summaryName));
      // The summary is composed from the outcome as it stands once every file is checked.
      request.summary = [&](const RecoverOutcome& outcome) {
        FolderWriteResult sofar = result;
        sofar.written = outcome;
        return job.summary(files, sofar);
      };
    }
  }
  request.report = job.reportHeader;
  request.makeFolders = true;
  request.folderMode = job.folderMode;
  if (folder) request.folders.push_back(folder);
  request.index = &analysis.scan.index;
  result.written = recoverFiles(src, analysis.fragments, request, stop, [&](std::size_t i, const RecoverProgress& p) {
    using Stage = FolderRecoveryProgress::Stage;
    const Stage stage = p.stage == RecoverProgress::Stage::Check    ? Stage::Check
                        : p.stage == RecoverProgress::Stage::Repair ? Stage::Repair
                                                                    : Stage::Write;
    if (progress) progress({stage, p.done, p.total, files[result.chosen[i]].fileName});
  });
  return result;
}

}  // namespace kestrix::rebuild
