#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>

#include "format/format.h"
#include "recover/assembly.h"
#include "format/header_block.h"
#include "recover/sample_image.h"
#include "format/map_page.h"
#include "scan/scan.h"
#include "support/test_support.h"

using namespace kestrix;
using rebuild::AssembledFile;
using rebuild::ByteRun;
using scan::kFirstMapPageOffset;
using scan::kIntervalBytes;

namespace {

constexpr std::int64_t kIv = kIntervalBytes;

std::int64_t fileLength(std::int64_t intervals) { return kFirstMapPageOffset + intervals * kIv; }

// The header's CRCs are set to fit, as the file's own program writes them.
void setDeclaredEnd(std::span<std::byte> header, std::int64_t end) {
  pst::putLe64(header, 184, std::uint64_t(end));
  pst::sealHeader(header.first(scan::kPageSize));
}

// Appends a file's own header and its intervals 0 .. count-1, as where a file's start survived.
void appendStart(rebuild::ImageBuilder& image, std::span<const std::byte> pst, std::int32_t count) {
  image.append(pst.first(std::size_t(kFirstMapPageOffset)));
  image.appendIntervals(pst, 0, count);
}

struct Scanned {
  test::MemorySource src;
  std::vector<scan::Fragment> fragments;
  std::vector<AssembledFile> files;
  explicit Scanned(std::vector<std::byte> bytes) : src(std::move(bytes)) {
    std::atomic<bool> stop{false};
    const auto result = scan::scanSource(src, stop, {});
    fragments = scan::DetectFragments(result.hits);
    files = rebuild::AssembleFiles(fragments, src);
  }
};

std::vector<std::byte> writeToFile(scan::ByteSource& src, std::span<const scan::Fragment> fragments,
                                   const AssembledFile& file, rebuild::RecoverResult* out = nullptr,
                                   const std::atomic<bool>* stopFlag = nullptr,
                                   const rebuild::RecoverProgressFn& progress = {},
                                   const scan::SourceIndex* index = nullptr) {
  test::TempDir dir;
  std::atomic<bool> noStop{false};
  rebuild::OutputFile output(dir.file("out.pst"));
  const auto result =
      rebuild::WriteAssembledFile(src, fragments, file, output, stopFlag ? *stopFlag : noStop, progress, index);
  output.commit();
  if (out) *out = result;
  auto bytes = test::readFile(dir.file("out.pst"));
  EXPECT_EQ(std::int64_t(bytes.size()), result.size);
  return bytes;
}

std::span<const std::byte> interval(std::span<const std::byte> file, std::int64_t id) {
  return file.subspan(std::size_t(fileLength(id)), std::size_t(kIv));
}

bool allZero(std::span<const std::byte> bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::byte b) { return b == std::byte{0}; });
}

// The runs cover the file without a gap and each says truly where its bytes came from.
void expectRunsDescribe(const std::vector<ByteRun>& runs, std::span<const std::byte> source,
                        std::span<const std::byte> file) {
  std::int64_t at = 0;
  for (const ByteRun& r : runs) {
    ASSERT_EQ(r.fileOffset, at);
    ASSERT_GT(r.length, 0);
    const auto part = file.subspan(std::size_t(r.fileOffset), std::size_t(r.length));
    switch (r.origin) {
      case ByteRun::Origin::Source:
        ASSERT_LE(r.sourceOffset + r.length, std::int64_t(source.size())) << "run at " << at;
        EXPECT_TRUE(std::equal(part.begin(), part.end(), source.begin() + r.sourceOffset)) << "run at " << at;
        break;
      case ByteRun::Origin::Zeros: EXPECT_TRUE(allZero(part)) << "run at " << at; break;
      case ByteRun::Origin::HeaderBlock:
        EXPECT_TRUE(std::ranges::equal(part, rebuild::HeaderBlock())) << "run at " << at;
        break;
      case ByteRun::Origin::RebuiltHeader:
        EXPECT_EQ(pst::parseHeader(part).state, pst::HeaderState::Sound) << "run at " << at;
        break;
    }
    at += r.length;
  }
  EXPECT_EQ(at, std::int64_t(file.size()));
}

}  // namespace

