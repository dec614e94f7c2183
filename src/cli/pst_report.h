#pragma once
// Printing what check and repair found in a PST file as a table, TSV or JSON.

#include <ostream>
#include <string>
#include <vector>

#include "cli/output_format.h"
#include "pst/check.h"

namespace kestrix::cli {

void printCheckReport(std::ostream& out, const std::string& file, const pst::CheckReport& report, Format format);

// "3 sectors the medium failed to read, taken as zeros: ...", for check and repair.
std::string unreadableText(const std::vector<scan::SectorRun>& runs);

// One line: "71 messages (71 readable) in 12 folders".
std::string messagesSummary(const pst::CheckReport& report);

}  // namespace kestrix::cli
