#include "widgets/sort_list_view.h"

#include <QHeaderView>
#include <QHelpEvent>
#include <QIcon>
#include <QImage>
#include <QKeyEvent>
#include <QScrollBar>
#include <QToolTip>

#include <algorithm>

#include "recover/list_rules.h"

namespace kestrix::widgets {

namespace {

constexpr QRgb kMaskColour = qRgb(255, 0, 255);
constexpr QRgb kArrowColour = qRgb(172, 168, 153);
constexpr int kDefaultColumnWidth = 50;

// The arrows, rows from the top: '#' grey, '.' background.
constexpr const char* kSortUp[6] = {"....#....", "...###...", "..#####..", ".#######.", "#########", "........."};
constexpr const char* kSortDown[6] = {".........", "#########", ".#######.", "..#####..", "...###...", "....#...."};

// The canvas as the image list keeps it: the mask colour becomes transparent.
QPixmap masked(const QImage& canvas) {
  QImage out = canvas.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < out.height(); ++y)
    for (int x = 0; x < out.width(); ++x)
      if ((out.pixel(x, y) & 0xFFFFFF) == (kMaskColour & 0xFFFFFF)) out.setPixel(x, y, qRgba(0, 0, 0, 0));
  return QPixmap::fromImage(out);
}

int negate(int r) { return r < 0 ? 1 : (r > 0 ? -1 : 0); }

}  // namespace

QImage sortArrowBitmap(bool up) {
  QImage image(9, 6, QImage::Format_RGB32);
  const auto& rows = up ? kSortUp : kSortDown;
  for (int y = 0; y < 6; ++y)
    for (int x = 0; x < 9; ++x) image.setPixel(x, y, rows[y][x] == '#' ? kArrowColour : kMaskColour);
  return image;
}

SortListView::SortListView(QWidget* parent) : QTreeWidget(parent) {
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setAllColumnsShowFocus(true);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSortingEnabled(false);
  header()->setSortIndicatorShown(false);
  header()->setSectionsClickable(true);
  header()->setSectionsMovable(false);
  header()->setStretchLastSection(false);
  header()->setDefaultSectionSize(kDefaultColumnWidth);
  // The selection stays visible when the list loses the focus.
  QPalette p = palette();
  p.setColor(QPalette::Inactive, QPalette::Highlight, p.color(QPalette::Active, QPalette::Highlight));
  p.setColor(QPalette::Inactive, QPalette::HighlightedText, p.color(QPalette::Active, QPalette::HighlightedText));
  setPalette(p);
  connect(header(), &QHeaderView::sectionClicked, this, &SortListView::ColumnClick);

  // No list is ever handed to the control from outside, so it makes its own.
  m_ownImages.size = QSize(16, 16);
  AddSortImages(&m_ownImages);
  m_images = &m_ownImages;
  setIconSize(m_ownImages.size);
}

SortListView::~SortListView() = default;

void SortListView::setColumns(const QStringList& captions, const std::vector<int>& widths) {
  setColumnCount(int(captions.size()));
  setHeaderLabels(captions);
  m_headerImages.assign(std::size_t(captions.size()), -1);
  for (int c = 0; c < captions.size(); ++c) {
    const int w = std::size_t(c) < widths.size() && widths[std::size_t(c)] > 0 ? widths[std::size_t(c)]
                                                                                : kDefaultColumnWidth;
    setColumnWidth(c, w);
  }
}

QTreeWidgetItem* SortListView::addRow(const QStringList& cells) {
  auto* item = new QTreeWidgetItem(cells);
  // Rows show the transparent image, one image width before the caption; beside a check
  // box that space would leave a 50-pixel column no room for the fragment number.
  if (!m_checkBoxes && m_images && !m_images->images.empty()) item->setIcon(0, QIcon(m_images->images[0]));
  if (m_checkBoxes) {
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(0, Qt::Unchecked);
  }
  addTopLevelItem(item);
  return item;
}

void SortListView::keyPressEvent(QKeyEvent* event) {
  // The item view toggles a box only when the focus is on the box's own cell, which with
  // whole rows selected the user cannot see; Space works on the row.
  QTreeWidgetItem* item = currentItem();
  if (m_checkBoxes && item && (item->flags() & Qt::ItemIsUserCheckable) && event->key() == Qt::Key_Space &&
      event->modifiers() == Qt::NoModifier) {
    item->setCheckState(0, item->checkState(0) == Qt::Checked ? Qt::Unchecked : Qt::Checked);
    event->accept();
    return;
  }
  QTreeWidget::keyPressEvent(event);
}

QString SortListView::cellToolTip(const QTreeWidgetItem* item, int column) const {
  if (!item || column < 0) return {};
  if (m_cellToolTip) {
    QString tip = m_cellToolTip(item, column);
    if (!tip.isEmpty()) return tip;
  }
  return item->toolTip(column);
}

bool SortListView::viewportEvent(QEvent* event) {
  if (event->type() == QEvent::ToolTip && m_cellToolTip) {
    auto* help = static_cast<QHelpEvent*>(event);
    const QModelIndex index = indexAt(help->pos());
    const QString tip = cellToolTip(itemFromIndex(index), index.column());
    if (tip.isEmpty()) QToolTip::hideText();
    else QToolTip::showText(help->globalPos(), tip, viewport(), visualRect(index));
    return true;
  }
  return QTreeWidget::viewportEvent(event);
}

