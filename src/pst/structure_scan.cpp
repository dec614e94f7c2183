#include "pst/structure_scan.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <map>
#include <new>
#include <mutex>
#include <thread>

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>
#endif

namespace kestrix::pst {

namespace {

// What the scan finds in one chunk, merged into the whole in chunk order.
struct ChunkFinds {
  std::vector<FoundBlock> blocks, badCrcBlocks;
  std::vector<FoundTreePage> treePages;
  std::vector<KeptBlock> kept;  // `at` into keptBytes
  std::vector<std::byte> keptBytes;
  std::int64_t mapIntervals = 0, validAllocationMaps = 0;
  std::int64_t lastAllocationMap = -1;
};

// Takes n from what is left of the budget, when that much is left.
bool take(std::atomic<std::size_t>& budget, std::size_t n) {
  std::size_t left = budget.load(std::memory_order_relaxed);
  while (left >= n)
    if (budget.compare_exchange_weak(left, left - n, std::memory_order_relaxed)) return true;
  return false;
}

// Examines every block boundary e in (from, to] as the end of a block, and every page that
// ends in (from, to], in the layout G. `buf` holds the input from `base` on; base <= from -
// G.maxBlockSize unless the input starts later. Internal blocks are kept while `keptBudget`
// lasts. A template, so that each layout's offsets are constants in its loop.
template <const Geometry& G>
void examine(std::span<const std::byte> buf, std::int64_t base, std::int64_t from, std::int64_t to,
             ChunkFinds& out, std::atomic<std::size_t>& keptBudget) {
  constexpr BlockTrailerGeometry kTrailer = G.blockTrailer;
  constexpr std::int64_t kAlign = std::int64_t(G.blockAlign), kPage = std::int64_t(G.pageSize);
  static_assert(kTrailer.crc.size == 4 && (kTrailer.bid.size == 4 || kTrailer.bid.size == 8));
  for (std::int64_t end = (from / kAlign + 1) * kAlign; end <= to; end += kAlign) {
    const std::size_t at = std::size_t(end - base);
    const Bytes trailer = buf.subspan(at - kTrailer.size, kTrailer.size);
    const std::uint16_t size = le16(trailer, kTrailer.dataSizeAt);
    if (size > G.maxBlockData()) continue;
    const std::int64_t start = end - std::int64_t(blockSpan(size, G));
    // Nothing but the header lives below the first allocation map.
    if (start < base || start < G.firstMapOffset) continue;
    std::uint64_t bid = 0;
    if constexpr (kTrailer.bid.size == 8) bid = le64(trailer, kTrailer.bid.at);
    else bid = le32(trailer, kTrailer.bid.at);
    if (bid == 0 || le16(trailer, kTrailer.sigAt) != signature(std::uint64_t(start), bid)) continue;
    const FoundBlock found{bid, std::uint64_t(start), size,
                           kTrailer.inflatedSize.size == 0 ? std::uint16_t(0) : le16(trailer, kTrailer.inflatedSize.at)};
    const Bytes data = buf.subspan(std::size_t(start - base), size);
    if (crc(data) != le32(trailer, kTrailer.crc.at)) {
      out.badCrcBlocks.push_back(found);
      continue;
    }
    out.blocks.push_back(found);
    if (isInternalBid(bid) && take(keptBudget, size)) {
      out.kept.push_back({std::uint64_t(start), std::uint32_t(out.keptBytes.size()), size});
      out.keptBytes.insert(out.keptBytes.end(), data.begin(), data.end());
    }
  }
  // A page may begin in the previous chunk when chunks are not whole pages.
  for (std::int64_t page = std::max(from / kPage * kPage, G.firstMapOffset); page + kPage <= to; page += kPage) {
    const Bytes bytes = buf.subspan(std::size_t(page - base), G.pageSize);
    const auto type = std::to_integer<std::uint8_t>(bytes[G.pageTrailerAt()]);
    const bool mapStart = (page - G.firstMapOffset) % G.mapInterval == 0;
    if (mapStart) {
      ++out.mapIntervals;
      if (type == kPageAllocMap && isValidPage(bytes, std::uint64_t(page), G)) {
        ++out.validAllocationMaps;
        out.lastAllocationMap = page;
      }
    }
    if (type != kPageBlockTree && type != kPageNodeTree) continue;
    const PageState state = pageState(bytes, std::uint64_t(page), G);
    if (state == PageState::Invalid) continue;
    if (auto parsed = parseTreePage(bytes, G))
      out.treePages.push_back({std::uint64_t(page), std::move(*parsed), state == PageState::CrcFailed});
  }
}

template <typename T>
void append(std::vector<T>& to, std::vector<T>& from) {
  to.insert(to.end(), std::make_move_iterator(from.begin()), std::make_move_iterator(from.end()));
}

// The turns of a pass. Each worker owns a buffer: the history's room, then a chunk.
class Pass {
 public:
  Pass(scan::ByteSource& input, const std::atomic<bool>& stop, const PassOptions& options, const ChunkVisitor& visit,
       std::size_t chunk)
      : m_input(input), m_length(input.size()), m_chunk(chunk), m_history(options.history), m_stop(stop),
        m_options(options), m_visit(visit), m_tail(m_history) {}

