#pragma once
// For the window tests: a QApplication on the offscreen platform, and dialogs that answer
// from a script and record every message instead of showing it.

#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <memory>

#include "app/main_window.h"
#include "app/user_dialogs.h"
#include "sources/fake_catalogue.h"
#include "support/test_support.h"

namespace kestrix::test {

class ScriptedDialogs final : public app::UserDialogs {
 public:
  std::deque<QString> openAnswers;        // openFile, in order; "" when empty (cancel)
  std::deque<QStringList> openManyAnswers;
  std::deque<QString> saveAnswers;
  std::deque<QString> folderAnswers;
  QStringList errors;
  QStringList warnings;
  QStringList informations;
  QStringList openFilters;  // the filter of each openFile call
  QStringList saveStarts;   // the start path of each saveFile call
  std::deque<bool> questionAnswers;  // question, in order; yes when empty
  QStringList questions;

  QString openFile(QWidget*, const QString& filter) override {
    openFilters << filter;
    return take(openAnswers);
  }
  QStringList openFiles(QWidget*, const QString&) override {
    if (openManyAnswers.empty()) return {};
    QStringList a = openManyAnswers.front();
    openManyAnswers.pop_front();
    return a;
  }
  QString saveFile(QWidget*, const QString&, const QString& start) override {
    saveStarts << start;
    return take(saveAnswers);
  }
  QString chooseFolder(QWidget*, const QString&) override { return take(folderAnswers); }
  void error(QWidget*, const QString& text) override { errors << text; }
  void warning(QWidget*, const QString& text) override { warnings << text; }
  void information(QWidget*, const QString& text) override { informations << text; }
  bool question(QWidget*, const QString& text) override {
    questions << text;
    if (questionAnswers.empty()) return true;
    const bool a = questionAnswers.front();
    questionAnswers.pop_front();
    return a;
  }

 private:
  static QString take(std::deque<QString>& answers) {
    if (answers.empty()) return {};
    QString a = answers.front();
    answers.pop_front();
    return a;
  }
};

// A main window over a folder of its own, with a fake catalogue of disks and scripted dialogs.
class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(dir.path() / "devices");
    catalogue = std::make_unique<sources::FakeCatalogue>(dir.file("devices"));
  }
  void TearDown() override { window.reset(); }

  app::MainWindow& open() {
    window = std::make_unique<app::MainWindow>(app::WindowOptions{dir.path().string(), catalogue.get(), &dialogs});
    return *window;
  }
  template <typename T>
  T* child(const char* name) const {
    T* found = window->findChild<T*>(name);
    EXPECT_NE(found, nullptr) << name;
    return found;
  }

  TempDir dir;
  ScriptedDialogs dialogs;
  std::unique_ptr<sources::FakeCatalogue> catalogue;
  std::unique_ptr<app::MainWindow> window;
};

}  // namespace kestrix::test
