#include "pst/node_writer.h"

#include <algorithm>

namespace kestrix::pst {

namespace {

constexpr std::size_t kHeapHeaderSize = 12;

void append(std::vector<std::byte>& out, std::size_t at, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out[at + std::size_t(i)] = std::byte((v >> (8 * i)) & 0xFF);
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
  allocations[0].resize(8);
  allocations[0][0] = std::byte{0xB5};
  allocations[0][1] = std::byte{2};  // key: the property ID
  allocations[0][2] = std::byte{6};  // entry: type and value
  append(allocations[0], 4, properties.empty() ? 0 : 2u << 5, 4);

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
  out[3] = std::byte{0xBC};  // a property context
  append(out, 4, 1u << 5, 4);  // the BTH header is allocation 1
  return out;
}

std::vector<std::byte> buildBlock(std::vector<std::byte> data, Encoding encoding, std::uint64_t bid, std::uint64_t offset) {
  const std::size_t size = data.size();
  if (!isInternalBid(bid)) encodeBlock(data, encoding, bid);
  const std::uint32_t sum = crc(data);
  data.resize(blockSpan(size));
  const std::span<std::byte> trailer = std::span(data).last(kBlockTrailerSize);
  putLe16(trailer, 0, std::uint16_t(size));
  putLe16(trailer, 2, signature(offset, bid));
  putLe32(trailer, 4, sum);
  putLe64(trailer, 8, bid);
  return data;
}

}  // namespace kestrix::pst
