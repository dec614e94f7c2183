// Fuzz target: the page test and the two header fields on arbitrary bytes, and the scan loop
// over the whole input.
//
// The first 512 bytes (zero-padded) are the page. Checks that the page test agrees with its
// three conditions counted independently, that offsets of the form 0x4400 + k * 0x3E000 are
// map-page offsets with ID k, that a header's interval count brackets its declared end, and
// that scanning the input in any chunk size finds exactly the pages that pass the test.

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "scan/fragments.h"
#include "format/extent_leaf.h"
#include "format/map_page.h"
#include "scan/scan.h"

using namespace kestrix;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::array<std::byte, scan::kPageSize> bytes{};
  std::memcpy(bytes.data(), data, std::min(size, bytes.size()));
  const scan::Page page(bytes);

  // The page test against its conditions, the fill count made here.
  int fill = 0;
  for (std::byte b : bytes) fill += (b == std::byte{0} || b == std::byte{0xFF}) ? 1 : 0;
  FUZZ_CHECK(scan::IsMostlyFill(page) == (fill >= 256));
  const std::int64_t field = scan::MapPageOffsetField(page);
  const bool typed = bytes[496] == std::byte{0x84} && bytes[497] == std::byte{0x84};
  FUZZ_CHECK(scan::IsPstMapPage(page) == (typed && fill >= 256 && scan::IsMapPageOffset(field)));
  if (field % 512 != 0) FUZZ_CHECK(!scan::IsMapPageOffset(field));
  (void)scan::MapPageId(field);  // any value, including INT64_MIN: no overflow

  // The offset a real file records for map page k, for k taken from the input.
  const std::int64_t k = std::int64_t(std::uint64_t(field) % (std::uint64_t(1) << 40));
  const std::int64_t canonical = scan::kFirstMapPageOffset + k * scan::kIntervalBytes;
  FUZZ_CHECK(scan::IsMapPageOffset(canonical));
  FUZZ_CHECK(scan::MapPageId(canonical) == std::int32_t(std::uint32_t(std::uint64_t(k))));
  FUZZ_CHECK(!scan::IsMapPageOffset(canonical + 1 + std::int64_t(std::uint64_t(field) % 511)));

  // Header: no magic, no intervals; otherwise the count brackets the declared end.
  const std::int32_t n = scan::PstHeaderIntervals(page);
  const std::int64_t end = scan::PstHeaderEndOffset(page);
  if (!scan::HasPstMagic(bytes)) FUZZ_CHECK(n == 0);
  if (scan::HasPstMagic(bytes) && end >= scan::kFirstMapPageOffset && end < (std::int64_t(1) << 48)) {
    const std::int64_t whole = (end - scan::kFirstMapPageOffset) / scan::kIntervalBytes;
    FUZZ_CHECK(std::int64_t(std::uint32_t(n)) == whole % (std::int64_t(1) << 32));
    FUZZ_CHECK(scan::kFirstMapPageOffset + whole * scan::kIntervalBytes <= end);
    FUZZ_CHECK(scan::kFirstMapPageOffset + (whole + 1) * scan::kIntervalBytes > end);
  }

  // The 文件大小 cell for a fragment whose header is this page.
  fuzz::MemorySource headerSource(std::vector<std::byte>(bytes.begin(), bytes.end()));
  const std::string cell = scan::FragmentFileSizeText(headerSource, 0, scan::kFirstMapPageSector);
  if (n == 0) {
    FUZZ_CHECK(cell == "0 < 0B >");
  } else {
    const std::string prefix = std::to_string(std::uint32_t(n)) + " <";
    FUZZ_CHECK(cell.compare(0, prefix.size(), prefix) == 0 && cell.back() == '>');
  }
  FUZZ_CHECK(scan::FragmentFileSizeText(headerSource, 1, scan::kFirstMapPageSector) == "0");
  FUZZ_CHECK(scan::FragmentFileSizeText(headerSource, 0, scan::kFirstMapPageSector - 1) == "0 < 0B >");

  // The input as an ext4 extent leaf: what parses is ordered, apart, within its block size,
  // and begins with a sector that the scan's test takes.
  const auto whole = fuzz::toBytes(data, size);
  const pst::ExtentLeaf leaf = pst::parseExtentLeaf(whole);
  if (!leaf.extents.empty()) {
    FUZZ_CHECK(pst::isExtentLeafStart(whole) && leaf.blockSize >= 1024 && leaf.blockSize <= 65536 &&
               std::int64_t(size) >= leaf.blockSize && 12 + 12 * leaf.extents.size() <= std::size_t(leaf.blockSize));
    for (std::size_t i = 0; i < leaf.extents.size(); ++i) {
      FUZZ_CHECK(leaf.extents[i].blocks >= 1 && leaf.extents[i].blocks <= 32768 && leaf.extents[i].physical != 0);
      if (i > 0)
        FUZZ_CHECK(std::uint64_t(leaf.extents[i - 1].logical) + leaf.extents[i - 1].blocks <= leaf.extents[i].logical);
    }
  }

  // The scan over all of the input, in a chunk size chosen by the input, finds exactly the
  // whole 512-byte steps that pass the page test.
  fuzz::MemorySource source(fuzz::toBytes(data, size));
  std::atomic<bool> stop{false};
  scan::ScanOptions options;
  options.chunkSize = scan::kPageSize * (1 + (size ? data[size - 1] % 8 : 0));
  const scan::ScanResult result = scan::scanSource(source, stop, {}, options);
  FUZZ_CHECK(!result.stopped && result.unreadable.empty() && result.bytesRead == std::int64_t(size));
  scan::FoundPageList expected;
  for (std::size_t at = 0; at + scan::kPageSize <= size; at += scan::kPageSize) {
    const scan::Page step(reinterpret_cast<const std::byte*>(data) + at, scan::kPageSize);
    if (scan::IsPstMapPage(step))
      expected.push_back({scan::MapPageId(scan::MapPageOffsetField(step)), std::int64_t(at / scan::kPageSize)});
  }
  FUZZ_CHECK(result.hits == expected);
  return 0;
}
