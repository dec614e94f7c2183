#pragma once
// The report of a recovery in Digital Forensics XML (DFXML), the format in which carving
// tools exchange where each recovered file came from on the source.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "pst/repair.h"
#include "recover/assembly.h"

namespace kestrix::rebuild {

// One written file: its name (as written in the output folder), its length in bytes and
// the runs it is made of (FileByteRuns), with the facts a reader wants beside them.
struct ReportedFile {
  std::string fileName;
  std::int64_t fileSize = 0;
  std::vector<ByteRun> runs;
  std::int64_t declaredSize = 0;
  std::int64_t intervalsMissing = 0;
  std::int64_t sectorsUnreadable = 0;
  std::vector<std::int32_t> fragmentNumbers;
  bool stopped = false;
  std::string versions;  // describeConflicts: IDs another version could have served; "" when none
  // The file's own index, where it was read (blocks > 0): blocks where the map pages put them,
  // found elsewhere by their trailer, put together from pieces, and missing.
  std::int64_t blocks = 0, blocksPredicted = 0, blocksFound = 0, blocksMapped = 0, blocksStitched = 0, blocksMissing = 0;
  std::int64_t blocksInferred = 0;
  std::int64_t stitchTries = 0;  // placements tried while putting blocks together from pieces
  // What the evidence proves of the file as put together (FileEvidence): its state and why.
  std::string state, stateWhy;
  // The file as checked after writing (checked): the header of the file under fileName ("own",
  // "rebuilt", ...), its messages and folders. When it was repaired, the bytes as written are
  // kept as rawName, and the runs above are that file's; fileName is the repaired copy of it.
  bool checked = false;
  std::string header;
  std::int64_t messages = 0, messagesReadable = 0, folders = 0;
  std::string rawName;
  std::int64_t repairedSize = 0;
  std::string notRepaired;  // damaged, yet left as written: why
};

// Adds what the check (and repair) of a written file found.
void reportChecked(ReportedFile& file, const pst::CheckedOutput& checked);

// Now, as the report's start time: "2026-12-10T10:31:17Z".
std::string utcNow();

struct RecoverReport {
  std::string program = "kestrix-cli";
  std::string version;
  std::string commandLine;
  std::string startTime;  // ISO 8601, UTC
  std::string imageFilename;
  std::int64_t imageSize = 0;
  std::vector<ReportedFile> files;
};

// The whole document, UTF-8. One <fileobject> per file with <filename>, <filesize> and
// <byte_runs>: a <byte_run file_offset img_offset len> for bytes copied from the source, a
// <byte_run file_offset len fill="0"> for zeros (missing intervals, unreadable sectors), and
// for the fixed header block a run with type="header_block" and no img_offset. A file that may
// mix two versions carries <kestrix:versions> with the IDs and fragments; one whose own index
// was read carries <kestrix:blocks listed= predicted= found= stitched= inferred= missing=/>; each
// file written carries <kestrix:evidence state=> ("whole", "inferred", "damaged") with what keeps
// it from being whole as its text; one that was
// checked, <kestrix:pst header= messages= readable= folders=/> (with not_repaired= when a
// damaged file was left as written). A repaired file is two objects: the bytes as written under
// their .raw name with the byte runs, then the file to open with <kestrix:repaired_from>.
std::string DfxmlReport(const RecoverReport& report);

// Text with &, <, >, " and ' escaped, and control characters other than tab, newline and
// carriage return (not allowed in XML 1.0) replaced by U+FFFD; invalid UTF-8 bytes likewise.
std::string xmlEscape(const std::string& text);

}  // namespace kestrix::rebuild
