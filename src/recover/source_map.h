#pragma once
// A picture of a source as disk tools draw one: the whole source as a band of rows, each
// fragment drawn where it lies and coloured by the file that uses it, fragments used by two
// files or by none marked, with unreadable sectors and stretches that held only zeros. An SVG
// document: one shape per fragment, with a <title> naming its place, its IDs and its file.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "io/byte_source.h"
#include "recover/assembly.h"
#include "scan/fragments.h"
#include "scan/scan.h"

namespace kestrix::rebuild {

struct SourceMapInput {
  std::string sourceName;
  std::int64_t size = 0;                        // of the source, in bytes
  std::span<const scan::Fragment> fragments;    // numbered from 1, in sector order
  std::span<const AssembledFile> files;
  std::span<const scan::SectorRun> unreadable;  // sectors that could not be read
  const scan::ZeroMap* zeros = nullptr;         // stretches that held only zeros, when known
};

// The look of the map, shared by the SVG and the window's map so that the two pictures agree:
// the band's rows, and the colours as CSS and Qt both read them.
inline constexpr int kMapRows = 64;
// File n is drawn in hsl(fileHue(n), kFileSaturation%, kFileLightness%): hues far apart for
// neighbouring numbers.
int fileHue(std::int32_t fileNumber);
inline constexpr int kFileSaturation = 65, kFileLightness = 45;
inline constexpr const char* kSourceFill = "#e8e8e8";      // the source where no fragment lies
inline constexpr const char* kZerosFill = "#ffffff";       // stretches that held only zeros
inline constexpr const char* kUnusedFill = "#9a9a9a";      // a fragment that no file uses
inline constexpr const char* kSharedMark = "#d00000";      // a fragment that two or more files use
inline constexpr const char* kUnreadableFill = "#000000";  // sectors that could not be read

// Which files use each fragment: fragment number - 1 -> file numbers.
std::vector<std::vector<std::int32_t>> filesOfFragments(std::span<const scan::Fragment> fragments,
                                                        std::span<const AssembledFile> files);

// The map as an SVG document. Its size does not grow with the source; each fragment is one
// <g> of rectangles (several where it wraps to the next row), at least a pixel wide.
std::string sourceMapSvg(const SourceMapInput& input);

// Writes the map to path through the output writer, which refuses a path on the source.
void writeSourceMap(const scan::ByteSource& source, const SourceMapInput& input, const std::string& path);

}  // namespace kestrix::rebuild
