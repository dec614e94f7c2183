#pragma once
// The fixed 17,408-byte block that every rebuilt PST file begins with, and the PST CRC.

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrix::rebuild {

inline constexpr std::size_t kHeaderBlockSize = 0x4400;

// The header block, byte for byte; written unchanged (nothing is patched for the output).
std::span<const std::byte, kHeaderBlockSize> HeaderBlock();

// CRC-32 of the PST format: reflected polynomial 0xEDB88320, start value as given (0 for
// the format's own CRCs), no final inversion.
std::uint32_t PstCrc(std::span<const std::byte> data, std::uint32_t start = 0);

}  // namespace kestrix::rebuild
