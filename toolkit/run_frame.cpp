#include "toolkit/run_frame.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <new>
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
  out << "Usage: " << program_name << " [--check] [--report FILE] [--] OLD_DIR/,NEW_DIR/\n"
      << "       " << program_name << " --help | --version\n"
      << "Converts the databases of the old installation in OLD_DIR into the new databases in\n"
      << "NEW_DIR. Both directories are used as prefixes (end them with '/'); blanks around the\n"
      << "comma are ignored. The run log is NEW_DIR/RelamorLog.txt; the outcome is recorded in\n"
      << "the registry value RelamorResult below $RELAMOR_REGISTRY (default "
      << platform::kDefaultRegistryRoot << ").\n"
      << "Options: -h, --help; -V, --version; --check; --report FILE (or $RELAMOR_REPORT).\n"
      << "'--' ends the options: a directory that begins with '-' goes after it.\n"
      << "Exit status: 0 success, 1 error (see the log), 2 stopped early, 64 usage error,\n"
      << "73 run log not created, 74 result value not written.\n";
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
  // itself, hand over the operands in order ("-" first in the option text,
  // so that a lone "-", which it takes for an operand, is refused like any
  // other argument beginning with "-"), and stop at "--".
  optind = 0;
  opterr = 0;
  bool any_operand = false;
  int c;
  while ((c = getopt_long(argc, argv, "-:hV", kLongOptions, nullptr)) != -1) {
    switch (c) {
      case 1:
        if (std::strcmp(optarg, "-") == 0) return usage_error("unknown option '-'");
        if (any_operand) options->args += ' ';
        options->args += optarg;
        any_operand = true;
        break;
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
    if (any_operand) options->args += ' ';
    options->args += argv[i];
    any_operand = true;
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
