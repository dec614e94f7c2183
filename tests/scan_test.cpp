#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <tuple>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "recover/sample_image.h"
#include "format/format.h"
#include "format/map_page.h"
#include "scan/scan.h"
#include "support/test_support.h"

using namespace kestrix;
using namespace kestrix::scan;
using test::FaultySource;
using test::MemorySource;

namespace {

// An image of `sectors` sectors of noise with map pages planted at the given sectors.
std::vector<std::byte> imageWith(std::int64_t sectors, const std::vector<std::pair<std::int64_t, std::int64_t>>& pages) {
  std::vector<std::byte> bytes(std::size_t(sectors) * 512);
  rebuild::fillNoise(bytes, 5);
  for (auto [sector, fileOffset] : pages) {
    const auto page = test::mapPageAt(fileOffset);
    std::copy(page.begin(), page.end(), bytes.begin() + sector * 512);
  }
  return bytes;
}

std::int64_t offsetOfId(std::int64_t id) { return 0x4400 + id * 0x3E000; }

ScanResult scanAll(ByteSource& src, const ScanOptions& options = {}) {
  std::atomic<bool> stop{false};
  return scanSource(src, stop, {}, options);
}

}  // namespace

TEST(Scan, FindsPagesAtEverySectorWhateverTheChunkSize) {
  // Pages at the first and last step of a chunk, in the middle, and at the source's end.
  const std::int64_t sectors = 3 * 512 + 7;
  std::vector<std::pair<std::int64_t, std::int64_t>> planted{
      {0, offsetOfId(0)}, {511, offsetOfId(3)}, {512, offsetOfId(4)}, {1031, offsetOfId(9)}, {sectors - 1, 0}};
  MemorySource src(imageWith(sectors, planted));
  const FoundPageList expected{{0, 0}, {3, 511}, {4, 512}, {9, 1031}, {0, sectors - 1}};
  for (std::size_t chunk : {std::size_t(512), std::size_t(4096), kChunkSize, 4 * kChunkSize, std::size_t(1000)}) {
    SCOPED_TRACE(chunk);
    ScanOptions options;
    options.chunkSize = chunk;
    const ScanResult r = scanAll(src, options);
    EXPECT_EQ(r.hits, expected);
    EXPECT_EQ(r.bytesRead, src.size());
    EXPECT_FALSE(r.stopped);
    EXPECT_TRUE(r.unreadable.empty());
  }
}

TEST(Scan, ChunkingAndSizes) {
  {
    MemorySource empty({});
    const ScanResult r = scanAll(empty);
    EXPECT_TRUE(r.hits.empty());
    EXPECT_EQ(empty.reads, 0);
  }
  {
    // Three full chunks and one of 1,024 bytes: its two steps are sectors 1,536 and 1,537.
    const std::int64_t size = 0x40000 * 3 + 1024;
    MemorySource src(imageWith(size / 512, {{1536, offsetOfId(1)}, {1537, offsetOfId(2)}}));
    FaultySource counting(src);
    ScanOptions options;
    options.chunkSize = kChunkSize;
    const ScanResult r = scanAll(counting, options);
    ASSERT_EQ(counting.calls.size(), 4u);
    EXPECT_EQ(counting.calls.back(), std::make_pair(std::int64_t(0xC0000), std::size_t(1024)));
    EXPECT_EQ(r.hits, (FoundPageList{{1, 1536}, {2, 1537}}));
  }
  {
    // A trailing part-sector is read but never tested, even when it holds a page's start.
    auto bytes = imageWith(4, {{2, offsetOfId(1)}});
    const auto page = test::mapPageAt(offsetOfId(5));
    bytes.insert(bytes.end(), page.begin(), page.begin() + 300);
    MemorySource src(std::move(bytes));
    EXPECT_EQ(scanAll(src).hits, (FoundPageList{{1, 2}}));
  }
  {
    // Only the given size is scanned.
    MemorySource src(imageWith(2048, {{10, offsetOfId(1)}, {1500, offsetOfId(2)}}));
    ScanOptions options;
    options.size = 1000 * 512;
    EXPECT_EQ(scanAll(src, options).hits, (FoundPageList{{1, 10}}));
  }
}

TEST(Scan, ShortReadsAreRetriedAndTestOnlyBytesRead) {
  MemorySource src(imageWith(2048, {{100, offsetOfId(1)}, {1100, offsetOfId(2)}, {2047, offsetOfId(3)}}));
  FaultySource shortReads(src);
  shortReads.maxRead = 700;  // every read stops part-way through a sector
  const ScanResult r = scanAll(shortReads);
  EXPECT_EQ(r.hits, (FoundPageList{{1, 100}, {2, 1100}, {3, 2047}}));
  EXPECT_TRUE(r.unreadable.empty());
}

