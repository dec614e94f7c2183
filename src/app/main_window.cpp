#include "app/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QHeaderView>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include <filesystem>
#include <utility>

#include "app/about_box.h"
#include "app/app_info.h"
#include "app/disk_access.h"
#include "app/help_viewer.h"
#include "app/remaining_time.h"
#include "app/settings.h"
#include "app/user_dialogs.h"
#include "app/worker.h"
#include "pst/repair.h"
#include "rebuild/extract.h"
#include "rebuild/list_rules.h"
#include "rebuild/rebuild.h"
#include "rebuild/recover_job.h"
#include "rebuild/source_analysis.h"
#include "scan/errors.h"
#include "scan/map_page.h"
#include "scan/scan.h"
#include "sources/catalogue.h"
#include "sources/open_source.h"
#include "sources/program_files.h"
#include "sources/size_text.h"
#include "widgets/hit_list_model.h"
#include "widgets/sort_list_view.h"

namespace kestrix::app {

using widgets::SortListView;

namespace {

constexpr const char* kListEmpty = "列表为空!";
constexpr const char* kFragmentCountEmpty = "碎片数量: ";
// The rebuild's dialogs: "PST File(*.PST)", in both cases (file names on Linux are case
// sensitive, and so are native dialogs' patterns), and every file (fragment files).
constexpr const char* kPstFilter = "PST File(*.PST *.pst);;所有文件 (*)";
// Worker phases: which gauge a progress report drives.
constexpr int kPhaseScan = 0;
constexpr int kPhaseIndex = 1;
constexpr int kPhaseWrite = 2;
constexpr int kPhaseExtract = 3;        // on gg: 恢复碎片, and 恢复文件's three stages (kPhaseExtract + stage)
constexpr int kPhaseExtractCheck = 4;
constexpr int kPhaseExtractRepair = 5;
constexpr int kPhaseRebuildCheck = 6;   // on pb: the check and repair of a rebuilt file
constexpr int kPhaseRebuildRepair = 7;
constexpr int kPhaseRepair = 8;         // on pr: 修复PST文件

QString q(const std::string& s) { return QString::fromStdString(s); }
std::string s(const QString& q) { return q.toStdString(); }

QString sizeText(std::int64_t bytes) { return q(sources::SizeToText(static_cast<std::uint64_t>(bytes))); }

QString sectorCount(const std::vector<scan::SectorRun>& runs) {
  std::int64_t n = 0;
  for (const auto& r : runs) n += r.count;
  return QString::number(n);
}

QFont windowFont() {
  QFont font;
  font.setFamilies({"SimSun", "宋体", "Noto Sans CJK SC", "Noto Serif CJK SC", "WenQuanYi Micro Hei"});
  font.setPixelSize(12);
  return font;
}

QPushButton* button(const char* name, const QString& caption, QWidget* parent, QRect geometry) {
  auto* b = new QPushButton(caption, parent);
  b->setObjectName(name);
  b->setGeometry(geometry);
  return b;
}

// A progress bar from 0 to 100, at 0.
QProgressBar* gauge(const char* name, QWidget* parent, QRect geometry) {
  auto* g = new QProgressBar(parent);
  g->setObjectName(name);
  g->setGeometry(geometry);
  g->setRange(0, 100);
  g->setValue(0);
  return g;
}

QLabel* label(const char* name, const QString& caption, QWidget* parent, QRect geometry) {
  auto* l = new QLabel(caption, parent);
  l->setObjectName(name);
  l->setGeometry(geometry);
  return l;
}

// A tab page whose controls stand at fixed positions, and an optional bar at its bottom.
QWidget* fixedPage(QWidget** area, const char* name) {
  auto* page = new QWidget;
  page->setObjectName(name);
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  *area = new QWidget(page);
  layout->addWidget(*area, 1);
  return page;
}

QWidget* filledPage(QWidget* content, const char* name) {
  auto* page = new QWidget;
  page->setObjectName(name);
  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(content);
  return page;
}

SortListView* sortList(const char* name, const QStringList& captions, const std::vector<int>& widths) {
  auto* view = new SortListView;
  view->setObjectName(name);
  view->setColumns(captions, widths);
  return view;
}

std::int64_t FileSizeByName(const QString& path) {
  const QFileInfo info(path);
  return info.exists() ? info.size() : -1;
}

// What a reader finds in a PST file: "可读邮件 71/71, 文件夹 12 个".
QString mailText(const pst::CheckReport& r) {
  return QString("可读邮件 %1/%2, 文件夹 %3 个").arg(r.messagesReadable).arg(r.messages).arg(r.folders.size());
}

// What the check of a file just written found, and what was done about it. made: how the bytes
// were put together ("拼合" by 恢复文件, "重组" by the rebuild).
QString checkedText(const pst::CheckedOutput& c, const QString& made) {
  if (c.repaired)
    return QString("文件已修复, %1\n%2出的原始文件保存在 \"%3\"").arg(mailText(c.result()), made, q(c.rawPath));
  if (c.notRepaired.empty()) return "文件完好, " + mailText(c.check);
  const QString why = !c.check.isPst        ? QString("其中没有PST结构")
                      : !c.check.supported() ? QString("暂不支持这种PST格式 (ANSI 或 4 KiB 页)")
                                             : QString::fromUtf8(c.notRepaired.c_str());
  return QString("文件已损坏, 未能修复 (%1), 已按写入的原样保存").arg(why);
}

// The FileList cell of a file once written: readable messages of all, "71/71".
QString mailCell(const pst::CheckedOutput& c) {
  QString cell = QString("%1/%2").arg(c.result().messagesReadable).arg(c.result().messages);
  if (c.repaired) cell += " 已修复";
  else if (!c.notRepaired.empty()) cell += " 已损坏";
  return cell;
}

}  // namespace

struct MainWindow::ScanOutput {
  std::string sourceName;
  std::int64_t size = 0;  // the source's length when the scan started
  rebuild::SourceAnalysis analysis;
  std::vector<rebuild::FileListRow> fileRows;
  std::string error;
};

struct MainWindow::ExtractOutput {
  std::string output;
  std::string error;
  bool stopped = false;
  std::int64_t bytes = 0, intervals = 0, missing = 0, sectorsPastEnd = 0;
  std::vector<scan::SectorRun> unreadable;
  std::vector<rebuild::IdConflict> conflicts;  // 恢复文件: IDs another version could have served
  QString fileNumber;                          // 恢复文件: the 序号 of the FileList row
  std::optional<pst::CheckedOutput> checked;   // 恢复文件: what the check of the file found
};

struct MainWindow::RepairOutput {
  std::string input, output;
  pst::RepairReport report;
  std::string error;
};

MainWindow::MainWindow(WindowOptions options, QWidget* parent)
    : QMainWindow(parent),
      m_options(std::move(options)),
      m_catalogue(m_options.catalogue ? *m_options.catalogue : sources::systemCatalogue()),
      m_dialogs(m_options.dialogs ? *m_options.dialogs : standardDialogs()),
      m_picker(m_catalogue) {
  setObjectName("Form1");
  if (m_options.exeDir.empty()) m_options.exeDir = s(QCoreApplication::applicationDirPath());
  m_worker = new Worker(this);
  connect(m_worker, &Worker::progress, this, &MainWindow::onProgress);
  connect(m_worker, &Worker::finished, this, &MainWindow::onWorkerFinished);
  buildLayout();
  buildMenus();
  FormCreate();
  // The About box is made once, hidden, and takes the caption FormCreate set.
  m_about = new AboutBox(windowTitle(), this);
  m_about->setWindowIcon(QIcon(programIcon(48)));
}

MainWindow::~MainWindow() {
  // Nothing may outlive the window on the worker: stop it and wait.
  m_closing = true;
  m_scanStop = true;
  m_rebuildStop = true;
  m_repairStop = true;
  if (m_worker->running()) m_worker->wait();
}

void MainWindow::buildLayout() {
  setFont(windowFont());
  setWindowIcon(QIcon(programIcon(48)));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);

