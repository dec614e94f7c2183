#include "pst/node_reader.h"

#include <algorithm>

#include "format/inflate.h"

namespace kestrix::pst {

namespace {

constexpr std::uint8_t kHeapSignature = 0xEC;
constexpr std::uint8_t kHeapPropertyContext = 0xBC;
constexpr std::uint8_t kTreeOnHeap = 0xB5;

// The data blocks of a heap-on-node, each read when first wanted: a property lookup reads a
// few of them, however long the node's data is.
class HeapBlocks {
 public:
  HeapBlocks(NodeReader& reader, std::vector<std::uint64_t> bids) : m_reader(reader), m_bids(std::move(bids)) {}

  // One allocation: hid names the block (high 16 bits) and the 1-based index of the
  // allocation in that block's page map (bits 5-15).
  std::optional<Bytes> item(std::uint32_t hid) {
    if ((hid & 0x1F) != 0) return std::nullopt;
    const std::size_t index = (hid >> 5) & 0x7FF;
    const std::vector<std::byte>* block = at(hid >> 16);
    if (!block || index == 0) return std::nullopt;
    const Bytes b = *block;
    if (b.size() < 4) return std::nullopt;
    const std::size_t map = le16(b, 0);
    if (map + 4 > b.size()) return std::nullopt;
    const std::size_t count = le16(b, map);
    if (index > count || map + 4 + 2 * (index + 1) > b.size()) return std::nullopt;
    const std::size_t from = le16(b, map + 4 + 2 * (index - 1));
    const std::size_t to = le16(b, map + 4 + 2 * index);
    if (from > to || to > b.size()) return std::nullopt;
    return b.subspan(from, to - from);
  }

  const std::vector<std::byte>* at(std::size_t i) {
    if (i >= m_bids.size()) return nullptr;
    auto it = m_read.find(i);
    if (it == m_read.end()) it = m_read.emplace(i, m_reader.block(m_bids[i])).first;
    return it->second ? &*it->second : nullptr;
  }

