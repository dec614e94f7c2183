#pragma once
// Runs one piece of long work (a scan, a rebuild, an extraction) off the window's thread.
// The work reports progress through report(), which may be called from the work's thread;
// the window gets it, and the end of the work, through queued signals on its own thread.

#include <QObject>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>

class QThread;

namespace kestrix::app {

class Worker : public QObject {
  Q_OBJECT
 public:
  // phase: the work's own stage number; done and total in the work's units.
  using Report = std::function<void(int phase, std::int64_t done, std::int64_t total)>;
  using Body = std::function<void(const Report& report)>;

  explicit Worker(QObject* parent = nullptr);
  // Waits for running work: the work must have been told to stop (its stop flag) before.
  ~Worker() override;

  // Starts body on a new thread; false (nothing started) while earlier work runs.
  bool start(Body body);
  bool running() const { return m_thread != nullptr; }
  // Blocks until the work has returned, then emits finished() before returning (if it had
  // not been emitted yet). For closing the window.
  void wait();

 signals:
  // Progress of the current work; at most one every 40 ms, and always the last one.
  void progress(int phase, qint64 done, qint64 total);
  // The work has returned; the thread is gone.
  void finished();
  // Internal: progress from the work's thread, tagged with the work it belongs to.
  void progressFrom(quint64 generation, int phase, qint64 done, qint64 total);

 private:
  void collect(quint64 generation);

  QThread* m_thread = nullptr;
  quint64 m_generation = 0;
};

}  // namespace kestrix::app
