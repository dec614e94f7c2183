#include "cli/output_format.h"

#include <CLI/CLI.hpp>

#include <algorithm>

#include "io/size_text.h"
#include "recover/source_analysis.h"

namespace kestrix::cli {

const char* const kFragmentColumns[5] = {"ID", "开始ID", "结束ID", "碎片大小", "文件大小"};

namespace {

// Display width of UTF-8 text: code points from U+1100 on count as two columns.
std::size_t displayWidth(const std::string& text) {
  std::size_t width = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::size_t len = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
    width += len >= 3 ? 2 : 1;
    i += len;
  }
  return width;
}

std::vector<std::string> cells(const scan::FragmentRow& row) { return {row.id, row.start, row.end, row.size, row.fileSize}; }

// Pads and joins cells as printTable does, given the widths of the whole table.
void printRow(std::ostream& out, const std::vector<std::string>& row, const std::vector<std::size_t>& widths) {
  std::string line;
  for (std::size_t c = 0; c < row.size(); ++c) {
    if (c) line += "  ";
    line += row[c];
    if (c + 1 < row.size()) line.append(widths[c] - displayWidth(row[c]), ' ');
  }
  out << line << '\n';
}

void widen(std::vector<std::size_t>& widths, const std::vector<std::string>& row) {
  widths.resize(std::max(widths.size(), row.size()));
  for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], displayWidth(row[c]));
}

}  // namespace

void addFormatOption(CLI::App& sub, Format& format) {
  sub.add_option("--format", format, "Output format: table, tsv or json")
      ->transform(CLI::Validator(
          [](std::string& text) -> std::string {
            static const std::pair<const char*, Format> kNames[] = {
                {"table", Format::Table}, {"tsv", Format::Tsv}, {"json", Format::Json}};
            for (const auto& [name, value] : kNames) {
              if (CLI::detail::to_lower(text) != name) continue;
              text = std::to_string(int(value));
              return {};
            }
            return "'" + text + "' is not an output format: choose table, tsv or json";
          },
          "table|tsv|json", "format"))
      ->option_text("table|tsv|json");
}

CLI::Validator numberFromOne(const std::string& what) {
  return CLI::Validator(
      [what](std::string& text) -> std::string {
        const auto n = scan::TextToInt32(text);
        if (n && *n >= 1) return {};
        return "'" + text + "' is not a " + what + " number: they count from 1 to 2147483647";
      },
      "N", "number from 1");
}

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    const auto c = static_cast<unsigned char>(ch);
    if (c >= 0x80) {
      // JSON is UTF-8: bytes of a name that are not (Linux names are bytes) become U+FFFD.
      const std::size_t len = sources::Utf8SequenceLength(text, i);
      if (len == 0) {
        out += sources::kReplacementCharacter;
      } else {
        out.append(text, i, len);
        i += len - 1;
      }
    } else if (ch == '"' || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      static const char* hex = "0123456789abcdef";
      out += "\\u00";
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

void printTable(std::ostream& out, const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) widen(widths, row);
  for (const auto& row : rows) printRow(out, row, widths);
}

namespace {

void printHitTable(std::ostream& out, const scan::FoundPageList& hits) {
  std::vector<std::size_t> widths;
  const std::vector<std::string> titles{"页ID", "扇区"};
  widen(widths, titles);
  for (const auto& hit : hits) widen(widths, {std::to_string(hit.id), std::to_string(hit.sector)});
  printRow(out, titles, widths);
  for (const auto& hit : hits) printRow(out, {std::to_string(hit.id), std::to_string(hit.sector)}, widths);
}

}  // namespace

void printScanReport(std::ostream& out, const ScanReport& report, Format format) {
  const auto& hits = report.scan->hits;
  scan::ByteSource& src = *report.src;
  switch (format) {
    case Format::Tsv: {
      for (int c = 0; c < 5; ++c) out << kFragmentColumns[c] << (c < 4 ? '\t' : '\n');
      report.fragments([&](const scan::Fragment& f) {
        const auto row = scan::MakeFragmentRow(f, src);
        out << row.id << '\t' << row.start << '\t' << row.end << '\t' << row.size << '\t' << row.fileSize << '\n';
      });
      if (report.withHits) {
        out << "\n页ID\t扇区\n";
        for (const auto& hit : hits) out << hit.id << '\t' << hit.sector << '\n';
      }
      break;
    }
    case Format::Table: {
      const std::vector<std::string> titles{kFragmentColumns, kFragmentColumns + 5};
      std::vector<std::size_t> widths;
      widen(widths, titles);
      std::int64_t count = 0;
      report.fragments([&](const scan::Fragment& f) {
        widen(widths, cells(scan::MakeFragmentRow(f, src)));
        ++count;
      });
      printRow(out, titles, widths);
      report.fragments([&](const scan::Fragment& f) { printRow(out, cells(scan::MakeFragmentRow(f, src)), widths); });
      out << "碎片: " << count << '\n';
      if (report.withHits) {
        out << '\n';
        printHitTable(out, hits);
      }
      break;
    }
    case Format::Json: {
      out << "{\n  \"source\": " << jsonString(report.source) << ",\n  \"size\": " << report.sourceSize
          << ",\n  \"stopped\": " << (report.scan->stopped ? "true" : "false")
          << ",\n  \"bytesScanned\": " << report.scan->bytesRead << ",\n  \"unreadableSectors\": [";
      for (std::size_t i = 0; i < report.scan->unreadable.size(); ++i)
        out << (i ? ", " : "") << "{\"first\": " << report.scan->unreadable[i].first
            << ", \"count\": " << report.scan->unreadable[i].count << "}";
      out << "],\n  \"fragments\": [";
      bool any = false;
      report.fragments([&](const scan::Fragment& f) {
        out << (any ? ",\n" : "\n") << "    {\"number\": " << f.number << ", \"startId\": " << f.first.id
            << ", \"startSector\": " << f.first.sector << ", \"endId\": " << f.last.id
            << ", \"endSector\": " << f.endSector() << ", \"intervals\": " << f.intervals()
            << ", \"bytes\": " << (f.endSector() - f.first.sector) * 512 << ", \"cells\": [";
        const auto c = cells(scan::MakeFragmentRow(f, src));
        for (std::size_t k = 0; k < c.size(); ++k) out << (k ? ", " : "") << jsonString(c[k]);
        out << "]}";
        any = true;
      });
      out << (any ? "\n  ]" : "]");
      // The headers of layouts not read yet (and of unknown versions), each with its note.
      out << ",\n  \"otherHeaders\": [";
      const auto& others = report.scan->index.otherHeaders;
      for (std::size_t i = 0; i < others.size(); ++i)
        out << (i ? "," : "") << "\n    {\"sector\": " << others[i].offset / std::int64_t(scan::kPageSize)
            << ", \"version\": " << others[i].version << ", \"note\": " << jsonString(rebuild::otherHeaderNote(others[i]))
            << "}";
      out << (others.empty() ? "]" : "\n  ]");
      if (report.withHits) {
        out << ",\n  \"hits\": [";
        bool first = true;
        for (const auto& hit : hits) {
          out << (first ? "" : ", ") << "{\"id\": " << hit.id << ", \"sector\": " << hit.sector << "}";
          first = false;
        }
        out << "]";
      }
      out << "\n}\n";
      break;
    }
  }
}

}  // namespace kestrix::cli