  auto* panel = new QWidget;
  panel->setObjectName("Panel1");
  panel->setFixedSize(584, 493);
  setCentralWidget(panel);
  auto* panelLayout = new QVBoxLayout(panel);
  panelLayout->setContentsMargins(1, 1, 1, 1);
  Splitter1 = new QSplitter(Qt::Vertical, panel);
  Splitter1->setObjectName("Splitter1");
  Splitter1->setHandleWidth(3);
  Splitter1->setChildrenCollapsible(false);
  panelLayout->addWidget(Splitter1);

  // Upper page control: the found pages (hidden), the fragments, the files (shown after a scan).
  PageControl1 = new QTabWidget;
  PageControl1->setObjectName("PageControl1");
  // The found pages: a view over the hits themselves, not a row of texts per hit (a disk full
  // of map pages has millions). It sorts as listCustomSort does.
  m_hitModel = new widgets::HitListModel(this);
  list = new QTreeView;
  list->setObjectName("list");
  list->setRootIsDecorated(false);
  list->setUniformRowHeights(true);
  list->setModel(m_hitModel);
  list->setSortingEnabled(true);
  for (int c = 0; const int width : {50, 80, 80, 50, 100}) list->setColumnWidth(c++, width);
  BlockList = sortList("BlockList", {"ID", "开始ID", "结束ID", "碎片大小", "文件大小"}, {50, 100, 100, 150, 150});
  BlockList->setCheckBoxes(true);
  // The sixth column, the readable messages of a file once 恢复文件 has written it, stands
  // before the fragment numbers, which are too long to be seen whole anyway.
  FileList = sortList("FileList", {"序号", "文件名", "大小", "缺少数据", "", "可读邮件"}, {80, 100, 100, 150, 150, 100});
  FileList->header()->moveSection(5, 4);
  const auto numeric = [](SortListView*, int, const std::string& a, const std::string& b, int& res, bool& handled) {
    res = rebuild::CompareLeadingInteger(a, b);
    handled = true;
  };
  BlockList->setOnCustomSort(numeric);  // BlockListCustomSort
  PageControl1->addTab(filledPage(list, "TabSheet1"), "数据");
  PageControl1->addTab(filledPage(BlockList, "TabSheet2"), "碎片");
  PageControl1->addTab(filledPage(FileList, "TabSheet3"), "文件");
  PageControl1->setTabVisible(2, false);
  Splitter1->addWidget(PageControl1);

  // Lower page control: the four steps.
  PageControl2 = new QTabWidget;
  PageControl2->setObjectName("PageControl2");

  QWidget* area = nullptr;
  QWidget* tab1 = fixedPage(&area, "TabSheet4");
  label("Label1", "数据源:", area, {6, 23, 61, 13});
  Source = new QLineEdit(area);
  Source->setObjectName("Source");
  Source->setGeometry(56, 19, 505, 20);
  Source->setReadOnly(true);
  Source->setContextMenuPolicy(Qt::CustomContextMenu);
  Source->installEventFilter(this);
  m_pop = new QMenu(Source);
  m_pop->setObjectName("pop");
  connect(Source, &QLineEdit::customContextMenuRequested, this, [this](const QPoint& at) {
    if (!m_pop->isEmpty()) m_pop->exec(Source->mapToGlobal(at));
  });
  bScanFree = new QCheckBox("仅扫描剩余空间", area);
  bScanFree->setObjectName("bScanFree");
  bScanFree->setGeometry(432, 47, 129, 17);
  bScanFree->setVisible(false);
  Exdatalist = new QCheckBox("输出数据列表", area);
  Exdatalist->setObjectName("Exdatalist");
  Exdatalist->setGeometry(432, 64, 129, 17);
  Button1 = button("Button1", "恢复", area, {8, 87, 75, 25});
  Button3 = button("Button3", "暂停", area, {256, 87, 75, 25});
  Button3->setVisible(false);  // a scan cannot be paused, only stopped
  Button2 = button("Button2", "停止", area, {491, 87, 75, 25});
  gg = gauge("gg", area, {8, 128, 553, 25});
  gg->setFormat("%p%");
  gg->setAlignment(Qt::AlignCenter);
  sb = new QStatusBar(tab1);
  sb->setObjectName("sb");
  sb->setSizeGripEnabled(false);
  sb->setFixedHeight(19);
  sbPanel[0] = new QLabel(remainingTimeText(std::nullopt));
  sbPanel[0]->setObjectName("sbPanel0");
  sbPanel[0]->setFixedWidth(240);
  sbPanel[1] = new QLabel(kFragmentCountEmpty);
  sbPanel[1]->setObjectName("sbPanel1");
  sbPanel[1]->setMinimumWidth(50);
  sb->addWidget(sbPanel[0]);
  sb->addWidget(sbPanel[1], 1);
  tab1->layout()->addWidget(sb);
  PageControl2->addTab(tab1, "1. 路径");

