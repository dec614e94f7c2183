#pragma once
// What a PST file's own index says of its mailbox, read from the header's roots page by page:
// the store's name, its top folders, how many messages the node tree lists. Reads only the
// header, the tree pages reached from the roots and the blocks of the few property contexts
// named, never the whole file, so it costs little before a file is written.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "format/format.h"
#include "pst/check.h"
#include "pst/pst_index.h"
#include "io/byte_source.h"

namespace kestrix::pst {

struct OutlineLimits {
  // Tree pages read of each tree (32 MiB): the index of a file of some gigabytes. A larger
  // index is read that far and the outline says so (pagesCapped).
  std::int64_t maxPages = 1 << 16;
  std::size_t maxFolders = 256;    // top folders named
  std::size_t maxNameBytes = 256;  // of a name, in UTF-8, cut at a character's boundary
  std::int64_t maxBlocks = 4096;   // blocks read for the property contexts
};

struct MailboxOutline {
  HeaderState header = HeaderState::Missing;  // of the header read (Sound for one given)
  Encoding encoding = Encoding::None;         // the header's, or the one that makes the store a heap
  TreeReport nodeTree, blockTree;  // over the pages reached from the roots (stale is not judged)
  bool pagesCapped = false;        // a tree names more pages than maxPages
  std::int64_t pagesRead = 0;      // tree pages read, lookups included
  std::int64_t blocksRead = 0;
  bool storeRead = false;          // the message store's property context parses
  bool rootFolderRead = false;     // the root folder's data is whole and its properties parse
  std::string displayName;         // the store's; empty when it has none or cannot be read
  // The folders under the top of the personal folders (the one the store names, else the root
  // folder), by name, then by NID: at most maxFolders.
  std::vector<std::string> topFolders;
  std::int64_t messages = 0;             // message nodes the node tree lists, as check counts them
  std::vector<BlockEntry> blocks;        // the block tree's entries as read, in key order
  bool stopped = false;
  bool indexRead() const { return nodeTree.rootFound && blockTree.rootFound; }
};

// Reads the outline of `file` (a whole PST file, or a view of one). The header is read from
// its first bytes, unless one is given (for a file whose own is lost: roots told otherwise).
// Each page is taken once and must be a page of its tree one level below its parent, so the
// walk neither loops nor goes deeper than the root's level; at most maxPages are read of each
// tree. Where the block tree was cut short, the blocks wanted are looked up from its root.
// The stop flag is tested before each page and between steps. Never throws for what the file
// holds.
MailboxOutline readMailboxOutline(scan::ByteSource& file, const std::atomic<bool>& stop,
                                  const std::optional<Header>& given = std::nullopt, const OutlineLimits& limits = {});

}  // namespace kestrix::pst
