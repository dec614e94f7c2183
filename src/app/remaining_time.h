#pragma once
// The remaining-time display and the gauge's scale, apart from the widgets.

#include <cstdint>
#include <optional>
#include <string>

namespace kestrix::app {

// "M : S" with M = s div 60 and S = s mod 60, both truncating toward zero, no leading zeros
// and no hours: 59 -> "0 : 59", 125 -> "2 : 5", 3600 -> "60 : 0".
std::string SecondsToText(std::int32_t seconds);

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

}  // namespace kestrix::app
