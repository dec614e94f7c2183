#pragma once
// The main window: choose a source and scan it (tab "1. 路径"), rebuild PST files ("2. 重组"),
// repair a PST file or name a repair program ("3. 修复"), collect fragments by hand
// ("4. 手工"); the fragments found in the upper part. Long work runs on a Worker; the window stays responsive.
//
// The window wires small parts together: the layout (MainWindowLayout: the widgets and the
// table of their legacy names), the job runner (the worker, the stop flags, the busy state,
// the last scan's results) and one controller per job. The handlers keep the names the window
// layout gave them (Button1Click ... N12Click) and only call the controller of their job; the
// window itself keeps the settings.

#include <QMainWindow>

#include <cstdint>
#include <memory>
#include <string>

#include "sources/source_picker.h"

namespace kestrix::sources {
class Catalogue;
}
namespace kestrix::widgets {
class SortListView;
}
class QTreeWidgetItem;

namespace kestrix::app {

class AboutBox;
class ExtractController;
class JobRunner;
class MainWindowLayout;
class ManualListController;
class MapController;
class MenuController;
class RebuildController;
class RecoverFilesController;
class RepairController;
class SaveFolder;
class ScanController;
class SourceController;
class UserDialogs;

struct WindowOptions {
  std::string exeDir;                              // cfg.ini and the manual live here
  const sources::Catalogue* catalogue = nullptr;   // the disks and volumes offered; the system's when null
  UserDialogs* dialogs = nullptr;                  // questions and messages; the standard ones when null
};

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainWindow(WindowOptions options = {}, QWidget* parent = nullptr);
  ~MainWindow() override;

  // The handlers, as the controls call them.
  void Button1Click();  // 恢复: scan the source
  void Button2Click();  // 停止 on tab 1: stop the scan (and a 恢复碎片 / 恢复文件 run)
  void Button4Click();  // 重组: rebuild PST files
  void Button5Click();  // 停止 on tab 2: stop the rebuild
  void Button6Click();  // 添加修复软件
  void Button7Click();  // 修复PST文件: a repaired copy of a PST file, written by the engine's repair
  void Button8Click();  // 停止 on tab 3: stop the repair
  void BrowseClick();   // 浏览: an image file as the source
  void RecoverFileListDblClick();
  void N1Click();   // 恢复文件
  void N4Click();   // 关闭
  void N5Click();   // 帮助
  void N6Click();   // About
  void N7Click();   // 恢复碎片 of the checked BlockList rows
  void N8Click();   // 清空碎片
  void N9Click();   // 恢复碎片 of every ManView row
  void N12Click();  // 全选
  void RecoverCheckedClick();  // 恢复所选文件到文件夹…: the ticked FileList rows into a folder
  void ElapsedTimeTimer();
  void SourceMouseDown(Qt::MouseButton button);
  void SourceItemClick(const sources::SourceMenuEntry& entry);
  void BlockListKeyPress(QChar key);
  void FileListChange(QTreeWidgetItem* item);
  void SourceDrop(const QString& path);  // an image file dropped on the window

  // Part of the handlers, reachable for the tests.
  int TakeAndStep(QChar key);
  bool FragmentFitsManual() const;
  void UncheckAllRows(widgets::SortListView* view);
  void BeginBusy();
  void EndBusy();
  bool busy() const;
  bool running() const;

  const std::string& SourcePath() const;
  std::int64_t SourceSize() const;
  std::int32_t timerTicks() const;
  void setTimerTicks(std::int32_t ticks);
  const std::string& settingsPath() const { return m_settingsPath; }
  QString statusPanelText(int panel) const;
  QMenu* sourceMenu() const;
  AboutBox* aboutBox() const;

 signals:
  void scanFinished();       // a scan's results are in the lists, the window is idle
  void rebuildFinished();    // the rebuild command has ended (all files, or by an error)
  void extractFinished();    // a 恢复碎片 or 恢复文件 run has ended
  void repairFinished();     // a 修复PST文件 run has ended
  void recoverFinished();    // a 恢复所选文件到文件夹 run has ended
  void busyChanged(bool busy);

 protected:
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void FormCreate();
  void FormClose();

  WindowOptions m_options;
  UserDialogs& m_dialogs;
  std::string m_settingsPath;
  std::string m_savedRepairProgram;  // Fix as cfg.ini holds it ("" when it holds none)
  std::unique_ptr<MainWindowLayout> m_ui;
  std::unique_ptr<SaveFolder> m_saveFolder;
  JobRunner* m_runner = nullptr;
  SourceController* m_source = nullptr;
  ScanController* m_scan = nullptr;
  RebuildController* m_rebuild = nullptr;
  ManualListController* m_manual = nullptr;
  ExtractController* m_extract = nullptr;
  RepairController* m_repair = nullptr;
  RecoverFilesController* m_recoverFiles = nullptr;
  MapController* m_map = nullptr;
  MenuController* m_menus = nullptr;
};

}  // namespace kestrix::app
