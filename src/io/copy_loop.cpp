#include "io/copy_loop.h"


#include <algorithm>
#include <array>
#include <memory>
#include <new>

#include "format/map_page.h"

namespace kestrix::rebuild {

namespace {

// Collects output bytes in a page-aligned buffer whose index is the file offset modulo its
// size, and writes whole windows at window-aligned file offsets. The intervals of a PST file
// start 1024 bytes past a page boundary (0x4400 + n * 0x3E000); writing them one by one made
// every write straddle pages and cost about 40% more than writing the same bytes aligned.
// Gathering them costs one extra copy through memory and still runs at the speed of cp.
class AlignedWindow {
 public:
  static constexpr std::size_t kSize = std::size_t(1) << 20;
  static constexpr std::align_val_t kAlign{4096};

  explicit AlignedWindow(OutputFile& output)
      : m_output(output), m_buffer(static_cast<std::byte*>(::operator new(kSize, kAlign))) {}
  AlignedWindow(const AlignedWindow&) = delete;
  AlignedWindow& operator=(const AlignedWindow&) = delete;

  // Room for the next length bytes of output at `to`, at most up to the window's end; the
  // caller fills it and calls advance().
  std::span<std::byte> next(std::int64_t to, std::int64_t length) {
    if (m_start + m_used != to) flush();  // a gap stays a hole
    if (m_used == 0) m_start = to;
    const auto index = std::size_t((m_start + m_used) % std::int64_t(kSize));
    return {m_buffer.get() + index, std::size_t(std::min<std::int64_t>(length, std::int64_t(kSize - index)))};
  }
  void advance(std::size_t filled) {
    m_used += std::int64_t(filled);
    if ((m_start + m_used) % std::int64_t(kSize) == 0) flush();
  }

  void flush() {
    if (m_used > 0) {
      const auto index = std::size_t(m_start % std::int64_t(kSize));
      m_output.writeAt(m_start, std::span<const std::byte>(m_buffer.get() + index, std::size_t(m_used)));
      m_start += m_used;
    }
    m_used = 0;
  }

 private:
  struct AlignedDelete {
    void operator()(std::byte* p) const { ::operator delete(p, kAlign); }
  };
  OutputFile& m_output;
  std::unique_ptr<std::byte, AlignedDelete> m_buffer;
  std::int64_t m_start = 0;  // file offset of the first byte held
  std::int64_t m_used = 0;   // bytes held, all within one window
};

}  // namespace

CopyResult copyRuns(scan::ByteSource& src, std::span<const CopyRun> runs, OutputFile& output,
                    const std::atomic<bool>& stop, const CopyProgressFn& progress, const CopyOptions& options) {
  CopyResult result;
  std::int64_t total = 0;
  for (const CopyRun& run : runs) total += std::max<std::int64_t>(run.length, 0);
  if (progress) progress({0, 0, total});
  AlignedWindow window(output);
  for (const CopyRun& run : runs) {
    if (stop.load()) {
      result.stopped = true;
      break;
    }
    std::int64_t from = run.sourceOffset, to = run.outputOffset;
    for (std::int64_t left = run.length; left > 0;) {
      const std::span<std::byte> room = window.next(to, left);
      if (options.shortReadIsError)
        scan::readExactly(src, from, room);
      else
        scan::readSectorsRetrying(src, from, room, result.unreadable);
      window.advance(room.size());
      from += std::int64_t(room.size());
      to += std::int64_t(room.size());
      left -= std::int64_t(room.size());
    }
    ++result.runsCopied;
    result.bytesCopied += std::max<std::int64_t>(run.length, 0);
    if (progress) progress({result.runsCopied, result.bytesCopied, total});
  }
  window.flush();
  // Overlapping stretches read the same bad sector more than once; it is one sector.
  result.unreadable = scan::mergeSectorRuns(std::move(result.unreadable));
  const std::int64_t sourceSectors = src.size() / std::int64_t(scan::kPageSize);
  for (const auto& bad : result.unreadable)
    result.sectorsPastEnd += std::clamp<std::int64_t>(bad.first + bad.count - sourceSectors, 0, bad.count);
  // A sector within the source's length that reads short without an error: the source has
  // become shorter since it was opened (a file truncated, a disk that went away). The copy is
  // then not of the source that was scanned; it is a failure, not a patch of zeros.
  for (const auto& bad : result.unreadable) {
    if (bad.first >= sourceSectors) break;
    std::array<std::byte, scan::kPageSize> probe{};
    const std::int64_t at = bad.first * std::int64_t(scan::kPageSize);
    const std::size_t got = src.readAt(at, probe);
    if (got < probe.size() && src.lastError() == 0)
      throw Error(Message{Message::Code::CannotRead, {src.name(), std::to_string(at + std::int64_t(got))}, 0});
  }
  return result;
}

}  // namespace kestrix::rebuild
