#pragma once
// Cutting the found-page list into fragments, and the texts of the fragment list.

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "io/byte_source.h"
#include "scan/scan.h"

namespace kestrix::scan {

// One fragment: a run of hits of one layout whose sector distances are their ID distances times
// the sectors of the layout's map interval (496; 32,576 with 4 KiB pages).
struct Fragment {
  std::int32_t number = 0;       // from 1, in sector order
  FoundPage first;               // the fragment's first map page
  FoundPage last;                // its last map page
  // 碎片大小: last.id - first.id + 1 (32-bit, wrapping as the ID arithmetic does).
  std::int32_t intervals() const;
  // B': the first sector after the last map interval (last.sector + 496 in the Unicode layout).
  std::int64_t endSector() const;
  pst::FileLayout layout() const { return first.layout; }
  const pst::Geometry& geometry() const { return *pst::geometryOf(first.layout); }
  friend bool operator==(const Fragment&, const Fragment&) = default;
};

// The fragment walk fed one hit at a time, in sector order, as a scan finds them. It holds,
// for each layout, the open fragment and at most three hits, so a scan need not keep its hits
// to cut them into fragments. The hits of each layout are walked apart from the others'. Each
// fragment goes to the sink once it is closed, numbered from 1 in the order they close (sector
// order where the hits are of one layout); the fragments are those DetectFragments gives for
// the same hits.
class FragmentWalker {
 public:
  using Sink = std::function<void(const Fragment&)>;
  explicit FragmentWalker(Sink sink) : m_sink(std::move(sink)) {}
  void add(const FoundPage& hit);
  // No more hits: walks the ones still held and closes the open fragments, the one that
  // began first first. Call once.
  void finish();
  std::int64_t fragments() const { return m_count; }

 private:
  struct Walk {
    std::array<FoundPage, 3> held{};  // hits h, h + 1, h + 2 of the walk, not yet decided
    std::size_t heldCount = 0;
    bool open = false;
    Fragment current;
  };
  void step(Walk& walk);
  void close(Walk& walk, const FoundPage& last);

  Sink m_sink;
  std::array<Walk, 4> m_walks;  // by layout
  std::int64_t m_count = 0;
};

// Walks the hits once; a single stray hit between two fitting hits is passed over.
std::vector<Fragment> DetectFragments(std::span<const FoundPage> hits);
std::vector<Fragment> DetectFragments(const FoundPageList& hits);

// The fragments of a scan held in 24 bytes each instead of 40: their numbers are their
// places in the list. For fragment lists as long as the hit list (a disk full of stray map
// pages), where only the list of rows is wanted.
class CompactFragmentList {
 public:
  // Appends a fragment; its number must be size() + 1.
  void push_back(const Fragment& fragment);
  std::size_t size() const { return m_items.size(); }
  bool empty() const { return m_items.empty(); }
  Fragment operator[](std::size_t index) const;

 private:
  struct Item {
    std::int64_t firstSector, lastSector;
    std::int32_t firstId, lastId;
  };
  static_assert(sizeof(Item) == 24);
  std::deque<Item> m_items;
  std::map<std::size_t, pst::FileLayout> m_layouts;  // the fragments not of the Unicode layout, by place
};

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
// sectors before its first map page (the layout's first map offset) is read: "n <SIZE>" with n
// the header's whole map intervals and SIZE its declared end in SizeToText, or "0 < 0B >" when
// the header has no magic, declares less than one interval, lies before the source's start or
// cannot be read.
std::string FragmentFileSizeText(ByteSource& src, std::int32_t startId, std::int64_t startSector,
                                 pst::FileLayout layout = pst::FileLayout::Unicode);

// The five cells of a fragment-list row: ID, 开始ID, 结束ID, 碎片大小, 文件大小.
struct FragmentRow {
  std::string id, start, end, size, fileSize;
  friend bool operator==(const FragmentRow&, const FragmentRow&) = default;
};
FragmentRow MakeFragmentRow(const Fragment& fragment, ByteSource& src);
std::vector<FragmentRow> MakeFragmentRows(std::span<const Fragment> fragments, ByteSource& src);

}  // namespace kestrix::scan
