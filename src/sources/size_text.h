#pragma once
// Byte counts as the user reads them, and the constants every device path is built from.

#include <cstdint>
#include <string>

namespace kestrix::sources {

inline constexpr const char* DevicePrefix = "\\\\.\\";        // \\.\ (backslash)
inline constexpr const char* PhysicalDriveName = "PhysicalDrive";
inline constexpr const char* DriveSuffix = ":";
inline constexpr const char* RootSuffix = ":\\";

// A count in B, KB, MB, GB or TB (powers of 1024, at most TB) with two-digit truncated
// hundredths when they are not zero: 1035 -> "1.01 KB", 1034 -> "1 KB", 2^50 -> "1024 TB".
// The whole part is taken modulo 65536, so 2^56 gives "0 TB"; callers pass -1 as 2^64 - 1.
std::string SizeToText(std::uint64_t count);

}  // namespace kestrix::sources
