#pragma once
// Putting files together from the fragments of a scan, and writing one straight from the
// source. Contract between the library and its callers (window, kestrix-cli recover).

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "rebuild/output_file.h"
#include "scan/byte_source.h"
#include "scan/fragments.h"

namespace kestrix::rebuild {

// A file that begins with an ID 0 fragment whose header declares k > 0 intervals.
struct AssembledFile {
  std::int32_t number = 0;                    // 序号, from 1
  std::string fileName;                       // 文件名, e.g. "file1.pst"
  std::int64_t declaredSize = 0;              // the header's end offset
  std::int32_t declaredIntervals = 0;         // k
  std::int64_t headerSector = 0;              // first sector of the file on the source
  bool headerHasMagic = true;                 // the file's own header can be written
  std::vector<std::int32_t> fragmentNumbers;  // chosen fragments, the ID 0 fragment first
  std::vector<std::int32_t> missingIds;       // IDs below k that no chosen fragment covers
};

// Assembles files from the fragments of one scan (in scan order), reading each ID 0
// fragment's header from the source. Pure apart from those header reads.
std::vector<AssembledFile> AssembleFiles(std::span<const scan::Fragment> fragments, scan::ByteSource& src);

// The five cells of a FileList row: 序号, 文件名, 大小, 缺少数据, fragment numbers "1,3,4".
struct FileListRow {
  std::string number, name, size, missing, fragments;
};
FileListRow MakeFileListRow(const AssembledFile& file);

struct RecoverProgress {
  std::int64_t done = 0, total = 0;  // bytes
};
using RecoverProgressFn = std::function<void(const RecoverProgress&)>;

struct RecoverResult {
  std::int64_t size = 0;                    // length of the written file
  std::int64_t intervalsWritten = 0;        // copied from the source
  std::int64_t intervalsMissing = 0;        // left as zero holes
  std::vector<scan::SectorRun> unreadable;  // source sectors written as zeros
  bool stopped = false;
};

// Writes the file straight from the source: its own header when it carries the magic (else
// the fixed header block), every found interval at its place, missing ones as holes.
RecoverResult WriteAssembledFile(scan::ByteSource& src, std::span<const scan::Fragment> fragments,
                                 const AssembledFile& file, OutputFile& output, const std::atomic<bool>& stop,
                                 const RecoverProgressFn& progress);

}  // namespace kestrix::rebuild
