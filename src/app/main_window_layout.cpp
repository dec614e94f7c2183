#include "app/main_window_layout.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>

#include "app/fragment_texts.h"
#include "app/remaining_time.h"
#include "recover/list_rules.h"
#include "widgets/hit_list_model.h"
#include "widgets/sort_list_view.h"
#include "widgets/source_map_view.h"

namespace kestrix::app {

using widgets::SortListView;

namespace {

// The window's first size: every column of the lists shows whole, and the window with its
// frame fits a 1366 x 768 screen. It can be enlarged from there.
constexpr int kPanelWidth = 1100;  // the lists and, beside them, the map
constexpr int kPanelHeight = 600;

QFont windowFont() {
  QFont font;
  font.setFamilies({"SimSun", "宋体", "Noto Sans CJK SC", "Noto Serif CJK SC", "WenQuanYi Micro Hei"});
  font.setPixelSize(12);
  return font;
}

template <typename W>
W* named(W* widget, const char* name) {
  widget->setObjectName(name);
  return widget;
}

QPushButton* button(const char* name, const QString& caption) {
  auto* b = named(new QPushButton(caption), name);
  b->setMinimumWidth(75);
  return b;
}

// A progress bar from 0 to 100, at 0.
QProgressBar* gauge(const char* name) {
  auto* g = named(new QProgressBar, name);
  g->setRange(0, 100);
  g->setValue(0);
  g->setAlignment(Qt::AlignCenter);
  return g;
}

QWidget* page(const char* name) { return named(new QWidget, name); }

QWidget* filledPage(QWidget* content, const char* name) {
  QWidget* p = page(name);
  auto* layout = new QVBoxLayout(p);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(content);
  return p;
}

// stretch: the columns that share what the window gives beyond the others' widths (long
// texts: positions, names, paths); the others keep their width and the user's.
SortListView* sortList(const char* name, const QStringList& captions, const std::vector<int>& widths,
                       std::initializer_list<int> stretch = {}) {
  auto* view = named(new SortListView, name);
  // Each column at least as wide as its caption in the window's language.
  std::vector<int> fitted = widths;
  for (std::size_t c = 0; c < fitted.size() && c < std::size_t(captions.size()); ++c)
    fitted[c] = std::max(fitted[c], view->fontMetrics().horizontalAdvance(captions[int(c)]) + 16);
  view->setColumns(captions, fitted);
  // The last column fills what is left, unless it stretches already: as the last section too it
  // would keep its first width as a floor, and the columns could not fit a narrower list.
  const int last = int(captions.size()) - 1;
  view->header()->setStretchLastSection(std::find(stretch.begin(), stretch.end(), last) == stretch.end());
  for (const int c : stretch) view->header()->setSectionResizeMode(c, QHeaderView::Stretch);
  return view;
}

}  // namespace

QString MainWindowLayout::fragmentCountText() { return tr("碎片数量: "); }

QString MainWindowLayout::recoverFilesText() { return tr("恢复所选文件到文件夹…"); }

MainWindowLayout::MainWindowLayout(QMainWindow* window) {
  window->setFont(windowFont());
  panel = page("Panel1");
  window->setCentralWidget(panel);
  auto* panelLayout = new QVBoxLayout(panel);
  panelLayout->setContentsMargins(1, 1, 1, 1);
  splitter = named(new QSplitter(Qt::Vertical, panel), "Splitter1");
  splitter->setHandleWidth(3);
  splitter->setChildrenCollapsible(false);
  panelLayout->addWidget(splitter);

  // Upper tabs: the found pages (hidden), the fragments, the files (shown after a scan).
  resultTabs = named(new QTabWidget, "PageControl1");
  // The found pages: a view over the hits themselves, not a row of texts per hit (a disk full
  // of map pages has millions).
  foundPageModel = new widgets::HitListModel(window);
  foundPageView = named(new QTreeView, "list");
  foundPageView->setRootIsDecorated(false);
  foundPageView->setUniformRowHeights(true);
  foundPageView->setModel(foundPageModel);
  foundPageView->setSortingEnabled(true);
  for (int c = 0; const int width : {50, 80, 80, 50, 100}) foundPageView->setColumnWidth(c++, width);
  fragmentList = sortList("BlockList", {tr("ID"), tr("开始ID"), tr("结束ID"), tr("碎片大小"), tr("文件大小")},
                          {50, 100, 100, 150, 150}, {1, 2, 4});
  fragmentList->setCheckBoxes(true);
  FragmentTexts::explain(fragmentList);
  fragmentList->setOnCustomSort([](SortListView*, int, const std::string& a, const std::string& b, int& res,
                                   bool& handled) {
    res = rebuild::CompareLeadingInteger(a, b);
    handled = true;
  });
  // The sixth column, the readable messages of a file once 恢复文件 has written it, stands
  // before the fragment numbers, which are too long to be seen whole anyway.
  // Then what each file's own index says before anything is written (the preview): the
  // mailbox's name and top folders, the messages it lists, and how far it can be trusted;
  // shown after the name.
  fileList = sortList("FileList",
                      {tr("序号"), tr("文件名"), tr("大小"), tr("缺少数据"), tr("碎片"), tr("可读邮件"), tr("邮箱"),
                       tr("邮件"), tr("状态"), tr("格式")},
                      {45, 70, 65, 65, 50, 65, 120, 45, 60, 70}, {1, 6, 9});
  fileList->header()->moveSection(kFileMail, kFileFragments);
  for (const int column : {kFileState, kFileMessages, kFileMailbox, kFileLayout})
    fileList->header()->moveSection(fileList->header()->visualIndex(column), 2);
  fileList->setCheckBoxes(true);  // the files to write in one run
  resultTabs->addTab(filledPage(foundPageView, "TabSheet1"), tr("数据"));
  resultTabs->addTab(filledPage(fragmentList, "TabSheet2"), tr("碎片"));
  resultTabs->addTab(filledPage(fileList, "TabSheet3"), tr("文件"));
  resultTabs->setTabVisible(0, false);
  resultTabs->setTabVisible(2, false);
  resultTabs->setCurrentIndex(1);
  // Beside the lists, the map of the source: where each fragment lies, coloured by its file.
  resultSplitter = named(new QSplitter(Qt::Horizontal), "Splitter2");
  resultSplitter->setChildrenCollapsible(false);
  resultSplitter->addWidget(resultTabs);
  sourceMap = named(new widgets::SourceMapView, "SourceMap");
  resultSplitter->addWidget(sourceMap);
  resultSplitter->setStretchFactor(0, 3);
  resultSplitter->setStretchFactor(1, 2);
  resultSplitter->setSizes({kPanelWidth * 3 / 5, kPanelWidth * 2 / 5});
  splitter->addWidget(resultSplitter);

  // Lower tabs: the four steps.
  stepTabs = named(new QTabWidget, "PageControl2");
  stepTabs->addTab(buildSourceTab(), tr("1. 路径"));
  stepTabs->addTab(buildRebuildTab(), tr("2. 重组"));
  stepTabs->addTab(buildRepairTab(), tr("3. 修复"));
  stepTabs->addTab(buildManualTab(), tr("4. 手工"));
  stepTabs->setCurrentIndex(kSourceTab);
  splitter->addWidget(stepTabs);
  // The lists take what the window grows by, the step tabs keep their height.
  splitter->setStretchFactor(0, 1);
  splitter->setStretchFactor(1, 0);
  splitter->setSizes({kPanelHeight - 241, 236});

  elapsedTimer = named(new QTimer(window), "ElapsedTime");
  elapsedTimer->setInterval(1000);
  panel->resize(kPanelWidth, kPanelHeight);
}

QWidget* MainWindowLayout::buildSourceTab() {
  QWidget* tab = page("TabSheet4");
  auto* outer = new QVBoxLayout(tab);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);
  auto* area = new QWidget;
  outer->addWidget(area, 1);
  auto* grid = new QGridLayout(area);
  grid->setContentsMargins(8, 12, 8, 8);

