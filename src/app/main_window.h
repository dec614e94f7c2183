#pragma once
// The main window: choose a source and scan it (tab "1. 路径"), rebuild PST files ("2. 重组"),
// repair a PST file or name a repair program ("3. 修复"), collect fragments by hand
// ("4. 手工"); the fragments found in the upper part. Long work runs on a Worker; the window stays responsive.
//
// Control and handler names follow the window layout (Button1 ... Button6, N1 ... N12, gg,
// sb, BlockList ...); every control carries its name as its objectName.

#include <QMainWindow>
#include <QPointer>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "pst/repair.h"
#include "rebuild/assembly.h"
#include "scan/fragments.h"
#include "sources/source_picker.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QSplitter;
class QStatusBar;
class QTabWidget;
class QTimer;
class QTreeView;
class QTreeWidgetItem;

namespace kestrix::sources {
class Catalogue;
}
namespace kestrix::widgets {
class HitListModel;
class SortListView;
}

namespace kestrix::app {

class AboutBox;
class UserDialogs;
class Worker;

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
  void RecoverFileListDblClick();
  void N1Click();   // 恢复文件
  void N4Click();   // 关闭
  void N5Click();   // 帮助
  void N6Click();   // About
  void N7Click();   // 恢复碎片 of the checked BlockList rows
  void N8Click();   // 清空碎片
  void N9Click();   // 恢复碎片 of every ManView row
  void N12Click();  // 全选
  void ElapsedTimeTimer();
  void SourceMouseDown(Qt::MouseButton button);
  void SourceItemClick(const sources::SourceMenuEntry& entry);
  void SourceKeyPress();
  void BlockListKeyPress(QChar key);
  void FileListChange(QTreeWidgetItem* item);

  // Part of the handlers, reachable for the tests.
  int TakeAndStep(QChar key);
  bool FragmentFitsManual() const;
  void UncheckAllRows(widgets::SortListView* view);
  void BeginBusy();
  void EndBusy();
  bool busy() const { return m_busy; }
  bool running() const;

  const std::string& SourcePath() const { return m_picker.SourcePath(); }
  std::int64_t SourceSize() const { return m_picker.SourceSize(); }
  std::int32_t timerTicks() const { return m_timerTicks; }
  void setTimerTicks(std::int32_t ticks) { m_timerTicks = ticks; }
  const std::string& settingsPath() const { return m_settingsPath; }
  QString statusPanelText(int panel) const;
  QMenu* sourceMenu() const { return m_pop; }
  AboutBox* aboutBox() const { return m_about; }

 signals:
  void scanFinished();       // a scan's results are in the lists, the window is idle
  void rebuildFinished();    // the rebuild command has ended (all files, or by an error)
  void extractFinished();    // a 恢复碎片 or 恢复文件 run has ended
  void repairFinished();     // a 修复PST文件 run has ended
  void busyChanged(bool busy);

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  enum class Job { None, Scan, Rebuild, Extract, Recover, Repair };
  struct ScanOutput;
  struct ExtractOutput;
  struct RepairOutput;

  void buildLayout();
  void buildMenus();
  void FormCreate();
  void FormClose();
  void showError(const QString& text);
  void showInformation(const QString& text);

  void onProgress(int phase, qint64 done, qint64 total);
  void onWorkerFinished();
  void scanDone();
  void startNextRebuild();
  void rebuildFileDone();
  void showRebuildSummary();  // what the check of every file of the command found
  void extractDone();
  void repairDone();
  void startExtraction(const std::vector<std::pair<std::int64_t, std::int64_t>>& extents);
  // 恢复碎片 and 恢复文件 differ only in the engine job that writes the output. stage: 0 writing,
  // 1 checking, 2 repairing (恢复文件); done and total are bytes of the whole job.
  using WriteProgress = std::function<void(int stage, std::int64_t done, std::int64_t total)>;
  using SourceWrite = std::function<void(scan::ByteSource& src, const std::string& output,
                                         const std::atomic<bool>& stop, const WriteProgress& progress,
                                         ExtractOutput& out)>;
  // Opens the source, then runs write() on the worker (the engine job refuses, checks room,
  // writes and commits); extractDone() reports the outcome. size: bytes the gauge starts with.
  void startSourceWrite(Job job, const std::string& sourceName, const QString& output, std::int64_t size,
                        SourceWrite write);
  // The save dialog of 恢复碎片 and 恢复文件, suggesting `name` where no file has it yet.
  QString askSavePath(const QString& name);
  void syncSourceBox();
  void setWorkControlsEnabled(bool enabled);  // the controls a running job disables
  void setGauge(std::int64_t doneBytes, std::int64_t totalBytes);

