#include "format/map_page.h"

#include <cstring>

namespace kestrix::scan {

namespace {
constexpr std::uint32_t kMagic = 0x4E444221;  // "!BDN" read little-endian
constexpr std::size_t kTypeAt = 496;
constexpr std::size_t kOffsetAt = 504;
constexpr std::size_t kEndOffsetAt = 184;
constexpr std::byte kMapPageType{0x84};
}  // namespace

std::int64_t readLe64(std::span<const std::byte> bytes, std::size_t at) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < 8; ++i) v |= std::uint64_t(std::to_integer<std::uint8_t>(bytes[at + i])) << (8 * i);
  return static_cast<std::int64_t>(v);
}

std::uint32_t readLe32(std::span<const std::byte> bytes, std::size_t at) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v |= std::uint32_t(std::to_integer<std::uint8_t>(bytes[at + i])) << (8 * i);
  return v;
}

bool IsMostlyFill(Page page) {
  int fill = 0;
  for (std::byte b : page) fill += (b == std::byte{0x00} || b == std::byte{0xFF}) ? 1 : 0;
  return fill >= kFillThreshold;
}

bool IsMapPageOffset(std::int64_t offset) {
  // C++ division truncates toward zero and % takes the dividend's sign, as required.
  if (offset % 512 != 0) return false;
  const std::int64_t d = offset / 512;
  if (d % 530 == 0) return true;
  return (d - 530) % 496 == 0;
}

std::int32_t MapPageId(std::int64_t offset) {
  const std::int64_t d = offset / 512;
  const std::int64_t id = (d - 530) / 496 + 1;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(id)));
}

std::int64_t MapPageOffsetField(Page page) { return readLe64(page, kOffsetAt); }

bool IsPstMapPage(Page page) {
  // All three conditions are pure, so testing the two type bytes first gives the same
  // answer as the fill count first and skips the count on almost every page.
  if (page[kTypeAt] != kMapPageType || page[kTypeAt + 1] != kMapPageType) return false;
  return IsMostlyFill(page) && IsMapPageOffset(MapPageOffsetField(page));
}

bool HasPstMagic(std::span<const std::byte> header) {
  return header.size() >= 4 && readLe32(header, 0) == kMagic;
}

std::int64_t PstHeaderEndOffset(Page header) { return readLe64(header, kEndOffsetAt); }

std::int32_t PstHeaderIntervals(Page header) {
  if (!HasPstMagic(header)) return 0;
  // A crafted end offset near the bottom of the range wraps instead of overflowing.
  const auto e = static_cast<std::uint64_t>(PstHeaderEndOffset(header));
  const std::int64_t n = static_cast<std::int64_t>(e - std::uint64_t(kFirstMapPageOffset)) / kIntervalBytes;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(n)));
}

}  // namespace kestrix::scan
