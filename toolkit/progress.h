// Progress of a run on standard error, for an operator watching a terminal:
// database i of n, the table, rows done of rows to do and the rate. Only when
// standard error is a terminal (installers capture it and must not see it);
// redrawn at most ten times a second, on one line, cleared at the end.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

namespace relamor {

class Progress {
 public:
  // Enabled when `out` is a terminal.
  explicit Progress(std::FILE* out);
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  bool enabled() const { return enabled_; }
  void Database(std::size_t index, std::size_t count, const std::string& name);
  // `rows_to_do` is negative while the old table's rows are not yet known;
  // once they are, the same table keeps its clock and its rows done.
  void Table(const std::string& name, long long rows_to_do);
  // The table's copy ended with `rows` added (a set-based append adds them
  // all in one statement).
  void Done(long long rows);
  // The database engine is at work on the table (a set-based statement
  // between its rows): the line shows the time spent on it.
  void Tick() {
    if (!enabled_) return;
    if ((++ticks_ & 0xff) == 0) Draw(false);
  }
  // One more row written to the current table.
  void Rows(std::int64_t rows) {
    if (!enabled_) return;
    const auto before = rows_done_;
    rows_done_ += rows;
    if ((before >> 8) != (rows_done_ >> 8)) Draw(false);
  }
  // Erases the line, if one was drawn.
  void Clear();

 private:
  void Draw(bool force);

  std::FILE* out_;
  bool enabled_;
  bool drawn_ = false;
  std::size_t database_index_ = 0;
  std::size_t database_count_ = 0;
  std::string database_;
  std::string table_;
  long long rows_to_do_ = 0;
  long long rows_done_ = 0;
  unsigned ticks_ = 0;
  std::chrono::steady_clock::time_point table_start_;
  std::chrono::steady_clock::time_point last_draw_;
};

}  // namespace relamor
