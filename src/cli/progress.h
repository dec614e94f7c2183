#pragma once
// The progress line on stderr: percent, throughput and time left, redrawn a few times a
// second, only when stderr is a terminal and --quiet is not given.

#include <chrono>
#include <cstdint>
#include <string>

namespace kestrix::cli {

class ProgressLine {
 public:
  ProgressLine(std::string label, bool enabled);
  ~ProgressLine();
  // done and total in bytes (or any unit when bytesUnit is false: no MB/s then).
  void update(std::int64_t done, std::int64_t total, bool bytesUnit = true);
  // Changes the label; a new label starts a new measurement of rate and time left.
  void setLabel(const std::string& label);
  // Clears the line.
  void finish();

  static bool stderrIsTerminal();

 private:
  std::string m_label;
  bool m_enabled;
  bool m_drawn = false;
  std::chrono::steady_clock::time_point m_start;
  std::chrono::steady_clock::time_point m_lastDraw;
};

// "1:35" / "1:02:03" for a count of seconds.
std::string clockText(std::int64_t seconds);

}  // namespace kestrix::cli