  QWidget* tab2 = fixedPage(&area, "TabSheet5");
  RecoverFileList = sortList("RecoverFileList", {"文件名", "路径", "大小"}, {100, 200, 80});
  RecoverFileList->setParent(area);
  RecoverFileList->setGeometry(0, 0, 574, 113);
  pb = gauge("pb", area, {16, 128, 545, 17});
  pb->setTextVisible(false);
  Button4 = button("Button4", "重组", area, {8, 160, 75, 25});
  label8 = label("label8", "", area, {120, 168, 225, 13});
  Button5 = button("Button5", "停止", area, {488, 160, 75, 25});
  PageControl2->addTab(tab2, "2. 重组");

  QWidget* tab3 = fixedPage(&area, "TabSheet6");
  label("Label2", "修复软件:", area, {32, 35, 73, 13});
  Edit1 = new QLineEdit(area);
  Edit1->setObjectName("Edit1");
  Edit1->setGeometry(104, 32, 449, 20);
  Edit1->setEnabled(false);
  Button6 = button("Button6", "添加修复软件", area, {440, 64, 113, 25});
  QLabel* label3 = label("Label3", "建议安装outlook, 并且使用scanpst.exe程序修复pst文件!", area, {88, 136, 481, 41});
  QFont bold;
  bold.setFamilies({"MS Sans Serif", "Microsoft Sans Serif", "DejaVu Sans", "Noto Sans CJK SC"});
  bold.setPixelSize(13);
  bold.setBold(true);
  label3->setFont(bold);
  QPalette navy = label3->palette();
  navy.setColor(QPalette::WindowText, QColor(0, 0, 128));
  label3->setPalette(navy);
  label3->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label3->setWordWrap(true);
  // The built-in repair: a PST file in, a new repaired file out.
  Button7 = button("Button7", "修复PST文件", area, {32, 100, 113, 25});
  pr = gauge("pr", area, {160, 104, 305, 17});
  pr->setAlignment(Qt::AlignCenter);
  Button8 = button("Button8", "停止", area, {478, 100, 75, 25});
  PageControl2->addTab(tab3, "3. 修复");

  ManView = sortList("ManView", {"ID", "开始ID", "结束ID", "碎片大小", "文件大小"}, {50, 100, 100, 100, 100});
  ManView->setColumnHidden(4, true);  // the fragment's 文件大小 is kept but not shown
  PageControl2->addTab(filledPage(ManView, "TabSheet7"), "4. 手工");
  Splitter1->addWidget(PageControl2);
  Splitter1->setSizes({272, 216});
  Splitter1->setStretchFactor(0, 0);
  Splitter1->setStretchFactor(1, 1);

  ElapsedTime = new QTimer(this);
  ElapsedTime->setObjectName("ElapsedTime");
  ElapsedTime->setInterval(1000);
  connect(ElapsedTime, &QTimer::timeout, this, &MainWindow::ElapsedTimeTimer);

  connect(Button1, &QPushButton::clicked, this, &MainWindow::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &MainWindow::Button2Click);
  connect(Button4, &QPushButton::clicked, this, &MainWindow::Button4Click);
  connect(Button5, &QPushButton::clicked, this, &MainWindow::Button5Click);
  connect(Button6, &QPushButton::clicked, this, &MainWindow::Button6Click);
  connect(Button7, &QPushButton::clicked, this, &MainWindow::Button7Click);
  connect(Button8, &QPushButton::clicked, this, &MainWindow::Button8Click);
  connect(RecoverFileList, &QTreeWidget::itemDoubleClicked, this, [this] { RecoverFileListDblClick(); });
  RecoverFileList->viewport()->installEventFilter(this);  // a double click below the rows counts too
  BlockList->installEventFilter(this);
  connect(FileList, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* current) {
    if (!m_fillingFileList && current) FileListChange(current);
  });
}

void MainWindow::buildMenus() {
  QMenu* n2 = menuBar()->addMenu("文件");
  n2->setObjectName("N2");
  QAction* n4 = n2->addAction("关闭", this, &MainWindow::N4Click);
  n4->setObjectName("N4");
  QMenu* n3 = menuBar()->addMenu("帮助");
  n3->setObjectName("N3");
  n3->addAction("帮助", this, &MainWindow::N5Click)->setObjectName("N5");
  n3->addSeparator()->setObjectName("N10");
  n3->addAction("关于KESTRIX", this, &MainWindow::N6Click)->setObjectName("N6");

  BlockList->setContextMenuPolicy(Qt::ActionsContextMenu);
  auto* n7 = new QAction("恢复碎片", BlockList);
  n7->setObjectName("N7");
  connect(n7, &QAction::triggered, this, &MainWindow::N7Click);
  auto* n11 = new QAction("-", BlockList);
  n11->setObjectName("N11");
  n11->setSeparator(true);
  auto* n12 = new QAction("全选", BlockList);
  n12->setObjectName("N12");
  connect(n12, &QAction::triggered, this, &MainWindow::N12Click);
  BlockList->addActions({n7, n11, n12});

  ManView->setContextMenuPolicy(Qt::ActionsContextMenu);
  auto* n8 = new QAction("清空碎片", ManView);
  n8->setObjectName("N8");
  connect(n8, &QAction::triggered, this, &MainWindow::N8Click);
  auto* n9 = new QAction("恢复碎片", ManView);
  n9->setObjectName("N9");
  connect(n9, &QAction::triggered, this, &MainWindow::N9Click);
  ManView->addActions({n8, n9});

  FileList->setContextMenuPolicy(Qt::ActionsContextMenu);
  auto* n1 = new QAction("恢复文件", FileList);
  n1->setObjectName("N1");
  connect(n1, &QAction::triggered, this, &MainWindow::N1Click);
  FileList->addAction(n1);

  setFixedSize(584, 493 + menuBar()->sizeHint().height());
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect desk = screen->availableGeometry();
    move(desk.center() - QPoint(width() / 2, height() / 2));
  }
}

void MainWindow::FormCreate() {
  PageControl1->setCurrentIndex(0);
  PageControl2->setCurrentIndex(0);
  Exdatalist->setVisible(false);
  PageControl1->setTabVisible(0, false);
  PageControl1->setCurrentIndex(1);

  m_settingsPath = SettingsPath(m_options.exeDir);
  std::error_code ec;
  if (std::filesystem::exists(m_settingsPath, ec)) {
    Edit1->setText(q(ReadIniValue(m_settingsPath, "Settings", "Fix").value_or("")));
  } else {
    try {
      WriteIniValue(m_settingsPath, "Settings", "Fix", s(Edit1->text()));
    } catch (const std::exception& e) {
      showError(QString::fromUtf8(e.what()));  // start-up goes on: the caption is needed anyway
    }
  }

  const QString caption = QString::fromUtf8(kCaptionText);
  QGuiApplication::setApplicationDisplayName(caption);
  setWindowTitle(caption);
}

