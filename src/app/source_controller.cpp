#include "app/source_controller.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>

#include <cerrno>

#include "app/disk_access.h"
#include "app/main_window_layout.h"
#include "app/messages.h"
#include "sources/catalogue.h"

namespace kestrix::app {

namespace {

const sources::SourceMenuEntry kImageEntry{sources::EntryKind::Image, "Openimage", "打开磁盘镜像", 19, ""};

// True when some disk exists that this user may not read (the menu then lists none of them
// for lack of rights, not for lack of disks).
bool diskRefused(const sources::Catalogue& catalogue) {
  for (int n = 0; n <= 255; ++n) {
    const sources::DiskProbe disk = catalogue.probeDisk(n);
    if (disk.state == sources::DiskProbe::State::Unreadable && (disk.error == EACCES || disk.error == EPERM))
      return true;
  }
  return false;
}

}  // namespace

SourceController::SourceController(const WindowContext& context, const sources::Catalogue& catalogue)
    : QObject(context.window), m_context(context), m_catalogue(catalogue), m_picker(catalogue) {
  QLineEdit* box = m_context.ui.sourceEdit;
  box->installEventFilter(this);
  connect(box, &QLineEdit::customContextMenuRequested, this, [this, box](const QPoint& at) {
    if (!m_context.ui.sourceMenu->isEmpty()) m_context.ui.sourceMenu->exec(box->mapToGlobal(at));
  });
}

bool SourceController::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_context.ui.sourceEdit) {
    if (event->type() == QEvent::MouseButtonPress)
      SourceMouseDown(static_cast<QMouseEvent*>(event)->button());
    else if (event->type() == QEvent::KeyPress && !static_cast<QKeyEvent*>(event)->text().isEmpty())
      SourceKeyPress();
  }
  return QObject::eventFilter(watched, event);
}

void SourceController::SourceMouseDown(Qt::MouseButton button) {
  if (button != Qt::RightButton) return;
  QMenu* menu = m_context.ui.sourceMenu;
  menu->clear();
  std::vector<sources::SourceMenuEntry> entries;
  try {
    entries = sources::BuildSourceMenu(m_catalogue);
  } catch (const std::exception& e) {
    m_context.error(errorText(e));
    return;
  }
  bool disks = false;
  for (const sources::SourceMenuEntry& entry : entries) {
    if (entry.kind == sources::EntryKind::Separator) {
      menu->addSeparator();
      continue;
    }
    disks = disks || entry.kind == sources::EntryKind::Disk;
    const QString caption = entry.kind == sources::EntryKind::Image ? tr("打开磁盘镜像") : q(entry.caption);
    QAction* item = menu->addAction(caption);
    item->setObjectName(q(entry.name));
    connect(item, &QAction::triggered, this, [this, entry] { SourceItemClick(entry); });
  }
  // Without rights no disk opens, and the menu says why instead of looking empty.
  if (!disks && diskRefused(m_catalogue)) {
    QAction* note = menu->addAction(tr("需要 root 或 disk 组权限"));
    note->setObjectName("NoDiskRights");
    note->setEnabled(false);
  }
}

void SourceController::SourceItemClick(const sources::SourceMenuEntry& entry) {
  QString image;
  if (entry.kind == sources::EntryKind::Image) {
    image = m_context.dialogs.openFile(m_context.window, QString());  // images have any name
    if (image.isEmpty()) return;
  }
  take(entry, image);
}

void SourceController::browse() { SourceItemClick(kImageEntry); }

void SourceController::chooseImage(const QString& path) {
  if (!path.isEmpty()) take(kImageEntry, path);
}

void SourceController::take(const sources::SourceMenuEntry& entry, const QString& image) {
  const std::string before = m_picker.SourceText();
  QString failure;
  try {
    m_picker.SourceItemClick(entry, s(image));
  } catch (const std::exception& e) {
    failure = sourceErrorText(e);
  }
  {
    // The box shows the new name even when it cannot be opened; its size is 0 until it can.
    const QSignalBlocker quiet(m_context.ui.sourceEdit);
    m_context.ui.sourceEdit->setText(q(m_picker.SourceText()));
  }
  if (!failure.isEmpty()) m_context.error(failure);
  if (m_picker.SourceText() != before) emit sourceChanged();
}

void SourceController::SourceKeyPress() { QApplication::beep(); }

}  // namespace kestrix::app
