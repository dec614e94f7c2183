#include "io/byte_source.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <new>
#include <stdexcept>

#include "io/output_names.h"

namespace kestrix {

std::string cannotOpenMessage(const std::string& path, int err) {
  return "Cannot open file \"" + path + "\". " + systemReason(err);
}

SourceOpenError::SourceOpenError(std::string path, int err)
    : Error(Message{Message::Code::CannotOpen, {path}, err}), m_path(std::move(path)), m_error(err) {}

Message messageOf(const std::exception& e, const std::string& path) {
  if (const auto* error = dynamic_cast<const Error*>(&e)) return error->message();
  if (dynamic_cast<const std::bad_alloc*>(&e) || dynamic_cast<const std::length_error*>(&e))
    return {Message::Code::OutOfMemory, {path}};
  if (const auto* fsError = dynamic_cast<const std::filesystem::filesystem_error*>(&e)) {
    const std::string named = fsError->path1().empty() ? path : rebuild::textOf(fsError->path1());
    // The errno where the failure has one (on Windows too), else the code as it is.
    return {Message::Code::CannotAccess, {named}, fsError->code().default_error_condition().value()};
  }
  return {Message::Code::Failed, {path, e.what()}};
}

}  // namespace kestrix

namespace kestrix::scan {

void readSectorsRetrying(ByteSource& src, std::int64_t offset, std::span<std::byte> out,
                         std::vector<SectorRun>& unreadable) {
  constexpr std::size_t kSector = 512;
  const std::size_t got = src.readAt(offset, out);
  if (got == out.size()) return;
  for (std::size_t at = got / kSector * kSector; at < out.size(); at += kSector) {
    std::span<std::byte> sector = out.subspan(at, std::min(kSector, out.size() - at));
    const std::size_t n = src.readAt(offset + std::int64_t(at), sector);
    if (n == sector.size()) continue;
    std::fill(sector.begin(), sector.end(), std::byte{0});
    if (sector.size() < kSector) continue;  // a part-sector at the very end is never tested
    const std::int64_t bad = (offset + std::int64_t(at)) / std::int64_t(kSector);
    if (!unreadable.empty() && unreadable.back().first + unreadable.back().count == bad)
      ++unreadable.back().count;
    else
      unreadable.push_back({bad, 1});
  }
}

std::size_t readWholeSectors(const RawRead& raw, std::uint32_t sectorSize, std::int64_t size, std::int64_t offset,
                             std::span<std::byte> out, std::size_t chunk) {
  if (offset < 0 || offset >= size || out.empty() || sectorSize == 0) return 0;
  const std::int64_t sector = sectorSize;
  const std::int64_t end = std::min<std::int64_t>(offset + std::int64_t(out.size()), size);
  const std::int64_t first = offset / sector * sector;
  const std::int64_t last = (end + sector - 1) / sector * sector;
  const std::int64_t step = std::max<std::int64_t>(sector, std::int64_t(chunk) / sector * sector);
  const std::size_t bufferSize = std::size_t(std::min(step, last - first));
  const std::align_val_t alignment{sectorSize};
  const std::unique_ptr<std::byte, std::function<void(std::byte*)>> buffer(
      static_cast<std::byte*>(::operator new(bufferSize, alignment)),
      [alignment](std::byte* p) { ::operator delete(p, alignment); });
  std::size_t done = 0;
  for (std::int64_t at = first; at < last; at += step) {
    const std::int64_t length = std::min(step, last - at);
    const std::size_t got = std::min(raw(at, buffer.get(), std::size_t(length)), std::size_t(length));
    // The part of what came back that was asked for.
    const std::int64_t from = std::max(at, offset);
    const std::int64_t to = std::min(at + std::int64_t(got), end);
    if (to > from) {
      std::memcpy(out.data() + (from - offset), buffer.get() + (from - at), std::size_t(to - from));
      done = std::size_t(to - offset);
    }
    if (std::int64_t(got) < length) break;
  }
  return done;
}

void readExactly(ByteSource& src, std::int64_t offset, std::span<std::byte> out) {
  const std::size_t got = src.readAt(offset, out);
  if (got == out.size()) return;
  throw Error(Message{Message::Code::CannotRead, {src.name(), std::to_string(offset + std::int64_t(got))},
                      src.lastError()});
}

std::vector<SectorRun> mergeSectorRuns(std::vector<SectorRun> runs) {
  std::sort(runs.begin(), runs.end(), [](const SectorRun& a, const SectorRun& b) { return a.first < b.first; });
  std::vector<SectorRun> merged;
  for (const SectorRun& run : runs) {
    if (run.count <= 0) continue;
    if (!merged.empty() && run.first <= merged.back().first + merged.back().count)
      merged.back().count = std::max(merged.back().count, run.first + run.count - merged.back().first);
    else
      merged.push_back(run);
  }
  return merged;
}

}  // namespace kestrix::scan
