#include "app/job_runner.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QTimer>

#include <algorithm>

#include "app/main_window_layout.h"
#include "app/remaining_time.h"
#include "widgets/sort_list_view.h"

namespace kestrix::app {

JobRunner::JobRunner(MainWindowLayout& ui, QObject* parent) : QObject(parent), m_ui(ui), m_worker(new Worker(this)) {
  connect(m_worker, &Worker::progress, this, [this](int phase, qint64 done, qint64 total) {
    if (m_progress) m_progress(phase, done, total);
  });
  connect(m_worker, &Worker::finished, this, &JobRunner::onFinished);
  connect(m_ui.elapsedTimer, &QTimer::timeout, this, &JobRunner::ElapsedTimeTimer);
}

JobRunner::~JobRunner() { stopAndWait(); }

std::atomic<bool>& JobRunner::stopFlag(StopFlag flag) {
  switch (flag) {
    case StopFlag::Rebuild:
      return m_rebuildStop;
    case StopFlag::Repair:
      return m_repairStop;
    case StopFlag::Scan:
      break;
  }
  return m_scanStop;
}

bool JobRunner::start(StopFlag flag, Worker::Body body, Progress progress, Done done) {
  if (m_worker->running()) return false;
  // Each run starts unstopped: a 停止 pressed for an earlier run must not stop this one.
  stopFlag(flag) = false;
  m_progress = std::move(progress);
  m_done = std::move(done);
  BeginBusy();
  m_worker->start(std::move(body));
  return true;
}

void JobRunner::stopAndWait() {
  m_closing = true;
  m_scanStop = m_rebuildStop = m_repairStop = true;
  if (m_worker->running()) m_worker->wait();
}

void JobRunner::onFinished() {
  const Done done = std::exchange(m_done, {});
  m_progress = {};
  EndBusy();
  if (done) done();
}

void JobRunner::setWorkControlsEnabled(bool enabled) {
  for (QWidget* w : std::initializer_list<QWidget*>{m_ui.resultTabs, m_ui.sourceEdit, m_ui.browseButton, m_ui.scanButton,
                                                    m_ui.scanFreeOnlyBox, m_ui.rebuildInputList, m_ui.rebuildButton,
                                                    m_ui.addRepairProgramButton, m_ui.repairButton, m_ui.manualList})
    w->setEnabled(enabled);
}

void JobRunner::BeginBusy() {
  setWorkControlsEnabled(false);
  m_timerTicks = 1;
  m_ui.elapsedTimer->start();
  m_busy = true;
  emit busyChanged(true);
}

void JobRunner::EndBusy() {
  setWorkControlsEnabled(true);
  m_ui.elapsedTimer->stop();
  m_ui.remainingTimeLabel->setText(remainingTimeText(std::nullopt));
  m_busy = false;
  emit busyChanged(false);
}

void JobRunner::ElapsedTimeTimer() {
  ++m_timerTicks;
  const QProgressBar* gg = m_ui.scanGauge;
  const auto remaining = RemainingSeconds(std::max(0, gg->value()), gg->maximum(), m_timerTicks);
  if (remaining) m_ui.remainingTimeLabel->setText(remainingTimeText(*remaining));
}

void JobRunner::setGauge(std::int64_t doneBytes, std::int64_t totalBytes) {
  m_gaugeTotal = totalBytes;
  m_gaugeShift = GaugeShift(totalBytes);
  m_ui.scanGauge->setRange(0, std::max(1, GaugeUnits(totalBytes, m_gaugeShift)));
  m_ui.scanGauge->setValue(GaugeUnits(doneBytes, m_gaugeShift));
}

void JobRunner::advanceGauge(std::int64_t doneBytes, std::int64_t totalBytes) {
  // The work knows its own total (an assembled file may lack intervals, a repair adds a
  // stage): the scale follows it.
  if (totalBytes != m_gaugeTotal) setGauge(doneBytes, totalBytes);
  m_ui.scanGauge->setValue(std::min(m_ui.scanGauge->maximum(), GaugeUnits(doneBytes, m_gaugeShift)));
}

}  // namespace kestrix::app
