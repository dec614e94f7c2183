// kestrix-cli check: what a PST file holds and what it lacks.

#include <CLI/CLI.hpp>

#include "cli/command_registry.h"
#include "cli/commands.h"
#include "cli/pst_report.h"
#include "cli/progress.h"
#include "pst/check.h"
#include "sources/open_source.h"

namespace kestrix::cli {

namespace {

struct CheckCommand {
  std::string file;
  Format format = Format::Table;
  bool quiet = false;
};

int runCheck(const CheckCommand& cmd, std::ostream& out, std::ostream& err, const std::atomic<bool>& stop) {
  auto src = sources::openSource(cmd.file);
  pst::CheckReport report;
  {
    ProgressLine line("check", !cmd.quiet);
    pst::StructureScanOptions options;
    options.progress = [&](const pst::StructureProgress& p) { line.update(p.done, p.total); };
    report = pst::checkPst(*src, stop, options);
  }
  printCheckReport(out, cmd.file, report, cmd.format);
  if (report.stopped) {
    err << "kestrix-cli: the check of \"" << cmd.file << "\" was stopped; what it says covers the bytes read\n";
    return kExitError;
  }
  if (!report.supported()) {
    err << "kestrix-cli: \"" << cmd.file << "\" is " << pst::notReadText(report.analysis.header.version) << '\n';
    return kExitError;
  }
  if (!report.isPst) {
    err << "kestrix-cli: \"" << cmd.file << "\" holds no PST structure: no header and no index page\n";
    return kExitError;
  }
  return report.sound() ? kExitOk : kExitError;
}

const bool kCheckRegistered = registerCommand(
    {"check", 40, "Check a PST file: header, both B-trees, blocks, folders and messages", [](CLI::App& sub) {
       auto cmd = std::make_shared<CheckCommand>();
       sub.add_option("FILE", cmd->file, "PST file to check (it is only read)")->required();
       addFormatOption(sub, cmd->format);
       sub.add_flag("-q,--quiet", cmd->quiet, "No progress line");
       sub.footer("Exit status: 0 sound, 1 damaged or not a PST file, 2 bad usage.");
       return CommandRun([cmd](CommandContext& c) {
         c.subject = cmd->file;
         return runCheck(*cmd, c.out, c.err, c.stop);
       });
     }});

}  // namespace

}  // namespace kestrix::cli
