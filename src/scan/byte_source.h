#pragma once
// The one read seam: every byte of a data source (image, volume, disk, rebuild input)
// comes through ByteSource. Implementations never write.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "scan/errors.h"

namespace kestrix::scan {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Length of the source in bytes.
  virtual std::int64_t size() const = 0;
  // Reads up to out.size() bytes at offset; returns the count read. The count is short at
  // the end of the source or where a stretch cannot be read; the caller then asks again
  // sector by sector to tell which sectors are unreadable. Never throws for a read error.
  virtual std::size_t readAt(std::int64_t offset, std::span<std::byte> out) = 0;
  // Name used in messages (a path).
  virtual std::string name() const = 0;
};

// A file or device node opened read-only (O_RDONLY | O_CLOEXEC). Its size is the file's
// length, or for a device node its whole length (seek to the end).
class FileByteSource final : public ByteSource {
 public:
  // Throws kestrix::Error "Cannot open file "PATH". REASON" when the path cannot be opened.
  explicit FileByteSource(std::string path);
  ~FileByteSource() override;
  FileByteSource(const FileByteSource&) = delete;
  FileByteSource& operator=(const FileByteSource&) = delete;

  std::int64_t size() const override { return m_size; }
  std::size_t readAt(std::int64_t offset, std::span<std::byte> out) override;
  std::string name() const override { return m_path; }
  int fd() const { return m_fd; }
  // errno of the last failed read, 0 when none failed.
  int lastError() const { return m_lastError; }

 private:
  std::string m_path;
  int m_fd = -1;
  std::int64_t m_size = 0;
  int m_lastError = 0;
};

// A run of consecutive sectors that could not be read.
struct SectorRun {
  std::int64_t first = 0;
  std::int64_t count = 0;
  friend bool operator==(const SectorRun&, const SectorRun&) = default;
};

// Reads out.size() bytes at a sector-aligned offset. Where the read comes back short, the
// rest is read again sector by sector; a sector that still fails (or lies past the end) is
// filled with zeros and, when it is a whole sector, appended to unreadable (adjacent sectors
// merge into one run). A zero-filled sector never passes the map-page test.
void readSectorsRetrying(ByteSource& src, std::int64_t offset, std::span<std::byte> out,
                         std::vector<SectorRun>& unreadable);

// Reads exactly out.size() bytes at offset or throws kestrix::Error naming the source,
// the offset and the reason ("truncated" when the source ends first).
void readExactly(ByteSource& src, std::int64_t offset, std::span<std::byte> out);

}  // namespace kestrix::scan
