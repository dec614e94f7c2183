#pragma once
// The commands of kestrix-cli as functions: they write results to out and notes to err,
// return the exit status, and throw kestrix::Error for a failure that ends the command.

#include <atomic>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "cli/output_format.h"
#include "scan/fragments.h"
#include "scan/scan.h"

namespace kestrix::cli {

inline constexpr int kExitOk = 0;
inline constexpr int kExitError = 1;
inline constexpr int kExitUsage = 2;

// "1 sector", "3 sectors".
std::string plural(std::int64_t n, const std::string& one, const std::string& many);

// An argument as the shell reads it back: unchanged when it holds only characters the shell
// takes literally, else quoted: in single quotes for a POSIX shell (a quote inside written as
// '\''), in double quotes on Windows (cmd and PowerShell).
std::string shellQuoted(const std::string& arg);

// The notes on err for the sectors of source that a scan could not read, and for the files of
// the source that are missing (nothing when none).
void reportUnreadable(std::ostream& err, const std::string& source, const scan::ScanResult& scanned);
// The note on err for the source sectors written as zeros into the file `name` (pastEnd of
// them past the source's end); nothing when there are none.
void reportZeroFilled(std::ostream& err, const std::string& name, const std::vector<scan::SectorRun>& runs,
                      std::int64_t pastEnd);

// A scan and its fragments, with the unreadable sectors and a stop reported on err.
struct ScanOutcome {
  scan::ScanResult scan;
  std::vector<scan::Fragment> fragments;
};
ScanOutcome scanForFragments(scan::ByteSource& src, bool quiet, const std::atomic<bool>& stop, std::ostream& err);

struct ScanCommand {
  std::string source;
  Format format = Format::Table;
  bool hits = false;
  bool quiet = false;
  std::size_t chunkSize = 4 * scan::kChunkSize;
};
int runScan(const ScanCommand& cmd, std::ostream& out, std::ostream& err, const std::atomic<bool>& stop);

struct ExtractCommand {
  std::string source;
  std::vector<std::int64_t> fragments;  // numbers as the scan gives them, in output order
  std::string output;
  bool quiet = false;
};
int runExtract(const ExtractCommand& cmd, std::ostream& out, std::ostream& err, const std::atomic<bool>& stop);

// kestrix-cli map: the source drawn as a map of its fragments, as an SVG file.
struct MapCommand {
  std::string source;
  std::string output;
  bool quiet = false;
};
int runMap(const MapCommand& cmd, std::ostream& out, std::ostream& err, const std::atomic<bool>& stop);

struct RebuildCommand {
  std::vector<std::string> inputs;
  std::vector<std::string> outputs;  // one per input, in the same order
  bool repair = false;
  bool quiet = false;
};
int runRebuild(const RebuildCommand& cmd, std::ostream& out, std::ostream& err, std::atomic<bool>& stop);

struct ExampleCommand {
  std::string dir = "kestrix-example";
  std::string pst;  // a real PST file to hide in the image; empty = the shipped sample
  bool quiet = false;
};
int runExample(const ExampleCommand& cmd, std::ostream& out, std::ostream& err);

// Parses the arguments and runs the command; returns the exit status (2 for bad usage).
int runCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err, std::atomic<bool>& stop);

}  // namespace kestrix::cli
