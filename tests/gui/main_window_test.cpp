// The main window, driven as a user drives it: handlers, keys, menus, and whole runs on the
// worker thread (waited for through the window's signals, never by sleeping).

#include <QDir>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QTreeView>
#include <QUrl>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "app/about_box.h"
#include "app/app_info.h"
#include "app/main_window.h"
#include "app/main_window_layout.h"
#include "gui_support.h"
#include "pst/check.h"
#include "recover/sample_image.h"
#include "format/map_page.h"
#include "sources/fake_catalogue.h"
#include "sources/open_source.h"
#include "io/size_text.h"
#include "support/test_support.h"
#include "widgets/sort_list_view.h"
#include "widgets/source_map_view.h"

namespace kestrix::app {
namespace {

using widgets::SortListView;
constexpr int kWait = 120000;  // ms; a generous bound, never a pace

pst::CheckReport checkFile(const std::string& path) {
  const std::atomic<bool> stop{false};
  return pst::checkPst(*sources::openSource(path), stop);
}

// A path as the window shows it: in the system's own form.
QString shown(const std::string& path) { return QDir::toNativeSeparators(QString::fromStdString(path)); }

QString mailText(const pst::CheckReport& r) {
  return QString("可读邮件 %1/%2, 文件夹 %3 个").arg(r.messagesReadable).arg(r.messages).arg(r.folders.size());
}

class Window : public test::WindowTest {
 protected:
  SortListView* list(const char* name) const { return child<SortListView>(name); }
  QAction* action(const char* name) const { return child<QAction>(name); }

  // Chooses an image file through the source menu's first entry.
  void chooseImage(const std::string& path) {
    dialogs.openAnswers.push_back(QString::fromStdString(path));
    window->SourceItemClick({sources::EntryKind::Image, "Openimage", "打开磁盘镜像", 19, ""});
  }
  // Fragment rows with the given (start ID, end ID); sectors follow the IDs.
  void addFragments(SortListView* view, const std::vector<std::pair<int, int>>& ranges, int firstNumber = 1) {
    int n = firstNumber;
    for (auto [a, b] : ranges)
      view->addRow({QString::number(n++), QString("%1 - %2").arg(a).arg(1000 + a * 496),
                    QString("%1 - %2").arg(b).arg(1000 + (b + 1) * 496), QString::number(b - a + 1), "0"});
  }
  static QStringList captions(SortListView* view) {
    QStringList c;
    for (int i = 0; i < view->rowCount(); ++i) c << view->row(i)->text(0);
    return c;
  }
  static QStringList checked(SortListView* view) {
    QStringList c;
    for (int i = 0; i < view->rowCount(); ++i)
      if (view->row(i)->checkState(0) == Qt::Checked) c << view->row(i)->text(0);
    return c;
  }
};

TEST_F(Window, StartsWithTheFragmentTabItsSizeAndCaptionAndGrowsWithTheWindow) {
  MainWindow& w = open();
  auto* upper = child<QTabWidget>("PageControl1");
  EXPECT_FALSE(upper->isTabVisible(0));  // 数据
  EXPECT_TRUE(upper->isTabVisible(1));
  EXPECT_FALSE(upper->isTabVisible(2));  // 文件, until a scan
  EXPECT_EQ(upper->tabText(1), "碎片");
  EXPECT_EQ(upper->currentIndex(), 1);
  auto* lower = child<QTabWidget>("PageControl2");
  EXPECT_EQ(lower->currentIndex(), 0);
  EXPECT_EQ((QStringList{lower->tabText(0), lower->tabText(1), lower->tabText(2), lower->tabText(3)}),
            (QStringList{"1. 路径", "2. 重组", "3. 修复", "4. 手工"}));
  EXPECT_TRUE(child<QCheckBox>("Exdatalist")->isHidden());
  EXPECT_TRUE(child<QCheckBox>("bScanFree")->isHidden());
  // 关于 under 帮助; no dead 检查升级 and no 暂停 that cannot pause.
  EXPECT_TRUE(child<QMenu>("N3")->actions().contains(action("N6")));
  EXPECT_TRUE(action("N6")->isVisible());
  EXPECT_EQ(w.findChild<QAction*>("Checkforupdate1"), nullptr);
  EXPECT_TRUE(child<QPushButton>("Button3")->isHidden());
  EXPECT_EQ(w.statusPanelText(0), "剩余时间: ");
  EXPECT_EQ(w.statusPanelText(1), "碎片数量: ");
  EXPECT_EQ(child<QPushButton>("Button1")->text(), "恢复");
  // What to do with the 数据源 box is said in it; 浏览 beside it opens an image.
  EXPECT_EQ(child<QLineEdit>("Source")->placeholderText(), "右键选择数据源…");
  EXPECT_TRUE(child<QLabel>("ManKeys")->text().contains("d")) << child<QLabel>("ManKeys")->text().toStdString();
  EXPECT_EQ(list("FileList")->headerItem()->text(4), "碎片");
  EXPECT_FALSE(action("N11")->text().contains("-"));
  test::writeFile(dir.file("picked.img"), std::vector<std::byte>(4096));
  dialogs.openAnswers.push_back(QString::fromStdString(dir.file("picked.img")));
  child<QPushButton>("Browse")->click();
  EXPECT_EQ(w.SourceSize(), 4096);

  // It opens at the layout's size and can be enlarged: the lists take the room, the
  // controls follow the edges.
  EXPECT_TRUE(w.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(w.centralWidget()->size(), QSize(1100, 600));
  w.show();
  QApplication::processEvents();
  // A dropped image file is taken as the source too.
  test::writeFile(dir.file("dropped.img"), std::vector<std::byte>(8192));
  QMimeData dropped;
  dropped.setUrls({QUrl::fromLocalFile(QString::fromStdString(dir.file("dropped.img")))});
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &dropped, Qt::LeftButton, Qt::NoModifier);
  static_cast<QObject*>(&w)->event(&drop);  // (the application delivers drops only during a drag)
  EXPECT_EQ(child<QLineEdit>("Source")->text(), QString::fromStdString(dir.file("dropped.img")));
  EXPECT_EQ(w.SourceSize(), 8192);
  auto* stop = child<QPushButton>("Button2");
  const QSize blocks = list("BlockList")->size(), gauge = child<QProgressBar>("gg")->size();
  const int stopRight = w.width() - stop->mapTo(&w, QPoint(stop->width(), 0)).x();
  const QSize larger = w.size() + QSize(500, 350);
  w.resize(larger);
  QApplication::processEvents();
  EXPECT_EQ(w.size(), larger);
  EXPECT_GT(list("BlockList")->width(), blocks.width() + 250);  // three fifths; the map beside takes the rest
  EXPECT_GT(child<QWidget>("SourceMap")->width(), 500);
  EXPECT_GT(list("BlockList")->height(), blocks.height() + 300);
  EXPECT_GT(child<QProgressBar>("gg")->width(), gauge.width() + 400);
  EXPECT_EQ(w.width() - stop->mapTo(&w, QPoint(stop->width(), 0)).x(), stopRight);
  // The product's name and the one version, from CMake.
  const QString caption = w.windowTitle();
  EXPECT_TRUE(caption.startsWith("Kestrix ")) << caption.toStdString();
  EXPECT_TRUE(caption.endsWith(QString(" ") + KESTRIX_VERSION)) << caption.toStdString();
  ASSERT_NE(w.aboutBox(), nullptr);
  EXPECT_EQ(w.aboutBox()->windowTitle(), caption);
  EXPECT_EQ(w.aboutBox()->findChild<QLabel*>("Version")->text(), QString("版本 ") + KESTRIX_VERSION);
  EXPECT_EQ(w.aboutBox()->findChild<QLabel*>("Label2")->text(), kMakerName);
  // The web address only where the build names one.
  const auto* site = w.aboutBox()->findChild<QLabel*>("Label3");
  EXPECT_EQ(site->isVisibleTo(w.aboutBox()), *kHomepage != '\0');
  EXPECT_TRUE(QString(kHomepage).endsWith(site->text())) << site->text().toStdString();
}

TEST_F(Window, SettingsFileIsWrittenOnlyWhenTheRepairProgramChanges) {
  const std::string ini = dir.file("cfg.ini");
  open();
  window->close();
  window.reset();
  EXPECT_FALSE(std::filesystem::exists(ini));  // started and closed: no file made
  open();
  EXPECT_TRUE(child<QLineEdit>("Edit1")->text().isEmpty());

  // A repair program chosen, the window closed and opened again: the same path.
  dialogs.openAnswers.push_back("/opt/repair/scanpst.exe");
  window->Button6Click();
  EXPECT_EQ(child<QLineEdit>("Edit1")->text(), "/opt/repair/scanpst.exe");
  window->close();
  window.reset();
  EXPECT_EQ(test::readText(ini), "[Settings]\nFix=/opt/repair/scanpst.exe\n");
  open();
  EXPECT_EQ(child<QLineEdit>("Edit1")->text(), "/opt/repair/scanpst.exe");

  // Closing with an unchanged path leaves the file as it is, byte for byte.
  const std::string kept = "[Other]\r\nA=1\r\n[Settings]\r\nFix=/opt/repair/scanpst.exe\r\n";
  std::ofstream(ini, std::ios::binary) << kept;
  window->close();
  const std::vector<std::byte> after = test::readFile(ini);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(after.data()), after.size()), kept);
  EXPECT_TRUE(dialogs.errors.isEmpty());
}

