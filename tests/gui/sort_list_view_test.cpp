// The sortable list view: the click sequence, the arrows, the comparisons and the hook.

#include <QHeaderView>
#include <QImage>

#include <gtest/gtest.h>

#include <vector>

#include "widgets/sort_list_view.h"

namespace kestrix::widgets {
namespace {

QStringList column(const SortListView& view, int c) {
  QStringList texts;
  for (int i = 0; i < view.rowCount(); ++i) texts << view.row(i)->text(c);
  return texts;
}

// Three columns; the third (index 2) holds the texts that are sorted.
void fill(SortListView& view, const QStringList& texts) {
  view.setColumns({"A", "B", "C", "D"}, {50, 50, 50, 50});
  int n = 0;
  for (const QString& t : texts) {
    view.addRow({QString::number(n), "b" + QString::number(n), t, QString::number(texts.size() - n)});
    ++n;
  }
}

TEST(SortListView, ClickSequenceSortsAndMovesTheArrow) {
  SortListView view;
  fill(view, {"m", "B", "z", "a"});
  EXPECT_EQ(view.sortColumn(), -1);
  EXPECT_EQ(view.headerImageIndex(2), -1);

  emit view.header()->sectionClicked(2);  // as a click on the third header
  EXPECT_EQ(column(view, 2), (QStringList{"a", "B", "m", "z"}));
  EXPECT_TRUE(view.ascending());
  EXPECT_EQ(view.headerImageIndex(2), view.sortUpIndex());

  view.ColumnClick(2);
  EXPECT_EQ(column(view, 2), (QStringList{"z", "m", "B", "a"}));
  EXPECT_FALSE(view.ascending());
  EXPECT_EQ(view.headerImageIndex(2), view.sortDownIndex());

  view.ColumnClick(2);
  EXPECT_EQ(column(view, 2), (QStringList{"a", "B", "m", "z"}));
  EXPECT_EQ(view.headerImageIndex(2), view.sortUpIndex());

  view.ColumnClick(2);  // descending again, then another column starts ascending
  view.ColumnClick(3);
  EXPECT_EQ(view.sortColumn(), 3);
  EXPECT_TRUE(view.ascending());
  EXPECT_EQ(view.headerImageIndex(2), -1);
  EXPECT_EQ(view.headerImageIndex(3), view.sortUpIndex());
  EXPECT_TRUE(view.headerItem()->icon(2).isNull());
  EXPECT_FALSE(view.headerItem()->icon(3).isNull());
  EXPECT_EQ(column(view, 3), (QStringList{"1", "2", "3", "4"}));

  // New rows are not sorted in; the arrow stays.
  view.addRow({"9", "x", "y", "0"});
  EXPECT_EQ(column(view, 3).last(), "0");
  EXPECT_EQ(view.headerImageIndex(3), view.sortUpIndex());
}

TEST(SortListView, DefaultComparisonOfTexts) {
  SortListView view;
  fill(view, {"9", "abc", "", "10", "ab", "ABC"});
  view.ColumnClick(2);
  const QStringList up = column(view, 2);
  EXPECT_EQ(up.first(), "");  // empty first
  EXPECT_LT(up.indexOf("10"), up.indexOf("9"));
  EXPECT_LT(up.indexOf("ab"), up.indexOf("abc"));
  EXPECT_LT(up.indexOf("ab"), up.indexOf("ABC"));
  // "abc" and "ABC" compare equal: they stand side by side.
  EXPECT_EQ(std::abs(up.indexOf("abc") - up.indexOf("ABC")), 1);
  EXPECT_EQ(view.DefaultCompare(view.row(up.indexOf("abc")), view.row(up.indexOf("ABC"))), 0);
  view.ColumnClick(2);
  EXPECT_EQ(column(view, 2).last(), "");  // empty last when descending
  EXPECT_LT(column(view, 2).indexOf("9"), column(view, 2).indexOf("10"));
}

TEST(SortListView, HookDecidesInBothDirectionsOrLeavesItToTheDefault) {
  // A hook that orders "x" before "y" (the opposite of the texts) and leaves the rest alone.
  SortListView view;
  fill(view, {"y", "b", "x", "a"});
  std::vector<int> columns;
  view.setOnCustomSort([&](SortListView* sender, int col, const std::string& a, const std::string& b, int& res,
                           bool& handled) {
    EXPECT_EQ(sender, &view);
    EXPECT_EQ(res, 0);
    EXPECT_FALSE(handled);
    columns.push_back(col);
    if (a == "x" && b == "y") res = -1, handled = true;
    if (a == "y" && b == "x") res = 1, handled = true;
  });
  view.ColumnClick(2);
  EXPECT_EQ(column(view, 2), (QStringList{"a", "b", "x", "y"}));
  view.ColumnClick(2);
  EXPECT_EQ(column(view, 2), (QStringList{"y", "x", "b", "a"}));

  view.clear();
  fill(view, {"x", "y"});
  view.setOnCustomSort([](SortListView*, int, const std::string& a, const std::string& b, int& res, bool& handled) {
    res = a == "y" && b == "x" ? -1 : (a == "x" && b == "y" ? 1 : 0);  // "y" first
    handled = true;
  });
  view.ColumnClick(2);  // column 2 was sorted descending: this click is ascending
  EXPECT_TRUE(view.ascending());
  EXPECT_EQ(column(view, 2), (QStringList{"y", "x"}));
  view.ColumnClick(2);
  EXPECT_EQ(column(view, 2), (QStringList{"x", "y"}));

  // ColIndex 0 for the first column, and the texts passed are the captions.
  std::vector<std::string> seen;
  view.setOnCustomSort([&](SortListView*, int col, const std::string& a, const std::string&, int&, bool&) {
    EXPECT_EQ(col, 0);
    seen.push_back(a);
  });
  view.ColumnClick(0);
  ASSERT_FALSE(seen.empty());
  for (const auto& t : seen) EXPECT_TRUE(t == "0" || t == "1") << t;
  EXPECT_EQ(column(view, 0), (QStringList{"0", "1"}));  // unhandled: the default comparison
  view.ColumnClick(0);
  EXPECT_EQ(column(view, 0), (QStringList{"1", "0"}));
}

TEST(SortListView, OwnImagesHoldATransparentImageAndTwoArrows) {
  SortListView view;
  ASSERT_NE(view.smallImages(), nullptr);
  const auto& images = view.smallImages()->images;
  ASSERT_EQ(images.size(), 3u);
  EXPECT_EQ(view.sortUpIndex(), 1);
  EXPECT_EQ(view.sortDownIndex(), 2);
  const QImage blank = images[0].toImage().convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) ASSERT_EQ(qAlpha(blank.pixel(x, y)), 0) << x << "," << y;