 private:
  NodeReader& m_reader;
  std::vector<std::uint64_t> m_bids;
  std::unordered_map<std::size_t, std::optional<std::vector<std::byte>>> m_read;
};

// Whether a list of BIDs names some block twice.
bool namesTwice(std::vector<std::uint64_t> bids) {
  for (auto& bid : bids) bid = blockKey(bid);
  std::sort(bids.begin(), bids.end());
  return std::adjacent_find(bids.begin(), bids.end()) != bids.end();
}

// The blocks an internal block of a data tree lists, each with the level below it (0: a data
// block); nullopt when it is not a data-tree block (XBLOCK, level 1; XXBLOCK, level 2) of at
// most maxLevel, or its list does not fit it.
std::optional<std::vector<std::pair<std::uint64_t, int>>> dataTreeChildren(Bytes b, int maxLevel, const Geometry& g) {
  const auto block = parseInternalBlock(b, g);
  if (!block || block->type != kBlockTypeData) return std::nullopt;
  const int level = block->level;
  if (level < 1 || level > maxLevel) return std::nullopt;
  std::vector<std::pair<std::uint64_t, int>> children;
  children.reserve(block->entries.size());
  for (const InternalEntry& e : block->entries) children.emplace_back(e.bid, level - 1);
  return children;
}

}  // namespace

NodeReader::NodeReader(scan::ByteSource& input, const BlockIndex& blocks, Encoding encoding)
    : m_input(input), m_blocks(blocks), m_encoding(encoding) {}

std::optional<std::vector<std::byte>> NodeReader::block(std::uint64_t bid) {
  const BlockEntry* found = m_blocks.find(bid);
  if (!found || !m_blocks.present(*found)) return std::nullopt;
  const BlockEntry& e = *found;
  std::vector<std::byte> raw;
  if (auto kept = m_blocks.kept(e)) {
    raw.assign(kept->begin(), kept->end());
  } else {
    const Geometry& g = m_blocks.geometry();
    raw.resize(blockSpan(e.size, g));
    if (m_input.readAt(std::int64_t(e.offset), raw) != raw.size()) return std::nullopt;
    const BlockTrailer t = blockTrailer(Bytes(raw).last(g.blockTrailer.size), g);
    raw.resize(e.size);
    // A block whose CRC failed in the scan is read as it is, as readers read it.
    if (blockKey(t.bid) != blockKey(bid) || t.size != e.size || (crc(raw) != t.crc && !m_blocks.badCrc(e)))
      return std::nullopt;
  }
  if (!isInternalBid(bid)) decodeBlock(raw, m_encoding, bid);
  // Stored compressed: the block tree gives the size it inflates to. The encoding, where
  // there is one, covers the bytes as stored.
  if (e.inflated != 0 && e.inflated != e.size) return inflateBlock(raw, e.inflated);
  return raw;
}

std::optional<std::vector<std::uint64_t>> NodeReader::dataBids(std::uint64_t bidData) {
  if (!isInternalBid(bidData)) return std::vector<std::uint64_t>{bidData};
  const auto top = block(bidData);
  const auto children = top ? dataTreeChildren(*top, 2, m_blocks.geometry()) : std::nullopt;
  if (!children) return std::nullopt;
  std::vector<std::uint64_t> out, names;
  for (const auto& [bid, level] : *children) names.push_back(bid);
  if (namesTwice(names)) return std::nullopt;
  for (const auto& [bid, level] : *children) {
    if (!isInternalBid(bid)) {
      out.push_back(bid);
      continue;
    }
    const auto middle = level > 0 ? block(bid) : std::nullopt;
    const auto leaves = middle ? dataTreeChildren(*middle, 1, m_blocks.geometry()) : std::nullopt;
    if (!leaves) return std::nullopt;
    names.clear();
    for (const auto& [leaf, none] : *leaves) {
      if (isInternalBid(leaf)) return std::nullopt;
      names.push_back(leaf);
    }
    if (namesTwice(names)) return std::nullopt;
    out.insert(out.end(), names.begin(), names.end());
  }
  return out;
}

bool NodeReader::dataWhole(std::uint64_t bidData) {
  return isInternalBid(bidData) ? internalWhole(bidData, 2) : m_blocks.present(bidData);
}

bool NodeReader::internalWhole(std::uint64_t bid, int maxLevel) {
  // Keyed by the level allowed too (bit 0 of a BID is not part of it).
  const std::uint64_t key = blockKey(bid) | std::uint64_t(maxLevel == 1);
  if (auto known = m_dataWhole.find(key); known != m_dataWhole.end()) return known->second;
  m_dataWhole[key] = false;
  const auto data = block(bid);
  const auto children = data ? dataTreeChildren(*data, maxLevel, m_blocks.geometry()) : std::nullopt;
  bool whole = children.has_value();
  if (whole) {
    std::vector<std::uint64_t> names;
    for (const auto& [child, level] : *children) names.push_back(child);
    whole = !namesTwice(std::move(names));
  }
  for (std::size_t i = 0; whole && i < children->size(); ++i) {
    const auto& [child, level] = (*children)[i];
    whole = !isInternalBid(child) ? m_blocks.present(child) : level > 0 && internalWhole(child, level);
  }
  m_dataWhole[key] = whole;
  return whole;
}

bool NodeReader::subnodesWhole(std::uint64_t bidSub) { return subnodesWhole(bidSub, 0); }

bool NodeReader::subnodesWhole(std::uint64_t bidSub, int depth) {
  if (depth > 8) return false;
  if (auto known = m_subnodesWhole.find(blockKey(bidSub)); known != m_subnodesWhole.end()) return known->second;
  m_subnodesWhole[blockKey(bidSub)] = false;
  const auto data = block(bidSub);
  const auto sub = data ? parseInternalBlock(*data, m_blocks.geometry()) : std::nullopt;
  bool whole = sub && sub->type == kBlockTypeSubnode;
  if (whole && sub->level == 1) {
    std::vector<std::uint64_t> names;
    for (const InternalEntry& e : sub->entries) names.push_back(e.bid);
    whole = !namesTwice(std::move(names));
  }
  for (std::size_t i = 0; whole && i < sub->entries.size(); ++i) {
    const InternalEntry& e = sub->entries[i];
    whole = sub->level == 1 ? subnodesWhole(e.bid, depth + 1)
                            : dataWhole(e.bid) && (e.sub == 0 || subnodesWhole(e.sub, depth + 1));
  }
  m_subnodesWhole[blockKey(bidSub)] = whole;
  return whole;
}

std::unordered_set<std::uint64_t> NodeReader::reached(const std::vector<NodeEntry>& nodes) {
  std::unordered_set<std::uint64_t> seen;
  std::vector<std::uint64_t> todo;
  for (const NodeEntry& n : nodes) todo.insert(todo.end(), {n.data, n.sub});
  while (!todo.empty()) {
    const std::uint64_t bid = todo.back();
    todo.pop_back();
    if (bid == 0 || !seen.insert(blockKey(bid)).second || !isInternalBid(bid)) continue;
    if (const auto data = block(bid)) {
      const std::vector<std::uint64_t> below = internalBlockRefs(*data, m_blocks.geometry());
      todo.insert(todo.end(), below.begin(), below.end());
    }
  }
  return seen;
}

std::optional<std::vector<std::byte>> NodeReader::property(std::uint64_t bidData, std::uint16_t propId, bool* parsed,
                                                           std::uint16_t* type) {
  bool ignored = false;
  bool& parses = parsed ? *parsed : ignored;
  parses = false;
  auto bids = dataBids(bidData);
  if (!bids || bids->empty()) return std::nullopt;
  HeapBlocks heap(*this, std::move(*bids));
  const std::vector<std::byte>* firstBlock = heap.at(0);
  if (!firstBlock || firstBlock->size() < 12) return std::nullopt;
  const Bytes first = *firstBlock;
  if (std::to_integer<std::uint8_t>(first[2]) != kHeapSignature ||
      std::to_integer<std::uint8_t>(first[3]) != kHeapPropertyContext)
    return std::nullopt;
  auto header = heap.item(le32(first, 4));
  if (!header || header->size() < 8 || std::to_integer<std::uint8_t>((*header)[0]) != kTreeOnHeap) return std::nullopt;
  const std::size_t keySize = std::to_integer<std::size_t>((*header)[1]);
  const std::size_t entrySize = std::to_integer<std::size_t>((*header)[2]);
  int levels = std::to_integer<int>((*header)[3]);
  std::uint32_t hid = le32(*header, 4);
  if (keySize != 2 || entrySize != 6 || levels > 8) return std::nullopt;
  // An empty context has no tree.
  if (hid == 0 && levels == 0) {
    parses = true;
    return std::nullopt;
  }
  // Descend the index levels to the leaf that may hold propId.
  for (; levels > 0; --levels) {
    auto index = heap.item(hid);
    if (!index) return std::nullopt;
    std::optional<std::uint32_t> next;
    for (std::size_t at = 0; at + 6 <= index->size(); at += 6)
      if (le16(*index, at) <= propId) next = le32(*index, at + 2);
    if (!next) {
      parses = true;  // every key is above propId: not there
      return std::nullopt;
    }
    hid = *next;
  }
  auto leaf = heap.item(hid);
  if (!leaf) return std::nullopt;
  parses = true;
  for (std::size_t at = 0; at + 8 <= leaf->size(); at += 8) {
    if (le16(*leaf, at) != propId) continue;
    if (type) *type = le16(*leaf, at + 2);
    const std::uint32_t value = le32(*leaf, at + 4);
    if (value == 0) return std::vector<std::byte>{};
    auto item = heap.item(value);
    if (!item) return std::nullopt;
    return std::vector<std::byte>(item->begin(), item->end());
  }
  return std::nullopt;
}

std::optional<std::string> NodeReader::text(std::uint64_t bidData, std::uint16_t propId, bool* parses) {
  constexpr std::uint16_t kString8 = 0x001E;
  std::uint16_t type = 0;
  const auto value = property(bidData, propId, parses, &type);
  if (!value) return std::nullopt;
  return type == kString8 ? latin1ToUtf8(*value) : utf16ToUtf8(*value);
}

bool looksLikeHeap(std::span<const std::byte> raw, Encoding encoding, std::uint64_t bid) {
  if (raw.size() < 12) return false;
  std::array<std::byte, 4> head;
  std::copy_n(raw.begin(), 4, head.begin());
  decodeBlock(head, encoding, bid);
  const auto client = std::to_integer<std::uint8_t>(head[3]);
  return std::to_integer<std::uint8_t>(head[2]) == kHeapSignature && le16(head, 0) < raw.size() &&
         (client == kHeapPropertyContext || client == 0x7C || client == kTreeOnHeap || client == 0x6C ||
          client == 0x8C || client == 0x9C || client == 0xA5 || client == 0xAC);
}

std::string utf16ToUtf8(std::span<const std::byte> text) {
  std::string out;
  auto append = [&out](std::uint32_t cp) {
    if (cp < 0x80) {
      out += char(cp);
    } else if (cp < 0x800) {
      out += char(0xC0 | (cp >> 6));
      out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += char(0xE0 | (cp >> 12));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    } else {
      out += char(0xF0 | (cp >> 18));
      out += char(0x80 | ((cp >> 12) & 0x3F));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    }
  };
  for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
    std::uint32_t u = le16(text, i);
    if (u >= 0xD800 && u < 0xDC00 && i + 3 < text.size()) {
      const std::uint32_t low = le16(text, i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        append(0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    if (u >= 0xD800 && u < 0xE000) u = 0xFFFD;
    if (u == 0) break;
    append(u);
  }
  return out;
}

std::string latin1ToUtf8(std::span<const std::byte> text) {
  std::string out;
  for (const std::byte b : text) {
    const auto c = std::to_integer<unsigned char>(b);
    if (c == 0) break;
    if (c < 0x80) {
      out += char(c);
    } else {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace kestrix::pst
