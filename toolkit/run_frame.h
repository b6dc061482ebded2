// The run frame shared by the three converters.
//
// A run: read "olddir,newdir" from the command line, create the run log
// RelamorLog.txt in the new directory, open the product's registry key, run
// the program's start-up, and record the outcome in the registry value
// RelamorResult. Exactly one of these ends a run:
//
//   successful end   "True" written, success line logged      exit status 0
//   error path       an Error: its description logged,
//                    rows stored so far committed, "False"     exit status 1
//   orderly stop     registry key not accessible, release 2.0
//                    refused, invalid site number: its own
//                    log line, no result value written         exit status 2
//   usage error      no argument or no comma, a bad option     exit status 64
//   no run log       the log cannot be created                 exit status 73
//   no result        RelamorResult could not be written (or
//                    standard output, or the report)           exit status 74
//   busy             another run holds the new directory's lock exit status 75
//   refused          a repeat that would destroy data, or an
//                    unsound hidden folder (safe_rerun.h)     exit status 76
//
// Before anything is written the frame refuses old and new directories that
// are the same (exit 64; nested ones hold different files and are accepted),
// locks the new directory (flock) so that one run at a time converts into it,
// and asks the hidden folder whether the run may go ahead (exit 76, no log).
// The previous run log is kept as RelamorLog.txt.1. The start-ups read
// everything they need before BeginWriting, where the pristine copy of the
// new main database is restored or kept (safe_rerun.h). SIGTERM, SIGINT and
// SIGHUP stop the run at the next stored row, or inside a long statement,
// through the error path (a --check too, with exit status 1); every exit
// status but 0 prints one line with its reason on standard error, the
// progress line cleared first.
//
// Only the frame catches errors: procedures below it let them travel.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "toolkit/copy/copy_strategy.h"
#include "toolkit/db/database.h"
#include "toolkit/platform/files.h"
#include "toolkit/platform/registry.h"
#include "toolkit/progress.h"
#include "toolkit/run_report.h"
#include "toolkit/safe_rerun.h"

namespace relamor {

// One item of a log line: a text, written as it stands, or a count, written
// in decimal with a sign character before it (a blank for zero and positive
// counts, "-" for negative ones) and one blank after it.
class LogItem {
 public:
  LogItem(std::string_view text) : text_(text) {}
  LogItem(const char* text) : text_(text) {}
  LogItem(const std::string& text) : text_(text) {}
  template <typename N, typename = std::enable_if_t<std::is_integral_v<N>>>
  LogItem(N count) : text_(FormatCount(static_cast<long long>(count))) {}

  const std::string& text() const { return text_; }
  static std::string FormatCount(long long n);

 private:
  std::string text_;
};

// The run log: lines end with CR LF and are handed to the system as they are
// written, so the log is complete up to the last step even if the process is
// killed. Every write is checked.
class RunLog {
 public:
  RunLog() = default;
  ~RunLog();
  RunLog(const RunLog&) = delete;
  RunLog& operator=(const RunLog&) = delete;

  // Creates or empties the file; throws Error 75 naming the path on failure.
  void Open(const std::string& path);
  // Writes one line (nothing when the log is closed). Throws Error 57 naming
  // the log and the cause when the line cannot be written in full; the log
  // is then closed and takes no more lines.
  void Line(std::initializer_list<LogItem> items);
  // Syncs and closes the file; throws Error 57 when that fails. Harmless on a
  // closed log.
  void Close();
  bool is_open() const { return fd_ >= 0; }

  // A worker's log: from now on lines are kept, not written, until the run's
  // log appends them (Append) in the order of the databases.
  void KeepLines() { keeping_ = true; }
  std::string TakeKeptLines() { return std::move(kept_); }
  // Writes lines kept by a worker's log, as Line does.
  void Append(const std::string& lines);

 private:
  [[noreturn]] void Fail(int error);
  void WriteAll(const std::string& text);

