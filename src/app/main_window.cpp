#include "app/main_window.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>

#include "app/about_box.h"
#include "app/app_info.h"
#include "app/extract_controller.h"
#include "app/job_runner.h"
#include "app/main_window_layout.h"
#include "app/manual_list_controller.h"
#include "app/map_controller.h"
#include "app/messages.h"
#include "app/menu_controller.h"
#include "app/rebuild_controller.h"
#include "app/recover_files_controller.h"
#include "app/repair_controller.h"
#include "app/scan_controller.h"
#include "app/settings.h"
#include "app/source_controller.h"
#include "app/user_dialogs.h"
#include "app/window_texts.h"
#include "sources/catalogue.h"

namespace kestrix::app {

namespace {

// The one local file of a drag, "" when it carries anything else.
QString droppedFile(const QMimeData* data) {
  if (!data || !data->hasUrls() || data->urls().size() != 1 || !data->urls().first().isLocalFile()) return {};
  const QString path = data->urls().first().toLocalFile();
  return QFileInfo(path).isFile() ? QDir::toNativeSeparators(path) : QString();
}

}  // namespace

MainWindow::MainWindow(WindowOptions options, QWidget* parent)
    : QMainWindow(parent),
      m_options(std::move(options)),
      m_dialogs(m_options.dialogs ? *m_options.dialogs : standardDialogs()),
      m_saveFolder(std::make_unique<SaveFolder>()) {
  setObjectName("Form1");
  if (m_options.exeDir.empty()) m_options.exeDir = s(QCoreApplication::applicationDirPath());
  const sources::Catalogue& catalogue = m_options.catalogue ? *m_options.catalogue : sources::systemCatalogue();
  setWindowIcon(QIcon(programIcon(48)));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
  setAcceptDrops(true);

  m_ui = std::make_unique<MainWindowLayout>(this);
  m_runner = new JobRunner(*m_ui, this);
  const WindowContext context{*m_ui, *m_runner, m_dialogs, this};
  m_source = new SourceController(context, catalogue);
  m_scan = new ScanController(context, *m_source);
  m_rebuild = new RebuildController(context, *m_saveFolder);
  m_manual = new ManualListController(context);
  m_extract = new ExtractController(context, catalogue, *m_source, *m_saveFolder);
  m_repair = new RepairController(context, *m_saveFolder);
  m_recoverFiles = new RecoverFilesController(context, catalogue, *m_saveFolder);
  m_map = new MapController(context);

  connect(m_ui->scanButton, &QPushButton::clicked, this, &MainWindow::Button1Click);
  connect(m_ui->stopScanButton, &QPushButton::clicked, this, &MainWindow::Button2Click);
  connect(m_ui->rebuildButton, &QPushButton::clicked, this, &MainWindow::Button4Click);
  connect(m_ui->stopRebuildButton, &QPushButton::clicked, this, &MainWindow::Button5Click);
  connect(m_ui->addRepairProgramButton, &QPushButton::clicked, this, &MainWindow::Button6Click);
  connect(m_ui->repairButton, &QPushButton::clicked, this, &MainWindow::Button7Click);
  connect(m_ui->stopRepairButton, &QPushButton::clicked, this, &MainWindow::Button8Click);
  connect(m_ui->browseButton, &QPushButton::clicked, this, &MainWindow::BrowseClick);
  connect(m_ui->recoverFilesButton, &QPushButton::clicked, this, &MainWindow::RecoverCheckedClick);
  // The results, and fragments collected by hand, belong to the source they were found on:
  // another source clears them, so that nothing is written from one source in the name of another.
  connect(m_source, &SourceController::sourceChanged, m_manual, &ManualListController::clear);
  connect(m_source, &SourceController::sourceChanged, m_scan, &ScanController::clearResults);
  connect(m_scan, &ScanController::scanFinished, this, &MainWindow::scanFinished);
  connect(m_rebuild, &RebuildController::rebuildFinished, this, &MainWindow::rebuildFinished);
  connect(m_extract, &ExtractController::extractFinished, this, &MainWindow::extractFinished);
  connect(m_repair, &RepairController::repairFinished, this, &MainWindow::repairFinished);
  connect(m_recoverFiles, &RecoverFilesController::recoverFinished, this, &MainWindow::recoverFinished);
  connect(m_runner, &JobRunner::busyChanged, this, &MainWindow::busyChanged);

  FormCreate();
  m_menus = new MenuController(*this, *m_ui, m_options.exeDir, m_dialogs);  // after FormCreate: the About box takes the caption
  // The first size as the window layout gave it; the window can be enlarged from there.
  resize(m_ui->panel->size() + QSize(0, menuBar()->sizeHint().height()));
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - QPoint(width() / 2, height() / 2));
}

MainWindow::~MainWindow() {
  // The runner stops and waits for the worker, then the parts go, all before the widgets
  // they watch.
  delete m_runner;
  for (QObject* part :
       std::initializer_list<QObject*>{m_source, m_scan, m_rebuild, m_manual, m_extract, m_repair, m_recoverFiles, m_map})
    delete part;
}

