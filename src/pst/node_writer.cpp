#include "pst/node_writer.h"

#include <algorithm>

namespace kestrix::pst {

namespace {

constexpr std::size_t kHeapHeaderSize = 12;

void append(std::vector<std::byte>& out, std::size_t at, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out[at + std::size_t(i)] = std::byte((v >> (8 * i)) & 0xFF);
}

// A heap-on-node of the given allocations (heap IDs 0x20, 0x40, ... in order), the first of
// them its client's root.
std::vector<std::byte> buildHeap(const std::vector<std::vector<std::byte>>& allocations, std::byte clientSignature) {
  std::vector<std::byte> out(kHeapHeaderSize);
  std::vector<std::uint16_t> starts;
  for (const auto& a : allocations) {
    starts.push_back(std::uint16_t(out.size()));
    out.insert(out.end(), a.begin(), a.end());
  }
  starts.push_back(std::uint16_t(out.size()));
  if (out.size() % 2) out.push_back(std::byte{0});
  const std::size_t map = out.size();
  out.resize(map + 4 + 2 * starts.size());
  append(out, map, std::uint32_t(allocations.size()), 2);
  for (std::size_t i = 0; i < starts.size(); ++i) append(out, map + 4 + 2 * i, starts[i], 2);
  append(out, 0, std::uint32_t(map), 2);
  out[2] = std::byte{0xEC};  // heap signature
  out[3] = clientSignature;
  append(out, 4, 1u << 5, 4);  // the client's root is allocation 1
  return out;
}

// The header of a B-tree on the heap, with its records in allocation `records` (0: none).
std::vector<std::byte> bthHeader(std::uint8_t keySize, std::uint8_t entrySize, std::uint32_t records) {
  std::vector<std::byte> h(8);
  h[0] = std::byte{0xB5};
  h[1] = std::byte{keySize};
  h[2] = std::byte{entrySize};
  append(h, 4, records << 5, 4);
  return h;
}

}  // namespace

Property stringProperty(std::uint16_t id, const std::string& ascii) {
  Property p{id, kTypeString, {}};
  for (char c : ascii) {
    p.value.push_back(std::byte(c));
    p.value.push_back(std::byte{0});
  }
  return p;
}

Property integerProperty(std::uint16_t id, std::uint16_t type, std::uint32_t value) {
  Property p{id, type, std::vector<std::byte>(4)};
  append(p.value, 0, value, 4);
  return p;
}

Property binaryProperty(std::uint16_t id, std::vector<std::byte> value) { return {id, kTypeBinary, std::move(value)}; }

std::vector<std::byte> buildPropertyContext(std::vector<Property> properties) {
  std::sort(properties.begin(), properties.end(), [](const Property& a, const Property& b) { return a.id < b.id; });
  // Allocations: 1 the BTH header, 2 the records, then one per value kept in the heap.
  std::vector<std::vector<std::byte>> allocations(2);
  allocations[1].resize(8 * properties.size());
  for (std::size_t i = 0; i < properties.size(); ++i) {
    const Property& p = properties[i];
    std::uint32_t value = 0;
    if (p.type == kTypeInteger32 || p.type == kTypeBoolean) {
      value = le32(p.value, 0);
    } else {
      allocations.push_back(p.value);
      value = std::uint32_t(allocations.size()) << 5;  // the heap ID of that allocation
    }
    append(allocations[1], 8 * i, p.id, 2);
    append(allocations[1], 8 * i + 2, p.type, 2);
    append(allocations[1], 8 * i + 4, value, 4);
  }
  allocations[0] = bthHeader(2, 6, properties.empty() ? 0 : 2);  // key: the property ID; entry: type and value
  return buildHeap(allocations, std::byte{0xBC});
}

std::vector<std::byte> buildTableContext(std::vector<std::uint32_t> rowIds) {
  if (rowIds.size() > kMaxTableRows) return {};
  std::sort(rowIds.begin(), rowIds.end());
  rowIds.erase(std::unique(rowIds.begin(), rowIds.end()), rowIds.end());
  const bool rows = !rowIds.empty();
  // Allocations: 1 the table's description, 2 the row index's header, 3 its records (row ID
  // to row number), 4 the rows. A row: its ID, its version, one byte of which cells exist.
  constexpr std::uint32_t kRowSize = 9;
  std::vector<std::vector<std::byte>> allocations(2);
  std::vector<std::byte>& info = allocations[0];
  info.resize(22 + 2 * 8);
  info[0] = std::byte{0x7C};
  info[1] = std::byte{2};  // columns
  append(info, 2, 8, 2);   // end of the 4- and 8-byte cells
  append(info, 4, 8, 2);   // of the 2-byte ones
  append(info, 6, 8, 2);   // of the 1-byte ones
  append(info, 8, kRowSize, 2);  // of the cell existence bitmap: the row's size
  append(info, 10, 2u << 5, 4);
  append(info, 14, rows ? 4u << 5 : 0, 4);
  const std::uint32_t columns[2] = {0x67F20003, 0x67F30003};  // row ID, row version
  for (std::size_t c = 0; c < 2; ++c) {
    append(info, 22 + 8 * c, columns[c], 4);
    append(info, 26 + 8 * c, std::uint32_t(4 * c), 2);
    info[28 + 8 * c] = std::byte{4};
    info[29 + 8 * c] = std::byte(c);
  }
  allocations[1] = bthHeader(4, 4, rows ? 3 : 0);
  if (rows) {
    std::vector<std::byte> index(8 * rowIds.size()), matrix(kRowSize * rowIds.size());
    for (std::size_t i = 0; i < rowIds.size(); ++i) {
      append(index, 8 * i, rowIds[i], 4);
      append(index, 8 * i + 4, std::uint32_t(i), 4);
      append(matrix, kRowSize * i, rowIds[i], 4);
      matrix[kRowSize * i + 8] = std::byte{0xC0};  // both cells exist
    }
    allocations.push_back(std::move(index));
    allocations.push_back(std::move(matrix));
  }
  return buildHeap(allocations, std::byte{0x7C});
}

std::vector<std::byte> buildBlock(std::vector<std::byte> data, Encoding encoding, std::uint64_t bid, std::uint64_t offset,
                                  const Geometry& g) {
  const auto size = std::uint16_t(data.size());
  if (!isInternalBid(bid)) encodeBlock(data, encoding, bid);
  const std::uint32_t sum = crc(data);
  data.resize(blockSpan(size, g));
  putBlockTrailer(std::span(data).last(g.blockTrailer.size), {size, signature(offset, bid), sum, bid, size}, g);
  return data;
}

}  // namespace kestrix::pst
