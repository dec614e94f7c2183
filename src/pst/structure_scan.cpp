#include "pst/structure_scan.h"

#include <algorithm>

namespace kestrix::pst {

namespace {

// Bytes kept in front of each chunk so that a block ending in the chunk can be checked whole.
constexpr std::size_t kHistory = kMaxBlockSize;

// Examines every 64-byte boundary e in (from, to] as the end of a block, and every page that
// starts in [from, to). `buf` holds the input from `base` on; base <= from - kHistory unless
// the input starts later.
void examine(std::span<const std::byte> buf, std::int64_t base, std::int64_t from, std::int64_t to,
             StructureScan& out) {
  for (std::int64_t end = (from / 64 + 1) * 64; end <= to; end += 64) {
    const std::size_t at = std::size_t(end - base);
    const Bytes trailer = buf.subspan(at - kBlockTrailerSize, kBlockTrailerSize);
    const std::uint16_t size = le16(trailer, 0);
    if (size > kMaxBlockData) continue;
    const std::int64_t start = end - std::int64_t(blockSpan(size));
    if (start < base) continue;
    const std::uint64_t bid = le64(trailer, 8);
    if (bid == 0 || le16(trailer, 2) != signature(std::uint64_t(start), bid)) continue;
    const FoundBlock found{bid, std::uint64_t(start), size};
    if (crc(buf.subspan(std::size_t(start - base), size)) == le32(trailer, 4))
      out.blocks.push_back(found);
    else
      out.badCrcBlocks.push_back(found);
  }
  for (std::int64_t page = (from + 511) / 512 * 512; page + 512 <= to; page += 512) {
    const Bytes bytes = buf.subspan(std::size_t(page - base), kPageSize);
    const auto type = std::to_integer<std::uint8_t>(bytes[kPageTrailerAt]);
    const bool mapStart = page >= kFirstAMapOffset && (page - kFirstAMapOffset) % kIntervalBytes == 0;
    if (mapStart) {
      ++out.mapIntervals;
      if (type == kPageAllocMap && isValidPage(bytes, std::uint64_t(page))) ++out.validAllocationMaps;
    }
    if (type != kPageBlockTree && type != kPageNodeTree) continue;
    if (!isValidPage(bytes, std::uint64_t(page))) continue;
    if (auto parsed = parseTreePage(bytes)) out.treePages.push_back({std::uint64_t(page), std::move(*parsed)});
  }
}

}  // namespace

StructureScan scanStructure(scan::ByteSource& input, const std::atomic<bool>& stop,
                            const StructureScanOptions& options) {
  StructureScan out;
  out.length = input.size();
  const std::size_t chunk = std::max<std::size_t>(options.chunkSize / 512 * 512, 512);
  std::vector<std::byte> buf(kHistory + chunk);
  std::int64_t pos = 0;
  std::size_t kept = 0;  // history bytes in front of pos
  while (pos < out.length) {
    if (options.progress) options.progress({pos, out.length});
    if (stop.load()) {
      out.stopped = true;
      return out;
    }
    const std::size_t n = std::size_t(std::min<std::int64_t>(std::int64_t(chunk), out.length - pos));
    const std::span<std::byte> fresh(buf.data() + kept, n);
    scan::readSectorsRetrying(input, pos, fresh, out.unreadable);
    if (options.chunk) options.chunk(pos, fresh);
    if (pos == 0) out.header.assign(fresh.begin(), fresh.begin() + std::min(n, kHeaderSize));
    examine(std::span<const std::byte>(buf.data(), kept + n), pos - std::int64_t(kept), pos, pos + std::int64_t(n),
            out);
    pos += std::int64_t(n);
    // Keep the last kHistory bytes in front of the next chunk.
    const std::size_t have = kept + n;
    kept = std::min(have, kHistory);
    std::copy(buf.begin() + std::ptrdiff_t(have - kept), buf.begin() + std::ptrdiff_t(have), buf.begin());
  }
  if (options.progress) options.progress({pos, out.length});
  return out;
}

}  // namespace kestrix::pst
