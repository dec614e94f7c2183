#pragma once
// The main window's widgets, laid out with layouts so that the lists and the gauges grow with
// the window. Members are named by role; each widget keeps the name the window layout gave it
// as its objectName (the tests and the settings find controls by it):
//
//   objectName       member                   role
//   Form1            (the window)             the main window
//   Panel1           panel                    the central widget
//   Splitter1        splitter                 between the result tabs and the step tabs
//   Splitter2        resultSplitter           between the result tabs and the map
//   PageControl1     resultTabs               数据 / 碎片 / 文件
//   SourceMap        sourceMap                the map of the source: fragments by file
//   list             foundPageView            the found pages of the last scan (hidden tab)
//   BlockList        fragmentList             the fragments found
//   FileList         fileList                 the files put together from the fragments
//   PageControl2     stepTabs                 1. 路径 / 2. 重组 / 3. 修复 / 4. 手工
//   Source           sourceEdit               数据源 (right click: the source menu)
//   Browse           browseButton             浏览: open an image file
//   pop              sourceMenu               the source menu
//   bScanFree        scanFreeOnlyBox          仅扫描剩余空间 (hidden)
//   Exdatalist       exportListBox            输出数据列表 (hidden)
//   Button1          scanButton               恢复: scan the source
//   Button3          pauseButton              暂停 (hidden: a scan is stopped, not paused)
//   Button2          stopScanButton           停止 of tab 1 (scan, 恢复碎片, 恢复文件)
//   RecoverChecked   recoverFilesButton       恢复所选文件到文件夹…: the ticked files into a folder
//   SourceSize       sourceSizeLabel          the chosen source's size
//   ScanSummary      scanSummaryLabel         what the last scan read and found
//   gg               scanGauge                the gauge of tab 1
//   sb               statusBar                tab 1's status line
//   sbPanel0/1       remainingTimeLabel /     剩余时间 and the fragment count
//                    fragmentCountLabel
//   sbPanel2         fragmentPlaceLabel       where the current BlockList row lies, in bytes
//   RecoverFileList  rebuildInputList         the inputs of 重组
//   pb               rebuildGauge             the gauge of tab 2
//   Button4          rebuildButton            重组
//   label8           rebuildStepLabel         the rebuild's step, input and output
//   Button5          stopRebuildButton        停止 of tab 2
//   Edit1            repairProgramEdit        修复软件: the external repair program
//   Button6          addRepairProgramButton   添加修复软件
//   Button7          repairButton             修复PST文件: the built-in repair
//   pr               repairGauge              the gauge of tab 3
//   Button8          stopRepairButton         停止 of tab 3
//   ManView          manualList               4. 手工: fragments collected by hand
//   ManKeys          manualKeysLabel          names the d/u keys of the fragment list
//   ElapsedTime      elapsedTimer             the one-second tick of the remaining time

#include <QCoreApplication>
#include <QString>

class QCheckBox;
class QLabel;
class QLineEdit;
class QMainWindow;
class QMenu;
class QProgressBar;
class QPushButton;
class QSplitter;
class QStatusBar;
class QTabWidget;
class QTimer;
class QTreeView;
class QWidget;

namespace kestrix::widgets {
class HitListModel;
class SourceMapView;
class SortListView;
}  // namespace kestrix::widgets

namespace kestrix::app {

// The lower tabs, in order.
enum StepTab { kSourceTab = 0, kRebuildTab = 1, kRepairTab = 2, kManualTab = 3 };
// The FileList columns the window reads and writes.
enum FileColumn {
  kFileNumber = 0, kFileFragments = 4, kFileMail = 5,
  kFileMailbox = 6, kFileMessages = 7, kFileState = 8,  // the preview, before anything is written
  kFileLayout = 9                                       // ANSI PST, Unicode PST, OST with 4 KiB pages
};

class MainWindowLayout {
  Q_DECLARE_TR_FUNCTIONS(MainWindowLayout)

 public:
  // Builds the widgets into window (its central widget), at the window's first size.
  explicit MainWindowLayout(QMainWindow* window);

  QWidget* panel = nullptr;
  QSplitter* splitter = nullptr;
  QTabWidget* resultTabs = nullptr;
  QSplitter* resultSplitter = nullptr;
  widgets::SourceMapView* sourceMap = nullptr;
  QTreeView* foundPageView = nullptr;
  widgets::HitListModel* foundPageModel = nullptr;
  widgets::SortListView* fragmentList = nullptr;
  widgets::SortListView* fileList = nullptr;
  QTabWidget* stepTabs = nullptr;

  QLineEdit* sourceEdit = nullptr;
  QPushButton* browseButton = nullptr;
  QMenu* sourceMenu = nullptr;
  QCheckBox* scanFreeOnlyBox = nullptr;
  QCheckBox* exportListBox = nullptr;
  QPushButton* scanButton = nullptr;
  QPushButton* pauseButton = nullptr;
  QPushButton* stopScanButton = nullptr;
  QPushButton* recoverFilesButton = nullptr;
  QLabel* sourceSizeLabel = nullptr;
  QLabel* scanSummaryLabel = nullptr;
  QProgressBar* scanGauge = nullptr;
  QStatusBar* statusBar = nullptr;
  QLabel* remainingTimeLabel = nullptr;
  QLabel* fragmentCountLabel = nullptr;
  QLabel* fragmentPlaceLabel = nullptr;

  widgets::SortListView* rebuildInputList = nullptr;
  QProgressBar* rebuildGauge = nullptr;
  QPushButton* rebuildButton = nullptr;
  QLabel* rebuildStepLabel = nullptr;
  QPushButton* stopRebuildButton = nullptr;

  QLineEdit* repairProgramEdit = nullptr;
  QPushButton* addRepairProgramButton = nullptr;
  QPushButton* repairButton = nullptr;
  QProgressBar* repairGauge = nullptr;
  QPushButton* stopRepairButton = nullptr;

  widgets::SortListView* manualList = nullptr;
  QLabel* manualKeysLabel = nullptr;
  QTimer* elapsedTimer = nullptr;

  // The texts shown while nothing runs.
  static QString fragmentCountText();
  static QString recoverFilesText();  // 恢复所选文件到文件夹…

 private:
  QWidget* buildSourceTab();
  QWidget* buildRebuildTab();
  QWidget* buildRepairTab();
  QWidget* buildManualTab();
};

}  // namespace kestrix::app
