// The rules of the fragment, manual and file lists, on cell texts.

#include <gtest/gtest.h>

#include <vector>

#include "recover/list_rules.h"
#include "io/errors.h"

namespace kestrix::rebuild {
namespace {

int sign(int x) { return x < 0 ? -1 : (x > 0 ? 1 : 0); }

TEST(ListRules, DefaultTextCompareFoldsAsciiOnlyAndPutsPrefixesFirst) {
  EXPECT_EQ(DefaultTextCompare("abc", "ABC"), 0);
  EXPECT_LT(DefaultTextCompare("10", "9"), 0);    // digits compare as characters
  EXPECT_LT(DefaultTextCompare("ab", "abc"), 0);  // a text before every longer text it begins
  EXPECT_LT(DefaultTextCompare("", "0"), 0);
  EXPECT_GT(DefaultTextCompare("abd", "ABC"), 0);
  // Only 'a'..'z' fold: '[' (0x5B) lies between 'Z' and 'a', so it sorts after letters of either case.
  EXPECT_GT(DefaultTextCompare("[", "a"), 0);
  EXPECT_GT(DefaultTextCompare("[", "Z"), 0);
  // Bytes beyond ASCII count by their unsigned value, after every ASCII byte.
  EXPECT_GT(DefaultTextCompare("碎片", "z"), 0);
  EXPECT_EQ(sign(DefaultTextCompare("碎", "片")), -sign(DefaultTextCompare("片", "碎")));
}

TEST(ListRules, CompareLeadingIntegerIsNumericOnTheFirstWord) {
  EXPECT_EQ(CompareLeadingInteger("2 - 5000", "10 - 100"), -1);
  EXPECT_EQ(CompareLeadingInteger("10 - 100", "2 - 5000"), 1);
  EXPECT_EQ(CompareLeadingInteger("3 <12 MB>", "12 <1 GB>"), -1);  // 文件大小 by its interval count
  EXPECT_EQ(CompareLeadingInteger("0 < 0B >", "0"), 0);
  EXPECT_EQ(CompareLeadingInteger("3.25 MB", ""), 0);  // no leading integer: both count as 0
  EXPECT_EQ(CompareLeadingInteger("-5 - 10", "0"), -1);
  EXPECT_EQ(CompareLeadingInteger("2147483648", "1"), -1);  // out of 32-bit range: 0
  EXPECT_EQ(CompareLeadingInteger("7", "7 - 99"), 0);
}

TEST(ListRules, RangeOutsideIsStrict) {
  // The candidate 10..12 against 5..9: wholly before it.
  EXPECT_TRUE(RangeOutside(12, 10, 9, 5));
  EXPECT_FALSE(RangeOutside(12, 9, 9, 5));  // 9..12 touches 9
  EXPECT_TRUE(RangeOutside(4, 0, 9, 5));    // 0..4 lies wholly before 5..9
  EXPECT_FALSE(RangeOutside(6, 3, 9, 5));   // 3..6 overlaps
  EXPECT_FALSE(RangeOutside(10, 0, 9, 5));  // a candidate around the other range
  EXPECT_FALSE(RangeOutside(4, 8, 20, 15)); // a reversed candidate never fits
}

TEST(ListRules, FragmentFitsManualAgainstEveryManualRow) {
  const std::vector<RangeCells> manual{{"5 - 10000", "9 - 12480"}};
  EXPECT_TRUE(FragmentFitsManual({"10 - 20000", "12 - 21488"}, manual));
  EXPECT_FALSE(FragmentFitsManual({"9 - 20000", "12 - 21984"}, manual));
  EXPECT_TRUE(FragmentFitsManual({"0 - 1034", "4 - 3514"}, manual));
  EXPECT_FALSE(FragmentFitsManual({"3 - 1034", "6 - 3018"}, manual));
  // One overlapping row among several is enough to refuse.
  const std::vector<RangeCells> two{{"20 - 1", "25 - 2"}, {"5 - 10000", "9 - 12480"}};
  EXPECT_FALSE(FragmentFitsManual({"8 - 0", "8 - 496"}, two));
  EXPECT_TRUE(FragmentFitsManual({"12 - 0", "14 - 496"}, two));
  // No manual rows: false (the caller takes the row because the list is empty).
  EXPECT_FALSE(FragmentFitsManual({"1 - 0", "2 - 992"}, {}));
  // A reversed candidate against a non-empty list is never taken.
  EXPECT_FALSE(FragmentFitsManual({"30 - 0", "28 - 992"}, manual));
}

TEST(ListRules, FragmentFitsManualReportsATextThatIsNotAnInteger) {
  const std::vector<RangeCells> manual{{"5 - 10000", "9 - 12480"}};
  try {
    FragmentFitsManual({"x1 - 0", "2 - 992"}, manual);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "'x1' is not a valid integer value");
  }
  // A bad manual row is reported too, even when the candidate is fine.
  const std::vector<RangeCells> bad{{"", "9 - 12480"}};
  EXPECT_THROW(FragmentFitsManual({"1 - 0", "2 - 992"}, bad), Error);
  EXPECT_EQ(RangeCellId("42 - 7"), 42);
}

TEST(ListRules, SharedIdRangesAreTheIdsHeldTwice) {
  using Ranges = std::vector<std::pair<std::int32_t, std::int32_t>>;
  const auto rows = [](std::vector<std::pair<int, int>> ids) {
    std::vector<RangeCells> r;
    for (auto [a, b] : ids) r.push_back({std::to_string(a) + " - 0", std::to_string(b) + " - 0"});
    return r;
  };
  EXPECT_EQ(SharedIdRanges(rows({{0, 2}, {3, 5}})), Ranges{});
  EXPECT_EQ(SharedIdRanges(rows({{3, 5}, {0, 3}, {4, 9}, {9, 9}})), (Ranges{{3, 5}, {9, 9}}));
  EXPECT_EQ(SharedIdRanges(rows({{0, 10}, {2, 3}, {6, 7}})), (Ranges{{2, 3}, {6, 7}}));
  EXPECT_EQ(SharedIdRanges(rows({{2147483647, 2147483647}, {2147483647, 2147483647}})),
            (Ranges{{2147483647, 2147483647}}));
}

TEST(ListRules, SplitFragmentTokensLikeACommaText) {
  using V = std::vector<std::string>;
  EXPECT_EQ(SplitFragmentTokens("1,3, 4"), (V{"1", "3", "4"}));
  EXPECT_EQ(SplitFragmentTokens("1,,3"), (V{"1", "", "3"}));    // an empty token between commas counts
  EXPECT_EQ(SplitFragmentTokens("1 3"), (V{"1", "3"}));         // blanks separate too
  EXPECT_EQ(SplitFragmentTokens("  2,"), (V{"2", ""}));         // a trailing comma ends with an empty token
  EXPECT_EQ(SplitFragmentTokens("\"1 2\",3"), (V{"1 2", "3"})); // quotes keep blanks
  EXPECT_EQ(SplitFragmentTokens("\"a\"\"b\""), (V{"a\"b"}));     // a doubled quote stands for one
  EXPECT_EQ(SplitFragmentTokens("\"open"), (V{"open"}));         // an unclosed quote runs to the end
  EXPECT_TRUE(SplitFragmentTokens("").empty());
  EXPECT_TRUE(SplitFragmentTokens("   ").empty());
}

TEST(ListRules, RangeCellsExtentGivesTheFragmentsSectors) {
  const SectorExtent e = RangeCellsExtent({"0 - 1034", "2 - 2522"});
  EXPECT_EQ(e.first, 1034);
  EXPECT_EQ(e.end, 2522);
  EXPECT_EQ(e.intervalSectors, 496);
  EXPECT_EQ(RangeCellsExtent({"0 - 8464", "1 - 73616"}).intervalSectors, 32576);  // two intervals of 4 KiB pages
  EXPECT_EQ(RangeCellsExtent({"7 - 4294967296", "7 - 4294967792"}).first, 4294967296);  // past 32 bits
  EXPECT_THROW(RangeCellsExtent({"0 - abc", "2 - 2522"}), Error);
  EXPECT_THROW(RangeCellsExtent({"0 - 3000", "2 - 2522"}), Error);  // reversed
  EXPECT_THROW(RangeCellsExtent({"0", "2 - 2522"}), Error);         // no sector at all
}

}  // namespace
}  // namespace kestrix::rebuild
