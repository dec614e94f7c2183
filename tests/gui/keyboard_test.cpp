// The window from the keyboard (a typed source path, the menus' keys, the source menu, Space in
// a list with boxes), the fragment list explained, no scan without a source, and columns that
// show at the first size.

#include <QAction>
#include <QApplication>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolTip>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <tuple>

#include "app/main_window.h"
#include "app/window_texts.h"
#include "gui_support.h"
#include "sources/fake_catalogue.h"
#include "support/test_support.h"
#include "widgets/sort_list_view.h"

namespace kestrix::app {
namespace {

using widgets::SortListView;

class Keyboard : public test::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    open();
  }
  // Shown and active: keys reach shortcuts only in the active window.
  void activate() {
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  }
  std::string image(const char* name, std::size_t bytes) {
    test::writeFile(dir.file(name), std::vector<std::byte>(bytes));
    return dir.file(name);
  }
  void type(QLineEdit* box, const std::string& text) {
    box->selectAll();
    QTest::keyClicks(box, QString::fromStdString(text));
    QTest::keyClick(box, Qt::Key_Return);
  }
  // The actions of the popup menu that `key` opens on `target`, closing it again.
  QStringList popupFrom(QWidget* target, Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
    QStringList shown;
    QTimer::singleShot(0, [&shown] {  // runs inside the menu's own loop
      if (QWidget* popup = QApplication::activePopupWidget()) {
        shown << popup->objectName();
        for (QAction* a : popup->actions()) shown << (a->isSeparator() ? "-" : a->text());
        popup->close();
      }
    });
    QTest::keyClick(target, key, modifiers);
    return shown;
  }
};

TEST_F(Keyboard, TypedPathIsTakenAsTheSourceAndABadOneIsNamed) {
  MainWindow& w = *window;
  auto* box = child<QLineEdit>("Source");
  ASSERT_FALSE(box->isReadOnly());
  // With no source chosen a scan says so, not that a file "" cannot be opened.
  w.Button1Click();
  ASSERT_EQ(dialogs.errors.size(), 1);
  EXPECT_TRUE(dialogs.errors[0].startsWith("请先选择数据源")) << dialogs.errors[0].toStdString();
  EXPECT_FALSE(w.busy());

  const std::string good = image("typed.img", 4096);
  type(box, good);
  EXPECT_EQ(w.SourcePath(), good);
  EXPECT_EQ(w.SourceSize(), 4096);
  EXPECT_EQ(dialogs.errors.size(), 1);

  const std::string missing = dir.file("no such.img");
  type(box, missing);
  ASSERT_EQ(dialogs.errors.size(), 2);
  EXPECT_EQ(dialogs.errors[1], QString::fromStdString("无法打开文件 \"" + missing + "\"：文件或文件夹不存在"));
  EXPECT_EQ(w.SourceSize(), 0);
  type(box, missing);  // the same text again is no new choice, and no second message
  EXPECT_EQ(dialogs.errors.size(), 2);

  // An emptied box chooses nothing and shows the source again; leaving the box after
  // changing its text takes the text as Enter does.
  box->clear();
  QTest::keyClick(box, Qt::Key_Return);
  EXPECT_EQ(box->text(), QString::fromStdString(missing));
  activate();
  box->setFocus();
  box->selectAll();
  QTest::keyClicks(box, QString::fromStdString(image("left.img", 8192)));
  child<QWidget>("Browse")->setFocus();
  EXPECT_EQ(w.SourceSize(), 8192);
  EXPECT_EQ(dialogs.errors.size(), 2);
}

TEST_F(Keyboard, KeysReachTheirActions) {
  MainWindow& w = *window;
  catalogue->addDisk(0, 1 << 20);
  activate();
  // Ctrl+O: an image through the open dialog; F1: the manual (missing here, which is said).
  dialogs.openAnswers.push_back(QString::fromStdString(image("opened.img", 4096)));
  QTest::keyClick(&w, Qt::Key_O, Qt::ControlModifier);
  EXPECT_EQ(w.SourceSize(), 4096);
  EXPECT_TRUE(dialogs.errors.isEmpty());
  w.BeginBusy();  // not while the window is busy, as 浏览
  EXPECT_FALSE(child<QAction>("OpenImage")->isEnabled());
  w.EndBusy();
  QTest::keyClick(&w, Qt::Key_F1);
  ASSERT_EQ(dialogs.errors.size(), 1);
  EXPECT_TRUE(dialogs.errors[0].contains("help.html")) << dialogs.errors[0].toStdString();
  EXPECT_EQ(child<QMenu>("N2")->title(), "文件(&F)");  // Alt+F

  // Shift+F10 and the Menu key open the source menu, built as for a right click (last: the
  // test platform leaves the closed menu the active window).
  auto* box = child<QLineEdit>("Source");
  box->setFocus();
  const QStringList expected{"pop", "打开磁盘镜像", "-", "HD0, Fixed Drive, [1 MB]"};
  EXPECT_EQ(popupFrom(box, Qt::Key_F10, Qt::ShiftModifier), expected);
  EXPECT_EQ(popupFrom(box, Qt::Key_Menu), expected);

  // Space ticks and unticks the current row, whichever of its cells has the focus.
  auto* blocks = child<SortListView>("BlockList");
  blocks->addRow({"1", "0 - 2048", "1 - 3040", "2", "0"});
  blocks->addRow({"2", "5 - 9000", "5 - 9496", "1", "0"});
  blocks->setCurrentIndex(blocks->model()->index(1, 2));
  QTest::keyClick(blocks, Qt::Key_Space);
  EXPECT_EQ(blocks->row(1)->checkState(0), Qt::Checked);
  EXPECT_EQ(blocks->row(0)->checkState(0), Qt::Unchecked);
  QTest::keyClick(blocks, Qt::Key_Space);
  EXPECT_EQ(blocks->row(1)->checkState(0), Qt::Unchecked);
}

