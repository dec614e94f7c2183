// Fuzz target: the rebuild's index pass (BuildPageIndex) and the page index.
//
// The input describes a rebuild input file without spelling out its megabytes: after a first
// byte that sets the tail, each 512 bytes are the first page of one 0x3E000-byte block (the
// rest of each block is filler), so a few kilobytes of fuzz data make an input of many blocks.
// With the tail bit set, the last page instead starts a tail shorter than a block, which the
// index pass must never test. Checks: exactly the whole blocks whose first page passes the
// page test are recorded, with the right ID; LookupPage gives the last record of an ID and
// nothing for absent IDs; the highest ID, the ID count and the written records agree; a stop
// raised after block j keeps exactly the records of blocks 0 .. j.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <vector>

#include "fuzz_support.h"
#include "recover/rebuild.h"
#include "format/map_page.h"

using namespace kestrix;
using scan::kIntervalBytes;
using scan::kPageSize;

namespace {

// A file of whole blocks whose first pages are given, then an optional short tail.
class BlockSource final : public scan::ByteSource {
 public:
  BlockSource(std::vector<std::array<std::byte, kPageSize>> heads, std::int64_t blocks, std::int64_t tail)
      : m_heads(std::move(heads)), m_size(blocks * kIntervalBytes + tail) {}
  std::int64_t size() const override { return m_size; }
  std::size_t readAt(std::int64_t offset, std::span<std::byte> out) override {
    std::size_t n = 0;
    for (; n < out.size() && offset + std::int64_t(n) < m_size; ++n) {
      const std::int64_t at = offset + std::int64_t(n);
      const auto block = std::size_t(at / kIntervalBytes);
      const auto within = std::size_t(at % kIntervalBytes);
      out[n] = within < kPageSize && block < m_heads.size() ? m_heads[block][within] : std::byte{0xA5};
    }
    return n;
  }
  std::string name() const override { return "fuzz-input"; }

 private:
  std::vector<std::array<std::byte, kPageSize>> m_heads;
  std::int64_t m_size;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t control = data[0];
  std::vector<std::array<std::byte, kPageSize>> heads;
  for (std::size_t at = 1; at < size; at += kPageSize) {
    std::array<std::byte, kPageSize> page{};
    std::memcpy(page.data(), data + at, std::min(kPageSize, size - at));
    heads.push_back(page);
  }
  const bool withTail = (control & 1) != 0 && !heads.empty();
  const std::int64_t blocks = std::int64_t(heads.size()) - (withTail ? 1 : 0);
  const std::int64_t tail = withTail ? 1 + std::int64_t(control >> 1) * 1990 : 0;  // < 0x3E000
  BlockSource input(heads, blocks, tail);

  // What the index must hold, worked out from the pages.
  std::vector<rebuild::PageRecord> expected;
  for (std::int64_t b = 0; b < blocks; ++b) {
    const scan::Page page(heads[std::size_t(b)]);
    if (scan::IsPstMapPage(page))
      expected.push_back({scan::MapPageId(scan::MapPageOffsetField(page)), b * kIntervalBytes});
  }

  std::atomic<bool> stop{true};  // a stale stop from an earlier run must not end this one
  std::int64_t lastDone = -1;
  const rebuild::PageIndex index = rebuild::BuildPageIndex(input, stop, [&](const rebuild::RebuildProgress& p) {
    FUZZ_CHECK(p.phase == rebuild::RebuildProgress::Phase::Indexing);
    FUZZ_CHECK(p.total == input.size() && p.done >= lastDone && p.done <= p.total);
    lastDone = p.done;
  });
  FUZZ_CHECK(lastDone == input.size());
  FUZZ_CHECK(index.records() == expected);

  std::map<std::int32_t, rebuild::PageRecord> last;
  for (const auto& r : expected) last[r.id] = r;
  std::int32_t highest = 0;
  std::int64_t present = 0;
  for (const auto& [id, r] : last) {
    FUZZ_CHECK(index.LookupPage(id) == r);
    highest = std::max(highest, id);
    present += id >= 0 ? 1 : 0;
    for (const std::int32_t near : {std::int32_t(std::uint32_t(id) + 1u), std::int32_t(std::uint32_t(id) - 1u)})
      if (!last.count(near)) FUZZ_CHECK(!index.LookupPage(near).has_value());
  }
  for (const std::int32_t probe : {0, -1, INT32_MIN, INT32_MAX})
    if (!last.count(probe)) FUZZ_CHECK(!index.LookupPage(probe).has_value());
  FUZZ_CHECK(index.highestId() == highest);
  FUZZ_CHECK(index.idsPresent() == present);
  FUZZ_CHECK(rebuild::RebuiltSize(index) == 0x4400 + (std::int64_t(highest) + 1) * kIntervalBytes);
  const auto written = index.writtenRecords();
  FUZZ_CHECK(std::int64_t(written.size()) == present);
  for (std::size_t i = 0; i < written.size(); ++i) {
    FUZZ_CHECK(written[i].id >= 0 && written[i].id <= highest);
    FUZZ_CHECK(i == 0 || written[i - 1].id < written[i].id);
    FUZZ_CHECK(index.LookupPage(written[i].id) == written[i]);
  }

  // A stop raised while reporting block j ends the pass before block j + 1.
  if (blocks > 0) {
    const std::int64_t j = std::int64_t(control) % blocks;
    const rebuild::PageIndex partial = rebuild::BuildPageIndex(input, stop, [&](const rebuild::RebuildProgress& p) {
      if (p.done == j * kIntervalBytes) stop.store(true);
    });
    std::vector<rebuild::PageRecord> kept;
    for (const auto& r : expected)
      if (r.position <= j * kIntervalBytes) kept.push_back(r);
    FUZZ_CHECK(partial.records() == kept);
  }
  return 0;
}
