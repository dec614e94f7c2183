#include "cli/commands.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <filesystem>
#include <string_view>

#include "cli/command_registry.h"
#include "cli/progress.h"
#include "cli/pst_report.h"
#include "recover/extract.h"
#include "io/output_names.h"
#include "recover/rebuild.h"
#include "recover/source_analysis.h"
#include "recover/source_map.h"
#include "io/errors.h"
#include "sources/open_source.h"
#include "io/size_text.h"

namespace kestrix::cli {

std::string shellQuoted(const std::string& arg) {
#ifdef _WIN32
  // cmd and PowerShell alike: what either reads as syntax (% , ; = @ $ & ( ) ' ` and more) is
  // left out of the plain set. A Windows path holds no double quote.
  constexpr std::string_view kPlain = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-+./:\\";
#else
  constexpr std::string_view kPlain = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-+=./:,@%";
#endif
  // Bytes from 0x80 on are parts of UTF-8 letters: text to every shell.
  const bool plain = !arg.empty() && std::all_of(arg.begin(), arg.end(), [&](char c) {
    return static_cast<unsigned char>(c) >= 0x80 || kPlain.find(c) != std::string_view::npos;
  });
  if (plain) return arg;
#ifdef _WIN32
  return "\"" + arg + "\"";
#else
  std::string quoted = "'";
  for (char c : arg) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
#endif
}


std::string plural(std::int64_t n, const std::string& one, const std::string& many) {
  return std::to_string(n) + " " + (n == 1 ? one : many);
}

void reportUnreadable(std::ostream& err, const std::string& source, const scan::ScanResult& scanned) {
  for (const std::string& missing : scanned.missingFiles)
    err << "kestrix-cli: \"" << missing << "\", a segment of the image \"" << source
        << "\", is missing: what it and the segments after it hold cannot be read\n";
  const std::vector<scan::SectorRun>& runs = scanned.unreadable;
  if (runs.empty()) return;
  std::int64_t n = 0;
  for (const auto& r : runs) n += r.count;
  err << "kestrix-cli: " << plural(n, "sector", "sectors") << " of \"" << source
      << "\" could not be read and were skipped: " << scan::describeSectorRuns(runs) << '\n';
}

void reportZeroFilled(std::ostream& err, const std::string& name, const std::vector<scan::SectorRun>& runs,
                      std::int64_t pastEnd) {
  if (runs.empty()) return;
  std::int64_t n = -pastEnd;
  for (const auto& run : runs) n += run.count;
  // Sectors past the end were never the source's: they are not counted as unreadable ones.
  err << "kestrix-cli: " << name << ": ";
  if (n > 0) err << plural(n, "sector", "sectors") << " of the source could not be read";
  if (n > 0 && pastEnd > 0) err << " and ";
  if (pastEnd > 0) err << plural(pastEnd, "sector lies", "sectors lie") << " past its end";
  err << "; written as zeros: " << scan::describeSectorRuns(runs) << '\n';
}

namespace {

// The analysis with a progress line; the unreadable sectors and a stop are reported on err.
rebuild::SourceAnalysis analyzeWithProgress(scan::ByteSource& src, const rebuild::AnalysisOptions& options, bool quiet,
                                            const std::atomic<bool>& stop, std::ostream& err) {
  rebuild::SourceAnalysis analysis;
  {
    ProgressLine line("scan", !quiet);
    analysis = rebuild::analyzeSource(src, options, stop, [&](const scan::ScanProgress& p) { line.update(p.done, p.total); });
  }
  reportUnreadable(err, src.name(), analysis.scan);
  if (analysis.scan.endedAt >= 0)
    err << "kestrix-cli: \"" << src.name() << "\" shrank while it was read: it ended at byte " << analysis.scan.endedAt
        << " of the " << src.size() << " it had when it was opened; what was found before that is listed\n";
  if (analysis.scan.stopped)
    err << "kestrix-cli: the scan was stopped at byte " << analysis.scan.bytesRead << " of " << src.size()
        << "; the fragments found so far are listed\n";
  return analysis;
}

}  // namespace

ScanOutcome scanForFragments(scan::ByteSource& src, bool quiet, const std::atomic<bool>& stop, std::ostream& err) {
  rebuild::AnalysisOptions options;
  options.rows = false;
  options.files = false;
  rebuild::SourceAnalysis analysis = analyzeWithProgress(src, options, quiet, stop, err);
  return {std::move(analysis.scan), std::move(analysis.fragments)};
}

int runScan(const ScanCommand& cmd, std::ostream& out, std::ostream& err, const std::atomic<bool>& stop) {
  auto src = sources::openSource(cmd.source);
  // Memory grows with what the source holds, never by a row of texts: without --hits the walk
  // runs as the hits arrive and only the fragments are kept (24 bytes each); with --hits the
  // hits are kept (16 bytes each) and walked again while the rows are printed.
  scan::CompactFragmentList fragments;
  rebuild::AnalysisOptions options;
  options.chunkSize = cmd.chunkSize;
  options.keepHits = cmd.hits;
  options.onFragment = [&](const scan::Fragment& f) {
    if (!cmd.hits) fragments.push_back(f);
  };
  const scan::ScanResult result = analyzeWithProgress(*src, options, cmd.quiet, stop, err).scan;

  ScanReport report{cmd.source, src->size(), &result, {}, src.get(), cmd.hits};
  if (cmd.hits) {
    report.fragments = [&](const FragmentVisitor& visit) {
      scan::FragmentWalker again(visit);
      for (const scan::FoundPage& hit : result.hits) again.add(hit);
      again.finish();
    };
  } else {
    report.fragments = [&](const FragmentVisitor& visit) {
      for (std::size_t i = 0; i < fragments.size(); ++i) visit(fragments[i]);
    };
  }
  printScanReport(out, report, cmd.format);
  // JSON lists them itself; the table and TSV keep their columns, so they are said on err.
  if (cmd.format != Format::Json)
    for (const std::string& note : rebuild::otherHeaderNotes(result.index)) err << "kestrix-cli: " << note << '\n';
  return result.stopped || result.endedAt >= 0 ? kExitError : kExitOk;
}

int runMap(const MapCommand& cmd, std::ostream& out, std::ostream& err, const std::atomic<bool>& stop) {
  auto src = sources::openSource(cmd.source);
  rebuild::refuseUnsafeOutput(cmd.output, src.get());  // at once, not after a scan of hours
  rebuild::AnalysisOptions options;
  options.rows = false;
  const rebuild::SourceAnalysis analysis = analyzeWithProgress(*src, options, cmd.quiet, stop, err);
  if (analysis.scan.stopped) throw Error("Nothing was written: the scan of \"" + cmd.source + "\" was stopped");
  rebuild::SourceMapInput map{cmd.source, src->size(), analysis.fragments, analysis.files, analysis.scan.unreadable,
                              &analysis.scan.index.zeros};
  rebuild::writeSourceMap(*src, map, cmd.output);
  out << "Wrote a map of \"" << cmd.source << "\" (" << sources::SizeToText(std::uint64_t(src->size())) << ", "
      << plural(std::int64_t(analysis.fragments.size()), "fragment", "fragments") << ", "
      << plural(std::int64_t(analysis.files.size()), "file", "files") << ") to \"" << cmd.output << "\"\n";
  return analysis.scan.endedAt >= 0 ? kExitError : kExitOk;
}

int runExtract(const ExtractCommand& cmd, std::ostream& out, std::ostream& err, const std::atomic<bool>& stop) {
  auto src = sources::openSource(cmd.source);
  rebuild::refuseUnsafeOutput(cmd.output, src.get());  // at once, not after a scan of hours
  ScanOutcome outcome = scanForFragments(*src, cmd.quiet, stop, err);
  if (outcome.scan.stopped) throw Error("Nothing was written: the scan of \"" + cmd.source + "\" was stopped");
  if (outcome.scan.endedAt >= 0) throw Error("Nothing was written: \"" + cmd.source + "\" shrank while it was read");
  std::vector<rebuild::SectorExtent> extents;
  for (std::int64_t n : cmd.fragments) {
    if (n < 1 || n > std::int64_t(outcome.fragments.size()))
      throw Error("There is no fragment " + std::to_string(n) + " in \"" + cmd.source + "\": the scan found " +
                  plural(std::int64_t(outcome.fragments.size()), "fragment", "fragments"));
    extents.push_back(rebuild::extentOf(outcome.fragments[std::size_t(n - 1)]));
  }
  rebuild::ExtractResult result;
  {
    ProgressLine line("extract", !cmd.quiet);
    result = rebuild::extractToFile(*src, extents, cmd.output, stop,
                                    [&](const rebuild::ExtractProgress& p) { line.update(p.done, p.total); });
  }
  if (result.stopped) {
    err << "kestrix-cli: stopped; nothing was written, and \"" << cmd.output << "\" is as it was\n";
    return kExitError;
  }
  reportZeroFilled(err, cmd.output, result.unreadable, result.sectorsPastEnd);
  out << "Wrote " << plural(result.intervalsWritten, "interval", "intervals") << " ("
      << sources::SizeToText(std::uint64_t(result.bytesWritten)) << ") of "
      << plural(std::int64_t(extents.size()), "fragment", "fragments") << " to \"" << cmd.output << "\"\n";
  return kExitOk;
}

int runRebuild(const RebuildCommand& cmd, std::ostream& out, std::ostream& err, std::atomic<bool>& stop) {
  if (cmd.inputs.size() != cmd.outputs.size())
    throw Error("Each input needs its own output: " + plural(std::int64_t(cmd.inputs.size()), "input", "inputs") +
                " but " + plural(std::int64_t(cmd.outputs.size()), "output", "outputs") + " were given");
  // Every output (and the .raw.pst beside it) against every input, before the first is written.
  rebuild::refuseRebuildOutputs(cmd.inputs, cmd.outputs, cmd.repair);
  bool partial = false;
  for (std::size_t i = 0; i < cmd.inputs.size(); ++i) {
    const std::string name = rebuild::textOf(rebuild::pathOf(cmd.inputs[i]).filename());
    rebuild::RebuildResult result;
    try {
      ProgressLine line("", !cmd.quiet);
      result = rebuild::rebuildFile(
          cmd.inputs[i], cmd.outputs[i], stop,
          [&](const rebuild::RebuildProgress& p) {
            using Phase = rebuild::RebuildProgress::Phase;
            const bool bytes = p.phase != Phase::Writing;
            line.setLabel((p.phase == Phase::Indexing    ? "初始化PST文件"
                           : p.phase == Phase::Writing   ? "重组PST文件"
                           : p.phase == Phase::Checking ? "检查PST文件"
                                                         : "修复PST文件") +
                          name + "...");
            line.update(p.done, p.total, bytes);
          },
          cmd.repair);
    } catch (const Error&) {
      throw;
    } catch (const std::exception& e) {
      throw Error(messageOf(e, cmd.inputs[i]));  // named by the input it failed on
    }
    if (result.stopped()) {
      err << "kestrix-cli: stopped; nothing was written, and \"" << cmd.outputs[i] << "\" is as it was\n";
      return kExitError;
    }
    const std::int64_t intervals = result.write.idsWritten;
    out << "Rebuilt \"" << cmd.outputs[i] << "\" from \"" << cmd.inputs[i] << "\": "
        << plural(result.intervalsFound, "interval", "intervals") << " found, "
        << plural(intervals, "interval", "intervals") << " written (IDs 0 to " << intervals - 1 << "), "
        << plural(intervals - result.write.intervalsCopied, "zero interval", "zero intervals") << ", "
        << sources::SizeToText(std::uint64_t(result.write.size)) << '\n';
    const bool ownHeader = result.layout != pst::FileLayout::Unicode;  // built from its trees, not the fixed block
    if (ownHeader)
      out << "\"" << cmd.outputs[i] << "\" is " << pst::geometryOf(result.layout)->fileKind << ": "
          << (result.write.headerBuilt ? "its header was built from the root pages of its trees found in the intervals\n"
                                       : "no root page of its trees lies in the intervals, and its header was written as zeros\n");
    if (!result.checked) {
      if (!result.write.headerBuilt)
        out << "\"" << cmd.outputs[i] << "\" carries " << (ownHeader ? "no header" : "the fixed header block")
          << " and opens in no reader as it is; repair "
          << "it with: kestrix-cli repair " << shellQuoted(cmd.outputs[i]) << " -o "
          << shellQuoted(rebuild::textOf(rebuild::pathOf(cmd.outputs[i]).replace_extension(".repaired.pst")))
          << " (or rebuild with --repair)\n";
    } else if (result.checked->repaired) {
      out << "Repaired \"" << cmd.outputs[i] << "\": " << messagesSummary(result.checked->repair.after)
          << "; the rebuilt bytes are kept in \"" << result.checked->rawPath << "\"\n";
    } else if (result.checked->check.sound()) {
      out << "\"" << cmd.outputs[i] << "\" is sound: " << messagesSummary(result.checked->check) << '\n';
    } else {
      err << "kestrix-cli: \"" << cmd.outputs[i] << "\" is damaged and was not repaired: "
          << result.checked->notRepaired;
      if (result.checked->failed != pst::CheckedOutput::Failed::None)
        err << ". The rebuilt bytes are kept in \"" << result.checked->rawPath << "\"; \"" << cmd.outputs[i]
            << "\" was not written (what stood there is as it was)";
      err << '\n';
      partial = true;
    }
    if (!result.repeatedIds.empty()) {
      // Two intervals of one ID cannot both be written: the later wins, as the rebuild has it
      // (exit 0), but the input may join two mailboxes, and the user hears which were dropped.
      const bool one = result.repeatedIds.size() == 1;
      err << "kestrix-cli: " << plural(std::int64_t(result.repeatedIds.size()), "ID", "IDs") << " of \"" << cmd.inputs[i]
          << (one ? "\" appears" : "\" appear") << " in more than one interval (" << rebuild::describeIds(result.repeatedIds)
          << "); the last of each was written and the others were dropped: the input may join fragments of two "
             "mailboxes, or two copies of one\n";
    }
    if (result.otherLayout > 0) {
      err << "kestrix-cli: " << plural(result.otherLayout, "interval", "intervals") << " of \"" << cmd.inputs[i]
          << "\" begin with a map page of another layout than the first interval's, and were not used\n";
      partial = true;
    }
    if (result.tailBytes > 0) {
      // Whole intervals only: a cut-off last one cannot be placed, and must not go unmentioned.
      err << "kestrix-cli: the last " << plural(result.tailBytes, "byte", "bytes") << " of \"" << cmd.inputs[i]
          << "\" are not a whole map interval and were not used\n";
      partial = true;
    }
  }
  if (partial) return kExitError;
  out << "Complete!\n";
  return kExitOk;
}

}  // namespace kestrix::cli

