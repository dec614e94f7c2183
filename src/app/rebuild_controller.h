#pragma once
// Tab 2, 重组: the inputs chosen are rebuilt one after the other, each into a file the user
// names, through the engine's rebuild (which also checks and repairs what it wrote); a summary
// of every file ends the command.

#include <QObject>
#include <QStringList>

#include "app/window_context.h"

namespace kestrix::app {

class SaveFolder;

class RebuildController : public QObject {
  Q_OBJECT
 public:
  RebuildController(const WindowContext& context, SaveFolder& saveFolder);

  void Button4Click();  // 重组: choose the inputs and rebuild them
  void Button5Click();  // 停止: stop the file being rebuilt
  void RecoverFileListDblClick();  // empties the input list

 signals:
  void rebuildFinished();  // the command has ended (all files, or by an error)

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  struct Output;
  void startNext();
  void fileDone(const Output& out);
  void showSummary();
  void showStep(const QString& step);

  WindowContext m_context;
  SaveFolder& m_saveFolder;
  QStringList m_inputs;
  int m_index = 0;
  QString m_output;          // of the file being rebuilt
  QStringList m_summary;     // a line for every file written, shown when the command ends
  bool m_troubled = false;   // a file of the summary is not sound as written, or not written
};

}  // namespace kestrix::app
