#include <csignal>
#include <iostream>

#include "cli/commands.h"

namespace {

std::atomic<bool> g_stop{false};

// The first Ctrl-C asks the running command to stop after its current unit of work, so a
// scan still lists what it found; a second one ends the program at once.
void onInterrupt(int) {
  if (g_stop.exchange(true)) {
    std::signal(SIGINT, SIG_DFL);
    std::raise(SIGINT);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGINT, onInterrupt);
  return kestrix::cli::runCli(argc, argv, std::cout, std::cerr, g_stop);
}
