#include "scan/fragments.h"

#include <array>
#include <charconv>
#include <limits>

#include "format/map_page.h"
#include "io/size_text.h"

namespace kestrix::scan {

namespace {

std::int64_t intervalSectors(pst::FileLayout layout) {
  const pst::Geometry* g = pst::geometryOf(layout);
  return g ? g->intervalSectors() : kIntervalSectors;
}

// Signed 64-bit arithmetic, wrapping rather than overflowing on crafted sector values.
bool fits(const FoundPage& x, const FoundPage& y) {
  const std::uint64_t sectors = std::uint64_t(y.sector) - std::uint64_t(x.sector);
  const std::uint64_t ids = std::uint64_t(std::int64_t(y.id) - std::int64_t(x.id));
  return x.layout == y.layout && sectors == ids * std::uint64_t(intervalSectors(x.layout));
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

std::int64_t Fragment::endSector() const {
  return std::int64_t(std::uint64_t(last.sector) + std::uint64_t(intervalSectors(last.layout)));
}

void FragmentWalker::add(const FoundPage& hit) {
  Walk& walk = m_walks[std::size_t(hit.layout) % m_walks.size()];
  walk.held[walk.heldCount++] = hit;
  // With hits h, h + 1 and h + 2 at hand a step decides as the whole list would.
  while (walk.heldCount == 3) step(walk);
}

void FragmentWalker::finish() {
  // The first hit each walk still holds: its open fragment's, else its first held.
  const auto firstHeld = [](const Walk& w) { return w.open ? w.current.first.sector : w.held[0].sector; };
  for (;;) {
    Walk* next = nullptr;
    for (Walk& w : m_walks)
      if (w.heldCount > 0 && (!next || firstHeld(w) < firstHeld(*next))) next = &w;
    if (!next) return;
    while (next->heldCount > 0) step(*next);
  }
}

void FragmentWalker::close(Walk& walk, const FoundPage& last) {
  walk.current.last = last;
  walk.current.number = static_cast<std::int32_t>(m_count + 1);
  walk.open = false;
  ++m_count;
  if (m_sink) m_sink(walk.current);
}

// One step of the walk at hit h = m_held[0]; it consumes hit h, or h and the stray h + 1.
// Before finish() it runs only when h + 2 is held; after it, a missing h + 1 or h + 2 means
// the list ends there.
void FragmentWalker::step(Walk& walk) {
  const FoundPage h = walk.held[0];
  if (!walk.open) {
    walk.current = Fragment{};
    walk.current.first = h;
    walk.open = true;
  }
  std::size_t consumed = 1;
  if (walk.heldCount == 3 && walk.held[1].id != h.id && walk.held[2].id != h.id) {
    if (fits(h, walk.held[2]))
      consumed = 2;
    else if (!fits(h, walk.held[1]))
      close(walk, h);
  } else if (walk.heldCount == 1 || !fits(h, walk.held[1])) {
    close(walk, h);  // the last hit, or one that the next does not fit
  }
  for (std::size_t i = consumed; i < walk.heldCount; ++i) walk.held[i - consumed] = walk.held[i];
  walk.heldCount -= consumed;
}

namespace {

template <typename Hits>
std::vector<Fragment> walkAll(const Hits& hits) {
  std::vector<Fragment> out;
  FragmentWalker walker([&](const Fragment& f) { out.push_back(f); });
  for (const FoundPage& hit : hits) walker.add(hit);
  walker.finish();
  return out;
}

}  // namespace

std::vector<Fragment> DetectFragments(std::span<const FoundPage> hits) { return walkAll(hits); }
std::vector<Fragment> DetectFragments(const FoundPageList& hits) { return walkAll(hits); }

void CompactFragmentList::push_back(const Fragment& f) {
  m_items.push_back({f.first.sector, f.last.sector, f.first.id, f.last.id});
  if (f.layout() != pst::FileLayout::Unicode) m_layouts.emplace(m_items.size() - 1, f.layout());
}

Fragment CompactFragmentList::operator[](std::size_t index) const {
  const Item& item = m_items[index];
  const auto other = m_layouts.find(index);
  const pst::FileLayout layout = other == m_layouts.end() ? pst::FileLayout::Unicode : other->second;
  return {static_cast<std::int32_t>(index + 1), {item.firstId, item.firstSector, layout}, {item.lastId, item.lastSector, layout}};
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

std::string FragmentFileSizeText(ByteSource& src, std::int32_t startId, std::int64_t startSector, pst::FileLayout layout) {
  static const std::string kNoHeader = "0 < 0B >";
  if (startId != 0) return "0";
  const pst::Geometry* g = pst::geometryOf(layout);
  const std::int64_t firstMapSector = g ? g->firstMapSector() : kFirstMapPageSector;
  // A header whose byte offset does not fit in 64 bits lies on no source (crafted hits).
  if (startSector < firstMapSector ||
      startSector - firstMapSector > std::numeric_limits<std::int64_t>::max() / std::int64_t(kPageSize))
    return kNoHeader;
  std::array<std::byte, kPageSize> header{};
  const std::int64_t at = (startSector - firstMapSector) * std::int64_t(kPageSize);
  if (src.readAt(at, header) != header.size()) return kNoHeader;
  const std::int32_t n = PstHeaderIntervals(header, layout);
  if (n == 0) return kNoHeader;
  return std::to_string(std::uint32_t(n)) + " <" +
         sources::SizeToText(static_cast<std::uint64_t>(PstHeaderEndOffset(header, layout))) + ">";
}

FragmentRow MakeFragmentRow(const Fragment& f, ByteSource& src) {
  return {std::to_string(f.number), RangeText(f.first.id, f.first.sector), RangeText(f.last.id, f.endSector()),
          std::to_string(f.intervals()), FragmentFileSizeText(src, f.first.id, f.first.sector, f.layout())};
}

std::vector<FragmentRow> MakeFragmentRows(std::span<const Fragment> fragments, ByteSource& src) {
  std::vector<FragmentRow> rows;
  rows.reserve(fragments.size());
  for (const auto& f : fragments) rows.push_back(MakeFragmentRow(f, src));
  return rows;
}

}  // namespace kestrix::scan
