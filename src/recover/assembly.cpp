#include "recover/assembly.h"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "pst/repair.h"
#include "io/copy_loop.h"
#include "format/header_block.h"
#include "format/map_page.h"
#include "scan/scan.h"
#include "io/size_text.h"

namespace kestrix::rebuild {

using scan::kPageSize;

namespace {

// IDs first .. last (inclusive); empty when first > last.
struct IdRange {
  std::int64_t first = 0;
  std::int64_t last = -1;
  bool empty() const { return first > last; }
  bool contains(std::int64_t id) const { return first <= id && id <= last; }
  bool overlaps(const IdRange& o) const { return !empty() && !o.empty() && first <= o.last && o.first <= last; }
};

// The IDs of a fragment that belong to a file of k intervals.
IdRange usedIds(const scan::Fragment& f, std::int64_t k) {
  return {std::max<std::int64_t>(f.first.id, 0), std::min<std::int64_t>(f.last.id, k - 1)};
}

void addMissingStretch(AssembledFile& file, std::int64_t from, std::int64_t to) {
  if (from >= to) return;
  file.missingCount += to - from;
  for (std::int64_t id = from; id < to && file.missingIds.size() < kMaxListedMissingIds; ++id)
    file.missingIds.push_back(std::int32_t(id));
}

const scan::Fragment* findFragment(std::span<const scan::Fragment> fragments, std::int32_t number) {
  // Fragments come numbered 1, 2, ... in order; search when a caller's list is not so.
  if (number >= 1 && std::size_t(number) <= fragments.size() && fragments[std::size_t(number - 1)].number == number)
    return &fragments[std::size_t(number - 1)];
  for (const auto& f : fragments)
    if (f.number == number) return &f;
  return nullptr;
}

// A chosen fragment's part of the file: IDs first .. last, interval `first` at sourceSector.
struct Piece {
  std::int64_t firstId = 0;
  std::int64_t lastId = -1;
  std::int64_t sourceSector = 0;
};

std::vector<Piece> piecesOf(std::span<const scan::Fragment> fragments, const AssembledFile& file) {
  const pst::Geometry& g = file.geometry();
  std::vector<Piece> pieces;
  for (std::int32_t number : file.fragmentNumbers) {
    const scan::Fragment* f = findFragment(fragments, number);
    if (!f)
      throw Error("Cannot write " + file.fileName + ": fragment " + std::to_string(number) +
                  " is not in the fragment list");
    const IdRange ids = usedIds(*f, file.declaredIntervals);
    if (ids.empty()) continue;
    pieces.push_back({ids.first, ids.last, f->first.sector + (ids.first - f->first.id) * g.intervalSectors()});
  }
  std::sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) { return a.firstId < b.firstId; });
  return pieces;
}

// A fragment that may fill intervals of a file: it does not start with ID 0 (and not below),
// and its IDs run upwards.
struct Candidate {
  std::int32_t firstId = 0;
  std::int32_t lastId = 0;
  std::int64_t sector = 0;  // of its first map page
  std::int32_t number = 0;
  std::size_t index = 0;    // in the fragment list
};

// The candidates by first ID, then by place on the source, then by list order: the ones that
// begin at an ID form one run, nearest first.
std::vector<Candidate> candidateIndex(std::span<const scan::Fragment> fragments, pst::FileLayout layout) {
  std::vector<Candidate> index;
  for (std::size_t i = 0; i < fragments.size(); ++i) {
    const scan::Fragment& f = fragments[i];
    if (f.layout() != layout || f.first.id <= 0 || f.last.id < f.first.id) continue;
    index.push_back({f.first.id, f.last.id, f.first.sector, f.number, i});
  }
  std::sort(index.begin(), index.end(), [](const Candidate& a, const Candidate& b) {
    if (a.firstId != b.firstId) return a.firstId < b.firstId;
    if (a.sector != b.sector) return a.sector < b.sector;
    return a.index < b.index;
  });
  return index;
}

// IDs firstId .. lastId of a file, interval firstId's map page at `sector` on the source.
struct Placed {
  std::int64_t firstId = 0;
  std::int64_t lastId = -1;
  std::int64_t sector = 0;
};

// Reads the file's own B-tree pages where the pieces chosen so far and one candidate put them,
// to tell which of two competing candidates belongs with the rest of the file. The header
// names the root page of each tree by block ID and file offset (ROOT.BREFNBT and
// ROOT.BREFBBT); each page above the leaves names its children the same way. A page's
// trailer carries its type twice and its BID.
class TreeCheck {
 public:
  // budget: the pages that may still be read, shared by the files of one assembly.
  TreeCheck(scan::ByteSource& src, std::span<const std::byte> header, const pst::Geometry& g, std::int64_t& budget)
      : m_src(src), m_g(g), m_budget(budget) {
    std::vector<std::byte> whole(std::max<std::size_t>(g.header.size, pst::kHeaderSize));
    std::copy_n(header.begin(), std::min(header.size(), whole.size()), whole.begin());
    const pst::ParsedHeader parsed = pst::parseHeader(whole, g.layout);
    if (parsed.layout != g.layout) return;
    m_roots.push_back({parsed.header.nodeRoot.bid, std::int64_t(parsed.header.nodeRoot.offset), pst::kPageNodeTree});
    m_roots.push_back({parsed.header.blockRoot.bid, std::int64_t(parsed.header.blockRoot.offset), pst::kPageBlockTree});
  }

