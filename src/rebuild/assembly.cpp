#include "rebuild/assembly.h"

#include <algorithm>
#include <array>

#include "rebuild/header_block.h"
#include "scan/map_page.h"
#include "sources/size_text.h"

namespace kestrix::rebuild {

using scan::kFirstMapPageOffset;
using scan::kFirstMapPageSector;
using scan::kIntervalBytes;
using scan::kIntervalSectors;
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

// The ranges chosen for one file, sorted by first ID; they never overlap.
class Coverage {
 public:
  void add(IdRange r) {
    m_ranges.insert(std::upper_bound(m_ranges.begin(), m_ranges.end(), r,
                                     [](const IdRange& a, const IdRange& b) { return a.first < b.first; }),
                    r);
  }
  bool overlaps(const IdRange& r) const {
    return std::any_of(m_ranges.begin(), m_ranges.end(), [&](const IdRange& c) { return c.overlaps(r); });
  }
  // The smallest ID >= id that no chosen range holds.
  std::int64_t nextUncovered(std::int64_t id) const {
    for (const IdRange& c : m_ranges)
      if (c.contains(id)) id = c.last + 1;
    return id;
  }
  const std::vector<IdRange>& ranges() const { return m_ranges; }

 private:
  std::vector<IdRange> m_ranges;
};

void addMissingStretch(AssembledFile& file, std::int64_t from, std::int64_t to) {
  if (from >= to) return;
  file.missingCount += to - from;
  for (std::int64_t id = from; id < to && file.missingIds.size() < kMaxListedMissingIds; ++id)
    file.missingIds.push_back(std::int32_t(id));
}

// Records the IDs from .. to-1 that no chosen range holds as missing, a stretch at a time,
// so that a crafted k of 2^31 - 1 costs no time.
void addMissing(AssembledFile& file, const Coverage& coverage, std::int64_t from, std::int64_t to) {
  std::int64_t id = from;
  for (const IdRange& c : coverage.ranges()) {
    if (c.last < id) continue;
    if (c.first >= to) break;
    addMissingStretch(file, id, std::min(c.first, to));
    id = std::max(id, c.last + 1);
  }
  addMissingStretch(file, id, to);
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
  std::vector<Piece> pieces;
  for (std::int32_t number : file.fragmentNumbers) {
    const scan::Fragment* f = findFragment(fragments, number);
    if (!f)
      throw Error("Cannot write " + file.fileName + ": fragment " + std::to_string(number) +
                  " is not in the fragment list");
    const IdRange ids = usedIds(*f, file.declaredIntervals);
    if (ids.empty()) continue;
    pieces.push_back({ids.first, ids.last, f->first.sector + (ids.first - f->first.id) * kIntervalSectors});
  }
  std::sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) { return a.firstId < b.firstId; });
  return pieces;
}

std::int64_t intervalOffset(std::int64_t id) { return kFirstMapPageOffset + id * kIntervalBytes; }

}  // namespace

std::int64_t AssembledFile::outputSize() const { return intervalOffset(std::max<std::int64_t>(declaredIntervals, 0)); }

std::vector<AssembledFile> AssembleFiles(std::span<const scan::Fragment> fragments, scan::ByteSource& src) {
  std::vector<AssembledFile> files;
  for (const scan::Fragment& start : fragments) {
    if (start.first.id != 0 || start.first.sector < kFirstMapPageSector) continue;
    std::array<std::byte, kPageSize> header{};
    const std::int64_t headerSector = start.first.sector - kFirstMapPageSector;
    if (src.readAt(headerSector * std::int64_t(kPageSize), header) != header.size()) continue;
    const std::int64_t k = scan::PstHeaderIntervals(header);
    if (k <= 0) continue;

    AssembledFile file;
    file.number = std::int32_t(files.size() + 1);
    file.fileName = "file" + std::to_string(file.number) + ".pst";
    file.declaredSize = scan::PstHeaderEndOffset(header);
    file.declaredIntervals = std::int32_t(k);
    file.headerSector = headerSector;
    file.headerHasMagic = true;

    Coverage coverage;
    std::vector<const scan::Fragment*> chosen{&start};
    coverage.add(usedIds(start, k));
    // Candidates for this file: everything with IDs below k that does not start a file.
    std::vector<const scan::Fragment*> candidates;
    for (const auto& f : fragments)
      if (f.first.id != 0 && !usedIds(f, k).empty()) candidates.push_back(&f);

    std::int64_t u = coverage.nextUncovered(0);
    while (u < k) {
      const std::int64_t prev = chosen.back()->first.sector;
      const scan::Fragment* best = nullptr;
      std::int64_t nextUseful = k;  // the lowest ID above u that a candidate still free could cover
      for (const scan::Fragment* f : candidates) {
        const IdRange ids = usedIds(*f, k);
        if (coverage.overlaps(ids)) continue;  // also every fragment already chosen
        if (ids.last > u) nextUseful = std::min(nextUseful, std::max(ids.first, u + 1));
        if (!ids.contains(u)) continue;
        const std::int64_t at = f->first.sector;
        if (!best) {
          best = f;
          continue;
        }
        const std::int64_t bestAt = best->first.sector;
        const bool after = at > prev, bestAfter = bestAt > prev;
        if (after != bestAfter ? after : after ? at < bestAt : at > bestAt) best = f;
      }
      if (best) {
        chosen.push_back(best);
        coverage.add(usedIds(*best, k));
        u = coverage.nextUncovered(u);
      } else {
        // Nothing can ever cover u, nor any ID below nextUseful that is not covered yet.
        addMissing(file, coverage, u, nextUseful);
        u = coverage.nextUncovered(nextUseful);
      }
    }
    for (const scan::Fragment* f : chosen) {
      file.fragmentNumbers.push_back(f->number);
      const std::int64_t beyond = std::int64_t(f->last.id) - std::max<std::int64_t>(f->first.id, k) + 1;
      file.intervalsBeyondEnd += std::max<std::int64_t>(beyond, 0);
    }
    files.push_back(std::move(file));
  }
  return files;
}

