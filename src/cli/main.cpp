#include <iostream>

#include "cli/commands.h"
#include "cli/console.h"

int main(int argc, char** argv) {
  static std::atomic<bool> stop{false};
  const std::vector<std::string> args = kestrix::cli::startConsole(argc, argv, stop);
  std::vector<const char*> pointers;
  for (const std::string& a : args) pointers.push_back(a.c_str());
  return kestrix::cli::runCli(int(pointers.size()), pointers.data(), std::cout, std::cerr, stop);
}
