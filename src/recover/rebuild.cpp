#include "recover/rebuild.h"

#include <algorithm>
#include <array>
#include <span>
#include <vector>

#include "io/copy_loop.h"
#include "recover/assembly.h"
#include "format/header_block.h"
#include "format/map_page.h"

namespace kestrix::rebuild {

using scan::kIntervalBytes;

void PageIndex::add(PageRecord record) {
  if (!m_records.empty() && record.layout != layout()) {
    ++m_otherLayout;
    return;
  }
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

namespace {

// The ID of the interval a map page of an ANSI file or of one with 4 KiB pages begins: its type
// twice, its CRC holding and its BID, which a map page sets to its own offset in the file, one
// of a map page.
std::optional<std::int32_t> mapPageId(std::span<const std::byte> page, const pst::Geometry& g) {
  const pst::PageTrailer trailer = pst::pageTrailer(page, g);
  if (trailer.type != pst::kPageAllocMap || page[g.pageTrailerAt() + g.pageTrailer.typeRepeatAt] != std::byte{pst::kPageAllocMap} ||
      pst::crc(page.first(g.pageTrailerAt())) != trailer.crc)
    return std::nullopt;
  return scan::MapPageIdOfBid(trailer.bid, g);
}

const pst::Geometry& geometryOf(const PageIndex& index) { return *pst::geometryOf(index.layout()); }

}  // namespace

PageIndex BuildPageIndex(scan::ByteSource& input, std::atomic<bool>& stop, const RebuildProgressFn& progress) {
  stop.store(false);
  PageIndex index;
  const std::int64_t size = input.size();
  const pst::Geometry& g4 = pst::kUnicode4KGeometry;
  std::vector<std::byte> page(g4.pageSize);
  // Intervals of 512-byte pages (Unicode, ANSI) are tested every 0x3E000 bytes, those of 4 KiB
  // pages every 0xFE8000: one step is no multiple of the other, so each has its own. Only the
  // map page of each interval is read here; the write pass reads each interval it copies.
  std::int64_t next = 0, next4K = 0;
  for (std::int64_t offset = 0; offset < size; offset = std::min(next, next4K)) {
    if (stop.load()) break;
    if (offset == next4K) {
      if (offset + g4.mapInterval <= size) {
        scan::readExactly(input, offset, page);
        if (const auto id = mapPageId(page, g4)) index.add({*id, offset, pst::FileLayout::Unicode4K});
      }
      next4K += g4.mapInterval;
    }
    if (offset == next) {
      if (offset + kIntervalBytes <= size) {
        scan::readExactly(input, offset, std::span(page).first(scan::kPageSize));
        const scan::Page first(page.data(), scan::kPageSize);
        if (scan::IsPstMapPage(first))
          index.add({scan::MapPageId(scan::MapPageOffsetField(first)), offset});
        else if (const auto id = mapPageId(first, pst::kAnsiGeometry))
          index.add({*id, offset, pst::FileLayout::Ansi});
      }
      next += kIntervalBytes;
    }
    if (progress) progress({RebuildProgress::Phase::Indexing, offset, size});
  }
  if (progress) progress({RebuildProgress::Phase::Indexing, size, size});
  return index;
}

std::int64_t RebuiltSize(const PageIndex& index) {
  const pst::Geometry& g = geometryOf(index);
  return g.firstMapOffset + (std::int64_t(index.highestId()) + 1) * g.mapInterval;
}

std::vector<std::int32_t> PageIndex::repeatedIds() const {
  std::unordered_map<std::int32_t, std::int64_t> count;
  for (const PageRecord& r : m_records)
    if (r.id >= 0) ++count[r.id];
  std::vector<std::int32_t> out;
  for (const auto& [id, n] : count)
    if (n > 1) out.push_back(id);
  std::sort(out.begin(), out.end());
  return out;
}

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
  const pst::Geometry& g = geometryOf(index);
  const std::int64_t count = std::int64_t(index.highestId()) + 1;
  // Zero intervals are never written: they become holes when the length is set at the end,
  // so a crafted ID far beyond the data costs no time and no disk space.
  const std::vector<PageRecord> records = stop.load() ? std::vector<PageRecord>{} : index.writtenRecords();
  std::vector<CopyRun> runs;
  runs.reserve(records.size());
  for (const PageRecord& record : records) runs.push_back({record.position, g.intervalOffset(record.id), g.mapInterval});
  if (index.layout() == pst::FileLayout::Unicode) {
    output.writeAt(0, HeaderBlock());
  } else {
    // The fixed header block is a Unicode file's: another file gets the one its own trees give.
    std::vector<std::byte> header(std::size_t(g.firstMapOffset));
    RunsView view(input, runs, RebuiltSize(index));
    if (const auto built = stop.load() ? std::nullopt : pst::rebuiltHeader(view, stop);
        built && pst::layoutOf(built->version) == index.layout()) {
      pst::buildHeader(*built, header, {}, g);
      stats.headerBuilt = true;
    }
    output.writeAt(0, header);
  }
  CopyOptions options;
  options.shortReadIsError = true;  // a fragment file that lost bytes is an error, not zeros
  const CopyResult copied = copyRuns(
      input, runs, output, stop,
      [&](const CopyProgress& p) {
        if (progress && p.runsDone > 0)
          progress({RebuildProgress::Phase::Writing, std::int64_t(records[std::size_t(p.runsDone - 1)].id) + 1, count});
      },
      options);
  stats.intervalsCopied = copied.runsCopied;
  stats.stopped = copied.stopped || (stop.load() && records.empty());
  if (!stats.stopped)
    stats.idsWritten = count;
  else  // stopped during the index pass (the header block alone) or before the next record
    stats.idsWritten = copied.runsCopied < std::int64_t(records.size()) ? records[std::size_t(copied.runsCopied)].id : 0;
  stats.size = g.firstMapOffset + stats.idsWritten * g.mapInterval;
  output.resize(stats.size);
  if (progress) progress({RebuildProgress::Phase::Writing, stats.idsWritten, count});
  return stats;
}

namespace {

// Why no whole interval was found: the data of Message::Code::NothingRebuilt.
Message nothingRebuilt(const std::string& inputPath, scan::ByteSource& input) {
  const std::int64_t size = input.size();
  const std::string interval = std::to_string(kIntervalBytes);
  if (size == 0) return {Message::Code::NothingRebuilt, {inputPath, "empty"}};
  if (size < kIntervalBytes) return {Message::Code::NothingRebuilt, {inputPath, "short", std::to_string(size), interval}};
  std::array<std::byte, 4> magic{};
  if (input.readAt(0, magic) == magic.size() && scan::HasPstMagic(magic))
    return {Message::Code::NothingRebuilt, {inputPath, "pst"}};
  return {Message::Code::NothingRebuilt, {inputPath, "nomap", interval}};
}

}  // namespace

void refuseRebuildOutputs(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs, bool repair) {
  std::vector<std::string> written = outputs;
  if (repair)
    for (const std::string& output : outputs) written.push_back(pst::rawPathFor(output));
  refuseOutputsOverInputs(written, inputs);
}

RebuildResult rebuildFile(const std::string& inputPath, const std::string& outputPath, std::atomic<bool>& stop,
                          const RebuildProgressFn& progress, bool repair) {
  refuseRebuildOutputs({inputPath}, {outputPath}, repair);
  scan::FileByteSource input(inputPath);
  RebuildResult result;
  const PageIndex index = BuildPageIndex(input, stop, progress);
  result.intervalsFound = std::int64_t(index.records().size());
  result.highestId = index.highestId();
  result.tailBytes = input.size() % geometryOf(index).mapInterval;
  result.repeatedIds = index.repeatedIds();
  result.layout = index.layout();
  result.otherLayout = index.otherLayout();
  if (!stop.load() && index.records().empty())
    throw Error(nothingRebuilt(inputPath, input));
  if (stop.load()) {  // stopped while indexing: nothing to write
    result.write.stopped = true;
    return result;
  }
  const pst::Geometry& g = geometryOf(index);
  OutputSet outputs(&input, {{outputPath, RebuiltSize(index), g.firstMapOffset + index.idsPresent() * g.mapInterval}});
  result.write = WriteRebuiltPst(index, input, outputs.open(0), stop, progress);
  if (repair && !result.stopped())
    result.checked = pst::checkWrittenPst(outputs, 0, stop, [&](const pst::CheckedOutputProgress& p) {
      if (progress)
        progress({p.stage == pst::CheckedOutputProgress::Stage::Check ? RebuildProgress::Phase::Checking
                                                                       : RebuildProgress::Phase::Repairing,
                  p.done, p.total});
    });
  if (!result.stopped()) outputs.commit();
  return result;
}

}  // namespace kestrix::rebuild
