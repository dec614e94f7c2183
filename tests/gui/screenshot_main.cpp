// Drives the main window as a user does and draws what it shows into PNGs:
//   kestrix_screenshot IMAGE OUT.png [TAB|about]
//     the window after a scan of IMAGE; TAB: the lower tab to show (0 to 3), or "about" for
//     the About box.
//   kestrix_screenshot IMAGE OUT.png flow FOLDER
//     the whole flow: scan, every file ticked, 恢复所选文件到文件夹 into FOLDER. OUT.png is
//     the window after the scan; OUT-ask.png the summary asked before writing; OUT-done.png the
//     window and OUT-end.png the message it ends with. Exits 1 unless the run wrote every file.
//   kestrix_screenshot IMAGE OUT.png flow FOLDER DAMAGED.pst REPAIRED.pst
//     the same, then DAMAGED.pst repaired into REPAIRED.pst on the 修复 tab (OUT-repair.png).
// The window's language is KESTRIX_LANG's (en or zh), else Chinese. The README's screenshots
// are made from the built-in example's disk.img this way.

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QMessageBox>
#include <QPixmap>
#include <QTabWidget>

#include <cstdio>
#include <filesystem>

#include "app/about_box.h"
#include "app/language.h"
#include "app/main_window.h"
#include "app/user_dialogs.h"
#include "sources/catalogue.h"
#include "widgets/sort_list_view.h"

namespace {

bool save(QWidget* widget, const QString& path) {
  QApplication::processEvents();
  if (widget->grab().save(path)) return true;
  std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
  return false;
}

// "out.png" -> "out-ask.png".
QString beside(const QString& png, const char* suffix) {
  QString path = png;
  return path.insert(path.lastIndexOf('.'), QString("-") + suffix);
}

// Answers the dialogs as a user who goes on would: the image (then the file to repair), the
// folder, the name to save to, yes. The question and the end message are drawn as the message
// boxes that show them, and printed.
class Answers final : public kestrix::app::UserDialogs {
 public:
  Answers(QString image, QString folder, QString png) : m_image(std::move(image)), m_folder(std::move(folder)), m_png(std::move(png)) {}
  void repair(const QString& in, const QString& out) {
    m_image = in;
    m_save = out;
  }
  QString openFile(QWidget*, const QString&) override { return m_image; }
  QStringList openFiles(QWidget*, const QString&) override { return {}; }
  QString saveFile(QWidget*, const QString&, const QString&) override { return m_save; }
  QString chooseFolder(QWidget*, const QString&) override { return m_folder; }
  void error(QWidget* parent, const QString& text) override { show(parent, QMessageBox::Critical, text, "end"); }
  void information(QWidget* parent, const QString& text) override { show(parent, QMessageBox::Information, text, "end"); }
  void warning(QWidget* parent, const QString& text) override { show(parent, QMessageBox::Warning, text, "end"); }
  bool question(QWidget* parent, const QString& text) override {
    show(parent, QMessageBox::Question, text, "ask");
    return true;
  }

 private:
  void show(QWidget* parent, QMessageBox::Icon icon, const QString& text, const char* suffix) {
    std::fprintf(stderr, "%s\n", qPrintable(text));
    if (m_folder.isEmpty()) return;
    QMessageBox box(icon, QApplication::applicationDisplayName(), text,
                    icon == QMessageBox::Question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, parent);
    box.show();
    save(&box, beside(m_png, suffix));
  }

  QString m_image, m_folder, m_png, m_save;
};

// Runs a job of the window to its end.
template <typename Signal>
void waitFor(kestrix::app::MainWindow& window, Signal signal, void (kestrix::app::MainWindow::*start)()) {
  QEventLoop loop;
  QObject::connect(&window, signal, &loop, &QEventLoop::quit);
  (window.*start)();
  if (window.running()) loop.exec();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  kestrix::app::useLanguage(kestrix::app::parseLanguage(qEnvironmentVariable("KESTRIX_LANG"))
                                .value_or(kestrix::app::Language::Chinese));
  const QString mode = argc >= 4 ? QString::fromLocal8Bit(argv[3]) : QString();
  const bool flow = mode == "flow";
  if (argc < 3 || argc > 7 || argc == 6 || flow != (argc >= 5)) {
    std::fprintf(stderr, "usage: kestrix_screenshot IMAGE OUT.png [TAB|about|flow FOLDER [DAMAGED.pst REPAIRED.pst]]\n");
    return 2;
  }
  const QString png = QString::fromLocal8Bit(argv[2]);
  const QString folder = flow ? QString::fromLocal8Bit(argv[4]) : QString();
  Answers answers(QString::fromLocal8Bit(argv[1]), folder, png);
  kestrix::app::WindowOptions options;
  options.dialogs = &answers;
  options.exeDir = QDir::tempPath().toStdString();
  kestrix::app::MainWindow window(options);
  window.show();
  window.SourceItemClick({kestrix::sources::EntryKind::Image, "Openimage", "打开磁盘镜像", 19, ""});
  waitFor(window, &kestrix::app::MainWindow::scanFinished, &kestrix::app::MainWindow::Button1Click);
  auto* blocks = window.findChild<kestrix::widgets::SortListView*>("BlockList");
  if (blocks && blocks->rowCount() > 0) blocks->setCurrentItem(blocks->row(0));

  if (flow) {
    auto* files = window.findChild<kestrix::widgets::SortListView*>("FileList");
    for (int r = 0; r < files->rowCount(); ++r) files->row(r)->setCheckState(0, Qt::Checked);
    if (!save(&window, png)) return 1;
    waitFor(window, &kestrix::app::MainWindow::recoverFinished, &kestrix::app::MainWindow::RecoverCheckedClick);
    if (!save(&window, beside(png, "done"))) return 1;
    for (int r = 0; r < files->rowCount(); ++r)
      if (!std::filesystem::exists(std::filesystem::path(argv[4]) / files->row(r)->text(1).toStdString())) {
        std::fprintf(stderr, "%s was not written\n", qPrintable(files->row(r)->text(1)));
        return 1;
      }
    if (files->rowCount() == 0) return 1;
    if (argc == 7) {
      answers.repair(QString::fromLocal8Bit(argv[5]), QString::fromLocal8Bit(argv[6]));
      window.findChild<QTabWidget*>("PageControl2")->setCurrentIndex(2);
      waitFor(window, &kestrix::app::MainWindow::repairFinished, &kestrix::app::MainWindow::Button7Click);
      if (!save(&window, beside(png, "repair"))) return 1;
      if (!std::filesystem::exists(argv[6])) {
        std::fprintf(stderr, "%s was not written\n", argv[6]);
        return 1;
      }
    }
    return 0;
  }
  QWidget* shown = &window;
  if (mode == "about") {
    shown = window.aboutBox();
    shown->show();
  } else if (!mode.isEmpty()) {
    window.findChild<QTabWidget*>("PageControl2")->setCurrentIndex(mode.toInt());
  }
  return save(shown, png) ? 0 : 1;
}
