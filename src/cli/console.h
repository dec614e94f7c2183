#pragma once
// What the program asks of the terminal before a command runs: Ctrl-C, and the arguments as
// UTF-8. The first Ctrl-C asks the running command to stop after its current unit of work, so
// a scan still lists what it found; a second one ends the program at once.
// console_posix.cpp: SIGINT. console_windows.cpp: SetConsoleCtrlHandler, UTF-8 output
// (SetConsoleOutputCP), the wide command line, and output without CR LF translation.

#include <atomic>
#include <string>
#include <vector>

namespace kestrix::cli {

std::vector<std::string> startConsole(int argc, char** argv, std::atomic<bool>& stop);

}  // namespace kestrix::cli
