// Draws the main window after a scan of an image into a PNG:
//   kestrix_screenshot IMAGE OUT.png [TAB]
// TAB: the lower tab to show (0 to 3), or "about" for the About box. The window's language is
// KESTRIX_LANG's (en or zh; docs/screenshot-en.png with KESTRIX_LANG=en), else Chinese.
// (docs/screenshot.png is made from the built-in example's disk.img this way).

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QPixmap>
#include <QTabWidget>

#include <cstdio>

#include "app/about_box.h"
#include "app/language.h"
#include "app/main_window.h"
#include "app/user_dialogs.h"
#include "sources/catalogue.h"
#include "widgets/sort_list_view.h"

namespace {

// Answers the image dialog with the given path; shows messages on stderr.
class Answers final : public kestrix::app::UserDialogs {
 public:
  explicit Answers(QString image) : m_image(std::move(image)) {}
  QString openFile(QWidget*, const QString&) override { return m_image; }
  QStringList openFiles(QWidget*, const QString&) override { return {}; }
  QString saveFile(QWidget*, const QString&, const QString&) override { return {}; }
  QString chooseFolder(QWidget*, const QString&) override { return {}; }
  void error(QWidget*, const QString& text) override { std::fprintf(stderr, "%s\n", qPrintable(text)); }
  void warning(QWidget*, const QString& text) override { std::fprintf(stderr, "%s\n", qPrintable(text)); }
  void information(QWidget*, const QString& text) override { std::fprintf(stderr, "%s\n", qPrintable(text)); }
  bool question(QWidget*, const QString&) override { return true; }

 private:
  QString m_image;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  kestrix::app::useLanguage(kestrix::app::parseLanguage(qEnvironmentVariable("KESTRIX_LANG"))
                                .value_or(kestrix::app::Language::Chinese));
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: kestrix_screenshot IMAGE OUT.png [TAB|about]\n");
    return 2;
  }
  Answers answers(QString::fromLocal8Bit(argv[1]));
  kestrix::app::WindowOptions options;
  options.dialogs = &answers;
  options.exeDir = QDir::tempPath().toStdString();
  kestrix::app::MainWindow window(options);
  window.show();
  window.SourceItemClick({kestrix::sources::EntryKind::Image, "Openimage", "打开磁盘镜像", 19, ""});
  QEventLoop loop;
  QObject::connect(&window, &kestrix::app::MainWindow::scanFinished, &loop, &QEventLoop::quit);
  window.Button1Click();
  if (window.running()) loop.exec();
  auto* blocks = window.findChild<kestrix::widgets::SortListView*>("BlockList");
  if (blocks && blocks->rowCount() > 0) blocks->setCurrentItem(blocks->row(0));
  const QString tab = argc == 4 ? QString::fromLocal8Bit(argv[3]) : QString();
  QWidget* shown = &window;
  if (tab == "about") {
    shown = window.aboutBox();
    shown->show();
  } else if (!tab.isEmpty()) {
    window.findChild<QTabWidget*>("PageControl2")->setCurrentIndex(tab.toInt());
  }
  QApplication::processEvents();
  if (!shown->grab().save(QString::fromLocal8Bit(argv[2]))) {
    std::fprintf(stderr, "cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
