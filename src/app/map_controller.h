#pragma once
// The map of the source and the lists select together: a click on a fragment of the map
// selects its row in 碎片, or its file's row in 文件 when that list is shown; the current
// fragment or file of the lists is outlined on the map.

#include <QObject>

#include "app/window_context.h"

namespace kestrix::app {

class MapController : public QObject {
  Q_OBJECT
 public:
  explicit MapController(const WindowContext& context);

  void fragmentClicked(int fragmentNumber);

 private:
  WindowContext m_context;
};

}  // namespace kestrix::app