  void work() {
    // Page-aligned, and the history is a multiple of a page, so that the kernel copies each
    // chunk to a page boundary: several times faster than to the allocator's 16-byte alignment.
    constexpr std::align_val_t kAlign{4096};
    struct AlignedDelete {
      void operator()(std::byte* p) const { ::operator delete(p, kAlign); }
    };
    std::unique_ptr<std::byte, AlignedDelete> storage(static_cast<std::byte*>(::operator new(m_history + m_chunk, kAlign)));
    const std::span<std::byte> slot(storage.get(), m_history + m_chunk);
    try {
      while (workOne(slot)) {
      }
    } catch (...) {
      std::lock_guard lock(m_mutex);
      if (!m_error) m_error = std::current_exception();
      m_failed = true;
      m_changed.notify_all();
    }
  }

  PassResult finish() {
    if (m_error) std::rethrow_exception(m_error);
    if (m_options.progress) m_options.progress({m_readTo, m_length});
    return {m_stopped, std::move(m_unreadable)};
  }

 private:
  // Waits until `ready` holds. A turn lasts some tens of microseconds, about what waking a
  // sleeping thread costs on a virtual machine, so the wait spins for a while before it sleeps.
  template <typename Ready>
  void waitUntil(std::unique_lock<std::mutex>& lock, Ready ready) {
    if (ready()) return;
    lock.unlock();
    const auto until = std::chrono::steady_clock::now() + kSpin;
    for (int i = 1; !ready(); ++i) {
#if defined(__x86_64__) || defined(_M_X64)
      _mm_pause();
#else
      std::this_thread::yield();
#endif
      if (i % 64 == 0 && std::chrono::steady_clock::now() > until) break;
    }
    lock.lock();
    m_changed.wait(lock, ready);
  }

  // Reads the next chunk in this worker's turn, then visits it; false when the pass is over.
  bool workOne(std::span<std::byte> slot) {
    std::size_t ticket = 0;
    std::int64_t offset = 0;
    std::size_t size = 0;
    {
      std::unique_lock lock(m_mutex);
      waitUntil(lock, [&] { return !m_reading || m_failed; });
      if (m_failed || m_readTo >= m_length) return false;
      if (m_stop.load()) {
        m_stopped = true;
        return false;
      }
      m_reading = true;
      ticket = m_chunks++;
      offset = m_readTo;
      size = std::size_t(std::min<std::int64_t>(std::int64_t(m_chunk), m_length - offset));
    }
    // This worker's turn alone touches the input, the tail and the list of unreadable sectors.
    // A turn that throws ends the pass: no other turn may hand on a chunk after it.
    struct EndTurn {
      Pass& pass;
      std::int64_t to;
      int unwinding = std::uncaught_exceptions();
      ~EndTurn() {
        std::lock_guard lock(pass.m_mutex);
        pass.m_reading = false;
        pass.m_readTo = to;
        pass.m_failed = pass.m_failed || std::uncaught_exceptions() > unwinding;
        pass.m_changed.notify_all();
      }
    };
    std::size_t kept = 0;
    {
      EndTurn end{*this, offset + std::int64_t(size)};
      if (m_options.progress) m_options.progress({offset, m_length});
      scan::readSectorsRetrying(m_input, offset, slot.subspan(m_history, size), m_unreadable);
      kept = m_kept;
      std::copy(m_tail.end() - std::ptrdiff_t(kept), m_tail.end(), slot.begin() + std::ptrdiff_t(m_history - kept));
      const std::span<std::byte> last = slot.first(m_history + size).last(std::min(m_history, kept + size));
      m_kept = last.size();
      std::copy(last.begin(), last.end(), m_tail.end() - std::ptrdiff_t(m_kept));
      if (m_options.chunk) m_options.chunk(offset, slot.subspan(m_history, size));
    }
    if (m_options.ordered) {
      std::unique_lock lock(m_mutex);
      waitUntil(lock, [&] { return m_visited == ticket || m_failed; });
      if (m_failed) return false;
    }
    m_visit(slot.subspan(m_history - kept, kept + size), offset - std::int64_t(kept), offset);
    if (m_options.ordered) {
      std::lock_guard lock(m_mutex);
      ++m_visited;
      m_changed.notify_all();
    }
    return true;
  }

