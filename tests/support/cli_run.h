#pragma once
// Runs kestrix-cli's argument parsing and commands in this process and keeps what they print.

#include <atomic>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"

namespace kestrix::test {

struct CliOutcome {
  int status = -1;
  std::string out, err;
};

// args without the program name; stopped sets the stop flag before the command starts.
inline CliOutcome runCliArgs(std::vector<std::string> args, bool stopped = false) {
  args.insert(args.begin(), "kestrix-cli");
  std::vector<const char*> argv;
  for (const auto& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  std::atomic<bool> stop{stopped};
  CliOutcome r;
  r.status = cli::runCli(int(argv.size()), argv.data(), out, err, stop);
  r.out = out.str();
  r.err = err.str();
  return r;
}

}  // namespace kestrix::test
