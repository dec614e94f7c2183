// kestrix: the window. Takes no arguments beyond Qt's own.

#include <QApplication>

#include "app/app_info.h"
#include "app/main_window.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("kestrix");
  QGuiApplication::setApplicationDisplayName(kestrix::app::kApplicationTitle);
  kestrix::app::MainWindow window;
  window.show();
  return QApplication::exec();
}
