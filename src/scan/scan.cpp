#include "scan/scan.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "format/extent_leaf.h"
#include "format/format.h"
#include "format/map_page.h"

namespace kestrix::scan {

namespace {

// BIDs count up by 4 from small numbers: no file reaches 2^40 (2^38 blocks). Together with
// the size this lets about one place in 2^27 of random bytes through.
constexpr std::uint64_t kBidLimit = std::uint64_t(1) << 40;
// An ANSI file of at most 2 GB counts its BIDs below 2^28; they are even (bit 0 is reserved).
// With the size that lets about one place in 2^8 of random bytes through.
constexpr std::uint64_t kAnsiBidLimit = std::uint64_t(1) << 28;

// The bytes of a 4 KiB page before the 512-byte step that ends it: the scan keeps them from the
// previous chunk, so that a page is seen whole wherever the chunks are cut.
constexpr std::size_t kLead = pst::kUnicode4KGeometry.pageSize - kPageSize;

// A page of layout g (ANSI, or 4 KiB pages) that ends where this step ends, its type bytes
// already seen to agree: a tree page whose CRC holds goes to the layout's evidence, one of 4
// KiB whose CRC fails but whose trailer is whole to its cut pages; a map page
// whose CRC holds and whose BID, which a map page sets to its own file offset, is one a map
// page can have, is a hit. Map pages of these layouts are told by their CRC, not by how much
// fill they hold: a map of a fragmented file may hold little.
void testOtherPage(std::span<const std::byte> page, std::int64_t offset, const pst::Geometry& g, const ScanOptions& options,
                   FoundPageList& hits, LayoutEvidence& evidence) {
  const pst::PageTrailer trailer = pst::pageTrailer(page, g);
  const std::uint8_t type = trailer.type;
  const std::uint64_t bid = trailer.bid;
  if (pst::crc(page.first(g.pageTrailerAt())) != trailer.crc) {
    const pst::Field fill = g.pageTrailer.filler;
    if ((type == pst::kPageBlockTree || type == pst::kPageNodeTree) && fill.size == 8 && bid != 0 && bid < kBidLimit &&
        pst::le64(page, g.pageTrailerAt() + fill.at) == g.pageTrailer.fillerValue && evidence.cutPages.size() < kMaxCutPages)
      evidence.cutPages.push_back({offset, bid, type, std::to_integer<std::uint8_t>(page[g.treePage.levelAt])});
    return;
  }
  if (type != pst::kPageAllocMap) {
    evidence.treePages.push_back({offset, bid, type, std::to_integer<std::uint8_t>(page[g.treePage.levelAt])});
    return;
  }
  const auto id = MapPageIdOfBid(bid, g);
  if (!id) return;
  const FoundPage hit{*id, offset / std::int64_t(kPageSize), g.layout};
  if (options.onHit) options.onHit(hit);
  if (options.keepHits) hits.push_back(hit);
}

void keepTrailer(LayoutEvidence& evidence, std::size_t most, const BlockTrailerHit& hit) {
  if (evidence.trailers.size() == most) {
    evidence.trailersComplete = false;
    return;
  }
  evidence.trailers.push_back(hit);
}

// The places in a 512-byte step where a block trailer may end, by a test that every real
// trailer passes and that lets few others through: bit 8k when a Unicode trailer may end at
// 64 (k + 1), bit 8k + 1 when an ANSI one may. Each is tested exactly after. The test reads
// the last 16 bytes before each 64-byte boundary as eight 16-bit words: the Unicode size, its
// signature, the ANSI size, its signature, then the BID's four words; of these the sizes must
// lie in 1..the most a block holds, an ANSI BID below 2^28 and a Unicode one below 2^40.
std::uint64_t trailerCandidates(const std::byte* step) {
  constexpr std::uint32_t kMaxAnsiData = pst::kAnsiGeometry.maxBlockData();
#if defined(__SSE2__)
  // Each word less its `one`, less its `most` without going below zero, is zero if it passes.
  const __m128i one = _mm_setr_epi16(1, 0, 1, 0, 0, 0, 0, 0);
  const __m128i most = _mm_setr_epi16(short(pst::kMaxBlockData - 1), -1, short(kMaxAnsiData - 1), -1, -1, 0x0FFF, 0x00FF, 0);
  const __m128i zero = _mm_setzero_si128();
  std::uint64_t passed = 0;  // bit 8k + j: word j of place k passes
  for (unsigned k = 0; k < kPageSize / 64; k += 2) {
    const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(step + 64 * k + 48));
    const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(step + 64 * k + 112));
    // Packing to bytes with saturation keeps each word's being zero.
    const __m128i left = _mm_packs_epi16(_mm_subs_epu16(_mm_sub_epi16(first, one), most), _mm_subs_epu16(_mm_sub_epi16(second, one), most));
    passed |= std::uint64_t(std::uint32_t(_mm_movemask_epi8(_mm_cmpeq_epi8(left, zero)))) << (8 * k);
  }
  constexpr std::uint64_t kEachPlace = 0x0101010101010101u;
  const std::uint64_t unicode = passed & (passed >> 6) & (passed >> 7) & kEachPlace;  // size, BID words 2 and 3
  const std::uint64_t ansi = (passed >> 2) & (passed >> 5) & kEachPlace;              // size, BID word 1
  return unicode | ansi << 1;
#else
  std::uint64_t found = 0;
  for (unsigned k = 0; k < kPageSize / 64; ++k) {
    const std::span<const std::byte> tail(step + 64 * k + 48, 16);
    const std::uint64_t bid = pst::le64(tail, 8);
    found |= std::uint64_t(pst::le16(tail, 0) - 1u < pst::kMaxBlockData && bid >> 40 == 0) << (8 * k);
    found |= std::uint64_t(pst::le16(tail, 4) - 1u < kMaxAnsiData && (bid & 0xFFFFFFFFu) >> 28 == 0) << (8 * k + 1);
  }
  return found;
#endif
}

