#pragma once
// The rules of the fragment, manual and file lists, on cell texts. The window's list views
// call these; they know nothing of widgets, so every rule is tested without a window.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "recover/extract.h"

namespace kestrix::rebuild {

// The list view's own text comparison: byte by byte over the shorter text, 'a'..'z' folded
// to capitals, every other byte by its unsigned value; at the first difference the first
// byte minus the second, else the length of a minus the length of b. So "abc" = "ABC",
// "10" < "9", "ab" < "abc" and "" < any other text. Only the sign is meant.
int DefaultTextCompare(std::string_view a, std::string_view b);

// The comparison of BlockList and list: the texts before their first blank taken as signed
// 32-bit integers (0 when not a valid integer), compared numerically. Returns -1, 0 or 1.
// "2 - 5000" < "10 - 100"; "3.25 MB", "" and "x" all count as 0.
int CompareLeadingInteger(std::string_view a, std::string_view b);

// True when the other range [otherStart, otherEnd] lies wholly before candidateStart or
// wholly after candidateEnd; false when the candidate is reversed (end < start). A range
// that touches the candidate's first or last ID overlaps it.
bool RangeOutside(std::int32_t candidateEnd, std::int32_t candidateStart, std::int32_t otherEnd,
                  std::int32_t otherStart);

// The 开始ID and 结束ID cells of a fragment row ("A - B" range texts).
struct RangeCells {
  std::string start;
  std::string end;
};

// The page ID of a range cell: its text before the first blank, converted strictly.
// Throws kestrix::Error "'TEXT' is not a valid integer value" for anything else.
std::int32_t RangeCellId(std::string_view cell);

// Whether the candidate's ID range lies outside the range of every manual row. False when
// there are no manual rows (the caller then takes the candidate because the list is empty).
// Throws as RangeCellId when a cell of the candidate or of a manual row is not an integer.
bool FragmentFitsManual(const RangeCells& candidate, std::span<const RangeCells> manual);

// The ID ranges that two or more of the rows hold, in increasing order, merged ("the ticked
// fragments hold IDs 3-5 twice": pieces of two mailboxes, or two versions of one). Throws as
// RangeCellId; a reversed row holds no ID.
std::vector<std::pair<std::int32_t, std::int32_t>> SharedIdRanges(std::span<const RangeCells> rows);

// Splits the fragment column of a file row into tokens: commas and blanks (any byte up to
// 0x20) separate, a token may be enclosed in double quotes (a doubled quote inside stands
// for one), an empty token between two commas counts. "1,3, 4" gives 1, 3, 4.
std::vector<std::string> SplitFragmentTokens(std::string_view text);

// The source sectors [first, end) a fragment row covers: B of its 开始ID and B' of its
// 结束ID, and the sectors of its map interval: those of the 4 KiB-page layout when the row
// spans exactly as many of them as it holds IDs, else the Unicode and ANSI layouts' (no row
// can span a whole number of both for its IDs). Throws as RangeCellId when either sector text
// is not a 64-bit integer, and kestrix::Error when the range is empty or reversed.
SectorExtent RangeCellsExtent(const RangeCells& cells);

}  // namespace kestrix::rebuild
