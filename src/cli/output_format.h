#pragma once
// Printing the fragment list and the found-page list as a table, TSV or JSON.

#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "scan/fragments.h"

namespace CLI {
class App;
}

namespace kestrix::cli {

enum class Format { Table, Tsv, Json };

// Adds "--format table|tsv|json" (any case) to a command, stored in format.
void addFormatOption(CLI::App& sub, Format& format);

// The fragment list's column titles: ID, 开始ID, 结束ID, 碎片大小, 文件大小.
extern const char* const kFragmentColumns[5];

struct ScanReport {
  std::string source;
  std::int64_t sourceSize = 0;
  const scan::ScanResult* scan = nullptr;
  std::span<const scan::Fragment> fragments;
  std::span<const scan::FragmentRow> rows;
  bool withHits = false;
};

void printScanReport(std::ostream& out, const ScanReport& report, Format format);

// Columns padded to the widest cell, counting a CJK character as two columns.
void printTable(std::ostream& out, const std::vector<std::vector<std::string>>& rows);

std::string jsonString(const std::string& text);

}  // namespace kestrix::cli
