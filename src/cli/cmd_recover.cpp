// kestrix-cli recover: scan a source, put its PST files together and write them into a
// folder straight from the source, with an optional DFXML report of where each byte came from.

#include <CLI/CLI.hpp>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "cli/command_registry.h"
#include "cli/commands.h"
#include "cli/progress.h"
#include "rebuild/assembly.h"
#include "rebuild/recover_report.h"
#include "scan/errors.h"
#include "scan/map_page.h"
#include "sources/open_source.h"
#include "sources/size_text.h"

namespace kestrix::cli {

namespace {

namespace fs = std::filesystem;

struct RecoverCommand {
  std::string source;
  std::string dir;
  std::int64_t file = 0;  // 序号 of the one file to write; 0 = every file
  bool report = false;
  bool quiet = false;
};

std::string commandLineOf(const RecoverCommand& cmd) {
  std::string line = "kestrix-cli recover " + cmd.source + " -o " + cmd.dir;
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

void makeFolder(const std::string& dir) {
  std::error_code ec;
  if (fs::exists(dir, ec) && !fs::is_directory(dir, ec))
    throw Error("Cannot write into folder \"" + dir + "\". It is not a folder");
  fs::create_directories(dir, ec);
  if (ec) throw Error("Cannot create folder \"" + dir + "\". " + ec.message());
}

void reportUnreadable(std::ostream& err, const std::string& name, const rebuild::RecoverResult& r) {
  if (r.unreadable.empty()) return;
  std::int64_t n = 0;
  for (const auto& run : r.unreadable) n += run.count;
  err << "kestrix-cli: " << name << ": " << plural(n, "sector", "sectors") << " of the source could not be read";
  if (r.sectorsPastEnd > 0) err << " (" << r.sectorsPastEnd << " of them past its end)";
  err << " and were written as zeros: " << scan::describeSectorRuns(r.unreadable) << '\n';
}

int runRecover(const RecoverCommand& cmd, std::ostream& out, std::ostream& err, const std::atomic<bool>& stop) {
  const std::string startTime = utcNow();
  auto src = sources::openSource(cmd.source);
  auto* sourceFile = dynamic_cast<scan::FileByteSource*>(src.get());
  const int sourceFd = sourceFile ? sourceFile->fd() : -1;
  rebuild::refuseUnsafeOutput(cmd.dir, sourceFd, cmd.source);
  makeFolder(cmd.dir);

  ScanOutcome outcome = scanForFragments(*src, cmd.quiet, stop, err);
  if (outcome.scan.stopped) throw Error("Nothing was written: the scan of \"" + cmd.source + "\" was stopped");
  const std::vector<rebuild::AssembledFile> files = rebuild::AssembleFiles(outcome.fragments, *src);
  if (files.empty()) {
    err << "kestrix-cli: no PST file can be put together from \"" << cmd.source << "\": "
        << plural(std::int64_t(outcome.fragments.size()), "fragment was", "fragments were")
        << " found, and none begins a file whose header declares its length. Nothing was written\n";
    return kExitError;
  }
  std::vector<const rebuild::AssembledFile*> chosen;
  if (cmd.file != 0) {
    if (cmd.file < 1 || cmd.file > std::int64_t(files.size()))
      throw Error("There is no file " + std::to_string(cmd.file) + " on \"" + cmd.source + "\": " +
                  plural(std::int64_t(files.size()), "file was", "files were") + " put together (1 to " +
                  std::to_string(files.size()) + ")");
    chosen.push_back(&files[std::size_t(cmd.file - 1)]);
  } else {
    for (const auto& f : files) chosen.push_back(&f);
  }

  // Every refusal comes before anything is written.
  std::int64_t allocated = 0;
  for (const auto* f : chosen) {
    const std::string path = (fs::path(cmd.dir) / f->fileName).string();
    rebuild::refuseUnsafeOutput(path, sourceFd, cmd.source);
    allocated += scan::kFirstMapPageOffset + f->intervalsFound() * scan::kIntervalBytes;
    rebuild::checkRoomFor(path, f->outputSize(), allocated);
  }
  const std::string reportPath = (fs::path(cmd.dir) / "report.xml").string();
  if (cmd.report) rebuild::refuseUnsafeOutput(reportPath, sourceFd, cmd.source);

  rebuild::RecoverReport report;
  report.version = "0.1.0";
  report.commandLine = commandLineOf(cmd);
  report.startTime = startTime;
  report.imageFilename = cmd.source;
  report.imageSize = src->size();

  std::vector<std::vector<std::string>> table{{"序号", "文件名", "大小", "区间", "缺少数据", "碎片"}};
  std::vector<std::string> notes;
  bool stopped = false;
  for (const auto* f : chosen) {
    const std::string path = (fs::path(cmd.dir) / f->fileName).string();
    rebuild::OutputFile output(path);
    rebuild::RecoverResult result;
    {
      ProgressLine line("recover " + f->fileName, !cmd.quiet);
      result = rebuild::WriteAssembledFile(*src, outcome.fragments, *f, output, stop,
                                           [&](const rebuild::RecoverProgress& p) { line.update(p.done, p.total); });
    }
    output.close();
    const auto row = rebuild::MakeFileListRow(*f);
    table.push_back({row.number, row.name, row.size, std::to_string(result.intervalsWritten),
                     std::to_string(result.intervalsMissing), row.fragments});

    std::int64_t unreadable = 0;
    for (const auto& run : result.unreadable) unreadable += run.count;
    report.files.push_back({f->fileName, result.size, rebuild::FileByteRuns(outcome.fragments, *f, result),
                            f->declaredSize, result.intervalsMissing, unreadable, f->fragmentNumbers, result.stopped});
    reportUnreadable(err, f->fileName, result);
    if (result.stopped) {
      stopped = true;
      notes.push_back(f->fileName + ": stopped; the file holds IDs written before the stop (" +
                      sources::SizeToText(std::uint64_t(result.size)) + ") and is incomplete");
      break;
    }
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
    if (!result.ownHeader)
      notes.push_back(f->fileName + ": its own header could not be read; the fixed header block was written, so a "
                                    "repair program must make the file consistent");
    if (f->intervalsBeyondEnd > 0)
      notes.push_back(f->fileName + ": " + plural(f->intervalsBeyondEnd, "interval", "intervals") +
                      " found past the end its header declares (" +
                      sources::SizeToText(std::uint64_t(f->declaredSize)) + ") were not written");
  }
  printTable(out, table);
  for (const auto& note : notes) out << note << '\n';
  if (cmd.report) {
    rebuild::OutputFile xml(reportPath);
    const std::string text = rebuild::DfxmlReport(report);
    xml.writeAt(0, std::as_bytes(std::span(text.data(), text.size())));
    xml.close();
  }
  out << "Wrote " << plural(std::int64_t(report.files.size()), "file", "files") << " to \"" << cmd.dir << "\"";
  if (cmd.report) out << ", report in \"" << reportPath << "\"";
  out << '\n';
  return stopped ? kExitError : kExitOk;
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
