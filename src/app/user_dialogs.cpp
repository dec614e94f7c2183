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
    QFileDialog dialog(parent, QString(), QString(), filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix("PST");  // a name typed without an extension gets .PST
    // Replacing an existing file is asked about first (QFileDialog's default, kept on purpose).
    if (!start.isEmpty()) dialog.selectFile(start);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().first();
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
