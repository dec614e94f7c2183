#pragma once
// Recovering files straight from the source. recoverFiles writes assembled files (the
// window's 恢复文件 writes one, kestrix-cli recover all or one) and, when asked, the DFXML
// report of where each byte came from. recoverToFolder is the whole of kestrix-cli recover:
// the analysis, the choice of files, the files and the report in one folder.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "io/output_file.h"
#include "pst/repair.h"
#include "recover/assembly.h"
#include "recover/evidence.h"
#include "recover/recover_report.h"
#include "recover/source_analysis.h"

namespace kestrix::rebuild {

struct RecoverTarget {
  AssembledFile file;
  std::string path;  // where it is written; its file name is the report's name for it
};

struct RecoverOutcome;

struct RecoverRequest {
  std::vector<RecoverTarget> targets;
  std::string reportPath;    // where the DFXML report goes; empty = no report
  std::string mapPath;       // where the map of the source goes (sourceMapSvg); empty = none
  std::string mapSvg;        // the map, drawn by the caller, who knows the whole source
  // A readable summary of the run, composed by the caller once every file is written and
  // checked, and written beside the report (summaryPath; empty = none).
  std::string summaryPath;
  std::function<std::string(const RecoverOutcome&)> summary;
  RecoverReport report;      // the report's header (program, command line, start, image); files are added
  bool makeFolders = false;  // create the targets' missing folders, after every check
  // Folders opened and locked before the run (recoverToFolder's, before its scan); the targets'
  // other folders are opened and locked by the run.
  std::vector<std::shared_ptr<OutputFolder>> folders;
  // What the scan found of PST structure on the source: each file is checked against its own
  // index and, where that disagrees with the intervals, put together block by block (see
  // WriteAssembledFile). nullptr: the intervals as anchored.
  const scan::SourceIndex* index = nullptr;
  // Check every file written and repair a damaged one (pst::checkWrittenPst): the repaired
  // file takes the target's name, the bytes as written are kept as fileN.raw.pst.
  bool checkFiles = true;
  bool folderMode = false;  // the files take their folder's group and mode, not 0600
};

struct RecoverOutcome {
  std::vector<RecoverResult> results;  // one per target written, in target order
  std::vector<pst::CheckedOutput> checked;  // with checkFiles: one per target, in target order
  std::vector<FileEvidence> evidence;       // with checkFiles: what each file as put together proves
  bool stopped = false;                // the stop flag ended the run: nothing was put in place
};

// Progress of target `target`: bytes of that file.
using RecoverFilesProgressFn = std::function<void(std::size_t target, const RecoverProgress&)>;

// Writes every target with WriteAssembledFile (with checkFiles, checks and where needed repairs
// it), then the report, through one OutputSet: every refusal and the room for all of them come
// first, before anything is written; each file is closed once written, and the files are put
// in place together at the end. A stop or a failure (a source that shrank while the files were
// copied is one) leaves every target and the report as they were. Throws kestrix::Error for a
// refusal or a failure.
RecoverOutcome recoverFiles(scan::ByteSource& src, std::span<const scan::Fragment> fragments,
                            const RecoverRequest& request, const std::atomic<bool>& stop,
                            const RecoverFilesProgressFn& progress);

struct FolderWriteResult;

struct FolderRecovery {
  std::string folder;
  std::int64_t fileNumber = 0;  // write only the file of this 序号; 0 = every file
  bool report = false;          // also write <folder>/report.xml and <folder>/map.svg
  RecoverReport reportHeader;
  AnalysisOptions analysis;
  // Write also the files that are stray map pages rather than mailboxes (isStrayPiece).
  bool all = false;
  // The most file data the run writes; files past it are set apart in skipped, those with a
  // header of their own taken first. Below 0: defaultOutputLimit of the source.
  std::int64_t maxOutput = -1;
  bool folderMode = false;  // the files take the folder's group and mode, not 0600
  // With report: composes <folder>/summaryName, a readable summary of the run, once the
  // files are written and checked (the result holds everything but written.stopped by then).
  std::function<std::string(std::span<const AssembledFile> files, const FolderWriteResult&)> summary;
  std::string summaryName = "summary.txt";
};

// Without a header of its own on the source, a file of one interval, or one with two map pages
// within 4 KiB of each other on the source, is map pages and not a mailbox: between two map pages
// of a file lie 248 KiB of its bytes, which no allocator puts elsewhere 4 KiB at a time to leave
// the pages side by side. A page-cache dump or a crafted image holds such pages by the thousand,
// and each would be written as a file of up to 2 GB, so by default they are counted, not written.
inline constexpr std::int64_t kStrayPageSpan = 8;  // sectors
bool isStrayPiece(const AssembledFile& file, std::span<const scan::Fragment> fragments);

// The output limit of a run on a source of sourceBytes: twice the source and 64 MiB. A disk
// holds its files once; versions sharing intervals can take a second copy.
std::int64_t defaultOutputLimit(std::int64_t sourceBytes);

// What a run into a folder chose and wrote.
struct FolderWriteResult {
  std::vector<std::size_t> chosen;  // indexes into the files of the files written, in order
  // Files asked for that cannot be written, with the reason (indexes into the files): no
  // interval count (unbuildable), or too long for the folder's file system or its free space.
  std::vector<std::pair<std::size_t, std::string>> skipped;
  std::vector<std::size_t> strayPieces;  // files not written because isStrayPiece (without `all`)
  RecoverOutcome written;           // empty when nothing could be put together or the scan stopped
  std::string reportPath;           // "" without a report
  std::string summaryPath;          // "" without a report or without a summary
};

struct FolderRecoveryResult : FolderWriteResult {
  SourceAnalysis analysis;
};

// Progress of the whole recovery: the scan in source bytes, then each file in its bytes.
struct FolderRecoveryProgress {
  enum class Stage { Scan, Write, Check, Repair } stage = Stage::Scan;
  std::int64_t done = 0, total = 0;
  std::string fileName;  // Write: the file being written
};
using FolderRecoveryProgressFn = std::function<void(const FolderRecoveryProgress&)>;

// kestrix-cli recover as one job. Before the long scan: refuses a folder on the source (or
// that is no folder) and, when the folder exists, takes its lock (FolderLock), so a second
// run into it stops at once. Then the analysis; with nothing to write (no file can be put
// together, the scan or the assembly was stopped, or the source shrank while it was scanned)
// it returns without creating the folder.
// Unless one file is asked for or `all` is set, stray pieces (isStrayPiece) are set apart.
// A chosen file that cannot be written (unbuildable, past the output limit, or longer than the
// folder's file system takes or has room for once the files before it are written) is set apart in skipped, so it
// does not keep the others from being written. Else it makes the folder, locks it, and writes the chosen files with
// recoverFiles. Throws kestrix::Error when fileNumber names no file, and for a refusal or a
// failure.
FolderRecoveryResult recoverToFolder(scan::ByteSource& src, const FolderRecovery& job, const std::atomic<bool>& stop,
                                     const FolderRecoveryProgressFn& progress);

// The files of an analysis already made, written into job.folder as recoverToFolder writes
// them after its scan: `files` are the indexes into analysis.files asked for (job.fileNumber
// and job.all are not looked at; strayPieces, files the caller set apart, are passed on to the
// result and its summary). The window calls it with the files its user ticked. A folder
// the caller opened and locked before its scan goes in `folder`; null: it is opened here.
// Throws kestrix::Error for a refusal or a failure.
FolderWriteResult writeToFolder(scan::ByteSource& src, const SourceAnalysis& analysis, std::vector<std::size_t> files,
                                const FolderRecovery& job, const std::atomic<bool>& stop,
                                const FolderRecoveryProgressFn& progress,
                                std::shared_ptr<OutputFolder> folder = nullptr,
                                std::vector<std::size_t> strayPieces = {});

}  // namespace kestrix::rebuild
