#pragma once
// The 数据源 box: the source menu (a right click, Shift+F10 or the Menu key), the 浏览 button,
// a dropped image file and a path typed into the box (taken on Enter or when the box loses
// the focus with a changed text) choose the source; the box shows it.

#include <QObject>

#include <memory>
#include <string>

#include "app/window_context.h"
#include "sources/source_picker.h"

namespace kestrix::app {

class SourceController : public QObject {
  Q_OBJECT
 public:
  SourceController(const WindowContext& context, const sources::Catalogue& catalogue);

  void SourceMouseDown(Qt::MouseButton button);  // a right press builds the source menu
  void SourceItemClick(const sources::SourceMenuEntry& entry);
  void browse();                          // 浏览: the image entry's open dialog
  void chooseImage(const QString& path);  // an image file or device by its path (a drop, a typed path)

  // Opens the chosen source for a scan, at its length now (throws as SourcePicker::Open, and
  // an error that says so when no source has been chosen).
  std::unique_ptr<scan::ByteSource> open();
  const std::string& path() const { return m_picker.SourcePath(); }
  std::int64_t size() const { return m_picker.SourceSize(); }
  const std::string& format() const { return m_picker.SourceFormat(); }

 signals:
  void sourceChanged();  // another source is shown in the box

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void take(const sources::SourceMenuEntry& entry, const QString& image);
  void typed();
  void openMenuFromKeyboard();

  WindowContext m_context;
  const sources::Catalogue& m_catalogue;
  sources::SourcePicker m_picker;
};

}  // namespace kestrix::app
