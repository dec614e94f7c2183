#include "recover/recover_report.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "io/output_names.h"
#include "io/size_text.h"

namespace kestrix::rebuild {

std::string xmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const char ch = text[i];
    const std::size_t len = sources::Utf8SequenceLength(text, i);
    if (len == 0) {
      out += sources::kReplacementCharacter;
      ++i;
      continue;
    }
    if (len > 1) {
      out.append(text, i, len);
      i += len;
      continue;
    }
    switch (ch) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default:
        if (static_cast<unsigned char>(ch) < 0x20 && ch != '\t' && ch != '\n' && ch != '\r')
          out += sources::kReplacementCharacter;
        else
          out += ch;
    }
    ++i;
  }
  return out;
}

void reportChecked(ReportedFile& file, const pst::CheckedOutput& checked) {
  const pst::CheckReport& result = checked.result();
  file.checked = true;
  file.header = checked.headerState();
  file.messages = result.messages;
  file.messagesReadable = result.messagesReadable;
  file.folders = std::int64_t(result.folders.size());
  file.notRepaired = checked.notRepaired;
  if (checked.repaired) {
    file.rawName = textOf(pathOf(checked.rawPath).filename());
    file.repairedSize = checked.repair.outputLength;
  }
}

namespace {

void pstFacts(std::ostringstream& x, const ReportedFile& f) {
  x << "    <kestrix:pst header=\"" << xmlEscape(f.header) << "\" messages=\"" << f.messages << "\" readable=\""
    << f.messagesReadable << "\" folders=\"" << f.folders << "\"";
  if (!f.notRepaired.empty()) x << " not_repaired=\"" << xmlEscape(f.notRepaired) << "\"";
  x << "/>\n";
}

}  // namespace

std::string DfxmlReport(const RecoverReport& report) {
  std::ostringstream x;
  x << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    << "<dfxml xmlns=\"http://www.forensicswiki.org/wiki/Category:Digital_Forensics_XML\"\n"
    << "       xmlns:dc=\"http://purl.org/dc/elements/1.1/\"\n"
    << "       xmlns:kestrix=\"urn:kestrix:recover\"\n"
    << "       version=\"1.2.0\">\n"
    << "  <metadata>\n    <dc:type>Carve Report</dc:type>\n  </metadata>\n"
    << "  <creator>\n"
    << "    <program>" << xmlEscape(report.program) << "</program>\n"
    << "    <version>" << xmlEscape(report.version) << "</version>\n"
    << "    <execution_environment>\n"
    << "      <command_line>" << xmlEscape(report.commandLine) << "</command_line>\n"
    << "      <start_time>" << xmlEscape(report.startTime) << "</start_time>\n"
    << "    </execution_environment>\n"
    << "  </creator>\n"
    << "  <source>\n"
    << "    <image_filename>" << xmlEscape(report.imageFilename) << "</image_filename>\n"
    << "    <imagesize>" << report.imageSize << "</imagesize>\n"
    << "  </source>\n";
  for (const ReportedFile& f : report.files) {
    const bool repaired = !f.rawName.empty();
    x << "  <fileobject>\n"
      << "    <filename>" << xmlEscape(repaired ? f.rawName : f.fileName) << "</filename>\n"
      << "    <filesize>" << f.fileSize << "</filesize>\n"
      << "    <kestrix:declared_size>" << f.declaredSize << "</kestrix:declared_size>\n"
      << "    <kestrix:missing_intervals>" << f.intervalsMissing << "</kestrix:missing_intervals>\n"
      << "    <kestrix:unreadable_sectors>" << f.sectorsUnreadable << "</kestrix:unreadable_sectors>\n"
      << "    <kestrix:fragments>";
    for (std::size_t i = 0; i < f.fragmentNumbers.size(); ++i) x << (i ? "," : "") << f.fragmentNumbers[i];
    x << "</kestrix:fragments>\n";
    if (f.stopped) x << "    <kestrix:incomplete>stopped</kestrix:incomplete>\n";
    if (!f.versions.empty()) x << "    <kestrix:versions>" << xmlEscape(f.versions) << "</kestrix:versions>\n";
    if (f.blocks > 0)
      x << "    <kestrix:blocks listed=\"" << f.blocks << "\" predicted=\"" << f.blocksPredicted << "\" found=\""
        << f.blocksFound << "\" mapped=\"" << f.blocksMapped << "\" stitched=\"" << f.blocksStitched << "\" stitch_tries=\"" << f.stitchTries << "\" inferred=\"" << f.blocksInferred << "\" missing=\"" << f.blocksMissing << "\"/>\n";
    if (!f.state.empty())
      x << "    <kestrix:evidence state=\"" << xmlEscape(f.state) << "\">" << xmlEscape(f.stateWhy) << "</kestrix:evidence>\n";
    if (f.checked && !repaired) pstFacts(x, f);
    x << "    <byte_runs>\n";
    for (const ByteRun& r : f.runs) {
      x << "      <byte_run file_offset=\"" << r.fileOffset << "\"";
      switch (r.origin) {
        case ByteRun::Origin::Source: x << " img_offset=\"" << r.sourceOffset << "\""; break;
        case ByteRun::Origin::Zeros: x << " fill=\"0\""; break;
        case ByteRun::Origin::HeaderBlock: x << " type=\"header_block\""; break;
        case ByteRun::Origin::RebuiltHeader: x << " type=\"rebuilt_header\""; break;
      }
      x << " len=\"" << r.length << "\"/>\n";
    }
    x << "    </byte_runs>\n  </fileobject>\n";
    if (repaired) {
      x << "  <fileobject>\n"
        << "    <filename>" << xmlEscape(f.fileName) << "</filename>\n"
        << "    <filesize>" << f.repairedSize << "</filesize>\n"
        << "    <kestrix:repaired_from>" << xmlEscape(f.rawName) << "</kestrix:repaired_from>\n";
      pstFacts(x, f);
      x << "  </fileobject>\n";
    }
  }
  x << "</dfxml>\n";
  return x.str();
}

std::string utcNow() {
  using namespace std::chrono;
  const auto now = floor<seconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss time{now - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", int(date.year()), unsigned(date.month()),
                unsigned(date.day()), int(time.hours().count()), int(time.minutes().count()),
                int(time.seconds().count()));
  return text;
}


}  // namespace kestrix::rebuild