TEST(FileAssembly, NearestFollowingFragmentWinsThenNearestBefore) {
  const auto pst = rebuild::makeSyntheticPst(9, 1);
  const auto old = rebuild::makeSyntheticPst(9, 2);  // an older copy: same IDs, other bytes
  rebuild::ImageBuilder image(5);
  image.noise(100);
  image.appendIntervals(old, 6, 3);  // 1: before the start, farther than fragment 4
  image.noise(100);
  image.appendIntervals(old, 3, 3);  // 2: before the start, nearer than fragment 5
  image.noise(100);
  appendStart(image, pst, 3);        // 3: IDs 0-2 and the header
  image.noise(100);
  image.appendIntervals(pst, 6, 3);  // 4: after the start, before fragment 5
  image.noise(3000);
  image.appendIntervals(pst, 3, 3);  // 5: farther away, but after the start
  image.noise(100);
  Scanned s(image.take());
  ASSERT_EQ(s.fragments.size(), 5u);
  ASSERT_EQ(s.files.size(), 1u);
  const AssembledFile& f = s.files[0];
  // ID 3: fragment 5 is the only one after fragment 3. ID 6: nothing lies after fragment 5,
  // so the nearest before it, fragment 4, wins over fragment 1.
  EXPECT_EQ(f.fragmentNumbers, (std::vector<std::int32_t>{3, 5, 4}));
  EXPECT_EQ(f.declaredIntervals, 9);
  EXPECT_EQ(f.missingCount, 0);
  EXPECT_TRUE(f.missingIds.empty());
  EXPECT_EQ(f.fileName, "file1.pst");
  EXPECT_EQ(f.headerSector, s.fragments[2].first.sector - 34);

  rebuild::RecoverResult result;
  const auto written = writeToFile(s.src, s.fragments, f, &result);
  EXPECT_TRUE(std::ranges::equal(written, pst));  // the older copy's bytes were not taken
  EXPECT_TRUE(result.ownHeader);
  EXPECT_EQ(result.intervalsWritten, 9);
  EXPECT_EQ(result.intervalsMissing, 0);
  const auto runs = rebuild::FileByteRuns(s.fragments, f, result);
  EXPECT_EQ(runs.size(), 3u);  // header with IDs 0-2, then 3-5, then 6-8
  expectRunsDescribe(runs, s.src.bytes(), written);

  const auto row = rebuild::MakeFileListRow(f);
  EXPECT_EQ(row.number, "1");
  EXPECT_EQ(row.name, "file1.pst");
  EXPECT_EQ(row.size, "2.19 MB");  // 0x4400 + 9 * 0x3E000 = 2,303,040 bytes
  // The older copies are other versions of IDs 3-5 and 6-8: the file says it may mix them.
  EXPECT_EQ(row.missing, "0 两个版本");
  EXPECT_EQ(row.fragments, "3,5,4");
  EXPECT_EQ(rebuild::describeConflicts(f),
            "2 candidates for IDs 3-5 (fragment 5 taken, 2 passed over); "
            "2 candidates for IDs 6-8 (fragment 4 taken, 1 passed over)");
}

// Old head, new tail, new head, old tail: nearness alone would give each head the wrong tail.
// Each header names its block tree's root page, which lies in the tail; the tail whose page
// carries the block ID the header names is the one that belongs.
TEST(FileAssembly, CompetingVersionsAreMarkedAndTheOneThatAgreesWins) {
  const std::int64_t rootAt = fileLength(9) + 0x1000;  // in interval 9, a tail ID
  auto version = [&](std::uint64_t seed, std::uint64_t bid) {
    auto pst = rebuild::makeSyntheticPst(12, seed);
    for (int i = 0; i < 8; ++i) {
      pst[std::size_t(232 + i)] = std::byte((bid >> (8 * i)) & 0xFF);                     // ROOT.BREFBBT.bid
      pst[std::size_t(240 + i)] = std::byte((std::uint64_t(rootAt) >> (8 * i)) & 0xFF);  // ROOT.BREFBBT.ib
      pst[std::size_t(rootAt + 504 + i)] = std::byte((bid >> (8 * i)) & 0xFF);            // the page's own BID
    }
    pst[std::size_t(rootAt + 496)] = pst[std::size_t(rootAt + 497)] = std::byte{0x80};
    pst[std::size_t(rootAt + 491)] = std::byte{0};  // a leaf: nothing below it
    return pst;
  };
  const auto oldPst = version(61, 0x800), newPst = version(62, 0x1000);
  rebuild::ImageBuilder image(13);
  image.noise(40);
  appendStart(image, oldPst, 6);       // 1
  image.noise(40);
  image.appendIntervals(newPst, 6, 6);  // 2
  image.noise(40);
  appendStart(image, newPst, 6);       // 3
  image.noise(40);
  image.appendIntervals(oldPst, 6, 6);  // 4
  image.noise(40);
  Scanned s(image.take());
  ASSERT_EQ(s.files.size(), 2u);
  EXPECT_EQ(s.files[0].fragmentNumbers, (std::vector<std::int32_t>{1, 4}));
  EXPECT_EQ(s.files[1].fragmentNumbers, (std::vector<std::int32_t>{3, 2}));
  EXPECT_TRUE(std::ranges::equal(writeToFile(s.src, s.fragments, s.files[0]), oldPst));
  EXPECT_TRUE(std::ranges::equal(writeToFile(s.src, s.fragments, s.files[1]), newPst));
  for (const auto& f : s.files) EXPECT_EQ(rebuild::MakeFileListRow(f).missing, "0 两个版本");
  EXPECT_EQ(rebuild::describeConflicts(s.files[0]), "2 candidates for IDs 6-11 (fragment 4 taken, 2 passed over)");
}

