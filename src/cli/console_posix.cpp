#include <csignal>

#include "cli/console.h"

namespace kestrix::cli {

namespace {

std::atomic<bool>* g_stop = nullptr;

void onInterrupt(int) {
  if (g_stop->exchange(true)) {
    std::signal(SIGINT, SIG_DFL);
    std::raise(SIGINT);
  }
}

}  // namespace

std::vector<std::string> startConsole(int argc, char** argv, std::atomic<bool>& stop) {
  g_stop = &stop;
  std::signal(SIGINT, onInterrupt);
  return std::vector<std::string>(argv, argv + argc);
}

}  // namespace kestrix::cli