  // +1 for each tree page inside the candidate that carries the type and BID its parent
  // names, -1 for each that does not. At most kMaxPages pages are read.
  int score(const std::vector<Placed>& chosen, const Placed& candidate) {
    int score = 0;
    int reads = 0;
    std::vector<Ref> queue = m_roots;
    std::vector<std::byte> page(m_g.pageSize);
    for (std::size_t next = 0; next < queue.size() && reads < kMaxPages && m_budget > 0; ++next) {
      const Ref ref = queue[next];
      bool inCandidate = false;
      const std::int64_t at = locate(chosen, candidate, ref.offset, inCandidate);
      if (at < 0) continue;
      ++reads;
      --m_budget;
      if (m_src.readAt(at, page) != page.size()) continue;
      const pst::PageTrailer trailer = pst::pageTrailer(page, m_g);
      const bool matches = trailer.type == ref.type && page[m_g.pageTrailerAt() + 1] == page[m_g.pageTrailerAt()] &&
                           trailer.bid == ref.bid;
      if (inCandidate) score += matches ? 1 : -1;
      if (!matches) continue;
      const auto parsed = pst::parseTreePage(page, m_g);
      if (!parsed || parsed->level == 0) continue;
      for (const pst::TreeEntry& e : parsed->entries) queue.push_back({e.child.bid, std::int64_t(e.child.offset), ref.type});
    }
    return score;
  }

  bool usable() const { return !m_roots.empty(); }

 private:
  static constexpr int kMaxPages = 64;
  struct Ref {
    std::uint64_t bid;
    std::int64_t offset;  // in the file
    std::uint8_t type;
  };

  // The source byte of file offset `offset` (a whole page inside one interval), or -1 where
  // neither the candidate nor a chosen piece holds it.
  std::int64_t locate(const std::vector<Placed>& chosen, const Placed& candidate, std::int64_t offset, bool& inCandidate) const {
    const pst::Geometry& g = m_g;
    if (offset < g.firstMapOffset) return -1;
    const std::int64_t id = (offset - g.firstMapOffset) / g.mapInterval;
    const std::int64_t within = (offset - g.firstMapOffset) % g.mapInterval;
    if (within + std::int64_t(g.pageSize) > g.mapInterval) return -1;
    const Placed* piece = nullptr;
    if (candidate.firstId <= id && id <= candidate.lastId) {
      piece = &candidate;
      inCandidate = true;
    } else {
      const auto it = std::upper_bound(chosen.begin(), chosen.end(), id,
                                       [](std::int64_t v, const Placed& p) { return v < p.firstId; });
      if (it == chosen.begin() || std::prev(it)->lastId < id) return -1;
      piece = &*std::prev(it);
    }
    return (piece->sector + (id - piece->firstId) * g.intervalSectors()) * std::int64_t(kPageSize) + within;
  }

  scan::ByteSource& m_src;
  const pst::Geometry& m_g;
  std::int64_t& m_budget;
  std::vector<Ref> m_roots;
};

// Of competing candidates (all beginning at the same ID), the one the file takes: the best
// agreement with its own trees first, then the one nearest after the fragment chosen last
// (at sector prev), else the one nearest before it. Ties keep the earlier in list order.
const Candidate* chooseCandidate(std::span<const Candidate> run, std::int64_t prev, std::int64_t k,
                                 TreeCheck* trees, const std::vector<Placed>& chosen) {
  std::vector<int> scores(run.size(), 0);
  if (trees && run.size() > 1)
    for (std::size_t i = 0; i < run.size(); ++i)
      scores[i] = trees->score(chosen, {run[i].firstId, std::min<std::int64_t>(run[i].lastId, k - 1), run[i].sector});
  const int top = *std::max_element(scores.begin(), scores.end());
  const Candidate* best = nullptr;
  for (std::size_t i = 0; i < run.size(); ++i) {
    if (scores[i] != top) continue;
    const Candidate* c = &run[i];
    if (!best) {
      best = c;
      continue;
    }
    const bool after = c->sector > prev, bestAfter = best->sector > prev;
    if (after != bestAfter ? after : after ? c->sector < best->sector : c->sector > best->sector) best = c;
    else if (c->sector == best->sector && c->index < best->index) best = c;
  }
  return best;
}

// The whole intervals a header declares, or nullopt past what page IDs can number.
std::optional<std::int64_t> declaredIntervals(std::span<const std::byte, kPageSize> header, const pst::Geometry& g) {
  const auto end = static_cast<std::uint64_t>(scan::PstHeaderEndOffset(header, g.layout));
  if (end < std::uint64_t(g.firstMapOffset)) return 0;
  const std::uint64_t k = (end - std::uint64_t(g.firstMapOffset)) / std::uint64_t(g.mapInterval);
  if (k > std::uint64_t(std::numeric_limits<std::int32_t>::max())) return std::nullopt;
  return std::int64_t(k);
}

// The intervals of a file whose header fails its CRC, told from what the file holds: `run`,
// the intervals that follow its first one without a gap, is its least (the roots the header
// names are no better evidence than its length, under the same failed CRC); the declared
// count stands when it is no less and fits in `room`, the source's size (its intervals may lie
// anywhere on it), else the run is taken. One flipped bit in the length field then neither cuts
// the file short nor makes it unwritably long.
std::int64_t evidencedIntervals(std::optional<std::int64_t> declared, std::int64_t run, std::int64_t room, const pst::Geometry& g) {
  const std::int64_t fits = room < g.firstMapOffset ? 0 : (room - g.firstMapOffset) / g.mapInterval;
  return declared && *declared >= run && *declared <= fits ? *declared : run;
}

