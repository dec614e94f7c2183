#include "app/source_controller.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>

#include <cerrno>

#include "app/disk_access.h"
#include "app/main_window_layout.h"
#include "app/messages.h"
#include "app/window_texts.h"
#include "io/errors.h"
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
  // Enter, and leaving the box after changing its text.
  connect(box, &QLineEdit::editingFinished, this, &SourceController::typed);
}

bool SourceController::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_context.ui.sourceEdit) {
    if (event->type() == QEvent::MouseButtonPress) {
      SourceMouseDown(static_cast<QMouseEvent*>(event)->button());
    } else if (event->type() == QEvent::KeyPress) {
      const auto* key = static_cast<QKeyEvent*>(event);
      if ((key->key() == Qt::Key_Menu && key->modifiers() == Qt::NoModifier) ||
          (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier)) {
        openMenuFromKeyboard();
        return true;
      }
    } else if (event->type() == QEvent::ContextMenu &&
               static_cast<QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard) {
      // Some platforms follow the Menu key (or Shift+F10) with a context-menu request of their
      // own; the key has opened the menu already.
      return true;
    }
  }
  return QObject::eventFilter(watched, event);
}

void SourceController::openMenuFromKeyboard() {
  QLineEdit* box = m_context.ui.sourceEdit;
  SourceMouseDown(Qt::RightButton);  // built as for a right click
  if (!m_context.ui.sourceMenu->isEmpty())
    m_context.ui.sourceMenu->exec(box->mapToGlobal(QPoint(0, box->height())));
}

void SourceController::typed() {
  QLineEdit* box = m_context.ui.sourceEdit;
  const QString text = box->text().trimmed();
  if (s(text) == m_picker.SourceText()) return;
  if (text.isEmpty()) {
    // An emptied box chooses nothing: it shows the source that is still chosen.
    box->setText(q(m_picker.SourceText()));
    return;
  }
  chooseImage(text);
}

std::unique_ptr<scan::ByteSource> SourceController::open() {
  if (m_picker.SourceText().empty())
    throw Error(s(tr("请先选择数据源: 在数据源框中输入路径, 右键单击它选择磁盘或分区, 或单击“浏览…”打开镜像文件")));
  return m_picker.Open();
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
#ifdef _WIN32
    QAction* note = menu->addAction(tr("读取磁盘需要管理员权限"));
#else
    QAction* note = menu->addAction(tr("需要 root 或 disk 组权限"));
#endif
    note->setObjectName("NoDiskRights");
    note->setEnabled(false);
  }
}

void SourceController::SourceItemClick(const sources::SourceMenuEntry& entry) {
  QString image;
  if (entry.kind == sources::EntryKind::Image) {
    image = m_context.dialogs.openFile(m_context.window, WindowTexts::imageFilter());
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

}  // namespace kestrix::app