  auto* sourceLabel = named(new QLabel(tr("数据源:")), "Label1");
  sourceEdit = named(new QLineEdit, "Source");
  sourceEdit->setPlaceholderText(tr("右键选择数据源…"));
  sourceEdit->setToolTip(tr("输入镜像文件或设备的路径并按回车; 右键单击 (或 Shift+F10) 选择磁盘或分区"));
  sourceEdit->setContextMenuPolicy(Qt::CustomContextMenu);
  sourceLabel->setBuddy(sourceEdit);
  sourceMenu = named(new QMenu(sourceEdit), "pop");
  browseButton = button("Browse", tr("浏览…"));
  browseButton->setToolTip(tr("打开磁盘镜像文件 (Ctrl+O)"));
  grid->addWidget(sourceLabel, 0, 0);
  grid->addWidget(sourceEdit, 0, 1, 1, 3);
  grid->addWidget(browseButton, 0, 4);

  scanFreeOnlyBox = named(new QCheckBox(tr("仅扫描剩余空间")), "bScanFree");
  scanFreeOnlyBox->setVisible(false);
  exportListBox = named(new QCheckBox(tr("输出数据列表")), "Exdatalist");
  exportListBox->setVisible(false);
  sourceSizeLabel = named(new QLabel, "SourceSize");
  grid->addWidget(sourceSizeLabel, 1, 1, 1, 2);
  grid->addWidget(scanFreeOnlyBox, 1, 3, 1, 2);
  grid->addWidget(exportListBox, 2, 3, 1, 2);

