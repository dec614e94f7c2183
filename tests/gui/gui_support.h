#pragma once
// For the window tests: a QApplication on the offscreen platform, and dialogs that answer
// from a script and record every message instead of showing it.

#include <QString>
#include <QStringList>

#include <deque>

#include "app/user_dialogs.h"

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

}  // namespace kestrix::test
