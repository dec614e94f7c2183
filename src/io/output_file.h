#pragma once
// Writing results. Every file Kestrix writes goes through OutputFile: its bytes go to a
// temporary file in the target's folder, and only commit() puts them under the target's
// name, whole and on disk. Until then, and whenever a write fails or a run is stopped, the
// target is exactly as it was. Every write is checked; every failure names the path and the
// reason. OutputSet runs the checks that come before any write, once, for all the files of a
// run.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "io/byte_source.h"
#include "io/storage.h"

namespace kestrix::rebuild {

// Refuses (throws kestrix::Error) an output file that must not be written, before anything
// is: a name that holds a folder, a FIFO, a socket or a device, or a link to one (results are
// regular files: -o /dev/stdout to a pipe is refused, not replaced); the source file itself, also through a symbolic or hard link; the file behind a loop device
// that is the source (at any depth of stacking); a folder whose file system lies on the source
// (see sources::sourceStorage and sources::writeStorage: the source's disk, a mount of the
// source image through a loop device, a loop device over a file on the source, device-mapper
// and overlay stacks, a FUSE mount of the source image); a folder on a FUSE mount whose storage
// cannot be established; a folder of the kernel's own file systems (/dev, /proc, /sys). A
// symbolic link at the name that leads to another regular file (or nowhere) is no reason to
// refuse: the writer replaces the link and never follows it. With a null source only the
// kind of the name and its folder's file system are checked.
void refuseUnsafeOutput(const std::string& outputPath, const scan::ByteSource* source);

// The same for a folder to be written into; it need not exist yet (then the nearest folder
// above it that exists decides where it would lie). Refuses a name that exists and is no folder.
void refuseUnsafeFolder(const std::string& folder, const scan::ByteSource* source);

// Refuses an output of finalSize bytes of which only allocatedBytes hold data (the rest left
// as holes) when it cannot fit: longer than the destination's file system or the process
// limit allow (probed with a throw-away file of that length), or more than its free space
// once plannedBefore bytes of other files of the run are written there (the message names
// this file's own size and the room left for it after those).
// An existing file of that name gives no space back: it stays until the new one is whole. On
// a file system without holes the whole finalSize must fit. The folder need not exist yet.
// Nothing is written when it throws.
void checkRoomFor(const std::string& outputPath, std::int64_t finalSize, std::int64_t allocatedBytes,
                  std::int64_t plannedBefore = 0);

class OutputFile;

// Holds an exclusive lock (flock) on a folder for the life of the object, so that a second
// run writing into the same folder stops with a clear message instead of mixing its files
// with this run's. Throws "Cannot write into folder "DIR". Another run of Kestrix is writing
// into it; ..." when the lock is held elsewhere (also by another object of this process).
// A file system that takes no locks is written without one. On Windows the lock is a hidden
// file `.kestrix-lock` made new in the folder, that nobody else may open and that goes when its
// handle closes; a file of that name that Kestrix did not make is never opened for deleting:
// the folder is refused while it stands there.
class FolderLock {
 public:
  FolderLock() = default;
  explicit FolderLock(const std::string& folder);
  FolderLock(std::intptr_t folder, const std::string& path);  // the folder already open
  ~FolderLock();
  FolderLock(FolderLock&& other) noexcept;
  FolderLock& operator=(FolderLock&& other) noexcept;

  bool held() const { return m_fd != -1; }

 private:
  std::intptr_t m_fd = -1;  // the folder, or on Windows the lock file beside the outputs
};

// A folder that results are written into, opened once: every file of a run is created, linked
// and renamed relative to it, never by its path again, so that a folder swapped for a link
// after the checks changes nothing (on Windows the folder stays open without FILE_SHARE_DELETE
// and cannot be swapped). The checks of where its files land are made on the open folder.
class OutputFolder {
 public:
  // Opens the folder at path (a link there is followed once, now). Throws FolderRefused.
  explicit OutputFolder(std::string path);
  ~OutputFolder();
  OutputFolder(const OutputFolder&) = delete;
  OutputFolder& operator=(const OutputFolder&) = delete;

  const std::string& path() const { return m_path; }
  std::intptr_t handle() const { return m_handle; }

  // Refuses (throws, naming output) writing here when the open folder is a kernel file system
  // (/dev, /proc ...), when its files land on sourceSet (the source's storage), or, with a
  // source, when they land on a FUSE mount whose storage cannot be established.
  void refuseFor(const std::string& output, const scan::ByteSource* source,
                 const sources::StorageSet& sourceSet) const;
  // Takes the folder's lock (FolderLock) unless held, and then removes the part files that a
  // run killed before it could (on file systems without O_TMPFILE) left here.
  void lock();
  bool locked() const { return m_lock.held(); }
  // Files made here take the folder's group and its read and write bits instead of 0600 (for
  // a folder shared on purpose); where the group cannot be given, they stay the owner's alone.
  // On Windows files take the folder's permissions in any case.
  void giveFilesFolderMode() { m_folderMode = true; }
  bool filesTakeFolderMode() const { return m_folderMode; }

 private:
  void removeLeftovers();

