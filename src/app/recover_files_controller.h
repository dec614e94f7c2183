#pragma once
// 恢复所选文件到文件夹…: the files ticked in the 文件 list, written in one run into a folder the
// user picks, after a summary of what will be written where, with one gauge, and with the
// report beside them: report.xml (where each byte came from), map.svg (the source's
// fragments by file) and summary.txt (what each file holds and lacks, in the window's language).

#include <QObject>

#include "app/window_context.h"

namespace kestrix::sources {
class Catalogue;
}

namespace kestrix::app {

class SaveFolder;

class RecoverFilesController : public QObject {
  Q_OBJECT
 public:
  RecoverFilesController(const WindowContext& context, const sources::Catalogue& catalogue, SaveFolder& saveFolder);

  void recoverChecked();

 signals:
  void recoverFinished();  // the run has ended (written, stopped, refused or failed)

 private:
  struct Output;
  void done(const Output& out);

  WindowContext m_context;
  const sources::Catalogue& m_catalogue;
  SaveFolder& m_saveFolder;
};

}  // namespace kestrix::app
