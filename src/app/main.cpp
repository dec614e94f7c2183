// kestrix: the window. Takes --lang en|zh (also $KESTRIX_LANG; else the system's language decides)
// beyond Qt's own options; --help and --version answer on the terminal without opening a window,
// also where there is no display.

#include <QApplication>
#include <QCommandLineParser>
#include <QLocale>

#include <memory>
#include <string_view>

#include "app/app_info.h"
#include "app/language.h"
#include "app/main_window.h"

namespace {

bool onlyAnswers(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help" || arg == "--help-all" || arg == "-v" || arg == "--version") return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  // QApplication needs a display; the answers do not.
  std::unique_ptr<QCoreApplication> app;
  if (onlyAnswers(argc, argv))
    app = std::make_unique<QCoreApplication>(argc, argv);
  else
    app = std::make_unique<QApplication>(argc, argv);
  QCoreApplication::setApplicationName("kestrix");
  QCoreApplication::setApplicationVersion(kestrix::kVersion);

  QCommandLineParser parser;
  parser.setApplicationDescription(
      "The Kestrix window (Chinese or English interface): finds PST files on disks, volumes and images, and rebuilds\n"
      "them from fragments. Reading disks and partitions needs root rights or the disk group: start it\n"
      "from the desktop menu's \"Run as administrator\" action. kestrix-cli does the same on the command line.");
  parser.addHelpOption();
  parser.addVersionOption();
  const QCommandLineOption lang("lang", "The window's language: en (English) or zh (Chinese). Default: $KESTRIX_LANG, "
                                        "else English on an English system and Chinese on any other.", "en|zh");
  parser.addOption(lang);
  parser.process(*app);  // answers --help and --version, refuses unknown options
  const QString asked = parser.isSet(lang) ? parser.value(lang) : qEnvironmentVariable("KESTRIX_LANG");
  if (parser.isSet(lang) && !kestrix::app::parseLanguage(asked)) {
    qCritical("kestrix: --lang takes en or zh, not \"%s\"", qPrintable(asked));
    return 2;
  }
  if (!kestrix::app::useLanguage(kestrix::app::chooseLanguage(asked, QLocale::system())))
    qWarning("kestrix: the English texts could not be loaded; the window stays in Chinese");

  QGuiApplication::setApplicationDisplayName(kestrix::app::kApplicationTitle);
  kestrix::app::MainWindow window;
  window.show();
  return QApplication::exec();
}
