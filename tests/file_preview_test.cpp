#include <gtest/gtest.h>

#include <atomic>

#include "pst/check.h"
#include "pst/mailbox_outline.h"
#include "recover/file_preview.h"
#include "recover/sample_image.h"
#include "scan/scan.h"
#include "support/test_support.h"

using namespace kestrix;
using rebuild::FilePreview;

namespace {

// The example's image: the sample mailbox in three pieces out of order and a synthetic file
// (map pages and noise, no index) in two, a stray map page between them. With `skip`, that
// interval of the mailbox is left out.
std::vector<std::byte> exampleImage(std::span<const std::byte> pst, std::int32_t skip = -1) {
  const std::int32_t k = scan::PstHeaderIntervals(pst.first<512>());
  const auto synthetic = rebuild::makeSyntheticPst(12, 7);
  rebuild::ImageBuilder image(2026);
  const auto intervals = [&](std::int32_t first, std::int32_t end) {
    for (std::int32_t id = first; id < end; ++id)
      if (id != skip) image.appendIntervals(pst, id, 1);
  };
  image.noise(2048);
  intervals(2 * k / 3, k);
  image.noise(300);
  image.append(std::span(synthetic).first(std::size_t(scan::kFirstMapPageOffset)));
  image.appendIntervals(synthetic, 0, 6);
  image.noise(1000);
  image.append(pst.first(std::size_t(scan::kFirstMapPageOffset)));
  intervals(0, k / 3);
  image.noise(77);
  image.append(rebuild::makeMapPage(scan::kFirstMapPageOffset + 7 * scan::kIntervalBytes, 99));
  image.noise(500);
  intervals(k / 3, 2 * k / 3);
  image.noise(200);
  image.appendIntervals(synthetic, 6, 6);
  image.noise(2048);
  return image.take();
}

struct Previewed {
  test::MemorySource src;
  std::vector<rebuild::AssembledFile> files;
  std::vector<FilePreview> previews;
  explicit Previewed(std::vector<std::byte> bytes) : src(std::move(bytes)) {
    std::atomic<bool> stop{false};
    const auto scanned = scan::scanSource(src, stop, {});
    const auto fragments = scan::DetectFragments(scanned.hits);
    files = rebuild::AssembleFiles(fragments, src, stop, &scanned.index).files;
    previews = rebuild::previewFiles(src, fragments, files, &scanned.index, stop);
  }
  const FilePreview& mailbox() const {
    for (std::size_t i = 0; i < files.size(); ++i)
      if (files[i].declaredSize == std::int64_t(test::enronPst().size())) return previews.at(i);
    throw std::runtime_error("no mailbox among the files");
  }
};

std::int64_t checkedMessages() {
  test::MemorySource file(test::enronPst());
  std::atomic<bool> stop{false};
  return pst::checkPst(file, stop).messages;
}

}  // namespace

// Both files of the example: the mailbox named with its folders and the messages its check
// counts, read from a small part of its bytes; the synthetic file, which has no index, says so.
TEST(FilePreview, ExampleImageNamesTheMailboxFromItsIndexAlone) {
  Previewed p(exampleImage(test::enronPst()));
  ASSERT_EQ(p.files.size(), 2u);
  ASSERT_EQ(p.previews.size(), 2u);
  const FilePreview& mailbox = p.mailbox();
  EXPECT_TRUE(mailbox.indexRead);
  EXPECT_EQ(mailbox.state, FilePreview::State::Complete) << mailbox.why;
  EXPECT_EQ(mailbox.why, "");
  EXPECT_EQ(mailbox.mailboxName, "Personal folders");
  EXPECT_EQ(mailbox.topFolders, (std::vector<std::string>{"Deleted Items", "lokay-m"}));
  EXPECT_EQ(mailbox.messages, checkedMessages());
  EXPECT_EQ(mailbox.messages, 71);
  EXPECT_LT(mailbox.bytesRead, std::int64_t(test::enronPst().size()) / 8);

  const FilePreview& synthetic = &mailbox == &p.previews[0] ? p.previews[1] : p.previews[0];
  EXPECT_FALSE(synthetic.indexRead);
  EXPECT_EQ(synthetic.state, FilePreview::State::Damaged);
  EXPECT_NE(synthetic.why, "");
  EXPECT_EQ(synthetic.mailboxName, "");
}

