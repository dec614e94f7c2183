#include "support/test_support.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <array>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

#include "recover/sample_image.h"
#include "io/errors.h"

namespace kestrix::test {

std::size_t MemorySource::readAt(std::int64_t offset, std::span<std::byte> out) {
  ++reads;
  if (offset < 0 || offset >= size()) return 0;
  const std::size_t n = std::min<std::size_t>(out.size(), m_bytes.size() - std::size_t(offset));
  if (n > 0) std::memcpy(out.data(), m_bytes.data() + offset, n);
  return n;
}

std::size_t FaultySource::readAt(std::int64_t offset, std::span<std::byte> out) {
  calls.emplace_back(offset, out.size());
  std::size_t want = std::min(out.size(), maxRead);
  bool cut = false;
  for (std::int64_t bad : badSectors) {
    const std::int64_t start = bad * 512;
    if (start + 512 > offset && start < offset + std::int64_t(want)) {
      want = std::size_t(std::max<std::int64_t>(0, start - offset));
      cut = true;
    }
  }
  const std::size_t got = m_inner.readAt(offset, out.first(want));
  m_lastError = cut && got == want ? EIO : m_inner.lastError();
  return got;
}

TempDir::TempDir() {
#ifdef _WIN32
  static std::random_device random;
  for (int attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
    const auto candidate = std::filesystem::temp_directory_path() / ("kestrix-test-" + std::to_string(random()));
    if (std::filesystem::create_directory(candidate)) m_path = candidate;
  }
  if (m_path.empty()) throw std::runtime_error("cannot make a temporary folder");
#else
  std::string pattern = (std::filesystem::temp_directory_path() / "kestrix-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  m_path = pattern;
#endif
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

std::string messageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  return "(no error)";
}

int runShell(const std::string& command, std::string* output) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  std::string text;
  std::array<char, 256> buffer{};
  while (std::fgets(buffer.data(), int(buffer.size()), pipe)) text += buffer.data();
  const int status = ::pclose(pipe);
  if (output) *output = text;
#ifdef _WIN32
  return status;
#else
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

std::vector<std::byte> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::vector<char> chars((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::byte> bytes(chars.size());
  if (!chars.empty()) std::memcpy(bytes.data(), chars.data(), chars.size());
  return bytes;
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string text(std::istreambuf_iterator<char>(in), {});
  std::erase(text, '\r');
  return text;
}

void writeFile(const std::string& path, std::span<const std::byte> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string enronPath() { return std::string(KESTRIX_TESTDATA_DIR) + "/enron.pst"; }

const std::vector<std::byte>& enronPst() {
  static const std::vector<std::byte> bytes = readFile(enronPath());
  return bytes;
}

const std::vector<std::byte>& ostSample(int which) {
  const auto unpack = [](int n) {
    TempDir dir;
    const std::string file = dir.file("sample.ost");
    const std::string packed = std::string(KESTRIX_TESTDATA_DIR) + "/ost-sample-" + std::to_string(n) + ".ost.xz";
    if (runShell("xz -dc '" + packed + "' > '" + file + "'") != 0) return std::vector<std::byte>{};
    return readFile(file);
  };
  static const std::vector<std::byte> first = unpack(1);
  if (which == 1) return first;
  static const std::vector<std::byte> second = unpack(2);
  return second;
}

const std::vector<std::byte>& ansiEnron() {
  static const std::vector<std::byte> bytes = [] {
    TempDir dir;
    const std::string file = dir.file("ansi.pst");
    const std::string generate = std::string(KESTRIX_TESTDATA_DIR) + "/../model/pst_generate.py";
    if (runShell("python3 -B '" + generate + "' --layout ansi --input '" + enronPath() + "' -o '" + file + "'") != 0)
      return std::vector<std::byte>{};
    return readFile(file);
  }();
  return bytes;
}

std::vector<std::byte> mapPageAt(std::int64_t fileOffset) { return rebuild::makeMapPage(fileOffset, 1); }

}  // namespace kestrix::test