QStringList SortListView::rowTexts(int index) const {
  QStringList texts;
  const QTreeWidgetItem* item = topLevelItem(index);
  if (!item) return texts;
  for (int c = 0; c < item->columnCount(); ++c) texts << item->text(c);
  return texts;
}

void SortListView::AddSortImages(ImageList* list) {
  if (!list) return;
  const int w = list->size.width(), h = list->size.height();
  QImage canvas(w, h, QImage::Format_RGB32);
  canvas.fill(kMaskColour);
  list->images.push_back(masked(canvas));  // fully transparent; index not recorded

  const auto addArrow = [&](bool up) {
    const QImage arrow = sortArrowBitmap(up);
    canvas.fill(kMaskColour);
    const int x0 = (w - arrow.width()) / 2, y0 = (h - arrow.height()) / 2;
    for (int y = 0; y < arrow.height(); ++y)
      for (int x = 0; x < arrow.width(); ++x) {
        const QRgb px = arrow.pixel(x, y);
        if ((px & 0xFFFFFF) == (kMaskColour & 0xFFFFFF)) continue;  // the arrow's transparent colour
        if (canvas.valid(x0 + x, y0 + y)) canvas.setPixel(x0 + x, y0 + y, px);
      }
    list->images.push_back(masked(canvas));
    return int(list->images.size()) - 1;
  };
  m_sortUpIndex = addArrow(true);
  m_sortDownIndex = addArrow(false);
}

int SortListView::headerImageIndex(int column) const {
  if (column < 0 || std::size_t(column) >= m_headerImages.size()) return -1;
  return m_headerImages[std::size_t(column)];
}

void SortListView::setHeaderImage(int column, int index) {
  if (column < 0 || column >= columnCount()) return;
  if (std::size_t(column) >= m_headerImages.size()) m_headerImages.resize(std::size_t(columnCount()), -1);
  m_headerImages[std::size_t(column)] = index;
  const bool valid = m_images && index >= 0 && std::size_t(index) < m_images->images.size();
  headerItem()->setIcon(column, valid ? QIcon(m_images->images[std::size_t(index)]) : QIcon());
}

void SortListView::ColumnClick(int column) {
  if (m_sortColumn != -1 && m_sortColumn != column) setHeaderImage(m_sortColumn, -1);
  m_ascending = column == m_sortColumn ? !m_ascending : true;
  m_sortColumn = column;
  setHeaderImage(column, m_ascending ? m_sortUpIndex : m_sortDownIndex);
  if (m_onCustomSort) {
    sortRows([this](const std::string& a, const std::string& b) {
      int res = 0;
      bool handled = false;
      m_onCustomSort(this, m_sortColumn, a, b, res, handled);
      if (!handled) res = rebuild::DefaultTextCompare(a, b);
      return m_ascending ? res : negate(res);
    });
  } else {
    sortRows([this](const std::string& a, const std::string& b) {
      const int r = rebuild::DefaultTextCompare(a, b);
      return m_ascending ? r : negate(r);
    });
  }
}

int SortListView::DefaultCompare(const QTreeWidgetItem* a, const QTreeWidgetItem* b) const {
  const int r = rebuild::DefaultTextCompare(a->text(m_sortColumn).toStdString(), b->text(m_sortColumn).toStdString());
  return m_ascending ? r : negate(r);
}

int SortListView::CustomCompare(const QTreeWidgetItem* a, const QTreeWidgetItem* b) {
  const std::string t1 = a->text(m_sortColumn).toStdString();
  const std::string t2 = b->text(m_sortColumn).toStdString();
  int res = 0;
  bool handled = false;
  if (m_onCustomSort) m_onCustomSort(this, m_sortColumn, t1, t2, res, handled);
  if (!handled) res = rebuild::DefaultTextCompare(t1, t2);
  return m_ascending ? res : negate(res);
}

template <typename Compare>
void SortListView::sortRows(Compare&& compare) {
  const int n = topLevelItemCount();
  if (n < 2) return;
  // Reordering is not a change of any row: keep the item signals quiet, and keep the
  // current row and the selection across the take-out and the re-insert.
  const QSignalBlocker quiet(this);
  QTreeWidgetItem* current = currentItem();
  const QList<QTreeWidgetItem*> selected = selectedItems();
  const int scroll = verticalScrollBar() ? verticalScrollBar()->value() : 0;

  // Each cell text is converted once, not once per comparison.
  std::vector<std::string> keys(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) keys[std::size_t(i)] = topLevelItem(i)->text(m_sortColumn).toStdString();
  std::vector<int> order(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) order[std::size_t(i)] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](int x, int y) { return compare(keys[std::size_t(x)], keys[std::size_t(y)]) < 0; });

  QList<QTreeWidgetItem*> items = invisibleRootItem()->takeChildren();
  QList<QTreeWidgetItem*> sorted;
  sorted.reserve(n);
  for (int i : order) sorted.append(items[i]);
  addTopLevelItems(sorted);

  if (current) setCurrentItem(current, 0, QItemSelectionModel::NoUpdate);
  for (QTreeWidgetItem* item : selected) item->setSelected(true);
  if (verticalScrollBar()) verticalScrollBar()->setValue(scroll);
}

}  // namespace kestrix::widgets
