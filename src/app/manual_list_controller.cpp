#include "app/manual_list_controller.h"

#include <QKeyEvent>
#include <QLineEdit>

#include "app/job_runner.h"
#include "app/main_window_layout.h"
#include "app/messages.h"
#include "app/window_texts.h"
#include "recover/list_rules.h"
#include "widgets/sort_list_view.h"

namespace kestrix::app {

using widgets::SortListView;

namespace {

rebuild::RangeCells cellsOf(const QTreeWidgetItem* item) { return {s(item->text(1)), s(item->text(2))}; }

QStringList allCells(const QTreeWidgetItem* item, int count) {
  QStringList cells;
  for (int c = 0; c < count; ++c) cells << item->text(c);
  return cells;
}

}  // namespace

ManualListController::ManualListController(const WindowContext& context) : QObject(context.window), m_context(context) {
  m_context.ui.fragmentList->installEventFilter(this);
  connect(m_context.ui.fileList, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current) {
    if (current) FileListChange(current);
  });
  // A fragment unticked by hand leaves the manual list too.
  connect(m_context.ui.fragmentList, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int column) {
    if (m_filling || column != 0 || item->checkState(0) != Qt::Unchecked) return;
    SortListView* manual = m_context.ui.manualList;
    for (int i = manual->rowCount() - 1; i >= 0; --i)
      if (manual->row(i)->text(0) == item->text(0)) delete manual->row(i);
  });
}

QStringList ManualListController::picks() const {
  QStringList picks;
  const SortListView* blocks = m_context.ui.fragmentList;
  for (int i = 0; i < blocks->rowCount(); ++i)
    if (blocks->row(i)->checkState(0) == Qt::Checked) picks << blocks->row(i)->text(0);
  picks << "|";
  for (int i = 0; i < m_context.ui.manualList->rowCount(); ++i) picks << m_context.ui.manualList->row(i)->text(0);
  return picks;
}

bool ManualListController::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_context.ui.fragmentList && event->type() == QEvent::KeyPress) {
    const QString text = static_cast<QKeyEvent*>(event)->text();
    if (text.size() == 1 && (text[0].toLower() == 'd' || text[0].toLower() == 'u')) {
      BlockListKeyPress(text[0]);
      return true;
    }
  }
  return QObject::eventFilter(watched, event);
}

void ManualListController::clear() { m_context.ui.manualList->clear(); }

bool ManualListController::FragmentFitsManual() const {
  const QList<QTreeWidgetItem*> selected = m_context.ui.fragmentList->selectedItems();
  if (selected.isEmpty()) return false;
  const SortListView* manualList = m_context.ui.manualList;
  std::vector<rebuild::RangeCells> manual;
  manual.reserve(std::size_t(manualList->rowCount()));
  for (int i = 0; i < manualList->rowCount(); ++i) manual.push_back(cellsOf(manualList->row(i)));
  return rebuild::FragmentFitsManual(cellsOf(selected.first()), manual);
}

int ManualListController::TakeAndStep(QChar key) {
  SortListView* L = m_context.ui.fragmentList;
  SortListView* M = m_context.ui.manualList;
  const QChar c = key.toLower();
  const auto itemIndex = [L] { return L->currentItem() ? L->indexOfTopLevelItem(L->currentItem()) : -1; };
  if (c != 'd' && c != 'u') return itemIndex();
  const QList<QTreeWidgetItem*> selected = L->selectedItems();
  if (selected.isEmpty()) return itemIndex();
  const int at = L->indexOfTopLevelItem(selected.first());
  const int last = L->rowCount() - 1;
  const bool manualWasEmpty = M->rowCount() == 0;
  QTreeWidgetItem* focused = L->currentItem() ? L->currentItem() : selected.first();

  const auto copyFocused = [&] {
    M->addRow(allCells(focused, L->columnCount()));
    M->scrollToBottom();
  };
  const auto take = [&] {
    const bool fits = FragmentFitsManual();
    if (manualWasEmpty || fits) {
      focused->setCheckState(0, Qt::Checked);
      copyFocused();
    }
  };
  const auto moveTo = [&](int index) {
    QTreeWidgetItem* item = L->row(index);
    L->setCurrentItem(item);
    L->scrollToItem(item);
  };

  if (c == 'd') {
    take();
    if (at < last) {
      moveTo(at + 1);
    } else {
      L->scrollToTop();
      moveTo(0);
    }
  } else if (at > 0) {
    take();
    moveTo(at - 1);
  } else {
    focused->setCheckState(0, Qt::Checked);
    const bool fits = FragmentFitsManual();
    if (manualWasEmpty || fits) copyFocused();
    L->scrollToBottom();
    moveTo(last);
  }
  return itemIndex();
}

void ManualListController::BlockListKeyPress(QChar key) {
  try {
    TakeAndStep(key);
  } catch (const std::exception& e) {
    m_context.error(errorText(e));
  }
}

void ManualListController::UncheckAllRows(SortListView* view) {
  if (view->rowCount() == 0) {
    m_context.information(WindowTexts::listEmpty());
    if (!m_context.runner.running()) m_context.runner.EndBusy();
    return;
  }
  view->setUpdatesEnabled(false);
  for (int i = 0; i < view->rowCount(); ++i)
    if (view->row(i)->checkState(0) == Qt::Checked) view->row(i)->setCheckState(0, Qt::Unchecked);
  view->setUpdatesEnabled(true);
}

void ManualListController::N8Click() {
  m_context.ui.manualList->clear();
  UncheckAllRows(m_context.ui.fragmentList);
}

void ManualListController::N12Click() {
  SortListView* blocks = m_context.ui.fragmentList;
  for (int i = 0; i < blocks->rowCount(); ++i) blocks->row(i)->setCheckState(0, Qt::Checked);
}

void ManualListController::FileListChange(QTreeWidgetItem* item) {
  SortListView* blocks = m_context.ui.fragmentList;
  SortListView* manual = m_context.ui.manualList;
  // Ticks and manual rows the user made by hand are not thrown away without asking.
  const QStringList before = picks();
  if (item && before != QStringList{"|"} && before != m_filled &&
      !m_context.dialogs.question(m_context.window, tr("选择文件会替换你勾选的碎片和 4. 手工 列表. 替换吗?")))
    return;
  m_filling = true;
  blocks->setUpdatesEnabled(false);
  manual->setUpdatesEnabled(false);
  for (int i = 0; i < blocks->rowCount(); ++i) blocks->row(i)->setCheckState(0, Qt::Unchecked);
  // The lower tab stays as it is: a file is picked for 恢复文件 as often as for the manual list.
  if (item && item->columnCount() > 1) {
    if (m_context.ui.sourceEdit->isEnabled()) manual->clear();
    const std::vector<std::string> tokens = rebuild::SplitFragmentTokens(s(item->text(kFileFragments)));
    for (int i = 0; i < blocks->rowCount(); ++i) {
      QTreeWidgetItem* row = blocks->row(i);
      const std::string caption = s(row->text(0));
      for (const std::string& token : tokens)
        if (caption == token) row->setCheckState(0, Qt::Checked);
    }
    for (int i = 0; i < blocks->rowCount(); ++i) {
      QTreeWidgetItem* row = blocks->row(i);
      if (row->checkState(0) == Qt::Checked) manual->addRow(allCells(row, 4));
    }
  }
  blocks->setUpdatesEnabled(true);
  manual->setUpdatesEnabled(true);
  m_filling = false;
  m_filled = picks();
}

}  // namespace kestrix::app
