// Fuzz target: the fragment walk and the texts of the fragment list.
//
// The input is a little program that builds a found-page list: mostly the next map page of
// the current fragment, with strays, repeated IDs, jumps to new fragments and, now and then,
// a raw hit with any ID and sector (which may break the sector order a scan gives). Checks:
// every fragment spans 496 sectors per interval, fragments cover the list in order, a
// fragment ends only where the next hit does not fit, and the range texts parse back to the
// numbers they were made from.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "scan/fragments.h"
#include "format/map_page.h"

using namespace kestrix;
using scan::FoundPage;

namespace {

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
  bool done() const { return m_at >= m_size; }
  std::uint64_t take(int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= std::uint64_t(m_at < m_size ? m_data[m_at++] : 0) << (8 * i);
    return v;
  }

 private:
  const std::uint8_t* m_data;
  std::size_t m_size;
  std::size_t m_at = 0;
};

// The hits a source with this layout would give; ordered says the sectors strictly increase.
std::vector<FoundPage> buildHits(const std::uint8_t* data, std::size_t size, bool& ordered) {
  Reader in(data, size);
  std::vector<FoundPage> hits;
  ordered = true;
  FoundPage cur{std::int32_t(in.take(1)), std::int64_t(in.take(2))};
  hits.push_back(cur);
  auto advance = [&](std::uint64_t sectors) {
    const std::uint64_t next = std::uint64_t(cur.sector) + sectors;
    if (next < std::uint64_t(cur.sector) || next > std::uint64_t(INT64_MAX)) ordered = false;
    cur.sector = std::int64_t(next);
  };
  while (!in.done() && hits.size() < 20000) {
    const auto op = in.take(1);
    switch (op % 8) {
      case 0: case 1: case 2: case 3:  // the next map page of this fragment
        cur.id = std::int32_t(std::uint32_t(cur.id) + 1u);
        advance(std::uint64_t(scan::kIntervalSectors));
        break;
      case 4:  // a stray map page with a nearby ID
        cur.id = std::int32_t(std::uint32_t(cur.id) + std::uint32_t(std::int8_t(in.take(1))));
        advance(1 + in.take(1));
        break;
      case 5:  // the same ID again
        advance(1 + in.take(1));
        break;
      case 6:  // a new fragment somewhere further on
        cur.id = std::int32_t(in.take(2));
        advance(1 + in.take(3));
        break;
      default:  // a raw hit: any ID, any sector
        cur.id = std::int32_t(std::uint32_t(in.take(4)));
        cur.sector = std::int64_t(in.take(8));
        ordered = false;
        break;
    }
    hits.push_back(cur);
  }
  return hits;
}

// A fragment's hits fit when their sector distance is 496 times their ID distance.
bool fits(const FoundPage& a, const FoundPage& b) {
  return std::uint64_t(b.sector) - std::uint64_t(a.sector) ==
         std::uint64_t(std::int64_t(b.id) - std::int64_t(a.id)) * std::uint64_t(scan::kIntervalSectors);
}

void checkRangeText(std::int64_t a, std::int64_t b) {
  const scan::PagePos pos = scan::ParsePagePos(scan::RangeText(a, b));
  FUZZ_CHECK(scan::TextToInt64(pos.StartText) == a);
  FUZZ_CHECK(scan::TextToInt64(pos.EndText) == b);
}

std::optional<std::size_t> findFrom(const std::vector<FoundPage>& hits, std::size_t from, const FoundPage& hit) {
  for (std::size_t i = from; i < hits.size(); ++i)
    if (hits[i] == hit) return i;
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  bool ordered = true;
  const std::vector<FoundPage> hits = size ? buildHits(data, size, ordered) : std::vector<FoundPage>{};
  const std::vector<scan::Fragment> fragments = scan::DetectFragments(hits);
  FUZZ_CHECK(hits.empty() == fragments.empty());
  if (hits.empty()) return 0;
  FUZZ_CHECK(fragments.front().first == hits.front());
  FUZZ_CHECK(fragments.back().last == hits.back());

  fuzz::MemorySource empty({});
  std::size_t at = 0;
  for (std::size_t i = 0; i < fragments.size(); ++i) {
    const scan::Fragment& f = fragments[i];
    FUZZ_CHECK(f.number == std::int32_t(i + 1));
    // 496 sectors per interval, in the wrapping arithmetic of the walk.
    const std::uint64_t span = std::uint64_t(f.endSector()) - std::uint64_t(f.first.sector);
    const std::int64_t idSpan = std::int64_t(f.last.id) - std::int64_t(f.first.id) + 1;
    FUZZ_CHECK(span == std::uint64_t(idSpan) * std::uint64_t(scan::kIntervalSectors));
    FUZZ_CHECK(f.intervals() == std::int32_t(std::uint32_t(std::uint64_t(idSpan))));

    // The fragment's first and last hits come from the list, in order.
    const auto firstAt = findFrom(hits, at, f.first);
    FUZZ_CHECK(firstAt.has_value());
    const auto lastAt = findFrom(hits, *firstAt, f.last);
    FUZZ_CHECK(lastAt.has_value());
    if (ordered) {
      // Sectors are unique, so positions are exact: each fragment starts right after the
      // previous one ended, and it ended because the next hit does not fit.
      FUZZ_CHECK(*firstAt == at);
      FUZZ_CHECK(f.first.sector <= f.last.sector);
      if (i + 1 < fragments.size()) {
        FUZZ_CHECK(*lastAt + 1 < hits.size());
        FUZZ_CHECK(!fits(f.last, hits[*lastAt + 1]));
      } else {
        FUZZ_CHECK(*lastAt == hits.size() - 1);
      }
    }
    at = *lastAt + 1;

    // The cells parse back to the numbers they show.
    checkRangeText(f.first.id, f.first.sector);
    checkRangeText(f.last.id, f.endSector());
    const scan::FragmentRow row = scan::MakeFragmentRow(f, empty);
    FUZZ_CHECK(row.id == std::to_string(i + 1));
    FUZZ_CHECK(row.size == std::to_string(f.intervals()));
    FUZZ_CHECK(scan::TextToInt32(scan::ParsePagePos(row.start).StartText) == f.first.id);
    FUZZ_CHECK(scan::TextToInt64(scan::ParsePagePos(row.end).EndText) == f.endSector());
    FUZZ_CHECK(row.fileSize == (f.first.id == 0 ? "0 < 0B >" : "0"));
  }
  return 0;
}
