#include "recover/reassembly.h"

#include <algorithm>
#include <array>
#include <bit>
#include <map>
#include <numeric>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "format/inflate.h"
#include "recover/volume_map.h"

namespace kestrix::pst {

namespace {

// At most this many choices of clusters are tried for one block cut into several runs
// (stitchInOrder), one run and more together: each holds by chance with probability 2^-32,
// so one block stitched this way is false with a chance below 2^-16. A block that is not
// there costs all of them, so this bounds the time too.
constexpr std::int64_t kInOrderBudget = std::int64_t(1) << 16;

struct NeededBlock {
  std::uint64_t bid = 0;
  std::int64_t fileOffset = 0;
  std::uint16_t size = 0;                  // as stored (a block of 4 KiB pages may be compressed)
  const Geometry* g = &kUnicodeGeometry;  // the layout of its file
  std::uint16_t inflated = 0;              // its size once inflated, where it is stored compressed; else 0
  // A tree page of this type, looked for as a block is: size is then the bytes its CRC covers,
  // and its trailer is a page's.
  std::uint8_t pageType = 0;
  std::size_t trailerSize() const { return pageType ? g->pageTrailer.size : g->blockTrailer.size; }
  BlockTrailer trailerOf(Bytes span) const {
    const Bytes t = span.subspan(span.size() - trailerSize());
    if (pageType == 0) return blockTrailer(t, *g);
    const auto field = [t](Field f) -> std::uint64_t { return f.size == 8 ? le64(t, f.at) : f.size == 4 ? le32(t, f.at) : le16(t, f.at); };
    const PageTrailerGeometry& pt = g->pageTrailer;
    return {size, le16(t, pt.sigAt), std::uint32_t(field(pt.crc)), field(pt.bid)};
  }
};

std::int64_t spanOf(const NeededBlock& b) { return b.pageType ? std::int64_t(b.g->pageSize) : std::int64_t(blockSpan(b.size, *b.g)); }

// Whether bytes hold block b whole: trailer, signature for its file offset, CRC; a page, also
// its type and the layout of a tree page.
bool holdsBlock(Bytes bytes, const NeededBlock& b) {
  if (b.pageType) {
    if (std::int64_t(bytes.size()) != spanOf(b) || !isValidPage(bytes, std::uint64_t(b.fileOffset), *b.g)) return false;
    const PageTrailer t = pageTrailer(bytes, *b.g);
    const auto page = parseTreePage(bytes, *b.g);
    return t.type == b.pageType && blockKey(t.bid) == blockKey(b.bid) && page && page->type == b.pageType;
  }
  const BlockTrailer t = b.trailerOf(bytes);
  return blockKey(t.bid) == blockKey(b.bid) && t.size == b.size &&
         t.sig == signature(std::uint64_t(b.fileOffset), t.bid) && crc(bytes.first(b.size)) == t.crc;
}

// Reads of small stretches of the source served from a few 256 KiB windows: blocks that lie
// one after another on the source cost one read per window, not one each. The windows are
// kept most recently used first, so that two places looked at in turn do not evict each other.
class SourceWindows {
 public:
  explicit SourceWindows(scan::ByteSource& source) : m_source(source) {}

  // The bytes [offset, offset + length) of the source, or an empty span where the source
  // holds fewer. length is at most a block's span.
  Bytes read(std::int64_t offset, std::size_t length) {
    for (std::size_t i = 0; i < m_windows.size(); ++i) {
      Window& w = m_windows[i];
      if (offset >= w.offset && offset + std::int64_t(length) <= w.offset + std::int64_t(w.bytes.size())) {
        std::rotate(m_windows.begin(), m_windows.begin() + std::ptrdiff_t(i), m_windows.begin() + std::ptrdiff_t(i) + 1);
        return Bytes(m_windows.front().bytes).subspan(std::size_t(offset - m_windows.front().offset), length);
      }
    }
    if (m_windows.size() < kCount) m_windows.emplace_back();
    std::rotate(m_windows.begin(), m_windows.end() - 1, m_windows.end());
    Window& w = m_windows.front();
    w.offset = offset / 4096 * 4096;
    w.bytes.resize(kSize);
    w.bytes.resize(m_source.readAt(w.offset, w.bytes));
    if (offset + std::int64_t(length) > w.offset + std::int64_t(w.bytes.size())) return {};
    return Bytes(w.bytes).subspan(std::size_t(offset - w.offset), length);
  }

 private:
  static constexpr std::size_t kSize = 256 << 10, kCount = 4;
  struct Window {
    std::int64_t offset = 0;
    std::vector<std::byte> bytes;
  };
  scan::ByteSource& m_source;
  std::vector<Window> m_windows;
};

// A set of block IDs that answers "surely not in it" in one memory access: the pass over the
// source asks at every 64-byte boundary, nearly always about bytes that are no trailer.
class BidFilter {
 public:
  explicit BidFilter(std::size_t count) : m_bits(std::max<std::size_t>(64, std::bit_ceil(count * 16)) / 64) {}
  void add(std::uint64_t bid) {
    const std::size_t h = hash(bid);
    m_bits[h / 64] |= std::uint64_t(1) << (h % 64);
  }
  bool mayHold(std::uint64_t bid) const {
    const std::size_t h = hash(bid);
    return (m_bits[h / 64] >> (h % 64)) & 1;
  }

 private:
  std::size_t hash(std::uint64_t bid) const {
    return std::size_t((blockKey(bid) * 0x9E3779B97F4A7C15ull) >> 32) & (m_bits.size() * 64 - 1);
  }
  std::vector<std::uint64_t> m_bits;
};

// The stretches of the source [from, to) that may hold a block still missing, in source
// order, on sector boundaries: not the units the scan saw hold only zeros, and not the pages
// and blocks of the file found so far, taken with the gaps of less than a sector between two
// of one piece (a piece of anything else takes a sector at least). A block whose trailer lies
// in such a piece would have been found next to them.
std::vector<std::pair<std::int64_t, std::int64_t>> stretchesToSearch(std::int64_t size, std::vector<FileRun> found,
                                                                     const scan::ZeroMap* zeros, std::int64_t maxBlockSize) {
  std::sort(found.begin(), found.end(), [](const FileRun& a, const FileRun& b) { return a.sourceOffset < b.sourceOffset; });
  std::vector<std::pair<std::int64_t, std::int64_t>> known;
  std::int64_t lastDelta = 0;
  for (const FileRun& p : found) {
    const std::int64_t delta = p.sourceOffset - p.fileOffset, end = p.sourceOffset + p.length;
    if (!known.empty() && p.sourceOffset <= known.back().second + (delta == lastDelta ? 511 : 0))
      known.back().second = std::max(known.back().second, end);
    else
      known.emplace_back(p.sourceOffset, end);
    lastDelta = delta;
  }
  constexpr std::int64_t kUnit = scan::ZeroMap::kUnit;
  if (zeros)
    for (std::int64_t unit = 0; unit < std::int64_t(zeros->zero.size()); ++unit)
      if (zeros->isZero(unit)) {
        if (!known.empty() && known.back().second == unit * kUnit) known.back().second = std::min(size, (unit + 1) * kUnit);
        else known.emplace_back(unit * kUnit, std::min(size, (unit + 1) * kUnit));
      }
  std::sort(known.begin(), known.end());
  std::vector<std::pair<std::int64_t, std::int64_t>> out;
  const auto add = [&](std::int64_t from, std::int64_t to) {
    from = from / 512 * 512;
    to = std::min(size, (to + 511) / 512 * 512);
    if (from >= to) return;
    // Close stretches are read as one: cheaper than a read of its own with the bytes before it.
    if (!out.empty() && from <= out.back().second + maxBlockSize) out.back().second = std::max(out.back().second, to);
    else out.emplace_back(from, to);
  };
  std::int64_t at = 0;
  for (const auto& [from, to] : known) {
    if (from > at) add(at, from);
    at = std::max(at, to);
  }
  if (at < size) add(at, size);
  return out;
}

// Puts a piece into runs kept in file order, after those that begin where it does.
void insertInFileOrder(std::vector<FileRun>& runs, const FileRun& piece) {
  runs.insert(std::upper_bound(runs.begin(), runs.end(), piece.fileOffset,
                               [](std::int64_t off, const FileRun& q) { return off < q.fileOffset; }),
              piece);
}

// Puts a piece into runs kept in source order, after those that begin where it does.
void insertInSourceOrder(std::vector<FileRun>& runs, const FileRun& piece) {
  runs.insert(std::upper_bound(runs.begin(), runs.end(), piece.sourceOffset,
                               [](std::int64_t at, const FileRun& q) { return at < q.sourceOffset; }),
              piece);
}

// Whether source bytes [at, at + length) hold a piece of runs kept in source order.
bool holdsPiece(const std::vector<FileRun>& bySource, std::int64_t at, std::int64_t length) {
  auto run = std::upper_bound(bySource.begin(), bySource.end(), at + length - 1,
                              [](std::int64_t x, const FileRun& a) { return x < a.sourceOffset; });
  return run != bySource.begin() && std::prev(run)->sourceOffset + std::prev(run)->length > at;
}

// The first of runs kept in file order that begins at fileOffset or after it.
std::vector<FileRun>::const_iterator firstFrom(const std::vector<FileRun>& runs, std::int64_t fileOffset) {
  return std::lower_bound(runs.begin(), runs.end(), fileOffset, [](const FileRun& p, std::int64_t off) { return p.fileOffset < off; });
}

// Runs in source order, to ask where in the file a place on the source lies.
std::vector<FileRun> inSourceOrder(std::vector<FileRun> runs) {
  std::sort(runs.begin(), runs.end(), [](const FileRun& a, const FileRun& b) { return a.sourceOffset < b.sourceOffset; });
  return runs;
}

// The file offset of source bytes [sourceOffset, sourceOffset + length), when one of the runs
// (in source order) holds them whole.
std::optional<std::int64_t> fileOffsetOf(const std::vector<FileRun>& bySource, std::int64_t sourceOffset, std::int64_t length) {
  auto run = std::upper_bound(bySource.begin(), bySource.end(), sourceOffset,
                              [](std::int64_t at, const FileRun& a) { return at < a.sourceOffset; });
  if (run == bySource.begin()) return std::nullopt;
  --run;
  if (sourceOffset + length > run->sourceOffset + run->length) return std::nullopt;
  return run->fileOffset + (sourceOffset - run->sourceOffset);
}

class Anchors {
 public:
  explicit Anchors(std::vector<FileRun> runs) : m_runs(std::move(runs)) {
    std::sort(m_runs.begin(), m_runs.end(), [](const FileRun& a, const FileRun& b) { return a.fileOffset < b.fileOffset; });
  }
  // The run that holds [fileOffset, fileOffset + length) whole, or nullptr.
  const FileRun* holding(std::int64_t fileOffset, std::int64_t length) const {
    auto it = std::upper_bound(m_runs.begin(), m_runs.end(), fileOffset,
                               [](std::int64_t off, const FileRun& r) { return off < r.fileOffset; });
    if (it == m_runs.begin()) return nullptr;
    --it;
    return fileOffset + length <= it->fileOffset + it->length ? &*it : nullptr;
  }
  const std::vector<FileRun>& runs() const { return m_runs; }

 private:
  std::vector<FileRun> m_runs;
};

class PageFinder {
 public:
  PageFinder(scan::ByteSource& source, std::span<const scan::TreePageHit> pages, const Geometry& g)
      : m_source(source), m_pages(pages), m_g(g) {
    m_byBid.reserve(pages.size());
    for (std::size_t i = 0; i < pages.size(); ++i) m_byBid.emplace(blockKey(pages[i].bid), i);
  }

  // The page of that tree whose BID and signature fit `ref`; the one at `predicted` first,
  // then the one nearest to `near`. Its source offset and parsed content.
  std::optional<std::pair<std::int64_t, TreePage>> find(BlockRef ref, std::uint8_t type, std::optional<std::int64_t> predicted,
                                                        std::int64_t near) {
    auto [from, to] = m_byBid.equal_range(blockKey(ref.bid));
    std::vector<std::int64_t> candidates;
    for (auto it = from; it != to; ++it)
      if (m_pages[it->second].type == type) candidates.push_back(m_pages[it->second].offset);
    const std::int64_t aim = predicted.value_or(near);
    std::sort(candidates.begin(), candidates.end(), [aim](std::int64_t a, std::int64_t b) {
      return std::llabs(a - aim) < std::llabs(b - aim);
    });
    std::vector<std::byte> bytes(m_g.pageSize);
    for (const std::int64_t at : candidates) {
      if (m_source.readAt(at, bytes) != bytes.size()) continue;
      if (!isValidPage(bytes, ref.offset, m_g)) continue;  // the signature ties it to the file offset
      if (auto page = parseTreePage(bytes, m_g); page && page->type == type) return std::pair(at, std::move(*page));
    }
    return std::nullopt;
  }

