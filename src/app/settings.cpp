#include "app/settings.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <QSettings>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "io/errors.h"
#include "io/output_names.h"
#include "sources/program_files.h"

namespace kestrix::app {

namespace fs = std::filesystem;

#ifdef _WIN32
std::string SettingsPath(const std::string& exeDir) {
  // cfg.ini beside the program, as a program unpacked from its zip keeps it; where that folder
  // cannot be written, in the user's application data. Whether it can is asked of the file
  // there, else of a probe that is gone when closed: a program only started and closed leaves
  // nothing behind.
  if (!exeDir.empty()) {
    const fs::path beside = rebuild::pathOf(exeDir) / "cfg.ini";
    const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE h = ::CreateFileW(beside.c_str(), FILE_APPEND_DATA, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_FILE_NOT_FOUND) {
      const fs::path probe = rebuild::pathOf(exeDir) / ".kestrix-cfg-probe";
      h = ::CreateFileW(probe.c_str(), GENERIC_WRITE, share, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    }
    if (h != INVALID_HANDLE_VALUE) {
      ::CloseHandle(h);
      return rebuild::textOf(beside);
    }
  }
  const wchar_t* appData = _wgetenv(L"APPDATA");
  const fs::path base = appData && *appData ? fs::path(appData) : fs::temp_directory_path();
  return rebuild::textOf(base / "Kestrix" / "cfg.ini");
}
#else
std::string SettingsPath(const std::string& exeDir) {
  // An installed program never writes beside itself: run as root, it could write into /usr/bin.
  if (!exeDir.empty() && sources::installedDataDir(exeDir).empty() && ::access(exeDir.c_str(), W_OK) == 0)
    return (fs::path(exeDir) / "cfg.ini").string();
  fs::path base;
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg && fs::path(xdg).is_absolute()) {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = fs::path(home && *home ? home : "/tmp") / ".config";
  }
  return (base / "kestrix" / "cfg.ini").string();
}
#endif

std::optional<std::string> ReadIniValue(const std::string& path, const std::string& section, const std::string& key) {
  const QSettings ini(QString::fromStdString(path), QSettings::IniFormat);
  const QString name = QString::fromStdString(section + "/" + key);
  if (!ini.contains(name)) return std::nullopt;
  return ini.value(name).toString().toStdString();
}

void WriteIniValue(const std::string& path, const std::string& section, const std::string& key,
                   const std::string& value) {
  std::error_code ec;
  const fs::path folder = rebuild::pathOf(path).parent_path();
  if (!folder.empty()) fs::create_directories(folder, ec);
  if (ec) throw Error(Message{Message::Code::CannotWrite, {path}, ec.value()});
  QSettings ini(QString::fromStdString(path), QSettings::IniFormat);
  ini.setValue(QString::fromStdString(section + "/" + key), QString::fromStdString(value));
  ini.sync();  // writes the whole file anew, through a temporary file beside it
  if (ini.status() == QSettings::AccessError) {
    // QSettings keeps no reason; the system gives it for the file, else for its folder.
    int err = EIO;
#ifdef _WIN32
    err = EACCES;
#else
    if (::access(path.c_str(), W_OK) != 0 && errno != ENOENT)
      err = errno;
    else if (::access(folder.empty() ? "." : folder.c_str(), W_OK) != 0)
      err = errno;
#endif
    throw Error(Message{Message::Code::CannotWrite, {path}, err});
  }
}

}  // namespace kestrix::app
