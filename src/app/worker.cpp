#include "app/worker.h"

#include <QThread>

#include <memory>

namespace kestrix::app {

Worker::Worker(QObject* parent) : QObject(parent) {
  connect(this, &Worker::progressFrom, this,
          [this](quint64 generation, int phase, qint64 done, qint64 total) {
            if (generation == m_generation && m_thread) emit progress(phase, done, total);
          },
          Qt::QueuedConnection);
}

Worker::~Worker() {
  if (m_thread) {
    m_thread->wait();
    delete m_thread;
  }
}

bool Worker::start(Body body) {
  if (m_thread) return false;
  const quint64 generation = ++m_generation;
  // The throttle state belongs to this one run; only the work touches it, one call at a time
  // (a pass over the source reports from whichever of its threads has the reading turn).
  auto last = std::make_shared<std::chrono::steady_clock::time_point>();
  Report report = [this, generation, last](int phase, std::int64_t done, std::int64_t total) {
    const auto now = std::chrono::steady_clock::now();
    if (done < total && now - *last < std::chrono::milliseconds(40)) return;
    *last = now;
    emit progressFrom(generation, phase, done, total);
  };
  m_thread = QThread::create([body = std::move(body), report = std::move(report)] { body(report); });
  connect(m_thread, &QThread::finished, this, [this, generation] { collect(generation); }, Qt::QueuedConnection);
  m_thread->start();
  return true;
}

void Worker::wait() { collect(m_generation); }

void Worker::collect(quint64 generation) {
  // A late notice of work already collected by wait() must not touch newer work.
  if (!m_thread || generation != m_generation) return;
  m_thread->wait();
  delete m_thread;
  m_thread = nullptr;
  emit finished();
}

}  // namespace kestrix::app