TEST(Scan, UnreadableSectorsAreSkippedCountedAndNeverHits) {
  MemorySource src(imageWith(4096, {{100, offsetOfId(1)}, {600, offsetOfId(2)}, {601, offsetOfId(3)}, {3000, offsetOfId(4)}}));
  FaultySource failing(src);
  failing.badSectors = {600, 601, 602, 1500};
  const ScanResult r = scanAll(failing);
  // The pages in bad sectors are not reported; the scan goes on past them.
  EXPECT_EQ(r.hits, (FoundPageList{{1, 100}, {4, 3000}}));
  EXPECT_EQ(r.unreadable, (std::vector<SectorRun>{{600, 3}, {1500, 1}}));
  EXPECT_EQ(r.unreadableSectors(), 4);
  EXPECT_EQ(describeSectorRuns(r.unreadable), "600-602, 1500");
  EXPECT_EQ(r.bytesRead, src.size());
}

TEST(Scan, SourceThatShrankIsReportedAsSuchNotAsUnreadable) {
  MemorySource src(imageWith(1024, {{10, offsetOfId(1)}, {1000, offsetOfId(2)}}));
  FaultySource shrunk(src);
  shrunk.claimedSize = 1024 * 512 + 3 * 512;  // three sectors more than there are now
  shrunk.badSectors = {500};                 // and one that cannot be read: still unreadable
  for (std::size_t chunk : {std::size_t(4096), kChunkSize}) {
    ScanOptions options;
    options.chunkSize = chunk;
    const ScanResult r = scanAll(shrunk, options);
    EXPECT_EQ(r.hits, (FoundPageList{{1, 10}, {2, 1000}}));
    EXPECT_EQ(r.endedAt, 1024 * 512);
    EXPECT_EQ(r.bytesRead, 1024 * 512);
    EXPECT_EQ(r.unreadable, (std::vector<SectorRun>{{500, 1}}));
  }
  EXPECT_EQ(scanAll(src).endedAt, -1);
  EXPECT_EQ(mergeSectorRuns({{9, 2}, {3, 4}, {5, 1}, {11, 1}, {20, 0}}), (std::vector<SectorRun>{{3, 4}, {9, 3}}));
}

TEST(Scan, StopIsTestedBeforeEachChunk) {
  MemorySource src(imageWith(4 * 512, {{5, offsetOfId(1)}, {600, offsetOfId(2)}}));
  std::atomic<bool> stop{false};
  std::vector<ScanProgress> seen;
  ScanOptions options;
  options.chunkSize = kChunkSize;
  // The stop arrives while the first chunk is being handled: that chunk is examined
  // completely, no further chunk is read.
  const ScanResult r = scanSource(
      src, stop,
      [&](const ScanProgress& p) {
        seen.push_back(p);
        stop = true;
      },
      options);
  EXPECT_TRUE(r.stopped);
  EXPECT_EQ(r.bytesRead, std::int64_t(kChunkSize));
  EXPECT_EQ(r.hits, (FoundPageList{{1, 5}}));
  EXPECT_EQ(src.reads, 1);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front().done, 0);
  EXPECT_EQ(seen.front().total, src.size());

  std::atomic<bool> already{true};
  MemorySource untouched(imageWith(8, {}));
  EXPECT_TRUE(scanSource(untouched, already, {}).stopped);
  EXPECT_EQ(untouched.reads, 0);
}

TEST(Scan, FoundPageTextsHaveSixStrings) {
  EXPECT_EQ(FoundPageTexts({-3, 5000000000}), (std::vector<std::string>{"", "-3", "5000000000", "", "", ""}));
}

TEST(Scan, ReadsFilesThroughFileByteSource) {
  test::TempDir dir;
  EXPECT_THROW(
      {
        try {
          FileByteSource missing(dir.file("missing.img"));
        } catch (const Error& e) {
          EXPECT_EQ(std::string(e.what()), "Cannot open file \"" + dir.file("missing.img") + "\". " + systemReason(ENOENT));
          throw;
        }
      },
      Error);
  test::writeFile(dir.file("enron.img"), test::enronPst());
  FileByteSource src(dir.file("enron.img"));
  EXPECT_EQ(src.size(), 13984768);
  const ScanResult r = scanAll(src);
  ASSERT_EQ(r.hits.size(), 55u);
  for (std::size_t i = 0; i < r.hits.size(); ++i) EXPECT_EQ(r.hits[i], (FoundPage{std::int32_t(i), 34 + 496 * std::int64_t(i)}));
}

