#include <gtest/gtest.h>

#include <array>

#include "format/format.h"
#include "format/header_block.h"
#include "format/map_page.h"
#include "support/test_support.h"

using namespace kestrix::scan;

namespace {

std::array<std::byte, 512> page(std::byte fill = std::byte{0}) {
  std::array<std::byte, 512> p{};
  p.fill(fill);
  return p;
}

void setOffset(std::array<std::byte, 512>& p, std::int64_t v) {
  for (int i = 0; i < 8; ++i) p[504 + std::size_t(i)] = std::byte((std::uint64_t(v) >> (8 * i)) & 0xFF);
}

std::array<std::byte, 512> mapPage(std::int64_t offset) {
  auto p = page();
  p[496] = p[497] = std::byte{0x84};
  setOffset(p, offset);
  return p;
}

}  // namespace

TEST(MapPage, RecognisesPagesAndTheirIds) {
  EXPECT_FALSE(IsPstMapPage(page()));  // all zero: fill passes, the type word does not
  struct Case {
    std::int64_t offset;
    std::int32_t id;
  };
  for (auto [offset, id] : {Case{0x4400, 0}, Case{0x42400, 1}, Case{0x80400, 2}, Case{0, 0}, Case{1060 * 512, 2},
                            Case{1590 * 512, 3}, Case{-530 * 512, -1}}) {
    SCOPED_TRACE(offset);
    EXPECT_TRUE(IsPstMapPage(mapPage(offset)));
    EXPECT_EQ(MapPageId(offset), id);
  }
  EXPECT_FALSE(IsPstMapPage(mapPage(0x4401)));      // not a multiple of 512
  EXPECT_FALSE(IsPstMapPage(mapPage(35 * 512)));    // neither rule
  EXPECT_FALSE(IsPstMapPage(mapPage(531 * 512)));
  auto oneType = mapPage(0x4400);
  oneType[497] = std::byte{0x85};
  EXPECT_FALSE(IsPstMapPage(oneType));
}

TEST(MapPage, OffsetRulesUseTruncatingSignedArithmetic) {
  EXPECT_TRUE(IsMapPageOffset(34 * 512));    // (34 - 530) mod 496 == 0 with the dividend's sign
  EXPECT_FALSE(IsMapPageOffset(-34 * 512));  // -564 is neither a multiple of 530 nor 530 + 496k
  EXPECT_FALSE(IsMapPageOffset(-35 * 512));
  EXPECT_TRUE(IsMapPageOffset(-530 * 512));  // a multiple of 530
  EXPECT_EQ(MapPageId(-530 * 512), -1);      // (-1060) div 496 = -2, + 1
  EXPECT_EQ(MapPageId(0), 0);                // -530 div 496 = -1 (toward zero), + 1
  EXPECT_EQ(MapPageId(34 * 512), 0);
  // Huge offsets keep the low 32 bits of the 64-bit ID.
  const std::int64_t d = 530 + 496 * (std::int64_t(1) << 32);
  EXPECT_TRUE(IsMapPageOffset(d * 512));
  EXPECT_EQ(MapPageId(d * 512), 1);
  EXPECT_FALSE(IsMapPageOffset(INT64_MIN + 1));
}

TEST(MapPage, FillThresholdCountsAllBytesButTheTypeWord) {
  auto p = mapPage(0x4400);  // 510 zero bytes
  for (std::size_t i = 0; i < 496; ++i) p[i] = std::byte{0x55};
  // Left as fill: bytes 498..503 and seven of the offset 0x4400: 13 bytes.
  for (std::size_t i = 0; i < 243; ++i) p[i] = std::byte(i % 2 ? 0xFF : 0x00);  // 243 + 13 = 256
  EXPECT_TRUE(IsMostlyFill(p));
  EXPECT_TRUE(IsPstMapPage(p));
  p[0] = std::byte{0x01};  // 255
  EXPECT_FALSE(IsMostlyFill(p));
  EXPECT_FALSE(IsPstMapPage(p));
}

TEST(MapPage, HeaderIntervals) {
  auto h = page();
  auto setEnd = [&](std::int64_t e) {
    for (int i = 0; i < 8; ++i) h[184 + std::size_t(i)] = std::byte((std::uint64_t(e) >> (8 * i)) & 0xFF);
  };
  setEnd(0x4400 + 55 * 0x3E000);
  EXPECT_EQ(PstHeaderIntervals(h), 0);  // no magic
  h[0] = std::byte{'!'}, h[1] = std::byte{'B'}, h[2] = std::byte{'D'}, h[3] = std::byte{'N'};
  EXPECT_EQ(PstHeaderIntervals(h), 55);
  setEnd(0x4400 + 55 * 0x3E000 + 0x3DFFF);
  EXPECT_EQ(PstHeaderIntervals(h), 55);
  setEnd(0x4400 + 0x3DFFF);
  EXPECT_EQ(PstHeaderIntervals(h), 0);
  setEnd(0x4400 - 0x3DFFF);  // less than an interval below: truncates to 0 too
  EXPECT_EQ(PstHeaderIntervals(h), 0);
  setEnd(0x4400 - 0x3E000);
  EXPECT_EQ(PstHeaderIntervals(h), -1);
  setEnd(INT64_MIN);  // wraps, does not overflow
  (void)PstHeaderIntervals(h);
  EXPECT_EQ(PstHeaderIntervals(std::span(kestrix::test::enronPst()).first<512>()), 55);
}

TEST(HeaderBlock, CrcsMatchItsBytes) {
  using kestrix::rebuild::HeaderBlock;
  using kestrix::pst::crc;
  const auto block = HeaderBlock();
  EXPECT_EQ(readLe32(block, 0), 0x4E444221u);  // "!BDN"
  EXPECT_EQ(readLe32(block, 4), 0x2382E205u);
  EXPECT_EQ(crc(block.subspan(8, 471)), 0x2382E205u);
  EXPECT_EQ(readLe32(block, 0x20C), 0x5C233364u);
  EXPECT_EQ(crc(block.subspan(8, 516)), 0x5C233364u);
  EXPECT_EQ(readLe32(block, 0x4200 + 500), 0x11222235u);
  EXPECT_EQ(crc(block.subspan(0x4200, 496)), 0x11222235u);
  EXPECT_EQ(readLe64(block, 0xB8), 20104889344);
  EXPECT_EQ(block[0x4200 + 496], std::byte{0x86});
  EXPECT_EQ(block[0x245], std::byte{0x1D});
  EXPECT_EQ(block[0x246], std::byte{0});
}
