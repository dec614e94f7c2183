#include "pst/structure_scan.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <memory>
#include <new>
#include <mutex>
#include <thread>

namespace kestrix::pst {

namespace {

// Bytes kept in front of each chunk so that a block ending in the chunk can be checked whole.
constexpr std::size_t kSlots = 3;

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
    // Nothing but the header lives below the first allocation map.
    if (start < base || start < kFirstAMapOffset) continue;
    const std::uint64_t bid = le64(trailer, 8);
    if (bid == 0 || le16(trailer, 2) != signature(std::uint64_t(start), bid)) continue;
    const FoundBlock found{bid, std::uint64_t(start), size};
    if (crc(buf.subspan(std::size_t(start - base), size)) == le32(trailer, 4))
      out.blocks.push_back(found);
    else
      out.badCrcBlocks.push_back(found);
  }
  for (std::int64_t page = std::max((from + 511) / 512 * 512, kFirstAMapOffset); page + 512 <= to; page += 512) {
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

// Reading and examining overlap: a reader thread fills the next chunks while the caller's
// thread examines (and hands on) the one before. Slots go round in order.
class ChunkReader {
 public:
  ChunkReader(scan::ByteSource& input, std::int64_t length, std::size_t chunk, const std::atomic<bool>& stop,
              std::vector<scan::SectorRun>& unreadable)
      : m_input(input), m_length(length), m_chunk(chunk), m_stop(stop), m_unreadable(unreadable) {
    for (auto& s : m_slots) s.storage.reset(static_cast<std::byte*>(::operator new(kHistory + chunk, kAlign)));
    for (auto& s : m_slots) s.bytes = std::span(s.storage.get(), kHistory + chunk);
    m_thread = std::thread([this] { run(); });
  }
  ~ChunkReader() {
    {
      std::lock_guard lock(m_mutex);
      m_quit = true;
    }
    m_changed.notify_all();
    m_thread.join();
  }

  struct Chunk {
    std::span<std::byte> slot;  // kHistory bytes of room, then the chunk
    std::int64_t offset = 0;
    std::size_t size = 0;       // 0: no more chunks
    bool stopped = false;
  };

  // The next chunk in order; waits for it.
  Chunk next() {
    std::unique_lock lock(m_mutex);
    Slot& s = m_slots[m_taken % kSlots];
    m_changed.wait(lock, [&] { return s.full || m_done; });
    if (!s.full) {
      if (m_error) std::rethrow_exception(m_error);
      return {{}, m_readTo, 0, m_stopped};
    }
    return {s.bytes, s.offset, s.size, false};
  }
  // Gives the chunk last returned by next() back for reading.
  void release() {
    {
      std::lock_guard lock(m_mutex);
      m_slots[m_taken++ % kSlots].full = false;
    }
    m_changed.notify_all();
  }

 private:
  // Page-aligned, and kHistory is a multiple of a page, so that the kernel copies each chunk
  // to a page boundary: several times faster than to the allocator's 16-byte alignment.
  static constexpr std::align_val_t kAlign{4096};
  struct AlignedDelete {
    void operator()(std::byte* p) const { ::operator delete(p, kAlign); }
  };
  struct Slot {
    std::unique_ptr<std::byte, AlignedDelete> storage;
    std::span<std::byte> bytes;
    std::int64_t offset = 0;
    std::size_t size = 0;
    bool full = false;
  };

  void run() {
    try {
      for (std::size_t n = 0;; ++n) {
        Slot& s = m_slots[n % kSlots];
        {
          std::unique_lock lock(m_mutex);
          m_changed.wait(lock, [&] { return !s.full || m_quit; });
          if (m_quit || m_readTo >= m_length) break;
          if (m_stop.load()) {
            m_stopped = true;
            break;
          }
        }
        const std::size_t size = std::size_t(std::min<std::int64_t>(std::int64_t(m_chunk), m_length - m_readTo));
        scan::readSectorsRetrying(m_input, m_readTo, s.bytes.subspan(kHistory, size), m_unreadable);
        std::lock_guard lock(m_mutex);
        s.offset = m_readTo;
        s.size = size;
        s.full = true;
        m_readTo += std::int64_t(size);
        m_changed.notify_all();
      }
    } catch (...) {
      std::lock_guard lock(m_mutex);
      m_error = std::current_exception();
    }
    std::lock_guard lock(m_mutex);
    m_done = true;
    m_changed.notify_all();
  }

  scan::ByteSource& m_input;
  const std::int64_t m_length;
  const std::size_t m_chunk;
  const std::atomic<bool>& m_stop;
  std::vector<scan::SectorRun>& m_unreadable;  // the reader's until it is done
  std::array<Slot, kSlots> m_slots;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::int64_t m_readTo = 0;
  std::size_t m_taken = 0;
  bool m_done = false, m_quit = false, m_stopped = false;
  std::exception_ptr m_error;
  std::thread m_thread;
};

}  // namespace

PassResult readInOnePass(scan::ByteSource& input, std::size_t chunkSize, const std::atomic<bool>& stop,
                         const std::function<void(const StructureProgress&)>& progress, const ChunkVisitor& visit) {
  PassResult result;
  const std::int64_t length = input.size();
  // Small inputs get small buffers.
  const std::int64_t wanted = std::min<std::int64_t>(std::int64_t(chunkSize), (length + 511) / 512 * 512);
  const std::size_t chunk = std::size_t(std::max<std::int64_t>(wanted / 512 * 512, 512));
  std::array<std::byte, kHistory> tail{};
  std::size_t kept = 0;  // bytes of tail: the input just before the next chunk
  {
    ChunkReader reader(input, length, chunk, stop, result.unreadable);
    for (;;) {
      const ChunkReader::Chunk c = reader.next();
      if (progress) progress({c.offset, length});
      if (c.size == 0) {
        result.stopped = c.stopped;
        break;
      }
      std::copy(tail.end() - std::ptrdiff_t(kept), tail.end(), c.slot.begin() + std::ptrdiff_t(kHistory - kept));
      visit(c.slot.subspan(kHistory - kept, kept + c.size), c.offset - std::int64_t(kept), c.offset);
      const std::span<std::byte> last = c.slot.subspan(0, kHistory + c.size).last(std::min(kHistory, kept + c.size));
      kept = last.size();
      std::copy(last.begin(), last.end(), tail.end() - std::ptrdiff_t(kept));
      reader.release();
    }
  }
  return result;
}

StructureScan scanStructure(scan::ByteSource& input, const std::atomic<bool>& stop,
                            const StructureScanOptions& options) {
  StructureScan out;
  out.length = input.size();
  PassResult pass = readInOnePass(
      input, options.chunkSize, stop, options.progress,
      [&](std::span<const std::byte> buf, std::int64_t base, std::int64_t from) {
        const std::span<const std::byte> fresh = buf.subspan(std::size_t(from - base));
        if (options.chunk) options.chunk(from, fresh);
        if (from == 0) out.header.assign(fresh.begin(), fresh.begin() + std::min(fresh.size(), kHeaderSize));
        examine(buf, base, from, from + std::int64_t(fresh.size()), out);
      });
  out.stopped = pass.stopped;
  out.unreadable = std::move(pass.unreadable);
  // Found in the order their trailers end; overlapping finds (crafted, or stale copies) can
  // make that differ from the order they start in.
  for (auto* list : {&out.blocks, &out.badCrcBlocks})
    std::stable_sort(list->begin(), list->end(), [](const FoundBlock& a, const FoundBlock& b) { return a.offset < b.offset; });
  return out;
}

}  // namespace kestrix::pst
