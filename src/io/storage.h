#pragma once
// Where bytes live on this machine: the platform's answers that the output writer needs
// before it writes anything. This file and its implementations (storage_linux.cpp,
// storage_windows.cpp) are the only places the engine asks the system about devices, mounts
// and file systems (Linux: sysfs, mountinfo, loop ioctls, statfs, pathconf; Windows: volume
// mount points, disk extents, volume information); the writer itself only opens, writes,
// syncs and renames.

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "io/byte_source.h"

namespace kestrix::sources {

// Block devices (by device number; on Windows physical disks by number) and files (by device
// and inode; on Windows volume serial and file index) whose contents hold some bytes in question.
struct StorageSet {
  std::set<std::uint64_t> devices;
  std::set<std::pair<std::uint64_t, std::uint64_t>> files;  // (st_dev, st_ino)
  // FUSE mounts on the way whose storage cannot be established (a source that is no path to a
  // file or a block device): their mount sources, as mountinfo names them. Where such a mount
  // keeps its bytes, the source among them, is not known.
  std::vector<std::string> unknownMounts;

  bool holdsFile(std::uint64_t device, std::uint64_t inode) const { return files.count({device, inode}) > 0; }
  // True when the two sets share a device or a file.
  bool meets(const StorageSet& other) const {
    for (std::uint64_t d : devices)
      if (other.devices.count(d)) return true;
    for (const auto& f : files)
      if (other.files.count(f)) return true;
    return false;
  }
};

// Where the answers come from; tests point them at a tree of their own.
struct StorageRoots {
  std::string sysDevBlock = "/sys/dev/block";  // "major:minor" links to the devices' sysfs folders
  std::string devDir = "/dev";                  // device nodes, for asking a loop device its file
  std::string mountInfo = "/proc/self/mountinfo";
};

// What holds a source's bytes, and so must not be written while it is read:
// - a file: that file (not its file system: writing another file there leaves it alone);
// - a block device: the device, the whole disk of a partition (the disk's other partitions
//   count as the source, as writing next to the data still to be read is not safe), the
//   devices under a device-mapper or md device, and the file behind a loop device, at every
//   depth of such stacking.
// An unknown identity gives the empty set.
StorageSet sourceStorage(const scan::FileIdentity& source, const StorageRoots& roots = {});

// What holds the bytes of a source that reads several files (the segments of a split disk
// image, the extents of a VMDK): sourceStorage of each of them together.
inline StorageSet sourceStorage(const scan::ByteSource& source, const StorageRoots& roots = {}) {
  StorageSet all;
  for (const scan::FileIdentity& id : source.identities()) {
    StorageSet one = sourceStorage(id, roots);
    all.devices.insert(one.devices.begin(), one.devices.end());
    all.files.insert(one.files.begin(), one.files.end());
    all.unknownMounts.insert(all.unknownMounts.end(), one.unknownMounts.begin(), one.unknownMounts.end());
  }
  return all;
}

// Where a file written into a folder on file system `device` (the folder's st_dev) lands:
// that device with the same rule as above, and further through the file behind each loop
// device to the device holding that file; a mount without a block device of its own is
// followed through /proc/self/mountinfo to its source device, or for overlay to its upper
// and work folders. A FUSE mount (fuse, fuseblk, fuse.*) whose source is a path is followed to
// that block device or file (an image mounted with ntfs-3g or fuse2fs: the image is where its
// files land); one whose source is no such path goes into unknownMounts.
StorageSet writeStorage(std::uint64_t device, const StorageRoots& roots = {});

// Where a file written into an existing folder lands: writeStorage of the folder's file
// system on Linux; on Windows the physical disks under the folder's volume (GetVolumePathNameW,
// then the volume's disk extents), none for a volume without disk extents (a network share).
StorageSet folderStorage(const std::string& folder);
// The same for a folder already open (a descriptor, or on Windows a HANDLE), so that the check
// is made on the folder that will be written into, whatever its path leads to later.
StorageSet openFolderStorage(std::intptr_t folder, const std::string& path);

// Whether a folder belongs to the system's kernel file systems (/dev, /proc, /sys and the like),
// where no result goes: a name there (/dev/stdout) is the system's, never a file to replace.
bool kernelFolder(std::intptr_t folder);

// What a path is: a regular file (or a link, or nothing), or something no result is written to.
enum class PathKind { File, Folder, Fifo, Socket, Device };

// The word a message carries for a kind ("folder", "fifo", "socket", "device"; "" for File),
// which the command line and the window each put in their own words.
inline const char* pathKindCode(PathKind kind) {
  switch (kind) {
    case PathKind::Folder: return "folder";
    case PathKind::Fifo: return "fifo";
    case PathKind::Socket: return "socket";
    case PathKind::Device: return "device";
    case PathKind::File: break;
  }
  return "";
}

// What is at a path now, without following a link there (a symbolic link, or on Windows any
// reparse point) except to tell its kind: a link has the kind of what it leads to, and one that
// leads nowhere is a File (a new name). known: the identity of the file the path leads to
// (through the link), as FileIdentity's device and inode give it.
struct PathEntry {
  bool exists = false;
  bool link = false;
  PathKind kind = PathKind::File;
  bool known = false;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
};
PathEntry entryAt(const std::string& path);

// The limits of a folder's file system for one output file.
struct FolderSpace {
  bool holes = true;                 // files can hold holes (not FAT, not exFAT)
  std::int64_t largestFile = INT64_MAX;  // bytes: what the file system's offsets and RLIMIT_FSIZE allow
  std::int64_t freeBytes = -1;       // bytes available to this process; -1 when unknown
};
FolderSpace folderSpace(const std::string& folder);

// Whether the folder's file system takes a file of `size` bytes: a file system may allow less
// than its offsets say (ext4 with 4 KiB blocks stops at 16 TiB), so a throw-away file without
// a name is set to that length, as holes, and dropped. True when the probe cannot be made.
bool lengthFits(const std::string& folder, std::int64_t size);

// A path or mount source as /proc/self/mountinfo writes it, with its octal escapes (\040 for
// a blank, \134 for a backslash) decoded.
std::string decodeMountField(const std::string& text);

}  // namespace kestrix::sources
