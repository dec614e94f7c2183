#pragma once
// 帮助: the manual (help.html, or help-en.html for the English window) in the window's own viewer. It needs no browser or desktop
// launcher, which a root session or a bare desktop often lacks, so the manual always opens.

#include <QDialog>

#include <string>

class QTextBrowser;

namespace kestrix::app {

class UserDialogs;

class HelpViewer : public QDialog {
  Q_OBJECT
 public:
  explicit HelpViewer(QWidget* parent);
  // Shows the HTML file at path; its links to other files of its folder work, web links open
  // in the desktop's browser. False when the file cannot be read.
  bool load(const QString& path);
  QTextBrowser* browser() const { return m_browser; }

 private:
  QTextBrowser* m_browser = nullptr;
};

// Shows the manual in the window's language (manualFile) of sources::manualDir(exeDir) in the viewer that belongs to `window` (made on
// the first call, raised on the later ones). A manual that is missing or unreadable is
// reported through `dialogs`, naming the path; returns nullptr then.
HelpViewer* showManual(QWidget* window, const std::string& exeDir, UserDialogs& dialogs);

}  // namespace kestrix::app
