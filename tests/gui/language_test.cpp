// One language at a time: the window in Chinese (its source texts) and in English (the built-in
// translation), the engine's messages in both, and the manual in the window's own viewer.

#include <QAbstractButton>
#include <QAction>
#include <QCoreApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "app/about_box.h"
#include "app/disk_access.h"
#include "app/help_viewer.h"
#include "app/language.h"
#include "app/main_window.h"
#include "app/messages.h"
#include "app/remaining_time.h"
#include "build_info.h"
#include "gui_support.h"
#include "recover/sample_image.h"
#include "io/errors.h"
#include "format/map_page.h"
#include "sources/fake_catalogue.h"
#include "support/test_support.h"

namespace kestrix::app {
namespace {

bool hasCjk(const QString& text) { return text.contains(QRegularExpression("[\\x{3000}-\\x{9fff}\\x{ff00}-\\x{ffef}]")); }

// Every text a user sees on the About box: its caption, labels and buttons.
QStringList aboutTexts(const AboutBox& box) {
  QStringList texts{box.windowTitle()};
  for (const auto* label : box.findChildren<QLabel*>()) texts << label->text();
  for (const auto* button : box.findChildren<QAbstractButton*>()) texts << button->text();
  return texts;
}

// A menu caption without its access key: "帮助(&H)" -> "帮助", "&Help" -> "Help".
QString caption(QString text) { return text.remove(QRegularExpression("\\(&.\\)")).remove('&'); }

// Every text the window and its children can show: captions, labels, buttons, boxes and their
// placeholders, tips, tabs, list headers, menus and their items, the gauge.
QStringList windowTexts(const QWidget& window) {
  QStringList texts{window.windowTitle()};
  for (const QWidget* w : window.findChildren<QWidget*>()) {
    texts << w->windowTitle() << w->toolTip();
    if (const auto* b = qobject_cast<const QAbstractButton*>(w)) texts << b->text();
    if (const auto* l = qobject_cast<const QLabel*>(w)) texts << l->text();
    if (const auto* e = qobject_cast<const QLineEdit*>(w)) texts << e->text() << e->placeholderText();
    if (const auto* m = qobject_cast<const QMenu*>(w)) texts << caption(m->title());
    if (const auto* g = qobject_cast<const QProgressBar*>(w)) texts << g->text();
    if (const auto* t = qobject_cast<const QTabWidget*>(w))
      for (int i = 0; i < t->count(); ++i) texts << t->tabText(i);
    if (const auto* list = qobject_cast<const QTreeWidget*>(w))
      for (int row = 0; row < list->topLevelItemCount(); ++row)
        for (int column = 0; column < list->columnCount(); ++column) texts << list->topLevelItem(row)->text(column);
    if (const auto* h = qobject_cast<const QHeaderView*>(w); h && h->model())
      for (int i = 0; i < h->count(); ++i) texts << h->model()->headerData(i, h->orientation()).toString();
  }
  for (const QAction* a : window.findChildren<QAction*>()) texts << caption(a->text()) << a->toolTip();
  texts.removeAll(QString());
  return texts;
}

class WindowLanguage : public test::WindowTest {
 protected:
  void TearDown() override {
    WindowTest::TearDown();
    useLanguage(Language::Chinese);
  }
  MainWindow& open(Language language) {
    EXPECT_TRUE(useLanguage(language));
    return WindowTest::open();
  }
};

TEST_F(WindowLanguage, ChosenFromTheOptionOrTheSystem) {
  EXPECT_EQ(parseLanguage("en"), Language::English);
  EXPECT_EQ(parseLanguage("zh_CN"), Language::Chinese);
  EXPECT_EQ(parseLanguage("EN-us"), Language::English);
  EXPECT_FALSE(parseLanguage("english").has_value());
  EXPECT_FALSE(parseLanguage("").has_value());
  EXPECT_EQ(chooseLanguage("", QLocale(QLocale::English, QLocale::UnitedKingdom)), Language::English);
  EXPECT_EQ(chooseLanguage("", QLocale(QLocale::German)), Language::Chinese);  // Chinese is the default
  EXPECT_EQ(chooseLanguage("zh", QLocale(QLocale::English)), Language::Chinese);
}

TEST_F(WindowLanguage, EnglishAndChineseTextsWithoutTheOther) {
  const QString caption = QString("Kestrix ") + KESTRIX_VERSION;
  {
    // An image with an older copy of some of the file's data: the file list marks the file
    // as one that may mix two versions.
    const auto pst = rebuild::makeSyntheticPst(6, 1);
    rebuild::ImageBuilder image(5);
    image.appendIntervals(rebuild::makeSyntheticPst(6, 2), 3, 3);
    image.noise(100);
    image.append(std::span(pst).first(std::size_t(scan::kFirstMapPageOffset)));
    image.appendIntervals(pst, 0, 3);
    image.noise(100);
    image.appendIntervals(pst, 3, 3);
    test::writeFile(dir.file("disk.img"), image.take());
    catalogue->refuseDisk(0);  // the source menu then says why no disk is listed
    MainWindow& w = open(Language::English);
    w.SourceMouseDown(Qt::RightButton);
    dialogs.openAnswers.push_back(QString::fromStdString(dir.file("disk.img")));
    QSignalSpy scanned(&w, &MainWindow::scanFinished);
    w.BrowseClick();
    w.Button1Click();
    ASSERT_TRUE(scanned.count() > 0 || scanned.wait(120000));
    EXPECT_EQ(w.windowTitle(), caption);
    EXPECT_EQ(w.statusPanelText(0), "Time remaining: ");
    const QStringList shown = windowTexts(w);
    for (const QString& text : shown) EXPECT_FALSE(hasCjk(text)) << text.toStdString();
    for (const char* text : {"Scan", "Rebuild", "Repair PST file", "Help", "About Kestrix", "Recover file", "Open disk image",
#ifdef _WIN32
                             "Disks need administrator rights",
#else
                             "Disks need root or disk group rights",
#endif
                             "Fragment size", "4. Manual",
                             "Scan complete 100%", "Fragments: 3", "0 two versions"})
      EXPECT_TRUE(shown.contains(text)) << text;
    const QStringList texts = aboutTexts(*w.aboutBox());
    EXPECT_TRUE(texts.contains("OK")) << texts.join('|').toStdString();
    EXPECT_TRUE(texts.contains(QString("Version ") + KESTRIX_VERSION)) << texts.join('|').toStdString();
    for (const QString& text : texts) EXPECT_FALSE(hasCjk(text)) << text.toStdString();
    EXPECT_EQ(remainingTimeText(125), "Time remaining: 2:05");
  }
  {
    MainWindow& w = open(Language::Chinese);
    EXPECT_EQ(w.windowTitle(), caption);
    EXPECT_EQ(w.statusPanelText(0), "剩余时间: ");
    const QStringList shown = windowTexts(w);
    for (const char* text : {"恢复", "停止", "重组", "修复PST文件", "帮助", "恢复文件", "碎片大小", "4. 手工"})
      EXPECT_TRUE(shown.contains(QString::fromUtf8(text))) << text;
    const QStringList texts = aboutTexts(*w.aboutBox());
    EXPECT_TRUE(texts.contains("确定")) << texts.join('|').toStdString();
    EXPECT_TRUE(texts.contains(QString("版本 ") + KESTRIX_VERSION));
  }
}

TEST_F(WindowLanguage, EngineMessagesInBothLanguagesAndUnchangedForTheCommandLine) {
  const SourceOpenError missing("/images/a.img", ENOENT);
  const Error full(Message{Message::Code::NoRoom, {"/out/x.pst", "3.06 MB", "1.00 MB"}});
  const Error truncated(Message{Message::Code::CannotRead, {"/images/a.img", "4096"}, 0});
  // The command line's words stay as they were; the reasons are the system's own.
#ifdef _WIN32
  const std::string notFound = "File not found", denial = "Access denied";
#else
  const std::string notFound = "No such file or directory", denial = "Permission denied";
#endif
  EXPECT_EQ(missing.what(), "Cannot open file \"/images/a.img\". " + notFound);
  EXPECT_STREQ(full.what(), "Cannot write file \"/out/x.pst\". It needs 3.06 MB of disk space but only 1.00 MB is free there");
  EXPECT_STREQ(truncated.what(), "Cannot read file \"/images/a.img\" at byte 4096. the data ends early (truncated)");
  // What the libraries throw is worded too, naming the path being worked on and the reason.
  const std::filesystem::filesystem_error denied("cannot create directories", std::filesystem::path("/out/x"),
                                                 std::make_error_code(std::errc::permission_denied));
  EXPECT_EQ(englishText(messageOf(std::bad_alloc(), "/images/a.img")),
            "There is not enough memory to finish with \"/images/a.img\"");
  EXPECT_EQ(englishText(messageOf(denied, "/images/a.img")), "Cannot access \"/out/x\". " + denial);

  useLanguage(Language::Chinese);
  EXPECT_EQ(errorText(missing), "无法打开文件 \"/images/a.img\"：文件或文件夹不存在");
  EXPECT_EQ(errorText(full), "无法写入文件 \"/out/x.pst\"：需要 3.06 MB 磁盘空间，但那里只有 1.00 MB 可用。");
  EXPECT_EQ(errorText(std::runtime_error("plain")), "plain");  // no code: the text as it is
  EXPECT_EQ(errorText(std::bad_alloc(), "/images/a.img"), "内存不足，无法处理 \"/images/a.img\"。");
  EXPECT_EQ(errorText(denied), "无法访问 \"/out/x\"：没有权限");
  // Qt's own texts follow: the standard buttons of the message boxes (Debian qt6-translations-l10n).
  EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), "取消");

