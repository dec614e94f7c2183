#pragma once
// Repair: a new PST file that the standard readers open, holding every message whose data
// survived. The input is read once and never written; blocks stay at their offsets.
//
// - A sound input is copied unchanged, byte for byte; so is one whose only fault is blocks
//   whose CRC fails while their trailer and signature hold: readers read them, and they stay.
// - A tree page or block whose CRC fails while its type, signature and layout hold is kept
//   (counted as "CRC failed, kept") where no copy that passes its CRC exists.
// - Slack past the declared end of a file (see slackPast) is left out: a sound file with
//   slack comes out as the file was, byte for byte.
// - A header that is missing, foreign (another file's) or fails its CRC is rebuilt from what
//   the file holds: tree roots, length, last allocation map, next IDs, the encoding.
// - Where a tree page is lost, fails its CRC or a block is gone, both B-trees are rebuilt: the
//   block tree from every block whose trailer proves it, the node tree from every surviving
//   leaf page (the newest copy of an entry wins); entries whose data is gone are dropped.
//   The new pages go into free space of the file, else into intervals appended to it.
// - A lost message store, root folder or top folder is written anew; messages and folders
//   whose folder is lost are put into the top folder of the mailbox.
// - The allocation maps are marked for rebuilding whenever anything but the copy was written.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "pst/check.h"
#include "io/output_file.h"
#include "io/byte_source.h"
#include "io/message.h"

namespace kestrix::pst {

struct RepairReport {
  CheckReport before;           // the input as found
  CheckReport after;            // the output as written
  bool unchanged = false;       // sound and without slack: copied byte for byte
  std::int64_t slackCut = 0;    // bytes of slack past the input's declared end left out of the output
  bool headerRebuilt = false;
  bool treesRebuilt = false;
  std::int64_t nodesRecovered = 0;   // node entries taken from leaf pages the walk did not reach
  std::int64_t nodesDropped = 0;     // node entries whose data block is gone
  std::int64_t subnodesCleared = 0;  // node entries kept without their lost subnode tree
  std::int64_t blocksDropped = 0;    // block-tree entries whose block is gone
  std::int64_t blocksCrcKept = 0;    // blocks in the output whose CRC fails, kept since readers read them
  std::int64_t blocksAdded = 0;      // blocks found by their trailer that the block tree lacked
  std::int64_t nodesCreated = 0;     // message store, root or top folder written anew
  std::int64_t orphansMoved = 0;     // messages and folders put into orphanFolder
  std::int64_t tablesRebuilt = 0;    // folders' tables of subfolders or messages written anew
  std::uint32_t orphanFolder = 0;
  std::int64_t pagesWritten = 0;
  std::int64_t outputLength = 0;
  bool stopped = false;
};

// Copies the input into `output` while scanning it, then writes the repairs over the copy, in
// the input's own layout. Throws kestrix::Error when the input holds no PST structure, is of a
// version no layout is known for, or would come out past its layout's limits (an ANSI file's
// 32-bit IDs and offsets, 2 GiB); the caller then discards the output. A stop leaves the
// output incomplete (report.stopped).
RepairReport repairPst(scan::ByteSource& input, rebuild::OutputFile& output, const std::atomic<bool>& stop,
                       const StructureScanOptions& options = {});

// The header a repair gives `file` (the whole file, its own header lost or not), in the layout
// the file is read in (see geometryToRead; its version names it): its roots told from its tree
// pages, its length, next IDs and encoding from what it holds. nullopt when it holds no root
// page of either tree, or when the stop flag ended the reading.
std::optional<Header> rebuiltHeader(scan::ByteSource& file, const std::atomic<bool>& stop);

// Repairs into outputPath through the one output writer: the checks every output gets (not
// the input itself, not on the source's storage, room on the destination), and the file
// appears under its name only when the repair completed; a failure or a stop leaves no file
// behind and an existing file of that name as it was.
RepairReport repairFile(scan::ByteSource& input, const std::string& outputPath, const std::atomic<bool>& stop,
                        const StructureScanOptions& options = {});

// A PST file just written into an OutputSet (by recover or rebuild), checked before it is put
// in place. A sound file stays exactly as written. A damaged one is repaired: the repaired file
// takes the target's name and the bytes as written are kept beside it under rawPathFor(name),
// so nothing is lost and the repair can be tried again. A file that is no PST, or one of a
// version no layout is known for, stays as written and notRepaired says why. Where the repair
// cannot complete (no room or no name for the repaired copy, a write that fails), nothing is
// put at the target's name, so a sound earlier file there stays: the bytes as written are kept
// under rawPath (rawPathFor(name), or the first of rawPathFor(name, 2), ... that can be written),
// failed says which step failed, and the run must not call itself a success.
struct CheckedOutput {
  CheckReport check;          // the file as written
  bool repaired = false;
  RepairReport repair;        // when repaired
  std::string rawPath;        // when repaired or failed: where the bytes as written are kept
  std::string notRepaired;    // damaged, yet left as written: the reason
  // The same for a window that words it in its own language: the step that failed (no room or
  // name for the repaired copy, or the repair itself) and the failure behind it.
  enum class Failed { None, Copy, Repair } failed = Failed::None;
  Message failure;
  bool stopped = false;       // the stop flag ended the check or the repair
  bool headerBuilt = false;   // set by the writer: the file's own header was lost, it wrote one built anew
  // The file that now stands under the target's name.
  const CheckReport& result() const { return repaired ? repair.after : check; }
  // Its header: "own", "rebuilt", or what check found ("missing", "foreign", ...).
  std::string headerState() const {
    if (headerBuilt || (repaired && repair.headerRebuilt)) return "rebuilt";
    if (repaired) return "own";
    return headerVerdictName(check.analysis.headerVerdict);
  }
};

struct CheckedOutputProgress {
  enum class Stage { Check, Repair } stage = Stage::Check;
  std::int64_t done = 0, total = 0;  // bytes
};

// "file1.pst" -> "file1.raw.pst"; "out" -> "out.raw"; with n > 1 "file1.raw-N.pst".
std::string rawPathFor(const std::string& path, int n = 1);

// Checks target `target` of outputs, which must be open and written, and repairs it when it is
// damaged (see CheckedOutput). Throws kestrix::Error when a read or a write fails.
CheckedOutput checkWrittenPst(rebuild::OutputSet& outputs, std::size_t target, const std::atomic<bool>& stop,
                              const std::function<void(const CheckedOutputProgress&)>& progress = {});

}  // namespace kestrix::pst
