#pragma once
// Synthetic PST files and disk images for the built-in example, the tests, the benchmarks
// and the fuzz seeds. Deterministic for a given seed.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace kestrix::rebuild {

// Fills bytes with pseudo-random noise. Noise passes the map-page test with negligible
// probability (it would need 256 fill bytes and the two type bytes at once).
void fillNoise(std::span<std::byte> bytes, std::uint64_t seed);

// A 512-byte allocation-map page recording the given file offset: a mostly-set bitmap,
// the type bytes 0x84 0x84 and the offset in the trailer.
std::vector<std::byte> makeMapPage(std::int64_t fileOffset, std::uint64_t seed);

// A PST-like file of `intervals` map intervals: a header with the magic and the declared end
// 0x4400 + intervals * 0x3E000, a map page at the start of every interval, noise elsewhere.
std::vector<std::byte> makeSyntheticPst(std::int32_t intervals, std::uint64_t seed);

// Builds an image in memory, piece by piece.
class ImageBuilder {
 public:
  explicit ImageBuilder(std::uint64_t seed) : m_seed(seed) {}
  // Appends `sectors` sectors of noise; returns the first sector of the noise.
  std::int64_t noise(std::int64_t sectors);
  // Appends bytes (padded with noise to a whole sector); returns their first sector.
  std::int64_t append(std::span<const std::byte> bytes);
  // Appends map intervals [first, first + count) of a PST file; returns the sector of the
  // first one's map page.
  std::int64_t appendIntervals(std::span<const std::byte> pst, std::int32_t first, std::int32_t count);
  std::int64_t sectors() const { return std::int64_t(m_bytes.size() / 512); }
  const std::vector<std::byte>& bytes() const { return m_bytes; }
  std::vector<std::byte> take() { return std::move(m_bytes); }

 private:
  std::vector<std::byte> m_bytes;
  std::uint64_t m_seed;
};

}  // namespace kestrix::rebuild
