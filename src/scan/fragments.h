#pragma once
// Cutting the found-page list into fragments, and the texts of the fragment list.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "scan/byte_source.h"
#include "scan/scan.h"

namespace kestrix::scan {

// One fragment: a run of hits whose sector distances are 496 times their ID distances.
struct Fragment {
  std::int32_t number = 0;       // from 1, in sector order
  FoundPage first;               // the fragment's first map page
  FoundPage last;                // its last map page
  // 碎片大小: last.id - first.id + 1 (32-bit, wrapping as the ID arithmetic does).
  std::int32_t intervals() const;
  // B': the first sector after the last map interval (last.sector + 496).
  std::int64_t endSector() const { return std::int64_t(std::uint64_t(last.sector) + 496u); }
  friend bool operator==(const Fragment&, const Fragment&) = default;
};

// Walks the hits once; a single stray hit between two fitting hits is passed over.
std::vector<Fragment> DetectFragments(std::span<const FoundPage> hits);

// "A - B": two decimals joined by blank, hyphen, blank.
std::string RangeText(std::int64_t a, std::int64_t b);

struct PagePos {
  std::string StartText;  // the text before its first blank (all of it without a blank)
  std::string EndText;    // from 0-based index len(StartText) + 2 on; empty past the end
};
PagePos ParsePagePos(std::string_view text);

// The standard signed decimal conversion: leading blanks skipped, optional sign, nothing
// after the digits, in range. nullopt where the text is not a valid integer.
std::optional<std::int32_t> TextToInt32(std::string_view text);
std::optional<std::int64_t> TextToInt64(std::string_view text);
// "'TEXT' is not a valid integer value"
std::string notAnIntegerMessage(std::string_view text);

// 文件大小 of a fragment. "0" unless the fragment starts with ID 0; then the header 34
// sectors before its first map page is read: "n <SIZE>" with n the header's whole map
// intervals and SIZE its declared end in SizeToText, or "0 < 0B >" when the header has no
// magic, declares less than one interval, lies before the source's start or cannot be read.
std::string FragmentFileSizeText(ByteSource& src, std::int32_t startId, std::int64_t startSector);

// The five cells of a fragment-list row: ID, 开始ID, 结束ID, 碎片大小, 文件大小.
struct FragmentRow {
  std::string id, start, end, size, fileSize;
  friend bool operator==(const FragmentRow&, const FragmentRow&) = default;
};
FragmentRow MakeFragmentRow(const Fragment& fragment, ByteSource& src);
std::vector<FragmentRow> MakeFragmentRows(std::span<const Fragment> fragments, ByteSource& src);

}  // namespace kestrix::scan
