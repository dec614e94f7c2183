// Fuzz target: B-trees and block trees whose pages and blocks name each other at will, every
// CRC and signature valid. The input is a recipe, not a file: it picks up to 32 tree pages
// and 24 blocks and, for each reference a page or an internal block makes, the page or block
// it names, so children are shared, repeated and cyclic as often as not. The file built from
// it goes through check, repair and the reassembly's tree walk.
//
// Checks: nothing crashes or hangs; the work stays within the memory that scripts/fuzz.sh
// grants this target with `ulimit -v` (it is built without AddressSanitizer so that the limit
// means what it says); a repair of anything check calls a PST is sound again, CRCs aside.


#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_repair.h"
#include "fuzz_support.h"
#include "pst/check.h"
#include "pst/node_writer.h"
#include "recover/reassembly.h"
#include "scan/scan.h"

using namespace kestrix;
using namespace kestrix::pst;

namespace {

constexpr std::size_t kPages = 32, kBlocks = 24;
constexpr std::uint64_t kPagesAt = kFirstAMapOffset + 4096;
constexpr std::uint64_t kBlocksAt = kPagesAt + kPages * kPageSize;
constexpr std::int64_t kLength = kFirstAMapOffset + kIntervalBytes;

// The recipe's bytes, zeros once it runs out.
class Recipe {
 public:
  Recipe(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
  std::uint32_t byte() { return m_at < m_size ? m_data[m_at++] : 0; }
  std::uint32_t below(std::uint32_t n) { return n == 0 ? 0 : (byte() | byte() << 8) % n; }

 private:
  const std::uint8_t* m_data;
  std::size_t m_size;
  std::size_t m_at = 0;
};

std::uint64_t pageBid(std::size_t i) { return 0x1000 + 4 * i; }
std::uint64_t blockBid(std::size_t i, bool internal) { return 0x100 + 4 * i + (internal ? 2 : 0); }

constexpr std::uint32_t kNids[] = {kNidMessageStore, kNidRootFolder, 0x8022, 0x8042, 0x200004, 0x200024, 0x200044, 0x8062};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Recipe r(data, size);
  std::vector<std::byte> file(static_cast<std::size_t>(kLength));
  const std::size_t pages = 1 + r.below(kPages), blocks = 1 + r.below(kBlocks);

  // Blocks first: data blocks, XBLOCKs, XXBLOCKs, SLBLOCKs and SIBLOCKs, each naming blocks the
  // recipe picks (all one block, or each its own pick).
  struct Made {
    std::uint64_t bid, offset;
    std::uint16_t size;
  };
  std::vector<Made> made;
  std::uint64_t at = kBlocksAt;
  const auto pick = [&](bool same, std::size_t& fixed) { return same ? fixed : r.below(std::uint32_t(blocks)); };
  for (std::size_t j = 0; j < blocks; ++j) {
    const std::uint32_t kind = r.below(5);
    const bool internal = kind != 0;
    std::vector<std::byte> b;
    const bool same = r.byte() & 1;
    std::size_t fixed = r.below(std::uint32_t(blocks));
    if (kind == 0) {
      b.resize(16 + r.below(200));
      for (auto& x : b) x = std::byte(r.byte());
    } else if (kind <= 2) {  // XBLOCK, XXBLOCK: level, count, total, BIDs
      const std::size_t count = 1 + r.below(1021);
      b.resize(8 + 8 * count);
      b[0] = std::byte{1};
      b[1] = std::byte(kind);
      putLe16(b, 2, std::uint16_t(count));
      for (std::size_t i = 0; i < count; ++i) {
        const std::size_t child = pick(same, fixed);
        putLe64(b, 8 + 8 * i, blockBid(child, r.byte() & 1));
      }
    } else {  // SLBLOCK (NID, data, subnodes) or SIBLOCK (NID, SLBLOCK)
      const bool leaf = kind == 3;
      const std::size_t entry = leaf ? 24 : 16, count = 1 + r.below(std::uint32_t((kMaxBlockData - 8) / entry));
      b.resize(8 + entry * count);
      b[0] = std::byte{2};
      b[1] = std::byte(leaf ? 0 : 1);
      putLe16(b, 2, std::uint16_t(count));
      for (std::size_t i = 0; i < count; ++i) {
        putLe64(b, 8 + entry * i, kNids[r.below(8)]);
        putLe64(b, 8 + entry * i + 8, blockBid(pick(same, fixed), r.byte() & 1));
        if (leaf) putLe64(b, 8 + entry * i + 16, r.byte() & 1 ? 0 : blockBid(pick(same, fixed), true));
      }
    }
    const std::uint64_t bid = blockBid(j, internal);
    const auto block = buildBlock(b, Encoding::None, bid, at);
    if (at + block.size() > std::uint64_t(kLength)) break;
    std::copy(block.begin(), block.end(), file.begin() + std::ptrdiff_t(at));
    made.push_back({bid, at, std::uint16_t(b.size())});
    at += block.size();
  }