  std::string m_path;
  std::intptr_t m_handle = -1;  // a descriptor, or a Windows HANDLE
  FolderLock m_lock;
  bool m_folderMode = false;
};

// A moment of the writer that a test can act at (swap a folder, plant a name), in order, not
// by timing: Created after a file's temporary file is made, Committing before a file is put in
// place. The hook runs on the writing thread; nullptr removes it. For tests only.
enum class WriterStep { Created, Committing };
using WriterHook = std::function<void(WriterStep, const std::string& path)>;
void setWriterHook(WriterHook hook);

class OutputFile {
 public:
  // Creates the temporary file in the folder, under the name's last part (the name's folder
  // must be the folder's path): a file without a name where the file system allows it
  // (O_TMPFILE), else one under a fresh hidden name created with O_EXCL | O_NOFOLLOW; mode 0600,
  // as it holds someone's mail. Nothing at path changes until commit(). Throws "Cannot create
  // file "PATH". REASON".
  OutputFile(std::shared_ptr<OutputFolder> folder, std::string path);
  // The same in path's folder, opened for this file alone.
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
  // The reader must not outlive this object nor be used after finish(); its name is path().
  std::unique_ptr<scan::ByteSource> reader() const;
  // Gives the file another name in the same folder before commit() (the name's own checks
  // are OutputSet's). Throws kestrix::Error for a name in another folder.
  void rename(const std::string& path);
  // Done writing: the data is synced, the file gets its hidden name and its descriptor is
  // closed, so that a run of many files holds few open. Nothing may be written after it.
  void finish();
  // Puts the file in place: finish(), rename over the name (whatever it holds; a link there is
  // replaced, not followed), fsync of the folder. Throws "Cannot write file "PATH". REASON",
  // leaving path as it was. Nothing may be written after it.
  void commit();

  // For a set committed together: keepPrevious() keeps what stands at the name under a hidden
  // name before commit() (where the file system takes hard links); restorePrevious() puts it
  // back after commit() (or removes the new file where nothing stood), returning false when it
  // cannot; dropPrevious() lets it go once the whole set is in place.
  void keepPrevious();
  bool restorePrevious();
  void dropPrevious();

  const std::string& path() const { return m_path; }
  bool committed() const { return m_committed; }

 private:
  void create();
  void linkTemporaryName();

  std::string m_path;
  std::string m_name;      // the last part of m_path
  std::shared_ptr<OutputFolder> m_folder;
  std::intptr_t m_fd = -1;
  std::string m_tempName;  // the temporary file's name in the folder, while it has one
  std::string m_previous;  // keepPrevious(): the hidden name of what stood at m_name
  bool m_hadPrevious = false;  // something stood at m_name when keepPrevious() looked
  bool m_committed = false;
};

// One planned output: its path, its length in bytes and how many of them hold data (the rest
// are left as holes).
struct OutputTarget {
  std::string path;
  std::int64_t size = 0;
  std::int64_t allocated = 0;
};

struct OutputSetOptions {
  bool makeFolders = false;  // create the targets' missing folders, after every check
  // Folders the caller opened (and locked) already, before a long scan: a target in one of
  // them is written through it.
  std::vector<std::shared_ptr<OutputFolder>> folders;
  bool folderMode = false;  // files take their folder's group and mode (giveFilesFolderMode)
};

// The one way a run writes its results: refuse -> check room -> create -> write -> commit.
// The constructor makes every refusal and the room check, for all targets together (each file
// checked with the data of the files before it in its folder), before anything is written;
// then it creates the folders as the options say, opens each folder once, checks it again
// open, and locks it. open() creates a target's temporary file; finish() closes the files
// written so far; commit() puts every opened file in place, in target order, together: when
// one cannot be put in place, those put in place before it are put back as they were, and the
// error says so (or names those that could not be). A set dropped before commit() leaves every
// target as it was.
class OutputSet {
 public:
  OutputSet(const scan::ByteSource* source, std::vector<OutputTarget> targets, OutputSetOptions options = {});
  ~OutputSet();

  // The output of target i, created on the first call. Throws as OutputFile does.
  OutputFile& open(std::size_t i);
  // Every file opened so far is written: synced and closed until the commit.
  void finish();
  void commit();

  // A target planned once the run has begun (the repaired copy of a file just written): the
  // same refusals and room check as the constructor's, for this target alone, in a folder of
  // the set. Returns its index. Nothing is written when it throws.
  std::size_t add(OutputTarget target);
  // Target i is put in place under another name in its folder, after the refusals for it.
  void rename(std::size_t i, const std::string& path);
  // Target i is not put in place: its temporary file goes now.
  void drop(std::size_t i);

  const std::vector<OutputTarget>& targets() const { return m_targets; }

 private:
  std::shared_ptr<OutputFolder> folderFor(const std::string& path) const;

  const scan::ByteSource* m_source = nullptr;
  sources::StorageSet m_sourceSet;
  std::vector<OutputTarget> m_targets;
  std::vector<std::shared_ptr<OutputFolder>> m_folders;  // released after the files are gone
  std::vector<std::unique_ptr<OutputFile>> m_files;
};

// Refuses (throws OutputIsInput) an output that is one of the inputs of the same command, or
// that another output names too, by file identity and by path, before anything is written:
// a later input must not be replaced before it is read.
void refuseOutputsOverInputs(const std::vector<std::string>& outputs, const std::vector<std::string>& inputs);

// The whole of bytes as the file at path, through OutputSet (checks against source, which
// may be null; the folder must exist).
void writeWholeFile(const std::string& path, std::span<const std::byte> bytes, const scan::ByteSource* source);

}  // namespace kestrix::rebuild