  scanButton = button("Button1", tr("恢复"));
  pauseButton = button("Button3", tr("暂停"));
  pauseButton->setVisible(false);  // a scan cannot be paused, only stopped
  stopScanButton = button("Button2", tr("停止"));
  recoverFilesButton = button("RecoverChecked", recoverFilesText());
  recoverFilesButton->setToolTip(tr("把 文件 列表中勾选的文件写入一个文件夹, 并写入报告"));
  grid->addWidget(scanButton, 3, 0, 1, 1, Qt::AlignLeft);
  grid->addWidget(recoverFilesButton, 3, 1, 1, 1, Qt::AlignLeft);
  grid->addWidget(pauseButton, 3, 2);
  grid->addWidget(stopScanButton, 3, 4);
  scanGauge = gauge("gg");
  scanGauge->setFormat("%p%");
  scanGauge->setMinimumHeight(25);
  grid->addWidget(scanGauge, 4, 0, 1, 5);
  scanSummaryLabel = named(new QLabel, "ScanSummary");
  scanSummaryLabel->setWordWrap(true);
  scanSummaryLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  grid->addWidget(scanSummaryLabel, 5, 0, 1, 5);
  grid->setColumnStretch(1, 1);
  grid->setColumnStretch(3, 1);
  grid->setRowStretch(6, 1);

  statusBar = named(new QStatusBar, "sb");
  statusBar->setSizeGripEnabled(false);
  remainingTimeLabel = named(new QLabel(remainingTimeText(std::nullopt)), "sbPanel0");
  remainingTimeLabel->setMinimumWidth(240);
  fragmentCountLabel = named(new QLabel(fragmentCountText()), "sbPanel1");
  statusBar->addWidget(remainingTimeLabel);
  fragmentPlaceLabel = named(new QLabel, "sbPanel2");
  fragmentPlaceLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  QObject::connect(fragmentList, &QTreeWidget::currentItemChanged, fragmentPlaceLabel,
                   [label = fragmentPlaceLabel](QTreeWidgetItem* row) { label->setText(FragmentTexts::place(row)); });
  statusBar->addWidget(fragmentCountLabel);
  statusBar->addWidget(fragmentPlaceLabel, 1);
  outer->addWidget(statusBar);
  return tab;
}

