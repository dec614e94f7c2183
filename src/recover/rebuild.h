#pragma once
// Rebuilding a PST file from an input made of whole map intervals in any order.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "pst/repair.h"
#include "io/output_file.h"
#include "io/byte_source.h"

namespace kestrix::rebuild {

// One recognised interval of an input: its page ID and the byte offset of its first byte.
struct PageRecord {
  std::int32_t id = 0;
  std::int64_t position = 0;
  pst::FileLayout layout = pst::FileLayout::Unicode;  // of the map page that begins it
  friend bool operator==(const PageRecord&, const PageRecord&) = default;
};

class PageIndex {
 public:
  // Records an interval; a later record with the same ID wins the lookup. The first record sets
  // the layout of the file rebuilt; one of another layout is not recorded, but counted.
  void add(PageRecord record);
  pst::FileLayout layout() const { return m_records.empty() ? pst::FileLayout::Unicode : m_records.front().layout; }
  // Intervals passed over because their map page is of another layout than the first's.
  std::int64_t otherLayout() const { return m_otherLayout; }
  // The record last added under id, or nullopt.
  std::optional<PageRecord> LookupPage(std::int32_t id) const;
  // The highest ID added, 0 for an empty index (so an empty input still gives interval 0).
  std::int32_t highestId() const { return m_highest; }
  const std::vector<PageRecord>& records() const { return m_records; }
  // Number of IDs from 0 to highestId() that have a record.
  std::int64_t idsPresent() const;
  // The IDs recorded more than once, in increasing order: all but the last of each is dropped.
  std::vector<std::int32_t> repeatedIds() const;
  // The record that each such ID resolves to, in increasing ID order.
  std::vector<PageRecord> writtenRecords() const;

 private:
  std::unordered_map<std::int32_t, std::size_t> m_byId;
  std::vector<PageRecord> m_records;
  std::int32_t m_highest = 0;
  std::int64_t m_otherLayout = 0;
};

struct RebuildProgress {
  enum class Phase { Indexing, Writing, Checking, Repairing } phase = Phase::Indexing;
  std::int64_t done = 0;   // indexing: input bytes; writing: IDs written; checking, repairing: output bytes
  std::int64_t total = 0;  // indexing: input size; writing: highest ID + 1; checking, repairing: output size
};
using RebuildProgressFn = std::function<void(const RebuildProgress&)>;

// Index pass. Clears the stop flag, then visits every whole 0x3E000-byte block of the input
// from offset 0 and tests its first 512 bytes as a map page, of a Unicode file or of an ANSI
// one (whose intervals are as long), and every whole 0xFE8000-byte block, whose first 4 KiB it
// tests as the map page of a file with 4 KiB pages; a shorter tail is never tested.
// Stops early when the flag is set (tested before each block).
PageIndex BuildPageIndex(scan::ByteSource& input, std::atomic<bool>& stop, const RebuildProgressFn& progress);

// Size of an uninterrupted rebuild: the layout's first map offset + (highest ID + 1) * its
// interval (0x4400 + (highest ID + 1) * 0x3E000 for Unicode and ANSI files).
std::int64_t RebuiltSize(const PageIndex& index);

struct WriteStats {
  bool stopped = false;
  std::int64_t idsWritten = 0;  // IDs 0 .. idsWritten-1 stand in the output
  std::int64_t intervalsCopied = 0;
  std::int64_t size = 0;        // length of the output
  bool headerBuilt = false;     // an ANSI or 4 KiB-page file's header, built from what its intervals hold
};

// Write pass: the header block (for an ANSI or 4 KiB-page file, the header its intervals give,
// as repair builds it, or zeros when they hold no root of its trees), then for every ID from 0 to the
// highest the interval of that ID copied from the input (through copyRuns), or a zero
// interval, left as a hole. The stop
// flag is tested before each ID; the output then ends after the IDs written. Throws
// kestrix::Error on a failed read or write (a truncated input, a full disk).
WriteStats WriteRebuiltPst(const PageIndex& index, scan::ByteSource& input, OutputFile& output,
                           const std::atomic<bool>& stop, const RebuildProgressFn& progress);

struct RebuildResult {
  std::int64_t intervalsFound = 0;  // recognised intervals in the input
  std::int32_t highestId = 0;
  std::int64_t tailBytes = 0;       // bytes after the input's last whole interval: never tested, not used
  // IDs that more than one interval of the input carries (fragments of two mailboxes, or two
  // copies): the last of each is written, the others are dropped.
  std::vector<std::int32_t> repeatedIds;
  pst::FileLayout layout = pst::FileLayout::Unicode;
  std::int64_t otherLayout = 0;     // intervals of another layout than the first one's, not used
  WriteStats write;
  std::optional<pst::CheckedOutput> checked;  // with repair: what the check (and repair) found
  bool stopped() const { return write.stopped || (checked && checked->stopped); }
};

// Refuses (throws kestrix::Error) outputs that would replace an input of the same command
// before it is read, or that name one file twice: every output, and with repair the raw copy
// kept beside it (pst::rawPathFor), against every input. rebuildFile makes the same check for
// its own pair; a command of many pairs makes it for all of them first.
void refuseRebuildOutputs(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs, bool repair);


// One input file to one output file, with every check: the output is not the input nor on
// it, it fits its destination, every read and write succeeds. The output is written through
// OutputSet: an existing file of that name is replaced only when the new one is whole; after
// a stop or a failure it is as it was, and nothing else is left behind. An input in which no
// whole interval begins with a map page (empty, random data, a PST file itself) gives no
// output: kestrix::Error says why. With repair, the file written (whose header is the fixed
// header block, so it never opens as it is) is checked and repaired as recover's files are
// (pst::checkWrittenPst): outputPath is the repaired file, the rebuilt bytes stay beside it.
RebuildResult rebuildFile(const std::string& inputPath, const std::string& outputPath, std::atomic<bool>& stop,
                          const RebuildProgressFn& progress, bool repair = false);

}  // namespace kestrix::rebuild
