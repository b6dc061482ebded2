// Reading back what a run reports: the summary on standard output and the
// JSON report, both as "database|table|mode|read|added|edited" lines (a
// failed table ends in "|FAILED"), so that a test compares them in one line.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace relamor::testing {

std::string SummaryTables(const std::string& out);
std::string ReportTables(const nlohmann::json& report);
// Parses the JSON file; a test failure (exception) when it is missing or bad.
nlohmann::json ReadReport(const std::string& path);

}  // namespace relamor::testing