 private:
  scan::ByteSource& m_source;
  std::span<const scan::TreePageHit> m_pages;
  const Geometry& m_g;
  std::unordered_multimap<std::uint64_t, std::size_t> m_byBid;
};

// The cluster size the pieces agree on: the largest power of two, up to 64 KiB, modulo which
// every piece lies at the same distance between file and source. With pieces at several
// distances it is the file system's own (two distances agree on a larger one by chance half
// the time, eight hardly ever); with few it may be too large, and smallest is then 512.
struct Clusters {
  std::int64_t largest = 512, smallest = 512;
};
Clusters clusterSize(const std::vector<FileRun>& placed) {
  if (placed.empty()) return {};
  std::vector<std::int64_t> deltas;
  for (const FileRun& p : placed) deltas.push_back(p.sourceOffset - p.fileOffset);
  std::sort(deltas.begin(), deltas.end());
  deltas.erase(std::unique(deltas.begin(), deltas.end()), deltas.end());
  for (std::int64_t c = 65536; c > 512; c /= 2)
    if (std::all_of(deltas.begin(), deltas.end(), [&](std::int64_t d) { return ((d - deltas.front()) % c + c) % c == 0; }))
      return {c, deltas.size() >= 8 ? c : 512};
  return {};
}

// The block CRC starts from 0 and is not inverted at the end, so it is linear in the bytes:
// crc(A + B) = advance(crc(A), |B|) ^ crc(B), where advance feeds |B| zero bytes. So each piece
// of a block adds a term of its own, and one piece can be tried in many places at the cost of
// a few XORs each. advance is kept as the images of the 32 single bits.
class CrcAdvance {
 public:
  // The advance over n zeros is the one over a single zero byte taken n times: squared up in
  // log2(n) steps, not by running the CRC over n zeros once per bit (32 n bytes, which cost
  // more than all the tries together on a volume of 512-byte clusters), and kept: n is the
  // length of a block's data after a slot, so at most 8,177 of them (1.3 MiB) are ever made.
  explicit CrcAdvance(std::size_t zeros) {
    thread_local std::unordered_map<std::size_t, Image> made;
    if (const auto it = made.find(zeros); it != made.end()) {
      m_image = it->second;
      return;
    }
    Image step{};
    const std::byte zero[1]{};
    for (int bit = 0; bit < 32; ++bit) {
      step[std::size_t(bit)] = crc(Bytes(zero, 1), std::uint32_t(1) << bit);
      m_image[std::size_t(bit)] = std::uint32_t(1) << bit;
    }
    for (std::size_t left = zeros; left != 0; left >>= 1) {
      if (left & 1) m_image = after(step, m_image);
      step = after(step, step);
    }
    if (zeros <= kUnicode4KGeometry.maxBlockData()) made.emplace(zeros, m_image);
  }
  std::uint32_t operator()(std::uint32_t c) const { return apply(m_image, c); }

 private:
  using Image = std::array<std::uint32_t, 32>;  // where each bit of the CRC goes
  static std::uint32_t apply(const Image& m, std::uint32_t c) {
    std::uint32_t out = 0;
    for (; c != 0; c &= c - 1) out ^= m[std::size_t(std::countr_zero(c))];
    return out;
  }
  static Image after(const Image& a, const Image& b) {  // a applied after b
    Image out{};
    for (std::size_t bit = 0; bit < 32; ++bit) out[bit] = apply(a, b[bit]);
    return out;
  }
  Image m_image{};
};

// Block b from two places: its start where the bytes before it lie (startDelta), its end
// where its trailer was found (endDelta), cut on a boundary of the file's cluster grid (512
// bytes when the cluster size is not known). Every cut is checked by the CRC of its two
// pieces: with S the start side and E the end side, the block cut at h has the CRC
// advance(crc(S[0, h)) ^ crc(E[0, h)), size - h) ^ crc(E), so one pass over each side checks all
// cuts, and only a cut that holds is put together and checked whole.
std::vector<FileRun> stitchTwo(scan::ByteSource& source, const NeededBlock& b, std::int64_t startDelta,
                              std::int64_t endDelta, std::int64_t grid, std::int64_t& tries) {
  // Both sides read once, each the whole span: the start side from where the block's first
  // byte would lie, the end side up to its trailer (what lies before the source's start, none).
  const auto span = std::size_t(spanOf(b)), size = std::size_t(b.size);
  std::vector<std::byte> starts(span), ends(span);
  const std::size_t haveStart = source.readAt(b.fileOffset + startDelta, starts);
  const std::int64_t endFrom = b.fileOffset + endDelta, skip = std::max<std::int64_t>(0, -endFrom);
  if (skip >= std::int64_t(span) ||
      source.readAt(endFrom + skip, std::span(ends).subspan(std::size_t(skip))) != span - std::size_t(skip))
    return {};
  const std::uint32_t want = b.trailerOf(ends).crc;
  const std::uint32_t endsCrc = crc(Bytes(ends).first(size));
  std::uint32_t startsBefore = 0, endsBefore = 0;  // crc(S[0, d)), crc(E[0, d))
  std::size_t d = 0;
  for (std::int64_t cut = (b.fileOffset / grid + 1) * grid; cut < b.fileOffset + spanOf(b); cut += grid) {
    ++tries;
    const std::size_t head = std::size_t(cut - b.fileOffset);
    if (head > haveStart) break;
    const std::size_t to = std::min(head, size);
    startsBefore = crc(Bytes(starts).subspan(d, to - d), startsBefore);
    endsBefore = crc(Bytes(ends).subspan(d, to - d), endsBefore);
    d = to;
    if (std::int64_t(head) < skip) continue;
    // A cut inside the trailer mixes two trailers: only the whole block tells.
    const bool inTrailer = head > span - b.trailerSize();
    if (!inTrailer && (to == size ? startsBefore : CrcAdvance(size - to)(startsBefore ^ endsBefore) ^ endsCrc) != want) continue;
    std::vector<std::byte> whole(starts.begin(), starts.begin() + std::ptrdiff_t(head));
    whole.insert(whole.end(), ends.begin() + std::ptrdiff_t(head), ends.end());
    if (holdsBlock(whole, b))
      return {{b.fileOffset, b.fileOffset + startDelta, std::int64_t(head)}, {cut, cut + endDelta, spanOf(b) - std::int64_t(head)}};
  }
  return {};
}

// Stretches of the source: where each starts, and its bytes.
using Stretches = std::vector<std::pair<std::int64_t, Bytes>>;

// The source within some reach of given offsets, merged where they overlap: where a file
// system that cut a block put the piece between its ends lies mostly near one of them. Read
// 2 MiB wider than asked and kept, since the blocks that need it mostly lie close together.
// At most two stretches of 2 (reach + 2 MiB) are held.
class NearbySource {
 public:
  explicit NearbySource(scan::ByteSource& source) : m_source(source) {}

  Stretches around(std::initializer_list<std::int64_t> nears, std::int64_t reach) {
    Stretches out;
    for (const auto& span : spans(nears, reach)) {
      const std::int64_t from = span.first, to = span.second;
      const auto kept = std::find_if(m_kept.begin(), m_kept.end(), [from, to](const auto& k) {
        return k.first <= from && to <= k.first + std::int64_t(k.second.size());
      });
      if (kept == m_kept.end()) return read(nears, reach);
      out.emplace_back(from, Bytes(kept->second).subspan(std::size_t(from - kept->first), std::size_t(to - from)));
    }
    return out;
  }

 private:
  std::vector<std::pair<std::int64_t, std::int64_t>> spans(std::initializer_list<std::int64_t> nears, std::int64_t reach) const {
    std::vector<std::pair<std::int64_t, std::int64_t>> all, out;
    for (const std::int64_t near : nears)
      all.emplace_back(std::max<std::int64_t>(0, near - reach) / 512 * 512, std::min(m_source.size(), near + reach));
    std::sort(all.begin(), all.end());
    for (const auto& [from, to] : all) {
      if (to <= from) continue;
      if (!out.empty() && from <= out.back().second) out.back().second = std::max(out.back().second, to);
      else out.emplace_back(from, to);
    }
    return out;
  }

  Stretches read(std::initializer_list<std::int64_t> nears, std::int64_t reach) {
    m_kept.clear();
    for (const auto& [from, to] : spans(nears, reach + (2 << 20))) {
      std::vector<std::byte> bytes(std::size_t(to - from));
      std::vector<scan::SectorRun> unreadable;  // read as zeros: no piece is found there
      scan::readSectorsRetrying(m_source, from, bytes, unreadable);
      m_kept.emplace_back(from, std::move(bytes));
    }
    return around(nears, reach);
  }

  scan::ByteSource& m_source;
  std::vector<std::pair<std::int64_t, std::vector<std::byte>>> m_kept;
};

// Block b cut on the file's cluster grid c into slots: slot f is the file's cluster
// [grid + f c, grid + (f + 1) c), and its bytes under the CRC are [from, to). The block's
// start side is read where the piece before it continues (startDelta), its end side up to its
// trailer (endDelta); each slot's CRC term is kept for both, so that any choice of which slots
// come from the start side, which from the end side and which from elsewhere is checked with a
// few XORs. The CRC is linear (see CrcAdvance).
class ClusterSlots {
 public:
  ClusterSlots(scan::ByteSource& source, const NeededBlock& b, std::int64_t startDelta, std::int64_t endDelta, std::int64_t c)
      : m_b(b), m_c(c), m_startDelta(startDelta), m_endDelta(endDelta), m_end(b.fileOffset + spanOf(b)),
        m_grid(b.fileOffset / c * c) {
    const std::int64_t dataEnd = b.fileOffset + b.size;
    const std::size_t slots = std::size_t((m_end - 1) / c - m_grid / c + 1);
    for (std::size_t f = 0; f < slots; ++f) {
      const std::int64_t from = std::max(m_grid + std::int64_t(f) * c, b.fileOffset);
      const std::int64_t to = std::min(m_grid + std::int64_t(f + 1) * c, dataEnd);
      m_slot.push_back({from, std::max(from, to), CrcAdvance(std::size_t(std::max<std::int64_t>(0, dataEnd - to)))});
    }
    m_head.resize(slots * std::size_t(c));
    m_tail.resize(m_head.size());
    m_haveHead = source.readAt(m_grid + startDelta, m_head) == m_head.size();
    m_haveTail = source.readAt(m_grid + endDelta, m_tail) == m_tail.size();
    if (!m_haveTail) return;
    m_want = b.trailerOf(Bytes(m_tail).first(std::size_t(m_end - m_grid))).crc;
    m_headBefore.assign(slots + 1, 0);
    m_tailFrom.assign(slots + 1, 0);
    for (std::size_t f = 0; f < slots; ++f)
      m_headBefore[f + 1] = m_headBefore[f] ^ (m_haveHead ? term(f, Bytes(m_head).subspan(f * std::size_t(c), std::size_t(c))) : 0);
    for (std::size_t f = slots; f-- > 0;)
      m_tailFrom[f] = m_tailFrom[f + 1] ^ term(f, Bytes(m_tail).subspan(f * std::size_t(c), std::size_t(c)));
  }

  bool usable() const { return m_haveTail && m_slot.size() >= 2; }
  std::size_t count() const { return m_slot.size(); }
  std::int64_t cluster() const { return m_c; }
  // Slot f holds bytes the CRC covers, and the start side that would give them was read.
  bool hasData(std::size_t f) const { return m_slot[f].to > m_slot[f].from && (f == 0 || m_haveHead); }
  // Slot f is a whole cluster of the block's data; it runs to its cluster's end; the CRC term
  // it adds when the bytes it covers have the CRC `bytesCrc`.
  bool full(std::size_t f) const { return m_slot[f].to - m_slot[f].from == m_c; }
  bool reachesClusterEnd(std::size_t f) const { return m_slot[f].to == m_grid + std::int64_t(f + 1) * m_c; }
  std::uint32_t termOfCrc(std::size_t f, std::uint32_t bytesCrc) const { return m_slot[f].advance(bytesCrc); }
  // Where in its cluster the block begins.
  std::int64_t headOffset() const { return m_b.fileOffset - m_grid; }
  // Where on the source slot f's cluster lies on the start side and on the end side.
  std::int64_t startSide(std::size_t f) const { return m_grid + std::int64_t(f) * m_c + m_startDelta; }
  std::int64_t endSide(std::size_t f) const { return m_grid + std::int64_t(f) * m_c + m_endDelta; }
  // Where the source's cluster grid starts, modulo c: the end side fixes it.
  std::int64_t sourceResidue() const { return ((endSide(0) % m_c) + m_c) % m_c; }
  // The CRC term of slot f with its bytes from `cluster` (the c bytes its cluster would hold);
  // `wholeCrc`, when given, is the CRC of all of them (a full slot's term then costs no reading).
  std::uint32_t term(std::size_t f, Bytes cluster, std::optional<std::uint32_t> wholeCrc = std::nullopt) const {
    const Slot& s = m_slot[f];
    if (s.to <= s.from) return 0;
    if (wholeCrc && s.to - s.from == m_c) return s.advance(*wholeCrc);
    return s.advance(crc(cluster.subspan(std::size_t(s.from - (m_grid + std::int64_t(f) * m_c)), std::size_t(s.to - s.from))));
  }
  // What the middle slots [f0, f1) must add up to, with the start side before and the end side after.
  std::uint32_t middleWanted(std::size_t f0, std::size_t f1) const { return m_want ^ m_headBefore[f0] ^ m_tailFrom[f1]; }

  // The block with slots [0, f0) from the start side, [f0, f1) from the given clusters (the
  // source offset of each cluster, and its bytes), [f1, count) from the end side: its runs,
  // consecutive clusters merged, or none when it does not check read whole.
  std::vector<FileRun> assemble(std::size_t f0, std::size_t f1, std::span<const std::pair<std::int64_t, const std::byte*>> middle) {
    std::vector<std::byte> whole(std::size_t(spanOf(m_b)));
    std::vector<FileRun> runs;
    const auto add = [&](std::int64_t from, std::int64_t to, std::int64_t at, const std::byte* bytes) {
      if (to <= from) return;
      std::copy_n(bytes, to - from, whole.begin() + (from - m_b.fileOffset));
      if (!runs.empty() && runs.back().fileOffset + runs.back().length == from && runs.back().sourceOffset + runs.back().length == at)
        runs.back().length += to - from;
      else
        runs.push_back({from, at, to - from});
    };
    const std::int64_t midFrom = m_slot[f0].from, midTo = m_grid + std::int64_t(f1) * m_c;
    add(m_b.fileOffset, midFrom, m_b.fileOffset + m_startDelta, m_head.data() + (m_b.fileOffset - m_grid));
    for (std::size_t f = f0; f < f1; ++f) {
      const std::int64_t clusterFile = m_grid + std::int64_t(f) * m_c, from = std::max(clusterFile, midFrom);
      add(from, clusterFile + m_c, middle[f - f0].first + (from - clusterFile), middle[f - f0].second + (from - clusterFile));
    }
    add(midTo, m_end, midTo + m_endDelta, m_tail.data() + (midTo - m_grid));
    if (!holdsBlock(whole, m_b)) return {};
    return runs;
  }