TEST(Scan, ZeroMapHoldsOnlyUnitsReadWholeAsZeros) {
  // Units: zeros; zeros but for the unit's last byte; zeros with a sector that cannot
  // be read; zeros; zeros; then half a unit of noise. Chunks that do not line up with units.
  constexpr std::int64_t kUnit = ZeroMap::kUnit;
  std::vector<std::byte> bytes(std::size_t(5 * kUnit + kUnit / 2));
  rebuild::fillNoise(std::span(bytes).subspan(std::size_t(5 * kUnit)), 7);
  bytes[std::size_t(2 * kUnit - 1)] = std::byte{1};
  MemorySource src(bytes);
  FaultySource failing(src);
  failing.badSectors = {(2 * kUnit + 4096) / 512};
  ScanOptions options;
  options.chunkSize = 3 * 512 * 113;
  const ScanResult r = scanAll(failing, options);
  EXPECT_EQ(r.index.zeros.zero, (std::vector<bool>{true, false, false, true, true, false}));
  EXPECT_FALSE(r.index.zeros.isZero(-1));
  EXPECT_FALSE(r.index.zeros.isZero(6));
}

#ifndef _WIN32
// The holes of a sparse file are not read, and the scan finds what reading their zeros would:
// the same hits and zero map as the same bytes in memory. A file cut short inside a hole while
// it is scanned ends where it ends now.
TEST(Scan, HolesOfASparseFileAreNotRead) {
  constexpr std::int64_t kMiB = 1 << 20, kSize = 64 * kMiB;
  std::vector<std::byte> bytes(static_cast<std::size_t>(kSize));
  for (auto [at, length, id] : {std::tuple{kMiB + 4096, 256 * 1024, 3}, std::tuple{40 * kMiB, 64 * 1024, 7}}) {
    const auto piece = imageWith(length / 512, {{length / 1024, offsetOfId(id)}});
    std::copy(piece.begin(), piece.end(), bytes.begin() + at);
  }
  test::TempDir dir;
  const std::string path = dir.file("sparse.img");
  {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, kSize), 0);
    for (std::int64_t at : {kMiB + 4096, 40 * kMiB})
      ASSERT_EQ(::pwrite(fd, bytes.data() + at, 256 * 1024, at), 256 * 1024);
    const off_t hole = ::lseek(fd, 0, SEEK_HOLE);
    ::close(fd);
    if (hole >= kSize) GTEST_SKIP() << "the file system keeps no holes";
  }
  MemorySource memory(bytes);
  const ScanResult expected = scanAll(memory);
  ASSERT_EQ(expected.hits.size(), 2u);
  FileByteSource file(path);
  FaultySource counting(file);
  const ScanResult r = scanAll(counting);
  EXPECT_EQ(r.hits, expected.hits);
  EXPECT_EQ(r.index.zeros.zero, expected.index.zeros.zero);
  EXPECT_EQ(r.bytesRead, kSize);
  EXPECT_EQ(r.endedAt, -1);
  std::int64_t asked = 0;
  for (const auto& call : counting.calls) asked += std::int64_t(call.second);
  EXPECT_LT(asked, 4 * kMiB);

  ASSERT_EQ(::truncate(path.c_str(), 30 * kMiB), 0);
  const ScanResult cut = scanAll(file);
  EXPECT_EQ(cut.hits, FoundPageList{expected.hits.front()});
  EXPECT_EQ(cut.endedAt, 30 * kMiB);
}
#endif

