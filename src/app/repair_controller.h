#pragma once
// Tab 3, 修复: the engine's repair writes a repaired copy of a PST file; 添加修复软件 names an
// external repair program (kept in the settings).

#include <QObject>

#include "app/window_context.h"

namespace kestrix::app {

class SaveFolder;

class RepairController : public QObject {
  Q_OBJECT
 public:
  RepairController(const WindowContext& context, SaveFolder& saveFolder);

  void Button6Click();  // 添加修复软件
  void Button7Click();  // 修复PST文件
  void Button8Click();  // 停止

 signals:
  void repairFinished();  // a 修复PST文件 run has ended

 private:
  struct Output;
  void repairDone(const Output& out);

  WindowContext m_context;
  SaveFolder& m_saveFolder;
};

}  // namespace kestrix::app