 private:
  struct Slot {
    std::int64_t from, to;
    CrcAdvance advance;  // to the end of the data
  };
  const NeededBlock& m_b;
  std::int64_t m_c, m_startDelta, m_endDelta, m_end, m_grid;
  std::vector<Slot> m_slot;
  std::vector<std::byte> m_head, m_tail;
  bool m_haveHead = false, m_haveTail = false;
  std::uint32_t m_want = 0;
  std::vector<std::uint32_t> m_headBefore, m_tailFrom;  // XOR of the terms of slots [0, f) / [f, count)
};

// The clusters on the source's grid in a stretch, with the whole CRC of each.
struct StretchClusters {
  StretchClusters(std::int64_t offset, Bytes bytes, std::int64_t c, std::int64_t residue) : offset(offset), bytes(bytes), c(c) {
    first = ((offset - residue + c - 1) / c) * c + residue;
    n = std::size_t(std::max<std::int64_t>(0, (offset + std::int64_t(bytes.size()) - first) / c));
    wholeCrc.resize(n);
    for (std::size_t i = 0; i < n; ++i) wholeCrc[i] = crc(at(i));
  }
  Bytes at(std::size_t i) const { return bytes.subspan(std::size_t(first - offset) + i * std::size_t(c), std::size_t(c)); }
  std::int64_t sourceOf(std::size_t i) const { return first + std::int64_t(i) * c; }
  // Clusters by index, as ClusterSlots::assemble takes them: where each lies, and its bytes.
  std::vector<std::pair<std::int64_t, const std::byte*>> picked(std::span<const std::size_t> indices) const {
    std::vector<std::pair<std::int64_t, const std::byte*>> out;
    for (const std::size_t i : indices) out.emplace_back(sourceOf(i), at(i).data());
    return out;
  }
  // terms[f][i]: slot f's CRC term with its bytes from cluster i.
  std::vector<std::vector<std::uint32_t>> terms(const ClusterSlots& slots) const {
    std::vector<std::vector<std::uint32_t>> out(slots.count(), std::vector<std::uint32_t>(n));
    for (std::size_t f = 0; f < slots.count(); ++f)
      for (std::size_t i = 0; i < n; ++i) out[f][i] = slots.term(f, at(i), wholeCrc[i]);
    return out;
  }
  std::int64_t offset;
  Bytes bytes;
  std::int64_t c, first = 0;
  std::size_t n = 0;
  std::vector<std::uint32_t> wholeCrc;
};

// Block b from three pieces, for a file system that cuts at clusters smaller than the block:
// its start where the bytes before it lie (startDelta; this piece may be empty), its end
// where its trailer was found (endDelta), and between them one run of whole clusters from
// elsewhere, looked for in `around`. Cuts lie on the cluster grid of the file; the middle lies
// on the source's grid, which the end fixes. Every choice of cuts and place is checked by the
// CRC terms of its pieces; the first that holds is read whole and checked again.
// inPlace: the start and the end lie in one extent, so the middle is no piece of the file
// put elsewhere but a stretch overwritten in place, which only the same bytes found elsewhere
// give back: a run of one byte repeated (zeros, as the file's encoding writes them), with any
// cuts; other bytes (a copy in the file) only for the middle as all of the block's inner
// clusters or as its first cluster. Fewer choices, fewer accidental CRCs.
std::vector<FileRun> stitchAcross(ClusterSlots& slots, const Stretches& around, bool inPlace, std::int64_t& tries) {
  const std::int64_t c = slots.cluster();
  const std::size_t count = slots.count();
  const std::int64_t residue = slots.sourceResidue();
  for (const auto& stretch : around) {
    const StretchClusters clusters(stretch.first, stretch.second, c, residue);
    const std::size_t n = clusters.n;
    std::vector<char> repeated(n, 0);
    if (inPlace)
      for (std::size_t i = 0; i < n; ++i) {
        const Bytes cluster = clusters.at(i);
        repeated[i] = std::all_of(cluster.begin(), cluster.end(), [&](std::byte x) { return x == cluster[0]; });
      }
    const auto terms = clusters.terms(slots);
    // The middle from clusters [i, i + f1 - f0); the head holds slots [0, f0), the tail [f1, count).
    for (std::size_t f0 = 0; f0 + 1 < count; ++f0) {
      if (!slots.hasData(f0)) continue;  // a middle without data proves nothing
      for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t sum = 0;
        bool allRepeated = true;
        for (std::size_t f1 = f0 + 1; f1 < count && i + (f1 - 1 - f0) < n; ++f1) {
          sum ^= terms[f1 - 1][i + (f1 - 1 - f0)];
          allRepeated = allRepeated && repeated[i + (f1 - 1 - f0)];
          if (inPlace && !allRepeated && !(f0 == 0 && f1 == 1) && !(f0 == 1 && f1 + 1 == count)) {
            if (f0 == 1) continue;
            break;
          }
          ++tries;
          if (sum != slots.middleWanted(f0, f1)) continue;
          std::vector<std::size_t> middle(f1 - f0);
          std::iota(middle.begin(), middle.end(), i);
          if (auto runs = slots.assemble(f0, f1, clusters.picked(middle)); !runs.empty()) return runs;
        }
      }
    }
  }
  return {};
}

// Block b from its start side, its end side, and between them clusters of the gap that lies
// between the two on the source, in disk order, in as many runs as it takes: an allocator that
// fills small holes one after the other leaves a block of several clusters in several of them,
// with other files' clusters between. Clusters of the file's own pieces found so far (`taken`)
// are no candidates. Fewer runs are tried first: they are the likelier layout, and far fewer
// choices. Each choice is checked by the CRC terms, at most `budget` of them. The block's first
// cluster comes from the start side when that is known to hold the bytes before the block in
// the same cluster (firstOnStartSide); else the block may begin a new extent.
std::vector<FileRun> stitchInOrder(ClusterSlots& slots, const StretchClusters& gap, const std::vector<char>& taken,
                                   bool firstOnStartSide, std::int64_t budget, std::int64_t& tries) {
  const std::size_t count = slots.count(), n = gap.n;
  const std::int64_t c = slots.cluster();
  const auto terms = gap.terms(slots);
  const auto indexOf = [&](std::int64_t at) { return (at - gap.first) / c; };  // may lie outside [0, n)
  std::vector<std::size_t> pick;
  std::int64_t spent = 0;
  std::vector<FileRun> found;
  // Slot f onwards, up to f1, from clusters after pick.back() (or `after`) and before `before`,
  // in `runs` runs more; `sum` the terms of the slots picked so far.
  std::size_t f0 = 0, f1 = 0;
  std::int64_t after = 0, before = 0;
  // The block with the middle from the clusters picked, whose terms add up to `sum`; none when
  // it does not check.
  const auto holds = [&](std::uint32_t sum) {
    return sum == slots.middleWanted(f0, f1) ? slots.assemble(f0, f1, gap.picked(pick)) : std::vector<FileRun>{};
  };
  std::function<bool(std::size_t, std::size_t, std::uint32_t)> choose = [&](std::size_t f, std::size_t runs, std::uint32_t sum) {
    if (f == f1) {
      if (runs != 0) return false;
      ++tries;
      if (++spent > budget) return true;
      found = holds(sum);
      return !found.empty();
    }
    const auto take = [&](std::int64_t i, std::size_t runsLeft) {
      pick.push_back(std::size_t(i));
      const bool done = choose(f + 1, runsLeft, sum ^ terms[f][std::size_t(i)]);
      pick.pop_back();
      return done;
    };
    const std::int64_t last = before - std::int64_t(f1 - f);  // room for the slots after this one
    if (!pick.empty() && std::int64_t(pick.back()) + 1 <= last && !taken[pick.back() + 1] && take(std::int64_t(pick.back()) + 1, runs))
      return true;  // the run goes on
    if (runs == 0) return false;
    const std::int64_t from = pick.empty() ? std::max<std::int64_t>(after + 1, 0) : std::int64_t(pick.back()) + 2;
    for (std::int64_t i = from; i <= last && i < std::int64_t(n); ++i)
      if (!taken[std::size_t(i)] && take(i, runs - 1)) return true;
    return false;
  };
  // f0: the first slot not from the start side; f1: the first from the end side. With f0 = 0
  // the block begins in a new extent, after the start side.
  const auto bounds = [&](std::size_t middle) {  // of f0, f1 = f0 + middle: whether they may hold
    f1 = f0 + middle;
    if (!slots.hasData(f0) || (f0 == 0 && firstOnStartSide)) return false;
    after = f0 == 0 ? indexOf(slots.startSide(0)) - 1 : indexOf(slots.startSide(f0 - 1));
    before = indexOf(slots.endSide(f1));
    return after < std::int64_t(n) && before > 0 && before - after - 1 >= std::int64_t(middle);
  };
  // One run: nearest the start side first, where a first-fit allocator puts the next extent.
  // The choices of cuts that may hold at all are worked out once, not at every place.
  std::vector<std::array<std::int64_t, 4>> cuts;  // f0, middle, after, before
  for (std::size_t middle = 1; middle < count; ++middle)
    for (f0 = 0; f0 + middle < count; ++f0)
      if (bounds(middle)) cuts.push_back({std::int64_t(f0), std::int64_t(middle), after, before});
  std::vector<std::size_t> untaken(n + 1, 0);  // clusters not taken from i on, in a row
  for (std::size_t i = n; i-- > 0;) untaken[i] = taken[i] ? 0 : untaken[i + 1] + 1;
  for (std::size_t i = 0; i < n; ++i)
    for (const auto& [first, middle, lo, hi] : cuts) {
      if (std::int64_t(i) <= lo || std::int64_t(i) + middle > hi || std::int64_t(untaken[i]) < middle) continue;
      f0 = std::size_t(first);
      f1 = f0 + std::size_t(middle);
      std::uint32_t sum = 0;
      pick.clear();
      for (std::size_t k = 0; k < std::size_t(middle); ++k) {
        sum ^= terms[f0 + k][i + k];
        pick.push_back(i + k);
      }
      ++tries;
      if (++spent > budget) return {};
      if (auto runs = holds(sum); !runs.empty()) return runs;
    }
  // More runs, by the number of pieces: the start side (when f0 > 0), the runs, the end side.
  for (std::size_t pieces = 3; pieces <= count + 1; ++pieces)
    for (const std::size_t withStart : {0, 1}) {
      const std::size_t runs = pieces - 1 - withStart;
      if (runs < 2) continue;
      for (std::size_t middle = runs; middle < count; ++middle)
        for (f0 = withStart; f0 + middle < count && (withStart || f0 == 0); ++f0) {
          if (!bounds(middle)) continue;
          pick.clear();
          if (choose(f0, runs, 0)) return spent > budget ? std::vector<FileRun>{} : found;
        }
    }
  return {};
}

// The CRC of every cluster of a source on one grid (c, and the residue modulo c where the
// grid starts), of its bytes from `from` on, kept for a source small enough that a block's
// middle can be looked for on all of it within the tries a block is allowed: a file cut into
// pieces of a few clusters each and put anywhere (a memory card, a small volume used for years)
// leaves a block's inner cluster as a piece of its own, with nothing in it to find it by but
// the CRC. `from` is where in its cluster a block begins when that cluster is the middle's first.
struct SourceClusters {
  SourceClusters(scan::ByteSource& source, std::int64_t c, std::int64_t residue, std::int64_t from, const std::atomic<bool>& stop)
      : first(residue) {
    constexpr std::int64_t kChunk = 4 << 20;
    const std::int64_t n = (source.size() - first) / c;
    crcs.reserve(std::size_t(std::max<std::int64_t>(0, n)));
    std::vector<std::byte> buf;
    std::vector<scan::SectorRun> unreadable;  // read as zeros, which stand for nothing here
    for (std::int64_t i = 0; i < n && !stop.load();) {
      const std::int64_t count = std::min(n - i, kChunk / c);
      buf.resize(std::size_t(count * c));
      scan::readSectorsRetrying(source, first + i * c, buf, unreadable);
      for (std::int64_t k = 0; k < count; ++k)
        crcs.push_back(crc(Bytes(buf).subspan(std::size_t(k * c + from), std::size_t(c - from))));
      i += count;
    }
  }
  std::int64_t first;
  std::vector<std::uint32_t> crcs;
};

// Block b with its middle, slots [f0, f1), from one run of whole clusters anywhere on the
// source, the start side before it and the end side after it. `clusters(from)` gives the CRCs
// of the source's clusters from byte `from` of each (none when they may not be made). Shorter
// middles first; every place tried counts against `budget`, and a choice of cuts that would go
// past it is not tried at all. Clusters holding pieces of the file found so far are no candidates.
std::vector<FileRun> stitchAnywhere(scan::ByteSource& source, ClusterSlots& slots,
                                    const std::function<const SourceClusters*(std::int64_t)>& clusters,
                                    const std::function<bool(std::int64_t, std::int64_t)>& taken, std::int64_t budget,
                                    std::int64_t& tries) {
  const std::size_t count = slots.count();
  const std::int64_t c = slots.cluster();
  std::vector<std::byte> bytes;
  std::int64_t spent = 0;
  for (std::size_t middle = 1; middle < count; ++middle)
    for (std::size_t f0 = 0; f0 + middle < count; ++f0) {
      const std::size_t f1 = f0 + middle;
      // The middle's clusters are whole, but for the block's first, which may begin inside its
      // cluster (the bytes before it in the cluster then come with it, from wherever it lies).
      const std::int64_t from = f0 == 0 ? slots.headOffset() : 0;
      bool usable = slots.hasData(f0) && (f0 == 0 ? slots.reachesClusterEnd(0) : slots.full(f0));
      for (std::size_t f = f0 + 1; f < f1; ++f) usable = usable && slots.full(f);
      const SourceClusters* firsts = usable ? clusters(from) : nullptr;
      const SourceClusters* wholes = firsts && middle > 1 ? clusters(0) : firsts;
      if (!firsts || !wholes || firsts->crcs.size() < middle) continue;
      const std::size_t places = firsts->crcs.size() - middle + 1;
      if (spent + std::int64_t(places) > budget) return {};
      spent += std::int64_t(places);
      tries += std::int64_t(places);
      const std::uint32_t want = slots.middleWanted(f0, f1);
      for (std::size_t i = 0; i < places; ++i) {
        std::uint32_t sum = slots.termOfCrc(f0, firsts->crcs[i]);
        for (std::size_t k = 1; k < middle; ++k) sum ^= slots.termOfCrc(f0 + k, wholes->crcs[i + k]);
        const std::int64_t at = firsts->first + std::int64_t(i) * c, length = std::int64_t(middle) * c;
        if (sum != want || taken(at + from, length - from)) continue;
        bytes.resize(std::size_t(length));
        if (source.readAt(at, bytes) != bytes.size()) continue;
        std::vector<std::pair<std::int64_t, const std::byte*>> picked;
        for (std::size_t k = 0; k < middle; ++k) picked.emplace_back(at + std::int64_t(k) * c, bytes.data() + k * std::size_t(c));
        if (auto runs = slots.assemble(f0, f1, picked); !runs.empty()) return runs;
      }
    }
  return {};
}

// At most this much work (a cluster's CRC term looked at, or a table entry made or looked up)
// goes into one block that is looked for in several runs anywhere on the source (piecedAnywhere):
// every choice of cuts for one run, and for two runs where the block has a check beyond its CRC,
// on a source of up to kInOrderBudget clusters.
constexpr std::int64_t kAnywhereWork = std::int64_t(1) << 24;

// Block b with slot f of its cluster grid c taken from the source cluster at at[f]: its runs in
// file order (neighbouring clusters merged) and its bytes in `whole`, or none when it does not
// check by trailer, signature and CRC.
std::vector<FileRun> takeClusters(scan::ByteSource& source, const NeededBlock& b, std::int64_t c, std::span<const std::int64_t> at,
                                  std::vector<std::byte>& whole) {
  const std::int64_t grid = b.fileOffset / c * c, end = b.fileOffset + spanOf(b);
  whole.assign(std::size_t(spanOf(b)), std::byte{0});
  std::vector<FileRun> runs;
  for (std::size_t f = 0; f < at.size(); ++f) {
    const std::int64_t cluster = grid + std::int64_t(f) * c, from = std::max(cluster, b.fileOffset), to = std::min(cluster + c, end);
    const std::int64_t src = at[f] + (from - cluster);
    if (src < 0 || source.readAt(src, std::span(whole).subspan(std::size_t(from - b.fileOffset), std::size_t(to - from))) != std::size_t(to - from))
      return {};
    if (!runs.empty() && runs.back().fileOffset + runs.back().length == from && runs.back().sourceOffset + runs.back().length == src)
      runs.back().length += to - from;
    else
      runs.push_back({from, src, to - from});
  }
  return holdsBlock(whole, b) ? runs : std::vector<FileRun>{};
}

// Whether block b, which holds by its CRC, holds by a check of its own too: a block stored
// compressed must inflate to its size, and its stream's checksum must hold. Blocks stored as
// they are have none.
bool inflatesWhole(Bytes whole, const NeededBlock& b, Encoding encoding) {
  if (b.inflated == 0) return false;
  std::vector<std::byte> stored(whole.begin(), whole.begin() + b.size);
  decodeBlock(stored, encoding, b.bid);
  return inflateBlock(stored, b.inflated).has_value();
}

// What a search over the whole source for a block's pieces came to.
struct Pieced {
  std::vector<FileRun> runs;  // the block, when one choice fits
  bool ambiguous = false;     // two choices fit that give different bytes: neither is taken
};

// Block b with its middle, slots [f0, f1), from one run of whole clusters anywhere on the
// source, or from two where the block has a check beyond its CRC (inflatesWhole); the start
// side before it and the end side after it. Unlike stitchAnywhere, every choice of cuts is
// tried and every fit collected, so that a block two choices fit is left alone. Two runs are
// found by meeting in the middle: the CRC is linear, so the terms of the second run, for each
// choice of its cuts, go in a table, and each first run looks up the one term it needs.
// `wholes` are the CRCs of the source's whole clusters, `firsts` of each cluster from where the
// block begins in it. Clusters holding pieces of the file found so far are no candidates.
Pieced piecedAnywhere(scan::ByteSource& source, ClusterSlots& slots, const NeededBlock& b, const SourceClusters& wholes,
                      const SourceClusters& firsts, bool firstOnStartSide, Encoding encoding,
                      const std::function<bool(std::int64_t, std::int64_t)>& taken) {
  const std::size_t count = slots.count(), n = wholes.crcs.size();
  const std::int64_t c = slots.cluster();
  if (n == 0 || firsts.crcs.size() != n || firsts.first != wholes.first) return {};
  // Which slots may lie in a middle: the block's first when it reaches its cluster's end (and
  // need not lie on the start side), and whole clusters of its data.
  std::vector<char> inner(count, 0);
  for (std::size_t f = 0; f + 1 < count; ++f)
    inner[f] = slots.hasData(f) && (f == 0 ? slots.reachesClusterEnd(0) && !firstOnStartSide : slots.full(f));
  std::vector<std::vector<std::uint32_t>> terms(count);  // terms[f][i]: slot f from source cluster i
  for (std::size_t f = 0; f < count; ++f)
    if (inner[f]) {
      terms[f].resize(n);
      for (std::size_t i = 0; i < n; ++i) terms[f][i] = slots.termOfCrc(f, (f == 0 ? firsts : wholes).crcs[i]);
    }
  const bool twoRuns = b.inflated != 0;
  std::int64_t work = 0;
  Pieced out;
  std::vector<std::byte> bytes, first;
  std::vector<std::int64_t> at(count);
  // The block with slots [f0, m) from cluster i on, [m, f1) from cluster j on: whether it fits;
  // false when the search is over (two different blocks fit).
  const auto tryFit = [&](std::size_t f0, std::size_t m, std::size_t f1, std::size_t i, std::size_t j) {
    const std::int64_t head = f0 == 0 ? slots.headOffset() : 0;
    const auto place = [&](std::size_t k) { return wholes.first + std::int64_t(k) * c; };
    if (taken(place(i) + head, std::int64_t(m - f0) * c - head) || (m < f1 && taken(place(j), std::int64_t(f1 - m) * c))) return true;
    if (m < f1 && j < i + (m - f0) && i < j + (f1 - m)) return true;  // the two runs overlap
    for (std::size_t f = 0; f < count; ++f)
      at[f] = f < f0 ? slots.startSide(f) : f < m ? place(i + (f - f0)) : f < f1 ? place(j + (f - m)) : slots.endSide(f);
    auto runs = takeClusters(source, b, c, at, bytes);
    if (runs.empty() || (b.inflated != 0 && !inflatesWhole(bytes, b, encoding))) return true;
    if (out.runs.empty()) {
      out.runs = std::move(runs);
      first = bytes;
      return true;
    }
    if (bytes == first) return true;  // the same bytes from another place: the same block
    out.ambiguous = true;
    out.runs.clear();
    return false;
  };
  // One run: for each first slot f0, the terms of a run from cluster i summed slot by slot.
  std::vector<std::uint32_t> sum(n);
  for (std::size_t f0 = 0; f0 + 1 < count; ++f0) {
    if (!inner[f0]) continue;
    std::fill(sum.begin(), sum.end(), 0);
    for (std::size_t f1 = f0 + 1; f1 < count && inner[f1 - 1] && f1 - f0 <= n; ++f1) {
      const std::size_t places = n - (f1 - f0) + 1;
      if ((work += std::int64_t(places)) > kAnywhereWork) return out;
      const std::uint32_t want = slots.middleWanted(f0, f1);
      for (std::size_t i = 0; i < places; ++i) {
        sum[i] ^= terms[f1 - 1][i + (f1 - 1 - f0)];
        if (sum[i] == want && !tryFit(f0, f1, f1, i, 0)) return out;
      }
    }
  }
  if (!twoRuns || !out.runs.empty()) return out;
  // Two runs: for each last slot f1 and cut m, the second run's terms from each cluster j in a
  // table (values many clusters share, runs of one repeated byte, dropped: no compressed
  // block holds them); then every first run [f0, m) looks its wanted rest up.
  std::vector<std::uint32_t> second(n), firstRun(n);
  // The table: open addressing, twice as many slots as clusters, each the cluster index + 1.
  const std::size_t mask = std::bit_ceil(2 * n) - 1;
  std::vector<std::uint32_t> table(mask + 1);
  const int shift = 32 - std::countr_zero(mask + 1);  // the product's high bits: its low ones mix badly
  const auto slotOf = [shift](std::uint32_t value) { return std::size_t(std::uint32_t(value * 0x9E3779B1u) >> shift); };
  for (std::size_t f1 = 2; f1 < count; ++f1) {
    std::fill(second.begin(), second.end(), 0);
    for (std::size_t m = f1 - 1; m >= 1 && inner[m]; --m) {
      const std::size_t len2 = f1 - m;
      if (len2 > n) break;
      for (std::size_t j = 0; j + len2 <= n; ++j) second[j] = terms[m][j] ^ (j + 1 < n ? second[j + 1] : 0);
      if ((work += std::int64_t(n)) > kAnywhereWork) return out;
      std::fill(table.begin(), table.end(), 0);
      for (std::size_t j = 0; j + len2 <= n; ++j) {
        std::size_t at = slotOf(second[j]), same = 0;
        for (; table[at] != 0 && same <= 8; at = (at + 1) & mask) same += second[table[at] - 1] == second[j];
        if (same <= 8) table[at] = std::uint32_t(j + 1);  // a ninth is kept only to mark the value shared
      }
      std::fill(firstRun.begin(), firstRun.end(), 0);
      for (std::size_t f0 = m; f0-- > 0 && inner[f0];) {
        const std::size_t len1 = m - f0;
        if (len1 > n) break;
        for (std::size_t i = 0; i + len1 <= n; ++i) firstRun[i] = terms[f0][i] ^ (len1 > 1 && i + 1 < n ? firstRun[i + 1] : 0);
        if ((work += std::int64_t(n)) > kAnywhereWork) return out;
        const std::uint32_t want = slots.middleWanted(f0, f1);
        for (std::size_t i = 0; i + len1 <= n; ++i) {
          const std::uint32_t rest = want ^ firstRun[i];
          std::array<std::size_t, 8> fits{};
          std::size_t hits = 0;
          for (std::size_t at = slotOf(rest); table[at] != 0 && hits <= fits.size(); at = (at + 1) & mask)
            if (second[table[at] - 1] == rest && hits++ < fits.size()) fits[hits - 1] = table[at] - 1;
          if (hits > fits.size()) continue;
          for (std::size_t k = 0; k < hits; ++k)
            if (!tryFit(f0, m, f1, i, fits[k])) return out;
        }
      }
      if (m == 1) break;
    }
  }
  return out;
}

// Block b whose data another block of the file holds (the same size and CRC: an attachment
// stored twice), `data`: each of its clusters is the one on the source that holds those bytes,
// looked up by the CRC of the whole cluster (`byCrc`, over `wholes`) and compared byte for byte;
// the start side, the cluster after the one before, and the end side first, in that order, as a
// run goes on where it can. The slots the trailer lies in come from the end side.
std::vector<FileRun> fromTwin(scan::ByteSource& source, const ClusterSlots& slots, const NeededBlock& b, Bytes data,
                              const SourceClusters& wholes, const std::unordered_multimap<std::uint32_t, std::uint32_t>& byCrc,
                              bool firstOnStartSide, const std::function<bool(std::int64_t, std::int64_t)>& taken) {
  const std::size_t count = slots.count();
  const std::int64_t c = slots.cluster(), grid = b.fileOffset / c * c, dataEnd = b.fileOffset + b.size;
  std::vector<std::int64_t> at(count);
  std::vector<std::byte> bytes(static_cast<std::size_t>(c));
  bool onStartSide = true;
  for (std::size_t f = 0; f < count; ++f) {
    const std::int64_t cluster = grid + std::int64_t(f) * c;
    const std::int64_t from = std::max(cluster, b.fileOffset), to = std::min(cluster + c, dataEnd);
    if (to <= from || cluster + c > dataEnd) {  // the trailer's
      at[f] = slots.endSide(f);
      continue;
    }
    const Bytes want = data.subspan(std::size_t(from - b.fileOffset), std::size_t(to - from));
    const auto holds = [&](std::int64_t place) {
      const Bytes got = std::span(bytes).first(std::size_t(to - from));
      return place >= 0 && source.readAt(place + (from - cluster), std::span(bytes).first(got.size())) == got.size() &&
             std::equal(got.begin(), got.end(), want.begin());
    };
    std::optional<std::int64_t> pick;
    if (onStartSide && holds(slots.startSide(f))) pick = slots.startSide(f);
    else if (f == 0 && firstOnStartSide) return {};
    onStartSide = onStartSide && pick;
    if (!pick && f > 0 && holds(at[f - 1] + c) && !taken(at[f - 1] + c, c)) pick = at[f - 1] + c;
    if (!pick && holds(slots.endSide(f))) pick = slots.endSide(f);
    if (!pick && from == cluster)
      for (auto [it, last] = byCrc.equal_range(crc(want)); !pick && it != last; ++it) {
        const std::int64_t place = wholes.first + std::int64_t(it->second) * c;
        if (!taken(place, c) && holds(place)) pick = place;
      }
    if (!pick) return {};
    at[f] = *pick;
  }
  std::vector<std::byte> whole;
  return takeClusters(source, b, c, at, whole);
}

// What putting a tree page together from pieces came to.
struct PiecedPage {
  std::vector<FileRun> runs;       // the page, when one set of pieces fits
  std::vector<std::byte> bytes;    // and its bytes
  bool ambiguous = false;          // two sets fit that give different pages: neither is taken
};

// Tree page p, which a file system cut on its 512-byte grid: its end where one of `ends` puts
// it (where the trailer found would have the page begin), its start where one of `startDeltas`
// does (the pieces of the file before it), and what lies between from the start side, the end
// side, or runs of sectors between the two on the source, in disk order, as an allocator lays
// one file's extents out. Each choice is checked by the CRC terms of its pieces and the page
// read whole by its trailer, signature and layout. Every pair of sides is tried, so that a page
// two sets of pieces fit is left alone. Sectors holding pieces of the file found so far are no
// candidates.
PiecedPage piecedPage(scan::ByteSource& source, const NeededBlock& p, std::span<const std::int64_t> ends,
                      std::span<const std::int64_t> startDeltas, const std::vector<FileRun>& knownBySource, std::int64_t& tries) {
  constexpr std::int64_t kSector = 512, kReach = 8 << 20;
  PiecedPage out;
  std::vector<std::byte> bytes, gap;
  for (const std::int64_t end : ends)
    for (const std::int64_t startDelta : startDeltas) {
      const std::int64_t endDelta = end - p.fileOffset;
      if (startDelta == endDelta) continue;
      std::vector<FileRun> runs = stitchTwo(source, p, startDelta, endDelta, kSector, tries);
      const std::int64_t from = p.fileOffset + startDelta, to = end + spanOf(p);
      if (runs.empty() && from < to && to - from <= kReach) {
        ClusterSlots slots(source, p, startDelta, endDelta, kSector);
        if (!slots.usable()) continue;
        gap.assign(std::size_t(to - from), std::byte{0});
        std::vector<scan::SectorRun> unreadable;  // read as zeros: no piece is found there
        scan::readSectorsRetrying(source, from, gap, unreadable);
        const StretchClusters inGap(from, gap, kSector, slots.sourceResidue());
        std::vector<char> taken(inGap.n, 0);
        for (std::size_t i = 0; i < inGap.n; ++i) taken[i] = holdsPiece(knownBySource, inGap.sourceOf(i), kSector);
        runs = stitchInOrder(slots, inGap, taken, false, kInOrderBudget, tries);
      }
      if (runs.empty()) continue;
      bytes.assign(std::size_t(spanOf(p)), std::byte{0});
      for (const FileRun& r : runs)
        source.readAt(r.sourceOffset, std::span(bytes).subspan(std::size_t(r.fileOffset - p.fileOffset), std::size_t(r.length)));
      if (out.runs.empty()) {
        out.runs = std::move(runs);
        out.bytes = bytes;
      } else if (bytes != out.bytes) {
        out.ambiguous = true;
        out.runs.clear();
        out.bytes.clear();
        return out;
      }
    }
  return out;
}

// The source just after the last few pieces of the file before block b (in file order), and
// just before the first few after it: 16 clusters each, where the extent that continues or
// precedes one of them lies when a file system hands out more than one stream of extents.
// `held` keeps the bytes.
Stretches nextToNeighbours(scan::ByteSource& source, const std::vector<FileRun>& placed, const NeededBlock& b, std::int64_t c,
                           std::vector<std::vector<std::byte>>& held) {
  constexpr std::ptrdiff_t kNeighbours = 3;
  const std::int64_t reach = 16 * c;
  std::vector<std::pair<std::int64_t, std::int64_t>> spans;
  const auto after = firstFrom(placed, b.fileOffset);
  for (auto it = after; it != placed.begin() && after - it < kNeighbours;) {
    --it;
    const std::int64_t end = it->sourceOffset + it->length;
    spans.emplace_back(end / 512 * 512, std::min(source.size(), end + reach));
  }
  for (auto it = after; it != placed.end() && it - after < kNeighbours; ++it)
    if (it->fileOffset >= b.fileOffset + spanOf(b)) spans.emplace_back(std::max<std::int64_t>(0, it->sourceOffset - reach) / 512 * 512, it->sourceOffset);
  std::sort(spans.begin(), spans.end());
  Stretches out;
  for (const auto& [from, to] : spans) {
    if (to <= from || (!out.empty() && from < out.back().first + std::int64_t(out.back().second.size()))) continue;
    held.emplace_back(std::size_t(to - from));
    std::vector<scan::SectorRun> unreadable;  // read as zeros: no piece is found there
    scan::readSectorsRetrying(source, from, held.back(), unreadable);
    out.emplace_back(from, Bytes(held.back()));
  }
  return out;
}

std::optional<std::int64_t> predict(const Anchors& anchors, std::int64_t fileOffset, std::int64_t length) {
  const FileRun* run = anchors.holding(fileOffset, length);
  if (!run) return std::nullopt;
  return run->sourceOffset + (fileOffset - run->fileOffset);
}

}  // namespace

