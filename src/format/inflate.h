#pragma once
// The data of a block stored compressed (a zlib stream, in the layout with 4 KiB pages),
// inflated to the size its block-tree entry gives. Pure: no I/O.

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

namespace kestrix::pst {

// The bytes `stored` inflates to, when it is one whole zlib stream that gives exactly
// `inflatedSize` bytes; nullopt otherwise (a damaged or crafted stream, one that gives more or
// fewer bytes, or data after its end). Bounded: inflating stops one byte past inflatedSize,
// whatever the stream would give.
std::optional<std::vector<std::byte>> inflateBlock(std::span<const std::byte> stored, std::size_t inflatedSize);

}  // namespace kestrix::pst