void MainWindow::FormClose() {
  try {
    WriteIniValue(m_settingsPath, "Settings", "Fix", s(Edit1->text()));
  } catch (const std::exception& e) {
    showError(QString::fromUtf8(e.what()));  // the window closes all the same
  }
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (m_worker->running()) {
    // Closing stops the run and waits for it; its results are not offered any more.
    m_closing = true;
    m_scanStop = true;
    m_rebuildStop = true;
    m_repairStop = true;
    m_worker->wait();
  }
  m_closing = true;
  FormClose();
  event->accept();
}

void MainWindow::showError(const QString& text) { m_dialogs.error(this, text); }

void MainWindow::showInformation(const QString& text) { m_dialogs.information(this, text); }

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Source) {
    if (event->type() == QEvent::MouseButtonPress) {
      SourceMouseDown(static_cast<QMouseEvent*>(event)->button());
    } else if (event->type() == QEvent::KeyPress && !static_cast<QKeyEvent*>(event)->text().isEmpty()) {
      SourceKeyPress();
    }
  } else if (watched == BlockList && event->type() == QEvent::KeyPress) {
    const QString text = static_cast<QKeyEvent*>(event)->text();
    if (text.size() == 1 && (text[0].toLower() == 'd' || text[0].toLower() == 'u')) {
      BlockListKeyPress(text[0]);
      return true;
    }
  } else if (watched == RecoverFileList->viewport() && event->type() == QEvent::MouseButtonDblClick) {
    if (!RecoverFileList->itemAt(static_cast<QMouseEvent*>(event)->position().toPoint()))
      RecoverFileListDblClick();
  }
  return QMainWindow::eventFilter(watched, event);
}

QString MainWindow::statusPanelText(int panel) const {
  return panel >= 0 && panel < 2 ? sbPanel[panel]->text() : QString();
}

bool MainWindow::running() const { return m_worker->running(); }

// ---- busy state and the remaining time ----

void MainWindow::setWorkControlsEnabled(bool enabled) {
  for (QWidget* w : {static_cast<QWidget*>(PageControl1), static_cast<QWidget*>(Source),
                     static_cast<QWidget*>(Button1), static_cast<QWidget*>(bScanFree),
                     static_cast<QWidget*>(RecoverFileList), static_cast<QWidget*>(Button4),
                     static_cast<QWidget*>(Button6), static_cast<QWidget*>(Button7), static_cast<QWidget*>(ManView)})
    w->setEnabled(enabled);
}

void MainWindow::BeginBusy() {
  setWorkControlsEnabled(false);
  m_timerTicks = 1;
  ElapsedTime->start();
  m_busy = true;
  emit busyChanged(true);
}

void MainWindow::EndBusy() {
  setWorkControlsEnabled(true);
  ElapsedTime->stop();
  sbPanel[0]->setText(remainingTimeText(std::nullopt));
  m_busy = false;
  emit busyChanged(false);
}

void MainWindow::ElapsedTimeTimer() {
  ++m_timerTicks;
  const auto remaining = RemainingSeconds(gg->value() < 0 ? 0 : gg->value(), gg->maximum(), m_timerTicks);
  if (!remaining) return;
  sbPanel[0]->setText(remainingTimeText(*remaining));
}

void MainWindow::setGauge(std::int64_t doneBytes, std::int64_t totalBytes) {
  m_gaugeTotal = totalBytes;
  m_gaugeShift = GaugeShift(totalBytes);
  gg->setRange(0, std::max(1, GaugeUnits(totalBytes, m_gaugeShift)));
  gg->setValue(GaugeUnits(doneBytes, m_gaugeShift));
}

void MainWindow::onProgress(int phase, qint64 done, qint64 total) {
  switch (phase) {
    case kPhaseScan:
    case kPhaseExtract:
    case kPhaseExtractCheck:
    case kPhaseExtractRepair:
      // The work knows its own total (an assembled file may lack intervals, a repair adds a
      // stage): one scale for it, and the gauge's text names the stage of 恢复文件.
      if (total != m_gaugeTotal) setGauge(done, total);
      gg->setValue(std::min(gg->maximum(), GaugeUnits(done, m_gaugeShift)));
      if (m_job == Job::Recover)
        gg->setFormat(phase == kPhaseExtract ? "写入 %p%" : phase == kPhaseExtractCheck ? "检查 %p%" : "修复 %p%");
      break;
    case kPhaseIndex:
    case kPhaseWrite:
    case kPhaseRebuildCheck:
    case kPhaseRebuildRepair: {
      const QString name = QFileInfo(m_rebuildInputs.value(m_rebuildIndex)).fileName();
      const char* step = phase == kPhaseIndex ? "初始化PST文件"
                         : phase == kPhaseWrite ? "重组PST文件"
                         : phase == kPhaseRebuildCheck ? "检查PST文件"
                                                       : "修复PST文件";
      label8->setText(step + name + "...");
      // Writing counts IDs, the other passes bytes (in KiB); one scale per pass.
      const bool ids = phase == kPhaseWrite;
      const int shift = ids ? 0 : GaugeShift(total);
      const std::int32_t max = ids ? std::int32_t(std::min<qint64>(total, INT32_MAX)) : GaugeUnits(total, shift);
      const std::int32_t at = ids ? std::int32_t(std::min<qint64>(done, INT32_MAX)) : GaugeUnits(done, shift);
      pb->setRange(0, std::max(1, max));
      pb->setValue(std::min(at, pb->maximum()));
      break;
    }
    case kPhaseRepair: {
      const int shift = GaugeShift(total);
      pr->setRange(0, std::max(1, GaugeUnits(total, shift)));
      pr->setValue(std::min(pr->maximum(), GaugeUnits(done, shift)));
      break;
    }
    default:
      break;
  }
}

void MainWindow::onWorkerFinished() {
  const Job job = m_job;
  m_job = Job::None;
  switch (job) {
    case Job::Scan:
      scanDone();
      break;
    case Job::Rebuild:
      rebuildFileDone();
      break;
    case Job::Extract:
    case Job::Recover:
      extractDone();
      break;
    case Job::Repair:
      repairDone();
      break;
    case Job::None:
      break;
  }
}

