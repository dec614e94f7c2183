// Fuzz target: the PST structure scan, check and repair over crafted files.
//
// The input is a file of up to a few dozen kilobytes. Before it is read, every 512-byte page
// whose type bytes say "tree page" and every 64-byte boundary that ends a plausible block
// trailer get the CRC and signature their place demands, and a header with the magic gets
// its CRCs: so the fuzzer reaches the trees, the data and subnode trees and the heaps instead
// of stopping at checksums. Checks: nothing crashes, hangs or runs out of memory; a repair of
// anything check calls a PST writes a file that check then calls sound, with the messages
// the repair reported; the outline read from the roots alone lists the messages check counts
// wherever check finds the file's own node tree whole.


#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_repair.h"
#include "fuzz_support.h"
#include "pst/check.h"
#include "pst/mailbox_outline.h"

using namespace kestrix;
using namespace kestrix::pst;

namespace {

void fixUp(std::vector<std::byte>& file) {
  const std::span<std::byte> b(file);
  for (std::size_t end = 64; end <= file.size(); end += 64) {
    const std::size_t size = le16(b, end - 16);
    const std::uint64_t bid = le64(b, end - 8);
    if (size > kMaxBlockData || bid == 0 || blockSpan(size) > end || (bid >> 40) != 0) continue;
    const std::size_t start = end - blockSpan(size);
    putLe16(b, end - 14, signature(start, bid));
    putLe32(b, end - 12, crc(b.subspan(start, size)));
  }
  for (std::size_t page = 0; page + kPageSize <= file.size(); page += kPageSize) {
    const auto type = std::to_integer<std::uint8_t>(b[page + 496]);
    if (type != kPageBlockTree && type != kPageNodeTree) continue;
    b[page + 497] = b[page + 496];
    putLe16(b, page + 498, signature(page, le64(b, page + 504)));
    putLe32(b, page + 500, crc(b.subspan(page, 496)));
  }
  if (file.size() >= kHeaderSize && std::memcmp(file.data(), "!BDN", 4) == 0) {
    putLe32(b, 4, crc(b.subspan(8, 471)));
    putLe32(b, 524, crc(b.subspan(8, 516)));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::byte> file(reinterpret_cast<const std::byte*>(data), reinterpret_cast<const std::byte*>(data) + size);
  fixUp(file);
  fuzz::MemorySource input(file);
  std::atomic<bool> stop{false};
  const CheckReport report = checkPst(input, stop);
  FUZZ_CHECK(report.messagesReadable <= report.messages);
  const MailboxOutline outline = readMailboxOutline(input, stop);
  // The outline reads the Unicode and the ANSI layout, not the 4 KiB one; a repair of either
  // of the others is refused.
  const bool unicode = report.analysis.layout == FileLayout::Unicode;
  const bool outlined = unicode || report.analysis.layout == FileLayout::Ansi;
  if (outlined && report.analysis.headerVerdict == HeaderVerdict::Own && report.analysis.nodeTree.whole() &&
      !outline.pagesCapped)
    FUZZ_CHECK(outline.messages == report.messages);
  readMailboxOutline(input, stop, std::nullopt, {.maxPages = 2});  // blocks looked up from the root
  if (!report.isPst || !report.supported() || !unicode) return 0;

  fuzz::expectRepairSound(input, stop);
  return 0;
}
