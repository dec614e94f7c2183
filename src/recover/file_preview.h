#pragma once
// What each file put together after a scan holds, told from its own index before anything is
// written: the mailbox's name, its top folders, how many messages its index lists, and how far
// the file can be trusted. Reads each file as its intervals put it together, and of it only the
// header, the tree pages and the few blocks that name the mailbox and its folders.

#include <atomic>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "recover/assembly.h"
#include "io/byte_source.h"
#include "scan/fragments.h"
#include "scan/scan.h"

namespace kestrix::rebuild {

struct FilePreview {
  bool indexRead = false;          // the header and both trees were read through the file's bytes
  std::string mailboxName;         // the message store's display name; "" when not found
  std::vector<std::string> topFolders;  // the folders under the top of the personal folders, by name
  std::int64_t messages = 0;       // message nodes the node tree lists
  // Complete: every interval found, its own header, its index read; never "whole", which only
  // a written and checked file can be. Damaged: intervals missing, no header of its own, or the
  // index, the store or the root folder cannot be read. TwoVersions: another version of some
  // of its intervals exists. Uncertain: the index was read, but rests on something unproved.
  enum class State { Complete, Damaged, TwoVersions, Uncertain };
  State state = State::Damaged;
  std::string why;                 // what keeps it from Complete, in English, "; "-joined
  std::int64_t bytesRead = 0;      // of the source, for this preview

  // "complete", "damaged", "two versions", "uncertain".
  const char* stateName() const;
};

struct PreviewProgress {
  std::int64_t done = 0, total = 0;  // files
};
using PreviewProgressFn = std::function<void(const PreviewProgress&)>;

// One preview per file, in the order of files. With the scan's index, a file whose header is
// lost is read from the newest roots the source holds for it. The stop flag is tested between
// files and between the pages of one; after a stop the result holds the files previewed
// before it (fewer than files). Throws kestrix::Error when a fragment number of a file is not
// in fragments; nothing a file holds makes it throw.
std::vector<FilePreview> previewFiles(scan::ByteSource& src, std::span<const scan::Fragment> fragments,
                                      std::span<const AssembledFile> files, const scan::SourceIndex* index,
                                      const std::atomic<bool>& stop, const PreviewProgressFn& progress = {});

}  // namespace kestrix::rebuild
