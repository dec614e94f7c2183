#include "app/menu_controller.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

#include "app/about_box.h"
#include "app/help_viewer.h"
#include "app/main_window.h"
#include "app/main_window_layout.h"
#include "widgets/sort_list_view.h"

namespace kestrix::app {

namespace {

QAction* item(QWidget* owner, const char* name, const QString& caption) {
  auto* action = new QAction(caption, owner);
  action->setObjectName(name);
  owner->addAction(action);
  return action;
}

}  // namespace

MenuController::MenuController(MainWindow& window, MainWindowLayout& ui, std::string exeDir, UserDialogs& dialogs)
    : QObject(&window), m_window(window), m_exeDir(std::move(exeDir)), m_dialogs(dialogs) {
  buildMenuBar(window);
  buildContextMenus(window, ui);
  // The About box is made once, hidden, with the window's caption.
  m_about = new AboutBox(window.windowTitle(), &window);
  m_about->setWindowIcon(QIcon(programIcon(48)));
}

void MenuController::buildMenuBar(MainWindow& window) {
  QMenu* file = window.menuBar()->addMenu(tr("文件"));
  file->setObjectName("N2");
  file->addAction(tr("关闭"), &window, &MainWindow::N4Click)->setObjectName("N4");
  QMenu* help = window.menuBar()->addMenu(tr("帮助"));
  help->setObjectName("N3");
  help->addAction(tr("帮助"), &window, &MainWindow::N5Click)->setObjectName("N5");
  help->addSeparator()->setObjectName("N10");
  help->addAction(tr("关于KESTRIX"), &window, &MainWindow::N6Click)->setObjectName("N6");
}

void MenuController::buildContextMenus(MainWindow& window, MainWindowLayout& ui) {
  ui.fragmentList->setContextMenuPolicy(Qt::ActionsContextMenu);
  connect(item(ui.fragmentList, "N7", tr("恢复碎片")), &QAction::triggered, &window, &MainWindow::N7Click);
  // A plain separator: a separator with a caption shows the caption in some styles.
  item(ui.fragmentList, "N11", QString())->setSeparator(true);
  connect(item(ui.fragmentList, "N12", tr("全选")), &QAction::triggered, &window, &MainWindow::N12Click);

  ui.manualList->setContextMenuPolicy(Qt::ActionsContextMenu);
  connect(item(ui.manualList, "N8", tr("清空碎片")), &QAction::triggered, &window, &MainWindow::N8Click);
  connect(item(ui.manualList, "N9", tr("恢复碎片")), &QAction::triggered, &window, &MainWindow::N9Click);

  ui.fileList->setContextMenuPolicy(Qt::ActionsContextMenu);
  connect(item(ui.fileList, "N1", tr("恢复文件")), &QAction::triggered, &window, &MainWindow::N1Click);
  connect(item(ui.fileList, "N13", MainWindowLayout::recoverFilesText()), &QAction::triggered, &window,
          &MainWindow::RecoverCheckedClick);
}

void MenuController::openManual() { showManual(&m_window, m_exeDir, m_dialogs); }

void MenuController::showAbout() { m_about->exec(); }

}  // namespace kestrix::app
