#include "recover/list_rules.h"

#include <algorithm>
#include <limits>

#include "io/errors.h"
#include "scan/fragments.h"

namespace kestrix::rebuild {

int DefaultTextCompare(std::string_view a, std::string_view b) {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    int x = static_cast<unsigned char>(a[i]);
    int y = static_cast<unsigned char>(b[i]);
    if (x >= 'a' && x <= 'z') x -= 'a' - 'A';
    if (y >= 'a' && y <= 'z') y -= 'a' - 'A';
    if (x != y) return x - y;
  }
  // Texts are far shorter than INT_MAX; the sign is what counts.
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

namespace {

// ParsePagePos's StartText without building strings: this runs once per comparison.
std::int32_t leadingInteger(std::string_view text) {
  return scan::TextToInt32(text.substr(0, text.find(' '))).value_or(0);
}

}  // namespace

int CompareLeadingInteger(std::string_view a, std::string_view b) {
  const std::int32_t x = leadingInteger(a);
  const std::int32_t y = leadingInteger(b);
  return x == y ? 0 : (x > y ? 1 : -1);
}

bool RangeOutside(std::int32_t candidateEnd, std::int32_t candidateStart, std::int32_t otherEnd,
                  std::int32_t otherStart) {
  if (candidateEnd < candidateStart) return false;
  const bool before = otherEnd < candidateStart && otherStart < candidateStart;
  const bool after = otherEnd > candidateEnd && otherStart > candidateEnd;
  return before || after;
}

std::int32_t RangeCellId(std::string_view cell) {
  const std::string start = scan::ParsePagePos(cell).StartText;
  const auto id = scan::TextToInt32(start);
  if (!id) throw Error(scan::notAnIntegerMessage(start));
  return *id;
}

bool FragmentFitsManual(const RangeCells& candidate, std::span<const RangeCells> manual) {
  const std::int32_t e = RangeCellId(candidate.end);
  const std::int32_t s = RangeCellId(candidate.start);
  for (const RangeCells& row : manual) {
    if (!RangeOutside(e, s, RangeCellId(row.end), RangeCellId(row.start))) return false;
  }
  return !manual.empty();
}

std::vector<std::pair<std::int32_t, std::int32_t>> SharedIdRanges(std::span<const RangeCells> rows) {
  std::vector<std::pair<std::int32_t, std::int32_t>> ranges;
  for (const RangeCells& row : rows) {
    const std::int32_t first = RangeCellId(row.start), last = RangeCellId(row.end);
    if (first <= last) ranges.emplace_back(first, last);
  }
  std::sort(ranges.begin(), ranges.end());
  std::vector<std::pair<std::int32_t, std::int32_t>> shared;
  // One sweep: `reach` is the last ID any range before this one holds.
  std::int64_t reach = std::numeric_limits<std::int64_t>::min();
  for (const auto& [first, last] : ranges) {
    if (first <= reach) {
      const std::int32_t to = std::int32_t(std::min<std::int64_t>(last, reach));
      if (!shared.empty() && std::int64_t(first) <= std::int64_t(shared.back().second) + 1)
        shared.back().second = std::max(shared.back().second, to);
      else
        shared.emplace_back(first, to);
    }
    reach = std::max<std::int64_t>(reach, last);
  }
  return shared;
}

std::vector<std::string> SplitFragmentTokens(std::string_view text) {
  std::vector<std::string> tokens;
  std::size_t i = 0;
  const auto isBlank = [&](std::size_t at) {
    return at < text.size() && text[at] != '\0' && static_cast<unsigned char>(text[at]) <= ' ';
  };
  const std::size_t end = text.find('\0') == std::string_view::npos ? text.size() : text.find('\0');
  text = text.substr(0, end);
  while (isBlank(i)) ++i;
  while (i < text.size()) {
    std::string token;
    if (text[i] == '"') {
      ++i;
      while (i < text.size()) {
        if (text[i] == '"') {
          if (i + 1 < text.size() && text[i + 1] == '"') {
            token += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        token += text[i++];
      }
    } else {
      const std::size_t from = i;
      while (i < text.size() && static_cast<unsigned char>(text[i]) > ' ' && text[i] != ',') ++i;
      token.assign(text.substr(from, i - from));
    }
    tokens.push_back(std::move(token));
    while (isBlank(i)) ++i;
    if (i < text.size() && text[i] == ',') {
      // A comma at the very end still separates an empty last token.
      if (i + 1 == text.size()) tokens.emplace_back();
      do {
        ++i;
      } while (isBlank(i));
    }
  }
  return tokens;
}

SectorExtent RangeCellsExtent(const RangeCells& cells) {
  const auto sectorOf = [](std::string_view cell) {
    const std::string text = scan::ParsePagePos(cell).EndText;
    const auto sector = scan::TextToInt64(text);
    if (!sector) throw Error(scan::notAnIntegerMessage(text));
    return *sector;
  };
  SectorExtent extent{sectorOf(cells.start), sectorOf(cells.end)};
  if (extent.first < 0 || extent.end <= extent.first)
    throw Error("The fragment \"" + cells.start + "\" to \"" + cells.end + "\" covers no sector of the source");
  const std::int64_t ids = std::int64_t(RangeCellId(cells.end)) - RangeCellId(cells.start) + 1;
  const std::int64_t sectors4K = pst::kUnicode4KGeometry.intervalSectors();
  if (ids > 0 && extent.end - extent.first == ids * sectors4K) extent.intervalSectors = sectors4K;
  return extent;
}

}  // namespace kestrix::rebuild
