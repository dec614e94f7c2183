#include "rebuild/rebuild.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
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

// Copies one interval inside the kernel when both ends are plain files; false when the
// caller must copy through memory (other file systems, devices, test sources).
bool copyInKernel(scan::ByteSource& input, std::int64_t from, OutputFile& output, std::int64_t to) {
  auto* file = dynamic_cast<scan::FileByteSource*>(&input);
  if (!file) return false;
  loff_t in = from, out = to;
  std::int64_t left = kIntervalBytes;
  while (left > 0) {
    const ssize_t n = ::copy_file_range(file->fd(), &in, output.fd(), &out, std::size_t(left), 0);
    if (n > 0) {
      left -= n;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (left == kIntervalBytes && n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP))
      return false;
    if (n == 0) throw Error("Cannot read file \"" + input.name() + "\" at byte " + std::to_string(in) +
                            ". the data ends early (truncated)");
    throw Error("Cannot copy from file \"" + input.name() + "\" to file \"" + output.path() + "\" at byte " +
                std::to_string(out) + ". " + systemReason(errno));
  }
  return true;
}

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
  std::vector<std::byte> copy(static_cast<std::size_t>(kIntervalBytes));
  bool kernelCopy = true;
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
    if (!kernelCopy || !(kernelCopy = copyInKernel(input, record.position, output, to))) {
      scan::readExactly(input, record.position, copy);
      output.writeAt(to, copy);
    }
    ++stats.intervalsCopied;
    if (progress) progress({RebuildProgress::Phase::Writing, std::int64_t(record.id) + 1, count});
  }
  stats.size = std::int64_t(kHeaderBlockSize) + stats.idsWritten * kIntervalBytes;
  output.resize(stats.size);
  if (progress) progress({RebuildProgress::Phase::Writing, stats.idsWritten, count});
  return stats;
}

RebuildResult rebuildFile(const std::string& inputPath, const std::string& outputPath, std::atomic<bool>& stop,
                          const RebuildProgressFn& progress) {
  scan::FileByteSource input(inputPath);
  refuseUnsafeOutput(outputPath, input.fd(), inputPath);
  RebuildResult result;
  const PageIndex index = BuildPageIndex(input, stop, progress);
  result.intervalsFound = std::int64_t(index.records().size());
  result.highestId = index.highestId();
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