TEST_F(Window, RemainingTimeFollowsTheGauge) {
  MainWindow& w = open();
  auto* gg = child<QProgressBar>("gg");
  gg->setRange(0, 100000);
  gg->setValue(5000);
  w.setTimerTicks(4);
  w.ElapsedTimeTimer();  // the tick that makes the count 5: rate 1000, 95 s left
  EXPECT_EQ(w.timerTicks(), 5);
  EXPECT_EQ(w.statusPanelText(0), "剩余时间: 1:35");
  gg->setValue(100000);
  w.ElapsedTimeTimer();
  EXPECT_EQ(w.statusPanelText(0), "剩余时间: 0:00");
  gg->setRange(0, 7327);
  gg->setValue(2);
  w.setTimerTicks(1);
  w.ElapsedTimeTimer();  // rate 1, 7325 s
  EXPECT_EQ(w.statusPanelText(0), "剩余时间: 2:02:05");
  gg->setValue(3);
  w.setTimerTicks(3);
  w.ElapsedTimeTimer();  // rate 0: the text stays
  EXPECT_EQ(w.statusPanelText(0), "剩余时间: 2:02:05");

  w.BeginBusy();
  EXPECT_TRUE(w.busy());
  EXPECT_EQ(w.timerTicks(), 1);
  EXPECT_FALSE(child<QPushButton>("Button1")->isEnabled());
  EXPECT_FALSE(list("ManView")->isEnabled());
  EXPECT_TRUE(child<QPushButton>("Button2")->isEnabled());
  EXPECT_TRUE(child<QPushButton>("Button5")->isEnabled());
  w.EndBusy();
  EXPECT_TRUE(child<QPushButton>("Button1")->isEnabled());
  EXPECT_EQ(w.statusPanelText(0), "剩余时间: ");
}

TEST_F(Window, BlockListSortsNumerically) {
  open();
  SortListView* blocks = list("BlockList");
  blocks->addRow({"1", "10 - 100", "12 - 1588", "3", "12 <5.8 MB>"});
  blocks->addRow({"2", "2 - 5000", "2 - 5496", "1", "0 < 0B >"});
  blocks->addRow({"10", "0 - 40", "3 - 2024", "4", "3 <1 MB>"});
  blocks->ColumnClick(1);
  EXPECT_EQ(captions(blocks), (QStringList{"10", "2", "1"}));
  blocks->ColumnClick(4);
  EXPECT_EQ(captions(blocks), (QStringList{"2", "10", "1"}));  // 0, 3, 12
  blocks->ColumnClick(0);
  blocks->ColumnClick(0);
  EXPECT_EQ(captions(blocks), (QStringList{"10", "2", "1"}));  // descending: 10 before 2
}

TEST_F(Window, StepKeysTakeOnlyFragmentsThatFitTheManualList) {
  open();
  SortListView* blocks = list("BlockList");
  SortListView* manual = list("ManView");
  addFragments(manual, {{5, 9}});
  addFragments(blocks, {{10, 12}, {9, 12}, {0, 4}, {3, 6}}, 2);
  blocks->setCurrentItem(blocks->row(0));
  for (int i = 0; i < 4; ++i)  // the third press is a capital D, which acts as d
    QTest::keyClick(blocks, Qt::Key_D, i == 2 ? Qt::ShiftModifier : Qt::NoModifier);
  EXPECT_EQ(captions(manual), (QStringList{"1", "2", "4"}));  // 10-12 and 0-4 fit; 9-12 and 3-6 touch 5-9
  EXPECT_EQ(checked(blocks), (QStringList{"2", "4"}));
  EXPECT_EQ(blocks->currentItem(), blocks->row(0));  // d on the last row went back to the first
  EXPECT_EQ(manual->row(1)->text(4), "0");  // all sub-items are copied, the hidden one too

  QTest::keyClick(blocks, Qt::Key_X);  // any other key does nothing here
  EXPECT_EQ(manual->rowCount(), 3);
  EXPECT_EQ(blocks->currentItem(), blocks->row(0));
}