std::optional<BlockRef> newestRoot(scan::ByteSource& source, const scan::SourceIndex& index, std::span<const FileRun> anchors,
                                   std::int64_t fileLength, std::uint8_t type, bool anywhere, const Geometry& g) {
  std::vector<const scan::TreePageHit*> pages;
  for (const scan::TreePageHit& p : index.of(g.layout).treePages)
    if (p.type == type) pages.push_back(&p);
  std::sort(pages.begin(), pages.end(), [](const scan::TreePageHit* a, const scan::TreePageHit* b) {
    return std::pair(a->level, blockKey(a->bid)) > std::pair(b->level, blockKey(b->bid));
  });
  const std::vector<FileRun> bySource = inSourceOrder({anchors.begin(), anchors.end()});
  const std::int64_t pageSize = std::int64_t(g.pageSize);
  std::vector<std::byte> bytes(g.pageSize);
  // The newest few: a root that cannot be placed is passed over for the next newest.
  for (std::size_t i = 0; i < pages.size() && i < 16; ++i) {
    const scan::TreePageHit& p = *pages[i];
    if (source.readAt(p.offset, bytes) != bytes.size()) continue;
    if (const auto ib = fileOffsetOf(bySource, p.offset, pageSize); ib && isValidPage(bytes, std::uint64_t(*ib), g))
      return BlockRef{p.bid, std::uint64_t(*ib)};
    if (!anywhere) continue;
    // Pages lie on page boundaries past the header, never where a map page starts an interval.
    const std::uint16_t sig = pageTrailer(bytes, g).sig;
    std::optional<std::int64_t> only;
    int solutions = 0;
    for (std::int64_t ib = g.firstMapOffset + pageSize; ib + pageSize <= fileLength && solutions < 2; ib += pageSize)
      if ((ib - g.firstMapOffset) % g.mapInterval != 0 && signature(std::uint64_t(ib), p.bid) == sig) {
        only = ib;
        ++solutions;
      }
    if (solutions == 1) return BlockRef{p.bid, std::uint64_t(*only)};
  }
  return std::nullopt;
}

