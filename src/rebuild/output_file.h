#pragma once
// Writing results: rebuilt PST files, extracted fragments. Every write is checked; every
// failure names the path and the reason.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace kestrix::rebuild {

// Refuses (throws kestrix::Error) an output path that is the source itself (same device and
// inode, also through a link), any existing device node (results are written to files, never
// onto a disk), and, when the source is a block device, a path whose file system lies on that
// device or on the same disk. outputPath may be a folder to be written into. sourceFd is an
// open descriptor of the source or input; -1 skips the tests that need it.
void refuseUnsafeOutput(const std::string& outputPath, int sourceFd, const std::string& sourceName);

// Refuses an output of finalSize bytes of which only allocatedBytes hold data (the rest left
// as holes) when it cannot fit: longer than the destination's file system or the process
// limit allow (probed with a throw-away file of that length), or more than its free space
// (counting the space an existing file of that name gives back). On a file system without
// holes the whole finalSize must fit. Nothing is written when it throws.
void checkRoomFor(const std::string& outputPath, std::int64_t finalSize, std::int64_t allocatedBytes);

class OutputFile {
 public:
  // Creates the file or replaces one of that name (truncated). Throws
  // "Cannot create file "PATH". REASON".
  explicit OutputFile(std::string path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Writes all of data at offset; throws "Cannot write file "PATH" at byte N. REASON".
  void writeAt(std::int64_t offset, std::span<const std::byte> data);
  // Sets the length; bytes added read as zero and take no space where holes are supported.
  void resize(std::int64_t size);
  // Closes and reports a failure of the final write-back; the destructor closes silently.
  void close();

  const std::string& path() const { return m_path; }
  int fd() const { return m_fd; }

 private:
  std::string m_path;
  int m_fd = -1;
};

}  // namespace kestrix::rebuild
