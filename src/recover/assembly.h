#pragma once
// Putting files together from the fragments of a scan, and writing one straight from the
// source. Contract between the library and its callers (window, kestrix-cli recover).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "recover/reassembly.h"
#include "io/copy_loop.h"
#include "io/output_file.h"
#include "io/byte_source.h"
#include "scan/fragments.h"
#include "format/map_page.h"
#include "scan/scan.h"

namespace kestrix::rebuild {

// How files are put together (AssembleFiles):
//
// * Every fragment that starts with ID 0, whose header (the 512 bytes 34 sectors before its
//   first map page, read as the fragment list's 文件大小 reads them) carries the magic and
//   declares k > 0 whole intervals, starts a file, numbered from 1 in scan order and named
//   "file<N>.pst". A later ID 0 fragment always starts a file of its own; it is never taken
//   into another file.
// * An ID 0 fragment whose header has lost its magic starts a file too (headerHasMagic
//   false). Its length is lost with the header: k is the first ID at or above the fragment's
//   end that no candidate begins at, so the file is what follows without a gap. When it is the
//   only file the fragments start and no two fragments hold the same ID, it goes on past such
//   gaps to the highest ID of any fragment that keeps it within the source's length, the IDs
//   between missing. When it is written, a header is built from what its intervals hold
//   (pst::rebuiltHeader).
// * A fragment "covers" ID u when its first ID <= u <= its last ID. Only the IDs 0 .. k-1
//   of a fragment count: the part of a fragment at IDs >= k (or below 0) is ignored when
//   deciding what it covers and what it overlaps, and is never written.
// * For the lowest ID u < k not yet covered, the candidates are the fragments that cover u,
//   do not start with ID 0, and overlap (in IDs 0 .. k-1) no fragment already chosen. Of
//   those, the one whose first map page lies nearest after that of the fragment chosen last
//   wins; when none lies after it, the one nearest before it. With no candidate, u is missing.
//   This repeats until every ID below k is covered or missing. A fragment may serve several
//   files: files are assembled independently of each other.
// * Since every ID below u is covered or missing, a candidate always begins at u: one that
//   began below would overlap a chosen fragment or would have filled a missing ID. So the
//   candidates are found by their first ID, and the whole assembly takes
//   O((fragments + chosen) log fragments) for each file, however the fragments lie.
// * Two versions: the other candidates that begin within the IDs of the one chosen (those
//   that competed for u, and those its choice rules out further on) are other copies of those
//   intervals. Where such a copy's bytes differ from the chosen ones (compared for up to 64
//   intervals; a longer or unreadable stretch counts as different, and so does every one
//   after 4096 intervals have been compared in one assembly), the file may mix two
//   versions: the IDs and fragments are recorded in conflicts, the file is written all the
//   same, and the tables and the report say so. A byte-for-byte copy is no other version.
//   Among competing candidates the one whose neighbours agree with it wins first: the file's
//   header names the root pages of its two B-trees, and the tree pages reached from them
//   through the pieces already chosen must, where they lie inside the candidate, carry the
//   page type and block ID their parent names (64 pages a candidate, 65536 in one assembly).
//   Only between candidates that agree equally does the nearness rule above decide.
// * Declared shorter than found (the fragments go on past ID k-1): the file has k intervals,
//   as its header says; the intervals found past it are counted in intervalsBeyondEnd and
//   not written. Declared longer than found: the IDs that nothing covers are missing and are
//   written as zero intervals (holes), so the file keeps its declared length.
// * A header whose first sector fails its CRC is a hint: its k stands when it is at least the
//   intervals that follow ID 0 without a gap and fits in the source; else k is that run (one
//   flipped bit in the length neither cuts the file short nor makes it unwritably long).
// * A header whose declared end gives more intervals than page IDs can number (2^31 - 1, at
//   about 545 TB) still starts a file, with unbuildable saying why it cannot be written; the
//   other files are not affected.
// * Length of the written file: 0x4400 + k * 0x3E000, the declared end rounded down to whole
//   intervals, which is what the rebuild gives for IDs 0 .. k-1. A PST file grows by whole
//   intervals, so its end lies on such a boundary and, with every interval found, the
//   written file has the original's length (and is the original, byte for byte).

// missingIds lists at most this many IDs; missingCount counts them all. A crafted header
// may declare 2^31 - 1 intervals, which must not cost gigabytes of memory.
inline constexpr std::size_t kMaxListedMissingIds = 65536;

// IDs that more than one candidate could serve; the one chosen and those passed over.
struct IdConflict {
  std::int32_t firstId = 0;
  std::int32_t lastId = 0;
  std::int32_t chosen = 0;            // fragment number
  std::vector<std::int32_t> others;   // fragment numbers, at most kMaxListedConflictFragments
  std::int64_t otherCount = 0;        // all of them
  std::int64_t candidates() const { return otherCount + 1; }
};
inline constexpr std::size_t kMaxListedConflictFragments = 16;

// A file that begins with an ID 0 fragment whose header declares k > 0 intervals. Files are
// put together from the fragments of one layout each (ANSI, Unicode, 4 KiB pages); the rules
// above hold in each, with its first map offset and interval, and files with 4 KiB pages are
// named "file<N>.ost".
struct AssembledFile {
  std::int32_t number = 0;                    // 序号, from 1
  std::string fileName;                       // 文件名, e.g. "file1.pst"
  std::int64_t declaredSize = 0;              // the header's end offset
  std::int32_t declaredIntervals = 0;         // k
  std::int64_t headerSector = 0;              // sector of the file's header on the source
  // Bytes of the file's own at headerSector: its first 17,408 (the layout's first map offset)
  // where the header lies just before map page 0; where the header was found elsewhere, only
  // the header's own sectors.
  std::int64_t headerBytes = scan::kFirstMapPageOffset;
  bool headerElsewhere() const { return headerBytes < geometry().firstMapOffset; }
  pst::FileLayout layout = pst::FileLayout::Unicode;  // of the fragments and header it was put together from
  const pst::Geometry& geometry() const { return *pst::geometryOf(layout); }
  bool headerHasMagic = true;                 // the file's own header can be written
  bool alone = false;                         // the only file the fragments start
  std::vector<std::int32_t> fragmentNumbers;  // chosen fragments, the ID 0 fragment first
  std::vector<std::int32_t> missingIds;       // IDs below k that no chosen fragment covers
  // Added to the contract:
  std::int64_t missingCount = 0;        // all missing IDs; missingIds holds the first ones, ascending
  std::int64_t intervalsBeyondEnd = 0;  // intervals of chosen fragments at IDs >= k, not written
  std::vector<IdConflict> conflicts;    // stretches another version could have served, in ID order
  std::string unbuildable;              // why the file cannot be written; empty when it can