// An interval lost: damaged, saying which; a header lost: still read from the roots the
// source holds; a second, different copy of intervals: two versions; a stop before the first
// file previews none.
TEST(FilePreview, StatesFromTheIntervalsAndTheHeader) {
  const auto& pst = test::enronPst();
  const std::int32_t k = scan::PstHeaderIntervals(std::span(pst).first<512>());
  {
    Previewed p(exampleImage(pst, 20));
    const FilePreview& mailbox = p.mailbox();
    EXPECT_EQ(mailbox.state, FilePreview::State::Damaged);
    EXPECT_NE(mailbox.why.find("1 interval missing (IDs 20)"), std::string::npos) << mailbox.why;
  }
  {
    auto headless = pst;
    std::fill_n(headless.begin(), 512, std::byte{0});
    rebuild::ImageBuilder image(4);
    image.noise(100);
    image.append(std::span(headless).first(std::size_t(scan::kFirstMapPageOffset)));
    image.appendIntervals(headless, 0, k);
    Previewed p(image.take());
    ASSERT_EQ(p.previews.size(), 1u);
    const FilePreview& file = p.previews[0];
    EXPECT_EQ(file.state, FilePreview::State::Damaged);
    EXPECT_TRUE(file.why.starts_with("no header of its own")) << file.why;
    EXPECT_TRUE(file.indexRead) << file.why;
    EXPECT_EQ(file.messages, 71);
    EXPECT_EQ(file.mailboxName, "Personal folders");
  }
  {
    auto other = pst;
    other[std::size_t(scan::kFirstMapPageOffset + 31 * scan::kIntervalBytes - 1)] ^= std::byte{1};
    rebuild::ImageBuilder image(5);
    image.append(std::span(pst).first(std::size_t(scan::kFirstMapPageOffset)));
    image.appendIntervals(pst, 0, 30);
    image.noise(100);
    image.appendIntervals(pst, 30, k - 30);
    image.noise(100);
    image.appendIntervals(other, 30, k - 30);
    Previewed p(image.take());
    ASSERT_EQ(p.previews.size(), 1u);
    EXPECT_EQ(p.previews[0].state, FilePreview::State::TwoVersions);
    EXPECT_TRUE(p.previews[0].why.starts_with("another version of some intervals: 2 candidates for IDs 30-54"))
        << p.previews[0].why;
    EXPECT_EQ(p.previews[0].messages, 71);
  }
  test::MemorySource src(exampleImage(pst));
  std::atomic<bool> stop{false};
  const auto scanned = scan::scanSource(src, stop, {});
  const auto fragments = scan::DetectFragments(scanned.hits);
  const auto files = rebuild::AssembleFiles(fragments, src);
  stop = true;
  EXPECT_TRUE(rebuild::previewFiles(src, fragments, files, &scanned.index, stop).empty());
}

// A block tree larger than the preview reads (the sample's node tree has 16 pages, its block
// tree 280): read that far, the blocks of the store and the folders looked up from the root,
// and said.
TEST(FilePreview, OutlineOfAnIndexLargerThanTheLimit) {
  test::MemorySource file(test::enronPst());
  std::atomic<bool> stop{false};
  pst::OutlineLimits limits;
  limits.maxPages = 16;
  const pst::MailboxOutline outline = pst::readMailboxOutline(file, stop, std::nullopt, limits);
  EXPECT_TRUE(outline.pagesCapped);
  EXPECT_EQ(outline.displayName, "Personal folders");
  EXPECT_EQ(outline.topFolders, (std::vector<std::string>{"Deleted Items", "lokay-m"}));
  EXPECT_EQ(outline.messages, 71);
}

// An OST with 4 KiB pages, its blocks partly compressed: the preview reads its folders, counts
// the messages its check counts, and places its blocks in its one interval.
TEST(FilePreview, OstWithCompressedBlocks) {
  Previewed p(test::ostSample());
  ASSERT_EQ(p.previews.size(), 1u);
  const FilePreview& ost = p.previews[0];
  EXPECT_EQ(ost.state, FilePreview::State::Complete) << ost.why;
  EXPECT_FALSE(ost.topFolders.empty());
  test::MemorySource file(test::ostSample());
  std::atomic<bool> stop{false};
  EXPECT_EQ(ost.messages, pst::checkPst(file, stop).messages);
}