// A file of 30,001 intervals whose every interval but the first is a fragment of its own, in
// shuffled order: each step finds its fragment by ID, not by trying every fragment against
// every chosen one. A stop ends the work between two steps.
TEST(FileAssembly, ManySmallFragmentsAndAStop) {
  constexpr std::int32_t kPieces = 30000;
  std::vector<std::byte> header(512);
  header[0] = std::byte{'!'}, header[1] = std::byte{'B'}, header[2] = std::byte{'D'}, header[3] = std::byte{'N'};
  setDeclaredEnd(header, fileLength(kPieces + 1));
  std::vector<scan::Fragment> fragments{{1, {0, 34}, {0, 34}}};
  std::vector<std::int64_t> places(kPieces);
  for (std::int32_t i = 0; i < kPieces; ++i) places[std::size_t(i)] = 100 + 3 * std::int64_t((i * 7919) % kPieces);
  for (std::int32_t i = 0; i < kPieces; ++i) {
    const scan::FoundPage hit{std::int32_t(i + 1), places[std::size_t(i)]};
    fragments.push_back({i + 2, hit, hit});
  }
  std::sort(fragments.begin() + 1, fragments.end(),
            [](const scan::Fragment& a, const scan::Fragment& b) { return a.first.sector < b.first.sector; });
  for (std::size_t i = 0; i < fragments.size(); ++i) fragments[i].number = std::int32_t(i + 1);
  test::MemorySource src(header);
  const auto files = rebuild::AssembleFiles(fragments, src);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].fragmentNumbers.size(), std::size_t(kPieces + 1));
  EXPECT_EQ(files[0].missingCount, 0);
  EXPECT_TRUE(files[0].conflicts.empty());

  // Stopped before the first file, and while a file is being put together (the stop arrives
  // with the read of its header).
  std::atomic<bool> stop{true};
  auto stopped = rebuild::AssembleFiles(fragments, src, stop);
  EXPECT_TRUE(stopped.stopped);
  EXPECT_TRUE(stopped.files.empty());
  struct StopOnRead : test::MemorySource {
    std::atomic<bool>& flag;
    StopOnRead(std::vector<std::byte> bytes, std::atomic<bool>& f) : MemorySource(std::move(bytes)), flag(f) {}
    std::size_t readAt(std::int64_t offset, std::span<std::byte> out) override {
      flag = true;
      return MemorySource::readAt(offset, out);
    }
  };
  stop = false;
  StopOnRead stopping(header, stop);
  stopped = rebuild::AssembleFiles(fragments, stopping, stop);
  EXPECT_TRUE(stopped.stopped);
  EXPECT_TRUE(stopped.files.empty());
}

