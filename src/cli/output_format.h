#pragma once
// Printing the fragment list and the found-page list as a table, TSV or JSON.

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "scan/fragments.h"

namespace CLI {
class App;
class Validator;
}

namespace kestrix::cli {

enum class Format { Table, Tsv, Json };

// Adds "--format table|tsv|json" (any case) to a command, stored in format.
void addFormatOption(CLI::App& sub, Format& format);

// Accepts a decimal number from 1 to 2147483647 and nothing else (no value silently clamped):
// "'0' is not a WHAT number: they count from 1 to 2147483647".
CLI::Validator numberFromOne(const std::string& what);

// The fragment list's column titles: ID, 开始ID, 结束ID, 碎片大小, 文件大小.
extern const char* const kFragmentColumns[5];

// Calls visit once per fragment, in list order.
using FragmentVisitor = std::function<void(const scan::Fragment&)>;
using FragmentEnumerator = std::function<void(const FragmentVisitor& visit)>;

struct ScanReport {
  std::string source;
  std::int64_t sourceSize = 0;
  const scan::ScanResult* scan = nullptr;  // stopped, bytes scanned, unreadable; its hits are listed with withHits
  // Goes over the fragments once per call; the table calls it twice (column widths, then the
  // rows), so no row is held: a list may have as many fragments as the source has sectors.
  FragmentEnumerator fragments;
  scan::ByteSource* src = nullptr;  // the 文件大小 cells read each ID 0 fragment's header from it
  bool withHits = false;
};

// Prints the fragment rows, and with withHits the hits, streaming them.
void printScanReport(std::ostream& out, const ScanReport& report, Format format);

// Columns padded to the widest cell, counting a CJK character as two columns.
void printTable(std::ostream& out, const std::vector<std::vector<std::string>>& rows);

std::string jsonString(const std::string& text);

}  // namespace kestrix::cli