TEST_F(Keyboard, FragmentCellsHeadersAndTheStatusLineSayWhatTheNumbersAre) {
  auto* blocks = child<SortListView>("BlockList");
  for (int c = 0; c < 5; ++c) EXPECT_FALSE(blocks->headerItem()->toolTip(c).isEmpty()) << c;
  QTreeWidgetItem* start = blocks->addRow({"1", "0 - 2048", "3 - 4032", "4", "4 <1.01 MB>"});
  QTreeWidgetItem* inner = blocks->addRow({"2", "36 - 9000", "36 - 9496", "1", "0"});
  const QString bytes = QLocale().toString(qlonglong(2048) * 512);

  const QString tip = blocks->cellToolTip(start, 1);
  EXPECT_TRUE(tip.contains("映射页 ID 0") && tip.contains("扇区 2048") && tip.contains(bytes + " 字节") &&
              tip.contains("1.00 MiB"))
      << tip.toStdString();
  EXPECT_TRUE(blocks->cellToolTip(start, 3).contains("(" + QLocale().toString(992.0, 'f', 2) + " KiB)"));
  EXPECT_TRUE(blocks->cellToolTip(start, 4).contains("4 个区间"));
  EXPECT_TRUE(blocks->cellToolTip(inner, 4).contains("不是文件的开头"));
  // Asked for by the view where the pointer rests, not stored in the row.
  EXPECT_TRUE(inner->toolTip(1).isEmpty());
  window->show();
  const QRect cell = blocks->visualItemRect(inner);
  const QPoint at(blocks->header()->sectionViewportPosition(1) + 5, cell.center().y());
  QHelpEvent help(QEvent::ToolTip, at, blocks->viewport()->mapToGlobal(at));
  QApplication::sendEvent(blocks->viewport(), &help);
  EXPECT_EQ(QToolTip::text(), blocks->cellToolTip(inner, 1));

  // The status line: where the current fragment starts and ends, in bytes and MiB.
  blocks->setCurrentItem(start);
  const QString place = child<QLabel>("sbPanel2")->text();
  EXPECT_TRUE(place.contains(bytes + " 字节 (1.00 MiB)") &&
              place.contains(QLocale().toString(qlonglong(4032) * 512) + " 字节 (1.97 MiB)"))
      << place.toStdString();
  EXPECT_EQ(window->statusPanelText(1), "碎片数量: ");  // the other panels stay
  blocks->clear();
  EXPECT_TRUE(child<QLabel>("sbPanel2")->text().isEmpty());

  // Sizes in messages: binary units named as such, rounded (the list cells keep theirs).
  EXPECT_EQ(WindowTexts::byteSize(0), "0 B");
  EXPECT_EQ(WindowTexts::byteSize(1535), QLocale().toString(1.5, 'f', 2) + " KiB");  // 1.499..: rounded up
  EXPECT_EQ(WindowTexts::byteSize(1048575), QLocale().toString(1.0, 'f', 2) + " MiB");
  EXPECT_EQ(WindowTexts::byteSize(std::int64_t(3) << 40), QLocale().toString(3.0, 'f', 2) + " TiB");
}

TEST_F(Keyboard, FirstSizeShowsEveryColumnAndTheLongColumnsStretch) {
  MainWindow& w = *window;
  w.show();
  QApplication::processEvents();
  EXPECT_LE(w.frameGeometry().width(), 1366);
  EXPECT_LE(w.frameGeometry().height(), 768);
  auto* results = child<QTabWidget>("PageControl1");
  auto* steps = child<QTabWidget>("PageControl2");
  results->setTabVisible(2, true);  // 文件, as after a scan
  // Each list on its tab, as the user sees it.
  for (const auto& [name, tabs, tab] : {std::tuple{"BlockList", results, 1}, std::tuple{"FileList", results, 2},
                                        std::tuple{"RecoverFileList", steps, 1}, std::tuple{"ManView", steps, 3}}) {
    tabs->setCurrentIndex(tab);
    QApplication::processEvents();
    const auto* list = child<SortListView>(name);
    const QHeaderView* header = list->header();
    EXPECT_LE(header->length(), list->viewport()->width()) << name;
    for (int c = 0; c < header->count(); ++c) {
      if (header->isSectionHidden(c)) continue;
      EXPECT_GE(header->sectionSize(c), list->fontMetrics().horizontalAdvance(list->headerItem()->text(c)))
          << name << " " << c;
    }
  }
  // The lists' long columns take what the window grows by.
  results->setCurrentIndex(1);
  auto* blocks = child<SortListView>("BlockList");
  const int startWidth = blocks->header()->sectionSize(1);
  w.resize(w.width() + 500, w.height());  // the lists get three fifths, the map the rest
  QApplication::processEvents();
  EXPECT_GE(blocks->header()->sectionSize(1), startWidth + 90);
}

}  // namespace
}  // namespace kestrix::app
