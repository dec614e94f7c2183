#include "app/user_dialogs.h"

#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>

namespace kestrix::app {

namespace {

QString title() { return QApplication::applicationDisplayName(); }

class StandardDialogs final : public UserDialogs {
 public:
  QString openFile(QWidget* parent, const QString& filter) override {
    return QFileDialog::getOpenFileName(parent, QString(), QString(), filter);
  }
  QStringList openFiles(QWidget* parent, const QString& filter) override {
    return QFileDialog::getOpenFileNames(parent, QString(), QString(), filter);
  }
  QString saveFile(QWidget* parent, const QString& filter, const QString& start) override {
    // The rebuild replaces an existing output without a question, as it always has.
    return QFileDialog::getSaveFileName(parent, QString(), start, filter, nullptr,
                                        QFileDialog::DontConfirmOverwrite);
  }
  void error(QWidget* parent, const QString& text) override { QMessageBox::critical(parent, title(), text); }
  void information(QWidget* parent, const QString& text) override {
    QMessageBox::information(parent, title(), text);
  }
};

}  // namespace

UserDialogs& standardDialogs() {
  static StandardDialogs dialogs;
  return dialogs;
}

}  // namespace kestrix::app
