#include "recover/source_map.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "io/output_file.h"
#include "io/size_text.h"
#include "recover/recover_report.h"

namespace kestrix::rebuild {

namespace {

constexpr int kWidth = 1000, kRows = kMapRows, kRowHeight = 10, kTop = 40, kLegendColumn = 150;

std::string megabytes(std::int64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", double(bytes) / 1e6);
  return text;
}

std::string fileColour(std::int32_t n) {
  char text[32];
  std::snprintf(text, sizeof text, "hsl(%d,%d%%,%d%%)", fileHue(n), kFileSaturation, kFileLightness);
  return text;
}

std::string fill(const char* colour) { return std::string("fill=\"") + colour + "\""; }

// The band: bytes [from, to) as rectangles, one per row they touch, each at least a pixel wide.
class Band {
 public:
  explicit Band(std::int64_t size) : m_perRow(std::max<std::int64_t>(1, (size + kRows - 1) / kRows)) {}
  void rects(std::ostringstream& out, std::int64_t from, std::int64_t to, const std::string& attributes) const {
    to = std::max(to, from + 1);
    for (std::int64_t row = from / m_perRow; row * m_perRow < to && row < kRows; ++row) {
      const std::int64_t a = std::max(from, row * m_perRow) - row * m_perRow;
      const std::int64_t b = std::min(to, (row + 1) * m_perRow) - row * m_perRow;
      const double x = double(a) * kWidth / double(m_perRow);
      const double w = std::max(1.0, double(b - a) * kWidth / double(m_perRow));
      char rect[160];
      std::snprintf(rect, sizeof rect, "<rect x=\"%.2f\" y=\"%d\" width=\"%.2f\" height=\"%d\" ", x,
                    kTop + int(row) * kRowHeight, w, kRowHeight - 2);
      out << rect << attributes << "/>";
    }
  }
  std::int64_t perRow() const { return m_perRow; }