void MainWindow::FormCreate() {
  // cfg.ini is written only when a setting changes (FormClose): a program that is only
  // started and closed leaves no file behind and does not touch the one there is.
  m_settingsPath = SettingsPath(m_options.exeDir);
  m_savedRepairProgram = ReadIniValue(m_settingsPath, "Settings", "Fix").value_or("");
  m_ui->repairProgramEdit->setText(q(m_savedRepairProgram));
  const QString caption = QString::fromUtf8(kCaptionText);
  QGuiApplication::setApplicationDisplayName(caption);
  setWindowTitle(caption);
}

void MainWindow::FormClose() {
  const std::string repairProgram = s(m_ui->repairProgramEdit->text());
  if (repairProgram == m_savedRepairProgram) return;
  try {
    WriteIniValue(m_settingsPath, "Settings", "Fix", repairProgram);
    m_savedRepairProgram = repairProgram;
  } catch (const std::exception& e) {
    m_dialogs.error(this, errorText(e, m_settingsPath));  // the window closes all the same
  }
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (m_runner->running()) {
    // Closing stops the run and waits for it; its results are not offered any more. A long
    // scan is not thrown away without asking.
    if (!m_dialogs.question(this, tr("任务正在运行. 停止它并退出吗?"))) {
      event->ignore();
      return;
    }
    m_runner->stopAndWait();
  }
  FormClose();
  event->accept();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
  if (!m_runner->running() && !droppedFile(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
  const QString path = droppedFile(event->mimeData());
  if (path.isEmpty() || m_runner->running()) return;
  event->acceptProposedAction();
  SourceDrop(path);
}

// ---- the handlers: each calls the part that does its job ----

void MainWindow::Button1Click() { m_scan->Button1Click(); }
void MainWindow::Button2Click() { m_scan->Button2Click(); }
void MainWindow::Button4Click() { m_rebuild->Button4Click(); }
void MainWindow::Button5Click() { m_rebuild->Button5Click(); }
void MainWindow::Button6Click() { m_repair->Button6Click(); }
void MainWindow::Button7Click() { m_repair->Button7Click(); }
void MainWindow::Button8Click() { m_repair->Button8Click(); }
void MainWindow::BrowseClick() { m_source->browse(); }
void MainWindow::RecoverFileListDblClick() { m_rebuild->RecoverFileListDblClick(); }
void MainWindow::N1Click() { m_extract->N1Click(); }
void MainWindow::N4Click() { close(); }
void MainWindow::N5Click() { m_menus->openManual(); }
void MainWindow::N6Click() { m_menus->showAbout(); }
void MainWindow::N7Click() { m_extract->N7Click(); }
void MainWindow::N8Click() { m_manual->N8Click(); }
void MainWindow::N9Click() { m_extract->N9Click(); }
void MainWindow::N12Click() { m_manual->N12Click(); }
void MainWindow::RecoverCheckedClick() { m_recoverFiles->recoverChecked(); }
void MainWindow::ElapsedTimeTimer() { m_runner->ElapsedTimeTimer(); }
void MainWindow::SourceMouseDown(Qt::MouseButton button) { m_source->SourceMouseDown(button); }
void MainWindow::SourceItemClick(const sources::SourceMenuEntry& entry) { m_source->SourceItemClick(entry); }
void MainWindow::SourceDrop(const QString& path) { m_source->chooseImage(path); }
void MainWindow::BlockListKeyPress(QChar key) { m_manual->BlockListKeyPress(key); }
void MainWindow::FileListChange(QTreeWidgetItem* item) { m_manual->FileListChange(item); }
int MainWindow::TakeAndStep(QChar key) { return m_manual->TakeAndStep(key); }
bool MainWindow::FragmentFitsManual() const { return m_manual->FragmentFitsManual(); }
void MainWindow::UncheckAllRows(widgets::SortListView* view) { m_manual->UncheckAllRows(view); }
void MainWindow::BeginBusy() { m_runner->BeginBusy(); }
void MainWindow::EndBusy() { m_runner->EndBusy(); }
bool MainWindow::busy() const { return m_runner->busy(); }
bool MainWindow::running() const { return m_runner->running(); }

const std::string& MainWindow::SourcePath() const { return m_source->path(); }
std::int64_t MainWindow::SourceSize() const { return m_source->size(); }
std::int32_t MainWindow::timerTicks() const { return m_runner->timerTicks(); }
void MainWindow::setTimerTicks(std::int32_t ticks) { m_runner->setTimerTicks(ticks); }
QMenu* MainWindow::sourceMenu() const { return m_ui->sourceMenu; }
AboutBox* MainWindow::aboutBox() const { return m_menus->aboutBox(); }

QString MainWindow::statusPanelText(int panel) const {
  return panel == 0 ? m_ui->remainingTimeLabel->text() : panel == 1 ? m_ui->fragmentCountLabel->text() : QString();
}

}  // namespace kestrix::app