TEST_F(Window, StepKeysAtTheEndsOfTheList) {
  open();
  SortListView* blocks = list("BlockList");
  SortListView* manual = list("ManView");
  addFragments(manual, {{5, 9}});
  addFragments(blocks, {{6, 7}, {30, 31}, {20, 21}});
  // u on the first row: checked although it overlaps, not copied, the selection goes to the last row.
  blocks->setCurrentItem(blocks->row(0));
  QTest::keyClick(blocks, Qt::Key_U);
  EXPECT_EQ(checked(blocks), (QStringList{"1"}));
  EXPECT_EQ(manual->rowCount(), 1);
  EXPECT_EQ(blocks->currentItem(), blocks->row(2));
  // u on a middle row takes it and steps up.
  QTest::keyClick(blocks, Qt::Key_U);
  EXPECT_EQ(captions(manual), (QStringList{"1", "3"}));
  EXPECT_EQ(blocks->currentItem(), blocks->row(1));
  // d on the last row takes it (it fits) and goes to the first row.
  blocks->setCurrentItem(blocks->row(2));
  manual->clear();
  addFragments(manual, {{5, 9}});
  QTest::keyClick(blocks, Qt::Key_D);
  EXPECT_EQ(captions(manual), (QStringList{"1", "3"}));
  EXPECT_EQ(blocks->currentItem(), blocks->row(0));

  // With the manual list empty, a fragment whose end ID is below its start is still taken.
  manual->clear();
  blocks->clear();
  addFragments(blocks, {{8, 4}, {1, 2}});
  blocks->setCurrentItem(blocks->row(0));
  QTest::keyClick(blocks, Qt::Key_D);
  EXPECT_EQ(captions(manual), (QStringList{"1"}));
  // With it not empty, never.
  blocks->setCurrentItem(blocks->row(0));
  QTest::keyClick(blocks, Qt::Key_D);
  EXPECT_EQ(captions(manual), (QStringList{"1"}));

  // No selected row: nothing happens.
  blocks->clearSelection();
  blocks->setCurrentItem(nullptr);
  QTest::keyClick(blocks, Qt::Key_D);
  EXPECT_EQ(manual->rowCount(), 1);
  EXPECT_TRUE(dialogs.errors.isEmpty());
}

TEST_F(Window, StepKeyOnARowThatIsNotAnIntegerReportsAndMovesNothing) {
  open();
  SortListView* blocks = list("BlockList");
  SortListView* manual = list("ManView");
  addFragments(manual, {{5, 9}});
  blocks->addRow({"1", "x7 - 100", "8 - 1092", "2", "0"});
  blocks->addRow({"2", "20 - 100", "21 - 1092", "2", "0"});
  blocks->setCurrentItem(blocks->row(0));
  QTest::keyClick(blocks, Qt::Key_D);
  ASSERT_EQ(dialogs.errors.size(), 1);
  EXPECT_EQ(dialogs.errors[0], "'x7' is not a valid integer value");
  EXPECT_EQ(manual->rowCount(), 1);
  EXPECT_TRUE(checked(blocks).isEmpty());
  EXPECT_EQ(blocks->currentItem(), blocks->row(0));
}

TEST_F(Window, ClearAndSelectAll) {
  open();
  SortListView* blocks = list("BlockList");
  SortListView* manual = list("ManView");
  addFragments(manual, {{5, 9}});
  window->N12Click();  // 全选 on an empty list: nothing, no message
  window->N8Click();   // 清空碎片 on an empty list: ManView emptied, then the message
  EXPECT_EQ(manual->rowCount(), 0);
  EXPECT_EQ(dialogs.informations, (QStringList{"列表为空!"}));
  EXPECT_FALSE(window->busy());

  addFragments(blocks, {{0, 1}, {2, 3}, {4, 5}});
  window->N12Click();
  EXPECT_EQ(checked(blocks), (QStringList{"1", "2", "3"}));
  addFragments(manual, {{0, 1}});
  window->N8Click();
  EXPECT_TRUE(checked(blocks).isEmpty());
  EXPECT_EQ(manual->rowCount(), 0);
  EXPECT_EQ(dialogs.informations.size(), 1);
}

TEST_F(Window, FileRowChecksItsFragmentsAndCopiesThemInListOrder) {
  open();
  SortListView* blocks = list("BlockList");
  SortListView* manual = list("ManView");
  SortListView* files = list("FileList");
  addFragments(blocks, {{0, 1}, {2, 3}, {4, 5}, {6, 7}, {8, 9}});
  blocks->ColumnClick(0);
  blocks->ColumnClick(0);  // descending: 5 4 3 2 1
  blocks->row(0)->setCheckState(0, Qt::Checked);
  addFragments(manual, {{40, 41}});
  QTreeWidgetItem* row = files->addRow({"1", "file1.pst", "2.5 MB", "0", "1,3, 4"});
  child<QTabWidget>("PageControl2")->setCurrentIndex(1);
  // The tick and the manual row made by hand are not replaced without asking.
  dialogs.questionAnswers.push_back(false);
  window->FileListChange(row);
  EXPECT_EQ(dialogs.questions.size(), 1);
  EXPECT_EQ(checked(blocks), (QStringList{"5"}));
  EXPECT_EQ(captions(manual), (QStringList{"1"}));
  window->FileListChange(row);  // asked again, and yes
  EXPECT_EQ(dialogs.questions.size(), 2);
  EXPECT_EQ(checked(blocks), (QStringList{"4", "3", "1"}));
  EXPECT_EQ(captions(manual), (QStringList{"4", "3", "1"}));
  EXPECT_EQ(manual->row(0)->text(3), "2");
  EXPECT_EQ(child<QTabWidget>("PageControl2")->currentIndex(), 1);  // the tab the user chose stays

  // A row without sub-items only clears the check marks; what a file row filled in is
  // replaced without a question.
  QTreeWidgetItem* bare = files->addRow({"2"});
  window->FileListChange(bare);
  EXPECT_EQ(dialogs.questions.size(), 2);
  EXPECT_TRUE(checked(blocks).isEmpty());
  EXPECT_EQ(captions(manual), (QStringList{"4", "3", "1"}));

  // A fragment unticked by hand leaves the manual list.
  window->FileListChange(row);
  blocks->row(1)->setCheckState(0, Qt::Unchecked);  // fragment 4
  EXPECT_EQ(captions(manual), (QStringList{"3", "1"}));
}

