#pragma once
// Fixtures for the tests: in-memory sources, a source that fails on cue, temporary folders.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "io/byte_source.h"
#include "io/output_names.h"

namespace kestrix::test {

class MemorySource : public scan::ByteSource {
 public:
  explicit MemorySource(std::vector<std::byte> bytes, std::string name = "memory.img")
      : m_bytes(std::move(bytes)), m_name(std::move(name)) {}
  std::int64_t size() const override { return std::int64_t(m_bytes.size()); }
  std::size_t readAt(std::int64_t offset, std::span<std::byte> out) override;
  std::string name() const override { return m_name; }
  std::vector<std::byte>& bytes() { return m_bytes; }
  int reads = 0;

 private:
  std::vector<std::byte> m_bytes;
  std::string m_name;
};

// Wraps a source: returns at most maxRead bytes per call (short reads), stops before any
// sector in badSectors, and can claim a size larger than the data (a source that shrank).
class FaultySource : public scan::ByteSource {
 public:
  explicit FaultySource(scan::ByteSource& inner) : m_inner(inner) {}
  std::int64_t size() const override { return claimedSize >= 0 ? claimedSize : m_inner.size(); }
  std::size_t readAt(std::int64_t offset, std::span<std::byte> out) override;
  std::string name() const override { return m_inner.name(); }
  // EIO after a read that a bad sector cut short; else what the inner source says.
  int lastError() const override { return m_lastError; }
  Stretch dataFrom(std::int64_t offset) override { return m_inner.dataFrom(offset); }

  std::size_t maxRead = SIZE_MAX;
  std::set<std::int64_t> badSectors;
  std::int64_t claimedSize = -1;
  std::vector<std::pair<std::int64_t, std::size_t>> calls;  // offset, requested length

 private:
  scan::ByteSource& m_inner;
  int m_lastError = 0;
};

// A folder removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return m_path; }
  // The path of `name` in the folder, in UTF-8 as the engine takes paths (on Windows too, where
  // a plain std::string of a path is in the ANSI code page).
  std::string file(const std::string& name) const { return rebuild::textOf(m_path / rebuild::pathOf(name)); }

 private:
  std::filesystem::path m_path;
};

// The message of the kestrix::Error that f throws, or "(no error)".
std::string messageOf(const std::function<void()>& f);

// Runs a shell command; returns its exit status (-1 when it did not exit) and, in output,
// what it printed on both streams.
int runShell(const std::string& command, std::string* output = nullptr);

std::vector<std::byte> readFile(const std::string& path);
// A file's text with its line ends as "\n", whichever the system writes ("" when it cannot be read).
std::string readText(const std::string& path);
void writeFile(const std::string& path, std::span<const std::byte> bytes);

// The shipped sample mailbox: 13,984,768 bytes, map intervals with IDs 0 to 54.
const std::vector<std::byte>& enronPst();
std::string enronPath();

// A shipped file of the 4 KiB-page layout (ost-sample-1 or -2, 16,818,176 bytes each),
// unpacked once with xz (xz-utils); empty when xz fails.
const std::vector<std::byte>& ostSample(int which = 1);

// The sample mailbox written anew in the ANSI layout by tests/model/pst_generate.py
// (12,968,960 bytes, its 71 messages), generated once; empty when python3 fails.
const std::vector<std::byte>& ansiEnron();

// A 512-byte page that passes the map-page test, recording the given file offset.
std::vector<std::byte> mapPageAt(std::int64_t fileOffset);

}  // namespace kestrix::test
