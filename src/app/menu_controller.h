#pragma once
// The menus: 文件 (关闭) and 帮助 (帮助, 关于) in the menu bar, and the context menus of the
// fragment, manual and file lists; each item calls the window's handler of its name. The help
// and About items are served here.

#include <QObject>

#include <string>

namespace kestrix::app {

class AboutBox;
class MainWindow;
class MainWindowLayout;
class UserDialogs;

class MenuController : public QObject {
  Q_OBJECT
 public:
  MenuController(MainWindow& window, MainWindowLayout& ui, std::string exeDir, UserDialogs& dialogs);

  void openManual();  // 帮助: the manual in the window's own viewer
  void showAbout();         // 关于
  AboutBox* aboutBox() const { return m_about; }

 private:
  void buildMenuBar(MainWindow& window);
  void buildContextMenus(MainWindow& window, MainWindowLayout& ui);

  MainWindow& m_window;
  std::string m_exeDir;
  UserDialogs& m_dialogs;
  AboutBox* m_about;
};

}  // namespace kestrix::app