TEST_F(Window, SourceMenuOffersTheCataloguesDisksAndAChoiceSetsPathAndSize) {
  catalogue->addDisk(0, 3 << 20);
  catalogue->addDisk(2, 1 << 20);  // behind a gap: still offered
  MainWindow& w = open();
  w.SourceMouseDown(Qt::LeftButton);
  EXPECT_TRUE(w.sourceMenu()->actions().isEmpty());  // only a right press builds the menu
  w.SourceMouseDown(Qt::RightButton);
  QStringList texts;
  for (QAction* a : w.sourceMenu()->actions()) texts << (a->isSeparator() ? "-" : a->text());
  EXPECT_EQ(texts, (QStringList{"打开磁盘镜像", "-", "HD0, Fixed Drive, [3 MB]", "HD2, Fixed Drive, [1 MB]"}));
  w.sourceMenu()->actions().at(2)->trigger();
  EXPECT_EQ(child<QLineEdit>("Source")->text(), "PhysicalDrive0");
  EXPECT_EQ(w.SourcePath(), "\\\\.\\PhysicalDrive0");
  EXPECT_EQ(w.SourceSize(), 3 << 20);
  EXPECT_TRUE(dialogs.errors.isEmpty());

  // The image entry offers the containers that are read; one chosen is sized by its disk and
  // named by its format.
#ifndef _WIN32  // qemu-img makes the image: Linux only
  ASSERT_EQ(test::runShell("qemu-img create -q -f vhdx " + dir.file("disk.vhdx") + " 8M"), 0);
  dialogs.openAnswers.push_back(QString::fromStdString(dir.file("disk.vhdx")));
  w.sourceMenu()->actions().at(0)->trigger();
  ASSERT_FALSE(dialogs.openFilters.isEmpty());
  EXPECT_TRUE(dialogs.openFilters.last().contains("*.E01") && dialogs.openFilters.last().contains("*.vmdk"));
  EXPECT_EQ(w.SourceSize(), 8 << 20);
  EXPECT_EQ(child<QLabel>("SourceSize")->text(), "VHDX 镜像, 大小: 8.00 MiB (8388608 字节)");
  EXPECT_TRUE(dialogs.errors.isEmpty());
#endif

  // Disks that may not be read are not listed, and the menu says why.
  window.reset();
  catalogue = std::make_unique<sources::FakeCatalogue>(dir.file("devices"));
  catalogue->refuseDisk(0);
  open().SourceMouseDown(Qt::RightButton);
#ifdef _WIN32
  EXPECT_EQ(window->sourceMenu()->actions().last()->text(), "读取磁盘需要管理员权限");
#else
  EXPECT_EQ(window->sourceMenu()->actions().last()->text(), "需要 root 或 disk 组权限");
#endif
}

TEST_F(Window, SourceThatCannotBeOpenedIsReportedAndForgetsTheOldSize) {
  MainWindow& w = open();
  test::writeFile(dir.file("small.img"), std::vector<std::byte>(4096));
  chooseImage(dir.file("small.img"));
  EXPECT_EQ(w.SourceSize(), 4096);
  const std::string missing = dir.file("missing.img");
  chooseImage(missing);
  ASSERT_EQ(dialogs.errors.size(), 1);
  EXPECT_EQ(dialogs.errors[0], QString::fromStdString("无法打开文件 \"" + missing + "\"：文件或文件夹不存在"));
  EXPECT_EQ(w.SourceSize(), 0);  // no scan runs with the size of the earlier image
  // The scan reports the same, and the window does not enter the busy state.
  w.Button1Click();
  EXPECT_EQ(dialogs.errors.size(), 2);
  EXPECT_FALSE(w.busy());
  EXPECT_FALSE(w.running());
}

// An image: noise, IDs 3..5 of a six-interval file, noise, the file's header with IDs 0..2.
struct Example {
  std::vector<std::byte> pst;
  std::int64_t tailSector = 0, headSector = 0;
  std::string path;
};
Example makeExample(const test::TempDir& dir) {
  Example ex;
  ex.pst = rebuild::makeSyntheticPst(6, 11);
  rebuild::ImageBuilder image(5);
  image.noise(300);
  ex.tailSector = image.appendIntervals(ex.pst, 3, 3);
  image.noise(77);
  image.append(std::span(ex.pst).first(std::size_t(scan::kFirstMapPageOffset)));
  ex.headSector = image.appendIntervals(ex.pst, 0, 3);
  image.noise(1000);
  ex.path = dir.file("disk.img");
  test::writeFile(ex.path, image.bytes());
  return ex;
}

