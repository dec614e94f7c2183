#include "io/message.h"

#include "io/errors.h"

namespace kestrix {

namespace {

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

}  // namespace

std::string unrepairableReason(const std::string& why) {
  if (why == "limits")
    return "is an ANSI PST whose repaired copy would pass the limits of its layout (IDs and offsets of 32 bits, "
           "files below 2 GiB)";
  return why == "layout" ? "is a PST file of a version no layout is known for: it cannot be read"
                         : "holds no PST structure: no header of its own and no index page";
}

std::string englishText(const Message& m) {
  using C = Message::Code;
  const auto arg = [&](std::size_t i) { return i < m.args.size() ? m.args[i] : std::string(); };
  const std::string reason = systemReason(m.err);
  switch (m.code) {
    case C::Text:
      return arg(0);
    case C::CannotOpen:
      return cannotOpenMessage(arg(0), m.err);
    case C::CannotOpenImage:
      return "Cannot read " + quoted(arg(0)) + " as a " + arg(1) + " image. " + arg(2);
    case C::NotByOffset: {
      const std::string kind = arg(1) == "pipe"     ? "a pipe"
                               : arg(1) == "socket" ? "a socket"
                                                    : "a character device without a length";
      return "Cannot read " + quoted(arg(0)) + " as a source: it is " + kind +
             ", which cannot be read by offset. Save its data to a file and give that file";
    }
    case C::CannotRead:
      return "Cannot read file " + quoted(arg(0)) + " at byte " + arg(1) + ". " +
             (m.err != 0 ? reason : "the data ends early (truncated)");
    case C::CannotCreate:
      return "Cannot create file " + quoted(arg(0)) + ". " + reason;
    case C::CannotWrite:
      return "Cannot write file " + quoted(arg(0)) + ". " + reason;
    case C::CannotWriteAt:
      return "Cannot write file " + quoted(arg(0)) + " at byte " + arg(1) + ". " + reason;
    case C::OutputIsFolderName:
      return "Cannot write file " + quoted(arg(0)) + ". It names a folder, not a file";
    case C::OutputIsInput:
      return "Cannot write file " + quoted(arg(0)) + ". It is the input " + quoted(arg(1)) +
             " itself; choose another output";
    case C::OutputIsSourcePart:
      return "Cannot write file " + quoted(arg(0)) + ". It is one of the files of the image " + quoted(arg(1)) +
             ", which is being read; choose another output";
    case C::OutputBehindSource:
      return "Cannot write file " + quoted(arg(0)) + ". It is the file behind the source " + quoted(arg(1)) +
             " (a loop device), whose data it would overwrite; choose another output";
    case C::OutputNotFile: {
      const std::string kind = arg(1) == "folder" ? "a folder"
                               : arg(1) == "fifo" ? "a FIFO (named pipe)"
                               : arg(1) == "socket" ? "a socket"
                                                    : "a device";
      return "Cannot write file " + quoted(arg(0)) + ". It is " + kind + "; results are written to regular files only";
    }
    case C::OutputOnSource:
      return "Cannot write file " + quoted(arg(0)) + ". It lies on the source " + quoted(arg(1)) +
             ", whose data it would overwrite; choose a folder on another disk";
    case C::OutputTooLarge:
      return "Cannot write file " + quoted(arg(0)) + ". It would be " + arg(1) +
             " long, more than the largest file its file system allows";
    case C::NoRoom:
      return "Cannot write file " + quoted(arg(0)) + ". It needs " + arg(1) + " of disk space but only " + arg(2) +
             " is free there";
    case C::NothingRebuilt: {
      std::string why;
      if (arg(1) == "empty")
        why = "it is empty";
      else if (arg(1) == "short")
        why = "it is shorter than one map interval (" + arg(2) + " of " + arg(3) + " bytes)";
      else if (arg(1) == "pst")
        why = "it is a PST file itself, not a file of map intervals such as extract writes";
      else
        why = "no block of " + arg(2) +
              " bytes in it begins with an allocation-map page; it is not a file of map intervals such as extract writes";
      return "Nothing was rebuilt from " + quoted(arg(0)) + ": " + why;
    }
    case C::CannotRepair:
      return "Cannot repair file " + quoted(arg(0)) + ". It " + unrepairableReason(arg(1));
    case C::CannotResize:
      return "Cannot set the length of file " + quoted(arg(0)) + " to " + arg(1) + " bytes. " + reason;
    case C::CannotMakeFolder:
      return "Cannot create folder " + quoted(arg(0)) + ". " + reason;
    case C::FolderRefused:
      return "Cannot write into folder " + quoted(arg(0)) + ". " +
             (arg(1) == "notfolder" ? "It is not a folder"
              : arg(1) == "busy"    ? "Another run of Kestrix is writing into it; wait until it has finished, or choose another folder"
              : arg(1) == "lockname" ? "A file named .kestrix-lock stands in it that Kestrix did not make; move it away, or choose another folder"
                                    : reason);
    case C::OutOfMemory:
      return arg(0).empty() ? "There is not enough memory to finish the command"
                            : "There is not enough memory to finish with " + quoted(arg(0));
    case C::CannotAccess:
      return "Cannot access " + quoted(arg(0)) + ". " + reason;
    case C::Failed:
      return arg(0).empty() ? arg(1) : "Failed on " + quoted(arg(0)) + ": " + arg(1);
    case C::OutputInSystemFolder:
      return "Cannot write file " + quoted(arg(0)) + ". Its folder " + quoted(arg(1)) +
             " belongs to the system (devices, kernel files); results are written into ordinary folders only";
    case C::OutputOnUnknownMount:
      return "Cannot write file " + quoted(arg(0)) + ". Its folder lies on a FUSE file system mounted from " +
             quoted(arg(2)) + ", which does not say where it keeps its data: it may be the source " + quoted(arg(1)) +
             ". Choose a folder on another file system";
    case C::OutputTwice:
      return "Cannot write file " + quoted(arg(0)) + ". It is the output " + quoted(arg(1)) +
             " too; give each output its own file";
    case C::NotCommitted: {
      std::string text = "Cannot write file " + quoted(arg(0)) + ". " + reason + ". ";
      if (m.args.size() <= 1) return text + "No file of the run was put in place; every file is as it was";
      text += "These files of the run are in place and could not be put back as they were:";
      for (std::size_t i = 1; i < m.args.size(); ++i) text += (i > 1 ? ", " : " ") + quoted(m.args[i]);
      return text + "; the others are as they were";
    }
  }
  return arg(0);
}

}  // namespace kestrix
