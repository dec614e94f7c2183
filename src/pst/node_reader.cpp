#include "pst/node_reader.h"

#include <algorithm>

namespace kestrix::pst {

namespace {

constexpr std::uint8_t kBlockTypeData = 0x01;     // XBLOCK, XXBLOCK
constexpr std::uint8_t kBlockTypeSubnode = 0x02;  // SLBLOCK, SIBLOCK
constexpr std::uint8_t kHeapSignature = 0xEC;
constexpr std::uint8_t kHeapPropertyContext = 0xBC;
constexpr std::uint8_t kTreeOnHeap = 0xB5;

// One allocation of a heap: hid names the block (high 16 bits) and the 1-based index of the
// allocation in that block's page map (bits 5-15).
std::optional<Bytes> heapItem(const std::vector<std::vector<std::byte>>& blocks, std::uint32_t hid) {
  if ((hid & 0x1F) != 0) return std::nullopt;
  const std::size_t blockIndex = hid >> 16;
  const std::size_t index = (hid >> 5) & 0x7FF;
  if (blockIndex >= blocks.size() || index == 0) return std::nullopt;
  const Bytes b = blocks[blockIndex];
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

// The blocks an internal block of a data tree lists, each with the level below it (0: a data
// block); nullopt when it is not a data-tree block (XBLOCK, level 1; XXBLOCK, level 2) of at
// most maxLevel, or its list does not fit it.
std::optional<std::vector<std::pair<std::uint64_t, int>>> dataTreeChildren(Bytes b, int maxLevel) {
  if (b.size() < 8 || std::to_integer<std::uint8_t>(b[0]) != kBlockTypeData) return std::nullopt;
  const int level = std::to_integer<int>(b[1]);
  const std::size_t count = le16(b, 2);
  if (level < 1 || level > maxLevel || 8 + 8 * count > b.size()) return std::nullopt;
  std::vector<std::pair<std::uint64_t, int>> children;
  children.reserve(count);
  for (std::size_t i = 0; i < count; ++i) children.emplace_back(le64(b, 8 + 8 * i), level - 1);
  return children;
}

}  // namespace

NodeReader::NodeReader(scan::ByteSource& input, const BlockIndex& blocks, Encoding encoding)
    : m_input(input), m_blocks(blocks), m_encoding(encoding) {}

std::optional<std::vector<std::byte>> NodeReader::block(std::uint64_t bid) {
  const BlockEntry* found = m_blocks.find(bid);
  if (!found || !m_blocks.present(*found)) return std::nullopt;
  const BlockEntry& e = *found;
  if (auto kept = m_blocks.kept(e)) {
    std::vector<std::byte> raw(kept->begin(), kept->end());
    if (!isInternalBid(bid)) decodeBlock(raw, m_encoding, bid);
    return raw;
  }
  std::vector<std::byte> raw(blockSpan(e.size));
  if (m_input.readAt(std::int64_t(e.offset), raw) != raw.size()) return std::nullopt;
  const BlockTrailer t = blockTrailer(Bytes(raw).last(kBlockTrailerSize));
  raw.resize(e.size);
  if (blockKey(t.bid) != blockKey(bid) || t.size != e.size || crc(raw) != t.crc) return std::nullopt;
  if (!isInternalBid(bid)) decodeBlock(raw, m_encoding, bid);
  return raw;
}

std::optional<std::vector<std::vector<std::byte>>> NodeReader::dataBlocks(std::uint64_t bidData) {
  std::vector<std::vector<std::byte>> out;
  // (bid, level) still to read, the next last: a level-2 block lists level-1 blocks, which
  // list data blocks.
  std::vector<std::pair<std::uint64_t, int>> todo{{bidData, 2}};
  while (!todo.empty()) {
    const auto [bid, maxLevel] = todo.back();
    todo.pop_back();
    auto data = block(bid);
    if (!data) return std::nullopt;
    if (!isInternalBid(bid)) {
      out.push_back(std::move(*data));
      continue;
    }
    const auto children = dataTreeChildren(*data, maxLevel);
    if (!children) return std::nullopt;
    todo.insert(todo.end(), children->rbegin(), children->rend());
  }
  return out;
}

bool NodeReader::dataWhole(std::uint64_t bidData) {
  if (!isInternalBid(bidData)) return m_blocks.present(bidData);
  if (auto known = m_whole.find(bidData); known != m_whole.end()) return known->second;
  bool whole = true;
  std::vector<std::pair<std::uint64_t, int>> todo{{bidData, 2}};
  while (whole && !todo.empty()) {
    const auto [bid, maxLevel] = todo.back();
    todo.pop_back();
    if (!isInternalBid(bid)) {
      whole = m_blocks.present(bid);
      continue;
    }
    const auto data = block(bid);
    const auto children = data ? dataTreeChildren(*data, maxLevel) : std::nullopt;
    if (children) todo.insert(todo.end(), children->begin(), children->end());
    else whole = false;
  }
  m_whole[bidData] = whole;
  return whole;
}

bool NodeReader::subnodesWhole(std::uint64_t bidSub) { return subnodesWhole(bidSub, 0); }

bool NodeReader::subnodesWhole(std::uint64_t bidSub, int depth) {
  if (depth > 8) return false;
  if (auto known = m_whole.find(bidSub); known != m_whole.end()) return known->second;
  auto data = block(bidSub);
  bool whole = data && data->size() >= 8 && std::to_integer<std::uint8_t>((*data)[0]) == kBlockTypeSubnode;
  if (whole) {
    const Bytes b = *data;
    const int level = std::to_integer<int>(b[1]);
    const std::size_t count = le16(b, 2);
    const std::size_t size = level == 0 ? 24 : 16;
    whole = level <= 1 && 8 + size * count <= b.size();
    for (std::size_t i = 0; whole && i < count; ++i) {
      const std::size_t at = 8 + size * i;
      if (level == 1) {
        whole = subnodesWhole(le64(b, at + 8), depth + 1);
      } else {
        const std::uint64_t sub = le64(b, at + 16);
        whole = dataWhole(le64(b, at + 8)) && (sub == 0 || subnodesWhole(sub, depth + 1));
      }
    }
  }
  m_whole[bidSub] = whole;
  return whole;
}

std::optional<std::vector<std::byte>> NodeReader::property(std::uint64_t bidData, std::uint16_t propId) {
  auto blocks = dataBlocks(bidData);
  if (!blocks || blocks->empty() || (*blocks)[0].size() < 12) return std::nullopt;
  const Bytes first = (*blocks)[0];
  if (std::to_integer<std::uint8_t>(first[2]) != kHeapSignature ||
      std::to_integer<std::uint8_t>(first[3]) != kHeapPropertyContext)
    return std::nullopt;
  auto header = heapItem(*blocks, le32(first, 4));
  if (!header || header->size() < 8 || std::to_integer<std::uint8_t>((*header)[0]) != kTreeOnHeap) return std::nullopt;
  const std::size_t keySize = std::to_integer<std::size_t>((*header)[1]);
  const std::size_t entrySize = std::to_integer<std::size_t>((*header)[2]);
  int levels = std::to_integer<int>((*header)[3]);
  std::uint32_t hid = le32(*header, 4);
  if (keySize != 2 || entrySize != 6 || levels > 8) return std::nullopt;
  // Descend the index levels to the leaf that may hold propId.
  for (; levels > 0; --levels) {
    auto index = heapItem(*blocks, hid);
    if (!index) return std::nullopt;
    std::optional<std::uint32_t> next;
    for (std::size_t at = 0; at + 6 <= index->size(); at += 6)
      if (le16(*index, at) <= propId) next = le32(*index, at + 2);
    if (!next) return std::nullopt;
    hid = *next;
  }
  auto leaf = heapItem(*blocks, hid);
  if (!leaf) return std::nullopt;
  for (std::size_t at = 0; at + 8 <= leaf->size(); at += 8) {
    if (le16(*leaf, at) != propId) continue;
    const std::uint32_t value = le32(*leaf, at + 4);
    if (value == 0) return std::vector<std::byte>{};
    auto item = heapItem(*blocks, value);
    if (!item) return std::nullopt;
    return std::vector<std::byte>(item->begin(), item->end());
  }
  return std::nullopt;
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

}  // namespace kestrix::pst
