#include <gtest/gtest.h>

#include <array>

#include "recover/sample_image.h"
#include "scan/fragments.h"
#include "support/test_support.h"

using namespace kestrix;
using namespace kestrix::scan;

namespace {

// The first four cells of every row, "ID; 开始ID; 结束ID; 碎片大小", as the list shows them.
std::vector<std::string> rowsOf(const std::vector<FoundPage>& hits) {
  test::MemorySource none({});
  std::vector<std::string> rows;
  for (const auto& row : MakeFragmentRows(DetectFragments(hits), none))
    rows.push_back(row.id + "; " + row.start + "; " + row.end + "; " + row.size);
  return rows;
}

using Rows = std::vector<std::string>;

}  // namespace

TEST(FragmentWalk, CutsHitsIntoFragments) {
  EXPECT_EQ(rowsOf({}), Rows{});
  EXPECT_EQ(rowsOf({{3, 7000}}), Rows{"1; 3 - 7000; 3 - 7496; 1"});
  EXPECT_EQ(rowsOf({{0, 1034}, {1, 1530}, {2, 2026}}), Rows{"1; 0 - 1034; 2 - 2522; 3"});
  // Two files.
  EXPECT_EQ(rowsOf({{0, 1034}, {1, 1530}, {0, 5034}, {1, 5530}}),
            (Rows{"1; 0 - 1034; 1 - 2026; 2", "2; 0 - 5034; 1 - 6026; 2"}));
  // A stray hit between two fitting ones belongs to no fragment.
  EXPECT_EQ(rowsOf({{5, 10000}, {9, 10100}, {6, 10496}}), Rows{"1; 5 - 10000; 6 - 10992; 2"});
  // A break where neither look-ahead fits.
  EXPECT_EQ(rowsOf({{0, 1034}, {1, 1530}, {7, 9000}, {8, 9496}}),
            (Rows{"1; 0 - 1034; 1 - 2026; 2", "2; 7 - 9000; 8 - 9992; 2"}));
  // Equal IDs in a row never fit.
  EXPECT_EQ(rowsOf({{4, 2000}, {4, 2100}}), (Rows{"1; 4 - 2000; 4 - 2496; 1", "2; 4 - 2100; 4 - 2596; 1"}));
  // A gap in the IDs that keeps the relation.
  EXPECT_EQ(rowsOf({{0, 1034}, {3, 2522}}), Rows{"1; 0 - 1034; 3 - 3018; 4"});
}

TEST(FragmentWalk, LookAheadCorners) {
  // Two strays in a row: the first look-ahead fails, so the fragment ends.
  EXPECT_EQ(rowsOf({{5, 10000}, {9, 10100}, {9, 10200}, {6, 10496}}),
            (Rows{"1; 5 - 10000; 5 - 10496; 1", "2; 9 - 10100; 9 - 10596; 1", "3; 9 - 10200; 9 - 10696; 1",
                  "4; 6 - 10496; 6 - 10992; 1"}));
  // When h + 2 has hit h's ID, only h + 1 is considered.
  EXPECT_EQ(rowsOf({{5, 10000}, {6, 10496}, {5, 20000}}),
            (Rows{"1; 5 - 10000; 6 - 10992; 2", "2; 5 - 20000; 5 - 20496; 1"}));
  // A stray as the last hit but one, then a fitting last hit.
  EXPECT_EQ(rowsOf({{1, 530}, {2, 1026}, {40, 1100}, {3, 1522}}), Rows{"1; 1 - 530; 3 - 2018; 3"});
  // Negative IDs and sectors beyond 2^31 are compared like any others.
  const std::int64_t far = 5000000000;
  EXPECT_EQ(rowsOf({{-2, far}, {-1, far + 496}, {0, far + 992}}),
            Rows{"1; -2 - 5000000000; 0 - 5000001488; 3"});
}

