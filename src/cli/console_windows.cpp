#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "cli/console.h"
#include "io/win32.h"

#include <shellapi.h>

namespace kestrix::cli {

namespace {

std::atomic<bool>* g_stop = nullptr;

// Runs on a thread of its own. TRUE: handled, the program goes on to stop by itself; FALSE on
// a second Ctrl-C lets the default handler end the process.
BOOL WINAPI onControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  return g_stop->exchange(true) ? FALSE : TRUE;
}

}  // namespace

std::vector<std::string> startConsole(int argc, char** argv, std::atomic<bool>& stop) {
  g_stop = &stop;
  ::SetConsoleCtrlHandler(onControl, TRUE);
  ::SetConsoleOutputCP(CP_UTF8);
  // The engine's text is UTF-8 with LF line ends, written as it is: the console shows LF as a
  // new line, and a redirected output gets the same bytes as on Linux.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  int count = 0;
  wchar_t** wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(win32::narrow(wide[i]));
  ::LocalFree(wide);
  return args;
}

}  // namespace kestrix::cli