namespace kestrix::cli {

namespace {

const bool kScanRegistered = registerCommand({"scan", 10, "List the PST fragments found on a source", [](CLI::App& sub) {
  auto cmd = std::make_shared<ScanCommand>();
  sub.add_option("SOURCE", cmd->source, "Image file or device to read")->required();
  addFormatOption(sub, cmd->format);
  sub.add_flag("--hits", cmd->hits, "Also list every allocation-map page found (ID and sector)");
  sub.add_flag("-q,--quiet", cmd->quiet, "No progress line");
  return CommandRun([cmd](CommandContext& c) {
    c.subject = cmd->source;
    return runScan(*cmd, c.out, c.err, c.stop);
  });
}});

const bool kMapRegistered = registerCommand(
    {"map", 25, "Draw a source as a map of the fragments found on it, coloured by file (SVG)", [](CLI::App& sub) {
       auto cmd = std::make_shared<MapCommand>();
       sub.add_option("SOURCE", cmd->source, "Image file or device to read")->required();
       sub.add_option("-o,--output", cmd->output, "SVG file to write (not on the source)")->required();
       sub.add_flag("-q,--quiet", cmd->quiet, "No progress line");
       return CommandRun([cmd](CommandContext& c) {
         c.subject = cmd->source;
         return runMap(*cmd, c.out, c.err, c.stop);
       });
     }});

const bool kExtractRegistered = registerCommand(
    {"extract", 20, "Write fragments of a source to a file that rebuild accepts", [](CLI::App& sub) {
       auto cmd = std::make_shared<ExtractCommand>();
       sub.add_option("SOURCE", cmd->source, "Image file or device to read")->required();
       sub.add_option("--fragments", cmd->fragments, "Fragment numbers as scan lists them, in output order")
           ->delimiter(',')
           ->check(numberFromOne("fragment"))
           ->required();
       sub.add_option("-o,--output", cmd->output, "File to write")->required();
       sub.add_flag("-q,--quiet", cmd->quiet, "No progress line");
       return CommandRun([cmd](CommandContext& c) {
         c.subject = cmd->source;
         return runExtract(*cmd, c.out, c.err, c.stop);
       });
     }});

const bool kRebuildRegistered = registerCommand(
    {"rebuild", 30, "Rebuild PST files from files of whole map intervals", [](CLI::App& sub) {
       auto cmd = std::make_shared<RebuildCommand>();
       sub.add_option("INPUT", cmd->inputs, "Fragment file; each INPUT is followed by its -o OUTPUT")->required();
       sub.add_option("-o,--output", cmd->outputs, "PST file to write (replaced when it exists)")
           ->required()
           ->allow_extra_args(false);
       sub.add_flag("--repair", cmd->repair,
                    "Check each file written and repair it, so that it opens; the rebuilt bytes stay beside it as "
                    "NAME.raw.pst");
       sub.add_flag("-q,--quiet", cmd->quiet, "No progress line");
       return CommandRun([cmd](CommandContext& c) { return runRebuild(*cmd, c.out, c.err, c.stop); });
     }});

}  // namespace

}  // namespace kestrix::cli
