#pragma once
// cfg.ini: an INI file with [Settings] and Fix=<repair program path>, read and written by
// QSettings in its INI format (other sections and keys are kept). Each read and write opens the
// file by its path and closes it at once; nothing is cached.

#include <optional>
#include <string>

namespace kestrix::app {

// Where cfg.ini lives: in exeDir when that folder is writable and the program is not an
// installed one (sources::installedDataDir), else in $XDG_CONFIG_HOME/kestrix (or
// ~/.config/kestrix when XDG_CONFIG_HOME is unset or relative). On Windows, in exeDir when cfg.ini
// can be written there, else in %APPDATA%\Kestrix.
std::string SettingsPath(const std::string& exeDir);

// The value of key in section; nullopt when the file, the section or the key is missing.
std::optional<std::string> ReadIniValue(const std::string& path, const std::string& section, const std::string& key);

// Sets key in section, keeping every other key; creates the file (and, for the per-user place,
// its folder). Throws kestrix::Error CannotWrite (the path and the system's reason)
// when the file cannot be written.
void WriteIniValue(const std::string& path, const std::string& section, const std::string& key,
                   const std::string& value);

}  // namespace kestrix::app