// ---- the source box ----

void MainWindow::SourceMouseDown(Qt::MouseButton button) {
  if (button != Qt::RightButton) return;
  m_pop->clear();
  std::vector<sources::SourceMenuEntry> entries;
  try {
    entries = sources::BuildSourceMenu(m_catalogue);
  } catch (const std::exception& e) {
    showError(QString::fromUtf8(e.what()));
    return;
  }
  for (const sources::SourceMenuEntry& entry : entries) {
    if (entry.kind == sources::EntryKind::Separator) {
      m_pop->addSeparator();
      continue;
    }
    QAction* item = m_pop->addAction(q(entry.caption));
    item->setObjectName(q(entry.name));
    connect(item, &QAction::triggered, this, [this, entry] { SourceItemClick(entry); });
  }
}

void MainWindow::SourceItemClick(const sources::SourceMenuEntry& entry) {
  m_odFilter.clear();  // the open dialog keeps no filter after any choice
  QString image;
  if (entry.kind == sources::EntryKind::Image) {
    image = m_dialogs.openFile(this, m_odFilter);
    if (image.isEmpty()) return;
  }
  const std::string before = m_picker.SourceText();
  try {
    m_picker.SourceItemClick(entry, s(image));
    syncSourceBox();
  } catch (const std::exception& e) {
    syncSourceBox();  // the box shows the new name; its size is 0 until it can be opened
    showError(sourceErrorText(e));
  }
  // Fragments collected by hand belong to the source they were found on.
  if (m_picker.SourceText() != before) ManView->clear();
}

void MainWindow::syncSourceBox() {
  const QSignalBlocker quiet(Source);
  Source->setText(q(m_picker.SourceText()));
}

void MainWindow::SourceKeyPress() { QApplication::beep(); }

// ---- the scan ----

void MainWindow::Button1Click() {
  if (m_worker->running()) return;
  m_scanStop = false;
  m_hitModel->clear();
  BlockList->clear();
  FileList->clear();
  m_fragments.clear();
  m_treePages.clear();
  m_zeros = {};
  m_files.clear();
  sbPanel[1]->setText(kFragmentCountEmpty);  // the count goes with the lists it counts
  gg->setFormat("%p%");

  std::shared_ptr<scan::ByteSource> src;
  try {
    src = m_picker.Open();  // the length as it is now, not as it was when the source was chosen
  } catch (const std::exception& e) {
    showError(sourceErrorText(e));
    return;
  }
  const std::int64_t size = SourceSize();
  setGauge(0, size);
  BeginBusy();
  auto out = std::make_shared<ScanOutput>();
  out->sourceName = SourcePath();
  out->size = size;
  m_scanOutput = out;
  m_job = Job::Scan;
  std::atomic<bool>& stop = m_scanStop;
  m_worker->start([src, out, size, &stop](const Worker::Report& report) {
    try {
      rebuild::AnalysisOptions options;
      options.size = size;
      options.chunkSize = scan::kChunkSize;
      options.keepHits = true;  // for the found-page view
      out->analysis = rebuild::analyzeSource(
          *src, options, stop, [&](const scan::ScanProgress& p) { report(kPhaseScan, p.done, p.total); });
      for (const auto& file : out->analysis.files) out->fileRows.push_back(rebuild::MakeFileListRow(file));
    } catch (const std::exception& e) {
      out->analysis = {};
      out->fileRows.clear();
      out->error = e.what();
    }
  });
}

void MainWindow::Button2Click() { m_scanStop = true; }

void MainWindow::scanDone() {
  std::shared_ptr<ScanOutput> out = std::move(m_scanOutput);
  const rebuild::SourceAnalysis& found = out->analysis;
  // The gauge stays where the scan ended: full and "扫描完成" after a whole pass.
  const bool stopped = found.scan.stopped;
  const bool whole = out->error.empty() && !stopped;
  if (whole) gg->setValue(gg->maximum());
  gg->setFormat(whole ? "扫描完成 %p%" : stopped ? "已停止 %p%" : "%p%");
  m_hitModel->setHits(std::make_shared<const scan::FoundPageList>(std::move(out->analysis.scan.hits)));
  BlockList->setUpdatesEnabled(false);
  for (const scan::FragmentRow& row : found.rows)
    BlockList->addRow({q(row.id), q(row.start), q(row.end), q(row.size), q(row.fileSize)});
  BlockList->setUpdatesEnabled(true);
  if (!found.rows.empty()) sbPanel[1]->setText("碎片: " + QString::number(BlockList->rowCount()));
  m_scannedSource = out->sourceName;
  m_fragments = found.fragments;
  m_treePages = found.scan.treePages;
  m_zeros = found.scan.zeros;
  m_files = found.files;
  m_fillingFileList = true;
  for (const rebuild::FileListRow& row : out->fileRows)
    FileList->addRow({q(row.number), q(row.name), q(row.size), q(row.missing), q(row.fragments)});
  m_fillingFileList = false;
  PageControl1->setTabVisible(2, true);
  EndBusy();
  if (!m_closing) {
    if (!out->error.empty()) showError(QString::fromUtf8(out->error.c_str()));
    if (found.scan.endedAt >= 0)
      showError(QString("数据源 \"%1\" 在扫描时变短了: 打开时为 %2 字节, 读到第 %3 字节时已结束. 列出的是此前找到的碎片")
                    .arg(q(out->sourceName))
                    .arg(out->size)
                    .arg(found.scan.endedAt));
    if (!found.scan.unreadable.empty())
      showInformation(QString("有 %1 个扇区无法读取, 已跳过 (\"%2\"): %3")
                          .arg(sectorCount(found.scan.unreadable), q(out->sourceName),
                               q(scan::describeSectorRuns(found.scan.unreadable))));
    if (whole && found.rows.empty()) showInformation("未找到碎片");
  }
  emit scanFinished();
}

// ---- the rebuild ----

void MainWindow::Button4Click() {
  if (m_worker->running()) return;
  const QStringList inputs = m_dialogs.openFiles(this, kPstFilter);
  if (inputs.isEmpty() || !QFileInfo::exists(inputs.first())) return;
  for (const QString& path : inputs)
    RecoverFileList->addRow({QFileInfo(path).fileName(), path, sizeText(FileSizeByName(path))});
  m_rebuildInputs = inputs;
  m_rebuildIndex = 0;
  startNextRebuild();
}