 private:
  std::int64_t m_perRow;
};

}  // namespace

int fileHue(std::int32_t fileNumber) { return int(((std::int64_t(fileNumber) * 137) % 360 + 360) % 360); }

std::vector<std::vector<std::int32_t>> filesOfFragments(std::span<const scan::Fragment> fragments,
                                                        std::span<const AssembledFile> files) {
  std::vector<std::vector<std::int32_t>> out(fragments.size());
  for (const AssembledFile& f : files)
    for (const std::int32_t n : f.fragmentNumbers)
      if (n >= 1 && std::size_t(n) <= out.size() && std::find(out[n - 1].begin(), out[n - 1].end(), f.number) == out[n - 1].end())
        out[std::size_t(n - 1)].push_back(f.number);
  return out;
}

std::string sourceMapSvg(const SourceMapInput& input) {
  const Band band(input.size);
  const int perLine = kWidth / kLegendColumn;
  const int fileLines = std::max<int>(1, int((input.files.size() + std::size_t(perLine) - 1) / std::size_t(perLine)));
  const int height = kTop + kRows * kRowHeight + 20 * fileLines + 44;
  std::ostringstream out;
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << kWidth << "\" height=\"" << height
      << "\" viewBox=\"0 0 " << kWidth << ' ' << height << "\" font-family=\"sans-serif\" font-size=\"12\">\n"
      << "<title>" << xmlEscape(input.sourceName) << "</title>\n"
      << "<text x=\"0\" y=\"16\">" << xmlEscape(input.sourceName) << ": " << sources::SizeToText(std::uint64_t(input.size))
      << ", " << input.fragments.size() << " fragments, " << input.files.size() << " files; each row "
      << megabytes(band.perRow()) << "</text>\n";
  // The source itself, then what was read as zeros, then what could not be read.
  out << "<g class=\"source\">";
  band.rects(out, 0, input.size, fill(kSourceFill));
  out << "</g>\n";
  if (input.zeros) {
    out << "<g class=\"zeros\"><title>only zeros</title>";
    const auto& units = input.zeros->zero;
    for (std::size_t i = 0; i < units.size();) {
      if (!units[i]) {
        ++i;
        continue;
      }
      std::size_t j = i;
      while (j < units.size() && units[j]) ++j;
      band.rects(out, std::int64_t(i) * scan::ZeroMap::kUnit, std::min(input.size, std::int64_t(j) * scan::ZeroMap::kUnit),
                 fill(kZerosFill));
      i = j;
    }
    out << "</g>\n";
  }
  const auto uses = filesOfFragments(input.fragments, input.files);
  const std::string sharedStroke = std::string(" stroke=\"") + kSharedMark + "\" stroke-width=\"2\"";
  std::vector<std::string> names(input.files.size() + 1);
  for (const AssembledFile& f : input.files)
    if (f.number >= 1 && std::size_t(f.number) < names.size()) names[std::size_t(f.number)] = f.fileName;
  for (std::size_t i = 0; i < input.fragments.size(); ++i) {
    const scan::Fragment& f = input.fragments[i];
    const std::int64_t from = f.first.sector * std::int64_t(scan::kPageSize);
    const std::int64_t to = std::min(input.size, f.endSector() * std::int64_t(scan::kPageSize));
    const auto& by = uses[i];
    std::string used, colour, kind;
    if (by.empty()) {
      used = "used by no file";
      colour = kUnusedFill;
      kind = "unused";
    } else {
      for (std::size_t k = 0; k < by.size(); ++k)
        used += (k ? " and " : "used by ") + (std::size_t(by[k]) < names.size() ? names[std::size_t(by[k])] : std::string("?"));
      colour = fileColour(by.front());
      kind = by.size() > 1 ? "shared" : "file";
    }
    out << "<g class=\"fragment " << kind << "\" data-fragment=\"" << f.number << "\"><title>fragment " << f.number
        << ": IDs " << f.first.id << " to " << f.last.id << ", bytes " << from << " to " << to << " ("
        << megabytes(from) << " to " << megabytes(to) << "), " << xmlEscape(used) << "</title>";
    band.rects(out, from, to, fill(colour.c_str()) + (by.size() > 1 ? sharedStroke : std::string()));
    out << "</g>\n";
  }
  if (!input.unreadable.empty()) {
    out << "<g class=\"unreadable\"><title>sectors that could not be read</title>";
    for (const scan::SectorRun& run : input.unreadable)
      band.rects(out, run.first * std::int64_t(scan::kPageSize), (run.first + run.count) * std::int64_t(scan::kPageSize),
                 fill(kUnreadableFill));
    out << "</g>\n";
  }
  // The legend: each file, then the marks.
  int y = kTop + kRows * kRowHeight + 20;
  const auto entry = [&](int x, const std::string& fill, const std::string& stroke, const std::string& text) {
    out << "<rect x=\"" << x << "\" y=\"" << y - 10 << "\" width=\"14\" height=\"10\" fill=\"" << fill << "\"" << stroke
        << "/><text x=\"" << x + 20 << "\" y=\"" << y << "\">" << xmlEscape(text) << "</text>\n";
  };
  out << "<g class=\"legend\">\n";
  for (std::size_t k = 0; k < input.files.size(); ++k) {
    if (k > 0 && k % std::size_t(perLine) == 0) y += 20;
    entry(int(k % std::size_t(perLine)) * kLegendColumn, fileColour(input.files[k].number), "", input.files[k].fileName);
  }
  y += 24;
  entry(0, kUnusedFill, "", "used by no file");
  entry(150, kUnusedFill, sharedStroke, "used by two files");
  entry(320, kUnreadableFill, "", "unreadable");
  entry(450, kZerosFill, std::string(" stroke=\"") + kUnusedFill + "\"", "only zeros");
  entry(580, kSourceFill, "", "other data");
  out << "</g>\n</svg>\n";
  return out.str();
}

void writeSourceMap(const scan::ByteSource& source, const SourceMapInput& input, const std::string& path) {
  const std::string text = sourceMapSvg(input);
  OutputSet outputs(&source, {{path, std::int64_t(text.size()), std::int64_t(text.size())}});
  outputs.open(0).writeAt(0, std::as_bytes(std::span(text.data(), text.size())));
  outputs.commit();
}

}  // namespace kestrix::rebuild