  useLanguage(Language::English);
  EXPECT_EQ(errorText(missing), "Cannot open file \"/images/a.img\": no such file or folder");
  EXPECT_EQ(errorText(full), "Cannot write file \"/out/x.pst\": it needs 3.06 MB of disk space, but only 1.00 MB is free there.");
  // Every code, and a refused disk with its advice, reads in English alone.
  for (int code = int(Message::Code::CannotOpen); code <= int(Message::Code::Failed); ++code)
    for (int err : {0, EACCES, EIO, ENOSPC}) {
      const QString text = messageText(Message{Message::Code(code), {"/p", "chardev", "9"}, err});
      EXPECT_FALSE(hasCjk(text)) << text.toStdString();
      EXPECT_TRUE(text.contains("/p")) << text.toStdString();
    }
  const QString refused = sourceErrorText(SourceOpenError("\\\\.\\PhysicalDrive9", EACCES));
  EXPECT_TRUE(refused.startsWith("Cannot open file \"\\\\.\\PhysicalDrive9\": permission denied")) << refused.toStdString();
  EXPECT_TRUE(refused.contains('\n')) << refused.toStdString();  // the advice follows
  EXPECT_FALSE(hasCjk(refused)) << refused.toStdString();
}

TEST_F(WindowLanguage, HelpOpensTheManualInTheWindowsViewerOrSaysItIsMissing) {
  MainWindow& w = open(Language::English);
  // The Chinese manual beside the program is not the English window's: its own is missing,
  // which is said, not silent.
  std::ofstream(dir.file("help.html")) << "<html><body><h1>使用说明</h1></body></html>";
  w.N5Click();
  ASSERT_EQ(dialogs.errors.size(), 1);
  EXPECT_TRUE(dialogs.errors[0].contains(QString::fromStdString(dir.file("help-en.html")))) << dialogs.errors[0].toStdString();
  EXPECT_FALSE(hasCjk(dialogs.errors[0]));

  std::ofstream(dir.file("help-en.html")) << "<html><body><h1>Kestrix manual</h1></body></html>";
  w.N5Click();
  auto* viewer = w.findChild<HelpViewer*>("HelpViewer");
  ASSERT_NE(viewer, nullptr);
  EXPECT_TRUE(viewer->isVisible());
  EXPECT_TRUE(viewer->browser()->toPlainText().contains("Kestrix manual"));
  EXPECT_EQ(dialogs.errors.size(), 1);
  w.N5Click();  // again: the same viewer, raised
  EXPECT_EQ(w.findChildren<HelpViewer*>().size(), 1);
}

}  // namespace
}  // namespace kestrix::app