// A device that answers whole, aligned sectors only: every raw read is checked, the bytes asked
// for come back from any offset and length, up to the end and up to a sector that fails.
TEST(Scan, DevicesAreReadInWholeAlignedSectors) {
  std::vector<std::byte> disk(4096 * 7);
  for (std::size_t i = 0; i < disk.size(); ++i) disk[i] = std::byte(i * 7 + i / 4096);
  std::int64_t badFrom = INT64_MAX;
  int misaligned = 0;
  const RawRead raw = [&](std::int64_t at, std::byte* buffer, std::size_t length) {
    misaligned += at % 4096 != 0 || length % 4096 != 0 || reinterpret_cast<std::uintptr_t>(buffer) % 4096 != 0;
    const std::int64_t stop = std::min<std::int64_t>({at + std::int64_t(length), std::int64_t(disk.size()), badFrom});
    if (stop <= at) return std::size_t(0);
    std::memcpy(buffer, disk.data() + at, std::size_t(stop - at));
    return std::size_t(stop - at);
  };
  const std::int64_t size = std::int64_t(disk.size()) - 100;  // a length that is no whole sector
  for (const auto& [offset, length] : std::vector<std::pair<std::int64_t, std::size_t>>{
           {0, 4096}, {1, 10}, {4095, 2}, {5000, 12000}, {100, 27000}, {size - 5, 50}}) {
    std::vector<std::byte> out(length, std::byte{0xEE});
    const std::size_t got = readWholeSectors(raw, 4096, size, offset, out, 8192);
    const std::size_t expected = std::size_t(std::min<std::int64_t>(std::int64_t(length), size - offset));
    ASSERT_EQ(got, expected) << offset;
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + std::ptrdiff_t(got), disk.begin() + offset)) << offset;
  }
  EXPECT_EQ(misaligned, 0);
  std::vector<std::byte> past(10);
  EXPECT_EQ(readWholeSectors(raw, 4096, size, size, past), 0u);
  badFrom = 3 * 4096;  // the fourth sector fails: the bytes before it come back
  std::vector<std::byte> out(20000);
  EXPECT_EQ(readWholeSectors(raw, 4096, size, 100, out, 8192), std::size_t(3 * 4096 - 100));
}

// The quick test that passes over most steps must let every real trailer through: those of
// each layout at each of its places, with the sizes and BIDs at the edges of what a block may
// hold, are kept exactly; those just past an edge are not.
TEST(Scan, BlockTrailersOfEveryLayoutAreKeptAtEveryPlaceAndEdge) {
  using pst::Geometry;
  struct Planted {
    const Geometry* g;
    std::int64_t end;
    pst::BlockTrailer trailer;
    bool kept;
  };
  const Geometry& u = pst::kUnicodeGeometry;
  const Geometry& a = pst::kAnsiGeometry;
  const Geometry& k4 = pst::kUnicode4KGeometry;
  std::vector<Planted> planted;
  std::int64_t step = 4;  // one trailer a step, in noise, after a few steps of noise
  for (std::int64_t place = 1; place <= 8; ++place, ++step) {
    const auto size = std::uint16_t(place % 2 ? 1 : u.maxBlockData());
    planted.push_back({&u, step * 512 + place * 64, {size, 0x1234, 0xCAFEF00D, place % 2 ? 4u : (std::uint64_t(1) << 40) - 4}, true});
  }
  for (std::int64_t place = 1; place <= 8; ++place, ++step) {
    const auto size = std::uint16_t(place % 2 ? a.maxBlockData() : 1);
    planted.push_back({&a, step * 512 + place * 64, {size, 0x4321, 0xF00DCAFE, place % 2 ? 2u : (1u << 28) - 2}, true});
  }
  planted.push_back({&u, (step++) * 512 + 64, {1, 0, 0, std::uint64_t(1) << 40}, false});
  planted.push_back({&u, (step++) * 512 + 128, {std::uint16_t(u.maxBlockData() + 1), 0, 0, 4}, false});
  planted.push_back({&a, (step++) * 512 + 192, {1, 0, 0, 1u << 28}, false});
  planted.push_back({&a, (step++) * 512 + 256, {std::uint16_t(a.maxBlockData() + 1), 0, 0, 2}, false});
  planted.push_back({&k4, (step++) * 512 + 512, {1, 0x5555, 0x01020304, 8, 1}, true});
  planted.push_back({&k4, (step++) * 512 + 512, {std::uint16_t(k4.maxBlockData()), 0x5555, 0x01020304, (std::uint64_t(1) << 40) - 4, 0xFFFF}, true});
  std::vector<std::byte> bytes(std::size_t(step + 4) * 512);
  rebuild::fillNoise(bytes, 9);
  for (const Planted& p : planted)
    pst::putBlockTrailer(std::span(bytes).subspan(std::size_t(p.end) - p.g->blockTrailer.size, p.g->blockTrailer.size), p.trailer, *p.g);
  MemorySource src(bytes);
  const ScanResult result = scanAll(src);
  for (const Planted& p : planted) {
    const LayoutEvidence& evidence = p.g == &u ? result.index : p.g == &a ? result.index.ansi : result.index.pages4K;
    const BlockTrailerHit want{p.end, p.trailer.bid, p.trailer.size, p.trailer.sig, p.trailer.crc};
    EXPECT_EQ(std::count(evidence.trailers.begin(), evidence.trailers.end(), want), p.kept ? 1 : 0)
        << "layout " << int(p.g->layout) << " trailer ending at " << p.end;
  }
}
