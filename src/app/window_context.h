#pragma once
// What every part of the main window works with: its widgets, the job runner, the dialogs,
// and the window as the parent of what they show.

#include <QString>

#include <string>

#include "app/user_dialogs.h"

class QWidget;

namespace kestrix::app {

class JobRunner;
class MainWindowLayout;

struct WindowContext {
  MainWindowLayout& ui;
  JobRunner& runner;
  UserDialogs& dialogs;
  QWidget* window;

  void error(const QString& text) const { dialogs.error(window, text); }
  void information(const QString& text) const { dialogs.information(window, text); }
  void warning(const QString& text) const { dialogs.warning(window, text); }
};

inline QString q(const std::string& s) { return QString::fromStdString(s); }
inline std::string s(const QString& q) { return q.toStdString(); }

}  // namespace kestrix::app