namespace {

// One pass of reassemble. `known`: the pieces of the file an earlier pass found, in file order,
// by which a tree page cut in pieces is put together (where the piece before it continues);
// none on the first pass. `placedOut` receives this pass's pieces; `piecesWanted` is set when a
// tree page was found nowhere whole but the trailer of a cut page of its BID was seen.
ReassemblyResult reassembleOnce(scan::ByteSource& source, const ReassemblyInput& input, const std::atomic<bool>& stop,
                                const std::vector<FileRun>* known, std::vector<FileRun>& placedOut, bool& piecesWanted) {
  ReassemblyResult r;
  const Anchors anchors(input.anchors);
  const Geometry* layout = geometryOf(input.layout);
  const ParsedHeader parsed = parseHeader(input.header, input.layout);
  if (!layout || parsed.state != HeaderState::Sound) {
    r.runs = anchors.runs();
    return r;
  }
  const Geometry& g = *layout;
  const std::int64_t pageSize = std::int64_t(g.pageSize);
  // What the scan saw of files of this layout.
  const scan::LayoutEvidence* evidence = input.index ? &input.index->of(input.layout) : nullptr;

  // 1. Both trees, page by page, level by level (pages of one level read in source order).
  PageFinder finder(source, evidence ? std::span(evidence->treePages) : std::span<const scan::TreePageHit>(), g);
  std::vector<FileRun> placed;           // pages and blocks found, in no order yet
  std::vector<FileRun> failedAnchored;   // pages expected inside an anchor, not found there
  std::vector<NeededBlock> blocks;
  bool rootsFound = true, blockPagesLost = false;
  // The cut pages' trailers by BID, and what is known of the file on the source, by which a
  // page found nowhere whole is put together.
  std::unordered_multimap<std::uint64_t, const scan::TreePageHit*> cutPages;
  if (evidence)
    for (const scan::TreePageHit& p : evidence->cutPages) cutPages.emplace(blockKey(p.bid), &p);
  const std::vector<FileRun> knownBySource = known ? inSourceOrder(*known) : std::vector<FileRun>{};
  std::vector<std::uint64_t> nodeRefs;           // data and subnode blocks the node tree's leaves name
  std::array<std::uint64_t, 2> newestReached{};  // block tree, node tree
  for (const auto& [root, type] : {std::pair(parsed.header.nodeRoot, kPageNodeTree),
                                   std::pair(parsed.header.blockRoot, kPageBlockTree)}) {
    std::vector<BlockRef> level{root};
    std::int64_t near = 0;
    bool isRoot = true;
    // Each page once, and only pages that can lie in the file (a whole page below its length,
    // on a page boundary): at most fileLength / 512 pages, however the pages name each other.
    std::unordered_set<std::uint64_t> seen;
    while (!level.empty()) {
      if (stop.load()) {
        r.stopped = true;
        return r;
      }
      std::vector<BlockRef> next;
      for (const BlockRef& ref : level) {
        if (ref.offset % g.pageSize != 0 || input.fileLength < pageSize || ref.offset > std::uint64_t(input.fileLength - pageSize)) {
          ++r.pagesMissing;
          rootsFound = rootsFound && !isRoot;
          continue;
        }
        if (!seen.insert(ref.offset).second) continue;
        ++r.pages;
        const auto predicted = predict(anchors, std::int64_t(ref.offset), pageSize);
        auto found = finder.find(ref, type, predicted, near);
        if (!found && predicted) failedAnchored.push_back({std::int64_t(ref.offset), *predicted, pageSize});
        std::vector<FileRun> pieces;
        if (!found) {
          // Cut by the file system: its end where a trailer of its BID was seen, its start where
          // the piece of the file before it continues, or where the anchor puts it.
          std::vector<std::int64_t> ends, startDeltas;
          for (auto [it, last] = cutPages.equal_range(blockKey(ref.bid)); it != last; ++it)
            if (it->second->type == type) ends.push_back(it->second->offset);
          piecesWanted = piecesWanted || !ends.empty();
          if (known && !ends.empty()) {
            const auto before = firstFrom(*known, std::int64_t(ref.offset));
            if (before != known->begin()) startDeltas.push_back(std::prev(before)->sourceOffset - std::prev(before)->fileOffset);
            if (predicted && std::find(startDeltas.begin(), startDeltas.end(), *predicted - std::int64_t(ref.offset)) == startDeltas.end())
              startDeltas.push_back(*predicted - std::int64_t(ref.offset));
            const NeededBlock p{ref.bid, std::int64_t(ref.offset), std::uint16_t(g.pageTrailerAt()), &g, 0, type};
            PiecedPage pieced = piecedPage(source, p, ends, startDeltas, knownBySource, r.stitchTries);
            r.pagesAmbiguous += pieced.ambiguous;
            if (auto page = pieced.runs.empty() ? std::nullopt : parseTreePage(pieced.bytes, g)) {
              pieces = std::move(pieced.runs);
              found = std::pair(pieces.front().sourceOffset, std::move(*page));
              ++r.pagesInferred;
            }
          }
        }
        if (!found) {
          ++r.pagesMissing;
          if (isRoot) rootsFound = false;
          if (type == kPageBlockTree) blockPagesLost = true;
          continue;
        }
        near = found->first;
        if (pieces.empty()) placed.push_back({std::int64_t(ref.offset), found->first, pageSize});
        else placed.insert(placed.end(), pieces.begin(), pieces.end());
        const TreePage& page = found->second;
        auto& newest = newestReached[type == kPageNodeTree];
        newest = std::max(newest, blockKey(ref.bid));
        for (const TreeEntry& e : page.entries) {
          if (page.level > 0) next.push_back(e.child);
          else if (type == kPageBlockTree)
            blocks.push_back({e.child.bid, std::int64_t(e.child.offset), e.size, &g, e.inflated != e.size ? e.inflated : std::uint16_t(0)});
          else nodeRefs.insert(nodeRefs.end(), {e.data, e.sub});
        }
      }
      level = std::move(next);
      isRoot = false;
    }
  }
  r.treesFound = rootsFound;
  // Pages of either tree, newer than every page the header's trees reach, that lie where this
  // file's anchors put a page of it (their signature fits that file offset): a newer
  // generation of the index than the one used.
  if (evidence) {
    const std::vector<FileRun> bySource = inSourceOrder(anchors.runs());
    std::vector<std::byte> bytes(g.pageSize);
    for (const scan::TreePageHit& p : evidence->treePages) {
      if (blockKey(p.bid) <= newestReached[p.type == kPageNodeTree]) continue;
      const auto fileOffset = fileOffsetOf(bySource, p.offset, pageSize);
      if (fileOffset && source.readAt(p.offset, bytes) == bytes.size() && isValidPage(bytes, std::uint64_t(*fileOffset), g))
        ++r.newerPages;
    }
  }
  r.blocks = std::int64_t(blocks.size());
  std::sort(blocks.begin(), blocks.end(), [](const NeededBlock& a, const NeededBlock& b) { return a.fileOffset < b.fileOffset; });

  // 2. Blocks where the anchors predict them, read window by window in file order.
  std::vector<char> done(blocks.size(), 0);  // 1 proved where placed, 2 kept where predicted, unproved
  std::vector<std::size_t> stitchedEarly;    // blocks put together from two sides in step 2b
  std::vector<FileRun> failedBlocks;
  SourceWindows windows(source);
  const auto holdsAt = [&](std::int64_t at, const NeededBlock& b) {
    if ((at - b.fileOffset) % 512 != 0 || at < 0) return false;  // no file system puts a block there
    const Bytes bytes = windows.read(at, std::size_t(spanOf(b)));
    return !bytes.empty() && holdsBlock(bytes, b);
  };
  const auto report = [&](std::size_t i) {
    if (i % 4096 != 0) return true;
    if (stop.load()) return false;
    if (input.progress) input.progress({std::int64_t(i), std::int64_t(blocks.size()), false});
    return true;
  };
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    if (!report(i)) {
      r.stopped = true;
      return r;
    }
    const NeededBlock& b = blocks[i];
    const auto at = predict(anchors, b.fileOffset, spanOf(b));
    if (!at) continue;
    if (holdsAt(*at, b)) {
      done[i] = 1;
      ++r.blocksPredicted;
      placed.push_back({b.fileOffset, *at, spanOf(b)});
    } else {
      failedBlocks.push_back({b.fileOffset, *at, spanOf(b)});
    }
  }

