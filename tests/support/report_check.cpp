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

std::string ReportPaths(const nlohmann::json& report) {
  std::string result;
  for (const auto& database : report.at("databases")) {
    for (const auto& t : database.at("tables")) {
      result += database.at("name").get<std::string>() + "|" + t.at("name").get<std::string>() +
                "|" + t.at("path").get<std::string>() + "|";
      std::string separator;
      for (const auto& shortcut : t.at("shortcuts")) {
        result += separator + shortcut.get<std::string>();
        separator = "+";
      }
      if (t.contains("declined")) result += "|declined";
      result += "\n";
    }
  }
  return result;
}

std::string OnlyWalks(const nlohmann::json& report) {
  std::istringstream lines(ReportPaths(report));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.size() < 6 || line.compare(line.size() - 6, 6, "|rows|") != 0) return line;
  }
  return "";
}

nlohmann::json ReadReport(const std::string& path) {
  const std::string text = FileBytes(path);
  if (text.empty()) throw std::runtime_error("no report at " + path);
  return nlohmann::json::parse(text);
}

}  // namespace relamor::testing
