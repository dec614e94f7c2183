#include "cli/progress.h"

#include <unistd.h>

#include <cstdio>

namespace kestrix::cli {

ProgressLine::ProgressLine(std::string label, bool enabled)
    : m_label(std::move(label)), m_enabled(enabled && stderrIsTerminal()), m_start(std::chrono::steady_clock::now()) {}

ProgressLine::~ProgressLine() { finish(); }

bool ProgressLine::stderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

std::string clockText(std::int64_t seconds) {
  char text[32];
  if (seconds >= 3600)
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", (long long)(seconds / 3600), (long long)(seconds / 60 % 60),
                  (long long)(seconds % 60));
  else
    std::snprintf(text, sizeof text, "%lld:%02lld", (long long)(seconds / 60), (long long)(seconds % 60));
  return text;
}

void ProgressLine::update(std::int64_t done, std::int64_t total, bool bytesUnit) {
  if (!m_enabled) return;
  const auto now = std::chrono::steady_clock::now();
  if (m_drawn && now - m_lastDraw < std::chrono::milliseconds(200) && done < total) return;
  m_lastDraw = now;
  const double seconds = std::chrono::duration<double>(now - m_start).count();
  const double percent = total > 0 ? 100.0 * double(done) / double(total) : 100.0;
  std::string line = m_label + "  " + std::to_string(int(percent)) + "." + std::to_string(int(percent * 10) % 10) + "%";
  if (bytesUnit && seconds > 0.05) {
    char rate[32];
    std::snprintf(rate, sizeof rate, "  %.1f MB/s", double(done) / 1e6 / seconds);
    line += rate;
  }
  if (done > 0 && total > done && seconds > 0.5)
    line += "  " + clockText(std::int64_t(seconds * double(total - done) / double(done) + 0.5)) + " left";
  std::fprintf(stderr, "\r%-72s", line.c_str());
  std::fflush(stderr);
  m_drawn = true;
}

void ProgressLine::setLabel(const std::string& label) {
  if (label == m_label) return;
  m_label = label;
  m_start = std::chrono::steady_clock::now();
  m_drawn = m_drawn && m_enabled;
}

void ProgressLine::finish() {
  if (!m_drawn) return;
  std::fprintf(stderr, "\r%-72s\r", "");
  std::fflush(stderr);
  m_drawn = false;
}

}  // namespace kestrix::cli
