#pragma once
// The fragment lists (BlockList, ManView) in words: what each column holds, what the numbers
// of one cell are (map page ID, sector, byte offset, intervals), and where the current
// fragment lies on the source. Everything is read back from the cells' texts, so nothing is
// stored per row.

#include <QCoreApplication>
#include <QString>

class QTreeWidgetItem;

namespace kestrix::widgets {
class SortListView;
}

namespace kestrix::app {

class FragmentTexts {
  Q_DECLARE_TR_FUNCTIONS(FragmentTexts)

 public:
  // The tooltips of the five column headers and, on demand, of every cell.
  static void explain(widgets::SortListView* list);
  static QString headerTip(int column);
  // "" for a cell whose text is not what a scan writes there.
  static QString cellTip(const QTreeWidgetItem* row, int column);
  // The status line of a fragment row: its first and end byte on the source, in bytes and
  // MiB; "" for no row.
  static QString place(const QTreeWidgetItem* row);
};

}  // namespace kestrix::app