  // 2b. A block not where its anchor says mostly lies in the same piece as a page or block
  //     next to it in the file: tried where the nearest one found before it and the nearest
  //     one after it put it. Only what this does not find needs the pass over the source.
  std::sort(placed.begin(), placed.end(), [](const FileRun& a, const FileRun& b) { return a.fileOffset < b.fileOffset; });
  {
    const std::int64_t cutGrid = clusterSize(placed).smallest;
    std::vector<FileRun> near;  // blocks found here, in file order
    for (std::size_t i = 0; i < blocks.size(); ++i) {
      if (done[i]) continue;
      const NeededBlock& b = blocks[i];
      const auto after = firstFrom(placed, b.fileOffset);
      std::array<std::optional<std::int64_t>, 3> deltas;
      if (!near.empty()) deltas[0] = near.back().sourceOffset - near.back().fileOffset;
      if (after != placed.begin()) deltas[1] = std::prev(after)->sourceOffset - std::prev(after)->fileOffset;
      if (after != placed.end()) deltas[2] = after->sourceOffset - after->fileOffset;
      const auto predicted = predict(anchors, b.fileOffset, spanOf(b));
      for (const auto& delta : deltas) {
        if (!delta || (predicted && *predicted == b.fileOffset + *delta)) continue;
        if (holdsAt(b.fileOffset + *delta, b)) {
          done[i] = 1;
          ++r.blocksFound;
          near.push_back({b.fileOffset, b.fileOffset + *delta, spanOf(b)});
          break;
        }
      }
      // A block across the cut between the piece before it and the piece after it.
      const auto& startDelta = deltas[0] ? deltas[0] : deltas[1];
      if (!done[i] && startDelta && deltas[2] && *startDelta != *deltas[2]) {
        const std::vector<FileRun> pieces = stitchTwo(source, b, *startDelta, *deltas[2], cutGrid, r.stitchTries);
        if (!pieces.empty()) {
          done[i] = 1;
          ++r.blocksStitched;
          stitchedEarly.push_back(i);
          near.insert(near.end(), pieces.begin(), pieces.end());
        }
      }
    }
    placed.insert(placed.end(), near.begin(), near.end());
  }

  // 3. The blocks still missing, by their trailers anywhere on the source: from the scan's
  //    index, reading only the bytes of each candidate; without a complete index, in one pass
  //    over what of the source may hold them. A trailer whose block does not check whole is
  //    kept for stitching.
  std::unordered_map<std::uint64_t, std::size_t> missing;
  for (std::size_t i = 0; i < blocks.size(); ++i)
    if (!done[i]) missing.emplace(blockKey(blocks[i].bid), i);
  std::unordered_map<std::size_t, std::vector<std::int64_t>> trailers;  // block -> source ends of its trailer
  // Block -> where it was found whole (at most 8 places) and its data's CRC there. Another
  // file that shares block IDs with this one (another version of it, or a mailbox whose IDs
  // coincide) may hold a valid block of the same ID: the copy that lies where this file's own
  // pieces lead is taken, and a block whose copies differ is counted uncertain.
  struct Copy {
    std::int64_t start;
    std::uint32_t crc;
  };
  std::unordered_map<std::size_t, std::vector<Copy>> holding;
  // The trailer ending at `end` on the source; `whole` the span before it where already read.
  const auto consider = [&](std::int64_t end, std::uint64_t bid, std::uint16_t size, std::uint16_t sig,
                            std::optional<Bytes> whole) {
    const auto it = missing.find(blockKey(bid));
    if (it == missing.end()) return;
    const NeededBlock& b = blocks[it->second];
    if (size != b.size || sig != signature(std::uint64_t(b.fileOffset), bid)) return;
    const std::int64_t start = end - spanOf(b);
    if (start < 0 || (start - b.fileOffset) % 512 != 0) return;  // no file system puts a block there
    std::vector<std::byte> read;
    if (!whole) {
      read.resize(std::size_t(spanOf(b)));
      if (source.readAt(start, read) == read.size()) whole = Bytes(read);
    }
    if (whole && holdsBlock(*whole, b)) {
      std::vector<Copy>& copies = holding[it->second];
      if (copies.size() < 8) copies.push_back({start, crc(whole->first(b.size))});
    } else {
      trailers[it->second].push_back(end);
    }
  };
  const scan::SourceIndex* index = input.index;
  if (!missing.empty() && evidence && evidence->trailersComplete) {
    for (std::size_t i = 0; i < evidence->trailers.size(); ++i) {
      if (i % 65536 == 0 && stop.load()) {
        r.stopped = true;
        return r;
      }
      const scan::BlockTrailerHit& t = evidence->trailers[i];
      consider(t.end, t.bid, t.size, t.sig, std::nullopt);
    }
  } else if (!missing.empty()) {
    BidFilter filter(missing.size());
    for (const auto& [key, at] : missing) filter.add(key);
    const auto stretches = stretchesToSearch(source.size(), placed, index ? &index->zeros : nullptr, std::int64_t(g.maxBlockSize));
    const BlockTrailerGeometry& tg = g.blockTrailer;
    const auto align = std::int64_t(g.blockAlign);
    const auto examine = [&](std::span<const std::byte> view, std::int64_t base, std::int64_t from) {
      const std::int64_t to = base + std::int64_t(view.size());
      for (std::int64_t end = (from / align + 1) * align; end <= to; end += align) {
        const BlockTrailer t = blockTrailer(view.subspan(std::size_t(end - base) - tg.size, tg.size), g);
        const std::uint16_t size = t.size;
        if (size > g.maxBlockData() || !filter.mayHold(t.bid)) continue;
        const std::int64_t start = end - std::int64_t(blockSpan(size, g));
        consider(end, t.bid, size, t.sig,
                 start >= base ? std::optional(view.subspan(std::size_t(start - base), blockSpan(size, g))) : std::nullopt);
      }
    };
    constexpr std::int64_t kChunk = 4 << 20;
    std::int64_t total = 0, searched = 0;
    for (const auto& [from, to] : stretches) total += to - from;
    std::vector<std::byte> buf;
    std::vector<scan::SectorRun> unreadable;  // read as zeros: no block is found there
    for (const auto& [from, to] : stretches)
      for (std::int64_t at = from; at < to; at += kChunk) {
        if (stop.load()) {
          r.stopped = true;
          return r;
        }
        if (input.progress) input.progress({searched, total, true});
        // With the bytes before it, so that a block that ends in it can be read whole.
        const std::int64_t end = std::min(to, at + kChunk), base = std::max<std::int64_t>(0, at - std::int64_t(g.maxBlockSize));
        buf.resize(std::size_t(end - base));
        scan::readSectorsRetrying(source, base, buf, unreadable);
        examine(buf, base, at);
        searched += end - at;
      }
  }
  if (!holding.empty()) {
    std::vector<FileRun> own = placed;  // this file's pieces so far, in file order
    std::sort(own.begin(), own.end(), [](const FileRun& a, const FileRun& b) { return a.fileOffset < b.fileOffset; });
    std::vector<std::size_t> order;
    for (const auto& [index, copies] : holding) order.push_back(index);
    std::sort(order.begin(), order.end());
    for (const std::size_t index : order) {
      const NeededBlock& b = blocks[index];
      std::vector<Copy>& copies = holding[index];
      // Where the piece of the file before it would put it, else the one after it.
      const auto after = firstFrom(own, b.fileOffset);
      const FileRun* near = after != own.begin() ? &*std::prev(after) : after != own.end() ? &*after : nullptr;
      const std::int64_t aim = near ? b.fileOffset + (near->sourceOffset - near->fileOffset) : 0;
      const auto best = std::min_element(copies.begin(), copies.end(), [aim](const Copy& x, const Copy& y) {
        return std::llabs(x.start - aim) < std::llabs(y.start - aim);
      });
      if (std::any_of(copies.begin(), copies.end(), [&](const Copy& c) { return c.crc != best->crc; })) ++r.blocksUncertain;
      done[index] = 1;
      ++r.blocksFound;
      const FileRun piece{b.fileOffset, best->start, spanOf(b)};
      placed.push_back(piece);
      insertInFileOrder(own, piece);
    }
  }

  // 3b. Where the file lay on an ext4 volume, the extent leaves that agree with the pieces
  //     found so far say where every other piece lies: each block still missing is read from
  //     there, across as many pieces as it spans, and proved by its trailer, signature and CRC.
  std::vector<FileRun> mapped;  // where the volume's extent map puts the file, in file order
  if (input.index && !input.index->extentLeaves.empty() && std::find(done.begin(), done.end(), 0) != done.end()) {
    // The trailers of blocks not found whole lie where their blocks end: pieces too.
    std::vector<FileRun> known = placed;
    const auto kTrailer = std::int64_t(g.blockTrailer.size);
    for (const auto& [index, ends] : trailers)
      for (const std::int64_t end : ends)
        known.push_back({blocks[index].fileOffset + spanOf(blocks[index]) - kTrailer, end - kTrailer, kTrailer});
    std::sort(known.begin(), known.end(), [](const FileRun& a, const FileRun& b) { return a.fileOffset < b.fileOffset; });
    mapped = mappedByVolume(source, input.index->extentLeaves, known, input.fileLength);
    std::vector<std::byte> bytes;
    // A block put together by its CRC alone that the map puts in the same place is proved.
    std::vector<char> confirm(blocks.size(), 0);
    for (const std::size_t i : stitchedEarly) confirm[i] = 1;
    for (std::size_t i = 0; i < blocks.size() && !mapped.empty(); ++i) {
      if (done[i] && !confirm[i]) continue;
      const NeededBlock& b = blocks[i];
      std::vector<FileRun> pieces;
      auto run = std::upper_bound(mapped.begin(), mapped.end(), b.fileOffset,
                                  [](std::int64_t at, const FileRun& r) { return at < r.fileOffset; });
      if (run == mapped.begin()) continue;
      --run;
      bytes.assign(std::size_t(spanOf(b)), std::byte{0});
      for (std::int64_t at = b.fileOffset; at < b.fileOffset + spanOf(b); ++run) {
        if (run == mapped.end() || run->fileOffset > at || run->fileOffset + run->length <= at) break;
        const std::int64_t n = std::min(run->fileOffset + run->length, b.fileOffset + spanOf(b)) - at;
        const std::int64_t from = run->sourceOffset + (at - run->fileOffset);
        if (source.readAt(from, std::span(bytes).subspan(std::size_t(at - b.fileOffset), std::size_t(n))) != std::size_t(n)) break;
        pieces.push_back({at, from, n});
        at += n;
      }
      std::int64_t covered = 0;
      for (const FileRun& p : pieces) covered += p.length;
      if (covered != spanOf(b) || !holdsBlock(bytes, b)) continue;
      ++r.blocksMapped;
      if (confirm[i]) {
        --r.blocksStitched;
        continue;  // its pieces are placed already
      }
      done[i] = 1;
      placed.insert(placed.end(), pieces.begin(), pieces.end());
    }
    std::sort(placed.begin(), placed.end(), [](const FileRun& a, const FileRun& b) { return a.fileOffset < b.fileOffset; });
  }