// Whether two stretches of the source hold the same bytes: count intervals from sector a
// and from sector b. At most kMaxComparedIntervals are compared; a longer stretch, or one that
// cannot be read whole, counts as different. So does every stretch once kBudget intervals have
// been compared in one assembly: a source crafted to hold thousands of copies of every
// interval costs a bounded time, and its files are marked rather than compared.
class SameBytes {
 public:
  static constexpr std::int64_t kMaxComparedIntervals = 64;
  static constexpr std::int64_t kBudget = 4096;  // 1 GiB read twice
  SameBytes(scan::ByteSource& src, const pst::Geometry& g, std::int64_t budget = kBudget) : m_src(src), m_g(g), m_budget(budget) {}
  bool operator()(std::int64_t a, std::int64_t b, std::int64_t count) {
    if (count > kMaxComparedIntervals || count > m_budget) return false;
    const pst::Geometry& g = m_g;
    m_budget -= count;
    m_a.resize(std::size_t(g.mapInterval));
    m_b.resize(std::size_t(g.mapInterval));
    for (std::int64_t i = 0; i < count; ++i) {
      const std::int64_t at = i * g.intervalSectors() * std::int64_t(kPageSize);
      if (m_src.readAt(a * std::int64_t(kPageSize) + at, m_a) != m_a.size() ||
          m_src.readAt(b * std::int64_t(kPageSize) + at, m_b) != m_b.size() || m_a != m_b)
        return false;
    }
    return true;
  }

 private:
  scan::ByteSource& m_src;
  const pst::Geometry& m_g;
  std::vector<std::byte> m_a, m_b;
  std::int64_t m_budget;
};

// Puts together the file whose first interval found is `start` (ID 0, or the first ID after
// intervals lost from its beginning), whose header declares k intervals. False when the stop
// flag ended it.
// With untilGap (a file whose header, and so its length, is lost), k is where nothing begins:
// the file ends before the first ID that no fragment begins at.
bool assembleFile(AssembledFile& file, const scan::Fragment& start, std::int64_t& k, bool untilGap,
                  std::span<const Candidate> index, TreeCheck* trees, SameBytes& same,
                  const std::atomic<bool>& stop) {
  const pst::Geometry& g = file.geometry();
  addMissingStretch(file, 0, std::min<std::int64_t>(start.first.id, k));
  std::vector<Placed> chosen{{start.first.id, std::max<std::int64_t>(start.first.id, std::min<std::int64_t>(start.last.id, k - 1)),
                              start.first.sector}};
  std::int64_t prev = start.first.sector;
  file.fragmentNumbers.push_back(start.number);
  std::int64_t u = chosen.back().lastId + 1;
  const auto firstAbove = [&](std::int64_t id) {
    return std::upper_bound(index.begin(), index.end(), id,
                            [](std::int64_t v, const Candidate& c) { return v < c.firstId; });
  };
  while (u < k) {
    if (stop.load(std::memory_order_relaxed)) return false;
    const auto from = std::lower_bound(index.begin(), index.end(), u,
                                       [](const Candidate& c, std::int64_t v) { return c.firstId < v; });
    if (from == index.end() || from->firstId != u) {
      if (untilGap) {
        k = u;
        break;
      }
      // Nothing begins at u: u and every ID up to the next first ID are missing.
      const std::int64_t next = from == index.end() ? k : std::min<std::int64_t>(from->firstId, k);
      addMissingStretch(file, u, next);
      u = next;
      continue;
    }
    const Candidate* best = chooseCandidate(std::span(from, firstAbove(u)), prev, k, trees, chosen);
    const std::int64_t last = std::min<std::int64_t>(best->lastId, k - 1);
    // Every other candidate that begins within the chosen IDs is ruled out by this choice.
    // Where its bytes differ from the chosen ones it is another version of those IDs.
    IdConflict conflict;
    conflict.firstId = std::numeric_limits<std::int32_t>::max();
    for (auto it = from; it != index.end() && it->firstId <= last; ++it) {
      if (&*it == best) continue;
      const std::int64_t overlapEnd = std::min<std::int64_t>(it->lastId, last);
      const std::int64_t bestAt = best->sector + (it->firstId - u) * g.intervalSectors();
      if (same(bestAt, it->sector, overlapEnd - it->firstId + 1)) continue;
      conflict.firstId = std::min(conflict.firstId, it->firstId);
      conflict.lastId = std::max(conflict.lastId, std::int32_t(overlapEnd));
      if (conflict.others.size() < kMaxListedConflictFragments) conflict.others.push_back(it->number);
      ++conflict.otherCount;
    }
    if (conflict.otherCount > 0) {
      conflict.chosen = best->number;
      file.conflicts.push_back(std::move(conflict));
    }
    chosen.push_back({u, last, best->sector});
    prev = best->sector;
    file.fragmentNumbers.push_back(best->number);
    u = last + 1;
  }
  return true;
}

// Where a file whose header is lost ends, when it is the only file the fragments start: it
// ended at `end`, the first ID no fragment begins at; past that gap the fragments can belong to
// no other file, so it goes on to the highest ID found, the IDs between missing. Only while
// every ID is held by one fragment at most: two copies of an ID mean more than one file's (or
// version's) intervals on the source, and then it keeps its end. Only IDs that keep the file
// within the source's length count, which leaves out stray map pages of absurd IDs.
std::int64_t loneFileEnd(std::span<const scan::Fragment> fragments, std::int64_t sourceSize, std::int64_t end,
                         const pst::Geometry& g) {
  std::vector<std::pair<std::int64_t, std::int64_t>> held;  // first and last ID
  for (const scan::Fragment& f : fragments)
    if (f.layout() == g.layout && g.intervalOffset(std::int64_t(f.last.id) + 1) <= sourceSize) held.emplace_back(f.first.id, f.last.id);
  std::sort(held.begin(), held.end());
  for (std::size_t i = 1; i < held.size(); ++i)
    if (held[i].first <= held[i - 1].second) return end;
  for (const auto& [first, last] : held) end = std::clamp<std::int64_t>(last + 1, end, std::numeric_limits<std::int32_t>::max());
  return end;
}