  std::int64_t intervalsFound() const { return std::int64_t(declaredIntervals) - missingCount; }
  // Length of the written file in bytes: 0x4400 + k * 0x3E000 in the Unicode layout.
  std::int64_t outputSize() const;
};

struct Assembly {
  std::vector<AssembledFile> files;
  bool stopped = false;  // the stop flag ended the work; files holds the ones finished before
};

// Assembles files from the fragments of one scan (in scan order), reading each ID 0
// fragment's header from the source, and for competing candidates the tree pages that
// decide between them. The stop flag is tested before each file and every 4096 steps.
// With the scan's index, an ID 0 fragment whose header is not in its place takes a header
// found elsewhere on the source whose roots agree with the fragments (see the .cpp).
Assembly AssembleFiles(std::span<const scan::Fragment> fragments, scan::ByteSource& src,
                       const std::atomic<bool>& stop, const scan::SourceIndex* index = nullptr);
std::vector<AssembledFile> AssembleFiles(std::span<const scan::Fragment> fragments, scan::ByteSource& src);

// The mark of a file with conflicts, after its 缺少数据 count in the tables.
inline constexpr const char* kTwoVersionsMark = "两个版本";

// The five cells of a FileList row: 序号, 文件名, 大小 (SizeToText of the declared end),
// 缺少数据 (missingCount, followed by " 两个版本" when the file has conflicts), and the
// fragment numbers in choice order, "3,5,1".
struct FileListRow {
  std::string number, name, size, missing, fragments;
};
FileListRow MakeFileListRow(const AssembledFile& file);

struct RecoverProgress {
  std::int64_t done = 0, total = 0;  // bytes
  // Writing the file, then (recoverFiles) checking it and, when damaged, repairing it.
  enum class Stage { Write, Check, Repair } stage = Stage::Write;
};
using RecoverProgressFn = std::function<void(const RecoverProgress&)>;

struct RecoverResult {
  std::int64_t size = 0;                    // length of the written file
  std::int64_t intervalsWritten = 0;        // copied from the source
  std::int64_t intervalsMissing = 0;        // left as zero holes
  std::vector<scan::SectorRun> unreadable;  // source sectors written as zeros
  bool stopped = false;
  // Added to the contract:
  bool ownHeader = false;            // the file's own header was written (else the header block)
  bool headerRebuilt = false;        // its own header lost, one was built from its content
  std::int64_t sectorsPastEnd = 0;   // of the unreadable sectors, those past the source's end
  // Put together block by block (the file's own index did not agree with the intervals as
  // anchored): where each block came from, and the runs the file was written from.
  pst::ReassemblyResult blocks;
  bool reassembled = false;
};

// Writes the file straight from the source: its own header (the bytes before its ID 0 map
// page) when those bytes carry the magic and file.headerHasMagic is set; for a file whose
// header is lost (headerHasMagic false), the header repair builds from the file's intervals
// in the file's layout (roots, length, next IDs; result.headerRebuilt), which then leads the
// block-level check below as the file's own would; else the fixed header block (a Unicode
// file) or zeros; every found interval where its layout puts it; missing intervals never written,
// so they are holes once the length is set to file.outputSize().
// With its own header and what the scan found of PST structure (index), the file's own index is
// checked first (pst::reassemble): where a tree page or block does not lie where the
// intervals put it, the file is written from the runs the reassembly found instead, each block
// where the index says, and result.reassembled is set. A file whose intervals all verify is
// written exactly as above. Source bytes are read through
// scan::readSectorsRetrying: a sector that cannot be read (or lies past the source's end) is
// written as zeros and listed in unreadable. The stop flag is tested before each interval;
// after a stop the file ends after the last interval written (IDs are written in increasing
// order), so it is plainly incomplete. Throws kestrix::Error when the output cannot be written,
// a fragment number of the file is not in fragments, or the file is unbuildable.
RecoverResult WriteAssembledFile(scan::ByteSource& src, std::span<const scan::Fragment> fragments,
                                 const AssembledFile& file, OutputFile& output, const std::atomic<bool>& stop,
                                 const RecoverProgressFn& progress, const scan::SourceIndex* index = nullptr);

// The found intervals of a file as WriteAssembledFile copies them: each interval's source
// bytes and its place in the file, in file order. Throws kestrix::Error when a fragment number
// of the file is not in fragments.
std::vector<CopyRun> intervalRuns(std::span<const scan::Fragment> fragments, const AssembledFile& file);

// A file as runs of the source put it together, read without writing it: the runs' bytes of
// the source, zeros elsewhere (and where the source cannot be read).
class RunsView final : public scan::ByteSource {
 public:
  // runs: in file order, not overlapping; they must outlive the view.
  RunsView(scan::ByteSource& src, std::span<const CopyRun> runs, std::int64_t size);
  std::int64_t size() const override { return m_size; }
  std::string name() const override { return m_src.name(); }
  std::size_t readAt(std::int64_t offset, std::span<std::byte> out) override;
  // Bytes asked of the source so far.
  std::int64_t sourceBytesRead() const { return m_sourceBytesRead; }

