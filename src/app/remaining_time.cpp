#include "app/remaining_time.h"

#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <limits>

namespace kestrix::app {

std::string SecondsToText(std::int32_t seconds) {
  const std::int32_t s = std::max<std::int32_t>(seconds, 0);
  char text[32];
  if (s < 3600)
    std::snprintf(text, sizeof text, "%d:%02d", int(s / 60), int(s % 60));
  else
    std::snprintf(text, sizeof text, "%d:%02d:%02d", int(s / 3600), int(s / 60 % 60), int(s % 60));
  return text;
}

QString remainingTimeText(std::optional<std::int32_t> seconds) {
  if (!seconds) return QCoreApplication::translate("RemainingTime", "剩余时间: ");
  return QCoreApplication::translate("RemainingTime", "剩余时间: %1").arg(QString::fromStdString(SecondsToText(*seconds)));
}

std::optional<std::int32_t> RemainingSeconds(std::int32_t position, std::int32_t maximum, std::int32_t ticks) {
  if (ticks <= 0) return std::nullopt;
  const std::int32_t rate = position / ticks;
  if (rate == 0) return std::nullopt;
  return std::int32_t((std::int64_t(maximum) - position) / rate);
}

int GaugeShift(std::int64_t totalBytes) {
  int shift = 0;
  std::int64_t units = totalBytes < 0 ? 0 : totalBytes / 1024;
  while (units > std::numeric_limits<std::int32_t>::max()) {
    units >>= 1;
    ++shift;
  }
  return shift;
}

std::int32_t GaugeUnits(std::int64_t bytes, int shift) {
  if (bytes <= 0) return 0;
  const std::int64_t units = (bytes / 1024) >> shift;
  return units > std::numeric_limits<std::int32_t>::max() ? std::numeric_limits<std::int32_t>::max()
                                                         : std::int32_t(units);
}

void StageGauge::update(int stage, std::int64_t done, std::int64_t total) {
  if (stage != m_stage) {
    if (m_stage >= 0) {
      m_before += m_total;
      m_first = false;
    }
    m_stage = stage;
  }
  m_total = std::max<std::int64_t>(total, 0);
  m_done = std::clamp<std::int64_t>(done, 0, m_total);
}

}  // namespace kestrix::app