TEST_F(Window, ScanRecoverAndRebuildThroughTheWindow) {
  const Example ex = makeExample(dir);
  MainWindow& w = open();
  chooseImage(ex.path);
  EXPECT_EQ(child<QLineEdit>("Source")->text(), QString::fromStdString(ex.path));

  QSignalSpy scanned(&w, &MainWindow::scanFinished);
  w.Button1Click();
  EXPECT_TRUE(w.busy());
  ASSERT_TRUE(scanned.count() > 0 || scanned.wait(kWait));
  EXPECT_FALSE(w.busy());
  SortListView* blocks = list("BlockList");
  ASSERT_EQ(blocks->rowCount(), 2);
  const auto range = [](std::int64_t id, std::int64_t sector) { return QString("%1 - %2").arg(id).arg(sector); };
  EXPECT_EQ(blocks->rowTexts(0), (QStringList{"1", range(3, ex.tailSector), range(5, ex.tailSector + 3 * 496), "3", "0"}));
  const QString declared = QString::fromStdString(
      "6 <" + sources::SizeToText(std::uint64_t(scan::kFirstMapPageOffset + 6 * scan::kIntervalBytes)) + ">");
  EXPECT_EQ(blocks->rowTexts(1), (QStringList{"2", range(0, ex.headSector), range(2, ex.headSector + 3 * 496), "3", declared}));
  EXPECT_EQ(w.statusPanelText(1), "碎片: 2");
  EXPECT_EQ(w.statusPanelText(0), "剩余时间: ");
  auto* gg = child<QProgressBar>("gg");
  EXPECT_EQ(gg->value(), gg->maximum());
  EXPECT_EQ(gg->text(), "扫描完成 100%");
  EXPECT_TRUE(child<QTabWidget>("PageControl1")->isTabVisible(2));
  SortListView* files = list("FileList");
  ASSERT_EQ(files->rowCount(), 1);
  EXPECT_EQ(files->row(0)->text(1), "file1.pst");
  EXPECT_EQ(files->row(0)->text(4), "2,1");
  EXPECT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join("\n").toStdString();

  // The hidden found-page view shows the hits through its model, texts made as they are
  // asked for; a header click sorts them as listCustomSort does (by sector, descending here).
  auto* hits = child<QTreeView>("list")->model();
  ASSERT_EQ(hits->rowCount(), 6);
  EXPECT_EQ(hits->headerData(2, Qt::Horizontal).toString(), "Sector");
  EXPECT_EQ(hits->index(0, 1).data().toString(), "3");
  EXPECT_EQ(hits->index(0, 2).data().toString(), QString::number(ex.tailSector));
  EXPECT_EQ(hits->index(0, 0).data().toString(), "");
  hits->sort(2, Qt::DescendingOrder);
  EXPECT_EQ(hits->index(0, 1).data().toString(), "2");
  EXPECT_EQ(hits->index(0, 2).data().toString(), QString::number(ex.headSector + 2 * 496));

  // 恢复文件: the file straight from the source, byte for byte.
  files->setCurrentItem(files->row(0));
  QSignalSpy extracted(&w, &MainWindow::extractFinished);
  // Saved to another folder than the source's: the next save dialogs start there.
  std::filesystem::create_directories(dir.path() / "out");
  dialogs.saveAnswers.push_back(QString::fromStdString(dir.file("out/file1.pst")));
  w.N1Click();
  ASSERT_TRUE(extracted.count() > 0 || extracted.wait(kWait));
  EXPECT_EQ(QFileInfo(dialogs.saveStarts.last()).fileName().left(5), "file1");
  EXPECT_TRUE(test::readFile(dir.file("out/file1.pst")) == ex.pst);
  // The sample has no index of its own: nothing proves it whole, and the window warns so.
  EXPECT_TRUE(dialogs.informations.isEmpty());
  ASSERT_EQ(dialogs.warnings.size(), 1);
  EXPECT_TRUE(dialogs.warnings[0].startsWith("数据源: \"" + QString::fromStdString(ex.path) + "\"\n已写入, 但结果不完整!"))
      << dialogs.warnings[0].toStdString();
  EXPECT_TRUE(dialogs.warnings[0].endsWith("\n证据: 不完整: 写入的索引无法完整打开")) << dialogs.warnings[0].toStdString();
  // Asked again, the dialog starts in that folder with a name not taken yet (cancelled here).
  w.N1Click();
  EXPECT_EQ(dialogs.saveStarts.last(), shown(dir.file("out/file1-2.pst")));

  // 恢复碎片 of every fragment, then 重组 of what it wrote: the file's intervals at their places.
  window->N12Click();
  dialogs.saveAnswers.push_back(QString::fromStdString(dir.file("fragments.pst")));
  w.N7Click();
  ASSERT_TRUE(extracted.count() > 1 || extracted.wait(kWait));
  EXPECT_EQ(dialogs.saveStarts.last(), shown(dir.file("out/碎片.bin")));  // sectors, not a PST file
  EXPECT_EQ(std::filesystem::file_size(dir.file("fragments.pst")), std::uintmax_t(6 * scan::kIntervalBytes));

  QSignalSpy rebuilt(&w, &MainWindow::rebuildFinished);
  dialogs.openManyAnswers.push_back({QString::fromStdString(dir.file("fragments.pst"))});
  dialogs.saveAnswers.push_back(QString::fromStdString(dir.file("rebuilt.pst")));
  w.Button4Click();
  ASSERT_TRUE(rebuilt.count() > 0 || rebuilt.wait(kWait));
  EXPECT_EQ(dialogs.saveStarts.last(), shown(dir.file("fragments_重组.pst")));
  EXPECT_EQ(child<QLabel>("label8")->text(), "完成! 最后写入 rebuilt.pst");
  EXPECT_EQ(child<QPushButton>("Button4")->text(), "重组");  // keeps its caption after a rebuild
  SortListView* inputs = list("RecoverFileList");
  ASSERT_EQ(inputs->rowCount(), 1);
  EXPECT_EQ(inputs->rowTexts(0), (QStringList{"fragments.pst", QString::fromStdString(dir.file("fragments.pst")),
                                             QString::fromStdString(sources::SizeToText(6 * scan::kIntervalBytes))}));
  // The sample holds map pages but no PST structure: it stays as rebuilt, and the user hears why.
  EXPECT_TRUE(dialogs.warnings.last().endsWith("文件已损坏, 未能修复 (其中没有PST结构), 已按写入的原样保存"))
      << dialogs.warnings.last().toStdString();
  const auto out = test::readFile(dir.file("rebuilt.pst"));
  ASSERT_EQ(out.size(), ex.pst.size());
  EXPECT_TRUE(std::equal(out.begin() + scan::kFirstMapPageOffset, out.end(), ex.pst.begin() + scan::kFirstMapPageOffset));
  EXPECT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join("\n").toStdString();

  // A double click on the input list empties it.
  w.RecoverFileListDblClick();
  EXPECT_EQ(inputs->rowCount(), 0);
}

TEST_F(Window, NewSourceAndEmptyOrShrunkScansLeaveNoStaleFigures) {
  const Example ex = makeExample(dir);
  MainWindow& w = open();
  SortListView* manual = list("ManView");
  QSignalSpy scanned(&w, &MainWindow::scanFinished);
  chooseImage(ex.path);
  w.Button1Click();
  ASSERT_TRUE(scanned.wait(kWait));
  EXPECT_EQ(w.statusPanelText(1), "碎片: 2");
  w.FileListChange(list("FileList")->row(0));
  ASSERT_EQ(manual->rowCount(), 2);

  // Another source: the results of the old one and the fragments taken by hand from it go,
  // so nothing is written from one source in the name of another; a failed open clears the
  // count together with the lists.
  chooseImage(dir.file("missing.img"));
  EXPECT_EQ(manual->rowCount(), 0);
  EXPECT_EQ(list("FileList")->rowCount(), 0);
  EXPECT_EQ(list("BlockList")->rowCount(), 0);
  w.Button1Click();
  EXPECT_EQ(dialogs.errors.size(), 2);
  EXPECT_EQ(list("BlockList")->rowCount(), 0);
  EXPECT_EQ(w.statusPanelText(1), "碎片数量: ");

  // The same image chosen twice after it shrank to zeros: scanned at its length now, and the
  // empty result is said.
  chooseImage(ex.path);
  test::writeFile(ex.path, std::vector<std::byte>(8192));
  chooseImage(ex.path);
  dialogs.errors.clear();
  w.Button1Click();
  ASSERT_TRUE(scanned.wait(kWait));
  EXPECT_EQ(w.SourceSize(), 8192);
  EXPECT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join("\n").toStdString();
  ASSERT_FALSE(dialogs.informations.isEmpty());
  // An empty source is told from one without PST files.
  EXPECT_TRUE(dialogs.informations.last().contains("只有零")) << dialogs.informations.last().toStdString();
  EXPECT_EQ(w.statusPanelText(1), "碎片数量: ");
  EXPECT_EQ(child<QProgressBar>("gg")->text(), "扫描完成 100%");
}

TEST(WindowDialogs, SaveDialogAsksBeforeReplacingAFile) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows' own save dialog asks, not Qt's";
#endif
  test::TempDir dir;
  const std::string existing = dir.file("file1.pst");
  test::writeFile(existing, std::vector<std::byte>(16));
  QString question;
  // The dialog runs its own loop: accept the existing name, answer the question "No", leave.
  QTimer::singleShot(0, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    auto* dialog = qobject_cast<QFileDialog*>(modal);
    if (!dialog) {
      if (modal) modal->close();
      return;
    }
    QTimer::singleShot(0, [&] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        question = box->text();
        box->button(QMessageBox::No)->click();
      }
    });
    static_cast<QDialog*>(dialog)->accept();  // as the 保存 button does
    dialog->reject();
  });
  const QString chosen = app::standardDialogs().saveFile(nullptr, "PST File(*.PST *.pst)", QString::fromStdString(existing));
  EXPECT_TRUE(question.contains("file1.pst")) << question.toStdString();
  EXPECT_TRUE(chosen.isEmpty());
  EXPECT_EQ(std::filesystem::file_size(existing), 16u);
}

