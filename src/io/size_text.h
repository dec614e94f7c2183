#pragma once
// Byte counts as the user reads them, the constants every device path is built from, and
// the test for text that may be shown or exported as UTF-8.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrix::sources {

inline constexpr const char* DevicePrefix = "\\\\.\\";        // \\.\ (backslash)
inline constexpr const char* PhysicalDriveName = "PhysicalDrive";
inline constexpr const char* DriveSuffix = ":";
inline constexpr const char* RootSuffix = ":\\";

// A count in B, KB, MB, GB or TB (powers of 1024, at most TB) with two-digit truncated
// hundredths when they are not zero: 1035 -> "1.01 KB", 1034 -> "1 KB", 2^50 -> "1024 TB".
// The whole part is taken modulo 65536, so 2^56 gives "0 TB"; callers pass -1 as 2^64 - 1.
std::string SizeToText(std::uint64_t count);

// Length in bytes of the valid UTF-8 sequence that starts at text[at] (1 to 4), 0 when the
// bytes there are not one: a stray continuation byte, a truncated or overlong sequence, a
// surrogate, U+FFFE, U+FFFF or a code point past U+10FFFF. File names on Linux are bytes and
// need not be UTF-8; JSON and XML must be.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t at);

inline constexpr const char* kReplacementCharacter = "\xEF\xBF\xBD";  // U+FFFD, for what is not UTF-8

}  // namespace kestrix::sources