TEST(FileAssembly, EveryIdZeroFragmentWithADeclaredLengthStartsItsOwnFile) {
  const auto a = rebuild::makeSyntheticPst(4, 11);
  const auto b = rebuild::makeSyntheticPst(3, 12);
  auto noMagic = rebuild::makeSyntheticPst(3, 13);
  noMagic[0] = std::byte{'X'};
  rebuild::ImageBuilder image(6);
  image.appendIntervals(b, 0, 3);  // 1: ID 0 at sector 0, its header would lie before the source
  image.noise(100);
  appendStart(image, a, 2);        // 2: file A, IDs 0-1
  image.noise(100);
  appendStart(image, b, 3);        // 3: file B, IDs 0-2, nearest after A and covering ID 2
  image.noise(100);
  appendStart(image, noMagic, 3);  // 4: a lost header: a file as long as what follows without a gap
  image.noise(100);
  image.appendIntervals(a, 2, 2);  // 5: the rest of A
  image.noise(100);
  Scanned s(image.take());
  ASSERT_EQ(s.fragments.size(), 5u);
  ASSERT_EQ(s.files.size(), 3u);
  EXPECT_EQ(s.files[0].fileName, "file1.pst");
  EXPECT_EQ(s.files[0].fragmentNumbers, (std::vector<std::int32_t>{2, 5}));
  EXPECT_EQ(s.files[0].missingCount, 0);
  EXPECT_EQ(s.files[1].number, 2);
  EXPECT_EQ(s.files[1].fileName, "file2.pst");
  EXPECT_EQ(s.files[1].fragmentNumbers, (std::vector<std::int32_t>{3}));
  EXPECT_TRUE(std::ranges::equal(writeToFile(s.src, s.fragments, s.files[0]), a));
  EXPECT_TRUE(std::ranges::equal(writeToFile(s.src, s.fragments, s.files[1]), b));
  const AssembledFile& lost = s.files[2];
  EXPECT_FALSE(lost.headerHasMagic);
  EXPECT_EQ(lost.fragmentNumbers, (std::vector<std::int32_t>{4}));
  EXPECT_EQ(lost.declaredIntervals, 3);
  EXPECT_EQ(lost.declaredSize, std::int64_t(noMagic.size()));
  EXPECT_EQ(lost.missingCount, 0);
  // No tree page to build a header from: the fixed header block, then the intervals.
  rebuild::RecoverResult result;
  const auto written = writeToFile(s.src, s.fragments, lost, &result);
  EXPECT_FALSE(result.ownHeader || result.headerRebuilt);
  EXPECT_TRUE(std::equal(written.begin() + kFirstMapPageOffset, written.end(), noMagic.begin() + kFirstMapPageOffset));
}

TEST(FileAssembly, FragmentsOverlappingTheChosenOnesAreRefused) {
  auto pst = rebuild::makeSyntheticPst(8, 21);
  setDeclaredEnd(pst, fileLength(8));  // a header whose CRC holds: its length stands, though the source is shorter
  rebuild::ImageBuilder image(7);
  appendStart(image, pst, 3);        // 1: IDs 0-2
  image.noise(100);
  image.appendIntervals(pst, 1, 4);  // 2: IDs 1-4, nearest after but overlapping 1-2
  image.noise(100);
  image.appendIntervals(pst, 3, 3);  // 3: IDs 3-5
  image.noise(100);
  image.appendIntervals(pst, 5, 3);  // 4: IDs 5-7, nearest after 3 but overlapping ID 5
  image.noise(100);
  image.appendIntervals(pst, 6, 2);  // 5: IDs 6-7
  image.noise(100);
  Scanned s(image.take());
  ASSERT_EQ(s.fragments.size(), 5u);
  ASSERT_EQ(s.files.size(), 1u);
  EXPECT_EQ(s.files[0].fragmentNumbers, (std::vector<std::int32_t>{1, 3, 5}));
  EXPECT_EQ(s.files[0].missingCount, 0);
  EXPECT_TRUE(std::ranges::equal(writeToFile(s.src, s.fragments, s.files[0]), pst));

  // With only overlapping fragments left, the IDs they alone hold are missing.
  rebuild::ImageBuilder only(8);
  appendStart(only, pst, 3);
  only.noise(100);
  only.appendIntervals(pst, 1, 4);
  only.noise(100);
  Scanned t(only.take());
  ASSERT_EQ(t.files.size(), 1u);
  EXPECT_EQ(t.files[0].fragmentNumbers, (std::vector<std::int32_t>{1}));
  EXPECT_EQ(t.files[0].missingIds, (std::vector<std::int32_t>{3, 4, 5, 6, 7}));
  EXPECT_EQ(t.files[0].missingCount, 5);
  EXPECT_EQ(rebuild::describeMissingIds(t.files[0]), "3-7");
  EXPECT_EQ(rebuild::MakeFileListRow(t.files[0]).missing, "5");
}