// Whether the two bytes at `at` are one page type twice, as a page trailer of some layout begins.
bool twoPageTypes(const std::byte* step, std::size_t at) {
  const auto type = std::to_integer<std::uint8_t>(step[at]);
  return type == std::to_integer<std::uint8_t>(step[at + 1]) &&
         (type == pst::kPageBlockTree || type == pst::kPageNodeTree || type == pst::kPageAllocMap);
}

// Whether a step may end a page of any layout, or hold a header or an extent leaf's start, or
// end a 4 KiB block: the few bytes each needs, tested at once. Random bytes pass one step in
// about 2^13; the exact tests follow for those.
bool mayHoldMore(const std::byte* step) {
  constexpr std::size_t kTrailer4At = pst::kUnicode4KGeometry.pageTrailerAt() % kPageSize;
  constexpr std::size_t kAnsiTrailerAt = pst::kAnsiGeometry.pageTrailerAt();
  static_assert(kTrailer4At + 16 <= kPageSize && pst::kPageTrailerAt - kTrailer4At < 16 && kAnsiTrailerAt - kTrailer4At < 16);
  // The two type bytes that begin the page trailer of each layout.
  constexpr int kTypesAt = 1 << 0 | 1 << (pst::kPageTrailerAt - kTrailer4At) | 1 << (kAnsiTrailerAt - kTrailer4At);
  bool types = false;
#if defined(__SSE2__)
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(step + kTrailer4At));
  const __m128i same = _mm_cmpeq_epi8(bytes, _mm_srli_si128(bytes, 1));
  const __m128i pageType = _mm_cmpeq_epi8(  // from a block tree's type to a map's
      _mm_subs_epu8(_mm_sub_epi8(bytes, _mm_set1_epi8(char(pst::kPageBlockTree))), _mm_set1_epi8(pst::kPageAllocMap - pst::kPageBlockTree)),
      _mm_setzero_si128());
  types = (_mm_movemask_epi8(_mm_and_si128(same, pageType)) & kTypesAt) != 0;
#else
  for (std::size_t at = 0; at < 16; ++at) types |= (kTypesAt >> at & 1) && step[kTrailer4At + at] == step[kTrailer4At + at + 1];
#endif
  const std::span<const std::byte, kPageSize> page(step, kPageSize);
  // The terms joined as integers, not by || and &&: no branch for each.
  const int magic = pst::le32(page, 0) == kPstMagic, extentLeaf = pst::le16(page, 0) == 0xF30A;
  const int blockEnd4K = (pst::le32(page, kPageSize - 4) == 0) *
                         (pst::le16(page, kTrailer4At) - 1u < pst::kUnicode4KGeometry.maxBlockData());
  return (int(types) | magic | extentLeaf | blockEnd4K) != 0;
}

// The first step from `step` on that the quick tests let through, with its trailer places;
// `end` when none. Almost every step of a disk holds nothing, and is passed over here in a
// few instructions, without a branch that random bytes would make guess wrong.
const std::byte* nextToTest(const std::byte* step, const std::byte* end, std::uint64_t& trailers) {
  for (; step != end; step += kPageSize) {
    trailers = trailerCandidates(step);
    if (trailers != 0 || mayHoldMore(step)) break;
  }
  return step;
}

