#pragma once
// A report-style list whose rows the user sorts by clicking a column header: the first click
// on a column sorts ascending, the next click on the same column reverses, and the header of
// the sort column shows an up or down arrow. Cells are texts; a window may take over the
// comparison of two texts through OnCustomSort, else the texts compare byte by byte with
// ASCII letters folded (rebuild::DefaultTextCompare). Rows added later are not re-sorted.

#include <QPixmap>
#include <QSize>
#include <QStringList>
#include <QTreeWidget>

#include <functional>
#include <string>
#include <vector>

namespace kestrix::widgets {

// A small image list: every image has the list's size. Index 0 of the control's own list is
// fully transparent; rows show it, which leaves one image width before the caption.
struct ImageList {
  QSize size{16, 16};
  std::vector<QPixmap> images;
};

// The 9 x 6 arrow bitmaps: magenta background, grey (172, 168, 153) arrow pixels.
QImage sortArrowBitmap(bool up);

class SortListView;

// The comparison hook. colIndex: 0 the caption column, k >= 1 sub-item k - 1. str1, str2:
// the two rows' cells of that column (UTF-8). res is 0 on entry and is set negative when
// the first row comes first in ascending order, 0 when equal, positive otherwise; handled
// is false on entry and set true when res was set. The hook never learns the direction.
using CustomSortFn = std::function<void(SortListView* sender, int colIndex, const std::string& str1,
                                        const std::string& str2, int& res, bool& handled)>;

// The tooltip of one cell, asked for when the pointer rests on it (nothing is stored per row,
// so a list of 100,000 rows costs no more); "" for none.
using CellToolTipFn = std::function<QString(const QTreeWidgetItem* item, int column)>;

class SortListView : public QTreeWidget {
  Q_OBJECT
 public:
  explicit SortListView(QWidget* parent = nullptr);
  ~SortListView() override;

  // Columns: captions and widths in pixels (a width of 0 means the default 50).
  void setColumns(const QStringList& captions, const std::vector<int>& widths);
  // Check boxes on every row added afterwards (column 0). Space ticks or unticks the current
  // row's box, whichever of its cells has the focus.
  void setCheckBoxes(bool on) { m_checkBoxes = on; }
  bool checkBoxes() const { return m_checkBoxes; }

  // Appends a row: the caption and then the sub-items. Missing cells are empty texts.
  QTreeWidgetItem* addRow(const QStringList& cells);
  int rowCount() const { return topLevelItemCount(); }
  QTreeWidgetItem* row(int index) const { return topLevelItem(index); }
  // The texts of a row for column c (caption for 0, sub-item c - 1 otherwise).
  static QString cellText(const QTreeWidgetItem* item, int column) { return item->text(column); }
  QStringList rowTexts(int index) const;

  void setOnCustomSort(CustomSortFn fn) { m_onCustomSort = std::move(fn); }
  void setCellToolTip(CellToolTipFn fn) { m_cellToolTip = std::move(fn); }
  QString cellToolTip(const QTreeWidgetItem* item, int column) const;
  bool hasCustomSort() const { return bool(m_onCustomSort); }

  // Appends the transparent image, the up arrow and the down arrow to a list, centred in
  // its image size, and records the arrows' indices. Nothing happens for a null list.
  void AddSortImages(ImageList* list);

  // A header click on column c, as the user makes it.
  void ColumnClick(int column);

  // Comparison of two rows for the current sort column and direction (negative: a first).
  int DefaultCompare(const QTreeWidgetItem* a, const QTreeWidgetItem* b) const;
  int CustomCompare(const QTreeWidgetItem* a, const QTreeWidgetItem* b);

  int sortColumn() const { return m_sortColumn; }
  bool ascending() const { return m_ascending; }
  int sortUpIndex() const { return m_sortUpIndex; }
  int sortDownIndex() const { return m_sortDownIndex; }
  // The image index shown on a column's header, -1 for none.
  int headerImageIndex(int column) const;
  const ImageList* smallImages() const { return m_images; }

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  bool viewportEvent(QEvent* event) override;

 private:
  void setHeaderImage(int column, int index);
  // Sorts all rows; compare(a, b) is already in the current direction.
  template <typename Compare>
  void sortRows(Compare&& compare);

  int m_sortUpIndex = -1;
  int m_sortDownIndex = -1;
  int m_sortColumn = -1;
  bool m_ascending = true;
  ImageList* m_images = nullptr;  // the list in use (m_ownImages here)
  ImageList m_ownImages;
  std::vector<int> m_headerImages;  // per column, -1 none
  bool m_checkBoxes = false;
  CustomSortFn m_onCustomSort;
  CellToolTipFn m_cellToolTip;
};

}  // namespace kestrix::widgets