QWidget* MainWindowLayout::buildRebuildTab() {
  QWidget* tab = page("TabSheet5");
  auto* layout = new QVBoxLayout(tab);
  layout->setContentsMargins(0, 0, 0, 8);
  rebuildInputList = sortList("RecoverFileList", {tr("文件名"), tr("路径"), tr("大小")}, {100, 200, 80}, {1});
  layout->addWidget(rebuildInputList, 1);
  rebuildGauge = gauge("pb");
  rebuildGauge->setTextVisible(false);
  rebuildGauge->setMaximumHeight(17);
  auto* gaugeRow = new QHBoxLayout;
  gaugeRow->setContentsMargins(16, 0, 8, 0);
  gaugeRow->addWidget(rebuildGauge);
  layout->addLayout(gaugeRow);
  auto* row = new QHBoxLayout;
  row->setContentsMargins(8, 0, 8, 0);
  rebuildButton = button("Button4", tr("重组"));
  // The step, the input and the output in full: the label takes the row's free width.
  rebuildStepLabel = named(new QLabel, "label8");
  rebuildStepLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  rebuildStepLabel->setMinimumWidth(1);
  stopRebuildButton = button("Button5", tr("停止"));
  row->addWidget(rebuildButton);
  row->addSpacing(28);
  row->addWidget(rebuildStepLabel, 1);
  row->addWidget(stopRebuildButton);
  layout->addLayout(row);
  return tab;
}

QWidget* MainWindowLayout::buildRepairTab() {
  QWidget* tab = page("TabSheet6");
  auto* grid = new QGridLayout(tab);
  grid->setContentsMargins(32, 24, 16, 8);
  grid->addWidget(named(new QLabel(tr("修复软件:")), "Label2"), 0, 0);
  repairProgramEdit = named(new QLineEdit, "Edit1");
  repairProgramEdit->setEnabled(false);
  grid->addWidget(repairProgramEdit, 0, 1, 1, 3);
  addRepairProgramButton = button("Button6", tr("添加修复软件"));
  grid->addWidget(addRepairProgramButton, 1, 3, Qt::AlignRight);
  // The built-in repair: a PST file in, a new repaired file out.
  repairButton = button("Button7", tr("修复PST文件"));
  repairGauge = gauge("pr");
  repairGauge->setMaximumHeight(17);
  stopRepairButton = button("Button8", tr("停止"));
  grid->addWidget(repairButton, 2, 0);
  grid->addWidget(repairGauge, 2, 1, 1, 2);
  grid->addWidget(stopRepairButton, 2, 3, Qt::AlignRight);
  auto* advice = named(new QLabel(tr("建议安装outlook, 并且使用scanpst.exe程序修复pst文件!")), "Label3");
  QFont bold;
  bold.setFamilies({"MS Sans Serif", "Microsoft Sans Serif", "DejaVu Sans", "Noto Sans CJK SC"});
  bold.setPixelSize(13);
  bold.setBold(true);
  advice->setFont(bold);
  QPalette navy = advice->palette();
  navy.setColor(QPalette::WindowText, QColor(0, 0, 128));
  advice->setPalette(navy);
  advice->setWordWrap(true);
  grid->addWidget(advice, 3, 1, 1, 3);
  grid->setColumnStretch(1, 1);
  grid->setRowStretch(4, 1);
  return tab;
}

QWidget* MainWindowLayout::buildManualTab() {
  QWidget* tab = page("TabSheet7");
  auto* layout = new QVBoxLayout(tab);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(2);
  manualKeysLabel = named(
      new QLabel(tr("在碎片列表中按 d: 收入选中的碎片并移到下一行; 按 u: 收入并移到上一行. 右键: 清空或恢复碎片")),
      "ManKeys");
  manualKeysLabel->setWordWrap(true);
  manualKeysLabel->setContentsMargins(4, 2, 4, 0);
  layout->addWidget(manualKeysLabel);
  manualList = sortList("ManView", {tr("ID"), tr("开始ID"), tr("结束ID"), tr("碎片大小"), tr("文件大小")},
                        {50, 100, 100, 100, 100}, {1, 2});
  manualList->setColumnHidden(4, true);  // the fragment's 文件大小 is kept but not shown
  FragmentTexts::explain(manualList);
  layout->addWidget(manualList, 1);
  return tab;
}

}  // namespace kestrix::app
