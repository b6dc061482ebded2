#include "toolkit/run_frame.h"

#include <cerrno>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>
#include <optional>
#include <utility>

#include "toolkit/error.h"
#include "toolkit/platform/files.h"
#include "toolkit/platform/message_box.h"

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

void PrintUsage(std::ostream& out, std::string_view program_name) {
  out << "Usage: " << program_name << " OLD_DIR/,NEW_DIR/\n"
      << "       " << program_name << " --help | --version\n"
      << "Converts the databases of the old installation in OLD_DIR into the new databases in\n"
      << "NEW_DIR. Both directories are used as prefixes (end them with '/'); blanks around the\n"
      << "comma are ignored. The run log is NEW_DIR/RelamorLog.txt; the outcome is recorded in\n"
      << "the registry value RelamorResult below $RELAMOR_REGISTRY (default "
      << platform::kDefaultRegistryRoot << ").\n"
      << "Exit status: 0 success, 1 error (see the log), 2 stopped early, 64 usage error,\n"
      << "73 run log not created, 74 result value not written.\n"
      << "RELAMOR_COPY_STRATEGY=rows copies every table row by row (a diagnostic; default auto).\n";
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

int RunFrame::Main(int argc, char** argv, std::string_view program_name,
                   const std::function<void(RunFrame&)>& start_up) {
  try {
    if (argc == 2 && std::string_view(argv[1]) == "--help") {
      PrintUsage(std::cout, program_name);
      return 0;
    }
    if (argc == 2 && std::string_view(argv[1]) == "--version") {
      std::cout << program_name << " " << RELAMOR_VERSION << "\n";
      return 0;
    }
    std::string args;
    for (int i = 1; i < argc; ++i) {
      if (i > 1) args += ' ';
      args += argv[i];
    }
    return RunWith(args, platform::RegistryRootFromEnvironment(), program_name, start_up);
  } catch (const std::exception& e) {
    std::cerr << program_name << ": " << e.what() << "\n";
    return 1;
  }
}

int RunFrame::RunWith(const std::string& args, const std::string& registry_root,
                      std::string_view program_name,
                      const std::function<void(RunFrame&)>& start_up) {
  try {
    RunFrame frame;
    frame.registry_root_ = registry_root;
    return frame.Run(args, program_name, start_up);
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

int RunFrame::Run(const std::string& args, std::string_view program_name,
                  const std::function<void(RunFrame&)>& start_up) {
  std::size_t comma = args.find(',');
  if (comma == std::string::npos) {
    std::cerr << program_name << ": expected OLD_DIR,NEW_DIR"
              << (args.empty() ? "" : " (no comma in \"" + args + "\")") << "\n";
    PrintUsage(std::cerr, program_name);
    return 64;
  }
  if (const std::optional<CopyStrategy> strategy = CopyStrategyFromEnvironment()) {
    copy_strategy_ = *strategy;
  } else {
    std::cerr << program_name << ": RELAMOR_COPY_STRATEGY must be auto or rows, not \""
              << std::getenv("RELAMOR_COPY_STRATEGY") << "\"\n";
    return 64;
  }
  old_dir_ = TrimSpaces(std::string_view(args).substr(0, comma));
  new_dir_ = TrimSpaces(std::string_view(args).substr(comma + 1));

  // An empty new directory means the current one, as for the databases.
  const std::string log_path = new_dir_.empty() ? "RelamorLog.txt" : new_dir_ + "/RelamorLog.txt";
  try {
    log_.Open(log_path);
  } catch (const Error& e) {
    std::cerr << program_name << ": " << e.description() << "\n";
    return 73;
  }

  result_text_ = "False";
  std::string reason;
  if (!key_.Open(registry_root_, "HKEY_LOCAL_MACHINE", kProductKey, &reason)) {
    Log({kRegistryAccessError});
    log_.Close();
    std::cerr << program_name << ": registry key not accessible: " << reason << "\n";
    return 2;
  }

  try {
    start_up(*this);
    // Every row must be on disk before the installer is told "True"; a commit
    // that fails here takes the error path.
    engine_.CommitAll();
  } catch (const RunStopped&) {
    key_.Close();
    log_.Close();
    return 2;
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
  return 0;
}

int RunFrame::ErrorPath(int number, const std::string& description, std::string_view program_name) {
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
  return written ? 1 : 74;
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
  if (written) return true;
  const std::string line =
      "Registry Write Error, RelamorResult was not recorded (" + result_text_ + "): " + reason;
  Log({line});
  std::cerr << program_name << ": " << line << "\n";
  return false;
}

void RunFrame::StopRun(std::string_view log_line) {
  Log({log_line});
  log_.Close();
  throw RunStopped{};
}

void RunFrame::StopOutOfMemory() {
  Log({kOutOfMemory});
  log_.Close();
  platform::ShowMessageBox(kOutOfMemory);
  throw RunStopped{};
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

void RunFrame::CopyTemplate(const std::string& from, const std::string& to) {
  platform::CopyFileReplacing(from, to);
  for (int i = 0; i < 3; ++i) platform::YieldToSystem();
  platform::SetArchiveOnly(to);
}

}  // namespace relamor