TEST_F(Window, RebuildFailureIsReportedAndDoesNotSayComplete) {
  const Example ex = makeExample(dir);
  const auto before = test::readFile(ex.path);
  MainWindow& w = open();
  QSignalSpy rebuilt(&w, &MainWindow::rebuildFinished);
  // The output is the input: refused before anything is written.
  dialogs.openManyAnswers.push_back({QString::fromStdString(ex.path), QString::fromStdString(ex.path)});
  dialogs.saveAnswers.push_back(QString::fromStdString(ex.path));
  w.Button4Click();
  ASSERT_TRUE(rebuilt.count() > 0 || rebuilt.wait(kWait));
  ASSERT_EQ(dialogs.errors.size(), 1);
  EXPECT_TRUE(dialogs.errors[0].contains(QString::fromStdString(ex.path))) << dialogs.errors[0].toStdString();
  EXPECT_FALSE(child<QLabel>("label8")->text().startsWith("完成"));
  EXPECT_EQ(dialogs.saveStarts.size(), 1);  // the second input was not taken up
  EXPECT_EQ(list("RecoverFileList")->rowCount(), 2);
  EXPECT_FALSE(w.busy());
  EXPECT_TRUE(test::readFile(ex.path) == before);  // the input is untouched

  // A cancelled first dialog changes nothing.
  w.Button4Click();
  EXPECT_EQ(list("RecoverFileList")->rowCount(), 2);
}

TEST_F(Window, StopAndCloseDuringAScan) {
  // A sparse image large enough that the scan is still running when Stop or Close comes
  // (it need not be: either way the run must end cleanly).
  const std::string big = dir.file("big.img");
  std::filesystem::resize_file((std::ofstream(big), big), std::uintmax_t(1) << 31);
  MainWindow& w = open();
  chooseImage(big);
  QSignalSpy scanned(&w, &MainWindow::scanFinished);
  w.Button1Click();
  w.Button2Click();
  ASSERT_TRUE(scanned.count() > 0 || scanned.wait(kWait));
  EXPECT_FALSE(w.busy());
  EXPECT_EQ(list("BlockList")->rowCount(), 0);

  w.Button1Click();
  ASSERT_TRUE(w.running());
  dialogs.questionAnswers = {false};
  EXPECT_FALSE(w.close());  // asked first: no, and the scan goes on
  ASSERT_EQ(dialogs.questions.size(), 1);
  EXPECT_TRUE(w.running());
  w.close();  // yes: stops the scan and waits for it
  EXPECT_EQ(dialogs.questions.size(), 2);
  EXPECT_FALSE(w.running());
  EXPECT_TRUE(dialogs.errors.isEmpty());
}

TEST_F(Window, GaugeOfASourceBeyondTwoTebibytesStaysInRange) {
  const std::int64_t size = std::int64_t(3) << 40;  // 3 TiB: 3 * 2^30 KiB, more than the gauge holds
  catalogue->addDisk(0, size);
  MainWindow& w = open();
  w.SourceMouseDown(Qt::RightButton);
  w.sourceMenu()->actions().at(2)->trigger();
  ASSERT_EQ(w.SourceSize(), size);
  QSignalSpy scanned(&w, &MainWindow::scanFinished);
  w.Button1Click();
  w.Button2Click();
  auto* gg = child<QProgressBar>("gg");
  EXPECT_EQ(gg->maximum(), std::int32_t((size / 1024) >> 1));  // one unit = 2 KiB
  ASSERT_TRUE(scanned.count() > 0 || scanned.wait(kWait));
  EXPECT_LT(gg->value(), gg->maximum());
  EXPECT_TRUE(gg->text().startsWith("已停止 ")) << gg->text().toStdString();
  EXPECT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join("\n").toStdString();
}

TEST_F(Window, StopAndCloseDuringARebuild) {
  // An input of whole intervals: the example file's intervals 5, 0..4, out of order.
  const auto pst = rebuild::makeSyntheticPst(6, 3);
  std::vector<std::byte> input(pst.begin() + scan::kFirstMapPageOffset + 5 * scan::kIntervalBytes, pst.end());
  input.insert(input.end(), pst.begin() + scan::kFirstMapPageOffset,
               pst.begin() + scan::kFirstMapPageOffset + 5 * scan::kIntervalBytes);
  test::writeFile(dir.file("in.bin"), input);
  const auto in = QString::fromStdString(dir.file("in.bin"));
  MainWindow& w = open();

  // Stop during the first file (or after it, if it was quicker): the second is rebuilt in full.
  QSignalSpy rebuilt(&w, &MainWindow::rebuildFinished);
  dialogs.openManyAnswers.push_back({in, in});
  dialogs.saveAnswers = {QString::fromStdString(dir.file("a.pst")), QString::fromStdString(dir.file("b.pst"))};
  w.Button4Click();
  w.Button5Click();
  ASSERT_TRUE(rebuilt.count() > 0 || rebuilt.wait(kWait));
  EXPECT_EQ(child<QLabel>("label8")->text(), "完成! 最后写入 b.pst");
  // Each output is suggested after its input: first in the input's folder, then in the one saved to last.
  const QString suggested = shown(dir.file("in_重组.pst"));
  EXPECT_EQ(dialogs.saveStarts, (QStringList{suggested, suggested})) << dialogs.saveStarts.join('|').toStdString() << " " << suggested.toStdString();
  const auto b = test::readFile(dir.file("b.pst"));
  ASSERT_EQ(b.size(), pst.size());
  EXPECT_TRUE(std::equal(b.begin() + scan::kFirstMapPageOffset, b.end(), pst.begin() + scan::kFirstMapPageOffset));
  // A stopped file is not written at all; one that was done before the stop is whole.
  if (std::filesystem::exists(dir.file("a.pst"))) {
    EXPECT_EQ(std::filesystem::file_size(dir.file("a.pst")), pst.size());
  }
  EXPECT_FALSE(w.busy());

  // Closing during a rebuild stops it, waits, and asks for no further output.
  dialogs.openManyAnswers.push_back({in, in});
  dialogs.saveAnswers = {QString::fromStdString(dir.file("c.pst")), QString::fromStdString(dir.file("d.pst"))};
  w.Button4Click();
  ASSERT_TRUE(w.running());
  w.close();
  EXPECT_FALSE(w.running());
  EXPECT_EQ(dialogs.saveStarts.size(), 3);
  EXPECT_FALSE(std::filesystem::exists(dir.file("d.pst")));
  EXPECT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join("\n").toStdString();
}

