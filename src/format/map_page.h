#pragma once
// Recognition of PST allocation-map pages and the two header fields the scan reads.
// Pure functions over 512-byte pages: no I/O, no allocation, no state.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

#include "format/layout.h"

namespace kestrix::scan {

// The Unicode layout's map pages (see format/layout.h).
inline constexpr std::size_t kPageSize = pst::kUnicodeGeometry.pageSize;
inline constexpr std::int64_t kFirstMapPageOffset = pst::kUnicodeGeometry.firstMapOffset;  // byte offset of map page ID 0
inline constexpr std::int64_t kFirstMapPageSector = kFirstMapPageOffset / std::int64_t(kPageSize);  // 34
inline constexpr std::int64_t kIntervalBytes = pst::kUnicodeGeometry.mapInterval;  // one map interval
inline constexpr std::int64_t kIntervalSectors = kIntervalBytes / std::int64_t(kPageSize);  // 496
inline constexpr std::int64_t kSecondMapPageSector = kFirstMapPageSector + kIntervalSectors;  // 530, map page ID 1
static_assert(kPageSize == 512 && kFirstMapPageSector == 34 && kIntervalSectors == 496 && kSecondMapPageSector == 530);
inline constexpr std::uint32_t kPstMagic = 0x4E444221;  // "!BDN" read little-endian
inline constexpr int kFillThreshold = 256;

using Page = std::span<const std::byte, kPageSize>;

// Little-endian reads from a byte span; the caller guarantees the bytes exist.
std::int64_t readLe64(std::span<const std::byte> bytes, std::size_t at);
std::uint32_t readLe32(std::span<const std::byte> bytes, std::size_t at);

// True when at least 256 of the 512 bytes are 0x00 or 0xFF.
bool IsMostlyFill(Page page);

// True for the page offsets a map page may record: a multiple of 512 whose sector d is a
// multiple of 530, or satisfies (d - 530) mod 496 == 0, in signed truncating arithmetic
// (so sector 34, every 530 + 496k and also negative values that meet the rules pass).
bool IsMapPageOffset(std::int64_t offset);

// Page ID for a page offset: ((offset div 512) - 530) div 496 + 1, truncated toward zero,
// low 32 bits kept. Sector 34 gives 0, 530 gives 1, 0 gives 0, 1060 gives 2.
std::int32_t MapPageId(std::int64_t offset);

// The ID of the interval a map page of layout g begins, from the BID in its trailer, which a
// map page sets to its own offset in the file; nullopt for a BID no map page of g carries.
inline std::optional<std::int32_t> MapPageIdOfBid(std::uint64_t bid, const pst::Geometry& g) {
  const std::int64_t at = std::int64_t(bid) - g.firstMapOffset;
  if (at < 0 || at % g.mapInterval != 0 || at / g.mapInterval > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
  return std::int32_t(at / g.mapInterval);
}

// Page offset stored in the trailer (bytes 504..511, signed little-endian).
std::int64_t MapPageOffsetField(Page page);

// The page test: mostly fill, type bytes 0x84 0x84 at 496/497, and a map-page offset.
// The result is that of the three conditions in that order; the cheap type test runs first.
bool IsPstMapPage(Page page);

// From a PST header's first 512 bytes: 0 without the "!BDN" magic, else the number of
// whole map intervals below the declared end offset (bytes 184..191 in the Unicode layout),
// low 32 bits. The header is read as one of `layout`, whatever its version field says.
std::int32_t PstHeaderIntervals(Page header, pst::FileLayout layout = pst::FileLayout::Unicode);

// The declared end-of-file offset (bytes 184..191 in the Unicode layout, 168..171 in the ANSI
// one); meaningful only with the magic.
std::int64_t PstHeaderEndOffset(Page header, pst::FileLayout layout = pst::FileLayout::Unicode);
bool HasPstMagic(std::span<const std::byte> header);

}  // namespace kestrix::scan