  WindowOptions m_options;
  const sources::Catalogue& m_catalogue;
  UserDialogs& m_dialogs;
  sources::SourcePicker m_picker;
  std::string m_settingsPath;
  QString m_odFilter = "pst file (*.pst *.PST)";  // od's filter until the first source choice

  // Controls, named as in the window layout.
  QTabWidget* PageControl1 = nullptr;
  QTabWidget* PageControl2 = nullptr;
  QSplitter* Splitter1 = nullptr;
  QTreeView* list = nullptr;                 // the found-page list of the last scan (hidden tab)
  widgets::HitListModel* m_hitModel = nullptr;
  widgets::SortListView* BlockList = nullptr;
  widgets::SortListView* FileList = nullptr;
  widgets::SortListView* RecoverFileList = nullptr;
  widgets::SortListView* ManView = nullptr;
  QLineEdit* Source = nullptr;
  QCheckBox* bScanFree = nullptr;
  QCheckBox* Exdatalist = nullptr;
  QPushButton* Button1 = nullptr;
  QPushButton* Button2 = nullptr;
  QPushButton* Button3 = nullptr;
  QPushButton* Button4 = nullptr;
  QPushButton* Button5 = nullptr;
  QPushButton* Button6 = nullptr;
  QPushButton* Button7 = nullptr;
  QPushButton* Button8 = nullptr;
  QProgressBar* pr = nullptr;  // the repair's gauge on tab 3
  QProgressBar* gg = nullptr;
  QProgressBar* pb = nullptr;
  QStatusBar* sb = nullptr;
  QLabel* sbPanel[2] = {nullptr, nullptr};
  QLabel* label8 = nullptr;
  QLineEdit* Edit1 = nullptr;
  QMenu* m_pop = nullptr;
  QTimer* ElapsedTime = nullptr;
  AboutBox* m_about = nullptr;

  Worker* m_worker = nullptr;
  Job m_job = Job::None;
  bool m_busy = false;
  bool m_closing = false;
  std::int32_t m_timerTicks = 0;
  std::atomic<bool> m_scanStop{false};     // Button2: the scan, 恢复碎片, 恢复文件
  std::atomic<bool> m_rebuildStop{false};  // Button5: the rebuild
  std::atomic<bool> m_repairStop{false};   // Button8: the repair
  int m_gaugeShift = 0;          // gauge units are 1024 << m_gaugeShift bytes
  std::int64_t m_gaugeTotal = 0;  // bytes the gauge's maximum stands for

  // The last scan: its source and what it found, for 恢复碎片 and 恢复文件.
  std::string m_scannedSource;
  std::vector<scan::Fragment> m_fragments;
  std::vector<scan::TreePageHit> m_treePages;  // of the last scan: files are checked against their own index
  scan::ZeroMap m_zeros;                      // of the last scan: stretches that held only zeros
  std::vector<rebuild::AssembledFile> m_files;
  std::shared_ptr<ScanOutput> m_scanOutput;
  bool m_fillingFileList = false;

  // The rebuild command in progress: its inputs, the one being rebuilt, the last output.
  QStringList m_rebuildInputs;
  int m_rebuildIndex = 0;
  QString m_lastSavePath;
  QString m_saveDir;  // where 恢复碎片 and 恢复文件 last wrote
  std::shared_ptr<std::string> m_rebuildError;
  std::shared_ptr<std::int64_t> m_rebuildTail;  // bytes after the input's last whole interval
  std::shared_ptr<std::optional<pst::CheckedOutput>> m_rebuildChecked;  // what the check of the file found
  QStringList m_rebuildSummary;  // a line for every file written, shown when the command ends
  std::shared_ptr<ExtractOutput> m_extractOutput;
  std::shared_ptr<RepairOutput> m_repairOutput;
};

}  // namespace kestrix::app
