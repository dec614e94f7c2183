#include "format/inflate.h"

#define ZLIB_CONST
#include <zlib.h>

#include <limits>

namespace kestrix::pst {

std::optional<std::vector<std::byte>> inflateBlock(std::span<const std::byte> stored, std::size_t inflatedSize) {
  if (stored.empty() || stored.size() > std::numeric_limits<uInt>::max() ||
      inflatedSize > std::numeric_limits<uInt>::max())
    return std::nullopt;
  // One byte of room past the size given, so that a stream giving more is told from one that
  // fits exactly.
  std::vector<std::byte> out(inflatedSize + 1);
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return std::nullopt;
  z.next_in = reinterpret_cast<const Bytef*>(stored.data());
  z.avail_in = uInt(stored.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  const int status = inflate(&z, Z_FINISH);
  const std::size_t produced = out.size() - z.avail_out;
  const bool whole = status == Z_STREAM_END && produced == inflatedSize && z.avail_in == 0;
  inflateEnd(&z);
  if (!whole) return std::nullopt;
  out.resize(inflatedSize);
  return out;
}

}  // namespace kestrix::pst
