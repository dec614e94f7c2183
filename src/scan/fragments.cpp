#include "scan/fragments.h"

#include <array>
#include <charconv>
#include <limits>

#include "scan/map_page.h"
#include "sources/size_text.h"

namespace kestrix::scan {

namespace {

// Signed 64-bit arithmetic, wrapping rather than overflowing on crafted sector values.
bool fits(const FoundPage& x, const FoundPage& y) {
  const std::uint64_t sectors = std::uint64_t(y.sector) - std::uint64_t(x.sector);
  const std::uint64_t ids = std::uint64_t(std::int64_t(y.id) - std::int64_t(x.id));
  return sectors == ids * std::uint64_t(kIntervalSectors);
}

template <typename Int>
std::optional<Int> parseInteger(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  text.remove_prefix(i);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  Int value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

std::int32_t Fragment::intervals() const {
  return static_cast<std::int32_t>(std::uint32_t(last.id) - std::uint32_t(first.id) + 1u);
}

std::vector<Fragment> DetectFragments(std::span<const FoundPage> hits) {
  std::vector<Fragment> out;
  const std::size_t count = hits.size();
  std::size_t h = 0;
  bool open = false;
  auto close = [&](std::size_t at) {
    out.back().last = hits[at];
    open = false;
  };
  while (h < count) {
    if (!open) {
      Fragment f;
      f.number = static_cast<std::int32_t>(out.size() + 1);
      f.first = hits[h];
      out.push_back(f);
      open = true;
    }
    if (h + 2 < count && hits[h + 1].id != hits[h].id && hits[h + 2].id != hits[h].id) {
      if (fits(hits[h], hits[h + 2])) {
        h += 2;
      } else if (fits(hits[h], hits[h + 1])) {
        h += 1;
      } else {
        close(h);
        h += 1;
      }
    } else if (h + 1 == count) {
      h += 1;
    } else if (fits(hits[h], hits[h + 1])) {
      h += 1;
    } else {
      close(h);
      h += 1;
    }
    if (h == count) close(count - 1);
  }
  return out;
}

std::string RangeText(std::int64_t a, std::int64_t b) { return std::to_string(a) + " - " + std::to_string(b); }

PagePos ParsePagePos(std::string_view text) {
  PagePos pos;
  const std::size_t blank = text.find(' ');
  pos.StartText = std::string(text.substr(0, blank));
  const std::size_t from = pos.StartText.size() + 2;
  if (from < text.size()) pos.EndText = std::string(text.substr(from));
  return pos;
}

std::optional<std::int32_t> TextToInt32(std::string_view text) { return parseInteger<std::int32_t>(text); }
std::optional<std::int64_t> TextToInt64(std::string_view text) { return parseInteger<std::int64_t>(text); }

std::string notAnIntegerMessage(std::string_view text) {
  return "'" + std::string(text) + "' is not a valid integer value";
}

std::string FragmentFileSizeText(ByteSource& src, std::int32_t startId, std::int64_t startSector) {
  static const std::string kNoHeader = "0 < 0B >";
  if (startId != 0) return "0";
  // A header whose byte offset does not fit in 64 bits lies on no source (crafted hits).
  if (startSector < kFirstMapPageSector ||
      startSector - kFirstMapPageSector > std::numeric_limits<std::int64_t>::max() / std::int64_t(kPageSize))
    return kNoHeader;
  std::array<std::byte, kPageSize> header{};
  const std::int64_t at = (startSector - kFirstMapPageSector) * std::int64_t(kPageSize);
  if (src.readAt(at, header) != header.size()) return kNoHeader;
  const std::int32_t n = PstHeaderIntervals(header);
  if (n == 0) return kNoHeader;
  return std::to_string(std::uint32_t(n)) + " <" +
         sources::SizeToText(static_cast<std::uint64_t>(PstHeaderEndOffset(header))) + ">";
}

FragmentRow MakeFragmentRow(const Fragment& f, ByteSource& src) {
  return {std::to_string(f.number), RangeText(f.first.id, f.first.sector), RangeText(f.last.id, f.endSector()),
          std::to_string(f.intervals()), FragmentFileSizeText(src, f.first.id, f.first.sector)};
}

std::vector<FragmentRow> MakeFragmentRows(std::span<const Fragment> fragments, ByteSource& src) {
  std::vector<FragmentRow> rows;
  rows.reserve(fragments.size());
  for (const auto& f : fragments) rows.push_back(MakeFragmentRow(f, src));
  return rows;
}

}  // namespace kestrix::scan
