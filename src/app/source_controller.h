#pragma once
// The 数据源 box: the source menu on a right click, the 浏览 button and a dropped image file
// choose the source; the box shows it. Typing into the box only beeps.

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
  void SourceKeyPress();
  void browse();                          // 浏览: the image entry's open dialog
  void chooseImage(const QString& path);  // an image file by its path (a drop)

  // Opens the chosen source for a scan, at its length now (throws as SourcePicker::Open).
  std::unique_ptr<scan::ByteSource> open() { return m_picker.Open(); }
  const std::string& path() const { return m_picker.SourcePath(); }
  std::int64_t size() const { return m_picker.SourceSize(); }

 signals:
  void sourceChanged();  // another source is shown in the box

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void take(const sources::SourceMenuEntry& entry, const QString& image);

  WindowContext m_context;
  const sources::Catalogue& m_catalogue;
  sources::SourcePicker m_picker;
};

}  // namespace kestrix::app
