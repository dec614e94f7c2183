#pragma once
// The window's long work: one job at a time on a Worker, the stop flags of the three 停止
// buttons, the busy state (controls disabled, the remaining time ticking) and what the last
// scan found, for the jobs that read from it.

#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/worker.h"
#include "recover/file_preview.h"
#include "recover/source_analysis.h"
#include "scan/fragments.h"

namespace kestrix::app {

class MainWindowLayout;

// What the last scan found, and on which source.
struct ScanResults {
  std::string source;
  // The fragments, the files put together and the PST structure the scan saw (files are
  // checked against their own index), without the hits. Shared with the jobs that write from
  // it rather than copied (24 bytes a block trailer).
  std::shared_ptr<const rebuild::SourceAnalysis> analysis;
  // What each file's own index says, one per file of the analysis; none for a stray piece.
  std::vector<std::optional<rebuild::FilePreview>> previews;
};

class JobRunner : public QObject {
  Q_OBJECT
 public:
  enum class StopFlag { Scan, Rebuild, Repair };  // 停止 of tabs 1 (also 恢复碎片, 恢复文件), 2 and 3
  using Progress = std::function<void(int phase, qint64 done, qint64 total)>;
  using Done = std::function<void()>;

  JobRunner(MainWindowLayout& ui, QObject* parent);
  // Nothing may outlive the window on the worker: stops every job and waits.
  ~JobRunner() override;

  // Clears the flag, makes the window busy and runs body on the worker; progress and done run
  // on the window's thread, done after the busy state has ended. False while a job runs.
  bool start(StopFlag flag, Worker::Body body, Progress progress, Done done);
  std::atomic<bool>& stopFlag(StopFlag flag);
  void stop(StopFlag flag) { stopFlag(flag) = true; }
  // For closing: stops whatever runs and waits; the job's done() then sees closing().
  void stopAndWait();
  bool running() const { return m_worker->running(); }
  bool busy() const { return m_busy; }
  bool closing() const { return m_closing; }

  void BeginBusy();
  void EndBusy();
  void ElapsedTimeTimer();  // one tick: the remaining time from the rate of gauge gg
  std::int32_t timerTicks() const { return m_timerTicks; }
  void setTimerTicks(std::int32_t ticks) { m_timerTicks = ticks; }
  // Gauge gg in bytes: 1024 << shift bytes a unit, so that any source fits its range.
  void setGauge(std::int64_t doneBytes, std::int64_t totalBytes);
  void advanceGauge(std::int64_t doneBytes, std::int64_t totalBytes);

  ScanResults results;

 signals:
  void busyChanged(bool busy);

 private:
  void setWorkControlsEnabled(bool enabled);
  void onFinished();

  MainWindowLayout& m_ui;
  Worker* m_worker;
  Progress m_progress;
  Done m_done;
  bool m_busy = false;
  bool m_closing = false;
  std::int32_t m_timerTicks = 0;
  std::atomic<bool> m_scanStop{false};
  std::atomic<bool> m_rebuildStop{false};
  std::atomic<bool> m_repairStop{false};
  int m_gaugeShift = 0;
  std::int64_t m_gaugeTotal = 0;
};

}  // namespace kestrix::app
