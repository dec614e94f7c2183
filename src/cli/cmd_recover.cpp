// kestrix-cli recover: scan a source, put its PST files together and write them into a
// folder straight from the source, with an optional DFXML report of where each byte came from.

#include <CLI/CLI.hpp>

#include <chrono>
#include <ctime>

#include "cli/command_registry.h"
#include "cli/commands.h"
#include "cli/progress.h"
#include "rebuild/recover_job.h"
#include "scan/errors.h"
#include "scan/map_page.h"
#include "sources/open_source.h"
#include "sources/size_text.h"

namespace kestrix::cli {

namespace {

struct RecoverCommand {
  std::string source;
  std::string dir;
  std::int64_t file = 0;  // 序号 of the one file to write; 0 = every file
  bool report = false;
  bool quiet = false;
};

// An argument as a POSIX shell reads it back: unchanged when it holds only characters the
// shell takes literally, else in single quotes (a quote inside written as '\'').
std::string shellQuoted(const std::string& arg) {
  constexpr const char* kPlain = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-+=./:,@%";
  if (!arg.empty() && arg.find_first_not_of(kPlain) == std::string::npos) return arg;
  std::string quoted = "'";
  for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string commandLineOf(const RecoverCommand& cmd) {
  std::string line = "kestrix-cli recover " + shellQuoted(cmd.source) + " -o " + shellQuoted(cmd.dir);
  if (cmd.file > 0) line += " --file " + std::to_string(cmd.file);
  if (cmd.report) line += " --report";
  if (cmd.quiet) line += " --quiet";
  return line;
}

std::string utcNow() {
  const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
  std::tm tm{};
  ::gmtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

// The 块 cell: blocks in place of the blocks the file's index lists, "-" where it was not read.
std::string blocksCell(const pst::ReassemblyResult& b) {
  if (!b.treesFound) return "-";
  return std::to_string(b.blocks - b.blocksMissing) + "/" + std::to_string(b.blocks);
}

int runRecover(const RecoverCommand& cmd, std::ostream& out, std::ostream& err, const std::atomic<bool>& stop) {
  rebuild::FolderRecovery job;
  job.folder = cmd.dir;
  job.fileNumber = cmd.file;
  job.report = cmd.report;
  job.reportHeader.version = "0.1.0";
  job.reportHeader.commandLine = commandLineOf(cmd);
  job.reportHeader.startTime = utcNow();
  job.reportHeader.imageFilename = cmd.source;
  auto src = sources::openSource(cmd.source);
  job.reportHeader.imageSize = src->size();

  rebuild::FolderRecoveryResult run;
  {
    ProgressLine line("scan", !cmd.quiet);
    run = rebuild::recoverToFolder(*src, job, stop, [&](const rebuild::FolderRecoveryProgress& p) {
      if (p.stage == rebuild::FolderRecoveryProgress::Stage::Write) line.setLabel("recover " + p.fileName);
      line.update(p.done, p.total);
    });
  }
  reportUnreadable(err, src->name(), run.analysis.scan.unreadable);
  if (run.analysis.scan.stopped) throw Error("Nothing was written: the scan of \"" + cmd.source + "\" was stopped");
  if (run.analysis.scan.endedAt >= 0)
    throw Error("Nothing was written: \"" + cmd.source + "\" shrank while it was read (it ended at byte " +
                std::to_string(run.analysis.scan.endedAt) + " of " + std::to_string(src->size()) + ")");
  if (run.analysis.filesStopped)
    throw Error("Nothing was written: stopped while the files of \"" + cmd.source + "\" were put together");
  const std::vector<rebuild::AssembledFile>& files = run.analysis.files;
  if (files.empty()) {
    err << "kestrix-cli: no PST file can be put together from \"" << cmd.source << "\": "
        << plural(std::int64_t(run.analysis.fragments.size()), "fragment was", "fragments were")
        << " found, and none begins a file whose header declares its length. Nothing was written\n";
    return kExitError;
  }
  if (run.written.stopped) {
    err << "kestrix-cli: stopped; nothing was written, and what \"" << cmd.dir << "\" held is as it was\n";
    return kExitError;
  }

  std::vector<std::vector<std::string>> table{{"序号", "文件名", "大小", "区间", "缺少数据", "碎片", "块"}};
  std::vector<std::string> notes;
  // A file that cannot be written does not keep the others from being written; it is named.
  for (const auto& [index, reason] : run.skipped) notes.push_back(files[index].fileName + ": not written: " + reason);
  for (std::size_t k = 0; k < run.chosen.size(); ++k) {
    const rebuild::AssembledFile* f = &files[run.chosen[k]];
    const rebuild::RecoverResult& result = run.written.results[k];
    const auto row = rebuild::MakeFileListRow(*f);
    table.push_back({row.number, row.name, row.size, std::to_string(result.intervalsWritten),
                     std::to_string(result.intervalsMissing) +
                         (f->conflicts.empty() ? "" : std::string(" ") + rebuild::kTwoVersionsMark),
                     row.fragments, blocksCell(result.blocks)});
    if (result.reassembled) {
      const pst::ReassemblyResult& b = result.blocks;
      notes.push_back(f->fileName + ": put together block by block, as its own index says: " +
                      std::to_string(b.blocksPredicted) + " of " + std::to_string(b.blocks) +
                      " blocks where the map pages put them, " + std::to_string(b.blocksFound) +
                      " found elsewhere by their trailer, " + std::to_string(b.blocksStitched) +
                      " put together from pieces, " + std::to_string(b.blocksMissing) + " missing" +
                      (b.pagesMissing > 0 ? "; " + plural(b.pagesMissing, "tree page", "tree pages") + " missing" : ""));
    }
    if (!f->conflicts.empty())
      notes.push_back(f->fileName + ": " + rebuild::describeConflicts(*f) +
                      "; the file may mix two versions of those intervals");
    reportZeroFilled(err, f->fileName, result.unreadable, result.sectorsPastEnd);
    if (f->missingCount == 1) {
      const std::int64_t at = scan::kFirstMapPageOffset + std::int64_t(f->missingIds[0]) * scan::kIntervalBytes;
      notes.push_back(f->fileName + ": 1 of " + std::to_string(f->declaredIntervals) + " intervals not found: ID " +
                      std::to_string(f->missingIds[0]) + ", file bytes " + std::to_string(at) + " to " +
                      std::to_string(at + scan::kIntervalBytes - 1) + ", written as zeros");
    } else if (f->missingCount > 1) {
      notes.push_back(f->fileName + ": " + std::to_string(f->missingCount) + " of " +
                      std::to_string(f->declaredIntervals) + " intervals not found: IDs " +
                      rebuild::describeMissingIds(*f) +
                      " (ID n is file bytes 17408 + n * 253952 to 17408 + (n + 1) * 253952 - 1), written as zeros");
    }
    if (result.headerRebuilt)
      notes.push_back(f->fileName + ": its own header was lost; one was built from what the file holds (its tree "
                                    "roots, length and next IDs), with the allocation maps marked for rebuilding");
    else if (!result.ownHeader)
      notes.push_back(f->fileName + ": its own header could not be read; the fixed header block was written, so a "
                                    "repair program must make the file consistent");
    if (f->intervalsBeyondEnd > 0)
      notes.push_back(f->fileName + ": " + plural(f->intervalsBeyondEnd, "interval", "intervals") +
                      " found past the end its header declares (" +
                      sources::SizeToText(std::uint64_t(f->declaredSize)) + ") were not written");
  }
  if (table.size() > 1) printTable(out, table);
  for (const auto& note : notes) out << note << '\n';
  if (run.chosen.empty()) {
    err << "kestrix-cli: nothing was written to \"" << cmd.dir << "\": no file asked for can be written\n";
    return kExitError;
  }
  out << "Wrote " << plural(std::int64_t(run.written.results.size()), "file", "files") << " to \"" << cmd.dir << "\"";
  if (cmd.report) out << ", report in \"" << run.reportPath << "\"";
  out << '\n';
  return run.skipped.empty() ? kExitOk : kExitError;
}

const bool kRecoverRegistered = registerCommand(
    {"recover", 25, "Put the PST files on a source together and write them into a folder", [](CLI::App& sub) {
       auto cmd = std::make_shared<RecoverCommand>();
       sub.add_option("SOURCE", cmd->source, "Image file or device to read")->required();
       sub.add_option("-o,--output", cmd->dir, "Folder to write file1.pst, file2.pst, ... into (files there are replaced)")
           ->required();
       sub.add_option("--file", cmd->file, "Write only file N (序号 as the table lists them)")
           ->check(numberFromOne("file"));
       sub.add_flag("--report", cmd->report, "Also write report.xml (DFXML): where each byte of each file came from");
       sub.add_flag("-q,--quiet", cmd->quiet, "No progress line");
       return CommandRun([cmd](CommandContext& c) { return runRecover(*cmd, c.out, c.err, c.stop); });
     }});

}  // namespace

}  // namespace kestrix::cli