  // 4. Stitching: the start of a block lies where the piece before it continues, its trailer
  //    where it was found; the cut is on a 512-byte boundary between, and the CRC decides.
  //    A block longer than a cluster may have a middle piece elsewhere too: it is looked for
  //    between its two sides on the source, up to 8 MiB apart (within 4 MiB of either side
  //    when both lie in one extent), on cluster boundaries (the cluster size the pieces found
  //    so far agree on; smaller ones too when they are too few to tell). Each choice tried is
  //    a chance in 2^32 that a CRC holds by accident: they are counted (stitchTries), and no
  //    more are tried than the file's layout calls for.
  std::sort(placed.begin(), placed.end(), [](const FileRun& a, const FileRun& b) { return a.fileOffset < b.fileOffset; });
  const Clusters clusters = clusterSize(placed);
  NearbySource nearby(source);
  std::map<std::array<std::int64_t, 3>, SourceClusters> everywhere;  // by cluster size, grid and first byte
  std::vector<std::size_t> order;
  for (const auto& [index, ends] : trailers) order.push_back(index);
  std::sort(order.begin(), order.end());  // blocks are in file order: a stitched block tells the next where it lies
  std::vector<FileRun> bySource = inSourceOrder(placed);  // placed, in source order
  for (const std::size_t index : order) {
    if (stop.load()) {
      r.stopped = true;
      return r;
    }
    if (done[index]) continue;
    const NeededBlock& b = blocks[index];
    // Where its start may lie: where the piece of the file before it continues, and where the
    // block before it in the file ends, when that one's trailer was found but not its start
    // (the same extent may hold both).
    // With each, the file offset up to which the file's bytes are known to lie there.
    std::vector<std::int64_t> startDeltas, knownTo;
    auto before = firstFrom(placed, b.fileOffset);
    startDeltas.push_back(before == placed.begin() ? 0 : std::prev(before)->sourceOffset - std::prev(before)->fileOffset);
    knownTo.push_back(before == placed.begin() ? 0 : std::prev(before)->fileOffset + std::prev(before)->length);
    if (index > 0 && !done[index - 1])
      if (const auto prev = trailers.find(index - 1); prev != trailers.end())
        for (const std::int64_t end : prev->second) {
          const std::int64_t delta = end - (blocks[index - 1].fileOffset + spanOf(blocks[index - 1]));
          if (std::find(startDeltas.begin(), startDeltas.end(), delta) == startDeltas.end() && startDeltas.size() < 4) {
            startDeltas.push_back(delta);
            knownTo.push_back(blocks[index - 1].fileOffset + spanOf(blocks[index - 1]));
          }
        }
    // Whether source bytes [at, at + length) hold a piece of the file found so far.
    const auto taken = [&bySource](std::int64_t at, std::int64_t length) { return holdsPiece(bySource, at, length); };
    // Which clusters of a stretch hold pieces of the file found so far.
    const auto takenIn = [&](const StretchClusters& stretch) {
      std::vector<char> out(stretch.n, 0);
      for (std::size_t i = 0; i < stretch.n; ++i) out[i] = taken(stretch.sourceOf(i), stretch.c);
      return out;
    };
    std::vector<FileRun> pieces;
    for (std::size_t k = 0; k < startDeltas.size(); ++k)
      for (const std::int64_t end : trailers[index]) {
        const std::int64_t startDelta = startDeltas[k];
        if (!pieces.empty()) break;
        const std::int64_t endDelta = end - (b.fileOffset + spanOf(b));
        if (endDelta % 512 != 0) continue;
        pieces = stitchTwo(source, b, startDelta, endDelta, clusters.smallest, r.stitchTries);
        // Start and end at one distance from the file: one extent, damaged between them. No
        // file system leaves a gap in an extent for a piece it put elsewhere.
        const bool oneExtent = startDelta == endDelta;
        const std::int64_t from = b.fileOffset + startDelta;
        std::vector<std::byte> gap;
        for (std::int64_t c = clusters.largest; c >= clusters.smallest && pieces.empty(); c /= 2) {
          ClusterSlots slots(source, b, startDelta, endDelta, c);
          if (!slots.usable()) continue;
          // Where the middle may lie, the likeliest places first, as each place tried is a
          // chance of a CRC that holds by accident:
          // - within one extent, near it (damage in place);
          // - in as many runs as it takes between the block's start and its trailer on the
          //   source, as allocators lay a file's extents out in disk order;
          // - as one run just after a piece of the file before the block, or just before one
          //   after it: an allocator that hands out two streams of extents at once (ext4 does
          //   for small files' clusters) puts the middle in the other stream;
          // - on grids of 4 KiB or more, as one run within 8 MiB of either side, in any order
          //   (a 512-byte grid has eight times the places, too many for the CRC to tell).
          if (oneExtent) {
            pieces = stitchAcross(slots, nearby.around({from, end}, 4 << 20), true, r.stitchTries);
            continue;
          }
          if (from < end && end - from <= (8 << 20)) {
            if (gap.empty()) {
              gap.resize(std::size_t(end - from));
              std::vector<scan::SectorRun> unreadable;  // read as zeros: no middle is found there
              scan::readSectorsRetrying(source, from, gap, unreadable);
            }
            const StretchClusters inGap(from, gap, c, slots.sourceResidue());
            const std::vector<char> takenInGap = takenIn(inGap);
            // The cluster that holds the block's first byte holds the bytes before it too:
            // where those are known to lie, so is it.
            const bool firstOnStartSide = knownTo[k] > b.fileOffset / c * c;
            pieces = stitchInOrder(slots, inGap, takenInGap, firstOnStartSide, kInOrderBudget, r.stitchTries);
          }
          if (pieces.empty()) {
            std::vector<std::vector<std::byte>> held;
            pieces = stitchAcross(slots, nextToNeighbours(source, placed, b, c, held), false, r.stitchTries);
          }
          if (pieces.empty() && c >= 4096)
            pieces = stitchAcross(slots, nearby.around({from, end}, 8 << 20), false, r.stitchTries);
          // Anywhere on a source whose clusters are few enough for the CRC to tell.
          if (pieces.empty() && c >= 4096 && source.size() / c <= kInOrderBudget) {
            const std::int64_t residue = slots.sourceResidue();
            // Each set of CRCs costs a pass over the source: a few are made, and kept.
            const auto clustersFrom = [&](std::int64_t from) -> const SourceClusters* {
              auto it = everywhere.find({c, residue, from});
              if (it == everywhere.end()) {
                if (everywhere.size() >= 8) return nullptr;
                it = everywhere.try_emplace({c, residue, from}, source, c, residue, from, stop).first;
              }
              return &it->second;
            };
            pieces = stitchAnywhere(source, slots, clustersFrom, taken, kInOrderBudget, r.stitchTries);
          }
        }
      }
    if (pieces.empty()) continue;
    done[index] = 1;
    ++r.blocksStitched;
    for (const FileRun& p : pieces) {
      insertInFileOrder(placed, p);
      insertInSourceOrder(bySource, p);
    }
  }
  // 4a. Where a block-tree page was lost, the blocks it listed are still named: by the node
  //     tree's leaves, and by the internal blocks (data and subnode trees) found. Each is
  //     looked for by its trailer in the index; its file offset is where an anchor, or a piece
  //     of the file found next to it on the source, puts it, proved by its signature and CRC.
  //     Repair then lists it in a new block tree.
  if (blockPagesLost && evidence) {
    std::sort(placed.begin(), placed.end(), [](const FileRun& a, const FileRun& b) { return a.fileOffset < b.fileOffset; });
    std::unordered_set<std::uint64_t> known;
    for (const NeededBlock& b : blocks) known.insert(blockKey(b.bid));
    std::vector<std::uint64_t> work;
    const auto want = [&](std::uint64_t bid) {
      if (bid != 0 && known.insert(blockKey(bid)).second) work.push_back(blockKey(bid));
    };
    for (const std::uint64_t bid : nodeRefs) want(bid);
    const auto readBlock = [&](std::int64_t at, std::size_t span, std::vector<std::byte>& out) {
      out.resize(span);
      return source.readAt(at, out) == span;
    };
    std::vector<std::byte> bytes;
    for (std::size_t i = 0; i < blocks.size(); ++i) {  // the internal blocks listed and found whole in one place
      if (done[i] != 1 || !isInternalBid(blocks[i].bid)) continue;
      const auto run = std::upper_bound(placed.begin(), placed.end(), blocks[i].fileOffset,
                                        [](std::int64_t at, const FileRun& p) { return at < p.fileOffset; });
      if (run == placed.begin() || std::prev(run)->fileOffset + std::prev(run)->length < blocks[i].fileOffset + spanOf(blocks[i])) continue;
      const FileRun& p = *std::prev(run);
      if (readBlock(p.sourceOffset + (blocks[i].fileOffset - p.fileOffset), std::size_t(spanOf(blocks[i])), bytes))
        for (const std::uint64_t child : internalBlockRefs(Bytes(bytes).first(blocks[i].size), g)) want(child);
    }
    const auto& hits = evidence->trailers;
    std::vector<std::uint32_t> byKey;  // trailers in BID order, when any block is wanted
    if (!work.empty()) {
      byKey.resize(hits.size());
      std::iota(byKey.begin(), byKey.end(), std::uint32_t(0));
      std::sort(byKey.begin(), byKey.end(), [&](std::uint32_t a, std::uint32_t b) { return blockKey(hits[a].bid) < blockKey(hits[b].bid); });
    }
    std::vector<FileRun> bySource = anchors.runs();
    bySource.insert(bySource.end(), placed.begin(), placed.end());
    bySource = inSourceOrder(std::move(bySource));
    // What the block-tree leaves on the source that the walk did not reach say (the lost
    // page's own leaves, older copies of them): where a block lies in its file, the newest
    // page's word winning. A hint, which the block's signature and CRC there must prove.
    std::unordered_map<std::uint64_t, std::pair<std::uint64_t, TreeEntry>> listedElsewhere;  // key -> page BID, entry
    {
      std::unordered_set<std::int64_t> reached;
      for (const FileRun& p : placed) reached.insert(p.sourceOffset);
      std::vector<std::byte> page(g.pageSize);
      for (const scan::TreePageHit& p : evidence->treePages) {
        if (p.type != kPageBlockTree || p.level != 0 || reached.count(p.offset) || source.readAt(p.offset, page) != page.size()) continue;
        const auto parsed = parseTreePage(page, g);
        if (!parsed) continue;
        for (const TreeEntry& e : parsed->entries) {
          auto [at, added] = listedElsewhere.try_emplace(blockKey(e.child.bid), p.bid, e);
          if (!added && p.bid > at->second.first) at->second = {p.bid, e};
        }
      }
    }
    while (!work.empty()) {
      if (stop.load()) {
        r.stopped = true;
        return r;
      }
      const std::uint64_t key = work.back();
      work.pop_back();
      auto it = std::lower_bound(byKey.begin(), byKey.end(), key, [&](std::uint32_t i, std::uint64_t k) { return blockKey(hits[i].bid) < k; });
      bool found = false;
      for (; !found && it != byKey.end() && blockKey(hits[*it].bid) == key; ++it) {
        const scan::BlockTrailerHit& t = hits[*it];
        const std::int64_t span = std::int64_t(blockSpan(t.size, g)), start = t.end - span;
        // The pieces of the file around it on the source, nearest first: the one holding it, then its neighbours.
        const auto after = std::upper_bound(bySource.begin(), bySource.end(), start,
                                            [](std::int64_t at, const FileRun& p) { return at < p.sourceOffset; });
        std::vector<std::int64_t> deltas;
        if (const auto listed = listedElsewhere.find(key); listed != listedElsewhere.end() && listed->second.second.size == t.size)
          deltas.push_back(start - std::int64_t(listed->second.second.child.offset));
        if (after != bySource.begin()) deltas.push_back(std::prev(after)->sourceOffset - std::prev(after)->fileOffset);
        if (after != bySource.end()) deltas.push_back(after->sourceOffset - after->fileOffset);
        for (const std::int64_t delta : deltas) {
          const std::int64_t fileOffset = start - delta;
          if (fileOffset < g.firstMapOffset || fileOffset % std::int64_t(g.blockAlign) != 0 || fileOffset + span > input.fileLength ||
              t.sig != signature(std::uint64_t(fileOffset), t.bid))
            continue;
          const NeededBlock b{t.bid, fileOffset, t.size, &g};
          std::vector<FileRun> pieces;
          if (readBlock(start, std::size_t(span), bytes) && holdsBlock(bytes, b)) {
            pieces.push_back({fileOffset, start, span});
          } else {
            // Cut in two: its start where the piece of the file before it continues.
            const auto before = std::upper_bound(placed.begin(), placed.end(), fileOffset,
                                                 [](std::int64_t at, const FileRun& p) { return at < p.fileOffset; });
            if (before == placed.begin()) continue;
            const std::int64_t startDelta = std::prev(before)->sourceOffset - std::prev(before)->fileOffset;
            if (startDelta == delta || (pieces = stitchTwo(source, b, startDelta, delta, clusterSize(placed).smallest, r.stitchTries)).empty()) continue;
            bytes.resize(std::size_t(span));
            std::int64_t into = 0;
            for (const FileRun& p : pieces) {
              source.readAt(p.sourceOffset, std::span(bytes).subspan(std::size_t(into), std::size_t(p.length)));
              into += p.length;
            }
          }
          blocks.push_back(b);
          done.push_back(1);
          for (const FileRun& p : pieces) insertInFileOrder(placed, p);
          ++r.blocksUnlisted;
          if (isInternalBid(t.bid))
            for (const std::uint64_t child : internalBlockRefs(Bytes(bytes).first(t.size), g)) want(child);
          found = true;
          break;
        }
      }
    }
  }

