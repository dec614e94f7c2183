#pragma once
// Writing results. Every file Kestrix writes goes through OutputFile: its bytes go to a
// temporary file in the target's folder, and only commit() puts them under the target's
// name, whole and on disk. Until then, and whenever a write fails or a run is stopped, the
// target is exactly as it was. Every write is checked; every failure names the path and the
// reason. OutputSet runs the checks that come before any write, once, for all the files of a
// run.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "io/byte_source.h"

namespace kestrix::rebuild {

// Refuses (throws kestrix::Error) an output file that must not be written, before anything
// is: a name that holds a folder, a FIFO, a socket or a device (results are regular files);
// the source file itself, also through a symbolic or hard link; the file behind a loop device
// that is the source (at any depth of stacking); a folder whose file system lies on the source
// (see sources::sourceStorage and sources::writeStorage: the source's disk, a mount of the
// source image through a loop device, a loop device over a file on the source, device-mapper
// and overlay stacks). A symbolic link at the name that leads anywhere else is no reason to
// refuse: the writer replaces the link and never follows it. With a null source only the
// kind of the name is checked.
void refuseUnsafeOutput(const std::string& outputPath, const scan::ByteSource* source);

// The same for a folder to be written into; it need not exist yet (then the nearest folder
// above it that exists decides where it would lie). Refuses a name that exists and is no folder.
void refuseUnsafeFolder(const std::string& folder, const scan::ByteSource* source);

// Refuses an output of finalSize bytes of which only allocatedBytes hold data (the rest left
// as holes) when it cannot fit: longer than the destination's file system or the process
// limit allow (probed with a throw-away file of that length), or more than its free space.
// An existing file of that name gives no space back: it stays until the new one is whole. On
// a file system without holes the whole finalSize must fit. The folder need not exist yet.
// Nothing is written when it throws.
void checkRoomFor(const std::string& outputPath, std::int64_t finalSize, std::int64_t allocatedBytes);

class OutputFile {
 public:
  // Creates the temporary file in the target's folder, which must exist: a file without a
  // name where the file system allows it (O_TMPFILE), else one under a fresh hidden name
  // created with O_EXCL | O_NOFOLLOW. Nothing at path changes until commit(). Throws
  // "Cannot create file "PATH". REASON".
  explicit OutputFile(std::string path);
  // Without commit() the temporary file is removed; path is as it was.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Writes all of data at offset; throws "Cannot write file "PATH" at byte N. REASON".
  void writeAt(std::int64_t offset, std::span<const std::byte> data);
  // Sets the length; bytes added read as zero and take no space where holes are supported.
  void resize(std::int64_t size);
  // The bytes written so far, read back (for checking a result before it is put in place).
  // The reader must not outlive this object; its name is path().
  std::unique_ptr<scan::ByteSource> reader() const;
  // Gives the file another name in the same folder before commit() (the name's own checks
  // are OutputSet's). Throws kestrix::Error for a name in another folder.
  void rename(const std::string& path);
  // Puts the file in place: fsync, rename over the name (whatever it holds; a link there is
  // replaced, not followed), fsync of the folder. Throws "Cannot write file "PATH". REASON",
  // leaving path as it was. Nothing may be written after it.
  void commit();

  const std::string& path() const { return m_path; }
  bool committed() const { return m_committed; }

 private:
  void linkTemporaryName();

  std::string m_path;
  std::string m_name;      // the last part of m_path
  std::intptr_t m_folder = -1;  // the target's folder, open (a descriptor, or a Windows HANDLE)
  std::intptr_t m_fd = -1;
  std::string m_tempName;  // the temporary file's name in the folder, while it has one
  bool m_committed = false;
};

// One planned output: its path, its length in bytes and how many of them hold data (the rest
// are left as holes).
struct OutputTarget {
  std::string path;
  std::int64_t size = 0;
  std::int64_t allocated = 0;
};

// Holds an exclusive lock (flock) on a folder for the life of the object, so that a second
// run writing into the same folder stops with a clear message instead of mixing its files
// with this run's. Throws "Cannot write into folder "DIR". Another run of Kestrix is writing
// into it; ..." when the lock is held elsewhere (also by another object of this process).
// A file system that takes no locks is written without one.
class FolderLock {
 public:
  FolderLock() = default;
  explicit FolderLock(const std::string& folder);
  ~FolderLock();
  FolderLock(FolderLock&& other) noexcept;
  FolderLock& operator=(FolderLock&& other) noexcept;

  bool held() const { return m_fd != -1; }

 private:
  std::intptr_t m_fd = -1;  // the folder, or on Windows the lock file beside the outputs
};

struct OutputSetOptions {
  bool makeFolders = false;  // create the targets' missing folders, after every check
  bool lockFolders = false;  // hold a FolderLock on each target folder while the set lives
};

// The one way a run writes its results: refuse -> check room -> create -> write -> commit.
// The constructor makes every refusal and the room check, for all targets together (their
// data added up per folder), before anything is written; then it creates and locks the
// folders as the options say. open() creates a target's temporary file; commit() puts every
// opened file in place, in target order. A set dropped before commit() leaves every target
// as it was.
class OutputSet {
 public:
  OutputSet(const scan::ByteSource* source, std::vector<OutputTarget> targets, OutputSetOptions options = {});
  ~OutputSet();

  // The output of target i, created on the first call. Throws as OutputFile does.
  OutputFile& open(std::size_t i);
  void commit();

  // A target planned once the run has begun (the repaired copy of a file just written): the
  // same refusals and room check as the constructor's, for this target alone. Returns its
  // index. Nothing is written when it throws.
  std::size_t add(OutputTarget target);
  // Target i is put in place under another name in its folder, after the refusals for it.
  void rename(std::size_t i, const std::string& path);
  // Target i is not put in place: its temporary file goes now.
  void drop(std::size_t i);

  const std::vector<OutputTarget>& targets() const { return m_targets; }

 private:
  const scan::ByteSource* m_source = nullptr;
  std::vector<OutputTarget> m_targets;
  std::vector<FolderLock> m_locks;  // released after the files are gone
  std::vector<std::unique_ptr<OutputFile>> m_files;
};

// The whole of bytes as the file at path, through OutputSet (checks against source, which
// may be null; the folder must exist).
void writeWholeFile(const std::string& path, std::span<const std::byte> bytes, const scan::ByteSource* source);

}  // namespace kestrix::rebuild