  // The arrows sit at x 3, y 5 of the 16 x 16 image: the up arrow's tip at (7, 5), its base
  // on row 9; the down arrow the other way round. Everything else is transparent.
  const QRgb grey = qRgb(172, 168, 153);
  for (int which : {1, 2}) {
    const QImage img = images[std::size_t(which)].toImage().convertToFormat(QImage::Format_ARGB32);
    const QImage arrow = sortArrowBitmap(which == 1);
    int opaque = 0;
    for (int y = 0; y < 16; ++y)
      for (int x = 0; x < 16; ++x) {
        const bool inArrow = x >= 3 && x < 12 && y >= 5 && y < 11 &&
                             (arrow.pixel(x - 3, y - 5) & 0xFFFFFF) == (grey & 0xFFFFFF);
        const QRgb px = img.pixel(x, y);
        if (inArrow) {
          EXPECT_EQ(px, grey | 0xFF000000u) << which << ": " << x << "," << y;
          ++opaque;
        } else {
          EXPECT_EQ(qAlpha(px), 0) << which << ": " << x << "," << y;
        }
      }
    EXPECT_EQ(opaque, 25);  // 1 + 3 + 5 + 7 + 9
  }
  EXPECT_EQ(qAlpha(images[1].toImage().pixel(7, 5)), 255);   // tip of the up arrow
  EXPECT_EQ(qAlpha(images[2].toImage().pixel(7, 10)), 255);  // tip of the down arrow
  EXPECT_EQ(qAlpha(images[1].toImage().pixel(7, 10)), 0);

  // A null list changes nothing.
  view.AddSortImages(nullptr);
  EXPECT_EQ(view.sortUpIndex(), 1);
}

TEST(SortListView, SortingKeepsTheSelectedAndCurrentRowAndCheckMarks) {
  SortListView view;
  view.setCheckBoxes(true);
  fill(view, {"c", "a", "b"});
  QTreeWidgetItem* b = view.row(2);
  b->setCheckState(0, Qt::Checked);
  view.setCurrentItem(b);
  int signals_ = 0;
  QObject::connect(&view, &QTreeWidget::currentItemChanged, [&] { ++signals_; });
  view.ColumnClick(2);
  EXPECT_EQ(view.currentItem(), b);
  EXPECT_TRUE(b->isSelected());
  EXPECT_EQ(view.indexOfTopLevelItem(b), 1);
  EXPECT_EQ(b->checkState(0), Qt::Checked);
  EXPECT_EQ(signals_, 0);  // reordering is no change of a row
}

}  // namespace
}  // namespace kestrix::widgets
