#pragma once
// 恢复 and 停止 of tab 1: scans the chosen source through the engine's source analysis and
// fills the fragment and file lists with what it found.

#include <QObject>

#include <atomic>
#include <memory>
#include <optional>
#include <vector>
#include <string>

#include "app/window_context.h"

#include "recover/file_preview.h"

namespace kestrix::rebuild {
struct SourceAnalysis;
}

namespace kestrix::app {

class SourceController;

class ScanController : public QObject {
  Q_OBJECT
 public:
  ScanController(const WindowContext& context, SourceController& source);

  void Button1Click();  // 恢复: scan the source
  void Button2Click();  // 停止: stop the scan (and a 恢复碎片 / 恢复文件 run)
  // Empties the lists, the summary and the results of the last scan; shows the chosen
  // source's size.
  void clearResults();

 signals:
  void scanFinished();  // the results are in the lists, the window is idle

 private:
  struct Output;
  void scanDone(Output& out);
  void showSourceSize();
  MainWindowLayout& ui() { return m_context.ui; }
  static std::vector<std::optional<rebuild::FilePreview>> previewMailboxes(
      scan::ByteSource& src, const rebuild::SourceAnalysis& analysis, const std::atomic<bool>& stop,
      const rebuild::PreviewProgressFn& progress);
  static QString summaryText(const rebuild::SourceAnalysis& analysis, bool whole);
  static QString nothingFoundText(const rebuild::SourceAnalysis& analysis, const std::string& source);

  WindowContext m_context;
  SourceController& m_source;
};

}  // namespace kestrix::app