TEST(FragmentWalk, IsLinearAndLosesNoHit) {
  // A long file with a stray every 7 hits: one fragment, every stray passed over.
  std::vector<FoundPage> hits;
  for (std::int32_t id = 0; id < 10000; ++id) {
    hits.push_back({id, 34 + 496 * std::int64_t(id)});
    if (id % 7 == 3 && id + 1 < 10000) hits.push_back({999999, 40 + 496 * std::int64_t(id)});
  }
  const auto fragments = DetectFragments(hits);
  ASSERT_EQ(fragments.size(), 1u);
  EXPECT_EQ(fragments[0].intervals(), 10000);
  EXPECT_EQ(fragments[0].endSector() - fragments[0].first.sector, 496 * 10000);
}

TEST(PagePos, SplitsAtTheFirstBlank) {
  auto p = ParsePagePos("12 - 345");
  EXPECT_EQ(p.StartText, "12");
  EXPECT_EQ(p.EndText, " 345");
  EXPECT_EQ(TextToInt64(p.EndText), 345);
  p = ParsePagePos("12345");
  EXPECT_EQ(p.StartText, "12345");
  EXPECT_EQ(p.EndText, "");
  p = ParsePagePos("");
  EXPECT_EQ(p.StartText, "");
  EXPECT_EQ(p.EndText, "");
  p = ParsePagePos("7 -");  // the end position lies past the text
  EXPECT_EQ(p.StartText, "7");
  EXPECT_EQ(p.EndText, "");
  p = ParsePagePos(" 5 - 6");
  EXPECT_EQ(p.StartText, "");
  EXPECT_EQ(p.EndText, " - 6");
}

TEST(PagePos, IntegerConversion) {
  EXPECT_EQ(TextToInt32("  -42"), -42);
  EXPECT_EQ(TextToInt32("+7"), 7);
  EXPECT_EQ(TextToInt32("2147483647"), 2147483647);
  EXPECT_EQ(TextToInt32("2147483648"), std::nullopt);
  EXPECT_EQ(TextToInt32("3.25"), std::nullopt);
  EXPECT_EQ(TextToInt32(""), std::nullopt);
  EXPECT_EQ(TextToInt32("12 "), std::nullopt);
  EXPECT_EQ(TextToInt64("-5000000000"), -5000000000);
  EXPECT_EQ(notAnIntegerMessage("x1"), "'x1' is not a valid integer value");
}

TEST(FragmentFileSize, ReadsTheHeaderInFrontOfAnIdZeroFragment) {
  // The real sample alone: one fragment, its header declares 55 intervals.
  test::MemorySource enron(test::enronPst());
  std::atomic<bool> stop{false};
  const auto fragments = DetectFragments(scanSource(enron, stop, {}).hits);
  ASSERT_EQ(fragments.size(), 1u);
  EXPECT_EQ(MakeFragmentRow(fragments[0], enron), (FragmentRow{"1", "0 - 34", "54 - 27314", "55", "55 <13.33 MB>"}));

  // Not ID 0: "0" without reading anything.
  test::MemorySource empty({});
  EXPECT_EQ(FragmentFileSizeText(empty, 3, 5000), "0");
  // A header without the magic, one that declares less than an interval, one before the
  // source's first byte and one that cannot be read all give "0 < 0B >".
  std::vector<std::byte> image(100 * 512);
  rebuild::fillNoise(image, 3);
  test::MemorySource noise(image);
  EXPECT_EQ(FragmentFileSizeText(noise, 0, 40), "0 < 0B >");
  auto small = test::enronPst();
  small.resize(2048);
  small[184] = std::byte{0x00}, small[185] = std::byte{0x50};  // end 0x5000: under one interval
  for (int i = 186; i < 192; ++i) small[std::size_t(i)] = std::byte{0};
  test::MemorySource tooShort(small);
  EXPECT_EQ(FragmentFileSizeText(tooShort, 0, 34), "0 < 0B >");
  EXPECT_EQ(FragmentFileSizeText(noise, 0, 33), "0 < 0B >");
  EXPECT_EQ(FragmentFileSizeText(noise, 0, -5), "0 < 0B >");
  test::MemorySource enronAgain(test::enronPst());
  test::FaultySource bad(enronAgain);
  bad.badSectors = {0};
  EXPECT_EQ(FragmentFileSizeText(bad, 0, 34), "0 < 0B >");
}