// A header found away from map page 0, and how many of its bytes are the file's: its first
// sector, or both when the CRC over the whole header holds across them.
struct FoundHeader {
  std::int64_t sector = 0;
  std::int64_t bytes = kPageSize;
  pst::Header header;
};

// Headers the scan found that no file took yet, each with how well it agrees with the
// fragments: for each of its two roots, 2 where a fragment holding the root's interval puts a
// tree page of that type and BID at the root's offset, 1 where such a page lies anywhere on
// the source with the signature of the root's offset, else 0. A header of another layout, or
// one whose roots are found nowhere, agrees with nothing.
std::vector<std::pair<int, FoundHeader>> displacedHeaders(std::span<const scan::Fragment> fragments, scan::ByteSource& src,
                                                          const scan::LayoutEvidence& index, const pst::Geometry& g,
                                                          const std::unordered_set<std::int64_t>& taken) {
  std::vector<std::pair<int, FoundHeader>> out;
  const auto pageAt = [&](std::int64_t offset) -> const scan::TreePageHit* {
    const auto it = std::lower_bound(index.treePages.begin(), index.treePages.end(), offset,
                                     [](const scan::TreePageHit& p, std::int64_t at) { return p.offset < at; });
    return it != index.treePages.end() && it->offset == offset ? &*it : nullptr;
  };
  // At most 256 headers are weighed, each against every fragment and tree page: a source
  // crafted full of headers and map pages costs a bounded time.
  for (std::size_t h = 0; h < index.headers.size() && h < 256; ++h) {
    const std::int64_t at = index.headers[h];
    const std::int64_t sector = at / std::int64_t(kPageSize);
    if (taken.count(sector)) continue;
    std::array<std::byte, 2 * kPageSize> bytes{};
    if (src.readAt(at, bytes) < kPageSize) continue;
    pst::ParsedHeader parsed = pst::parseHeader(bytes, g.layout);
    // The part the first sector's CRC covers names the roots and the length; the rest may lie elsewhere.
    if (parsed.state == pst::HeaderState::Missing || parsed.state == pst::HeaderState::NotUnicode) continue;
    const auto wholeHeader = std::int64_t((g.header.size + kPageSize - 1) / kPageSize * kPageSize);
    FoundHeader found{sector, parsed.state == pst::HeaderState::Sound ? wholeHeader : std::int64_t(kPageSize), parsed.header};
    int score = 0;
    for (const auto& [root, type] : {std::pair(found.header.nodeRoot, pst::kPageNodeTree),
                                     std::pair(found.header.blockRoot, pst::kPageBlockTree)}) {
      const auto ib = std::int64_t(root.offset);
      if (ib < g.firstMapOffset || root.bid == 0) continue;
      const std::int64_t id = (ib - g.firstMapOffset) / g.mapInterval, within = ib - g.intervalOffset(id);
      int best = 0;
      for (const scan::Fragment& f : fragments) {
        if (f.layout() != g.layout || id < f.first.id || id > f.last.id) continue;
        const scan::TreePageHit* p = pageAt((f.first.sector + (id - f.first.id) * g.intervalSectors()) * std::int64_t(kPageSize) + within);
        if (p && p->type == type && pst::blockKey(p->bid) == pst::blockKey(root.bid)) best = 2;
      }
      for (std::size_t i = 0; best == 0 && i < index.treePages.size(); ++i) {
        const scan::TreePageHit& p = index.treePages[i];
        std::vector<std::byte> page(g.pageSize);
        if (p.type == type && pst::blockKey(p.bid) == pst::blockKey(root.bid) && src.readAt(p.offset, page) == page.size() &&
            pst::isValidPage(page, root.offset, g))
          best = 1;
      }
      score += best;
    }
    if (score > 0) out.emplace_back(score, found);
  }
  return out;
}

}  // namespace

RunsView::RunsView(scan::ByteSource& src, std::span<const CopyRun> runs, std::int64_t size)
    : m_src(src), m_runs(runs), m_size(size) {}

std::size_t RunsView::readAt(std::int64_t offset, std::span<std::byte> out) {
  if (offset < 0 || offset >= m_size) return 0;
  out = out.first(std::size_t(std::min<std::int64_t>(std::int64_t(out.size()), m_size - offset)));
  std::fill(out.begin(), out.end(), std::byte{0});
  const std::int64_t end = offset + std::int64_t(out.size());
  auto run = std::upper_bound(m_runs.begin(), m_runs.end(), offset,
                              [](std::int64_t at, const CopyRun& r) { return at < r.outputOffset + r.length; });
  for (; run != m_runs.end() && run->outputOffset < end; ++run) {
    const std::int64_t from = std::max(offset, run->outputOffset);
    const std::int64_t to = std::min(end, run->outputOffset + run->length);
    if (from < to) {
      m_sourceBytesRead += to - from;
      m_src.readAt(run->sourceOffset + (from - run->outputOffset), out.subspan(std::size_t(from - offset), std::size_t(to - from)));
    }
  }
  return out.size();
}

std::vector<CopyRun> intervalRuns(std::span<const scan::Fragment> fragments, const AssembledFile& file) {
  const pst::Geometry& g = file.geometry();
  std::vector<CopyRun> runs;
  for (const Piece& p : piecesOf(fragments, file))
    for (std::int64_t id = p.firstId; id <= p.lastId; ++id)
      runs.push_back({(p.sourceSector + (id - p.firstId) * g.intervalSectors()) * std::int64_t(kPageSize),
                      g.intervalOffset(id), g.mapInterval});
  return runs;
}

std::int64_t AssembledFile::outputSize() const { return geometry().intervalOffset(std::max<std::int64_t>(declaredIntervals, 0)); }

