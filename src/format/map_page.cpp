#include "format/map_page.h"

#include <cstring>

namespace kestrix::scan {

namespace {
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
  return header.size() >= 4 && readLe32(header, 0) == kPstMagic;
}

std::int64_t PstHeaderEndOffset(Page header, pst::FileLayout layout) {
  const pst::Geometry* g = pst::geometryOf(layout);
  if (!g || g->header.fileEof.size != 4) return readLe64(header, g ? g->header.fileEof.at : kEndOffsetAt);
  return readLe32(header, g->header.fileEof.at);
}

std::int32_t PstHeaderIntervals(Page header, pst::FileLayout layout) {
  if (!HasPstMagic(header)) return 0;
  const pst::Geometry* g = pst::geometryOf(layout);
  const std::int64_t first = g ? g->firstMapOffset : kFirstMapPageOffset, interval = g ? g->mapInterval : kIntervalBytes;
  // A crafted end offset near the bottom of the range wraps instead of overflowing.
  const auto e = static_cast<std::uint64_t>(PstHeaderEndOffset(header, layout));
  const std::int64_t n = static_cast<std::int64_t>(e - std::uint64_t(first)) / interval;
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(n)));
}

}  // namespace kestrix::scan