void MainWindow::startNextRebuild() {
  while (!m_closing && m_rebuildIndex < m_rebuildInputs.size()) {
    const QString output = m_dialogs.saveFile(this, kPstFilter, m_lastSavePath);
    if (output.isEmpty()) {
      ++m_rebuildIndex;
      continue;
    }
    m_lastSavePath = output;
    const QString input = m_rebuildInputs[m_rebuildIndex];
    BeginBusy();
    label8->setText("初始化PST文件" + QFileInfo(input).fileName() + "...");
    auto error = std::make_shared<std::string>();
    auto tail = std::make_shared<std::int64_t>(0);
    auto checked = std::make_shared<std::optional<pst::CheckedOutput>>();
    m_rebuildError = error;
    m_rebuildTail = tail;
    m_rebuildChecked = checked;
    m_job = Job::Rebuild;
    std::atomic<bool>& stop = m_rebuildStop;
    // A rebuilt file starts with the fixed header block and opens only once repaired: the
    // engine checks it and repairs it, the bytes as rebuilt stay beside it.
    m_worker->start([in = s(input), out = s(output), error, tail, checked, &stop](const Worker::Report& report) {
      try {
        using Phase = rebuild::RebuildProgress::Phase;
        rebuild::RebuildResult r = rebuild::rebuildFile(
            in, out, stop,
            [&](const rebuild::RebuildProgress& p) {
              report(p.phase == Phase::Indexing  ? kPhaseIndex
                     : p.phase == Phase::Writing ? kPhaseWrite
                     : p.phase == Phase::Checking ? kPhaseRebuildCheck
                                                  : kPhaseRebuildRepair,
                     p.done, p.total);
            },
            true);
        *tail = r.tailBytes;
        if (!r.stopped()) *checked = std::move(r.checked);
      } catch (const std::exception& e) {
        *error = e.what();
      }
    });
    return;
  }
  if (m_closing) return;
  label8->setText("Complete!");
  Button4->setText("Rebuild");
  showRebuildSummary();
  emit rebuildFinished();
}

void MainWindow::showRebuildSummary() {
  const QStringList summary = std::exchange(m_rebuildSummary, {});
  if (!summary.isEmpty() && !m_closing) showInformation("重组完成:\n" + summary.join("\n"));
}

void MainWindow::rebuildFileDone() {
  pb->setValue(0);
  // Button1 keeps its caption "恢复": it still starts a scan.
  EndBusy();
  const std::string error = m_rebuildError ? *m_rebuildError : std::string();
  m_rebuildError.reset();
  if (!error.empty()) {
    // A failed file ends the command: no "Complete!", the later inputs are left alone.
    label8->setText("");
    m_rebuildInputs.clear();
    m_rebuildChecked.reset();
    if (!m_closing) showError(QString::fromUtf8(error.c_str()));
    showRebuildSummary();  // the files written before the failure
    emit rebuildFinished();
    return;
  }
  const QString output = m_lastSavePath;
  if (m_rebuildChecked && m_rebuildChecked->has_value())
    m_rebuildSummary << QString("\"%1\":\n%2").arg(output, checkedText(**m_rebuildChecked, "重组"));
  else
    m_rebuildSummary << QString("\"%1\": 已停止, 未写入").arg(output);
  m_rebuildChecked.reset();
  // Whole intervals only: a cut-off last one is not used, and the user hears of it.
  if (m_rebuildTail && *m_rebuildTail > 0 && !m_closing)
    showInformation(QString("\"%1\" 末尾的 %2 字节不是完整的区间, 没有写入")
                        .arg(m_rebuildInputs.value(m_rebuildIndex))
                        .arg(*m_rebuildTail));
  m_rebuildTail.reset();
  ++m_rebuildIndex;
  startNextRebuild();
}

void MainWindow::Button5Click() { m_rebuildStop = true; }

void MainWindow::RecoverFileListDblClick() { RecoverFileList->clear(); }

void MainWindow::Button6Click() {
  const QString path = m_dialogs.openFile(this, m_odFilter);
  if (!path.isEmpty()) Edit1->setText(path);
}

// ---- the built-in repair ----

void MainWindow::Button7Click() {
  if (m_worker->running()) return;
  const QString input = m_dialogs.openFile(this, kPstFilter);
  if (input.isEmpty()) return;
  const QFileInfo in(input);
  const QString output = m_dialogs.saveFile(this, kPstFilter, in.dir().filePath(in.completeBaseName() + "_修复.pst"));
  if (output.isEmpty()) return;
  std::shared_ptr<scan::ByteSource> src;
  try {
    src = sources::openSource(s(input));
  } catch (const std::exception& e) {
    showError(QString::fromUtf8(e.what()));
    return;
  }
  m_repairStop = false;
  PageControl2->setCurrentIndex(2);
  pr->setRange(0, 100);
  pr->setValue(0);
  BeginBusy();
  auto out = std::make_shared<RepairOutput>();
  out->input = s(input);
  out->output = s(output);
  m_repairOutput = out;
  m_job = Job::Repair;
  std::atomic<bool>& stop = m_repairStop;
  // The engine refuses an output that is the input or lies on it; the refusal is shown.
  m_worker->start([src, out, &stop](const Worker::Report& report) {
    try {
      pst::StructureScanOptions options;
      options.progress = [&](const pst::StructureProgress& p) { report(kPhaseRepair, p.done, p.total); };
      out->report = pst::repairFile(*src, out->output, stop, options);
    } catch (const std::exception& e) {
      out->error = e.what();
    }
  });
}

void MainWindow::Button8Click() { m_repairStop = true; }

void MainWindow::repairDone() {
  std::shared_ptr<RepairOutput> out = std::move(m_repairOutput);
  pr->setValue(0);
  EndBusy();
  if (m_closing || !out) {
    emit repairFinished();
    return;
  }
  const pst::RepairReport& r = out->report;
  const QString output = q(out->output);
  if (!out->error.empty()) {
    showError(QString("无法修复 \"%1\":\n").arg(q(out->input)) + QString::fromUtf8(out->error.c_str()));
  } else if (r.stopped) {
    showInformation(QString("已停止: 未写入 \"%1\" (同名的原有文件保持不变)").arg(output));
  } else if (r.unchanged) {
    showInformation(QString("\"%1\" 完好, 已原样复制到 \"%2\"\n%3").arg(q(out->input), output, mailText(r.after)));
  } else {
    QString text =
        QString("修复完成! 已写入 \"%1\"\n修复后: %2\n修复前: %3").arg(output, mailText(r.after), mailText(r.before));
    if (r.headerRebuilt) text += "\n文件头已重建";
    if (r.orphansMoved > 0) {
      QString folder;
      for (const pst::FolderReport& f : r.after.folders)
        if (f.nid == r.orphanFolder) folder = QString::fromUtf8(f.name.c_str());
      text += QString("\n%1 项所在的文件夹已丢失, 已放入 \"%2\"").arg(r.orphansMoved).arg(folder);
    }
    showInformation(text);
  }
  emit repairFinished();
}

