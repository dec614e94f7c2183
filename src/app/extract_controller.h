#pragma once
// 恢复碎片 (the checked fragments, or every row of the manual list) and 恢复文件 (a file of
// the 文件 list): each is one engine job that reads the scanned source and writes one file;
// the gauge and 停止 of tab 1 follow it.

#include <QList>
#include <QObject>

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "app/window_context.h"
#include "recover/extract.h"

class QTreeWidgetItem;

namespace kestrix::scan {
class ByteSource;
}
namespace kestrix::sources {
class Catalogue;
}

namespace kestrix::app {

class SaveFolder;
class SourceController;

class ExtractController : public QObject {
  Q_OBJECT
 public:
  ExtractController(const WindowContext& context, const sources::Catalogue& catalogue, SourceController& source,
                    SaveFolder& saveFolder);

  void N7Click();  // 恢复碎片 of the checked BlockList rows
  void N9Click();  // 恢复碎片 of every ManView row
  void N1Click();  // 恢复文件 of the selected FileList row

 signals:
  void extractFinished();  // a 恢复碎片 or 恢复文件 run has ended

 private:
  struct Output;
  // stage: 0 writing, 1 checking, 2 repairing (恢复文件); done and total are bytes of the job.
  using WriteProgress = std::function<void(int stage, std::int64_t done, std::int64_t total)>;
  using SourceWrite = std::function<void(scan::ByteSource& src, const std::string& output,
                                         const std::atomic<bool>& stop, const WriteProgress& progress, Output& out)>;
  bool confirmSharedIds(const QList<QTreeWidgetItem*>& rows);
  void startExtraction(const std::vector<rebuild::SectorExtent>& extents);
  // Opens the source, then runs write() on the worker (the engine job refuses, checks room,
  // writes and commits). size: bytes the gauge starts with; stages: the gauge names them.
  void startSourceWrite(const std::string& sourceName, const QString& output, std::int64_t size, bool stages,
                        SourceWrite write);
  void extractDone(const Output& out);

  WindowContext m_context;
  const sources::Catalogue& m_catalogue;
  SourceController& m_source;
  SaveFolder& m_saveFolder;
};

}  // namespace kestrix::app