TEST(FileAssembly, DeclaredLengthShorterOrLongerThanFound) {
  // Shorter: the header says 4 intervals, the fragment goes on to ID 5. The file keeps its
  // declared length; the two intervals past it are counted, not written.
  auto shorter = rebuild::makeSyntheticPst(6, 31);
  setDeclaredEnd(shorter, fileLength(4));
  {
    rebuild::ImageBuilder image(9);
    image.noise(10);
    appendStart(image, shorter, 6);
    image.noise(100);
    Scanned s(image.take());
    ASSERT_EQ(s.files.size(), 1u);
    const auto& f = s.files[0];
    EXPECT_EQ(f.declaredIntervals, 4);
    EXPECT_EQ(f.missingCount, 0);
    EXPECT_EQ(f.intervalsBeyondEnd, 2);
    EXPECT_EQ(f.outputSize(), fileLength(4));
    const auto written = writeToFile(s.src, s.fragments, f);
    EXPECT_TRUE(std::ranges::equal(written, std::span(shorter).first(std::size_t(fileLength(4)))));
  }
  // Longer: the header says 8, only IDs 0-4 exist. IDs 5-7 are zero holes; the length holds.
  auto longer = rebuild::makeSyntheticPst(5, 32);
  setDeclaredEnd(longer, fileLength(8));
  {
    rebuild::ImageBuilder image(10);
    image.noise(10);
    appendStart(image, longer, 5);
    image.noise(100);
    Scanned s(image.take());
    ASSERT_EQ(s.files.size(), 1u);
    const auto& f = s.files[0];
    EXPECT_EQ(f.missingIds, (std::vector<std::int32_t>{5, 6, 7}));
    EXPECT_EQ(f.intervalsFound(), 5);
    rebuild::RecoverResult result;
    const auto written = writeToFile(s.src, s.fragments, f, &result);
    ASSERT_EQ(std::int64_t(written.size()), fileLength(8));
    EXPECT_TRUE(std::equal(longer.begin(), longer.end(), written.begin()));
    for (int id = 5; id < 8; ++id) EXPECT_TRUE(allZero(interval(written, id))) << id;
    EXPECT_EQ(result.intervalsMissing, 3);
    expectRunsDescribe(rebuild::FileByteRuns(s.fragments, f, result), s.src.bytes(), written);
  }
  // An end between two interval boundaries: 大小 shows it, the file ends at the lower one.
  auto ragged = rebuild::makeSyntheticPst(3, 33);
  setDeclaredEnd(ragged, fileLength(3) + 1000);
  // A crafted end near 2^31 intervals: listed in bounded memory and time, counted in full.
  auto crafted = rebuild::makeSyntheticPst(2, 34);
  setDeclaredEnd(crafted, fileLength(INT32_MAX));
  // One interval more than IDs can number: a file that cannot be built, said so, not a
  // wrapped count; the files beside it are not affected.
  auto beyond = rebuild::makeSyntheticPst(2, 35);
  setDeclaredEnd(beyond, fileLength(std::int64_t(INT32_MAX) + 1));
  {
    rebuild::ImageBuilder image(11);
    image.noise(10);
    appendStart(image, ragged, 3);
    image.noise(100);
    appendStart(image, crafted, 2);
    image.noise(100);
    appendStart(image, beyond, 2);
    image.noise(100);
    Scanned s(image.take());
    ASSERT_EQ(s.files.size(), 3u);
    EXPECT_TRUE(s.files[0].unbuildable.empty());
    EXPECT_NE(s.files[2].unbuildable.find("more intervals than map page IDs can number"), std::string::npos);
    EXPECT_THROW(writeToFile(s.src, s.fragments, s.files[2]), Error);
    EXPECT_EQ(s.files[0].declaredSize, fileLength(3) + 1000);
    EXPECT_EQ(s.files[0].outputSize(), fileLength(3));
    EXPECT_EQ(rebuild::MakeFileListRow(s.files[0]).size, "761.97 KB");  // 780,264 bytes
    const auto& c = s.files[1];
    EXPECT_EQ(c.declaredIntervals, INT32_MAX);
    EXPECT_EQ(c.missingCount, std::int64_t(INT32_MAX) - 2);
    EXPECT_EQ(c.missingIds.size(), rebuild::kMaxListedMissingIds);
    EXPECT_EQ(c.missingIds.front(), 2);
    EXPECT_EQ(rebuild::MakeFileListRow(c).missing, std::to_string(std::int64_t(INT32_MAX) - 2));
    EXPECT_TRUE(rebuild::describeMissingIds(c).ends_with(", ..."));
  }
}

