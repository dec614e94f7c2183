#pragma once
// Every question the window asks the user and every message it shows, in one place: the
// program uses the standard file dialogs and message boxes; the tests answer in their stead.

#include <QString>
#include <QStringList>

class QWidget;

namespace kestrix::app {

// Paths given back are in the system's own form (C:\folder\file on Windows), as the user
// reads them in the window's texts.
class UserDialogs {
 public:
  virtual ~UserDialogs() = default;
  // The open dialog od: one existing file; "" when cancelled. filter: "" for none.
  virtual QString openFile(QWidget* parent, const QString& filter) = 0;
  // The open dialog odr: several existing files; empty when cancelled.
  virtual QStringList openFiles(QWidget* parent, const QString& filter) = 0;
  // A save dialog starting at `start` (a path or a file name); "" when cancelled.
  virtual QString saveFile(QWidget* parent, const QString& filter, const QString& start) = 0;
  // A folder to write into, starting at `start`; "" when cancelled.
  virtual QString chooseFolder(QWidget* parent, const QString& start) = 0;
  virtual void error(QWidget* parent, const QString& text) = 0;
  // An outcome that is not what was hoped for (a file damaged, written as put together): the
  // work ended, but the user must read on.
  virtual void warning(QWidget* parent, const QString& text) = 0;
  virtual void information(QWidget* parent, const QString& text) = 0;
  // A yes/no question; true for yes.
  virtual bool question(QWidget* parent, const QString& text) = 0;
};

// The standard dialogs and message boxes.
UserDialogs& standardDialogs();

}  // namespace kestrix::app
