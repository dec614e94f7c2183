#pragma once
// Tab 4, 手工: fragments collected by hand. The d and u keys in the fragment list take the
// selected fragment (when it fits the fragments already taken) and step down or up; a file of
// the 文件 list checks its fragments and takes them; 全选 and 清空碎片.

#include <QObject>

#include "app/window_context.h"

#include <QStringList>

class QTreeWidgetItem;

namespace kestrix::widgets {
class SortListView;
}

namespace kestrix::app {

class ManualListController : public QObject {
  Q_OBJECT
 public:
  explicit ManualListController(const WindowContext& context);

  int TakeAndStep(QChar key);  // the d/u key; the fragment list's current row after it
  bool FragmentFitsManual() const;
  void BlockListKeyPress(QChar key);
  void UncheckAllRows(widgets::SortListView* view);
  void N8Click();   // 清空碎片
  void N12Click();  // 全选
  void FileListChange(QTreeWidgetItem* item);
  void clear();  // another source: the fragments taken from the old one go

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The ticked fragments and the manual list's rows, by caption.
  QStringList picks() const;

  WindowContext m_context;
  QStringList m_filled;    // picks() as the last file row left them
  bool m_filling = false;  // FileListChange is ticking and unticking
};

}  // namespace kestrix::app
