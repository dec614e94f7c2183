// kestrix-cli recover: scan a source, put its PST files together and write them into a
// folder straight from the source, with an optional DFXML report of where each byte came from.

#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <sstream>

#include "build_info.h"
#include "cli/command_registry.h"
#include "cli/commands.h"
#include "cli/progress.h"
#include "cli/pst_report.h"
#include "io/output_names.h"
#include "recover/recover_job.h"
#include "recover/source_analysis.h"
#include "io/errors.h"
#include "format/map_page.h"
#include "sources/open_source.h"
#include "io/size_text.h"

namespace kestrix::cli {

namespace {

struct RecoverCommand {
  std::string source;
  std::string dir;
  std::int64_t file = 0;  // 序号 of the one file to write; 0 = every file
  bool report = false;
  bool quiet = false;
  bool all = false;             // write stray pieces too
  bool folderMode = false;      // the files take the folder's group and mode
  std::int64_t maxOutput = -1;  // bytes of file data the run may write; -1 = the default
  Format format = Format::Table;
};

std::string commandLineOf(const RecoverCommand& cmd) {
  std::string line = "kestrix-cli recover " + shellQuoted(cmd.source) + " -o " + shellQuoted(cmd.dir);
  if (cmd.file > 0) line += " --file " + std::to_string(cmd.file);
  if (cmd.report) line += " --report";
  if (cmd.all) line += " --all";
  if (cmd.folderMode) line += " --folder-mode";
  if (cmd.maxOutput >= 0) line += " --max-output " + std::to_string(cmd.maxOutput);
  if (cmd.format != Format::Table) line += cmd.format == Format::Json ? " --format json" : " --format tsv";
  if (cmd.quiet) line += " --quiet";
  return line;
}

// The 块 cell: blocks proved of the blocks the file's index lists, "-" where it was not read.
std::string blocksCell(const rebuild::FileEvidence& e) {
  if (!e.indexRead) return "-";
  return std::to_string(e.blocksProved) + "/" + std::to_string(e.blocks);
}

// What check found wrong with a file, in a few words.
std::string damageText(const pst::CheckReport& r) {
  if (!r.supported()) return pst::notReadText(r.analysis.header.version);
  std::vector<std::string> parts;
  if (r.analysis.headerVerdict != pst::HeaderVerdict::Own)
    parts.push_back(std::string("header ") + pst::headerVerdictName(r.analysis.headerVerdict));
  if (!r.analysis.nodeTree.whole() || !r.analysis.blockTree.whole()) parts.push_back("index damaged");
  if (r.blocksMissing + r.blocksBadCrc > 0) parts.push_back(plural(r.blocksMissing + r.blocksBadCrc, "block", "blocks") + " lost");
  if (!r.mailboxOpens) parts.push_back("the mailbox does not open");
  if (r.mapsTrustedButLost()) parts.push_back(plural(r.mapsLost, "allocation map", "allocation maps") + " lost");
  std::string text;
  for (const auto& p : parts) text += (text.empty() ? "" : ", ") + p;
  return text.empty() ? "damaged" : text;
}

std::string repairText(const pst::RepairReport& r) {
  std::string text = r.headerRebuilt ? "header rebuilt" : "header kept";
  if (r.treesRebuilt) text += ", index rebuilt";
  if (r.nodesDropped > 0) text += ", " + plural(r.nodesDropped, "entry", "entries") + " whose data is lost dropped";
  if (r.orphansMoved > 0) text += ", " + plural(r.orphansMoved, "item", "items") + " whose folder is lost moved";
  if (r.tablesRebuilt > 0) text += ", " + plural(r.tablesRebuilt, "folder table", "folder tables") + " written anew";
  return text + "; " + messagesSummary(r.after);
}

std::string fileJson(const rebuild::AssembledFile& f, const rebuild::RecoverResult& result,
                     const pst::CheckedOutput& checked, const rebuild::FileEvidence& e) {
  const pst::CheckReport& pst = checked.result();
  const pst::ReassemblyResult& b = result.blocks;
  std::ostringstream j;
  j << "{\"number\": " << f.number << ", \"fileName\": " << jsonString(f.fileName) << ", \"size\": "
    << (checked.repaired ? checked.repair.outputLength : result.size) << ", \"declaredSize\": " << f.declaredSize
    << ", \"intervalsWritten\": " << result.intervalsWritten << ", \"intervalsMissing\": " << result.intervalsMissing
    << ", \"fragments\": [";
  for (std::size_t i = 0; i < f.fragmentNumbers.size(); ++i) j << (i ? ", " : "") << f.fragmentNumbers[i];
  j << "], \"blocks\": " << b.blocks << ", \"blocksPredicted\": " << b.blocksPredicted
    << ", \"blocksFound\": " << b.blocksFound << ", \"blocksMapped\": " << b.blocksMapped << ", \"blocksStitched\": " << b.blocksStitched
    << ", \"blocksMissing\": " << b.blocksMissing << ", \"messages\": " << pst.messages
    << ", \"messagesReadable\": " << pst.messagesReadable << ", \"folders\": " << pst.folders.size()
    << ", \"header\": " << jsonString(checked.headerState()) << ", \"sound\": " << (pst.sound() ? "true" : "false")
    << ", \"repaired\": " << (checked.repaired ? "true" : "false") << ", \"rawFile\": "
    << (!checked.rawPath.empty() ? jsonString(rebuild::textOf(rebuild::pathOf(checked.rawPath).filename())) : "null");
  if (!checked.notRepaired.empty()) j << ", \"notRepaired\": " << jsonString(checked.notRepaired);
  j << ", \"state\": " << jsonString(e.stateName()) << ", \"stateWhy\": " << jsonString(e.why())
    << ", \"blocksProved\": " << e.blocksProved << ", \"blocksInferred\": " << e.blocksInferred
    << ", \"blocksUncertain\": " << e.blocksUncertain << ", \"blocksAmbiguous\": " << e.blocksAmbiguous
    << ", \"stitchTries\": " << e.stitchTries
    << ", \"falseBlockChance\": " << e.falseBlockChance()
    << ", \"pagesMissing\": " << e.pagesMissing << ", \"pagesInferred\": " << e.pagesInferred
    << ", \"pagesAmbiguous\": " << e.pagesAmbiguous << ", \"newerIndexSeen\": " << (e.newerPages > 0 || e.staleTrees ? "true" : "false")
    << "}";
  return j.str();
}

// The table, the JSON of each file and the notes of a run: printed at its end, and written
// as the readable summary beside the report.
struct RunSummary {
  std::vector<std::vector<std::string>> table;
  std::vector<std::string> json;
  std::vector<std::string> notes;
};

RunSummary summarize(std::span<const rebuild::AssembledFile> files, const rebuild::FolderWriteResult& run,
                     std::ostream& err) {
  RunSummary summary;
  auto& [table, json, notes] = summary;
  table = {
      {"序号", "文件名", "大小", "区间", "缺少数据", "碎片", "块", "邮件", "文件夹", "文件头", "状态"}};
  // A file that cannot be written does not keep the others from being written; it is named.
  for (const auto& [index, reason] : run.skipped) notes.push_back(files[index].fileName + ": not written: " + reason);
  if (!run.strayPieces.empty()) {
    std::string numbers;
    for (std::size_t k = 0; k < run.strayPieces.size() && k < 16; ++k)
      numbers += (k ? ", " : "") + std::to_string(files[run.strayPieces[k]].number);
    if (run.strayPieces.size() > 16) numbers += ", ...";
    notes.push_back(plural(std::int64_t(run.strayPieces.size()), "file", "files") + " (" + numbers +
                    ") not written: map pages without a header of their own, of one interval or lying side "
                    "by side on the source, are no mailbox; --all writes them");
  }
  for (std::size_t k = 0; k < run.chosen.size(); ++k) {
    const rebuild::AssembledFile* f = &files[run.chosen[k]];
    const rebuild::RecoverResult& result = run.written.results[k];
    const pst::CheckedOutput& checked = run.written.checked[k];
    const pst::CheckReport& pst = checked.result();
    const auto row = rebuild::MakeFileListRow(*f);
    const rebuild::FileEvidence& evidence = run.written.evidence[k];
    table.push_back({row.number, row.name, row.size, std::to_string(result.intervalsWritten),
                     std::to_string(result.intervalsMissing) +
                         (f->conflicts.empty() ? "" : std::string(" ") + rebuild::kTwoVersionsMark),
                     row.fragments, blocksCell(evidence),
                     pst.isPst ? std::to_string(pst.messagesReadable) + "/" + std::to_string(pst.messages) : "-",
                     pst.isPst ? std::to_string(pst.folders.size()) : "-", pst.isPst ? checked.headerState() : "-",
                     evidence.stateName()});
    json.push_back(fileJson(*f, result, checked, evidence));
    if (evidence.state != rebuild::FileEvidence::State::Whole)
      notes.push_back(f->fileName + ": " + evidence.stateName() + " as put together: " + evidence.why());
    if (result.reassembled) {
      const pst::ReassemblyResult& b = result.blocks;
      notes.push_back(f->fileName + ": put together block by block, as its own index says: " +
                      std::to_string(b.blocksPredicted) + " of " + std::to_string(b.blocks) +
                      " blocks where the map pages put them, " + std::to_string(b.blocksFound) +
                      " found elsewhere by their trailer, " +
                      (b.blocksMapped > 0 ? std::to_string(b.blocksMapped) + " where the file system's extent map puts them, " : "") +
                      std::to_string(b.blocksStitched) +
                      " put together from pieces, " + std::to_string(b.blocksMissing) + " missing" +
                      (b.pagesMissing > 0 ? "; " + plural(b.pagesMissing, "tree page", "tree pages") + " missing" : ""));
    }
    if (!f->conflicts.empty())
      notes.push_back(f->fileName + ": " + rebuild::describeConflicts(*f) +
                      "; the file may mix two versions of those intervals");
    reportZeroFilled(err, f->fileName, result.unreadable, result.sectorsPastEnd);
    // Put together block by block, the blocks of a missing interval were looked for elsewhere:
    // only what was not found is zeros.
    const std::string filled = result.reassembled ? ", its blocks found elsewhere written, the rest as zeros" : ", written as zeros";
    if (f->missingCount == 1) {
      const pst::Geometry& g = f->geometry();
      const std::int64_t at = g.intervalOffset(f->missingIds[0]);
      notes.push_back(f->fileName + ": 1 of " + std::to_string(f->declaredIntervals) + " intervals not found: ID " +
                      std::to_string(f->missingIds[0]) + ", file bytes " + std::to_string(at) + " to " +
                      std::to_string(at + g.mapInterval - 1) + filled);
    } else if (f->missingCount > 1) {
      notes.push_back(f->fileName + ": " + std::to_string(f->missingCount) + " of " +
                      std::to_string(f->declaredIntervals) + " intervals not found: IDs " +
                      rebuild::describeMissingIds(*f) +
                      " (ID n is file bytes 17408 + n * 253952 to 17408 + (n + 1) * 253952 - 1)" + filled);
    }
    if (result.ownHeader && f->headerElsewhere())
      notes.push_back(f->fileName + ": its header was found at sector " + std::to_string(f->headerSector) +
                      ", away from its first map page; its tree roots agree with the fragments");
    if (result.headerRebuilt)
      notes.push_back(f->fileName + ": its own header was lost; one was built from what the file holds (its tree "
                                    "roots, length and next IDs), with the allocation maps marked for rebuilding");
    if (checked.repaired)
      notes.push_back(f->fileName + ": damaged as put together (" + damageText(checked.check) + "); repaired: " +
                      repairText(checked.repair) + ". The bytes as put together are kept in " +
                      rebuild::textOf(rebuild::pathOf(checked.rawPath).filename()));
    else if (!checked.check.isPst)
      notes.push_back(f->fileName + ": holds no PST structure that opens (no header of its own, no index page); "
                                    "written as put together");
    else if (checked.failed != pst::CheckedOutput::Failed::None)
      notes.push_back(f->fileName + ": damaged (" + damageText(checked.check) + ") and not repaired: " +
                      checked.notRepaired + ". The bytes as put together are kept in " +
                      rebuild::textOf(rebuild::pathOf(checked.rawPath).filename()) + "; " + f->fileName +
                      " was not written (what stood there is as it was)");
    else if (!checked.notRepaired.empty())
      notes.push_back(f->fileName + ": damaged (" + damageText(checked.check) + ") and not repaired: " +
                      checked.notRepaired);
    if (f->intervalsBeyondEnd > 0)
      notes.push_back(f->fileName + ": " + plural(f->intervalsBeyondEnd, "interval", "intervals") +
                      " found past the end its header declares (" +
                      sources::SizeToText(std::uint64_t(f->declaredSize)) + ") were not written");
  }
  return summary;
}

std::string summaryText(const RecoverCommand& cmd, const RunSummary& summary) {
  std::ostringstream text;
  text << "kestrix " << kVersion << ": " << commandLineOf(cmd) << "\n\n";
  if (summary.table.size() > 1) printTable(text, summary.table);
  for (const auto& note : summary.notes) text << note << '\n';
  return text.str();
}

int runRecover(const RecoverCommand& cmd, std::ostream& out, std::ostream& err, const std::atomic<bool>& stop) {
  rebuild::FolderRecovery job;
  job.folder = cmd.dir;
  job.fileNumber = cmd.file;
  job.report = cmd.report;
  job.all = cmd.all;
  job.folderMode = cmd.folderMode;
  job.maxOutput = cmd.maxOutput;
  job.reportHeader.version = kVersion;
  job.reportHeader.commandLine = commandLineOf(cmd);
  job.reportHeader.startTime = rebuild::utcNow();
  job.reportHeader.imageFilename = cmd.source;
  auto src = sources::openSource(cmd.source);
  job.reportHeader.imageSize = src->size();
  // With the report, summary.txt: the table and the notes this run ends with. Its notes of
  // zero-filled sectors are said on err once, at the end.
  if (cmd.report)
    job.summary = [&](std::span<const rebuild::AssembledFile> files, const rebuild::FolderWriteResult& sofar) {
      std::ostringstream unsaid;
      return summaryText(cmd, summarize(files, sofar, unsaid));
    };

  rebuild::FolderRecoveryResult run;
  {
    ProgressLine line("scan", !cmd.quiet);
    run = rebuild::recoverToFolder(*src, job, stop, [&](const rebuild::FolderRecoveryProgress& p) {
      using Stage = rebuild::FolderRecoveryProgress::Stage;
      if (p.stage == Stage::Write) line.setLabel("recover " + p.fileName);
      if (p.stage == Stage::Check) line.setLabel("check " + p.fileName);
      if (p.stage == Stage::Repair) line.setLabel("repair " + p.fileName);
      line.update(p.done, p.total);
    });
  }
  reportUnreadable(err, src->name(), run.analysis.scan);
  if (run.analysis.scan.stopped) throw Error("Nothing was written: the scan of \"" + cmd.source + "\" was stopped");
  if (run.analysis.scan.endedAt >= 0)
    throw Error("Nothing was written: \"" + cmd.source + "\" shrank while it was read (it ended at byte " +
                std::to_string(run.analysis.scan.endedAt) + " of " + std::to_string(src->size()) + ")");
  if (run.analysis.filesStopped)
    throw Error("Nothing was written: stopped while the files of \"" + cmd.source + "\" were put together");
  const std::vector<rebuild::AssembledFile>& files = run.analysis.files;
  // Headers of layouts not read yet: on err, except in JSON, whose notes hold them.
  const std::vector<std::string> otherHeaders = rebuild::otherHeaderNotes(run.analysis.scan.index);
  if (cmd.format != Format::Json || files.empty() || run.written.stopped)
    for (const std::string& note : otherHeaders) err << "kestrix-cli: " << note << '\n';
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

  RunSummary summary = summarize(files, run, err);
  if (cmd.format == Format::Json) summary.notes.insert(summary.notes.begin(), otherHeaders.begin(), otherHeaders.end());
  const auto& [table, json, notes] = summary;
  // A repair that could not complete left a file as put together under another name: no success.
  bool failedRepair = false;
  for (const auto& c : run.written.checked) failedRepair |= c.failed != pst::CheckedOutput::Failed::None;
  const int status = run.chosen.empty() || !run.skipped.empty() || failedRepair ? kExitError : kExitOk;
  if (cmd.format == Format::Json) {
    out << "{\n  \"source\": " << jsonString(cmd.source) << ",\n  \"folder\": " << jsonString(cmd.dir)
        << ",\n  \"files\": [";
    for (std::size_t i = 0; i < json.size(); ++i) out << (i ? ",\n    " : "\n    ") << json[i];
    out << "\n  ],\n  \"notes\": [";
    for (std::size_t i = 0; i < notes.size(); ++i) out << (i ? ",\n    " : "\n    ") << jsonString(notes[i]);
    out << "\n  ]";
    if (cmd.report) out << ",\n  \"report\": " << jsonString(run.reportPath);
    out << "\n}\n";
    return status;
  }
  if (cmd.format == Format::Tsv) {  // the rows alone on stdout, for scripts
    for (const auto& r : table) {
      for (std::size_t c = 0; c < r.size(); ++c) out << (c ? "\t" : "") << r[c];
      out << '\n';
    }
    for (const auto& note : notes) err << note << '\n';
    return status;
  }
  if (table.size() > 1) printTable(out, table);
  for (const auto& note : notes) out << note << '\n';
  if (run.chosen.empty()) {
    err << "kestrix-cli: nothing was written to \"" << cmd.dir << "\": "
        << (run.skipped.empty() ? "no mailbox was found, only stray map pages (--all writes them)"
                                : "no file asked for can be written")
        << "\n";
    return kExitError;
  }
  std::int64_t repaired = 0;
  for (const auto& c : run.written.checked) repaired += c.repaired ? 1 : 0;
  out << "Wrote " << plural(std::int64_t(run.written.results.size()), "file", "files");
  if (repaired > 0) out << " (" << repaired << " repaired, the bytes as put together kept as .raw.pst beside it)";
  out << " to \"" << cmd.dir << "\"";
  if (cmd.report) out << ", report in \"" << run.reportPath << "\"";
  out << '\n';
  return status;
}

const bool kRecoverRegistered = registerCommand(
    {"recover", 25, "Put the PST files on a source together and write them into a folder", [](CLI::App& sub) {
       auto cmd = std::make_shared<RecoverCommand>();
       sub.add_option("SOURCE", cmd->source, "Image file or device to read")->required();
       sub.add_option("-o,--output", cmd->dir, "Folder to write file1.pst, file2.pst, ... into (files there are replaced)")
           ->required();
       sub.add_option("--file", cmd->file, "Write only file N (序号 as the table lists them)")
           ->check(numberFromOne("file"));
       sub.add_flag("--report", cmd->report,
                    "Also write report.xml (DFXML): where each byte of each file came from, map.svg: the source's "
                    "fragments by file, and summary.txt: the table and notes of the run");
       sub.add_flag("--all", cmd->all,
                    "Also write files that are stray map pages without a header (one interval, or map pages "
                    "side by side)");
       sub.add_option("--max-output", cmd->maxOutput,
                      "Most file data the run writes, e.g. 500GB (default: twice the source, plus 64 MB)")
           ->transform(CLI::AsSizeValue(false).description(""))
           ->type_name("SIZE");
       sub.add_flag("--folder-mode", cmd->folderMode,
                    "The files take the folder's group and read/write permissions (default: yours alone, 0600)");
       sub.add_flag("-q,--quiet", cmd->quiet, "No progress line");
       addFormatOption(sub, cmd->format);
       return CommandRun([cmd](CommandContext& c) {
         c.subject = cmd->source;
         return runRecover(*cmd, c.out, c.err, c.stop);
       });
     }});

}  // namespace

}  // namespace kestrix::cli
