#include "tests/support/report_check.h"

#include <sstream>
#include <stdexcept>

#include "tests/support/test_db.h"

namespace relamor::testing {

std::string SummaryTables(const std::string& out) {
  std::istringstream in(out);
  std::string line, result;
  bool in_table = false;
  while (std::getline(in, line)) {
    if (line.rfind("database ", 0) == 0) {
      in_table = true;
      continue;
    }
    if (!in_table) continue;
    if (line.rfind("total ", 0) == 0) break;
    std::istringstream fields(line);
    std::string database, table, mode, read, added, edited;
    fields >> database >> table >> mode >> read >> added >> edited;
    result += database + "|" + table + "|" + mode + "|" + read + "|" + added + "|" + edited;
    if (line.find("FAILED") != std::string::npos) result += "|FAILED";
    result += "\n";
  }
  return result;
}

std::string ReportTables(const nlohmann::json& report) {
  std::string result;
  for (const auto& database : report.at("databases")) {
    for (const auto& t : database.at("tables")) {
      result += database.at("name").get<std::string>() + "|" + t.at("name").get<std::string>() +
                "|" + t.at("mode").get<std::string>() + "|" +
                std::to_string(t.at("rows_read").get<long long>()) + "|" +
                std::to_string(t.at("rows_added").get<long long>()) + "|" +
                std::to_string(t.at("rows_edited").get<long long>());
      if (t.at("failed").get<bool>()) result += "|FAILED";
      result += "\n";
    }
  }
  return result;
}

nlohmann::json ReadReport(const std::string& path) {
  const std::string text = FileBytes(path);
  if (text.empty()) throw std::runtime_error("no report at " + path);
  return nlohmann::json::parse(text);
}

}  // namespace relamor::testing
