#pragma once
// The fixed 17,408-byte block that every rebuilt PST file begins with.

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrix::rebuild {

inline constexpr std::size_t kHeaderBlockSize = 0x4400;

// The header block, byte for byte; written unchanged (nothing is patched for the output).
std::span<const std::byte, kHeaderBlockSize> HeaderBlock();

}  // namespace kestrix::rebuild