// An unreadable zone of a failing disk inside a file put together by its own index: the
// blocks it touches keep their readable bytes, so exactly the zone is lost, as with a sector copy.
TEST(RecoverWrite, AnUnreadableZoneLosesOnlyItsOwnSectors) {
  const auto& pst = test::enronPst();
  rebuild::ImageBuilder image(3);
  image.noise(50);
  appendStart(image, pst, 55);
  Scanned s(image.take());
  ASSERT_EQ(s.files.size(), 1u);
  test::FaultySource faulty(s.src);
  const std::int64_t zone = fileLength(10) + 4096;  // 8 KiB inside interval 10's blocks
  for (std::int64_t i = 0; i < 16; ++i) faulty.badSectors.insert(s.files[0].headerSector + zone / 512 + i);
  std::atomic<bool> stop{false};
  const auto index = scan::scanSource(faulty, stop, {}).index;
  rebuild::RecoverResult result;
  const auto written = writeToFile(faulty, s.fragments, s.files[0], &result, nullptr, {}, &index);
  EXPECT_TRUE(result.reassembled);
  EXPECT_GT(result.blocks.blocksInferred, 0);
  EXPECT_EQ(result.blocks.blocksMissing, 0);
  auto expected = pst;
  std::fill_n(expected.begin() + zone, 8192, std::byte{0});
  EXPECT_TRUE(std::ranges::equal(written, expected));
}

TEST(RecoverWrite, UnreadableSectorsHeaderBlockAndStop) {
  const auto pst = rebuild::makeSyntheticPst(4, 41);
  rebuild::ImageBuilder image(12);
  image.noise(50);
  appendStart(image, pst, 2);
  image.noise(100);
  const std::int64_t rest = image.appendIntervals(pst, 2, 2);
  image.noise(100);
  Scanned s(image.take());
  ASSERT_EQ(s.files.size(), 1u);
  const AssembledFile& f = s.files[0];

  // Sectors 5 of the header and 7-8 of ID 3 cannot be read: zeros there, listed, the rest intact.
  test::FaultySource faulty(s.src);
  const std::int64_t badHeader = f.headerSector + 5, badData = rest + 496 + 7;
  faulty.badSectors = {badHeader, badData, badData + 1};
  rebuild::RecoverResult result;
  const auto written = writeToFile(faulty, s.fragments, f, &result);
  EXPECT_EQ(result.unreadable,
            (std::vector<scan::SectorRun>{{badHeader, 1}, {badData, 2}}));
  EXPECT_TRUE(result.ownHeader);
  auto expected = pst;
  std::fill_n(expected.begin() + 5 * 512, 512, std::byte{0});
  std::fill_n(expected.begin() + fileLength(3) + 7 * 512, 1024, std::byte{0});
  EXPECT_TRUE(std::ranges::equal(written, expected));
  const auto runs = rebuild::FileByteRuns(s.fragments, f, result);
  expectRunsDescribe(runs, s.src.bytes(), written);
  EXPECT_EQ(std::ranges::count_if(runs, [](const ByteRun& r) { return r.origin == ByteRun::Origin::Zeros; }), 2);

  // A header that has lost its magic by the time it is written: the fixed header block.
  AssembledFile noHeader = f;
  noHeader.headerHasMagic = false;
  const auto withBlock = writeToFile(s.src, s.fragments, noHeader, &result);
  EXPECT_FALSE(result.ownHeader);
  EXPECT_TRUE(std::ranges::equal(std::span(withBlock).first(rebuild::kHeaderBlockSize), rebuild::HeaderBlock()));
  EXPECT_TRUE(std::equal(withBlock.begin() + kFirstMapPageOffset, withBlock.end(), pst.begin() + kFirstMapPageOffset));
  expectRunsDescribe(rebuild::FileByteRuns(s.fragments, noHeader, result), s.src.bytes(), withBlock);

  // Stopped after the second interval: the file ends there and says so.
  std::atomic<bool> stop{false};
  const auto part = writeToFile(s.src, s.fragments, f, &result, &stop, [&](const rebuild::RecoverProgress& p) {
    if (p.done >= fileLength(2)) stop = true;
  });
  EXPECT_TRUE(result.stopped);
  EXPECT_EQ(result.intervalsWritten, 2);
  EXPECT_EQ(std::int64_t(part.size()), fileLength(2));
  EXPECT_TRUE(std::equal(part.begin(), part.end(), pst.begin()));
  expectRunsDescribe(rebuild::FileByteRuns(s.fragments, f, result), s.src.bytes(), part);

  // A fragment number the list does not hold is an error, not a silent gap.
  AssembledFile stale = f;
  stale.fragmentNumbers.push_back(99);
  EXPECT_THROW(writeToFile(s.src, s.fragments, stale), Error);
}