  // Tree pages: each entry of an intermediate page names a page the recipe picks, itself and
  // its ancestors included; leaves list nodes and the blocks made.
  for (std::size_t i = 0; i < pages; ++i) {
    TreePage page;
    page.type = r.byte() & 1 ? kPageNodeTree : kPageBlockTree;
    page.level = std::uint8_t(r.below(9));  // 0 to 8: 20^8 paths when every entry names one page
    page.bid = pageBid(i);
    const std::size_t count = r.below(std::uint32_t(pageCapacity(page.type, page.level) + 1));
    const bool same = r.byte() & 1;
    const std::size_t fixed = r.below(std::uint32_t(pages));
    for (std::size_t e = 0; e < count; ++e) {
      TreeEntry entry;
      if (page.level > 0) {
        const std::size_t child = same ? fixed : r.below(std::uint32_t(pages));
        entry.key = e;
        entry.child = {pageBid(child), kPagesAt + child * kPageSize};
      } else if (page.type == kPageNodeTree) {
        entry.key = kNids[r.below(8)];
        entry.data = made[r.below(std::uint32_t(made.size()))].bid;
        entry.sub = r.byte() & 1 ? 0 : made[r.below(std::uint32_t(made.size()))].bid;
        entry.parent = kNids[r.below(8)];
      } else {
        const Made& m = made[r.below(std::uint32_t(made.size()))];
        entry.key = m.bid;
        entry.child = {m.bid, m.offset};
        entry.size = m.size;
        entry.refs = 2;
      }
      page.entries.push_back(entry);
    }
    const std::uint64_t offset = kPagesAt + i * kPageSize;
    const auto built = buildTreePage(page, offset);
    std::copy(built.begin(), built.end(), file.begin() + std::ptrdiff_t(offset));
  }
  std::array<std::uint8_t, 496> bits{};
  bits.fill(0xFF);
  const auto map = buildMapPage(kPageAllocMap, bits, std::uint64_t(kFirstAMapOffset));
  std::copy(map.begin(), map.end(), file.begin() + kFirstAMapOffset);
  Header h;
  const std::size_t nodeRoot = r.below(std::uint32_t(pages)), blockRoot = r.below(std::uint32_t(pages));
  h.nodeRoot = {pageBid(nodeRoot), kPagesAt + nodeRoot * kPageSize};
  h.blockRoot = {pageBid(blockRoot), kPagesAt + blockRoot * kPageSize};
  h.fileEof = std::uint64_t(kLength);
  h.lastAMap = std::uint64_t(kFirstAMapOffset);
  h.nextBlockBid = 0x1000;
  h.nextPageBid = 0x2000;
  buildHeader(h, std::span(file).first(kHeaderSize));

  fuzz::MemorySource input(file);
  std::atomic<bool> stop{false};
  const CheckReport report = checkPst(input, stop);
  FUZZ_CHECK(report.messagesReadable <= report.messages);
  FUZZ_CHECK(report.analysis.nodeTree.pagesReached <= std::int64_t(pages));

  // The reassembly's walk over the same file as a source, found by the source scan.
  const scan::ScanResult scanned = scan::scanSource(input, stop, {});
  ReassemblyInput anchored;
  anchored.header = std::span(file).first(kHeaderSize);
  anchored.index = &scanned.index;
  anchored.anchors = {{0, 0, kLength}};
  anchored.fileLength = kLength;
  const ReassemblyResult placed = reassemble(input, anchored, stop);
  FUZZ_CHECK(placed.pages <= 2 * std::int64_t(pages));

  // A repair of the ANSI or the 4 KiB-page layout is refused.
  if (!report.isPst || !report.supported() || report.analysis.layout != FileLayout::Unicode) return 0;
  fuzz::expectRepairSound(input, stop);
  return 0;
}
