#pragma once
// What the engine tells the user about a failure, as a code and its data (paths, numbers, the
// system's errno) instead of finished words: the command line words it in English
// (englishText), the window in the language it shows. A message without a code of its own
// (Code::Text) carries its English text as it is.

#include <string>
#include <vector>

namespace kestrix {

struct Message {
  enum class Code {
    Text,               // {text}
    CannotOpen,         // {path}; err: why it cannot be opened
    CannotOpenImage,    // {path, format, reason}: a disk image in a container ("E01", "qcow2", ...) that
                        // cannot be read; reason in the reading library's words or ours
    NotByOffset,        // {path, kind}: kind "pipe", "socket" or "chardev" (a character device without a length)
    CannotRead,         // {path, byte}; err, 0 when the data ends early
    CannotCreate,       // {path}; err
    CannotWrite,        // {path}; err
    CannotWriteAt,      // {path, byte}; err
    OutputIsFolderName, // {path}: the name ends in a folder
    OutputIsInput,      // {path, source}: the output is the input file itself
    OutputIsSourcePart, // {path, source}: the output is one of the files the source image is read from
                        // (a segment of a split image, an extent of a VMDK)
    OutputBehindSource, // {path, source}: the output is the file behind the source (a loop device)
    OutputNotFile,      // {path, kind}: something other than a regular file stands there ("a folder",
                        // "a FIFO (named pipe)", "a socket", "a device")
    OutputOnSource,     // {path, source}: the output's folder lies on the source's storage
    OutputTooLarge,     // {path, size}: more than the largest file the file system allows
    NoRoom,             // {path, need, free}: sizes as text
    NothingRebuilt,     // {path, why, ...}: why "empty"; "short", size, interval bytes; "pst" (a PST file
                        // itself); "nomap", interval bytes (no interval begins with a map page)
    CannotRepair,       // {path, why}: why "layout" (a PST of a version no layout is known for), "limits" (an
                        // ANSI PST whose repair would pass its layout's limits), "nopst" (no PST structure)
    CannotResize,       // {path, bytes}; err
    CannotMakeFolder,   // {path}; err
    OutOfMemory,        // {path}: what was being worked on, "" when not known
    CannotAccess,       // {path}; err: a file-system call on the path failed
    Failed,             // {path, what}: an unforeseen failure while working on path, in the library's words
    FolderRefused,      // {path, why}: why "notfolder", "busy" (another run writes into it), "lockname" (a
                        // file .kestrix-lock that Kestrix did not make stands in it), or "" (err says)
    OutputInSystemFolder,  // {path, folder}: the folder is one of the kernel's (/dev, /proc, /sys)
    OutputOnUnknownMount,  // {path, source, mount}: the folder lies on a FUSE mount from `mount`, whose
                           // storage (the source's, maybe) cannot be established
    OutputTwice,        // {path, other}: two outputs of one command name the same file
    NotCommitted,       // {path, new...}; err: the file could not be put in place; the files put in
                        // place before it were put back, except those listed (they stay new)
  };
  Code code = Code::Text;
  std::vector<std::string> args;
  int err = 0;  // the system's errno behind it; 0 for none
};

// The message in English, as the command line prints it.
std::string englishText(const Message& message);

// CannotRepair's reason in English ("is a PST file of a version ...", "holds no PST structure ..."),
// for the notes of a check that name it without failing.
std::string unrepairableReason(const std::string& why);

}  // namespace kestrix