// Random fragment lists against the rule's promises: chosen ranges never overlap, every ID
// below k is covered or missing (never both), and a missing ID is one that no unchosen
// fragment could have filled without overlapping.
TEST(FileAssembly, RandomFragmentListsKeepTheRulesPromises) {
  std::vector<std::byte> header(512);
  header[0] = std::byte{'!'}, header[1] = std::byte{'B'}, header[2] = std::byte{'D'}, header[3] = std::byte{'N'};
  std::vector<std::byte> bytes;
  for (int i = 0; i < 4096; ++i) bytes.insert(bytes.end(), header.begin(), header.end());
  std::uint64_t state = 12345;
  auto next = [&](std::uint64_t n) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return std::int64_t((state >> 33) % n);
  };
  std::int64_t filesSeen = 0, missingSeen = 0, multiSeen = 0;
  for (int round = 0; round < 200; ++round) {
    const std::int64_t k = 1 + next(40);
    auto image = bytes;
    for (int s = 0; s < 4096; ++s) setDeclaredEnd(std::span(image).subspan(std::size_t(s) * 512, 512), fileLength(k));
    test::MemorySource src(std::move(image));
    std::vector<scan::Fragment> fragments;
    std::int64_t sector = 0;
    const int count = 1 + int(next(25));
    for (int n = 1; n <= count; ++n) {
      sector += 1 + next(200);
      const auto first = std::int32_t(next(5) == 0 ? 0 : next(50) - 3);
      fragments.push_back({n, {first, sector}, {std::int32_t(first + next(12)), sector}});
    }
    const auto files = rebuild::AssembleFiles(fragments, src);
    for (const auto& f : files) {
      ASSERT_EQ(f.declaredIntervals, k);
      ++filesSeen;
      missingSeen += f.missingCount > 0;
      multiSeen += f.fragmentNumbers.size() > 2;
      std::vector<int> owner(std::size_t(k), 0);
      for (std::size_t i = 0; i < f.fragmentNumbers.size(); ++i) {
        const auto& frag = fragments[std::size_t(f.fragmentNumbers[i] - 1)];
        // A file begins at ID 0, or (its first intervals lost) at a fragment no other file took.
        if (i > 0) {
          EXPECT_NE(frag.first.id, 0) << "round " << round;
        }
        for (std::int64_t id = std::max(0, frag.first.id); id <= std::min<std::int64_t>(frag.last.id, k - 1); ++id)
          EXPECT_EQ(owner[std::size_t(id)]++, 0) << "round " << round << ": ID " << id << " chosen twice";
      }
      std::int64_t uncovered = 0;
      for (std::int64_t id = 0; id < k; ++id) uncovered += owner[std::size_t(id)] == 0;
      EXPECT_EQ(f.missingCount, uncovered) << "round " << round;
      for (std::int32_t id : f.missingIds) {
        ASSERT_EQ(owner[std::size_t(id)], 0);
        for (const auto& frag : fragments) {
          if (frag.first.id <= 0 || frag.first.id > id || frag.last.id < id) continue;
          bool overlaps = false;
          for (std::int64_t j = std::max(0, frag.first.id); j <= std::min<std::int64_t>(frag.last.id, k - 1); ++j)
            overlaps = overlaps || owner[std::size_t(j)] != 0;
          EXPECT_TRUE(overlaps) << "round " << round << ": fragment " << frag.number << " could fill ID " << id;
        }
      }
    }
  }
  // The rounds exercised the rule: files with several fragments, and files with gaps.
  EXPECT_GT(filesSeen, 100);
  EXPECT_GT(missingSeen, 20);
  EXPECT_GT(multiSeen, 20);
}
