#pragma once
// The one read seam: every byte of a data source (image, volume, disk, rebuild input)
// comes through ByteSource. Implementations never write.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "io/errors.h"

namespace kestrix::scan {

// What a source is on this machine: the numbers stat gives for it (on Windows: the volume
// serial and the file index of GetFileInformationByHandle). The refusals of an output that
// would land on the source start from here (see io/storage.h).
struct FileIdentity {
  bool known = false;             // false for sources that are no file or device (tests, memory)
  std::uint64_t device = 0;       // st_dev: the file system that holds the file or node
  std::uint64_t inode = 0;        // st_ino
  std::uint64_t blockDevice = 0;  // st_rdev of a block device node; 0 for anything else
  std::string devicePath;         // Windows: the \\.\ path of a disk or volume; "" for anything else
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

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
  // errno of the failure that cut the last readAt short, 0 when it was not cut short by an
  // error (it read everything asked, or met the end): the reason a message names.
  virtual int lastError() const { return 0; }
  // What the source is; unknown unless it is a file or a device node.
  virtual FileIdentity identity() const { return {}; }
  // Every file whose bytes the source reads: the source itself, or for a disk image kept in
  // a container all of its files (the segments of a split image, the extents of a VMDK).
  // Nothing may be written onto any of them.
  virtual std::vector<FileIdentity> identities() const {
    const FileIdentity id = identity();
    return id.known ? std::vector<FileIdentity>{id} : std::vector<FileIdentity>{};
  }
  // The container the bytes are read through ("E01", "qcow2", "VMDK", "VHD", "VHDX"); "" for a
  // file or device read as it is.
  virtual std::string container() const { return {}; }
  // Files the source needs that are missing (a segment of a split image set, found missing
  // because segments after it stand there): what they held cannot be read, and reads there
  // fail as unreadable sectors.
  virtual std::vector<std::string> missingFiles() const { return {}; }

  // Where data may lie from offset on: [offset, first) is a hole of a sparse file, which reads
  // as zeros without being stored, and [first, end) is stored data. A source that cannot tell
  // (a device, memory, a file system that keeps no holes) says {offset, size()}.
  struct Stretch {
    std::int64_t first = 0;
    std::int64_t end = 0;
  };
  virtual Stretch dataFrom(std::int64_t offset) { return {offset, size()}; }
};

// A file or device node opened read-only (O_RDONLY | O_CLOEXEC), once. Its size is the file's
// length, or for a device node its whole length (seek to the end). On Windows the path is
// UTF-8 and opened as a wide path; a disk or volume (\\.\PhysicalDriveN, \\.\X:) is read
// in whole sectors into a sector-aligned buffer, and its length is the device's exact length.
class FileByteSource final : public ByteSource {
 public:
  // Throws kestrix::SourceOpenError "Cannot open file "PATH". REASON" when the path cannot be
  // opened or is a folder, and kestrix::Error when it is a pipe, a socket or a character
  // device without a length (a stream, which cannot be read by offset).
  explicit FileByteSource(std::string path);
  ~FileByteSource() override;
  FileByteSource(const FileByteSource&) = delete;
  FileByteSource& operator=(const FileByteSource&) = delete;

  std::int64_t size() const override { return m_size; }
  std::size_t readAt(std::int64_t offset, std::span<std::byte> out) override;
  std::string name() const override { return m_path; }
  int lastError() const override { return m_lastError; }
  FileIdentity identity() const override { return m_identity; }
  // A regular file on Linux: SEEK_DATA and SEEK_HOLE.
  Stretch dataFrom(std::int64_t offset) override;
  // A regular file (not a device, a disk or a volume).
  bool regular() const { return m_regular; }

 private:
  std::string m_path;
  std::intptr_t m_fd = -1;  // a file descriptor, or a Windows HANDLE
  std::int64_t m_size = 0;
  int m_lastError = 0;
  FileIdentity m_identity;
  std::uint32_t m_sectorSize = 0;  // devices on Windows: reads are whole, aligned sectors
  bool m_regular = false;          // a regular file, which may have holes
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

// The runs sorted and merged where they overlap or touch, so that a sector read twice (by
// overlapping stretches) counts once.
std::vector<SectorRun> mergeSectorRuns(std::vector<SectorRun> runs);

// Reads out.size() bytes at offset from a device that answers only whole sectors, at
// sector-aligned offsets, into sector-aligned memory (a disk or volume on Windows): whole
// sectors from the one at or before offset, through an aligned buffer of at most `chunk`
// bytes, never past `size`, and copies out the bytes asked for. raw(at, buffer, length) reads
// and returns the count it read. Returns the count of asked bytes read: short where a raw read
// came back short, or at the end.
using RawRead = std::function<std::size_t(std::int64_t at, std::byte* buffer, std::size_t length)>;
std::size_t readWholeSectors(const RawRead& raw, std::uint32_t sectorSize, std::int64_t size, std::int64_t offset,
                             std::span<std::byte> out, std::size_t chunk = std::size_t(1) << 20);

// Reads exactly out.size() bytes at offset or throws kestrix::Error naming the source,
// the offset and the reason ("truncated" when the source ends first).
void readExactly(ByteSource& src, std::int64_t offset, std::span<std::byte> out);

}  // namespace kestrix::scan
