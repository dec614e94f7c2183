#pragma once
// Reading what the block tree says a node holds: its data tree (XBLOCK/XXBLOCK), its subnode
// tree (SLBLOCK/SIBLOCK), and properties of a property context (heap-on-node + BTH), enough
// to name folders and to tell which messages can be read.

#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "format/format.h"
#include "pst/pst_index.h"
#include "io/byte_source.h"

namespace kestrix::pst {

inline constexpr std::uint16_t kPropDisplayName = 0x3001;
inline constexpr std::uint16_t kPropIpmSubtreeEntryId = 0x35E0;

class NodeReader {
 public:
  NodeReader(scan::ByteSource& input, const BlockIndex& blocks, Encoding encoding);

  // A block's data, decoded when it is an external block; nullopt when the block is not
  // present or no longer reads back as the scan found it.
  std::optional<std::vector<std::byte>> block(std::uint64_t bid);
  // The BIDs of the data blocks of a data tree, in order; nullopt when an internal block of it
  // is missing, is no data-tree block of its level, or names a block twice. So the list holds
  // at most 1,021 x 1,021 BIDs (8 MiB), whatever the file: the blocks are read when wanted.
  std::optional<std::vector<std::uint64_t>> dataBids(std::uint64_t bidData);
  // Whether every block of the data tree is present; reads only the tree's internal blocks.
  bool dataWhole(std::uint64_t bidData);
  // Whether the subnode tree, each subnode's data and its own subnodes are all present.
  bool subnodesWhole(std::uint64_t bidSub);
  // The keys (blockKey) of every block the nodes' data and subnode trees name, down through
  // each internal block that reads; each block is read once.
  std::unordered_set<std::uint64_t> reached(const std::vector<NodeEntry>& nodes);
  // The value of a property of the node's property context, as stored in its heap (strings
  // UTF-16LE); nullopt when absent, stored outside the heap, or unreadable. With `parses`:
  // whether the heap and its property tree parsed down to the leaf where propId belongs.
  // With `type`: the property's type as stored.
  std::optional<std::vector<std::byte>> property(std::uint64_t bidData, std::uint16_t propId, bool* parses = nullptr,
                                                 std::uint16_t* type = nullptr);
  // A string property in UTF-8, as property() finds it: UTF-16LE, or 8-bit (the string type ANSI
  // files use) taken as Latin-1, the file not saying which code page it was written in.
  std::optional<std::string> text(std::uint64_t bidData, std::uint16_t propId, bool* parses = nullptr);

 private:
  bool internalWhole(std::uint64_t bid, int maxLevel);
  bool subnodesWhole(std::uint64_t bidSub, int depth);

  scan::ByteSource& m_input;
  const BlockIndex& m_blocks;
  Encoding m_encoding;
  // Whether the tree under an internal block is whole, once known; false while it is being
  // read, so a tree that names itself is not whole. Each internal block is read once: blocks
  // shared between nodes cost nothing more, and a crafted file whose trees share or repeat
  // blocks costs at most one look at each entry of each internal block.
  std::unordered_map<std::uint64_t, bool> m_dataWhole, m_subnodesWhole;
};

// Whether the data of a block decodes, under `encoding`, to the start of a heap-on-node.
bool looksLikeHeap(std::span<const std::byte> raw, Encoding encoding, std::uint64_t bid);

// UTF-16LE to UTF-8; unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(std::span<const std::byte> text);
// Latin-1 to UTF-8, up to the first NUL.
std::string latin1ToUtf8(std::span<const std::byte> text);

}  // namespace kestrix::pst
