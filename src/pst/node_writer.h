#pragma once
// Writing the few nodes a mailbox cannot open without, where repair finds them lost: the
// message store, the root folder and the top folder, each a property context (a heap-on-node
// holding a BTH of properties), and the tables that list a folder's messages and subfolders.
// Each in one new block.

#include <cstdint>
#include <string>
#include <vector>

#include "format/format.h"

namespace kestrix::pst {

inline constexpr std::uint16_t kTypeInteger32 = 0x0003;
inline constexpr std::uint16_t kTypeBoolean = 0x000B;
inline constexpr std::uint16_t kTypeString = 0x001F;
inline constexpr std::uint16_t kTypeBinary = 0x0102;

struct Property {
  std::uint16_t id = 0;
  std::uint16_t type = 0;
  std::vector<std::byte> value;  // for integers and booleans, the 4-byte little-endian value
};

Property stringProperty(std::uint16_t id, const std::string& ascii);
Property integerProperty(std::uint16_t id, std::uint16_t type, std::uint32_t value);
Property binaryProperty(std::uint16_t id, std::vector<std::byte> value);

// The data of a property context holding `properties` (at most a few hundred bytes of values:
// it must fit one block). Not encoded.
std::vector<std::byte> buildPropertyContext(std::vector<Property> properties);

// The data of a table context with one row per ID in `rowIds` and only the two columns every
// table has (row ID and row version): what a reader needs to list a folder's messages or
// subfolders, where their own table is lost. Empty for more than kMaxTableRows rows, which do
// not fit one block. Not encoded.
inline constexpr std::size_t kMaxTableRows = 390;
std::vector<std::byte> buildTableContext(std::vector<std::uint32_t> rowIds);

// A whole block of the layout `g`, trailer included, for the data at `offset` under `bid`,
// encoded as given. Written as it is: where the layout may compress blocks, the trailer gives
// the data's own size as its inflated size.
std::vector<std::byte> buildBlock(std::vector<std::byte> data, Encoding encoding, std::uint64_t bid, std::uint64_t offset,
                                  const Geometry& g = kUnicodeGeometry);

}  // namespace kestrix::pst