  // 4b. A block found nowhere whole keeps the bytes where the anchors put it, when those are
  //     its own: the pieces of the file just before and just after it were proved in the same
  //     extent, and its trailer is there (damaged between) or sectors of it could not be read
  //     (the rest is what a sector copy gives). Not proved; counted as inferred.
  std::sort(placed.begin(), placed.end(), [](const FileRun& a, const FileRun& b) { return a.fileOffset < b.fileOffset; });
  const std::vector<FileRun> proved = placed;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    if (done[i]) continue;
    const NeededBlock& b = blocks[i];
    const auto at = predict(anchors, b.fileOffset, spanOf(b));
    if (!at) continue;
    const auto next = firstFrom(proved, b.fileOffset);
    const auto inExtent = [&](const FileRun& p) { return p.sourceOffset - p.fileOffset == *at - b.fileOffset; };
    if (next == proved.begin() || next == proved.end() || !inExtent(*std::prev(next)) || !inExtent(*next)) continue;
    std::vector<std::byte> bytes(std::size_t(spanOf(b)));
    std::vector<scan::SectorRun> unreadable;
    scan::readSectorsRetrying(source, *at, bytes, unreadable);
    const BlockTrailer t = b.trailerOf(bytes);
    const bool ownTrailer = blockKey(t.bid) == blockKey(b.bid) && t.size == b.size &&
                            t.sig == signature(std::uint64_t(b.fileOffset), t.bid);
    if (!ownTrailer && unreadable.empty()) continue;
    done[i] = 2;
    ++r.blocksInferred;
    placed.push_back({b.fileOffset, *at, spanOf(b)});
  }
  std::sort(placed.begin(), placed.end(), [](const FileRun& a, const FileRun& b) { return a.fileOffset < b.fileOffset; });

  // 4c. Blocks still missing whose trailer was found, on a source of few enough clusters of
  //     4 KiB or more: a block of up to 16 clusters in runs of a few, scattered, has its middle
  //     in runs far apart. Found as a run anywhere with every choice of cuts, as two runs where
  //     the block inflates (a check beyond its CRC), or cluster by cluster where another block
  //     of the file holds its bytes. Each pass may give the next block its start side. Not
  //     proved: inferred; a block that two different sets of clusters fit is left missing.
  if (std::find(done.begin(), done.end(), 0) != done.end() && !trailers.empty() && clusters.largest >= 4096) {
    std::vector<FileRun> bySource = inSourceOrder(placed);
    const auto taken = [&bySource](std::int64_t at, std::int64_t length) { return holdsPiece(bySource, at, length); };
    std::map<std::array<std::int64_t, 2>, std::unordered_multimap<std::uint32_t, std::uint32_t>> byCrc;  // by cluster size, grid
    const auto sourceClusters = [&](std::int64_t c, std::int64_t residue, std::int64_t from) -> const SourceClusters& {
      auto it = everywhere.find({c, residue, from});
      if (it == everywhere.end()) it = everywhere.try_emplace({c, residue, from}, source, c, residue, from, stop).first;
      return it->second;
    };
    // The bytes of file range [from, from + length) where the pieces found put them, or none.
    const auto readPlaced = [&](std::int64_t from, std::int64_t length, std::vector<std::byte>& out) {
      out.resize(std::size_t(length));
      auto run = std::upper_bound(placed.begin(), placed.end(), from, [](std::int64_t x, const FileRun& p) { return x < p.fileOffset; });
      if (run == placed.begin()) return false;
      --run;
      for (std::int64_t at = from; at < from + length; ++run) {
        if (run == placed.end() || run->fileOffset > at || run->fileOffset + run->length <= at) return false;
        const std::int64_t n = std::min(run->fileOffset + run->length, from + length) - at;
        if (source.readAt(run->sourceOffset + (at - run->fileOffset), std::span(out).subspan(std::size_t(at - from), std::size_t(n))) !=
            std::size_t(n))
          return false;
        at += n;
      }
      return true;
    };
    // Blocks found, by size and CRC, among the sizes of those missing: the twins they may have.
    std::unordered_map<std::uint64_t, std::size_t> twins;
    {
      std::unordered_set<std::uint16_t> sizes;
      for (const auto& [index, ends] : trailers)
        if (!done[index]) sizes.insert(blocks[index].size);
      std::vector<std::byte> bytes;
      for (std::size_t i = 0; i < blocks.size(); ++i)
        if (done[i] == 1 && sizes.count(blocks[i].size) && readPlaced(blocks[i].fileOffset, blocks[i].size, bytes))
          twins.emplace(std::uint64_t(blocks[i].size) << 32 | crc(bytes), i);
    }
    // The blocks whose trailer was found, in file order, as step 4 took them.
    std::vector<std::byte> twin, tail;
    std::vector<char> ambiguous(blocks.size(), 0);
    std::vector<std::array<std::int64_t, 3>> tried(blocks.size(), {-1, -1, -1});
    for (bool progress = true; progress;) {
      progress = false;
      for (const std::size_t index : order) {
        if (stop.load()) {
          r.stopped = true;
          return r;
        }
        if (done[index]) continue;
        const NeededBlock& b = blocks[index];
        const auto before = firstFrom(placed, b.fileOffset);
        const std::int64_t startDelta = before == placed.begin() ? 0 : std::prev(before)->sourceOffset - std::prev(before)->fileOffset;
        const std::int64_t knownTo = before == placed.begin() ? 0 : std::prev(before)->fileOffset + std::prev(before)->length;
        const std::array<std::int64_t, 3> state{startDelta, knownTo, std::int64_t(twins.size())};
        if (tried[index] == state) continue;  // nothing it rests on changed since it was looked for
        tried[index] = state;
        Pieced found;
        for (const std::int64_t end : trailers[index]) {
          const std::int64_t endDelta = end - (b.fileOffset + spanOf(b));
          tail.resize(b.trailerSize());
          if (endDelta % 512 != 0 || source.readAt(end - std::int64_t(tail.size()), tail) != tail.size()) continue;
          const auto twinOf = twins.find(std::uint64_t(b.size) << 32 | b.trailerOf(tail).crc);
          for (std::int64_t c = clusters.largest; c >= std::max<std::int64_t>(4096, clusters.smallest) && found.runs.empty() && !found.ambiguous; c /= 2) {
            if (source.size() / c > kInOrderBudget) continue;
            ClusterSlots slots(source, b, startDelta, endDelta, c);
            if (!slots.usable()) continue;
            const std::int64_t residue = slots.sourceResidue();
            const SourceClusters& wholes = sourceClusters(c, residue, 0);
            const bool firstOnStartSide = knownTo > b.fileOffset / c * c;
            if (twinOf != twins.end() && readPlaced(blocks[twinOf->second].fileOffset, b.size, twin)) {
              auto& lookup = byCrc[{c, residue}];
              if (lookup.empty())
                for (std::size_t i = 0; i < wholes.crcs.size(); ++i) lookup.emplace(wholes.crcs[i], std::uint32_t(i));
              found.runs = fromTwin(source, slots, b, twin, wholes, lookup, firstOnStartSide, taken);
            }
            if (found.runs.empty())
              found = piecedAnywhere(source, slots, b, wholes, sourceClusters(c, residue, slots.headOffset()), firstOnStartSide,
                                     parsed.header.encoding, taken);
          }
          if (!found.runs.empty() || found.ambiguous) break;
        }
        ambiguous[index] = found.ambiguous;
        if (found.runs.empty()) continue;
        done[index] = 2;
        ++r.blocksInferred;
        progress = true;
        for (const FileRun& p : found.runs) {
          insertInFileOrder(placed, p);
          insertInSourceOrder(bySource, p);
        }
        if (readPlaced(b.fileOffset, b.size, twin)) twins.emplace(std::uint64_t(b.size) << 32 | crc(twin), index);
      }
    }
    for (std::size_t i = 0; i < blocks.size(); ++i) r.blocksAmbiguous += !done[i] && ambiguous[i];
  }
  for (char d : done) r.blocksMissing += !d;

  placedOut = placed;

  // 5. The runs: each anchored run is trusted up to the first page or block that should lie in
  //    it but does not; the file system's cut lies after the last piece found in place before
  //    that one. The pieces found go on top.
  std::vector<FileRun> failed = failedBlocks;
  failed.insert(failed.end(), failedAnchored.begin(), failedAnchored.end());
  std::sort(failed.begin(), failed.end(), [](const FileRun& a, const FileRun& b) { return a.fileOffset < b.fileOffset; });
  std::vector<FileRun> runs;
  for (const FileRun& a : anchors.runs()) {
    std::int64_t trusted = a.fileOffset + a.length;
    const auto f = firstFrom(failed, a.fileOffset);
    if (f != failed.end() && f->fileOffset < trusted) {
      trusted = a.fileOffset + pageSize;
      for (auto p = firstFrom(placed, a.fileOffset); p != placed.end() && p->fileOffset < f->fileOffset; ++p)
        if (p->fileOffset + p->length <= f->fileOffset && p->sourceOffset - p->fileOffset == a.sourceOffset - a.fileOffset)
          trusted = std::max(trusted, p->fileOffset + p->length);
    }
    trusted = trusted / 512 * 512;
    if (trusted > a.fileOffset) runs.push_back({a.fileOffset, a.sourceOffset, trusted - a.fileOffset});
  }
  // Where the volume's extent map puts the file, over the anchors: it knows where an interval
  // was cut; the pieces proved go over both.
  // A header built anew is no part of them: it is written apart.
  const bool ownHeader = std::any_of(input.anchors.begin(), input.anchors.end(), [](const FileRun& a) { return a.fileOffset == 0; });
  for (const FileRun& m : mapped) {
    const std::int64_t from = std::max<std::int64_t>(m.fileOffset, ownHeader ? 0 : g.firstMapOffset);
    if (from < m.fileOffset + m.length) runs.push_back({from, m.sourceOffset + (from - m.fileOffset), m.fileOffset + m.length - from});
  }
  for (const FileRun& p : placed) {
    const std::int64_t from = p.fileOffset / 512 * 512;
    const std::int64_t to = (p.fileOffset + p.length + 511) / 512 * 512;
    runs.push_back({from, p.sourceOffset - (p.fileOffset - from), to - from});
  }
  std::vector<std::pair<std::int64_t, std::int64_t>> lost;  // blocks not found, in file order
  for (std::size_t i = 0; i < blocks.size(); ++i)
    if (!done[i]) lost.emplace_back(blocks[i].fileOffset, blocks[i].fileOffset + spanOf(blocks[i]));
  const auto overlapsMissing = [&lost](std::int64_t from, std::int64_t to) {
    auto it = std::lower_bound(lost.begin(), lost.end(), std::pair(from, std::int64_t(0)));
    if (it != lost.begin() && std::prev(it)->second > from) return true;
    return it != lost.end() && it->first < to;
  };
  // Each run is laid over those before it where they overlap: pieces found over the map over
  // the anchors, a piece placed twice once.
  std::map<std::int64_t, FileRun> painted;  // by file offset, apart
  for (const FileRun& run : runs) {
    const std::int64_t from = run.fileOffset, to = run.fileOffset + run.length;
    if (to <= from) continue;
    auto it = painted.lower_bound(from);
    if (it != painted.begin()) {
      FileRun& before = std::prev(it)->second;
      const std::int64_t end = before.fileOffset + before.length;
      if (end > to) painted.emplace(to, FileRun{to, before.sourceOffset + (to - before.fileOffset), end - to});
      before.length = std::min(end, from) - before.fileOffset;
    }
    while (it != painted.end() && it->first < to) {
      const FileRun under = it->second;
      it = painted.erase(it);
      if (under.fileOffset + under.length > to) {
        painted.emplace(to, FileRun{to, under.sourceOffset + (to - under.fileOffset), under.fileOffset + under.length - to});
        break;
      }
    }
    painted[from] = run;
  }
  // Runs of one extent next to each other are one; so are two with a gap between them, since
  // the bytes between two pieces of one extent lie between them on the source too (free space
  // of the file), unless a block that could not be found lies there.
  std::vector<FileRun> out;
  for (const auto& [from, run] : painted) {
    if (!out.empty()) {
      FileRun& last = out.back();
      const std::int64_t lastEnd = last.fileOffset + last.length;
      if (run.sourceOffset - run.fileOffset == last.sourceOffset - last.fileOffset &&
          (run.fileOffset == lastEnd || !overlapsMissing(lastEnd, run.fileOffset))) {
        last.length = run.fileOffset + run.length - last.fileOffset;
        continue;
      }
    }
    out.push_back(run);
  }
  for (FileRun& run : out) run.length = std::min(run.length, std::max<std::int64_t>(0, input.fileLength - run.fileOffset));
  std::erase_if(out, [](const FileRun& run) { return run.length <= 0; });
  r.runs = std::move(out);
  return r;
}

}  // namespace

ReassemblyResult reassemble(scan::ByteSource& source, const ReassemblyInput& input, const std::atomic<bool>& stop) {
  std::vector<FileRun> placed;
  bool piecesWanted = false;
  ReassemblyResult first = reassembleOnce(source, input, stop, nullptr, placed, piecesWanted);
  if (first.stopped || !piecesWanted) return first;
  // A tree page lies in pieces: put together where the pieces found put the file around it,
  // it lists what the first pass could not look for.
  std::sort(placed.begin(), placed.end(), [](const FileRun& a, const FileRun& b) { return a.fileOffset < b.fileOffset; });
  std::vector<FileRun> unused;
  return reassembleOnce(source, input, stop, &placed, unused, piecesWanted);
}

}  // namespace kestrix::pst
