#pragma once
// What a PST file holds and what it lacks: header, both B-trees, blocks, folders, messages.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pst/pst_index.h"
#include "pst/structure_scan.h"
#include "io/byte_source.h"

namespace kestrix::pst {

enum class HeaderVerdict {
  Own,         // sound, and its tree roots are pages of this file
  Foreign,     // sound, but its roots are not in this file (another file's header)
  BadCrc,      // the magic, but a CRC fails
  Missing,     // no header magic
  NotUnicode,  // a PST of another layout, or of an unknown version: not read (see notReadText)
};
const char* headerVerdictName(HeaderVerdict v);
// What a file whose header is of a layout that is not read is, for messages: "an ANSI PST
// (version 14): not read yet", "an OST with 4 KiB pages (version 36): not read yet", "a PST of
// an unknown version (7): not read".
std::string notReadText(std::uint16_t version);

struct TreeReport {
  bool rootFromHeader = false;   // the root came from the header (else it was found by search)
  bool rootFound = false;
  std::int64_t pagesReached = 0;
  std::int64_t pagesMissing = 0;
  std::int64_t pagesRepeated = 0;  // named again once reached: the tree repeats itself
  std::int64_t pagesBadCrc = 0;    // reached, their CRC failing: kept, and written anew by a repair
  bool stale = false;            // newer pages of the tree lie outside it
  bool whole() const { return rootFound && pagesMissing == 0 && pagesRepeated == 0 && pagesBadCrc == 0 && !stale; }
};

struct FolderReport {
  std::uint32_t nid = 0;
  std::uint32_t parent = 0;
  std::string name;
  std::int64_t messages = 0;  // node entries of messages whose parent is this folder
  std::int64_t readable = 0;  // of those, the ones whose every block is present
};

// What a report tells of the header, the trees and the encoding.
struct AnalysisSummary {
  FileLayout layout = FileLayout::Unicode;  // the layout the file was read in
  Header header;                 // as read (meaningful for Own, Foreign, BadCrc)
  HeaderVerdict headerVerdict = HeaderVerdict::Missing;
  Encoding encoding = Encoding::None;
  bool encodingFromHeader = false;
  std::optional<BlockRef> nodeRoot, blockRoot;
  TreeReport nodeTree, blockTree;
  std::int64_t indexEnd = 0;     // the end of the last tree page reached or block listed
};

// The facts both check and repair need: the trees as found, the encoding, the index.
struct Analysis : AnalysisSummary {
  std::vector<NodeEntry> nodes;          // the node tree's leaf entries as walked
  std::vector<BlockEntry> blocks;        // the block tree's leaf entries as walked
  std::vector<std::uint64_t> badCrcPages;  // the tree pages the walks reached whose CRC fails
};

// Reads the header and walks both trees over what the scan found.
Analysis analyse(const StructureScan& scan, scan::ByteSource& input);

struct CheckReport {
  std::int64_t length = 0;
  AnalysisSummary analysis;
  std::int64_t blocksListed = 0;
  std::int64_t blocksMissing = 0;   // listed in the block tree, not found at their place
  std::int64_t blocksBadCrc = 0;    // found at their place, failing their CRC: kept, and read as they are
  std::int64_t nodesBroken = 0;     // node entries naming a data or subnode block that is not present
  std::int64_t messages = 0;
  std::int64_t messagesReadable = 0;
  std::int64_t foldersUnparsed = 0;  // folders whose property context does not parse
  // The header's length is one the file can have: past the first interval, where an interval
  // starts, within the input and past everything the trees reach (see saneLength).
  bool lengthSane = false;
  bool mailboxOpens = false;        // the message store and the root folder are there and readable
  std::int64_t mapIntervals = 0;    // intervals that begin in the file (not in its slack)
  std::int64_t mapsLost = 0;        // of those, the ones that do not begin with a valid allocation map
  std::int64_t slackBytes = 0;      // bytes of the input past the file's declared end (see slackPast)
  // Maps are lost while the header says they are valid: the program that owns the format
  // would trust them. A header that marks them invalid makes it rebuild them from the trees.
  bool mapsTrustedButLost() const { return mapsLost > 0 && analysis.header.amapValid != 0; }
  std::vector<FolderReport> folders;
  std::vector<scan::SectorRun> unreadable;
  bool stopped = false;
  bool supported() const { return analysis.headerVerdict != HeaderVerdict::NotUnicode; }
  // Any structure of a PST at all: a sound header or one valid tree page.
  bool isPst = false;
  // The header is its own and holds a sane length, both trees are whole, every block they list
  // is in place with its CRC, every message is readable, every folder's properties parse, the
  // mailbox opens, the maps are not trusted while lost, and the medium gave every sector.
  bool sound() const { return soundApartFromCrcs() && blocksBadCrc == 0; }
  // All of sound() but blocks whose CRC fails while their trailer and signature hold: what a
  // repair leaves as it is, since readers read such blocks and nothing better exists.
  bool soundApartFromCrcs() const;
};

// Whether the header's length is one a file of `length` bytes, whose trees reach indexEnd, can
// have: past the first interval and where an interval starts, at most `length` and at least
// indexEnd. A length the file does not hold (a header claiming 2^63 bytes) is not sane.
bool saneLength(std::uint64_t fileEof, std::int64_t length, std::int64_t indexEnd, const Geometry& g = kUnicodeGeometry);

// The bytes past the declared end of a file whose header is its own, when they are no part of
// it: a file that an undelete tool wrote in whole clusters carries the rest of its last
// cluster. They are when that end is sane (past the first interval, where an interval
// starts, within the input), no interval past it begins with a valid allocation map (else
// the file goes on and its header is the stale one) and neither tree names anything there.
// 0 otherwise, and for a stopped scan.
std::int64_t slackPast(const StructureScan& scan, const AnalysisSummary& analysis);

// Counts blocks, messages and folders over an index (the one found, or a repaired one).
// Encoding and roots come from `analysis`; nodes and blocks are the ones given. Tests the stop
// flag between nodes; a stop leaves the report stopped.
CheckReport describe(const StructureScan& scan, scan::ByteSource& input, const AnalysisSummary& analysis,
                     const std::vector<NodeEntry>& nodes, std::vector<BlockEntry> blocks, const std::atomic<bool>& stop);

// One pass over the input, then the report. Stops between chunks when the flag is set.
CheckReport checkPst(scan::ByteSource& input, const std::atomic<bool>& stop, const StructureScanOptions& options = {});

}  // namespace kestrix::pst
