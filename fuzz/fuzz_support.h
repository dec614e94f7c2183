#pragma once
// Helpers shared by the fuzz targets: a check that aborts with a message (so libFuzzer
// records the input as a crash), and an in-memory source.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "io/byte_source.h"

#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

namespace kestrix::fuzz {

// Serves a byte vector; reads past the end come back short, as from a file.
class MemorySource final : public scan::ByteSource {
 public:
  explicit MemorySource(std::vector<std::byte> bytes) : m_bytes(std::move(bytes)) {}
  std::int64_t size() const override { return std::int64_t(m_bytes.size()); }
  std::size_t readAt(std::int64_t offset, std::span<std::byte> out) override {
    if (offset < 0 || offset >= size()) return 0;
    const std::size_t n = std::min(out.size(), m_bytes.size() - std::size_t(offset));
    std::memcpy(out.data(), m_bytes.data() + offset, n);
    return n;
  }
  std::string name() const override { return "fuzz-input"; }

 private:
  std::vector<std::byte> m_bytes;
};

inline std::vector<std::byte> toBytes(const std::uint8_t* data, std::size_t size) {
  std::vector<std::byte> out(size);
  if (size) std::memcpy(out.data(), data, size);
  return out;
}

}  // namespace kestrix::fuzz