 private:
  scan::ByteSource& m_src;
  std::span<const CopyRun> m_runs;
  std::int64_t m_size;
  std::int64_t m_sourceBytesRead = 0;
};

// --- Added to the contract ---

// "5, 9-11, 20": missing IDs as runs, at most maxRuns runs then ", ..." (for messages).
std::string describeMissingIds(const AssembledFile& file, std::size_t maxRuns = 8);
// IDs in increasing order as runs, "3-5, 9", at most maxRuns runs then ", ...".
std::string describeIds(std::span<const std::int32_t> ids, std::size_t maxRuns = 8);

// "2 candidates for IDs 30-54 (fragment 2 taken, 4 passed over)", the conflicts joined by
// "; ", at most maxConflicts then "; ..."; empty without conflicts.
std::string describeConflicts(const AssembledFile& file, std::size_t maxConflicts = 4);

// One stretch of a written file and where its bytes came from.
struct ByteRun {
  enum class Origin {
    Source,       // source bytes sourceOffset .. sourceOffset + length
    HeaderBlock,  // the fixed header block
    RebuiltHeader,  // a header built from the file's content (its own was lost)
    Zeros,        // a missing interval, or source sectors that could not be read
  };
  Origin origin = Origin::Source;
  std::int64_t fileOffset = 0;    // bytes from the start of the written file
  std::int64_t sourceOffset = -1; // bytes from the start of the source; -1 unless Origin::Source
  std::int64_t length = 0;        // bytes
  friend bool operator==(const ByteRun&, const ByteRun&) = default;
};

// The runs that make up a file written by WriteAssembledFile with the given result, in file
// order, covering bytes 0 .. result.size with no gap: the header, the found intervals (an
// unbroken stretch of the source in one run, the header included when it is the file's own)
// or the pieces a reassembled file was put together from, and zero runs for missing intervals
// and for the sectors of result.unreadable: no Source run claims a byte the copy wrote as
// zeros, nor one past the source's end.
std::vector<ByteRun> FileByteRuns(std::span<const scan::Fragment> fragments, const AssembledFile& file,
                                  const RecoverResult& result);

}  // namespace kestrix::rebuild
