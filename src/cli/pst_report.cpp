#include "cli/pst_report.h"

#include <sstream>

#include "cli/commands.h"
#include "io/size_text.h"

namespace kestrix::cli {

namespace {

const char* encodingName(pst::Encoding e) {
  switch (e) {
    case pst::Encoding::None: return "none";
    case pst::Encoding::Permute: return "permute";
    case pst::Encoding::Cyclic: return "cyclic";
  }
  return "";
}

std::string treeText(const pst::TreeReport& t) {
  if (!t.rootFound) return "root not found";
  std::string text = t.whole() ? "whole" : "damaged";
  text += ", " + plural(t.pagesReached, "page", "pages");
  if (t.pagesMissing > 0) text += ", " + plural(t.pagesMissing, "page", "pages") + " missing";
  if (t.pagesBadCrc > 0) text += ", " + plural(t.pagesBadCrc, "page", "pages") + " CRC failed, kept";
  if (t.pagesRepeated > 0) text += ", " + plural(t.pagesRepeated, "page", "pages") + " named again (the tree repeats itself)";
  if (t.stale) text += ", newer pages lie outside it";
  if (!t.rootFromHeader) text += " (root found by search)";
  return text;
}

std::vector<std::pair<std::string, std::string>> facts(const std::string& file, const pst::CheckReport& r) {
  const pst::AnalysisSummary& a = r.analysis;
  std::vector<std::pair<std::string, std::string>> rows{
      {"file", file},
      {"size", sources::SizeToText(std::uint64_t(r.length)) + " (" + std::to_string(r.length) + " bytes)"},
      {"verdict", !r.supported() ? pst::notReadText(a.header.version) : !r.isPst ? "not a PST file" : r.sound() ? "sound" : "damaged"},
      {"header", pst::headerVerdictName(a.headerVerdict)},
  };
  if (!r.supported() || !r.isPst) return rows;
  rows.push_back({"layout", pst::geometryOf(a.layout)->name});
  rows.push_back({"encoding", std::string(encodingName(a.encoding)) + (a.encodingFromHeader ? "" : " (from the data)")});
  rows.push_back({"node tree", treeText(a.nodeTree)});
  rows.push_back({"block tree", treeText(a.blockTree)});
  rows.push_back({"blocks", std::to_string(r.blocksListed) + " listed, " + std::to_string(r.blocksMissing) +
                                " missing, " + std::to_string(r.blocksBadCrc) + " CRC failed, kept"});
  if (r.mapsLost > 0)
    rows.push_back({"allocation maps", std::to_string(r.mapsLost) + " of " + std::to_string(r.mapIntervals) + " lost" +
                                           (a.headerVerdict != pst::HeaderVerdict::Own ? ""
                                            : r.mapsTrustedButLost()                 ? ", though the header calls them valid"
                                                                                     : ", marked for rebuilding")});
  if (r.slackBytes > 0)
    rows.push_back({"slack", plural(r.slackBytes, "byte", "bytes") + " past the declared end (byte " +
                                 std::to_string(r.length - r.slackBytes) + "), not part of the file: repair cuts them"});
  if (a.headerVerdict == pst::HeaderVerdict::Own && !r.lengthSane)
    rows.push_back({"length", "the header declares " + std::to_string(a.header.fileEof) + " bytes, which the file does not hold"});
  rows.push_back({"messages", std::to_string(r.messages) + ", " + std::to_string(r.messagesReadable) + " readable"});
  rows.push_back({"folders", std::to_string(r.folders.size()) +
                                 (r.foldersUnparsed > 0 ? ", " + std::to_string(r.foldersUnparsed) + " whose properties do not parse" : "")});
  if (!r.unreadable.empty()) rows.push_back({"unreadable", unreadableText(r.unreadable)});
  return rows;
}

}  // namespace

std::string unreadableText(const std::vector<scan::SectorRun>& runs) {
  std::int64_t n = 0;
  for (const auto& run : runs) n += run.count;
  return plural(n, "sector", "sectors") + " the medium failed to read, taken as zeros: " + scan::describeSectorRuns(runs);
}

std::string messagesSummary(const pst::CheckReport& r) {
  return plural(r.messages, "message", "messages") + " (" + std::to_string(r.messagesReadable) + " readable) in " +
         plural(std::int64_t(r.folders.size()), "folder", "folders");
}

void printCheckReport(std::ostream& out, const std::string& file, const pst::CheckReport& r, Format format) {
  const auto rows = facts(file, r);
  if (format == Format::Json) {
    const pst::AnalysisSummary& a = r.analysis;
    out << "{\n";
    for (const auto& [key, value] : rows) out << "  " << jsonString(key) << ": " << jsonString(value) << ",\n";
    out << "  \"sound\": " << (r.sound() ? "true" : "false") << ",\n  \"length\": " << r.length
        << ",\n  \"nodeTreeWhole\": " << (a.nodeTree.whole() ? "true" : "false")
        << ",\n  \"blockTreeWhole\": " << (a.blockTree.whole() ? "true" : "false")
        << ",\n  \"blocksListed\": " << r.blocksListed << ",\n  \"blocksMissing\": " << r.blocksMissing
        << ",\n  \"blocksBadCrc\": " << r.blocksBadCrc << ",\n  \"allocationMapsLost\": " << r.mapsLost
        << ",\n  \"slackBytes\": " << r.slackBytes << ",\n  \"lengthSane\": " << (r.lengthSane ? "true" : "false")
        << ",\n  \"foldersUnparsed\": " << r.foldersUnparsed << ",\n  \"unreadableSectors\": [";
    for (std::size_t i = 0; i < r.unreadable.size(); ++i)
      out << (i ? ", " : "") << "{\"first\": " << r.unreadable[i].first << ", \"count\": " << r.unreadable[i].count << "}";
    out << "]"
        << ",\n  \"messageCount\": " << r.messages
        << ",\n  \"messagesReadable\": " << r.messagesReadable << ",\n  \"folderList\": [";
    for (std::size_t i = 0; i < r.folders.size(); ++i) {
      const auto& f = r.folders[i];
      out << (i ? "," : "") << "\n    {\"nid\": " << f.nid << ", \"parent\": " << f.parent
          << ", \"name\": " << jsonString(f.name) << ", \"messages\": " << f.messages
          << ", \"readable\": " << f.readable << "}";
    }
    out << (r.folders.empty() ? "]" : "\n  ]") << "\n}\n";
    return;
  }
  std::vector<std::vector<std::string>> table;
  for (const auto& [key, value] : rows) table.push_back({key, value});
  if (format == Format::Tsv) {
    for (const auto& row : table) out << row[0] << '\t' << row[1] << '\n';
  } else {
    printTable(out, table);
  }
  if (r.folders.empty()) return;
  std::vector<std::vector<std::string>> folders{{"NID", "folder", "messages", "readable"}};
  for (const auto& f : r.folders) {
    std::ostringstream nid;
    nid << "0x" << std::hex << f.nid;
    folders.push_back({nid.str(), f.name.empty() ? "(no name)" : f.name, std::to_string(f.messages),
                       std::to_string(f.readable)});
  }
  out << '\n';
  if (format == Format::Tsv) {
    for (const auto& row : folders) out << row[0] << '\t' << row[1] << '\t' << row[2] << '\t' << row[3] << '\n';
  } else {
    printTable(out, folders);
  }
}

}  // namespace kestrix::cli