FileListRow MakeFileListRow(const AssembledFile& file) {
  FileListRow row;
  row.number = std::to_string(file.number);
  row.name = file.fileName;
  row.size = sources::SizeToText(static_cast<std::uint64_t>(file.declaredSize));
  row.missing = std::to_string(file.missingCount);
  for (std::size_t i = 0; i < file.fragmentNumbers.size(); ++i)
    row.fragments += (i ? "," : "") + std::to_string(file.fragmentNumbers[i]);
  return row;
}

std::string describeMissingIds(const AssembledFile& file, std::size_t maxRuns) {
  std::string text;
  std::size_t runs = 0;
  const auto& ids = file.missingIds;
  for (std::size_t i = 0; i < ids.size();) {
    std::size_t j = i;
    while (j + 1 < ids.size() && ids[j + 1] == ids[j] + 1) ++j;
    if (runs == maxRuns) return text + ", ...";
    text += (runs ? ", " : "") + std::to_string(ids[i]) + (j > i ? "-" + std::to_string(ids[j]) : "");
    ++runs;
    i = j + 1;
  }
  if (std::int64_t(ids.size()) < file.missingCount) text += ", ...";
  return text;
}

RecoverResult WriteAssembledFile(scan::ByteSource& src, std::span<const scan::Fragment> fragments,
                                 const AssembledFile& file, OutputFile& output, const std::atomic<bool>& stop,
                                 const RecoverProgressFn& progress) {
  RecoverResult result;
  const std::vector<Piece> pieces = piecesOf(fragments, file);
  std::int64_t found = 0;
  for (const Piece& p : pieces) found += p.lastId - p.firstId + 1;
  const std::int64_t total = kFirstMapPageOffset + found * kIntervalBytes;
  if (progress) progress({0, total});

  std::vector<std::byte> buffer(static_cast<std::size_t>(kIntervalBytes));
  {
    auto header = std::span(buffer).first(std::size_t(kFirstMapPageOffset));
    if (file.headerHasMagic && file.headerSector >= 0) {
      scan::readSectorsRetrying(src, file.headerSector * std::int64_t(kPageSize), header, result.unreadable);
      result.ownHeader = scan::HasPstMagic(header);
    }
    if (!result.ownHeader) {
      // The header's sectors are not part of the file after all: they were not written.
      result.unreadable.clear();
      output.writeAt(0, HeaderBlock());
    } else {
      output.writeAt(0, header);
    }
  }
  std::int64_t done = kFirstMapPageOffset;
  std::int64_t end = kFirstMapPageOffset;  // the end of the last interval written
  for (const Piece& p : pieces) {
    for (std::int64_t id = p.firstId; id <= p.lastId && !result.stopped; ++id) {
      if (stop.load()) {
        result.stopped = true;
        break;
      }
      const std::int64_t sector = p.sourceSector + (id - p.firstId) * kIntervalSectors;
      scan::readSectorsRetrying(src, sector * std::int64_t(kPageSize), buffer, result.unreadable);
      output.writeAt(intervalOffset(id), buffer);
      ++result.intervalsWritten;
      end = intervalOffset(id + 1);
      done += kIntervalBytes;
      if (progress) progress({done, total});
    }
    if (result.stopped) break;
  }
  result.size = result.stopped ? end : file.outputSize();
  output.resize(result.size);
  result.intervalsMissing = result.stopped ? 0 : file.missingCount;
  if (result.stopped)  // the zero intervals below the last one written are still holes
    for (std::int32_t id : file.missingIds) result.intervalsMissing += intervalOffset(id) < end ? 1 : 0;
  const std::int64_t sourceSectors = src.size() / std::int64_t(kPageSize);
  for (const auto& run : result.unreadable)
    result.sectorsPastEnd += std::clamp<std::int64_t>(run.first + run.count - sourceSectors, 0, run.count);
  if (progress) progress({done, total});
  return result;
}

std::vector<ByteRun> FileByteRuns(std::span<const scan::Fragment> fragments, const AssembledFile& file,
                                  const RecoverResult& result) {
  // First the runs as planned, then cut at the unreadable sectors.
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
  if (result.ownHeader)
    push({ByteRun::Origin::Source, 0, file.headerSector * std::int64_t(kPageSize), kFirstMapPageOffset});
  else
    push({ByteRun::Origin::HeaderBlock, 0, -1, kFirstMapPageOffset});
  std::int64_t at = kFirstMapPageOffset;
  for (const Piece& p : piecesOf(fragments, file)) {
    const std::int64_t from = intervalOffset(p.firstId);
    push({ByteRun::Origin::Zeros, at, -1, std::min(from, result.size) - at});
    const std::int64_t length = std::min(intervalOffset(p.lastId + 1), result.size) - from;
    push({ByteRun::Origin::Source, from, p.sourceSector * std::int64_t(kPageSize), length});
    at = std::max(at, from + std::max<std::int64_t>(length, 0));
  }
  push({ByteRun::Origin::Zeros, at, -1, result.size - at});

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