namespace {

// Puts together the files of one layout from its fragments (the others' are passed over),
// numbering them on from the files already in result. False when the stop flag ended it.
bool assembleLayout(const pst::Geometry& g, std::span<const scan::Fragment> fragments, scan::ByteSource& src,
                    const std::atomic<bool>& stop, const scan::SourceIndex* sourceIndex, std::int64_t& treePages,
                    Assembly& result) {
  const std::size_t filesBefore = result.files.size();
  const std::vector<Candidate> index = candidateIndex(fragments, g.layout);
  SameBytes same(src, g);
  const auto ours = [&](const scan::Fragment& f) { return f.layout() == g.layout; };
  const scan::LayoutEvidence* evidence = sourceIndex ? &sourceIndex->of(g.layout) : nullptr;
  // The fragments the files took and their header sectors, so that no file is started twice.
  std::unordered_set<std::int32_t> taken;
  std::unordered_set<std::int64_t> headers;
  const auto keep = [&](AssembledFile&& file) {
    taken.insert(file.fragmentNumbers.begin(), file.fragmentNumbers.end());
    headers.insert(file.headerSector);
    result.files.push_back(std::move(file));
  };
  // Starts a file at `start` whose header lies at headerSector. False when the stop flag ended it.
  // A file whose header is lost ends at the first ID nothing begins at, or at lostHeaderEnd.
  const auto startFile = [&](const scan::Fragment& start, std::int64_t headerSector,
                             std::optional<std::int64_t> lostHeaderEnd = std::nullopt,
                             std::int64_t headerBytes = -1, bool firstIntervalsLost = false) {
    if (headerBytes < 0) headerBytes = g.firstMapOffset;  // the bytes before map page 0
    std::array<std::byte, kPageSize> header{};
    if (src.readAt(headerSector * std::int64_t(kPageSize), header) != header.size()) return true;
    // A header whose version names another layout is another file's.
    const pst::FileLayout named = pst::layoutOf(pst::le16(header, pst::kHeaderVersionAt));
    const bool magic = scan::HasPstMagic(header) && (named == g.layout || named == pst::FileLayout::Unknown);
    // Without the magic there is no header to place the file by: only its ID 0 map page can
    // start it, unless no file starts at all (firstIntervalsLost, below).
    if (!magic && start.first.id != 0 && !firstIntervalsLost) return true;
    std::optional<std::int64_t> k =
        magic ? declaredIntervals(header, g) : lostHeaderEnd.value_or(std::numeric_limits<std::int32_t>::max());
    // A header whose CRC fails is a hint: its length stands only where what the file holds
    // agrees with it (see evidencedIntervals).
    if (magic && !pst::isHeaderSector(header)) {
      std::int64_t run = std::numeric_limits<std::int32_t>::max();
      AssembledFile trial;
      SameBytes uncompared(src, g, 0);
      if (!assembleFile(trial, start, run, true, index, nullptr, uncompared, stop)) return false;
      k = evidencedIntervals(k, run, src.size(), g);
    }
    if (k && *k <= start.first.id) return true;

    AssembledFile file;
    file.number = std::int32_t(result.files.size() + 1);
    file.layout = g.layout;
    file.fileName = "file" + std::to_string(file.number) + (g.layout == pst::FileLayout::Unicode4K ? ".ost" : ".pst");
    file.declaredSize = magic ? scan::PstHeaderEndOffset(header, g.layout) : 0;
    file.headerSector = headerSector;
    file.headerBytes = headerBytes;
    file.headerHasMagic = magic;
    if (!k) {
      file.fragmentNumbers.push_back(start.number);
      file.unbuildable = "its header declares " + std::to_string(std::uint64_t(file.declaredSize)) +
                         " bytes, more intervals than map page IDs can number (at most 2147483647)";
      keep(std::move(file));
      return true;
    }
    TreeCheck trees(src, header, g, treePages);
    if (!assembleFile(file, start, *k, !magic && !lostHeaderEnd, index, magic && trees.usable() ? &trees : nullptr, same, stop))
      return false;
    file.declaredIntervals = std::int32_t(*k);
    if (!magic) file.declaredSize = g.intervalOffset(*k);
    for (std::int32_t number : file.fragmentNumbers) {
      const scan::Fragment& f = *findFragment(fragments, number);
      const std::int64_t beyond = std::int64_t(f.last.id) - std::max<std::int64_t>(f.first.id, *k) + 1;
      file.intervalsBeyondEnd += std::max<std::int64_t>(beyond, 0);
    }
    keep(std::move(file));
    return true;
  };
  // An ID 0 fragment without its header in place takes the header found elsewhere that agrees
  // best with the fragments (displacedHeaders), nearest first among equals; each header serves
  // one file, and the headers in place are no candidates.
  std::unordered_map<std::int32_t, FoundHeader> moved;  // fragment number -> its header
  if (evidence && !evidence->headers.empty()) {
    std::vector<const scan::Fragment*> headless;
    std::unordered_set<std::int64_t> inPlace;
    for (const scan::Fragment& start : fragments) {
      if (!ours(start) || start.first.id != 0 || start.first.sector < g.firstMapSector()) continue;
      std::array<std::byte, kPageSize> header{};
      const std::int64_t sector = start.first.sector - g.firstMapSector();
      if (src.readAt(sector * std::int64_t(kPageSize), header) == header.size() && scan::HasPstMagic(header)) inPlace.insert(sector);
      else headless.push_back(&start);
    }
    if (!headless.empty()) {
      auto found = displacedHeaders(fragments, src, *evidence, g, inPlace);
      for (const scan::Fragment* start : headless) {
        const std::int64_t home = start->first.sector - g.firstMapSector();
        auto best = found.end();
        for (auto it = found.begin(); it != found.end(); ++it)
          if (best == found.end() || it->first > best->first ||
              (it->first == best->first && std::llabs(it->second.sector - home) < std::llabs(best->second.sector - home)))
            best = it;
        if (best == found.end()) break;
        moved.emplace(start->number, best->second);
        found.erase(best);
      }
    }
  }
  for (const scan::Fragment& start : fragments) {
    if (!ours(start) || start.first.id != 0 || start.first.sector < g.firstMapSector()) continue;
    const auto header = moved.find(start.number);
    if (stop.load(std::memory_order_relaxed) ||
        !(header == moved.end() ? startFile(start, start.first.sector - g.firstMapSector())
                                : startFile(start, header->second.sector, std::nullopt, header->second.bytes)))
      return false;
  }
  // A file whose first intervals are lost, its header still in place before them: a fragment
  // that no file took and whose first ID lies that many intervals after a header of its own.
  for (const scan::Fragment& start : fragments) {
    const std::int64_t headerSector = start.first.sector - g.firstMapSector() - start.first.id * g.intervalSectors();
    if (!ours(start) || start.first.id <= 0 || headerSector < 0 || taken.count(start.number) || headers.count(headerSector))
      continue;
    if (stop.load(std::memory_order_relaxed) || !startFile(start, headerSector)) return false;
  }
  // No file at all, its first map page lost with the cluster that held it: the fragment of the
  // lowest ID starts one. Its header is the one found elsewhere that agrees best with the
  // fragments (displacedHeaders), else it lies where that fragment puts it and, lost too, is
  // built anew from what the file holds. The IDs below are missing; the blocks they held are
  // found by their trailers.
  if (result.files.size() == filesBefore && std::any_of(fragments.begin(), fragments.end(), ours)) {
    const auto lowest = std::min_element(fragments.begin(), fragments.end(), [&](const scan::Fragment& a, const scan::Fragment& b) {
      return std::tuple(!ours(a), a.first.id, a.first.sector) < std::tuple(!ours(b), b.first.id, b.first.sector);
    });
    std::int64_t headerSector = lowest->first.sector - g.firstMapSector() - lowest->first.id * g.intervalSectors();
    std::int64_t headerBytes = g.firstMapOffset;
    if (evidence && !evidence->headers.empty()) {
      const auto found = displacedHeaders(fragments, src, *evidence, g, {});
      const auto best = std::max_element(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
      if (best != found.end()) {
        headerSector = best->second.sector;
        headerBytes = best->second.bytes;
      }
    }
    if (lowest->first.id > 0 && headerSector >= 0 &&
        (stop.load(std::memory_order_relaxed) || !startFile(*lowest, headerSector, std::nullopt, headerBytes, true)))
      return false;
  }
  // Alone: the only file of its layout (pages of another layout are never taken for its own).
  if (result.files.size() == filesBefore + 1) result.files[filesBefore].alone = true;
  // A lone file without its header ended at its first gap; it may go on past it (loneFileEnd).
  if (result.files.size() == filesBefore + 1 && !result.files[filesBefore].headerHasMagic &&
      result.files[filesBefore].unbuildable.empty()) {
    const std::int64_t end = loneFileEnd(fragments, src.size(), result.files[filesBefore].declaredIntervals, g);
    if (end > result.files[filesBefore].declaredIntervals) {
      const AssembledFile lone = std::move(result.files[filesBefore]);
      result.files.pop_back();
      const scan::Fragment& first = *findFragment(fragments, lone.fragmentNumbers.front());
      if (!startFile(first, lone.headerSector, end, g.firstMapOffset, first.first.id != 0)) return false;
      result.files[filesBefore].alone = true;
    }
  }
  return true;
}

}  // namespace

Assembly AssembleFiles(std::span<const scan::Fragment> fragments, scan::ByteSource& src, const std::atomic<bool>& stop,
                       const scan::SourceIndex* sourceIndex) {
  Assembly result;
  std::int64_t treePages = 65536;  // 32 MiB of tree pages read in all, however many candidates compete
  for (const pst::Geometry* g : {&pst::kUnicodeGeometry, &pst::kAnsiGeometry, &pst::kUnicode4KGeometry})
    if (!assembleLayout(*g, fragments, src, stop, sourceIndex, treePages, result)) {
      result.stopped = true;
      break;
    }
  return result;
}

std::vector<AssembledFile> AssembleFiles(std::span<const scan::Fragment> fragments, scan::ByteSource& src) {
  const std::atomic<bool> never{false};
  return AssembleFiles(fragments, src, never).files;
}

FileListRow MakeFileListRow(const AssembledFile& file) {
  FileListRow row;
  row.number = std::to_string(file.number);
  row.name = file.fileName;
  row.size = sources::SizeToText(static_cast<std::uint64_t>(file.declaredSize));
  row.missing = std::to_string(file.missingCount);
  if (!file.conflicts.empty()) row.missing += std::string(" ") + kTwoVersionsMark;
  for (std::size_t i = 0; i < file.fragmentNumbers.size(); ++i)
    row.fragments += (i ? "," : "") + std::to_string(file.fragmentNumbers[i]);
  return row;
}

std::string describeMissingIds(const AssembledFile& file, std::size_t maxRuns) {
  std::string text = describeIds(file.missingIds, maxRuns);
  // missingIds holds the first IDs only: the rest are named by an ellipsis too.
  if (std::int64_t(file.missingIds.size()) < file.missingCount && !text.ends_with(", ...")) text += ", ...";
  return text;
}

std::string describeIds(std::span<const std::int32_t> ids, std::size_t maxRuns) {
  std::string text;
  std::size_t runs = 0;
  for (std::size_t i = 0; i < ids.size();) {
    std::size_t j = i;
    while (j + 1 < ids.size() && std::int64_t(ids[j + 1]) == std::int64_t(ids[j]) + 1) ++j;
    if (runs == maxRuns) return text + ", ...";
    text += (runs ? ", " : "") + std::to_string(ids[i]) + (j > i ? "-" + std::to_string(ids[j]) : "");
    ++runs;
    i = j + 1;
  }
  return text;
}

std::string describeConflicts(const AssembledFile& file, std::size_t maxConflicts) {
  std::string text;
  for (std::size_t i = 0; i < file.conflicts.size(); ++i) {
    if (i == maxConflicts) return text + "; ...";
    const IdConflict& c = file.conflicts[i];
    text += (i ? "; " : "") + std::to_string(c.candidates()) + " candidates for IDs " + std::to_string(c.firstId) +
            (c.lastId > c.firstId ? "-" + std::to_string(c.lastId) : "") + " (fragment " + std::to_string(c.chosen) +
            " taken, ";
    for (std::size_t j = 0; j < c.others.size(); ++j) text += (j ? "," : "") + std::to_string(c.others[j]);
    if (std::int64_t(c.others.size()) < c.otherCount) text += ",...";
    text += " passed over)";
  }
  return text;
}

RecoverResult WriteAssembledFile(scan::ByteSource& src, std::span<const scan::Fragment> fragments,
                                 const AssembledFile& file, OutputFile& output, const std::atomic<bool>& stop,
                                 const RecoverProgressFn& progress, const scan::SourceIndex* index) {
  if (!file.unbuildable.empty()) throw Error("Cannot write " + file.fileName + ": " + file.unbuildable);
  const pst::Geometry& g = file.geometry();
  RecoverResult result;
  const std::vector<CopyRun> runs = intervalRuns(fragments, file);
  const std::int64_t total = g.firstMapOffset + std::int64_t(runs.size()) * g.mapInterval;
  if (progress) progress({0, total});

  std::vector<std::byte> header(static_cast<std::size_t>(g.firstMapOffset));
  if (file.headerHasMagic && file.headerSector >= 0) {
    scan::readSectorsRetrying(src, file.headerSector * std::int64_t(kPageSize),
                              std::span(header).first(std::size_t(file.headerBytes)), result.unreadable);
    result.ownHeader = scan::HasPstMagic(header);
  }
  // Without its magic the header's sectors are not part of the file after all: not written.
  if (!result.ownHeader) result.unreadable.clear();
  // A file whose header is lost gets the one repair builds from what its intervals hold, in its
  // own layout (one the intervals prove to be another is not the file's).
  if (!file.headerHasMagic) {
    RunsView view(src, runs, file.outputSize());
    if (auto rebuilt = pst::rebuiltHeader(view, stop); rebuilt && pst::layoutOf(rebuilt->version) == file.layout) {
      // The roots found in the intervals as anchored may be an old generation of the trees:
      // the newest the source holds for this file wins.
      if (index) {
        std::vector<pst::FileRun> anchors;
        for (const CopyRun& run : runs) anchors.push_back({run.outputOffset, run.sourceOffset, run.length});
        for (auto [root, type] : {std::pair(&rebuilt->nodeRoot, pst::kPageNodeTree), std::pair(&rebuilt->blockRoot, pst::kPageBlockTree)})
          if (const auto newer = pst::newestRoot(src, *index, anchors, file.outputSize(), type, file.alone, g);
              newer && pst::blockKey(newer->bid) > pst::blockKey(root->bid))
            *root = *newer;
      }
      std::fill(header.begin(), header.end(), std::byte{0});
      pst::buildHeader(*rebuilt, header, {}, g);
      result.headerRebuilt = true;
    } else if (stop.load()) {
      result.stopped = true;
      return result;
    }
  }

  if ((result.ownHeader || result.headerRebuilt) && index && !index->of(file.layout).treePages.empty()) {
    pst::ReassemblyInput in;
    in.layout = file.layout;
    in.header = header;
    in.index = index;
    in.fileLength = file.outputSize();
    if (result.ownHeader) in.anchors.push_back({0, file.headerSector * std::int64_t(kPageSize), file.headerBytes});
    for (const CopyRun& run : runs) in.anchors.push_back({run.outputOffset, run.sourceOffset, run.length});
    result.blocks = pst::reassemble(src, in, stop);
    if (result.blocks.stopped) {
      result.stopped = true;
      return result;
    }
    if (result.blocks.treesFound && !result.blocks.verifiedAsAnchored()) {
      result.reassembled = true;
      std::vector<CopyRun> pieces;
      for (const pst::FileRun& r : result.blocks.runs) pieces.push_back({r.sourceOffset, r.fileOffset, r.length});
      result.unreadable.clear();
      const std::int64_t bytes = [&] {
        std::int64_t n = 0;
        for (const CopyRun& r : pieces) n += r.length;
        return n;
      }();
      if (progress) progress({0, bytes});
      if (result.headerRebuilt) output.writeAt(0, header);
      const CopyResult copied = copyRuns(src, pieces, output, stop, [&](const CopyProgress& p) {
        if (progress) progress({p.bytesDone, bytes});
      });
      result.stopped = copied.stopped;
      result.unreadable = copied.unreadable;
      result.sectorsPastEnd = copied.sectorsPastEnd;
      result.intervalsWritten = std::int64_t(runs.size());
      result.intervalsMissing = file.missingCount;
      result.size = file.outputSize();
      if (!result.stopped) output.resize(result.size);
      return result;
    }
  }
  // A Unicode file whose header could not be built gets the fixed block, whose roots check
  // calls foreign; one of another layout has none to write: its first bytes stay zeros.
  if (result.ownHeader || result.headerRebuilt) output.writeAt(0, header);
  else if (file.layout == pst::FileLayout::Unicode) output.writeAt(0, HeaderBlock());

  // IDs go out in increasing order, so a stop leaves the intervals below the next one.
  const CopyResult copied = copyRuns(src, runs, output, stop, [&](const CopyProgress& p) {
    if (progress && p.runsDone > 0) progress({g.firstMapOffset + p.bytesDone, total});
  });
  result.stopped = copied.stopped;
  result.intervalsWritten = copied.runsCopied;
  result.unreadable.insert(result.unreadable.end(), copied.unreadable.begin(), copied.unreadable.end());
  const std::int64_t end = copied.runsCopied > 0 ? runs[std::size_t(copied.runsCopied - 1)].outputOffset + g.mapInterval
                                                 : g.firstMapOffset;
  result.size = result.stopped ? end : file.outputSize();
  output.resize(result.size);
  result.intervalsMissing = result.stopped ? 0 : file.missingCount;
  if (result.stopped)  // the zero intervals below the last one written are still holes
    for (std::int32_t id : file.missingIds) result.intervalsMissing += g.intervalOffset(id) < end ? 1 : 0;
  result.unreadable = scan::mergeSectorRuns(std::move(result.unreadable));
  const std::int64_t sourceSectors = src.size() / std::int64_t(kPageSize);
  for (const auto& run : result.unreadable)
    result.sectorsPastEnd += std::clamp<std::int64_t>(run.first + run.count - sourceSectors, 0, run.count);
  return result;
}

std::vector<ByteRun> FileByteRuns(std::span<const scan::Fragment> fragments, const AssembledFile& file,
                                  const RecoverResult& result) {
  const pst::Geometry& g = file.geometry();
  // First the runs as planned, then cut at the unreadable sectors (those past the source's
  // end among them), which the copy wrote as zeros.
  std::vector<ByteRun> planned;
  auto push = [&](ByteRun run) {
    if (run.length <= 0) return;
    if (!planned.empty()) {
      ByteRun& last = planned.back();
      const bool adjacentSource = last.origin == ByteRun::Origin::Source && run.origin == ByteRun::Origin::Source &&
                                  last.sourceOffset + last.length == run.sourceOffset;
      const bool adjacentZeros = last.origin == ByteRun::Origin::Zeros && run.origin == ByteRun::Origin::Zeros;
      if (last.fileOffset + last.length == run.fileOffset && (adjacentSource || adjacentZeros)) {
        last.length += run.length;
        return;
      }
    }
    planned.push_back(run);
  };
  if (result.reassembled) {
    // The pieces as found, zeros between them.
    std::int64_t at = 0;
    if (result.headerRebuilt) {
      push({ByteRun::Origin::RebuiltHeader, 0, -1, g.firstMapOffset});
      at = g.firstMapOffset;
    }
    for (const pst::FileRun& r : result.blocks.runs) {
      push({ByteRun::Origin::Zeros, at, -1, r.fileOffset - at});
      push({ByteRun::Origin::Source, r.fileOffset, r.sourceOffset, r.length});
      at = r.fileOffset + r.length;
    }
    push({ByteRun::Origin::Zeros, at, -1, result.size - at});
  } else {
    if (result.ownHeader)
      push({ByteRun::Origin::Source, 0, file.headerSector * std::int64_t(kPageSize), file.headerBytes});
    else
      push({result.headerRebuilt                        ? ByteRun::Origin::RebuiltHeader
            : file.layout == pst::FileLayout::Unicode ? ByteRun::Origin::HeaderBlock
                                                      : ByteRun::Origin::Zeros,
            0, -1, g.firstMapOffset});
    std::int64_t at = result.ownHeader ? file.headerBytes : g.firstMapOffset;
    for (const Piece& p : piecesOf(fragments, file)) {
      const std::int64_t from = g.intervalOffset(p.firstId);
      push({ByteRun::Origin::Zeros, at, -1, std::min(from, result.size) - at});
      const std::int64_t length = std::min(g.intervalOffset(p.lastId + 1), result.size) - from;
      push({ByteRun::Origin::Source, from, p.sourceSector * std::int64_t(kPageSize), length});
      at = std::max(at, from + std::max<std::int64_t>(length, 0));
    }
    push({ByteRun::Origin::Zeros, at, -1, result.size - at});
  }

  std::vector<scan::SectorRun> unreadable = result.unreadable;
  std::sort(unreadable.begin(), unreadable.end(),
            [](const scan::SectorRun& a, const scan::SectorRun& b) { return a.first < b.first; });
  std::vector<ByteRun> runs;
  auto emit = [&](ByteRun run) {
    if (run.length <= 0) return;
    if (!runs.empty() && run.origin == ByteRun::Origin::Zeros && runs.back().origin == ByteRun::Origin::Zeros) {
      runs.back().length += run.length;
      return;
    }
    runs.push_back(run);
  };
  for (const ByteRun& run : planned) {
    if (run.origin != ByteRun::Origin::Source) {
      emit(run);
      continue;
    }
    std::int64_t pos = run.sourceOffset;
    const std::int64_t stop = run.sourceOffset + run.length;
    for (const auto& bad : unreadable) {
      const std::int64_t badFrom = std::max(bad.first * std::int64_t(kPageSize), pos);
      const std::int64_t badTo = std::min((bad.first + bad.count) * std::int64_t(kPageSize), stop);
      if (badFrom >= badTo) continue;
      emit({ByteRun::Origin::Source, run.fileOffset + (pos - run.sourceOffset), pos, badFrom - pos});
      emit({ByteRun::Origin::Zeros, run.fileOffset + (badFrom - run.sourceOffset), -1, badTo - badFrom});
      pos = badTo;
    }
    emit({ByteRun::Origin::Source, run.fileOffset + (pos - run.sourceOffset), pos, stop - pos});
  }
  return runs;
}

}  // namespace kestrix::rebuild