// ---- the fragment lists ----

namespace {

rebuild::RangeCells cellsOf(const QTreeWidgetItem* item) { return {s(item->text(1)), s(item->text(2))}; }

QStringList allCells(const QTreeWidgetItem* item, int count) {
  QStringList cells;
  for (int c = 0; c < count; ++c) cells << item->text(c);
  return cells;
}

}  // namespace

bool MainWindow::FragmentFitsManual() const {
  const QList<QTreeWidgetItem*> selected = BlockList->selectedItems();
  if (selected.isEmpty()) return false;
  std::vector<rebuild::RangeCells> manual;
  manual.reserve(std::size_t(ManView->rowCount()));
  for (int i = 0; i < ManView->rowCount(); ++i) manual.push_back(cellsOf(ManView->row(i)));
  return rebuild::FragmentFitsManual(cellsOf(selected.first()), manual);
}

int MainWindow::TakeAndStep(QChar key) {
  SortListView* L = BlockList;
  SortListView* M = ManView;
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

void MainWindow::BlockListKeyPress(QChar key) {
  try {
    TakeAndStep(key);
  } catch (const std::exception& e) {
    showError(QString::fromUtf8(e.what()));
  }
}

void MainWindow::UncheckAllRows(SortListView* view) {
  view->setUpdatesEnabled(false);
  if (view->rowCount() == 0) {
    showInformation(kListEmpty);
    view->setUpdatesEnabled(true);
    if (!m_worker->running()) EndBusy();
    return;
  }
  for (int i = 0; i < view->rowCount(); ++i)
    if (view->row(i)->checkState(0) == Qt::Checked) view->row(i)->setCheckState(0, Qt::Unchecked);
  view->setUpdatesEnabled(true);
}

void MainWindow::N8Click() {
  ManView->clear();
  UncheckAllRows(BlockList);
}

void MainWindow::N12Click() {
  for (int i = 0; i < BlockList->rowCount(); ++i) BlockList->row(i)->setCheckState(0, Qt::Checked);
}

void MainWindow::FileListChange(QTreeWidgetItem* item) {
  BlockList->setUpdatesEnabled(false);
  ManView->setUpdatesEnabled(false);
  for (int i = 0; i < BlockList->rowCount(); ++i) BlockList->row(i)->setCheckState(0, Qt::Unchecked);
  if (item && item->columnCount() > 1) {
    if (Source->isEnabled()) {
      PageControl2->setCurrentIndex(3);
      ManView->clear();
    }
    const std::vector<std::string> tokens = rebuild::SplitFragmentTokens(s(item->text(4)));
    for (int i = 0; i < BlockList->rowCount(); ++i) {
      QTreeWidgetItem* row = BlockList->row(i);
      const std::string caption = s(row->text(0));
      for (const std::string& token : tokens)
        if (caption == token) row->setCheckState(0, Qt::Checked);
    }
    for (int i = 0; i < BlockList->rowCount(); ++i) {
      QTreeWidgetItem* row = BlockList->row(i);
      if (row->checkState(0) == Qt::Checked) ManView->addRow(allCells(row, 4));
    }
  }
  BlockList->setUpdatesEnabled(true);
  ManView->setUpdatesEnabled(true);
}

// ---- 恢复碎片 and 恢复文件 ----

void MainWindow::N7Click() {
  std::vector<std::pair<std::int64_t, std::int64_t>> extents;
  try {
    for (int i = 0; i < BlockList->rowCount(); ++i) {
      QTreeWidgetItem* row = BlockList->row(i);
      if (row->checkState(0) != Qt::Checked) continue;
      const rebuild::RowExtent e = rebuild::RangeCellsExtent(cellsOf(row));
      extents.emplace_back(e.first, e.end);
    }
  } catch (const std::exception& e) {
    showError(QString::fromUtf8(e.what()));
    return;
  }
  if (extents.empty()) {
    showInformation(BlockList->rowCount() == 0 ? QString(kListEmpty) : QString("请先勾选要恢复的碎片!"));
    return;
  }
  startExtraction(extents);
}

void MainWindow::N9Click() {
  std::vector<std::pair<std::int64_t, std::int64_t>> extents;
  try {
    for (int i = 0; i < ManView->rowCount(); ++i) {
      const rebuild::RowExtent e = rebuild::RangeCellsExtent(cellsOf(ManView->row(i)));
      extents.emplace_back(e.first, e.end);
    }
  } catch (const std::exception& e) {
    showError(QString::fromUtf8(e.what()));
    return;
  }
  if (extents.empty()) {
    showInformation(kListEmpty);
    return;
  }
  startExtraction(extents);
}

void MainWindow::startExtraction(const std::vector<std::pair<std::int64_t, std::int64_t>>& pairs) {
  if (m_worker->running()) return;
  const std::string sourceName = m_scannedSource.empty() ? SourcePath() : m_scannedSource;
  const QString output = askSavePath("fragments.pst");
  if (output.isEmpty()) return;
  std::vector<rebuild::SectorExtent> extents;
  std::int64_t bytes = 0;
  for (const auto& [first, end] : pairs) {
    extents.push_back({first, end});
    bytes += (end - first) * 512;
  }
  startSourceWrite(Job::Extract, sourceName, output, bytes,
                   [extents](scan::ByteSource& src, const std::string& path, const std::atomic<bool>& stop,
                             const WriteProgress& progress, ExtractOutput& out) {
                     const rebuild::ExtractResult r = rebuild::extractToFile(
                         src, extents, path, stop, [&](const rebuild::ExtractProgress& p) { progress(0, p.done, p.total); });
                     out.stopped = r.stopped;
                     out.bytes = r.bytesWritten;
                     out.intervals = r.intervalsWritten;
                     out.unreadable = r.unreadable;
                     out.sectorsPastEnd = r.sectorsPastEnd;
                   });
}

QString MainWindow::askSavePath(const QString& name) {
  // The folder of the last output, and a name no file there has yet: the dialog then asks
  // before replacing only when the user picks an existing file on purpose.
  const QDir folder(m_saveDir.isEmpty() ? QDir::currentPath() : m_saveDir);
  const QFileInfo suggested(name);
  QString path = folder.filePath(name);
  for (int n = 2; QFileInfo::exists(path); ++n)
    path = folder.filePath(QString("%1-%2").arg(suggested.completeBaseName()).arg(n) +
                           (suggested.suffix().isEmpty() ? QString() : "." + suggested.suffix()));
  const QString output = m_dialogs.saveFile(this, kPstFilter, path);
  if (!output.isEmpty()) m_saveDir = QFileInfo(output).absolutePath();
  return output;
}

void MainWindow::startSourceWrite(Job job, const std::string& sourceName, const QString& output, std::int64_t size,
                                  SourceWrite write) {
  std::shared_ptr<scan::ByteSource> src;
  try {
    src = sources::openSourceByName(m_catalogue, sourceName);
  } catch (const std::exception& e) {
    showError(QString::fromUtf8(e.what()));
    return;
  }
  m_scanStop = false;
  PageControl2->setCurrentIndex(0);  // the gauge and Stop of tab 1 follow the run
  gg->setFormat("%p%");
  setGauge(0, size);
  BeginBusy();
  auto out = std::make_shared<ExtractOutput>();
  out->output = s(output);
  m_extractOutput = out;
  m_job = job;
  std::atomic<bool>& stop = m_scanStop;
  m_worker->start([src, out, write = std::move(write), &stop](const Worker::Report& report) {
    try {
      write(*src, out->output, stop,
            [&](int stage, std::int64_t done, std::int64_t total) { report(kPhaseExtract + stage, done, total); }, *out);
    } catch (const std::exception& e) {
      out->error = e.what();
    }
  });
}

void MainWindow::N1Click() {
  if (m_worker->running()) return;
  if (FileList->rowCount() == 0) {
    showInformation(kListEmpty);
    return;
  }
  QTreeWidgetItem* item = FileList->currentItem();
  if (!item && !FileList->selectedItems().isEmpty()) item = FileList->selectedItems().first();
  if (!item) {
    showInformation("请先选择一个文件!");
    return;
  }
  const auto number = scan::TextToInt32(s(item->text(0)));
  const auto found = std::find_if(m_files.begin(), m_files.end(),
                                  [&](const rebuild::AssembledFile& f) { return number && f.number == *number; });
  if (found == m_files.end()) {
    showInformation(kListEmpty);
    return;
  }
  const rebuild::AssembledFile file = *found;
  const QString output = askSavePath(q(file.fileName));
  if (output.isEmpty()) return;
  // The gauge counts the writing and the check of as many bytes; a repair adds its own.
  startSourceWrite(Job::Recover, m_scannedSource, output, 2 * file.outputSize(),
                   [file, fragments = m_fragments, pages = m_treePages, zeros = m_zeros,
                    number = item->text(0)](
                       scan::ByteSource& src, const std::string& path, const std::atomic<bool>& stop,
                       const WriteProgress& progress, ExtractOutput& out) {
                     rebuild::RecoverRequest request;
                     request.targets.push_back({file, path});
                     request.treePages = pages;
                     request.zeros = &zeros;
                     StageGauge gauge(file.outputSize());
                     const rebuild::RecoverOutcome done = rebuild::recoverFiles(
                         src, fragments, request, stop, [&](std::size_t, const rebuild::RecoverProgress& p) {
                           gauge.update(int(p.stage), p.done, p.total);
                           progress(int(p.stage), gauge.done(), gauge.total());
                         });
                     out.stopped = done.stopped;
                     out.fileNumber = number;
                     if (!done.stopped && !done.checked.empty()) out.checked = done.checked.front();
                     if (done.results.empty()) return;
                     const rebuild::RecoverResult& r = done.results.front();
                     out.bytes = r.size;
                     out.intervals = r.intervalsWritten;
                     out.missing = r.intervalsMissing;
                     out.unreadable = r.unreadable;
                     out.sectorsPastEnd = r.sectorsPastEnd;
                     out.conflicts = file.conflicts;
                   });
}

void MainWindow::extractDone() {
  std::shared_ptr<ExtractOutput> out = std::move(m_extractOutput);
  gg->setValue(0);
  gg->setFormat("%p%");
  EndBusy();
  if (m_closing || !out) {
    emit extractFinished();
    return;
  }
  if (!out->error.empty()) {
    showError(QString::fromUtf8(out->error.c_str()));
  } else {
    QString text;
    const QString path = q(out->output);
    if (out->stopped)
      text = QString("已停止: 未写入 \"%1\" (同名的原有文件保持不变)").arg(path);
    else if (out->missing > 0)
      text = QString("完成! \"%1\" (%2): 写入 %3 个区间, 缺少 %4 个区间 (已留为零)")
                 .arg(path, sizeText(out->bytes))
                 .arg(out->intervals)
                 .arg(out->missing);
    else
      text = QString("完成! \"%1\" (%2): 写入 %3 个区间").arg(path, sizeText(out->bytes)).arg(out->intervals);
    if (!out->stopped && !out->unreadable.empty())
      text += QString("\n有 %1 个扇区无法读取, 已写为零: %2")
                  .arg(sectorCount(out->unreadable), q(scan::describeSectorRuns(out->unreadable)));
    if (!out->stopped && out->sectorsPastEnd > 0) text += QString("\n其中 %1 个扇区超出数据源末尾").arg(out->sectorsPastEnd);
    if (!out->stopped && !out->conflicts.empty()) {
      text += QString("\n%1: 文件可能混有两个版本").arg(rebuild::kTwoVersionsMark);
      for (std::size_t i = 0; i < out->conflicts.size() && i < 4; ++i) {
        const rebuild::IdConflict& c = out->conflicts[i];
        text += QString("\nID %1-%2 有 %3 个候选碎片, 取了碎片 %4").arg(c.firstId).arg(c.lastId).arg(c.candidates()).arg(c.chosen);
      }
    }
    if (!out->stopped && out->checked) {
      text += "\n" + checkedText(*out->checked, "拼合");
      for (int i = 0; i < FileList->rowCount(); ++i)
        if (FileList->row(i)->text(0) == out->fileNumber) FileList->row(i)->setText(5, mailCell(*out->checked));
    }
    showInformation(text);
  }
  emit extractFinished();
}

// ---- menus ----

void MainWindow::N4Click() { close(); }

void MainWindow::N5Click() { showManual(this, m_options.exeDir, m_dialogs); }

void MainWindow::N6Click() { m_about->exec(); }

}  // namespace kestrix::app
