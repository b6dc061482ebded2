#include "toolkit/run_frame.h"

#include <getopt.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>
#include <optional>
#include <utility>

#include "toolkit/error.h"
#include "toolkit/platform/files.h"
#include "toolkit/platform/message_box.h"
#include "toolkit/text.h"

namespace relamor {

namespace {

constexpr std::string_view kProductKey = "SOFTWARE\\Kestrun\\Tervanis";
constexpr std::string_view kResultValueName = "RelamorResult";
constexpr std::string_view kRegistryAccessError =
    "Registry Access Error, check to see that the registry settings are proper and the user has "
    "administrative rights ";
constexpr std::string_view kSuccessLine = "Data conversion procedure completed successfully";
constexpr std::string_view kComponentLine =
    "Cant create COM component KVL for database access, check to see kvl.dll is present and "
    "registered.";
constexpr std::string_view kOutOfMemory = "Out of Memory";
// The run-time's number for a failed memory allocation.
constexpr int kOutOfMemoryNumber = 7;

// What each program converts, for its usage text.
std::string_view Converts(std::string_view program_name) {
  if (program_name == "relamor2035") {
    return "Converts an installation of release 2.0: the tables of the mapping table 'export'\n"
           "field by field, and the tables whose layout changed (channel, modemconnection,\n"
           "ipconnection, serialconnection, prompt, Customers, Sites) by their own rules.\n";
  }
  if (program_name == "relamor3035") {
    return "Converts an installation of release 3.0 through the mapping table 'export3035',\n"
           "field by field.\n";
  }
  return "Converts an installation of release 3.0 or 3.5 (service packs included) through the\n"
         "mapping table 'export', chosen by release number; renumbers command ids and fixes\n"
         "board types. Refuses release 2.0 (use relamor2035).\n";
}

void PrintUsage(std::ostream& out, std::string_view program_name) {
  out << "Usage: " << program_name << " [--check] [--report FILE] [--] OLD_DIR/,NEW_DIR/\n"
      << "       " << program_name << " --help | --version\n"
      << Converts(program_name)
      << "The databases of the old installation in OLD_DIR are copied into the new, empty\n"
      << "databases in NEW_DIR. Both directories are used as prefixes (end them with '/');\n"
      << "blanks around the comma are ignored. The run log is NEW_DIR/RelamorLog.txt; the\n"
      << "outcome is recorded in the registry value RelamorResult. A summary, one line per\n"
      << "database and table, is printed on standard output at the end.\n"
      << "\n"
      << "Options:\n"
      << "  --check            check what a run would do and what it would fail on, writing\n"
      << "                     nothing: prints the plan and the problems (exit 65 for problems)\n"
      << "  --report FILE      write a JSON report of the run (or the check) to FILE\n"
      << "  -h, --help         print this text and exit\n"
      << "  -V, --version      print the program name and version and exit\n"
      << "  --                 end of the options: a directory that begins with '-' follows\n"
      << "\n"
      << "Environment:\n"
      << "  RELAMOR_REGISTRY       root of the registry tree (default "
      << platform::kDefaultRegistryRoot << ");\n"
      << "                         the key HKEY_LOCAL_MACHINE/SOFTWARE/Kestrun/Tervanis must exist\n"
      << "  RELAMOR_REPORT=FILE    as --report FILE (the option wins)\n"
      << "  RELAMOR_COPY_STRATEGY  auto (default) or rows: copy row by row only (a diagnostic)\n"
      << "\n"
      << "Exit status:\n"
      << "  0   the conversion completed (RelamorResult True)\n"
      << "  1   an error ended the run; its description is the last log line (False)\n"
      << "  2   stopped early: registry key not accessible, release 2.0 refused, or an invalid\n"
      << "      site number (RelamorResult not written)\n"
      << "  64  usage error\n"
      << "  65  --check: the run would end through an error (the first problem listed)\n"
      << "  73  the run log could not be created\n"
      << "  74  RelamorResult could not be written\n"
      << "  75  another run holds the new directory\n";
}

std::string TrimSpaces(std::string_view text) {
  std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  std::size_t last = text.find_last_not_of(' ');
  return std::string(text.substr(first, last - first + 1));
}

// One line, whatever the description holds: the log is read line by line.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

}  // namespace

std::string LogItem::FormatCount(long long n) {
  if (n < 0) return std::to_string(n) + " ";
  return " " + std::to_string(n) + " ";
}

void RunLog::Open(const std::string& path) {
  if (out_.is_open()) out_.close();
  errno = 0;
  out_.open(path, std::ios::out | std::ios::binary | std::ios::trunc);
  if (!out_.is_open()) {
    int error = errno;
    throw Error(err::kPathFileAccess,
                "Cannot create the run log '" + path +
                    "': " + (error != 0 ? std::strerror(error) : "the file cannot be opened"));
  }
}

void RunLog::Line(std::initializer_list<LogItem> items) {
  if (!out_.is_open()) return;
  for (const LogItem& item : items) out_ << item.text();
  out_ << "\r\n";
  out_.flush();
}

void RunLog::Close() {
  if (out_.is_open()) out_.close();
}

std::string TextBeforeBracket(std::string_view name) {
  return std::string(name.substr(0, name.find('[')));
}

std::optional<int> ParseOptions(int argc, char** argv, std::string_view program_name,
                                Options* options, std::ostream& out, std::ostream& err) {
  enum { kCheck = 256, kReport };
  static const struct option kLongOptions[] = {
      {"help", no_argument, nullptr, 'h'},      {"version", no_argument, nullptr, 'V'},
      {"check", no_argument, nullptr, kCheck},  {"report", required_argument, nullptr, kReport},
      {nullptr, 0, nullptr, 0},
  };
  *options = Options{};
  if (const char* report = std::getenv("RELAMOR_REPORT")) options->report_path = report;
  auto usage_error = [&](const std::string& reason) {
    err << program_name << ": " << reason
        << " (a directory that begins with '-' goes after '--')\n";
    PrintUsage(err, program_name);
    return 64;
  };
  // getopt_long keeps its place in globals: start afresh, report nothing
  // itself, and stop at "--".
  optind = 0;
  opterr = 0;
  int c;
  while ((c = getopt_long(argc, argv, ":hV", kLongOptions, nullptr)) != -1) {
    switch (c) {
      case 'h':
        PrintUsage(out, program_name);
        return 0;
      case 'V':
        out << program_name << " " << RELAMOR_VERSION << "\n";
        return 0;
      case kCheck:
        options->check = true;
        break;
      case kReport:
        options->report_path = optarg;
        break;
      case ':':
        return usage_error(std::string("option '") + argv[optind - 1] + "' needs a value");
      default: {
        const std::string given = optopt != 0 && optopt < 256
                                      ? std::string("-") + static_cast<char>(optopt)
                                      : std::string(argv[optind - 1]);
        return usage_error("unknown option '" + given + "'");
      }
    }
  }
  for (int i = optind; i < argc; ++i) {
    if (i > optind) options->args += ' ';
    options->args += argv[i];
  }
  return std::nullopt;
}

int RunFrame::Main(int argc, char** argv, std::string_view program_name,
                   const std::function<void(RunFrame&)>& start_up) {
  try {
    Options options;
    if (const std::optional<int> status =
            ParseOptions(argc, argv, program_name, &options, std::cout, std::cerr)) {
      return *status;
    }
    return RunWith(options, platform::RegistryRootFromEnvironment(), program_name, start_up);
  } catch (const std::exception& e) {
    std::cerr << program_name << ": " << e.what() << "\n";
    return 1;
  }
}

int RunFrame::RunWith(const std::string& args, const std::string& registry_root,
                      std::string_view program_name,
                      const std::function<void(RunFrame&)>& start_up) {
  Options options;
  options.args = args;
  return RunWith(options, registry_root, program_name, start_up);
}

int RunFrame::RunWith(const Options& options, const std::string& registry_root,
                      std::string_view program_name,
                      const std::function<void(RunFrame&)>& start_up) {
  try {
    RunFrame frame;
    frame.options_ = options;
    frame.registry_root_ = registry_root;
    frame.program_name_ = std::string(program_name);
    return frame.Run(program_name, start_up);
  } catch (const std::exception& e) {
    // Only the frame's own set-up can get here (Run catches everything once
    // the log is open); "False" is still recorded when the key opens.
    std::cerr << program_name << ": cannot start the run: " << e.what() << "\n";
    platform::RegistryKey key;
    std::string reason;
    if (key.Open(registry_root, "HKEY_LOCAL_MACHINE", kProductKey, &reason) &&
        !key.SetValue(kResultValueName, "False", &reason)) {
      std::cerr << program_name << ": " << reason << "\n";
      return 74;
    }
    return 1;
  }
}

int RunFrame::Run(std::string_view program_name, const std::function<void(RunFrame&)>& start_up) {
  const std::string& args = options_.args;
  std::size_t comma = args.find(',');
  if (comma == std::string::npos) {
    std::cerr << program_name << ": expected OLD_DIR,NEW_DIR"
              << (args.empty() ? "" : " (no comma in \"" + args + "\")") << "\n";
    PrintUsage(std::cerr, program_name);
    report_.Start(std::string(program_name), "", "", options_.check);
    return Finish(64, RunErrorInfo{0, "usage error: expected OLD_DIR,NEW_DIR", "", ""}, false);
  }
  if (const std::optional<CopyStrategy> strategy = CopyStrategyFromEnvironment()) {
    copy_strategy_ = *strategy;
  } else {
    const std::string reason = std::string("RELAMOR_COPY_STRATEGY must be auto or rows, not \"") +
                               std::getenv("RELAMOR_COPY_STRATEGY") + "\"";
    std::cerr << program_name << ": " << reason << "\n";
    report_.Start(std::string(program_name), "", "", options_.check);
    return Finish(64, RunErrorInfo{0, reason, "", ""}, false);
  }
  old_dir_ = TrimSpaces(std::string_view(args).substr(0, comma));
  new_dir_ = TrimSpaces(std::string_view(args).substr(comma + 1));
  report_.Start(std::string(program_name), old_dir_, new_dir_, options_.check);

  // An empty new directory means the current one, as for the databases.
  const std::string log_path = new_dir_.empty() ? "RelamorLog.txt" : new_dir_ + "/RelamorLog.txt";
  // A check writes nothing: it opens every database read-only, and only asks
  // whether the log could be created.
  if (options_.check) engine_.SetReadOnly(true);
  try {
    if (options_.check) {
      CheckLogCreatable(log_path);
    } else {
      log_.Open(log_path);
    }
  } catch (const Error& e) {
    std::cerr << program_name << ": " << e.description() << "\n";
    return Finish(73, RunErrorInfo{e.number(), e.description(), "", ""}, false);
  }

  result_text_ = "False";
  std::string reason;
  if (!key_.Open(registry_root_, "HKEY_LOCAL_MACHINE", kProductKey, &reason)) {
    Log({kRegistryAccessError});
    log_.Close();
    std::cerr << program_name << ": registry key not accessible: " << reason << "\n";
    return Finish(2, RunErrorInfo{0, std::string(kRegistryAccessError), "", ""}, false);
  }

  engine_.SetChangeObserver([this](bool updated, std::string_view table) {
    progress_.Row();
    if (updated && table_db_ != nullptr && EqualsNoCase(table, table_name_)) ++rows_edited_;
  });
  try {
    start_up(*this);
    if (options_.check) {
      key_.Close();
      return Finish(report_.problems().empty() ? 0 : 65, std::nullopt);
    }
    // Every row must be on disk before the installer is told "True"; a commit
    // that fails here takes the error path.
    engine_.CommitAll();
  } catch (const RunStopped& stop) {
    key_.Close();
    log_.Close();
    return Finish(2, RunErrorInfo{0, stop.reason, report_.current_database(),
                                  report_.current_table()});
  } catch (const Error& e) {
    return ErrorPath(e.number(), e.description(), program_name);
  } catch (const std::bad_alloc& e) {
    return ErrorPath(kOutOfMemoryNumber,
                     std::string("Run-time error: not enough memory (") + e.what() + ")",
                     program_name);
  } catch (const std::exception& e) {
    return ErrorPath(0, std::string("Run-time error: ") + e.what(), program_name);
  } catch (...) {
    return ErrorPath(0, "Run-time error: unknown failure", program_name);
  }
  return SuccessfulEnd(program_name);
}

int RunFrame::SuccessfulEnd(std::string_view program_name) {
  result_text_ = "True";
  if (!WriteResult(program_name)) {
    log_.Close();
    return 74;
  }
  Log({kSuccessLine});
  log_.Close();
  return Finish(0, std::nullopt);
}

int RunFrame::ErrorPath(int number, const std::string& description, std::string_view program_name) {
  if (options_.check) {
    // The run would end here: the problem it would end with.
    key_.Close();
    AddProblem(report_.current_table(), "", std::nullopt, std::nullopt, description);
    return Finish(65, RunErrorInfo{number, description, report_.current_database(),
                                   report_.current_table()});
  }
  // Rows stored before the error stay stored.
  std::string commit_failure;
  try {
    engine_.CommitAll();
  } catch (const std::exception& e) {
    commit_failure = e.what();
  } catch (...) {
    commit_failure = "unknown failure";
  }
  ReportRunError(number, description);
  if (!commit_failure.empty()) {
    Log({"Rows stored before the error could not be committed: ", OneLine(commit_failure)});
  }
  const bool written = WriteResult(program_name);
  log_.Close();
  return Finish(written ? 1 : 74, RunErrorInfo{number, description, report_.current_database(),
                                               report_.current_table()});
}

void RunFrame::ReportRunError(int number, const std::string& description) {
  if (number == err::kCannotCreateComponent) {
    Log({kComponentLine});
  } else {
    Log({OneLine(description)});
  }
}

bool RunFrame::WriteResult(std::string_view program_name) {
  std::string reason;
  const bool written = key_.SetValue(kResultValueName, result_text_, &reason);
  key_.Close();
  if (written) {
    result_written_ = result_text_;
    return true;
  }
  const std::string line =
      "Registry Write Error, RelamorResult was not recorded (" + result_text_ + "): " + reason;
  Log({line});
  std::cerr << program_name << ": " << line << "\n";
  return false;
}

void RunFrame::StopRun(std::string_view log_line) {
  Log({log_line});
  log_.Close();
  throw RunStopped{std::string(log_line)};
}

void RunFrame::StopOutOfMemory() {
  Log({kOutOfMemory});
  log_.Close();
  progress_.Clear();
  platform::ShowMessageBox(kOutOfMemory);
  throw RunStopped{std::string(kOutOfMemory)};
}

int RunFrame::Finish(int exit_status, std::optional<RunErrorInfo> error, bool summary) {
  progress_.Clear();
  report_.Finish(exit_status, result_written_, std::move(error));
  if (summary) std::cout << report_.Summary() << std::flush;
  if (!options_.report_path.empty()) {
    std::string reason;
    if (!platform::WriteFileReplacing(options_.report_path, report_.Json(), &reason)) {
      std::cerr << program_name_ << ": the report was not written: " << reason << "\n";
    }
  }
  return exit_status;
}

namespace {

long long CountRows(db::Database& database, const std::string& table) {
  db::Recordset rs = database.OpenRecordset("select count(*) from " + QuoteName(table));
  const Value v = rs.Get(0);
  const auto* n = std::get_if<std::int64_t>(&v);
  return n ? *n : 0;
}

}  // namespace

void RunFrame::BeginDatabase(std::size_t index, std::size_t count, const std::string& name) {
  table_db_ = nullptr;
  report_.BeginDatabase(name);
  progress_.Database(index + 1, count, name);
}

void RunFrame::BeginTable(const std::string& new_table) {
  table_db_ = nullptr;
  table_name_ = new_table;
  rows_edited_ = 0;
  report_.BeginTable(new_table, "none", 0, false);
}

void RunFrame::TableOpened(db::Database& old_db, const std::string& old_table,
                           db::Database& new_db) {
  const long long rows_to_read = CountRows(old_db, old_table);
  rows_before_ = CountRows(new_db, table_name_);
  rows_edited_ = 0;
  table_db_ = &new_db;
  report_.SetRowsToRead(rows_to_read);
  progress_.Table(table_name_, rows_to_read);
}

void RunFrame::EndTable() {
  if (table_db_ == nullptr) return;
  const long long added = CountRows(*table_db_, table_name_) - rows_before_;
  table_db_ = nullptr;
  report_.EndTable(added, rows_edited_);
}

bool RunFrame::CanOpenDatabase(const std::string& path) {
  try {
    db::Database database = engine_.OpenDatabase(path, db::OpenMode::kReadOnly);
    database.Close();
    return true;
  } catch (...) {
    return false;
  }
}

void RunFrame::CheckLogCreatable(const std::string& log_path) {
  const std::size_t slash = log_path.find_last_of('/');
  const std::string dir = slash == std::string::npos ? "." : log_path.substr(0, slash + 1);
  struct stat st {};
  if (::stat(log_path.c_str(), &st) == 0 ? ::access(log_path.c_str(), W_OK) != 0
                                          : ::access(dir.c_str(), W_OK | X_OK) != 0) {
    throw Error(err::kPathFileAccess,
                "Cannot create the run log '" + log_path + "': " + std::strerror(errno));
  }
}

void RunFrame::AddProblem(const std::string& table, const std::string& field,
                          std::optional<long long> sno, std::optional<std::string> value,
                          const std::string& message) {
  report_.AddProblem({report_.current_database(), table, field, sno, std::move(value), message});
}

void RunFrame::CopyTemplate(const std::string& from, const std::string& to) {
  if (options_.check) {
    // The site database is checked on the template it would be copied from.
    engine_.AliasPath(to, from);
    return;
  }
  platform::CopyFileReplacing(from, to);
  for (int i = 0; i < 3; ++i) platform::YieldToSystem();
  platform::SetArchiveOnly(to);
}

}  // namespace relamor
