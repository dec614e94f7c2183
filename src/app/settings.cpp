#include "app/settings.h"

#include <unistd.h>

#include <QSettings>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "io/errors.h"
#include "sources/program_files.h"

namespace kestrix::app {

namespace fs = std::filesystem;

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

std::optional<std::string> ReadIniValue(const std::string& path, const std::string& section, const std::string& key) {
  const QSettings ini(QString::fromStdString(path), QSettings::IniFormat);
  const QString name = QString::fromStdString(section + "/" + key);
  if (!ini.contains(name)) return std::nullopt;
  return ini.value(name).toString().toStdString();
}

void WriteIniValue(const std::string& path, const std::string& section, const std::string& key,
                   const std::string& value) {
  std::error_code ec;
  const fs::path folder = fs::path(path).parent_path();
  if (!folder.empty()) fs::create_directories(folder, ec);
  if (ec) throw Error(Message{Message::Code::CannotWrite, {path}, ec.value()});
  QSettings ini(QString::fromStdString(path), QSettings::IniFormat);
  ini.setValue(QString::fromStdString(section + "/" + key), QString::fromStdString(value));
  ini.sync();  // writes the whole file anew, through a temporary file beside it
  if (ini.status() == QSettings::AccessError) {
    // QSettings keeps no reason; the system gives it for the file, else for its folder.
    int err = EIO;
    if (::access(path.c_str(), W_OK) != 0 && errno != ENOENT)
      err = errno;
    else if (::access(folder.empty() ? "." : folder.c_str(), W_OK) != 0)
      err = errno;
    throw Error(Message{Message::Code::CannotWrite, {path}, err});
  }
}

}  // namespace kestrix::app
