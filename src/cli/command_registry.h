#pragma once
// kestrix-cli's commands register themselves here, each from its own file:
//
//   static const bool registered = kestrix::cli::registerCommand({"scan", 10, setupScan});
//
// setup adds the command's options to its CLI11 subcommand and returns the function that
// runs the command once the arguments are parsed.

#include <atomic>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace kestrix::cli {

struct CommandContext {
  std::ostream& out;   // results
  std::ostream& err;   // messages, warnings, the progress line goes to the real stderr
  std::atomic<bool>& stop;  // set by Ctrl-C (or a test) to stop the running command
  std::string subject;      // the path the command works on, named by a failure that names none
                            // of its own (memory that ran out)
};

using CommandRun = std::function<int(CommandContext&)>;

struct CommandSpec {
  std::string name;
  int order = 0;  // place in --help
  std::string description;
  std::function<CommandRun(CLI::App& sub)> setup;
};

bool registerCommand(CommandSpec command);
const std::vector<CommandSpec>& registeredCommands();

}  // namespace kestrix::cli
