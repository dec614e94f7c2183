#include "app/map_controller.h"

#include <QTabWidget>

#include <algorithm>

#include "app/job_runner.h"
#include "app/main_window_layout.h"
#include "widgets/sort_list_view.h"
#include "widgets/source_map_view.h"

namespace kestrix::app {

namespace {

// The number in a row's first cell; 0 when there is none.
int rowNumber(const QTreeWidgetItem* row) { return row ? row->text(0).toInt() : 0; }

QTreeWidgetItem* rowOf(widgets::SortListView* list, int number) {
  for (int i = 0; i < list->rowCount(); ++i)
    if (rowNumber(list->row(i)) == number) return list->row(i);
  return nullptr;
}

}  // namespace

MapController::MapController(const WindowContext& context) : QObject(context.window), m_context(context) {
  MainWindowLayout& ui = m_context.ui;
  connect(ui.sourceMap, &widgets::SourceMapView::fragmentClicked, this, &MapController::fragmentClicked);
  connect(ui.fragmentList, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* current) { m_context.ui.sourceMap->selectFragment(rowNumber(current)); });
  connect(ui.fileList, &QTreeWidget::itemSelectionChanged, this, [this] {
    const QList<QTreeWidgetItem*> selected = m_context.ui.fileList->selectedItems();
    m_context.ui.sourceMap->selectFile(selected.isEmpty() ? 0 : rowNumber(selected.first()));
  });
}

void MapController::fragmentClicked(int fragment) {
  MainWindowLayout& ui = m_context.ui;
  if (fragment <= 0) return;
  // In the 文件 list, the file that uses the fragment is selected, not made current: making
  // it current would tick its fragments (FileListChange).
  const ScanResults& found = m_context.runner.results;
  if (ui.resultTabs->currentIndex() == 2 && found.analysis) {
    for (const rebuild::AssembledFile& f : found.analysis->files)
      if (std::find(f.fragmentNumbers.begin(), f.fragmentNumbers.end(), fragment) != f.fragmentNumbers.end()) {
        if (QTreeWidgetItem* row = rowOf(ui.fileList, f.number)) {
          ui.fileList->clearSelection();
          row->setSelected(true);
          ui.fileList->scrollToItem(row);
          ui.sourceMap->selectFragment(fragment);
          return;
        }
      }
  }
  if (QTreeWidgetItem* row = rowOf(ui.fragmentList, fragment)) {
    ui.resultTabs->setCurrentIndex(1);
    ui.fragmentList->setCurrentItem(row);
    ui.fragmentList->scrollToItem(row);
  }
}

}  // namespace kestrix::app
