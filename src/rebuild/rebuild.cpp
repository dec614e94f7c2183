#include "rebuild/rebuild.h"

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "rebuild/header_block.h"
#include "scan/map_page.h"

namespace kestrix::rebuild {

using scan::kIntervalBytes;

void PageIndex::add(PageRecord record) {
  m_byId[record.id] = m_records.size();
  m_records.push_back(record);
  if (record.id > m_highest) m_highest = record.id;
}

std::optional<PageRecord> PageIndex::LookupPage(std::int32_t id) const {
  const auto it = m_byId.find(id);
  if (it == m_byId.end()) return std::nullopt;
  return m_records[it->second];
}

std::int64_t PageIndex::idsPresent() const {
  std::int64_t n = 0;
  for (const auto& [id, at] : m_byId) n += id >= 0 ? 1 : 0;
  return n;
}

PageIndex BuildPageIndex(scan::ByteSource& input, std::atomic<bool>& stop, const RebuildProgressFn& progress) {
  stop.store(false);
  PageIndex index;
  const std::int64_t size = input.size();
  std::array<std::byte, scan::kPageSize> page{};
  // Only the first 512 bytes of each block are tested, so only they are read here; the
  // write pass reads each interval it copies.
  for (std::int64_t offset = 0; offset < size; offset += kIntervalBytes) {
    if (stop.load()) break;
    if (offset + kIntervalBytes <= size) {
      scan::readExactly(input, offset, page);
      if (scan::IsPstMapPage(page)) index.add({scan::MapPageId(scan::MapPageOffsetField(page)), offset});
    }
    if (progress) progress({RebuildProgress::Phase::Indexing, offset, size});
  }
  if (progress) progress({RebuildProgress::Phase::Indexing, size, size});
  return index;
}

std::int64_t RebuiltSize(const PageIndex& index) {
  return std::int64_t(kHeaderBlockSize) + (std::int64_t(index.highestId()) + 1) * kIntervalBytes;
}

namespace {

// Collects output bytes in a page-aligned buffer whose index is the file offset modulo its
// size, and writes whole windows at window-aligned file offsets. The intervals of a rebuilt
// file start 1024 bytes past a page boundary (0x4400 + n * 0x3E000); copying them one by one,
// in the kernel or through memory, made every write straddle pages and cost about 40% more
// than copying the same bytes aligned. Gathering them costs one extra copy through memory and
// still runs at the speed of cp.
class AlignedWindow {
 public:
  static constexpr std::size_t kSize = std::size_t(1) << 20;
  static constexpr std::align_val_t kAlign{4096};

  explicit AlignedWindow(OutputFile& output)
      : m_output(output), m_buffer(static_cast<std::byte*>(::operator new(kSize, kAlign))) {}
  AlignedWindow(const AlignedWindow&) = delete;
  AlignedWindow& operator=(const AlignedWindow&) = delete;

  // Copies length bytes of the input at from to the output at to.
  void copy(scan::ByteSource& input, std::int64_t from, std::int64_t to, std::int64_t length) {
    if (m_start + m_used != to) flush();  // a gap (missing IDs) stays a hole
    if (m_used == 0) m_start = to;
    while (length > 0) {
      const std::int64_t at = m_start + m_used;
      const auto index = std::size_t(at % std::int64_t(kSize));
      const auto take = std::size_t(std::min<std::int64_t>(length, std::int64_t(kSize - index)));
      scan::readExactly(input, from, std::span(m_buffer.get() + index, take));
      m_used += std::int64_t(take);
      from += std::int64_t(take);
      length -= std::int64_t(take);
      if (index + take == kSize) flush();
    }
  }

  // Writes what the window holds.
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

std::vector<PageRecord> PageIndex::writtenRecords() const {
  std::vector<PageRecord> out;
  out.reserve(m_byId.size());
  for (const auto& [id, at] : m_byId)
    if (id >= 0) out.push_back(m_records[at]);
  std::sort(out.begin(), out.end(), [](const PageRecord& a, const PageRecord& b) { return a.id < b.id; });
  return out;
}

WriteStats WriteRebuiltPst(const PageIndex& index, scan::ByteSource& input, OutputFile& output,
                           const std::atomic<bool>& stop, const RebuildProgressFn& progress) {
  WriteStats stats;
  output.writeAt(0, HeaderBlock());
  AlignedWindow window(output);
  const std::int64_t count = std::int64_t(index.highestId()) + 1;
  // Zero intervals are never written: they become holes when the length is set at the end,
  // so a crafted ID far beyond the data costs no time and no disk space.
  stats.idsWritten = count;
  if (stop.load()) {  // stopped during the index pass: the header block alone
    stats.stopped = true;
    stats.idsWritten = 0;
  }
  for (const PageRecord& record : index.writtenRecords()) {
    if (stats.stopped) break;
    if (stop.load()) {
      stats.stopped = true;
      stats.idsWritten = record.id;
      break;
    }
    const std::int64_t to = std::int64_t(kHeaderBlockSize) + std::int64_t(record.id) * kIntervalBytes;
    window.copy(input, record.position, to, kIntervalBytes);
    ++stats.intervalsCopied;
    if (progress) progress({RebuildProgress::Phase::Writing, std::int64_t(record.id) + 1, count});
  }
  window.flush();
  stats.size = std::int64_t(kHeaderBlockSize) + stats.idsWritten * kIntervalBytes;
  output.resize(stats.size);
  if (progress) progress({RebuildProgress::Phase::Writing, stats.idsWritten, count});
  return stats;
}

namespace {

std::string noIntervalReason(scan::ByteSource& input) {
  const std::int64_t size = input.size();
  if (size == 0) return "it is empty";
  if (size < kIntervalBytes)
    return "it is shorter than one map interval (" + std::to_string(size) + " of " + std::to_string(kIntervalBytes) +
           " bytes)";
  std::array<std::byte, 4> magic{};
  if (input.readAt(0, magic) == magic.size() && scan::HasPstMagic(magic))
    return "it is a PST file itself, not a file of map intervals such as extract writes";
  return "no block of " + std::to_string(kIntervalBytes) +
         " bytes in it begins with an allocation-map page; it is not a file of map intervals such as extract writes";
}

}  // namespace

RebuildResult rebuildFile(const std::string& inputPath, const std::string& outputPath, std::atomic<bool>& stop,
                          const RebuildProgressFn& progress) {
  scan::FileByteSource input(inputPath);
  refuseUnsafeOutput(outputPath, input.fd(), inputPath);
  RebuildResult result;
  const PageIndex index = BuildPageIndex(input, stop, progress);
  result.intervalsFound = std::int64_t(index.records().size());
  result.highestId = index.highestId();
  result.tailBytes = input.size() % kIntervalBytes;
  if (!stop.load() && index.records().empty())
    throw Error("Nothing was rebuilt from \"" + inputPath + "\": " + noIntervalReason(input));
  if (!stop.load()) {
    checkRoomFor(outputPath, RebuiltSize(index),
                 std::int64_t(kHeaderBlockSize) + index.idsPresent() * kIntervalBytes);
  }
  OutputFile output(outputPath);
  result.write = WriteRebuiltPst(index, input, output, stop, progress);
  output.close();
  return result;
}

}  // namespace kestrix::rebuild
