#include "app/user_dialogs.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace kestrix::app {

namespace {

QString title() { return QApplication::applicationDisplayName(); }

class StandardDialogs final : public UserDialogs {
 public:
  QString openFile(QWidget* parent, const QString& filter) override {
    return QDir::toNativeSeparators(QFileDialog::getOpenFileName(parent, QString(), QString(), filter));
  }
  QStringList openFiles(QWidget* parent, const QString& filter) override {
    QStringList paths = QFileDialog::getOpenFileNames(parent, QString(), QString(), filter);
    for (QString& path : paths) path = QDir::toNativeSeparators(path);
    return paths;
  }
  QString saveFile(QWidget* parent, const QString& filter, const QString& start) override {
    QFileDialog dialog(parent, QString(), QString(), filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    // A name typed without an extension gets the suggested one (.PST where none is suggested).
    const QString suffix = QFileInfo(start).suffix();
    dialog.setDefaultSuffix(suffix.isEmpty() ? QString("PST") : suffix);
    // Replacing an existing file is asked about first (QFileDialog's default, kept on purpose).
    if (!start.isEmpty()) dialog.selectFile(start);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return QDir::toNativeSeparators(dialog.selectedFiles().first());
  }
  QString chooseFolder(QWidget* parent, const QString& start) override {
    return QDir::toNativeSeparators(QFileDialog::getExistingDirectory(parent, QString(), start));
  }
  void error(QWidget* parent, const QString& text) override { QMessageBox::critical(parent, title(), text); }
  void warning(QWidget* parent, const QString& text) override { QMessageBox::warning(parent, title(), text); }
  void information(QWidget* parent, const QString& text) override {
    QMessageBox::information(parent, title(), text);
  }
  bool question(QWidget* parent, const QString& text) override {
    return QMessageBox::question(parent, title(), text, QMessageBox::Yes | QMessageBox::No, QMessageBox::No) ==
           QMessageBox::Yes;
  }
};

}  // namespace

UserDialogs& standardDialogs() {
  static StandardDialogs dialogs;
  return dialogs;
}

}  // namespace kestrix::app
