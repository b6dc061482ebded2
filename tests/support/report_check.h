// Reading back what a run reports: the summary on standard output and the
// JSON report, both as "database|table|mode|read|added|edited" lines (a
// failed table ends in "|FAILED"), so that a test compares them in one line.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace relamor::testing {

std::string SummaryTables(const std::string& out);
std::string ReportTables(const nlohmann::json& report);
// The path each table took, "database|table|path|shortcut+shortcut" lines,
// and whether any shortcut declined ("|declined" after the line).
std::string ReportPaths(const nlohmann::json& report);
// Whether every table of the report took the walk with no shortcut tried
// (RELAMOR_COPY_STRATEGY=rows); "" when so, else the first line that did not.
std::string OnlyWalks(const nlohmann::json& report);
// Parses the JSON file; a test failure (exception) when it is missing or bad.
nlohmann::json ReadReport(const std::string& path);

}  // namespace relamor::testing
