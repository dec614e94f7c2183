// kestrix-cli sources: the entries of the source menu, each with what to give scan, extract
// and recover as SOURCE and the device node behind it.

#include <CLI/CLI.hpp>

#include <cerrno>
#include <map>

#include "cli/command_registry.h"
#include "cli/commands.h"
#include "cli/output_format.h"
#include "sources/catalogue.h"
#include "io/size_text.h"
#include "sources/source_picker.h"

namespace kestrix::cli {

namespace {

const char* kindName(sources::EntryKind kind) {
  switch (kind) {
    case sources::EntryKind::Image: return "image";
    case sources::EntryKind::Volume: return "volume";
    case sources::EntryKind::Disk: return "disk";
    case sources::EntryKind::Separator: break;
  }
  return "separator";
}

// What a user types for the entry: "D:", "PhysicalDrive0", or any image path.
std::string sourceArgument(const sources::SourceMenuEntry& entry) {
  switch (entry.kind) {
    case sources::EntryKind::Volume: return entry.name.substr(0, 1) + sources::DriveSuffix;
    case sources::EntryKind::Disk: return entry.name;
    case sources::EntryKind::Image: return "PATH";
    case sources::EntryKind::Separator: break;
  }
  return "";
}

struct Unreadable {
  std::string source;  // "PhysicalDrive1", "E:"
  std::string device;
  int error = 0;
};

// Disks and volumes that exist but cannot be opened for reading; the menu leaves them out.
std::vector<Unreadable> unreadableDevices(const sources::Catalogue& catalogue) {
  std::vector<Unreadable> found;
  for (char letter = 'C'; letter <= 'Z'; ++letter) {
    const std::string node = catalogue.volumeNode(letter);
    if (node.empty()) continue;
    try {
      catalogue.open(node);
    } catch (const sources::SourceOpenError& e) {
      found.push_back({std::string(1, letter) + sources::DriveSuffix, node, e.error()});
    }
  }
  for (int n = 0; n <= 255; ++n) {
    const auto disk = catalogue.probeDisk(n);
    if (disk.state == sources::DiskProbe::State::Unreadable)
      found.push_back({sources::PhysicalDriveName + std::to_string(n), disk.nativePath, disk.error});
  }
  return found;
}

}  // namespace

// Prints the menu that the window would offer for this catalogue; notes on err name every
// disk or volume that is left out because it cannot be read, and the rights reading needs.
int runSources(const sources::Catalogue& catalogue, Format format, std::ostream& out, std::ostream& err) {
  const auto menu = sources::BuildSourceMenu(catalogue);
  const auto unreadable = unreadableDevices(catalogue);
  switch (format) {
    case Format::Table: {
      std::vector<std::vector<std::string>> rows{{"SOURCE", "CAPTION", "DEVICE"}};
      for (const auto& e : menu) rows.push_back({sourceArgument(e), e.caption, e.nativePath});
      printTable(out, rows);
      break;
    }
    case Format::Tsv: {
      // A volume label may hold any character; a tab or line break would shift the columns.
      auto cell = [](std::string text) {
        for (char& c : text)
          if (c == '\t' || c == '\n' || c == '\r') c = ' ';
        return text;
      };
      out << "kind\tsource\tname\tcaption\tdevice\n";
      for (const auto& e : menu)
        out << kindName(e.kind) << '\t' << sourceArgument(e) << '\t' << e.name << '\t' << cell(e.caption) << '\t'
            << cell(e.nativePath) << '\n';
      break;
    }
    case Format::Json: {
      out << "{\n  \"entries\": [";
      for (std::size_t i = 0; i < menu.size(); ++i) {
        const auto& e = menu[i];
        out << (i ? ",\n" : "\n") << "    {\"kind\": " << jsonString(kindName(e.kind))
            << ", \"source\": " << jsonString(sourceArgument(e)) << ", \"name\": " << jsonString(e.name)
            << ", \"caption\": " << jsonString(e.caption) << ", \"imageIndex\": " << e.imageIndex
            << ", \"device\": " << jsonString(e.nativePath) << "}";
      }
      out << "\n  ],\n  \"unreadable\": [";
      for (std::size_t i = 0; i < unreadable.size(); ++i)
        out << (i ? ",\n" : "\n") << "    {\"source\": " << jsonString(unreadable[i].source)
            << ", \"device\": " << jsonString(unreadable[i].device)
            << ", \"reason\": " << jsonString(systemReason(unreadable[i].error)) << "}";
      out << (unreadable.empty() ? "]" : "\n  ]") << "\n}\n";
      break;
    }
  }
  const Unreadable* refused = nullptr;
  for (const auto& u : unreadable) {
    err << "kestrix-cli: " << u.source << " (" << u.device << ") is not listed: " << systemReason(u.error) << '\n';
    if (!refused && (u.error == EACCES || u.error == EPERM)) refused = &u;
  }
  if (refused) err << "kestrix-cli: " << sources::rightsNeededText(refused->device) << '\n';
  return kExitOk;
}

namespace {

const bool kSourcesRegistered = registerCommand(
    {"sources", 5, "List the disks and volumes that can be scanned (what to give as SOURCE)", [](CLI::App& sub) {
       auto format = std::make_shared<Format>(Format::Table);
       addFormatOption(sub, *format);
       sub.footer(
           "SOURCE for scan, extract and recover: an image file's path, a volume's letter (D:) or a\n"
           "whole disk (PhysicalDrive0). Devices are only read, never written; reading them needs\n"
           "root rights or membership of the group that owns the device node (usually \"disk\").");
       return CommandRun([format](CommandContext& c) {
         return runSources(sources::systemCatalogue(), *format, c.out, c.err);
       });
     }});

}  // namespace

}  // namespace kestrix::cli
