#include "toolkit/run_report.h"

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <system_error>
#include <utility>

namespace relamor {

namespace {

std::string Row(const std::string& database, const std::string& table, const std::string& mode,
                long long read, long long added, long long edited, double seconds) {
  char line[512];
  std::snprintf(line, sizeof line, "%-10s %-20s %-16s %9lld %9lld %9lld %9.2f", database.c_str(),
                table.c_str(), mode.c_str(), read, added, edited, seconds);
  return line;
}

// A directory prefix made absolute, as the run uses it: the current folder
// for an empty one; "." and ".." and doubled separators resolved by their
// text (symbolic links are kept), a final "/" kept.
std::string AbsolutePrefix(const std::string& dir) {
  std::error_code error;
  std::filesystem::path path = std::filesystem::absolute(dir.empty() ? "." : dir, error);
  if (error) return dir;
  std::string text = path.lexically_normal().string();
  if ((dir.empty() || dir.back() == '/') && (text.empty() || text.back() != '/')) text += '/';
  return text;
}

// A time as ISO 8601 in UTC, to the second: 2026-12-09T13:05:42Z.
std::string Utc(std::chrono::system_clock::time_point time) {
  const std::time_t t = std::chrono::system_clock::to_time_t(time);
  std::tm tm {};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

// A problem's place for the check's summary: the parts that are known.
std::string Place(const Problem& p) {
  std::string out = p.database.empty() ? std::string() : p.database;
  auto add = [&out](const std::string& part) {
    if (!out.empty()) out += ' ';
    out += part;
  };
  if (!p.table.empty()) add(p.table);
  if (!p.field.empty()) add("field " + p.field);
  if (p.sno) add("sno " + std::to_string(*p.sno));
  if (p.value) add("value '" + *p.value + "'");
  if (p.row) add(*p.row);
  return out;
}

}  // namespace

void RunReport::Start(std::string program, std::string old_dir, std::string new_dir,
                      bool check) {
  program_ = std::move(program);
  old_dir_ = std::move(old_dir);
  new_dir_ = std::move(new_dir);
  check_ = check;
  directories_known_ = true;
  started_ = std::chrono::system_clock::now();
}

void RunReport::StartWithoutDirectories(std::string program, bool check) {
  Start(std::move(program), "", "", check);
  directories_known_ = false;
}

void RunReport::SetReleases(std::string old_release, std::string new_release) {
  releases_.emplace(std::move(old_release), std::move(new_release));
}

void RunReport::SetSites(std::vector<std::string> sites) { sites_ = std::move(sites); }

void RunReport::SetFailedTableCounts(long long rows_added, long long rows_edited) {
  if (!table_open_) return;
  TableResult& table = databases_.back().tables.back();
  table.rows_added = rows_added;
  table.rows_edited = rows_edited;
}

void RunReport::BeginDatabase(const std::string& name) {
  table_open_ = false;
  databases_.push_back({name, {}});
}

void RunReport::AppendPass(RunReport&& pass) {
  for (DatabaseResult& database : pass.databases_) databases_.push_back(std::move(database));
  table_open_ = pass.table_open_;
  table_start_ = pass.table_start_;
}

void RunReport::BeginTable(const std::string& name, const std::string& mode,
                           long long rows_to_read, bool one_row_per_old_row) {
  if (databases_.empty()) databases_.push_back({"", {}});
  TableResult table;
  table.name = name;
  table.mode = mode;
  table.rows_read = rows_to_read;
  table.one_row_per_old_row = one_row_per_old_row;
  databases_.back().tables.push_back(std::move(table));
  table_open_ = true;
  table_start_ = std::chrono::steady_clock::now();
}

void RunReport::SetMode(const std::string& mode, const std::string& reason,
                        bool one_row_per_old_row) {
  if (databases_.empty() || databases_.back().tables.empty()) return;
  TableResult& table = databases_.back().tables.back();
  table.mode = mode;
  table.reason = reason;
  table.one_row_per_old_row = one_row_per_old_row;
}

void RunReport::EndTable(long long rows_added, long long rows_edited) {
  if (!table_open_) return;
  TableResult& table = databases_.back().tables.back();
  table.rows_added = rows_added;
  table.rows_edited = rows_edited;
  table.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - table_start_).count();
  table_open_ = false;
}

void RunReport::AddProblem(Problem problem) {
  // A site database's table is checked on the template: a cause in the
  // template is listed once, not once per site.
  for (const Problem& p : problems_) {
    if (!problem.file.empty() && p.file == problem.file && p.table == problem.table &&
        p.field == problem.field && p.number == problem.number && !problem.row && !p.row) {
      return;
    }
  }
  problems_.push_back(std::move(problem));
}

void RunReport::AddWarning(Problem warning) {
  for (const Problem& w : warnings_) {
    if (w.file == warning.file && w.table == warning.table && w.message == warning.message) return;
  }
  warnings_.push_back(std::move(warning));
}

void RunReport::ShortcutFired(std::string_view shortcut) {
  if (table_open_) databases_.back().tables.back().shortcuts.emplace_back(shortcut);
}

void RunReport::ShortcutDeclined(std::string_view shortcut, std::string_view reason) {
  if (!table_open_) return;
  std::string& declined = databases_.back().tables.back().declined;
  if (!declined.empty()) declined += "; ";
  declined.append(shortcut).append(": ").append(reason);
}

std::string RunReport::current_database() const {
  return databases_.empty() ? std::string() : databases_.back().name;
}

std::string RunReport::current_table() const {
  return table_open_ ? databases_.back().tables.back().name : std::string();
}

void RunReport::Finish(int exit_status, std::optional<std::string> result,
                       std::optional<RunErrorInfo> error) {
  if (table_open_) {
    TableResult& table = databases_.back().tables.back();
    table.failed = true;
    table.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - table_start_).count();
    table_open_ = false;
  }
  exit_status_ = exit_status;
  ended_ = std::chrono::system_clock::now();
  result_ = std::move(result);
  error_ = std::move(error);
}

