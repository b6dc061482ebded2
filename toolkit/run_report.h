// What one run did, table by table: the summary printed on standard output at
// the end of every run, and the same data as a JSON report for scripts.
//
// The table loops tell the report when a database and a table begin and end;
// the run frame records the outcome. A table that was begun and not ended when
// the run ended is the table the error path ended the run in.
//
// Counts come from the new database itself: rows added is the growth of the
// new table's row count, rows edited the number of row updates the new table
// received, rows read the old table's row count.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <string_view>
#include <vector>

namespace relamor {

struct TableResult {
  std::string name;    // the new table
  std::string mode;    // "A" to "G", a special writer's table name, or "none"
  std::string reason;  // with mode "none": why nothing was written
  long long rows_read = 0;
  long long rows_added = 0;
  long long rows_edited = 0;
  double seconds = 0;
  // The mode adds one new row for every old row; a difference is flagged.
  bool one_row_per_old_row = false;
  bool failed = false;  // the run ended in this table
  // The shortcuts (copy/shortcut.h) that stored rows of this table, in
  // order, and the reasons of those that declined ("name: reason", "; "
  // between them). The path is "set-based" when shortcuts alone stored the
  // table, "rows" when the walk ran or nothing was tried.
  std::vector<std::string> shortcuts;
  std::string declined;
  const char* Path() const { return !shortcuts.empty() && declined.empty() ? "set-based" : "rows"; }
  bool Mismatch() const { return !failed && one_row_per_old_row && rows_added != rows_read; }
};

struct DatabaseResult {
  std::string name;  // base name: qorsite, qord003
  std::vector<TableResult> tables;
};

// A problem that --check found: what the run would fail on, and where. A
// warning has the same shape: what the run would leave unwritten without
// failing (a table the copy writes nothing into).
struct Problem {
  std::string database;  // the pass: qorsite, qord003 (empty before the first)
  std::string table;     // the new table
  std::string field;     // the new field
  std::optional<long long> sno;
  std::optional<std::string> value;
  std::string message;  // what the run would log
  int number = 0;       // the run's error number for it (0 for a warning)
  // The file the cause lies in: the old database of a value, the template
  // of a site database's table, the new database otherwise.
  std::string file;
  // The old row the value comes from: "rowid 17".
  std::optional<std::string> row;
};

struct RunErrorInfo {
  int number = 0;
  std::string description;
  std::string database;  // empty outside any database
  std::string table;     // empty outside any table
};

class RunReport {
 public:
  void Start(std::string program, std::string old_dir, std::string new_dir, bool check);
  // A run that ended before its directories were read (a usage error).
  void StartWithoutDirectories(std::string program, bool check);

  void BeginDatabase(const std::string& name);
  // Appends the databases of `pass`, the report of a site database's pass
  // on a worker (its table begun last and not ended stays the open one).
  void AppendPass(RunReport&& pass);
  // Starts the table's clock; the result is filled in by EndTable.
  void BeginTable(const std::string& name, const std::string& mode, long long rows_to_read,
                  bool one_row_per_old_row);
  void SetRowsToRead(long long rows) {
    if (table_open_) databases_.back().tables.back().rows_read = rows;
  }
  void EndTable(long long rows_added, long long rows_edited);
  // Sets the mode of the table begun last (a copy that found out its mode
  // only once it ran), with the reason for "none".
  void SetMode(const std::string& mode, const std::string& reason, bool one_row_per_old_row);
  void AddProblem(Problem problem);
  void AddWarning(Problem warning);
  // What the start-up found: the releases (relamor only) and the site
  // databases to convert.
  void SetReleases(std::string old_release, std::string new_release);
  void SetSites(std::vector<std::string> sites);
  // The signal that stopped the run ("SIGTERM"), for the report.
  void SetStopSignal(std::string signal) { stop_signal_ = std::move(signal); }
  // The table begun last and not ended, on the error path: the rows it
  // received before the error (committed with the rest).
  void SetFailedTableCounts(long long rows_added, long long rows_edited);
  // What a shortcut did on the table begun last.
  void ShortcutFired(std::string_view shortcut);
  void ShortcutDeclined(std::string_view shortcut, std::string_view reason);

  // The outcome. `result` is the text written to RelamorResult, if any.
  // Marks an unfinished table as the failed one.
  void Finish(int exit_status, std::optional<std::string> result,
              std::optional<RunErrorInfo> error);

  const std::vector<DatabaseResult>& databases() const { return databases_; }
  const std::vector<Problem>& problems() const { return problems_; }
  const std::vector<Problem>& warnings() const { return warnings_; }
  // The database and table of the table begun last and not ended (empty when
  // none), for an error's location.
  std::string current_database() const;
  std::string current_table() const;

  // One line per database and table, then the totals.
  std::string Summary() const;
  std::string Json() const;
  // The version of the report's layout (the key "format"): raised when a key
  // changes its meaning or goes away, not when one is added.
  static constexpr int kFormat = 1;

 private:
  // The summary of a check: the plan (rows to read), then the problems.
  std::string CheckSummary() const;

  std::string program_;
  std::string old_dir_;
  std::string new_dir_;
  bool check_ = false;
  bool directories_known_ = false;
  int exit_status_ = 0;
  std::optional<std::string> result_;
  std::optional<RunErrorInfo> error_;
  std::vector<DatabaseResult> databases_;
  std::vector<Problem> problems_;
  std::vector<Problem> warnings_;
  std::optional<std::pair<std::string, std::string>> releases_;
  std::optional<std::vector<std::string>> sites_;
  std::string stop_signal_;
  std::chrono::system_clock::time_point started_;
  std::chrono::system_clock::time_point ended_;
  bool table_open_ = false;
  std::chrono::steady_clock::time_point table_start_;
};

}  // namespace relamor
