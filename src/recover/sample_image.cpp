#include "recover/sample_image.h"

#include <algorithm>
#include <cstring>

#include "format/header_block.h"
#include "format/map_page.h"

namespace kestrix::rebuild {

namespace {

std::uint64_t splitmix(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

void putLe64(std::span<std::byte> at, std::int64_t value) {
  for (int i = 0; i < 8; ++i) at[std::size_t(i)] = std::byte((std::uint64_t(value) >> (8 * i)) & 0xFF);
}

}  // namespace

void fillNoise(std::span<std::byte> bytes, std::uint64_t seed) {
  std::uint64_t state = seed * 0x2545F4914F6CDD1Dull + 1;
  std::size_t i = 0;
  for (; i + 8 <= bytes.size(); i += 8) {
    const std::uint64_t v = splitmix(state);
    std::memcpy(bytes.data() + i, &v, 8);
  }
  if (i < bytes.size()) {
    const std::uint64_t v = splitmix(state);
    std::memcpy(bytes.data() + i, &v, bytes.size() - i);
  }
}

std::vector<std::byte> makeMapPage(std::int64_t fileOffset, std::uint64_t seed) {
  std::vector<std::byte> page(scan::kPageSize, std::byte{0xFF});
  // A few clear bits, as in a bitmap of a file in use.
  std::uint64_t state = seed;
  for (int i = 0; i < 24; ++i) page[splitmix(state) % 496] = std::byte(splitmix(state) & 0xFF);
  page[496] = std::byte{0x84};
  page[497] = std::byte{0x84};
  const std::uint64_t sig = splitmix(state);
  std::memcpy(page.data() + 498, &sig, 6);  // signature and CRC: not checked by anyone here
  putLe64(std::span(page).subspan(504, 8), fileOffset);
  return page;
}

std::vector<std::byte> makeSyntheticPst(std::int32_t intervals, std::uint64_t seed) {
  const std::int64_t size = scan::kFirstMapPageOffset + std::int64_t(intervals) * scan::kIntervalBytes;
  std::vector<std::byte> file(static_cast<std::size_t>(size));
  fillNoise(file, seed);
  const auto header = HeaderBlock();
  std::copy(header.begin(), header.end(), file.begin());
  putLe64(std::span(file).subspan(184, 8), size);
  for (std::int32_t id = 0; id < intervals; ++id) {
    const std::int64_t at = scan::kFirstMapPageOffset + std::int64_t(id) * scan::kIntervalBytes;
    const auto page = makeMapPage(at, seed + std::uint64_t(id));
    std::copy(page.begin(), page.end(), file.begin() + at);
  }
  return file;
}

std::int64_t ImageBuilder::noise(std::int64_t sectors) {
  const std::int64_t first = this->sectors();
  const std::size_t old = m_bytes.size();
  m_bytes.resize(old + std::size_t(sectors) * 512);
  fillNoise(std::span(m_bytes).subspan(old), m_seed++);
  return first;
}

std::int64_t ImageBuilder::append(std::span<const std::byte> bytes) {
  const std::int64_t first = sectors();
  m_bytes.insert(m_bytes.end(), bytes.begin(), bytes.end());
  if (const std::size_t tail = m_bytes.size() % 512) {
    const std::size_t old = m_bytes.size();
    m_bytes.resize(old + 512 - tail);
    fillNoise(std::span(m_bytes).subspan(old), m_seed++);
  }
  return first;
}

std::int64_t ImageBuilder::appendIntervals(std::span<const std::byte> pst, std::int32_t first, std::int32_t count) {
  const auto from = std::size_t(scan::kFirstMapPageOffset + std::int64_t(first) * scan::kIntervalBytes);
  const auto length = std::size_t(std::int64_t(count) * scan::kIntervalBytes);
  return append(pst.subspan(from, std::min(length, pst.size() - from)));
}

}  // namespace kestrix::rebuild
