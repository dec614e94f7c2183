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

// The captions carry their access keys after them, "(&F)", as Chinese menus write them.
void MenuController::buildMenuBar(MainWindow& window) {
  QMenu* file = window.menuBar()->addMenu(tr("文件(&F)"));
  file->setObjectName("N2");
  QAction* open = file->addAction(tr("打开磁盘镜像(&O)…"), &window, &MainWindow::BrowseClick);
  open->setObjectName("OpenImage");
  open->setShortcut(QKeySequence::Open);
  connect(&window, &MainWindow::busyChanged, open, [open](bool busy) { open->setEnabled(!busy); });  // as 浏览
  file->addSeparator();
  file->addAction(tr("关闭(&X)"), &window, &MainWindow::N4Click)->setObjectName("N4");
  QMenu* help = window.menuBar()->addMenu(tr("帮助(&H)"));
  help->setObjectName("N3");
  QAction* manual = help->addAction(tr("帮助(&H)"), &window, &MainWindow::N5Click);
  manual->setObjectName("N5");
  manual->setShortcut(Qt::Key_F1);
  help->addSeparator()->setObjectName("N10");
  help->addAction(tr("关于KESTRIX(&A)"), &window, &MainWindow::N6Click)->setObjectName("N6");
}

void MenuController::buildContextMenus(MainWindow& window, MainWindowLayout& ui) {
  ui.fragmentList->setContextMenuPolicy(Qt::ActionsContextMenu);
  connect(item(ui.fragmentList, "N7", tr("恢复碎片(&R)")), &QAction::triggered, &window, &MainWindow::N7Click);
  // A plain separator: a separator with a caption shows the caption in some styles.
  item(ui.fragmentList, "N11", QString())->setSeparator(true);
  connect(item(ui.fragmentList, "N12", tr("全选(&A)")), &QAction::triggered, &window, &MainWindow::N12Click);

  ui.manualList->setContextMenuPolicy(Qt::ActionsContextMenu);
  connect(item(ui.manualList, "N8", tr("清空碎片(&C)")), &QAction::triggered, &window, &MainWindow::N8Click);
  connect(item(ui.manualList, "N9", tr("恢复碎片(&R)")), &QAction::triggered, &window, &MainWindow::N9Click);

  ui.fileList->setContextMenuPolicy(Qt::ActionsContextMenu);
  connect(item(ui.fileList, "N1", tr("恢复文件(&R)")), &QAction::triggered, &window, &MainWindow::N1Click);
  connect(item(ui.fileList, "N13", tr("恢复所选文件到文件夹(&F)…")), &QAction::triggered, &window,
          &MainWindow::RecoverCheckedClick);
}

void MenuController::openManual() { showManual(&m_window, m_exeDir, m_dialogs); }

void MenuController::showAbout() { m_about->exec(); }

}  // namespace kestrix::app
