// The map of the source: what is drawn at a point is what the mouse finds there, and marks.

#include <QImage>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include "recover/source_map.h"
#include "widgets/source_map_view.h"

namespace kestrix::widgets {
namespace {

using Mark = SourceMapView::Mark;

constexpr int kColumns = 640;
constexpr std::int64_t kInterval = 496 * 512;  // one map interval, drawn one pixel wide here

scan::Fragment fragment(std::int32_t number, std::int64_t firstInterval, std::int32_t intervals) {
  return {number, {0, firstInterval * 496}, {intervals - 1, (firstInterval + intervals - 1) * 496}};
}

QRgb fileColour(int file) {
  const int s = rebuild::kFileSaturation * 255 / 100, l = rebuild::kFileLightness * 255 / 100;
  return QColor::fromHsl(rebuild::fileHue(file), s, l).rgb();
}

TEST(SourceMapView, FindsTheFragmentDrawnUnderThePoint) {
  SourceMapView view;
  view.resize(kColumns, 400);
  const std::int64_t perRow = kColumns * kInterval;
  view.setSource(rebuild::kMapRows * perRow);
  // The first pixel of the first row; the last two of row 3 and the first two of row 4; one
  // in row 10; the last pixel of the last row.
  auto fragments = std::make_shared<std::vector<scan::Fragment>>(std::vector<scan::Fragment>{
      fragment(1, 0, 1), fragment(2, 3 * kColumns + 638, 4), fragment(3, 10 * kColumns + 100, 1),
      fragment(4, rebuild::kMapRows * kColumns - 1, 1)});
  const std::vector<std::vector<std::int32_t>> files{{1}, {1, 2}, {}, {2}};
  view.setResults(fragments, files, {}, nullptr);
  view.show();

  const QRect first = view.byteRect(0), last = view.byteRect(view.sourceSize() - 1);
  EXPECT_EQ(first.topLeft(), QPoint(0, 0));
  EXPECT_EQ(last.x(), kColumns - 1);
  EXPECT_LT(view.byteRect((rebuild::kMapRows - 1) * perRow - 1).bottom(), last.y());
  EXPECT_LT(last.bottom(), view.height());

  const QPoint inRow3 = view.byteRect(3 * perRow + 639 * kInterval).center();
  const QPoint inRow4 = view.byteRect(4 * perRow + kInterval).center();
  const QPoint unused = view.byteRect(10 * perRow + 100 * kInterval).center();
  const QPoint empty = view.byteRect(kInterval).center();
  EXPECT_EQ(view.fragmentAt(first.center()), 1);
  EXPECT_EQ(view.fragmentAt(inRow3), 2);
  EXPECT_EQ(view.fragmentAt(inRow4), 2);
  EXPECT_EQ(view.fragmentAt(inRow4 + QPoint(1, 0)), 0);
  EXPECT_EQ(view.fragmentAt(unused), 3);
  EXPECT_EQ(view.fragmentAt(last.center()), 4);
  EXPECT_EQ(view.fragmentAt(empty), 0);

  EXPECT_EQ(view.markAt(first.center()), Mark::File);
  EXPECT_EQ(view.markAt(inRow3), Mark::Shared);
  EXPECT_EQ(view.markAt(unused), Mark::Unused);
  EXPECT_EQ(view.markAt(empty), Mark::Source);

  QImage image(view.size(), QImage::Format_RGB32);
  view.render(&image);
  EXPECT_EQ(image.pixel(first.center()), fileColour(1));
  EXPECT_EQ(image.pixel(inRow4), fileColour(1));  // a shared fragment has its first file's colour
  EXPECT_EQ(image.pixel(last.center()), fileColour(2));
  EXPECT_EQ(image.pixel(unused), QColor(rebuild::kUnusedFill).rgb());
  EXPECT_EQ(image.pixel(empty), QColor(rebuild::kSourceFill).rgb());

  const QString tip = view.toolTipAt(inRow3);
  const std::int64_t from = (3 * kColumns + 638) * kInterval, to = from + 4 * kInterval;
  EXPECT_TRUE(tip.contains(QString::number(from)) && tip.contains(QString::number(to))) << tip.toStdString();
  EXPECT_TRUE(tip.contains(QString::number(double(from) / 1e6, 'f', 1) + " MB")) << tip.toStdString();
  EXPECT_TRUE(tip.contains("1, 2")) << tip.toStdString();

  QSignalSpy clicks(&view, &SourceMapView::fragmentClicked);
  QTest::mouseClick(&view, Qt::LeftButton, {}, inRow4);
  QTest::mouseClick(&view, Qt::LeftButton, {}, empty);
  ASSERT_EQ(clicks.size(), 2);
  EXPECT_EQ(clicks[0][0].toInt(), 2);
  EXPECT_EQ(clicks[1][0].toInt(), 0);
  view.selectFile(2);
  EXPECT_EQ(view.selectedFile(), 2);
}

TEST(SourceMapView, EmptyAndDegenerateInputsDraw) {
  SourceMapView view;
  view.resize(300, 200);
  QImage image(view.size(), QImage::Format_RGB32);
  view.setSource(0);
  view.setScanned(0);
  const std::int64_t stray[] = {-1, 0, 1 << 20};
  view.addHits(stray);
  view.setResults(nullptr, {}, {}, nullptr);
  view.render(&image);
  EXPECT_EQ(view.fragmentAt(QPoint(0, 0)), 0);
  EXPECT_EQ(view.toolTipAt(QPoint(0, 0)), QString());

  // A scan in progress: a page found stays marked where it lies when the width changes.
  const std::int64_t size = std::int64_t(1) << 40, perRow = size / rebuild::kMapRows;
  view.setSource(size);
  view.setScanned(size / 2);
  const std::int64_t page[] = {(size / 4 + 7 * 512) / 512};
  view.addHits(page);
  for (const int width : {300, 977}) {
    view.resize(width, 200);
    view.render(&image);
    EXPECT_EQ(view.markAt(view.byteRect(page[0] * 512).center()), Mark::Hit);
    EXPECT_EQ(view.markAt(view.byteRect(page[0] * 512 + perRow).center()), Mark::Source);
    EXPECT_EQ(view.markAt(view.byteRect(size / 2 + perRow).center()), Mark::Unread);
  }

  // A source smaller than the map's pixels, a fragment running past its end, a fragment
  // wholly past it, files missing for the last fragment, an unreadable run past the end, a
  // width of one pixel.
  view.setSource(1000);
  auto fragments = std::make_shared<std::vector<scan::Fragment>>(
      std::vector<scan::Fragment>{fragment(1, 0, 3), fragment(2, 1000, 1)});
  const std::vector<std::vector<std::int32_t>> files{{7}};
  const scan::SectorRun unreadable[] = {{1, 1 << 20}};
  auto zeros = std::make_shared<scan::ZeroMap>();
  zeros->zero.assign(4, true);
  view.setResults(fragments, files, unreadable, zeros);
  view.render(&image);
  EXPECT_EQ(view.fragmentAt(view.byteRect(999).center()), 1);
  EXPECT_EQ(view.markAt(view.byteRect(0).center()), Mark::File);
  EXPECT_EQ(view.markAt(view.byteRect(600).center()), Mark::Unreadable);
  view.selectFragment(2);
  view.resize(1, 1);
  view.render(&image);

  // Offsets near the end of the 64-bit range: a crafted fragment list, the largest source.
  fragments->push_back(fragment(3, INT64_MAX / kInterval - 1, 2));
  const scan::SectorRun endless[] = {{-5, INT64_MAX}, {INT64_MAX, 1}};
  for (const std::int64_t bytes : {std::int64_t(1000), INT64_MAX}) {
    view.setSource(bytes);
    view.setResults(fragments, files, endless, zeros);
    view.selectFragment(3);
    view.render(&image);
    EXPECT_EQ(view.fragmentAt(view.byteRect(view.sourceSize() - 1).center()), bytes == 1000 ? 1 : 3);
  }
}

}  // namespace
}  // namespace kestrix::widgets