  int fd_ = -1;
  std::string path_;
  bool keeping_ = false;
  std::string kept_;
};

// Thrown to end a run in an orderly early stop (exit status 2); the frame
// has already written and closed the log.
struct RunStopped {
  std::string reason;  // the log line
};

// What the command line asks for.
struct Options {
  std::string args;         // the operands joined with blanks: "OLD_DIR,NEW_DIR"
  bool check = false;       // --check
  bool again = false;       // --again: convert again, discarding changes (safe_rerun.h)
  bool status = false;      // --status: tell the new directory's state, run nothing
  std::string report_path;  // --report FILE, else $RELAMOR_REPORT; empty when neither
  // --jobs N: the site databases convert on N workers after the main
  // database; 0 until the frame resolves it ($RELAMOR_JOBS, else the number
  // of CPUs). 1 converts them one after the other on the run's own thread.
  unsigned jobs = 0;
};

// The largest --jobs (there are at most 999 site databases).
inline constexpr unsigned kMaxJobs = 999;

// Reads the program's arguments with GNU conventions (getopt_long): --help
// and -h, --version and -V, --check, --report FILE, --jobs N; "--" ends the options, so
// a directory that begins with "-" follows it. Returns the exit status when
// the program ends here: 0 after printing help or version on `out`, 64 for
// any other argument that begins with "-". Returns nothing when the run goes ahead with `*options`.
// A usage error is one line naming the problem (also put in `*usage_reason`
// when given) and "Try 'PROGRAM --help'."; a failed write of the help or the
// version on `out` ends with 74.
std::optional<int> ParseOptions(int argc, char** argv, std::string_view program_name,
                                Options* options, std::ostream& out, std::ostream& err,
                                std::string* usage_reason = nullptr);

// Returns the text before the first "[" of `name`, or all of it.
std::string TextBeforeBracket(std::string_view name);

class RunFrame {
 public:
  // Runs the frame around `start_up` and returns the exit status. `argv` are
  // the program's arguments (joined with blanks into the argument string);
  // the registry root comes from RELAMOR_REGISTRY or its default.
  static int Main(int argc, char** argv, std::string_view program_name,
                  const std::function<void(RunFrame&)>& start_up);
  // Runs the frame on the argument string `args` with the registry emulated
  // below `registry_root`, and returns the exit status. Main calls it; tests
  // drive whole runs through it. Never throws.
  static int RunWith(const std::string& args, const std::string& registry_root,
                     std::string_view program_name, const std::function<void(RunFrame&)>& start_up);
  static int RunWith(const Options& options, const std::string& registry_root,
                     std::string_view program_name, const std::function<void(RunFrame&)>& start_up);

  // Makes SIGTERM, SIGINT and SIGHUP ask the run to stop at the next row
  // (see the error path), and ignores SIGPIPE and SIGXFSZ so that a failed
  // write comes back as an error. Main calls it. When RELAMOR_TEST_READY_FILE
  // names a file, "ready" is then written to it (a test's handshake).
  static void InstallSignalHandlers();

  const std::string& old_dir() const { return old_dir_; }
  const std::string& new_dir() const { return new_dir_; }
  const Options& options() const { return options_; }
  const std::string& program_name() const { return program_name_; }
  db::Engine& engine() { return engine_; }
  // The executor of the table copies (RELAMOR_COPY_STRATEGY).
  CopyStrategy copy_strategy() const { return copy_strategy_; }
  // How many workers convert the site databases (--jobs, at least 1).
  unsigned jobs() const { return options_.jobs; }

  void Log(std::initializer_list<LogItem> items) { log_.Line(items); }

  // What the table loops tell the run's report and progress line. A table
  // is begun before its tables are opened, so that an error in opening them
  // is placed in it; once both are open, TableOpened counts the new table's
  // rows (to give the rows added when the table ends). OldRowsKnown gives the
  // rows of the old table, counting them unless the copy knows them already
  // (a set-based append learns them from its statement). TableCopied gives
  // the rows the copy added, so that the table's end need not count them.
  void BeginDatabase(std::size_t index, std::size_t count, const std::string& name);
  void BeginTable(const std::string& new_table);
  void TableOpened(db::Database& new_db);
  void OldRowsKnown(db::Database& old_db, const std::string& old_table,
                    std::optional<long long> old_rows);
  void TableCopied(long long rows_added) {
    rows_added_ = rows_added;
    progress_.Done(rows_added);
  }
  // The copy's mode once it is chosen ("none" with the reason when it writes
  // nothing).
  void SetTableMode(const std::string& mode, const std::string& reason,
                    bool one_row_per_old_row) {
    report_.SetMode(mode, reason, one_row_per_old_row);
  }
  void EndTable();
  RunReport& report() { return report_; }
  // Whether this run is a --check: it writes nothing, and the table loops
  // check each table's plan against the data instead of copying.
  bool checking() const { return options_.check; }
  // A problem that the check found in the current database.
  // `number` is the error the run would end with, `file` the file the cause
  // lies in (see Problem), `row` the old row of a value.
  void AddProblem(const std::string& table, const std::string& field, std::optional<long long> sno,
                  std::optional<std::string> value, const std::string& message, int number = 0,
                  std::string file = "", std::optional<std::string> row = std::nullopt);
  // The table loops' way out of a table that an error ends: the rows it
  // received so far go into the report (they stay stored).
  void TableInterrupted();

  // An orderly early stop: writes `log_line`, closes the log, ends the run
  // with exit status 2 and no result value. `advice` follows the line on
  // standard error only.
  [[noreturn]] void StopRun(std::string_view log_line, std::string_view advice = {});
  // The invalid-site stop: "Out of Memory" in the log and in a message box.
  [[noreturn]] void StopOutOfMemory();

  // Throws the stop error when a signal asked the run to stop (the check
  // asks between the rows it reads).
  static void ThrowIfStopRequested();

  // Whether the database at `path` can be opened (read-only; the file is not
  // changed). Never throws.
  bool CanOpenDatabase(const std::string& path);

  // The end of the run's reads: everything that only reads (the arguments,
  // the old main database and its release, the new release, the site list)
  // comes before it, so that a run stopped before leaves every database of
  // the new directory as it was. Refuses a new database in
  // `new_databases` that is an old database's file (Error 75 naming both),
  // then restores or keeps the pristine copies (safe_rerun.h). No database
  // may be open on the new qorsite.mdb here. Called again, or by a check, it
  // does nothing; the first write (CopyTemplate, a database's first row)
  // calls it too.
  void BeginWriting(const std::vector<std::string>& new_databases);

