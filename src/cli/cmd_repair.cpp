// kestrix-cli repair: a new PST file that the standard readers open, from a damaged one.

#include <CLI/CLI.hpp>

#include "cli/command_registry.h"
#include "cli/commands.h"
#include "cli/progress.h"
#include "cli/pst_report.h"
#include "pst/repair.h"
#include "sources/open_source.h"

namespace kestrix::cli {

namespace {

struct RepairCommand {
  std::string input;
  std::string output;
  bool quiet = false;
};

std::string folderName(const pst::CheckReport& report, std::uint32_t nid) {
  for (const auto& f : report.folders)
    if (f.nid == nid) return f.name.empty() ? "(no name)" : f.name;
  return "(no name)";
}

int runRepair(const RepairCommand& cmd, std::ostream& out, std::ostream& err, const std::atomic<bool>& stop) {
  auto src = sources::openSource(cmd.input);
  pst::RepairReport r;
  {
    ProgressLine line("repair", !cmd.quiet);
    pst::StructureScanOptions options;
    options.progress = [&](const pst::StructureProgress& p) { line.update(p.done, p.total); };
    r = pst::repairFile(*src, cmd.output, stop, options);
  }
  if (r.stopped) {
    err << "kestrix-cli: the repair was stopped; nothing was written to \"" << cmd.output << "\"\n";
    return kExitError;
  }
  const std::string kept =
      r.blocksCrcKept > 0 ? plural(r.blocksCrcKept, "block", "blocks") + " CRC failed, kept (readers read them)" : "";
  if (r.unchanged) {
    out << "\"" << cmd.input << "\" is " << (kept.empty() ? "sound" : "sound but for " + kept) << ": copied unchanged to \""
        << cmd.output << "\", " << messagesSummary(r.after) << '\n';
    return kExitOk;
  }
  const std::string slack = "cut " + plural(r.slackCut, "byte", "bytes") + " of slack past the declared end";
  if (r.slackCut > 0 && r.before.sound()) {
    out << "\"" << cmd.input << "\" is sound: " << slack << ", the rest copied unchanged to \"" << cmd.output
        << "\", " << messagesSummary(r.after) << '\n';
    return kExitOk;
  }
  const pst::CheckReport& before = r.before;
  std::vector<std::vector<std::string>> rows{
      {"header", r.headerRebuilt    ? std::string("rebuilt (was ") + pst::headerVerdictName(before.analysis.headerVerdict) + ")"
                 : before.lengthSane ? "kept"
                                     : "kept, its length set to " + std::to_string(r.outputLength) + " bytes (it declared " +
                                           std::to_string(before.analysis.header.fileEof) + ")"},
      {"trees", r.treesRebuilt ? "rebuilt, " + plural(r.pagesWritten, "page", "pages") + " written" : "kept"},
      // The header a repair writes always leaves the allocation maps to be rebuilt.
      {"maps", (r.after.mapsLost > 0 ? plural(r.after.mapsLost, "allocation map", "allocation maps") + " lost; " : std::string()) +
                   "marked for rebuilding"},
  };
  if (r.slackCut > 0) rows.push_back({"slack", slack});
  if (!kept.empty()) rows.push_back({"CRC", kept});
  if (!before.unreadable.empty()) rows.push_back({"unreadable", unreadableText(before.unreadable)});
  if (r.treesRebuilt) {
    rows.push_back({"node entries", std::to_string(r.nodesRecovered) + " taken from leaf pages outside the tree, " +
                                        std::to_string(r.nodesDropped) + " dropped (data lost), " +
                                        std::to_string(r.subnodesCleared) + " kept without their lost subnodes"});
    rows.push_back({"blocks", std::to_string(r.blocksAdded) + " found by their trailer beyond the block tree, " +
                                  std::to_string(r.blocksDropped) + " dropped (lost)"});
    if (r.nodesCreated > 0)
      rows.push_back({"created", plural(r.nodesCreated, "lost node", "lost nodes") +
                                     " the mailbox opens with (message store, root or top folder) written anew"});
    if (r.orphansMoved > 0)
      rows.push_back({"orphans", plural(r.orphansMoved, "item", "items") + " whose folder is lost put into \"" +
                                     folderName(r.after, r.orphanFolder) + "\""});
    if (r.tablesRebuilt > 0)
      rows.push_back({"tables", plural(r.tablesRebuilt, "folder table", "folder tables") +
                                    " (the list of a folder's messages or subfolders) written anew"});
  }
  rows.push_back({"before", messagesSummary(before)});
  rows.push_back({"after", messagesSummary(r.after)});
  out << "Repaired \"" << cmd.input << "\" into \"" << cmd.output << "\":\n";
  printTable(out, rows);
  return kExitOk;
}

const bool kRepairRegistered = registerCommand(
    {"repair", 45, "Write a repaired copy of a PST file that the standard readers open", [](CLI::App& sub) {
       auto cmd = std::make_shared<RepairCommand>();
       sub.add_option("INPUT", cmd->input, "PST file to repair (it is only read)")->required();
       sub.add_option("-o,--output", cmd->output, "Repaired PST file to write (replaced when it exists)")->required();
       sub.add_flag("-q,--quiet", cmd->quiet, "No progress line");
       return CommandRun([cmd](CommandContext& c) {
         c.subject = cmd->input;
         return runRepair(*cmd, c.out, c.err, c.stop);
       });
     }});

}  // namespace

}  // namespace kestrix::cli
