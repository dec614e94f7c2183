#include "app/help_viewer.h"

#include "app/language.h"

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

#include <filesystem>

#include "app/user_dialogs.h"
#include "io/output_names.h"
#include "sources/program_files.h"

namespace kestrix::app {

HelpViewer::HelpViewer(QWidget* parent) : QDialog(parent) {
  setObjectName("HelpViewer");
  setWindowTitle(tr("帮助"));
  resize(760, 600);
  auto* layout = new QVBoxLayout(this);
  m_browser = new QTextBrowser(this);
  m_browser->setObjectName("HelpText");
  m_browser->setOpenExternalLinks(true);
  layout->addWidget(m_browser);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
  buttons->button(QDialogButtonBox::Close)->setText(tr("关闭"));
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
  layout->addWidget(buttons);
}

bool HelpViewer::load(const QString& path) {
  const QFileInfo file(path);
  if (!file.isFile() || !file.isReadable()) return false;
  m_browser->setSearchPaths({file.absolutePath()});
  m_browser->setSource(QUrl::fromLocalFile(file.absoluteFilePath()));
  return !m_browser->toPlainText().isEmpty();
}

HelpViewer* showManual(QWidget* window, const std::string& exeDir, UserDialogs& dialogs) {
  const QString path = QString::fromStdString(rebuild::textOf(sources::manualDir(rebuild::pathOf(exeDir)) / manualFile(currentLanguage())));
  auto* viewer = window->findChild<HelpViewer*>("HelpViewer", Qt::FindDirectChildrenOnly);
  if (!viewer) viewer = new HelpViewer(window);
  if (!viewer->load(path)) {
    dialogs.error(window, HelpViewer::tr("找不到使用手册 \"%1\"。").arg(path));
    return nullptr;
  }
  viewer->show();
  viewer->raise();
  viewer->activateWindow();
  return viewer;
}

}  // namespace kestrix::app