// Tests each 512-byte step of `bytes`, which the kLead bytes before it (the end of the
// previous chunk, or zeros) precede in memory.
void testSteps(std::span<const std::byte> bytes, std::int64_t firstSector, const ScanOptions& options,
               FoundPageList& hits, SourceIndex& index) {
  constexpr const pst::Geometry& g4 = pst::kUnicode4KGeometry;
  constexpr const pst::Geometry& ga = pst::kAnsiGeometry;
  constexpr std::size_t kTrailer4At = g4.pageTrailerAt() % kPageSize;  // where a 4 KiB page's trailer lies in its last step
  constexpr std::size_t kAnsiTrailerAt = ga.pageTrailerAt();
  const std::byte* const end = bytes.data() + bytes.size() / kPageSize * kPageSize;
  std::uint64_t trailers = 0;
  for (const std::byte* step = nextToTest(bytes.data(), end, trailers); step != end; step = nextToTest(step + kPageSize, end, trailers)) {
    const std::size_t i = std::size_t(step - bytes.data()) / kPageSize;
    Page page(step, kPageSize);
    const std::int64_t offset = (firstSector + std::int64_t(i)) * std::int64_t(kPageSize);
    const auto type = std::to_integer<std::uint8_t>(page[pst::kPageTrailerAt]);
    if ((type == pst::kPageNodeTree || type == pst::kPageBlockTree) && page[pst::kPageTrailerAt + 1] == page[pst::kPageTrailerAt] &&
        pst::crc(page.first(pst::kPageTrailerAt)) == pst::le32(page, 500)) {
      index.treePages.push_back({offset, pst::le64(page, 504), type, std::to_integer<std::uint8_t>(page[491])});
      continue;
    }
    if (IsPstMapPage(page)) {
      const FoundPage hit{MapPageId(MapPageOffsetField(page)), firstSector + std::int64_t(i)};
      if (options.onHit) options.onHit(hit);
      if (options.keepHits) hits.push_back(hit);
      continue;
    }
    if (twoPageTypes(step, kTrailer4At) && offset >= std::int64_t(kLead))
      testOtherPage({step - kLead, g4.pageSize}, offset - std::int64_t(kLead), g4, options, hits, index.pages4K);
    if (twoPageTypes(step, kAnsiTrailerAt)) testOtherPage(page, offset, ga, options, hits, index.ansi);
    if (pst::isHeaderSector(page)) {
      const std::uint16_t version = pst::le16(page, pst::kHeaderVersionAt);
      const pst::FileLayout layout = pst::layoutOf(version);
      std::vector<std::int64_t>& headers = index.of(layout).headers;
      if (layout == pst::FileLayout::Unknown) {
        if (index.otherHeaders.size() < kMaxHeaders) index.otherHeaders.push_back({offset, version});
      } else if (headers.size() < kMaxHeaders) {
        headers.push_back(offset);
      }
    }
    if (page[0] == std::byte{0x0A} && page[1] == std::byte{0xF3} && index.extentLeaves.size() < kMaxExtentLeaves &&
        pst::isExtentLeafStart(page))
      index.extentLeaves.push_back(offset);
    // Each place the quick test let through, tested exactly: the last 16 bytes before its
    // 64-byte boundary as a Unicode trailer (size, signature, CRC, BID) and as an ANSI one (its
    // last 12: size, signature, 32-bit BID, CRC).
    for (; trailers != 0; trailers &= trailers - 1) {
      const unsigned bit = unsigned(std::countr_zero(trailers));
      const std::size_t end = 64 * (bit / 8 + 1);
      if (bit % 8 == 0) {
        const std::uint16_t size = pst::le16(page, end - 16);
        const std::uint64_t bid = pst::le64(page, end - 8);
        if (size - 1u < pst::kMaxBlockData && bid - 1u < kBidLimit - 1u)
          keepTrailer(index, kMaxBlockTrailers, {offset + std::int64_t(end), bid, size, pst::le16(page, end - 14), pst::le32(page, end - 12)});
      } else {
        const std::uint16_t size = pst::le16(page, end - 12);
        const std::uint32_t bid = pst::le32(page, end - 8);
        if (size - 1u < ga.maxBlockData() && (bid & (~std::uint32_t(kAnsiBidLimit - 1) | 1u)) == 0 && bid != 0)
          keepTrailer(index.ansi, kMaxOtherBlockTrailers, {offset + std::int64_t(end), bid, size, pst::le16(page, end - 10), pst::le32(page, end - 4)});
      }
    }
    // 4 KiB pages: a block ends on a 512-byte boundary with a 24-byte trailer whose last 4
    // bytes are zero: size, signature, CRC, BID, a 16-bit field, the inflated size.
    const std::uint16_t size4 = pst::le16(page, kTrailer4At);
    const std::uint64_t bid4 = pst::le64(page, kTrailer4At + 8);
    if (size4 != 0 && size4 <= g4.maxBlockData() && bid4 != 0 && bid4 < kBidLimit && pst::le32(page, kPageSize - 4) == 0 &&
        pst::le16(page, kTrailer4At + 18) >= size4)
      keepTrailer(index.pages4K, kMaxOtherBlockTrailers,
                  {offset + std::int64_t(kPageSize), bid4, size4, pst::le16(page, kTrailer4At + 2), pst::le32(page, kTrailer4At + 4)});
  }
}

