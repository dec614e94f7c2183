#include "app/settings.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <span>
#include <sstream>
#include <vector>

#include "rebuild/output_file.h"
#include "scan/errors.h"
#include "sources/program_files.h"

namespace kestrix::app {

namespace fs = std::filesystem;

namespace {

std::string trim(const std::string& s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string::npos) return {};
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

bool sameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = char(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = char(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

// "[Name]" -> "Name"; nullopt for any other line.
std::optional<std::string> sectionOf(const std::string& line) {
  const std::string t = trim(line);
  if (t.size() < 2 || t.front() != '[' || t.back() != ']') return std::nullopt;
  return trim(t.substr(1, t.size() - 2));
}

std::optional<std::string> keyOf(const std::string& line) {
  const auto eq = line.find('=');
  if (eq == std::string::npos) return std::nullopt;
  return trim(line.substr(0, eq));
}

std::vector<std::string> readLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

}  // namespace

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
  bool inSection = false;
  for (const std::string& line : readLines(path)) {
    if (const auto name = sectionOf(line)) {
      inSection = sameName(*name, section);
      continue;
    }
    if (!inSection) continue;
    const auto k = keyOf(line);
    if (k && sameName(*k, key)) return trim(line.substr(line.find('=') + 1));
  }
  return std::nullopt;
}

void WriteIniValue(const std::string& path, const std::string& section, const std::string& key,
                   const std::string& value) {
  std::vector<std::string> lines = readLines(path);
  const std::string entry = key + "=" + value;
  bool inSection = false, done = false;
  std::size_t sectionEnd = std::string::npos;  // where a missing key goes: after the section's last line
  for (std::size_t i = 0; i < lines.size() && !done; ++i) {
    if (const auto name = sectionOf(lines[i])) {
      if (inSection) break;
      inSection = sameName(*name, section);
      if (inSection) sectionEnd = i + 1;
      continue;
    }
    if (!inSection) continue;
    const auto k = keyOf(lines[i]);
    if (k && sameName(*k, key)) {
      lines[i] = entry;
      done = true;
    } else if (!trim(lines[i]).empty()) {
      sectionEnd = i + 1;
    }
  }
  if (!done) {
    if (sectionEnd == std::string::npos) {
      lines.push_back("[" + section + "]");
      lines.push_back(entry);
    } else {
      lines.insert(lines.begin() + std::ptrdiff_t(sectionEnd), entry);
    }
  }

  std::error_code ec;
  const fs::path parent = fs::path(path).parent_path();
  if (!parent.empty()) fs::create_directories(parent, ec);
  std::ostringstream text;
  for (const std::string& line : lines) text << line << "\r\n";
  const std::string bytes = text.str();
  // Through the one output writer: a full disk or a planted link never leaves half a file or
  // writes anywhere else.
  try {
    rebuild::writeWholeFile(path, std::as_bytes(std::span(bytes.data(), bytes.size())), nullptr);
  } catch (const Error& e) {
    throw Error("Unable to write to " + path + ". " + e.what());
  }
}

}  // namespace kestrix::app