  scan::ByteSource& m_input;
  const std::int64_t m_length;
  const std::size_t m_chunk;
  const std::size_t m_history;
  const std::atomic<bool>& m_stop;
  const PassOptions& m_options;
  const ChunkVisitor& m_visit;
  static constexpr std::chrono::microseconds kSpin{50};
  std::mutex m_mutex;
  std::condition_variable m_changed;
  // Written under the mutex; atomic so that a waiting worker may look without it.
  std::atomic<bool> m_reading = false;      // a worker has its reading turn
  std::int64_t m_readTo = 0;                // the next chunk starts here
  std::size_t m_chunks = 0;                 // chunks handed out
  std::atomic<std::size_t> m_visited = 0;   // ordered: chunks visited
  bool m_stopped = false;
  std::atomic<bool> m_failed = false;       // a worker threw: the others stop at their next wait
  std::exception_ptr m_error;
  // The reading turn's: the input just before the next chunk, and sectors that failed.
  std::vector<std::byte> m_tail;
  std::size_t m_kept = 0;
  std::vector<scan::SectorRun> m_unreadable;
};

// Of the intervals an input of the 4 KiB-page layout would have, the first ones looked at for
// an allocation map that proves the layout where the header does not name it.
constexpr int kLayoutProbes = 4;

}  // namespace

const Geometry& geometryToRead(scan::ByteSource& input) {
  std::array<std::byte, kHeaderSize> head{};
  const std::size_t got = input.readAt(0, head);
  if (got >= kAnsiGeometry.header.size && isHeaderSector(std::span(head).first(got))) {
    const Geometry* g = geometryOf(parseHeader(std::span(head).first(got)).layout);
    return g ? *g : kUnicodeGeometry;
  }
  // An ANSI map lies where a Unicode one would, its trailer 4 bytes later in the page: the
  // two cannot both prove themselves on one page.
  for (const Geometry* g : {&kUnicode4KGeometry, &kAnsiGeometry}) {
    std::vector<std::byte> page(g->pageSize);
    for (int k = 0; k < kLayoutProbes; ++k) {
      const std::int64_t at = g->intervalOffset(k);
      if (at + std::int64_t(g->pageSize) > input.size()) break;
      if (input.readAt(at, page) != page.size()) continue;
      const PageTrailer t = pageTrailer(page, *g);
      if (t.type == kPageAllocMap && t.bid == std::uint64_t(at) && isValidPage(page, std::uint64_t(at), *g))
        return *g;
    }
  }
  return kUnicodeGeometry;
}

std::int64_t intervalsFrom(std::int64_t from, std::int64_t length, const Geometry& g) {
  const std::int64_t interval = g.mapInterval, page = std::int64_t(g.pageSize);
  const std::int64_t first =
      g.firstMapOffset + std::max<std::int64_t>(0, (from - g.firstMapOffset + interval - 1) / interval) * interval;
  return first + page <= length ? (length - page - first) / interval + 1 : 0;
}

std::optional<Bytes> StructureScan::keptBlock(std::uint64_t offset, std::uint16_t size) const {
  auto it = std::lower_bound(kept.begin(), kept.end(), offset, [](const KeptBlock& k, std::uint64_t o) { return k.offset < o; });
  for (; it != kept.end() && it->offset == offset; ++it)
    if (it->size == size) return Bytes(keptBytes).subspan(it->at, size);
  return std::nullopt;
}

PassResult readInOnePass(scan::ByteSource& input, const std::atomic<bool>& stop, const PassOptions& options,
                         const ChunkVisitor& visit) {
  const std::int64_t length = input.size();
  // Small inputs get small buffers.
  const std::int64_t wanted = std::min<std::int64_t>(std::int64_t(options.chunkSize), (length + 511) / 512 * 512);
  const std::size_t chunk = std::size_t(std::max<std::int64_t>(wanted / 512 * 512, 512));
  Pass pass(input, stop, options, visit, chunk);
  {
    std::jthread other([&pass] { pass.work(); });
    pass.work();
  }
  return pass.finish();
}

StructureScan scanStructure(scan::ByteSource& input, const std::atomic<bool>& stop,
                            const StructureScanOptions& options) {
  StructureScan out;
  out.length = input.size();
  out.geometry = &geometryToRead(input);
  const Geometry& g = *out.geometry;
  // Room the lists will likely need, reserved (not touched) so that they grow without copies.
  out.blocks.reserve(std::size_t(std::min<std::int64_t>(out.length / 2048, std::int64_t(1) << 22)));
  out.keptBytes.reserve(std::min<std::size_t>(kKeptBytesMax, std::size_t(out.length / 64)));
  // Chunks are examined two at a time and merged in order: those that finish early wait.
  std::mutex merging;
  std::map<std::int64_t, std::pair<std::int64_t, ChunkFinds>> waiting;  // by start: end, finds
  std::int64_t mergedTo = 0;
  std::atomic<std::size_t> keptBudget{kKeptBytesMax};
  const auto merge = [&out](ChunkFinds& f) {
    append(out.blocks, f.blocks);
    append(out.badCrcBlocks, f.badCrcBlocks);
    append(out.treePages, f.treePages);
    for (KeptBlock k : f.kept) {
      k.at += std::uint32_t(out.keptBytes.size());
      out.kept.push_back(k);
    }
    append(out.keptBytes, f.keptBytes);
    out.mapIntervals += f.mapIntervals;
    out.validAllocationMaps += f.validAllocationMaps;
    out.lastAllocationMap = std::max(out.lastAllocationMap, f.lastAllocationMap);
  };
  PassOptions pass{options.chunkSize, false, options.progress, options.chunk, g.maxBlockSize};
  const auto examineChunk = g.layout == FileLayout::Unicode4K ? examine<kUnicode4KGeometry>
                            : g.layout == FileLayout::Ansi    ? examine<kAnsiGeometry>
                                                              : examine<kUnicodeGeometry>;
  PassResult result = readInOnePass(input, stop, pass, [&](std::span<const std::byte> buf, std::int64_t base, std::int64_t from) {
    const std::int64_t to = base + std::int64_t(buf.size());
    ChunkFinds found;
    examineChunk(buf, base, from, to, found, keptBudget);
    std::lock_guard lock(merging);
    if (from == 0) out.header.assign(buf.begin(), buf.begin() + std::ptrdiff_t(std::min(buf.size(), kHeaderSize)));
    if (from != mergedTo) {
      waiting.emplace(from, std::pair(to, std::move(found)));
      return;
    }
    merge(found);
    mergedTo = to;
    for (auto next = waiting.find(mergedTo); next != waiting.end(); next = waiting.find(mergedTo)) {
      merge(next->second.second);
      mergedTo = next->second.first;
      waiting.erase(next);
    }
  });
  out.stopped = result.stopped;
  out.unreadable = std::move(result.unreadable);
  // Found in the order their trailers end; overlapping finds (crafted, or stale copies) can
  // make that differ from the order they start in.
  const auto byOffset = [](const auto& a, const auto& b) { return a.offset < b.offset; };
  for (auto* list : {&out.blocks, &out.badCrcBlocks})
    if (!std::is_sorted(list->begin(), list->end(), byOffset)) std::stable_sort(list->begin(), list->end(), byOffset);
  if (!std::is_sorted(out.kept.begin(), out.kept.end(), byOffset)) std::stable_sort(out.kept.begin(), out.kept.end(), byOffset);
  return out;
}

}  // namespace kestrix::pst