// After sectors of the chunk at `position` could not be read: whether the first of them lies
// past the source's end, which a read that returns short without an error says. Then the
// source has shrunk; its new end is returned and the sectors from there on leave the list of
// unreadable ones. Else -1.
std::int64_t endOfSource(ByteSource& src, std::int64_t position, std::vector<SectorRun>& unreadable) {
  const std::int64_t chunkSector = position / std::int64_t(kPageSize);
  std::int64_t first = unreadable.back().first;
  for (auto it = unreadable.rbegin(); it != unreadable.rend() && it->first + it->count > chunkSector; ++it)
    first = std::max(it->first, chunkSector);
  std::array<std::byte, kPageSize> probe{};
  const std::size_t got = src.readAt(first * std::int64_t(kPageSize), probe);
  if (got == probe.size() || src.lastError() != 0) return -1;
  while (!unreadable.empty() && unreadable.back().first >= first) unreadable.pop_back();
  if (!unreadable.empty() && unreadable.back().first + unreadable.back().count > first)
    unreadable.back().count = first - unreadable.back().first;
  return first * std::int64_t(kPageSize) + std::int64_t(got);
}

// Whether every byte is zero; gives up at the first 4 KiB that is not.
bool allZero(std::span<const std::byte> bytes) {
  constexpr std::size_t kStep = 4096;
  for (std::size_t at = 0; at < bytes.size(); at += kStep) {
    const std::size_t n = std::min(kStep, bytes.size() - at);
    std::uint64_t any = 0;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, bytes.data() + at + i, 8);
      any |= word;
    }
    for (; i < n; ++i) any |= std::to_integer<std::uint64_t>(bytes[at + i]);
    if (any != 0) return false;
  }
  return true;
}

// Marks the units of `zeros` that bytes [position, position + bytes.size()) show to hold data,
// or that hold a sector of `unreadable` (read as zeros, not known to be).
void noteData(ZeroMap& zeros, std::int64_t position, std::span<const std::byte> bytes, std::span<const SectorRun> unreadable) {
  const std::int64_t end = position + std::int64_t(bytes.size());
  for (std::int64_t at = position; at < end;) {
    const std::int64_t unit = at / ZeroMap::kUnit;
    const std::int64_t to = std::min(end, (unit + 1) * ZeroMap::kUnit);
    if (zeros.isZero(unit) && !allZero(bytes.subspan(std::size_t(at - position), std::size_t(to - at))))
      zeros.zero[std::size_t(unit)] = false;
    at = to;
  }
  for (const SectorRun& run : unreadable)
    for (std::int64_t unit = std::max(position, run.first * 512) / ZeroMap::kUnit;
         unit * ZeroMap::kUnit < std::min(end, (run.first + run.count) * 512); ++unit)
      if (zeros.isZero(unit)) zeros.zero[std::size_t(unit)] = false;
}

}  // namespace

std::int64_t ScanResult::unreadableSectors() const {
  std::int64_t n = 0;
  for (const auto& r : unreadable) n += r.count;
  return n;
}

