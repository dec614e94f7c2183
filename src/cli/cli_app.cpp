#include <CLI/CLI.hpp>

#include <algorithm>

#include "build_info.h"
#include "cli/command_registry.h"
#include "cli/commands.h"
#include "io/errors.h"

namespace kestrix::cli {

namespace {

std::vector<CommandSpec>& registry() {
  static std::vector<CommandSpec> commands;
  return commands;
}

}  // namespace

bool registerCommand(CommandSpec command) {
  registry().push_back(std::move(command));
  return true;
}

const std::vector<CommandSpec>& registeredCommands() {
  auto& commands = registry();
  std::stable_sort(commands.begin(), commands.end(), [](const auto& a, const auto& b) { return a.order < b.order; });
  return commands;
}

int runCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err, std::atomic<bool>& stop) {
  CLI::App app{"kestrix-cli: finds PST files on disks, volumes and images, and rebuilds them from fragments"};
  app.name("kestrix-cli");
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("kestrix-cli ") + kVersion);
  // Options begin with - on every platform: /data/x.img is a path on Windows too (CLI11 would
  // take it for an option there), and the subcommands inherit this.
  app.allow_windows_style_options(false);

  std::vector<std::pair<CLI::App*, CommandRun>> commands;
  for (const auto& command : registeredCommands()) {
    CLI::App* sub = app.add_subcommand(command.name, command.description);
    commands.emplace_back(sub, command.setup(*sub));
  }

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return kExitOk;
  } catch (const CLI::CallForAllHelp&) {
    out << app.help("", CLI::AppFormatMode::All);
    return kExitOk;
  } catch (const CLI::CallForVersion& e) {
    out << e.what() << '\n';
    return kExitOk;
  } catch (const CLI::ParseError& e) {
    err << "kestrix-cli: " << e.what() << "\nRun with --help for more information.\n";
    return kExitUsage;
  }

  CommandContext context{out, err, stop, {}};
  try {
    for (auto& [sub, run] : commands)
      if (*sub) return run(context);
  } catch (const std::exception& e) {
    err << englishText(messageOf(e, context.subject)) << '\n';
    return kExitError;
  }
  return kExitUsage;
}

}  // namespace kestrix::cli