// enron.pst on a disk with its last map interval lost: 恢复文件 writes a file that opens and
// keeps the bytes as put together beside it; the file list shows what the file holds.
TEST_F(Window, RecoverFileRepairsADamagedFileAndKeepsTheBytesAsPutTogether) {
  std::vector<std::byte> damaged = test::enronPst();
  std::fill(damaged.end() - scan::kIntervalBytes, damaged.end(), std::byte{0});
  rebuild::ImageBuilder image(9);
  image.noise(100);
  image.append(damaged);
  image.noise(100);
  test::writeFile(dir.file("disk.img"), image.bytes());
  MainWindow& w = open();
  chooseImage(dir.file("disk.img"));
  QSignalSpy scanned(&w, &MainWindow::scanFinished);
  w.Button1Click();
  ASSERT_TRUE(scanned.count() > 0 || scanned.wait(kWait));
  SortListView* files = list("FileList");
  ASSERT_EQ(files->rowCount(), 1);
  files->setCurrentItem(files->row(0));
  QSignalSpy extracted(&w, &MainWindow::extractFinished);
  dialogs.saveAnswers.push_back(QString::fromStdString(dir.file("mail.pst")));
  w.N1Click();
  ASSERT_TRUE(extracted.count() > 0 || extracted.wait(kWait));
  ASSERT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join("\n").toStdString();

  const pst::CheckReport check = checkFile(dir.file("mail.pst"));
  EXPECT_TRUE(check.sound());
  EXPECT_GT(check.messagesReadable, 0);
  EXPECT_TRUE(test::readFile(dir.file("mail.raw.pst")) == damaged);
  ASSERT_EQ(dialogs.warnings.size(), 1);
  const QString& text = dialogs.warnings[0];
  EXPECT_TRUE(text.contains("文件已修复, " + mailText(check))) << text.toStdString();
  EXPECT_TRUE(text.contains(QString::fromStdString("\"" + dir.file("mail.raw.pst") + "\""))) << text.toStdString();
  EXPECT_EQ(files->row(0)->text(5), QString("%1/%2 已修复").arg(check.messagesReadable).arg(check.messages));
  EXPECT_EQ(child<QProgressBar>("gg")->text(), "完成 100%");  // the stage names are gone, the outcome stays

  // No name for the bytes as written (a folder holds it): the damaged file is not put at the
  // target's name, its bytes are kept under the next free one, and the message says which
  // step failed, in the window's language.
  std::filesystem::create_directory(dir.file("again.raw.pst"));
  dialogs.saveAnswers.push_back(QString::fromStdString(dir.file("again.pst")));
  w.N1Click();
  ASSERT_TRUE(extracted.count() > 1 || extracted.wait(kWait));
  EXPECT_FALSE(std::filesystem::exists(dir.file("again.pst")));
  EXPECT_TRUE(test::readFile(dir.file("again.raw-2.pst")) == damaged);
  ASSERT_EQ(dialogs.warnings.size(), 2);
  EXPECT_TRUE(dialogs.warnings[1].contains("未能修复 (无法写入修复后的副本: ")) << dialogs.warnings[1].toStdString();
  EXPECT_TRUE(dialogs.warnings[1].contains(QString::fromStdString(dir.file("again.raw-2.pst"))));

  // The bytes kept by the first run are not replaced without asking.
  dialogs.saveAnswers.push_back(QString::fromStdString(dir.file("mail.pst")));
  dialogs.questionAnswers.push_back(false);
  w.N1Click();
  EXPECT_FALSE(w.running());
  EXPECT_TRUE(dialogs.questions.last().contains(QString::fromStdString(dir.file("mail.raw.pst"))));
}