ScanResult scanSource(ByteSource& src, const std::atomic<bool>& stop, const ScanProgressFn& progress,
                      const ScanOptions& options) {
  ScanResult result;
  result.missingFiles = src.missingFiles();
  const std::int64_t total = options.size < 0 ? src.size() : options.size;
  std::size_t chunk = std::max<std::size_t>(kPageSize, options.chunkSize / kPageSize * kPageSize);
  // Page-aligned on purpose: the kernel copies into a buffer at the general allocator's
  // 16-byte offset several times slower on some CPUs (5x measured), which made the whole
  // scan copy-bound.
  constexpr std::align_val_t kBufferAlign{4096};
  struct AlignedDelete {
    void operator()(std::byte* p) const { ::operator delete(p, kBufferAlign); }
  };
  // The chunk is read after a lead of 4 KiB, which holds the last kLead bytes before it.
  constexpr std::size_t kLeadRoom = 4096;
  const std::unique_ptr<std::byte, AlignedDelete> buffer(static_cast<std::byte*>(::operator new(kLeadRoom + chunk, kBufferAlign)));
  std::byte* const lead = buffer.get() + kLeadRoom - kLead;
  std::fill(lead, lead + kLead, std::byte{0});
  result.index.zeros.zero.assign(std::size_t((total + ZeroMap::kUnit - 1) / ZeroMap::kUnit), true);
  std::int64_t position = 0;
  std::int64_t dataEnd = 0;  // [position, dataEnd) is stored data: no need to ask again
  while (position < total) {
    if (stop.load(std::memory_order_relaxed)) {
      result.stopped = true;
      break;
    }
    if (position >= dataEnd) {
      // A hole of a sparse file reads as zeros, in which nothing is found and which the zero
      // map already calls zero: it is passed over, not read (a 2 TB image may be mostly holes).
      const ByteSource::Stretch data = src.dataFrom(position);
      const std::int64_t next = std::min(total, data.first / std::int64_t(kPageSize) * std::int64_t(kPageSize));
      dataEnd = data.end;
      if (next > position) {
        // What lies between was a hole: zeros.
        const std::size_t skipped = std::size_t(std::min<std::int64_t>(next - position, std::int64_t(kLead)));
        std::memmove(lead, lead + skipped, kLead - skipped);
        std::fill(lead + (kLead - skipped), lead + kLead, std::byte{0});
        position = next;
        continue;
      }
    }
    if (progress) progress({position, total});
    const auto length = std::size_t(std::min<std::int64_t>(std::int64_t(chunk), total - position));
    std::span<std::byte> want(buffer.get() + kLeadRoom, length);
    const std::size_t runsBefore = result.unreadable.size();
    const std::int64_t countBefore = runsBefore ? result.unreadable.back().count : 0;
    readSectorsRetrying(src, position, want, result.unreadable);
    if (result.unreadable.size() != runsBefore || (runsBefore && result.unreadable.back().count != countBefore))
      result.endedAt = endOfSource(src, position, result.unreadable);
    testSteps(want, position / std::int64_t(kPageSize), options, result.hits, result.index);
    // The runs this read added or lengthened.
    noteData(result.index.zeros, position, want, std::span(result.unreadable).subspan(runsBefore ? runsBefore - 1 : 0));
    // The last kLead bytes read, the lead included, lead the next chunk.
    std::memmove(lead, want.data() + length - kLead, kLead);
    position += std::int64_t(length);
    if (result.endedAt >= 0) {
      position = result.endedAt;
      break;
    }
  }
  result.bytesRead = position;
  for (LayoutEvidence* evidence : {static_cast<LayoutEvidence*>(&result.index), &result.index.ansi, &result.index.pages4K})
    evidence->trailers.shrink_to_fit();  // 24 bytes a trailer kept, not the room grown for them
  // What was not read is not known to be zero. A source read to its end was read whole, its
  // last unit too, however short.
  const std::int64_t unread = position >= total ? (position + ZeroMap::kUnit - 1) / ZeroMap::kUnit : position / ZeroMap::kUnit;
  for (std::int64_t unit = unread; unit < std::int64_t(result.index.zeros.zero.size()); ++unit)
    result.index.zeros.zero[std::size_t(unit)] = false;
  if (progress) progress({position, total});
  return result;
}

std::vector<std::string> FoundPageTexts(const FoundPage& hit) {
  return {"", std::to_string(hit.id), std::to_string(hit.sector), "", "", ""};
}

std::string describeSectorRuns(const std::vector<SectorRun>& runs, std::size_t maxRuns) {
  std::string text;
  for (std::size_t i = 0; i < runs.size() && i < maxRuns; ++i) {
    if (i) text += ", ";
    text += std::to_string(runs[i].first);
    if (runs[i].count > 1) text += "-" + std::to_string(runs[i].first + runs[i].count - 1);
  }
  if (runs.size() > maxRuns) text += ", ... (" + std::to_string(runs.size() - maxRuns) + " more)";
  return text;
}

}  // namespace kestrix::scan