std::string RunReport::Summary() const {
  if (check_) return CheckSummary();
  char header[256];
  std::snprintf(header, sizeof header, "%-10s %-20s %-16s %9s %9s %9s %9s\n", "database", "table",
                "mode/writer", "read", "added", "edited", "seconds");
  std::string out = header;
  long long tables = 0, read = 0, added = 0, edited = 0;
  double seconds = 0;
  for (const DatabaseResult& database : databases_) {
    for (const TableResult& t : database.tables) {
      out += Row(database.name, t.name, t.mode, t.rows_read, t.rows_added, t.rows_edited,
                 t.seconds);
      if (t.failed) out += "  FAILED: the run ended here";
      if (t.Mismatch()) {
        out += "  MISMATCH: " + std::to_string(t.rows_read) + " old rows, " +
               std::to_string(t.rows_added) + " added";
      }
      if (t.mode == "none" && !t.reason.empty()) out += "  (" + t.reason + ")";
      out += "\n";
      ++tables;
      read += t.rows_read;
      added += t.rows_added;
      edited += t.rows_edited;
      seconds += t.seconds;
    }
  }
  out += Row("total", std::to_string(tables) + " tables", "", read, added, edited, seconds) + "\n";
  return out;
}

std::string RunReport::CheckSummary() const {
  char line[512];
  std::snprintf(line, sizeof line, "%-10s %-20s %-16s %12s\n", "database", "table",
                "mode/writer", "rows to read");
  std::string out = std::string("Plan\n") + line;
  long long tables = 0, rows = 0;
  for (const DatabaseResult& database : databases_) {
    for (const TableResult& t : database.tables) {
      std::snprintf(line, sizeof line, "%-10s %-20s %-16s %12lld", database.name.c_str(),
                    t.name.c_str(), t.mode.c_str(), t.rows_read);
      out += line;
      if (t.mode == "none" && !t.reason.empty()) out += "  (" + t.reason + ")";
      out += "\n";
      ++tables;
      rows += t.rows_read;
    }
  }
  std::snprintf(line, sizeof line, "%-10s %-20s %-16s %12lld\n", "total",
                (std::to_string(tables) + " tables").c_str(), "", rows);
  out += line;
  if (!warnings_.empty()) {
    out += "Warnings (" + std::to_string(warnings_.size()) +
           "; the run would leave these tables unwritten)\n";
    for (const Problem& w : warnings_) out += Place(w) + ": " + w.message + "\n";
  }
  if (!stop_signal_.empty()) {
    out += "The check was stopped by " + stop_signal_ +
           " before it ended: only what it read so far was checked.\n";
  } else if (exit_status_ == 2 && error_) {
    out += "The run would stop early, writing no RelamorResult: " + error_->description + "\n";
  }
  if (problems_.empty()) {
    if (stop_signal_.empty() && exit_status_ != 2) out += "No problems found.\n";
    return out;
  }
  out += "Problems (" + std::to_string(problems_.size()) + "; the run would end with the first)\n";
  for (const Problem& p : problems_) {
    const std::string place = Place(p);
    out += place + (place.empty() ? "" : ": ") + p.message;
    if (!p.file.empty() && p.message.find(p.file) == std::string::npos) out += " [in " + p.file + "]";
    out += "\n";
  }
  return out;
}

