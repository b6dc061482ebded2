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
//   usage error      no argument or no comma                   exit status 64
//   no run log       the log cannot be created                 exit status 73
//   no result        RelamorResult could not be written        exit status 74
//
// Only the frame catches errors: procedures below it let them travel.
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include "toolkit/copy_strategy.h"
#include "toolkit/db/database.h"
#include "toolkit/platform/registry.h"

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

// The run log: lines end with CR LF and are flushed as they are written, so
// the log is complete up to the last step even if the process is killed.
class RunLog {
 public:
  // Creates or empties the file; throws Error 75 naming the path on failure.
  void Open(const std::string& path);
  void Line(std::initializer_list<LogItem> items);
  void Close();
  bool is_open() const { return out_.is_open(); }

 private:
  std::ofstream out_;
};

// Thrown to end a run in an orderly early stop (exit status 2); the frame
// has already written and closed the log.
struct RunStopped {};

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

  const std::string& old_dir() const { return old_dir_; }
  const std::string& new_dir() const { return new_dir_; }
  db::Engine& engine() { return engine_; }
  // The executor of the table copies (RELAMOR_COPY_STRATEGY).
  CopyStrategy copy_strategy() const { return copy_strategy_; }

  void Log(std::initializer_list<LogItem> items) { log_.Line(items); }

  // An orderly early stop: writes `log_line`, closes the log, ends the run
  // with exit status 2 and no result value.
  [[noreturn]] void StopRun(std::string_view log_line);
  // The invalid-site stop: "Out of Memory" in the log and in a message box.
  [[noreturn]] void StopOutOfMemory();

  // Whether the database at `path` can be opened (read-only; the file is not
  // changed). Never throws.
  bool CanOpenDatabase(const std::string& path);

  // Copies the template `from` over `to` (replacing it atomically), yields,
  // and sets `to` to archive-only attributes. Throws Error 75 or 53.
  void CopyTemplate(const std::string& from, const std::string& to);

 private:
  RunFrame() = default;
  int Run(const std::string& args, std::string_view program_name,
          const std::function<void(RunFrame&)>& start_up);
  // The ends of a run after the start-up; each returns the exit status.
  int SuccessfulEnd(std::string_view program_name);
  int ErrorPath(int number, const std::string& description, std::string_view program_name);
  // Writes the error's line (the fixed component line for 429).
  void ReportRunError(int number, const std::string& description);
  // Writes RelamorResult from result_text_ and closes the key; on failure logs
  // and prints why and returns false.
  bool WriteResult(std::string_view program_name);

  std::string registry_root_;
  std::string old_dir_;
  std::string new_dir_;
  std::string result_text_ = "False";
  RunLog log_;
  platform::RegistryKey key_;
  db::Engine engine_;
  CopyStrategy copy_strategy_ = CopyStrategy::kAuto;
};

}  // namespace relamor
