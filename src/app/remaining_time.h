#pragma once
// The remaining-time display and the gauge's scale, apart from the widgets.

#include <cstdint>
#include <optional>
#include <string>

#include <QString>

namespace kestrix::app {

// "M:SS" below an hour, "H:MM:SS" from an hour on; negative counts as 0:
// 59 -> "0:59", 125 -> "2:05", 3600 -> "1:00:00".
std::string SecondsToText(std::int32_t seconds);

// The status bar's panel: "剩余时间: " with the estimate when there is one (in the window's
// language).
QString remainingTimeText(std::optional<std::int32_t> seconds);

// The estimate made at a timer tick, with ticks already advanced: rate = position div ticks
// (gauge units per second); nullopt when the rate is 0 (the panel keeps its text), else
// (maximum - position) div rate seconds.
std::optional<std::int32_t> RemainingSeconds(std::int32_t position, std::int32_t maximum, std::int32_t ticks);

// The gauge counts KiB of the source; for sources whose KiB count does not fit a signed
// 32-bit gauge (2 TiB and more) each gauge unit is 1024 << shift bytes, the smallest shift
// that keeps the maximum in range. The remaining-time estimate uses one scale throughout, so
// the scale cancels out of it.
int GaugeShift(std::int64_t totalBytes);
std::int32_t GaugeUnits(std::int64_t bytes, int shift);

// One gauge over a job that runs in stages, each counting its own bytes from 0 (恢复文件:
// write, check, and repair when the check finds damage). The position never runs back: a
// stage starts where the one before ended. While the first stage runs, `ahead` bytes of later
// work are counted in the total (the check of the file being written); once a later stage
// begins, the total is what has been done plus what that stage has left. A repair adds a
// stage the start could not know of: the total grows then, and the position stays.
class StageGauge {
 public:
  explicit StageGauge(std::int64_t ahead = 0) : m_ahead(ahead) {}
  void update(int stage, std::int64_t done, std::int64_t total);
  std::int64_t done() const { return m_before + m_done; }
  std::int64_t total() const { return m_before + m_total + (m_first ? m_ahead : 0); }

 private:
  std::int64_t m_ahead;
  int m_stage = -1;
  bool m_first = true;
  std::int64_t m_before = 0;  // bytes of the stages already ended
  std::int64_t m_done = 0, m_total = 0;
};

}  // namespace kestrix::app
