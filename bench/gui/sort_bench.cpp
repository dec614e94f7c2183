// How long a header click takes to sort the window's fragment list, with the window shown
// (offscreen) so that the time includes the list's relayout and repaint.
//   QT_QPA_PLATFORM=offscreen kestrix_sort_bench [ROWS]   (default 100000)
// Prints one line per click: the column, the direction and the milliseconds.

#include <QApplication>
#include <QDir>
#include <QHeaderView>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "app/main_window.h"
#include "app/user_dialogs.h"
#include "sources/catalogue.h"
#include "widgets/sort_list_view.h"

namespace {

class Silent final : public kestrix::app::UserDialogs {
 public:
  QString openFile(QWidget*, const QString&) override { return {}; }
  QStringList openFiles(QWidget*, const QString&) override { return {}; }
  QString saveFile(QWidget*, const QString&, const QString&) override { return {}; }
  QString chooseFolder(QWidget*, const QString&) override { return {}; }
  void error(QWidget*, const QString& text) override { std::fprintf(stderr, "%s\n", qPrintable(text)); }
  void warning(QWidget*, const QString& text) override { std::fprintf(stderr, "%s\n", qPrintable(text)); }
  void information(QWidget*, const QString&) override {}
  bool question(QWidget*, const QString&) override { return true; }
};

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const int rows = argc > 1 ? std::atoi(argv[1]) : 100000;
  Silent dialogs;
  kestrix::app::WindowOptions options;
  options.dialogs = &dialogs;
  options.exeDir = QDir::tempPath().toStdString();
  kestrix::app::MainWindow window(options);
  window.show();
  auto* blocks = window.findChild<kestrix::widgets::SortListView*>("BlockList");

  // Rows as a scan of a large disk gives them: IDs and sectors in no particular order.
  std::mt19937_64 random(42);
  const auto fillStart = std::chrono::steady_clock::now();
  blocks->setUpdatesEnabled(false);
  for (int i = 0; i < rows; ++i) {
    const std::int64_t a = std::int64_t(random() % 60000), n = 1 + std::int64_t(random() % 500);
    const std::int64_t sector = std::int64_t(random() % 4000000000LL);
    blocks->addRow({QString::number(i + 1), QString("%1 - %2").arg(a).arg(sector),
                    QString("%1 - %2").arg(a + n - 1).arg(sector + n * 496), QString::number(n),
                    a == 0 ? QString("%1 <%2 MB>").arg(n).arg(n / 4) : QString("0")});
  }
  blocks->setUpdatesEnabled(true);
  QApplication::processEvents();
  const double fillMs =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - fillStart).count();
  std::printf("rows %d, filled in %.0f ms\n", rows, fillMs);

  double worst = 0;
  for (int column : {1, 1, 2, 3, 4, 0}) {
    const auto t0 = std::chrono::steady_clock::now();
    emit blocks->header()->sectionClicked(column);
    QApplication::processEvents();
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    worst = std::max(worst, ms);
    std::printf("column %d %-10s %7.1f ms\n", column, blocks->ascending() ? "ascending" : "descending", ms);
  }
  std::printf("slowest click %.1f ms\n", worst);
  return 0;
}