// 重组 of enron.pst's intervals writes a file that opens; tab 3 repairs the bytes as rebuilt
// into a new file, refuses to write over its input, and a stop leaves no file behind.
TEST_F(Window, RebuildAndTheRepairTabEndInFilesThatOpen) {
  const auto& pst = test::enronPst();
  const auto tail = pst.end() - 5 * scan::kIntervalBytes;
  std::vector<std::byte> input(tail, pst.end());
  input.insert(input.end(), pst.begin() + scan::kFirstMapPageOffset, tail);
  test::writeFile(dir.file("in.bin"), input);
  MainWindow& w = open();
  QSignalSpy rebuilt(&w, &MainWindow::rebuildFinished);
  dialogs.openManyAnswers.push_back({QString::fromStdString(dir.file("in.bin"))});
  dialogs.saveAnswers.push_back(QString::fromStdString(dir.file("rebuilt.pst")));
  w.Button4Click();
  ASSERT_TRUE(rebuilt.count() > 0 || rebuilt.wait(kWait));
  ASSERT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join("\n").toStdString();
  EXPECT_EQ(child<QLabel>("label8")->text(), "完成! 最后写入 rebuilt.pst");
  const pst::CheckReport rebuiltCheck = checkFile(dir.file("rebuilt.pst"));
  EXPECT_TRUE(rebuiltCheck.sound());
  const std::string raw = dir.file("rebuilt.raw.pst");
  ASSERT_EQ(dialogs.informations.size(), 1);
  EXPECT_TRUE(dialogs.informations[0].contains("文件已修复, " + mailText(rebuiltCheck))) << dialogs.informations[0].toStdString();
  EXPECT_TRUE(dialogs.informations[0].contains(QString::fromStdString(raw)));

  QSignalSpy repaired(&w, &MainWindow::repairFinished);
  const auto repair = [&](const std::string& in, const std::string& out, bool stop) {
    dialogs.openAnswers.push_back(QString::fromStdString(in));
    dialogs.saveAnswers.push_back(QString::fromStdString(out));
    const int before = repaired.count();
    w.Button7Click();
    EXPECT_TRUE(w.busy());
    if (stop) child<QPushButton>("Button8")->click();
    ASSERT_TRUE(repaired.count() > before || repaired.wait(kWait));
    EXPECT_FALSE(w.busy());
  };
  const auto rawBytes = test::readFile(raw);
  repair(raw, raw, false);  // the engine refuses to write over the input
  ASSERT_EQ(dialogs.errors.size(), 1);
  EXPECT_TRUE(dialogs.errors[0].contains(QString::fromStdString(raw))) << dialogs.errors[0].toStdString();
  EXPECT_TRUE(test::readFile(raw) == rawBytes);
  EXPECT_EQ(dialogs.saveStarts.last(), shown(dir.file("rebuilt.raw_修复.pst")));

  const std::string fixed = dir.file("fixed.pst");
  repair(raw, fixed, true);  // stopped, unless it was done before the stop came
  EXPECT_EQ(std::filesystem::exists(fixed), !dialogs.informations.last().startsWith("已停止"));
  repair(raw, fixed, false);
  const pst::CheckReport after = checkFile(fixed);
  EXPECT_TRUE(after.sound());
  EXPECT_TRUE(dialogs.informations.last().startsWith("修复完成! 已写入 \"" + QString::fromStdString(fixed) + "\"\n修复后: " +
                                                     mailText(after)))
      << dialogs.informations.last().toStdString();
  EXPECT_EQ(dialogs.errors.size(), 1);

  if (test::runShell("command -v readpst") != 0) GTEST_SKIP() << "readpst (pst-utils) is not installed";
  const std::string out = dir.file("readpst");
  std::filesystem::create_directories(out);
  std::string log;
  ASSERT_EQ(test::runShell("readpst -j 0 -D -M -o '" + out + "' '" + fixed + "'", &log), 0) << log;
  std::int64_t messages = 0;
  for (const auto& e : std::filesystem::recursive_directory_iterator(out)) messages += e.is_regular_file();
  EXPECT_EQ(messages, checkFile(test::enronPath()).messages);
  EXPECT_EQ(messages, after.messagesReadable);
}

}  // namespace
// The main flow: scan, tick the files, 恢复所选文件到文件夹: a summary before anything is
// written, the files and the report in one run, each file's outcome said, a warning for the
// one that is not whole.
TEST_F(Window, TickedFilesAreRecoveredIntoAFolderWithAReport) {
  rebuild::ImageBuilder image(3);
  image.noise(200);
  image.append(test::enronPst());
  image.noise(50);
  std::vector<std::byte> unknown(test::enronPst().begin(), test::enronPst().begin() + 512);
  unknown[pst::kHeaderVersionAt] = std::byte{99};  // a version no layout has
  pst::sealHeader(unknown);
  const std::int64_t unknownSector = image.append(unknown);
  image.noise(50);
  const std::vector<std::byte> synthetic = rebuild::makeSyntheticPst(4, 8);
  image.append(synthetic);
  image.noise(50);
  test::writeFile(dir.file("disk.img"), image.bytes());
  MainWindow& w = open();
  chooseImage(dir.file("disk.img"));
  EXPECT_TRUE(child<QLabel>("SourceSize")->text().contains(QString::number(image.bytes().size())));
  QSignalSpy scanned(&w, &MainWindow::scanFinished);
  w.Button1Click();
  ASSERT_TRUE(scanned.count() > 0 || scanned.wait(kWait));
  EXPECT_EQ(child<QTabWidget>("PageControl1")->currentIndex(), 2);  // the files come forward
  const QString summary = child<QLabel>("ScanSummary")->text();
  EXPECT_TRUE(summary.contains("拼出 2 个文件")) << summary.toStdString();
  EXPECT_TRUE(summary.contains(QString("另有 1 个未知版本的 PST 文件头, 第一个在扇区 %1 (版本 99)").arg(unknownSector)))
      << summary.toStdString();
  SortListView* files = list("FileList");
  ASSERT_EQ(files->rowCount(), 2);
  // Before anything is written, each row says what the file's own index says.
  const pst::CheckReport original = checkFile(test::enronPath());
  EXPECT_TRUE(files->row(0)->text(kFileMailbox).startsWith("Personal folders: ")) << files->row(0)->text(kFileMailbox).toStdString();
  EXPECT_EQ(files->row(0)->text(kFileMessages), QString::number(original.messages));
  EXPECT_EQ(files->row(0)->text(kFileState), "区间齐全");
  EXPECT_EQ(files->row(1)->text(kFileState), "已损坏");
  EXPECT_EQ(files->row(0)->text(kFileLayout), "Unicode PST");
  // The map: a click on the mailbox's first fragment selects its file in the list shown.
  auto* map = child<widgets::SourceMapView>("SourceMap");
  const QString first = files->row(0)->text(kFileFragments).split(',').first();
  std::int64_t sector = -1;
  for (int r = 0; r < list("BlockList")->rowCount(); ++r)
    if (list("BlockList")->row(r)->text(0) == first) sector = list("BlockList")->row(r)->text(1).section(" - ", 1).toLongLong();
  ASSERT_GE(sector, 0);
  QTest::mouseClick(map, Qt::LeftButton, {}, map->byteRect(sector * 512).center());
  ASSERT_EQ(files->selectedItems().size(), 1);
  EXPECT_EQ(files->selectedItems()[0]->text(0), "1");

  w.RecoverCheckedClick();  // nothing ticked yet
  EXPECT_EQ(dialogs.informations.last(), "请先勾选要恢复的文件!");
  for (int r = 0; r < 2; ++r) files->row(r)->setCheckState(0, Qt::Checked);
  const std::string out = dir.file("out");
  std::filesystem::create_directories(out);
  test::writeFile(out + "/report.xml", std::vector<std::byte>(3));
  // Declined: the summary named the files, the folder's free space and what would be
  // replaced, and nothing was written.
  dialogs.folderAnswers.push_back(QString::fromStdString(out));
  dialogs.questionAnswers.push_back(false);
  w.RecoverCheckedClick();
  ASSERT_FALSE(dialogs.questions.isEmpty());
  const QString question = dialogs.questions.last();
  for (const char* part : {"恢复 2 个文件", "file1.pst", "file2.pst", "可用空间", "将替换文件夹中已有的文件: report.xml"})
    EXPECT_TRUE(question.contains(QString::fromUtf8(part))) << part << "\n" << question.toStdString();
  EXPECT_FALSE(std::filesystem::exists(out + "/file1.pst"));

  QSignalSpy recovered(&w, &MainWindow::recoverFinished);
  dialogs.folderAnswers.push_back(QString::fromStdString(out));
  w.RecoverCheckedClick();
  ASSERT_TRUE(recovered.count() > 0 || recovered.wait(kWait));
  ASSERT_TRUE(dialogs.errors.isEmpty()) << dialogs.errors.join("\n").toStdString();
  for (const char* name : {"file1.pst", "file2.pst", "report.xml", "map.svg", "summary.txt"})
    EXPECT_TRUE(std::filesystem::exists(out + "/" + name)) << name;
  const pst::CheckReport enron = checkFile(out + "/file1.pst");
  EXPECT_TRUE(enron.sound());
  const std::string report = test::readText(out + "/report.xml");
  EXPECT_NE(report.find("<filename>file1.pst</filename>"), std::string::npos);
  EXPECT_NE(report.find("<filename>file2.pst</filename>"), std::string::npos);
  // The synthetic file holds no PST structure: the end message is a warning that names the
  // source and says so, and summary.txt holds the same.
  ASSERT_EQ(dialogs.warnings.size(), 1);
  const QString said = dialogs.warnings[0];
  EXPECT_TRUE(said.contains(QString::fromStdString(dir.file("disk.img")))) << said.toStdString();
  EXPECT_TRUE(said.contains("文件完好, " + mailText(enron))) << said.toStdString();
  EXPECT_TRUE(said.contains("其中没有PST结构")) << said.toStdString();
  EXPECT_NE(test::readText(out + "/summary.txt").find("其中没有PST结构"), std::string::npos);
  EXPECT_EQ(files->row(0)->text(5), QString("%1/%1").arg(enron.messages));

  // 恢复碎片 of fragments of both files: they share IDs 0-3, and the user hears it before
  // anything is asked or written.
  w.N12Click();
  dialogs.questionAnswers.push_back(false);
  const auto saves = dialogs.saveStarts.size();
  w.N7Click();
  EXPECT_TRUE(dialogs.questions.last().contains("ID 重复 (0-3)")) << dialogs.questions.last().toStdString();
  EXPECT_EQ(dialogs.saveStarts.size(), saves);
}

}  // namespace kestrix::app