  // Copies the template `from` over `to` (replacing it atomically), yields,
  // and sets `to` to archive-only attributes. Throws Error 75 or 53.
  void CopyTemplate(const std::string& from, const std::string& to);
  // CopyTemplate for every path of `targets` in order, `created` called after
  // each is in place (in a check, where nothing is copied, in its turn). The
  // copies are synced together (platform::CopyFileReplacingEach) and put in
  // place in order, so a failure leaves the new directory as copying one by
  // one would.
  void CopyTemplates(const std::string& from, const std::vector<std::string>& targets,
                     const std::function<void(const std::string& to)>& created);

  // RELAMOR_TRACE_PATHS: one line on standard error (a worker's are kept
  // for the run to print in the order of the databases).
  void TracePath(const std::string& line);

  // The workers of the site databases (site_workers.cpp). A worker frame
  // serves one site database's pass on one worker thread: the run's options,
  // directories and copy strategy, an engine of its own (its own
  // connections), a report of its own for the pass, a log that keeps its
  // lines and no progress line. Its engine stops at the next row when a
  // signal asks the run to stop or `abandon` is set; the first write to each
  // file is noted with this frame (under `writes`) as this frame's own are.
  std::unique_ptr<RunFrame> NewWorkerFrame(const std::atomic<bool>& abandon, std::mutex& writes);
  // What a worker frame's pass left for the run: its log lines, its report
  // (one database) and its trace lines. Taken in the worker's thread.
  struct WorkerPass {
    std::string log_lines;
    RunReport report;
    std::vector<std::string> traces;
  };
  WorkerPass TakeWorkerPass();
  // On the run's frame, in the order of the databases: appends the pass of
  // database `index` of `count` to the log (throws as Log does), the report
  // and standard error.
  void AdoptWorkerPass(WorkerPass pass, std::size_t index, std::size_t count);
  // The rows a failed worker pass stored could not be committed: the error
  // path says so, as it does for its own commit.
  void NoteWorkerCommitFailure(std::string failure) {
    if (worker_commit_failure_.empty()) worker_commit_failure_ = std::move(failure);
  }

 private:
  RunFrame() : progress_(stderr) {}
  // A worker frame of `parent` (NewWorkerFrame).
  explicit RunFrame(RunFrame* parent);
  // Counts the edits of the table being copied (and ticks the progress).
  void RowChanged(bool updated, std::string_view table, std::int64_t rows);
  int Run(std::string_view program_name,
          const std::function<void(RunFrame&)>& start_up);
  // The engine's hook before the first write through a connection.
  void BeforeDatabaseWrite(const std::string& path);
  // The ends of a run after the start-up; each returns the exit status.
  int SuccessfulEnd(std::string_view program_name);
  int ErrorPath(int number, const std::string& description, std::string_view program_name);
  // Writes the error's line (the fixed component line for 429).
  void ReportRunError(int number, const std::string& description);
  // Writes RelamorResult from result_text_ and closes the key; on failure
  // logs why (when the log takes it) and returns the line to print.
  std::optional<std::string> WriteResult();
  // A log line at the end of a run, where a failed write is reported on
  // standard error rather than thrown; returns false when it failed.
  bool TryLog(std::initializer_list<LogItem> items);
  bool TryCloseLog();
  void PrintReason(std::string_view line);
  // Throws Error 75 when the run log could not be created at `log_path`
  // (creates nothing).
  static void CheckLogCreatable(const std::string& log_path);
  // Records the outcome, prints the summary (when the run got as far as its
  // work) and writes the JSON report; returns `exit_status`.
  int Finish(int exit_status, std::optional<RunErrorInfo> error, bool summary = true);
  // Whether RelamorResult was written in this run, and with what.
  std::optional<std::string> result_written_;

  Options options_;
  std::string program_name_;
  std::string registry_root_;
  std::string old_dir_;
  std::string new_dir_;
  std::string result_text_ = "False";
  // The log's failure, once a write failed.
  std::string log_failure_;
  platform::DirectoryLock lock_;
  std::optional<SafeRerun> rerun_;
  RunLog log_;
  platform::RegistryKey key_;
  db::Engine engine_;
  RunReport report_;
  Progress progress_;
  // A worker frame: the run's frame, which notes its first writes, under
  // the workers' lock; its kept trace lines.
  RunFrame* parent_ = nullptr;
  std::mutex* parent_writes_ = nullptr;
  std::vector<std::string> traces_;
  std::string worker_commit_failure_;
  // The table being copied: its new database, name, row count before the
  // copy, and the updates it received.
  db::Database* table_db_ = nullptr;
  std::string table_name_;
  long long rows_before_ = 0;
  std::optional<long long> rows_added_;
  long long rows_edited_ = 0;
  CopyStrategy copy_strategy_ = CopyStrategy::kAuto;
};

}  // namespace relamor