std::string RunReport::Json() const {
  using nlohmann::ordered_json;
  auto name_or_null = [](const std::string& s) {
    return s.empty() ? ordered_json(nullptr) : ordered_json(s);
  };
  ordered_json j;
  j["format"] = kFormat;
  j["program"] = program_;
  j["version"] = RELAMOR_VERSION;
  j["check"] = check_;
  j["started"] = Utc(started_);
  j["ended"] = Utc(ended_);
  j["old_directory"] = directories_known_ ? ordered_json(AbsolutePrefix(old_dir_)) : nullptr;
  j["new_directory"] = directories_known_ ? ordered_json(AbsolutePrefix(new_dir_)) : nullptr;
  j["releases"] = releases_ ? ordered_json{{"old", releases_->first}, {"new", releases_->second}}
                            : ordered_json(nullptr);
  j["sites"] = sites_ ? ordered_json(*sites_) : ordered_json(nullptr);
  j["exit_status"] = exit_status_;
  j["result"] = result_ ? ordered_json(*result_) : ordered_json(nullptr);
  if (error_) {
    j["error"] = {{"number", error_->number},
                  {"description", error_->description},
                  {"database", name_or_null(error_->database)},
                  {"table", name_or_null(error_->table)},
                  {"signal", name_or_null(stop_signal_)}};
  } else {
    j["error"] = nullptr;
  }
  ordered_json databases = ordered_json::array();
  for (const DatabaseResult& database : databases_) {
    ordered_json tables = ordered_json::array();
    for (const TableResult& t : database.tables) {
      ordered_json table = {{"name", t.name},
                            {"mode", t.mode},
                            {"rows_read", t.rows_read},
                            {"rows_added", t.rows_added},
                            {"rows_edited", t.rows_edited},
                            {"seconds", t.seconds},
                            {"failed", t.failed},
                            {"mismatch", !check_ && t.Mismatch()}};
      if (t.mode == "none") table["reason"] = t.reason;
      if (!check_) {
        table["path"] = t.Path();
        table["shortcuts"] = t.shortcuts;
        if (!t.declined.empty()) table["declined"] = t.declined;
      }
      tables.push_back(std::move(table));
    }
    databases.push_back({{"name", database.name}, {"tables", std::move(tables)}});
  }
  j["databases"] = std::move(databases);
  auto listed = [&name_or_null](const std::vector<Problem>& list) {
    ordered_json out = ordered_json::array();
    for (const Problem& p : list) {
      out.push_back({{"database", p.database},
                     {"table", p.table},
                     {"field", p.field},
                     {"sno", p.sno ? ordered_json(*p.sno) : ordered_json(nullptr)},
                     {"value", p.value ? ordered_json(*p.value) : ordered_json(nullptr)},
                     {"file", name_or_null(p.file)},
                     {"row", p.row ? ordered_json(*p.row) : ordered_json(nullptr)},
                     {"number", p.number},
                     {"message", p.message}});
    }
    return out;
  };
  j["problems"] = listed(problems_);
  j["warnings"] = listed(warnings_);
  // Texts from the databases need not be valid UTF-8: replace what is not.
  return j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace relamor
