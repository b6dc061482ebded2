#include "toolkit/run_frame.h"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
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

// The signal that asked the run to stop (0: none). Set by the handler only.
volatile std::sig_atomic_t g_stop_signal = 0;

extern "C" void OnStopSignal(int signal_number) { g_stop_signal = signal_number; }

const char* SignalName(int signal_number) {
  switch (signal_number) {
    case SIGTERM:
      return "SIGTERM";
    case SIGINT:
      return "SIGINT";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "a signal";
  }
}

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
      << "73 run log not created, 74 result value not written, 75 another run holds NEW_DIR.\n";
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

RunLog::~RunLog() {
  if (fd_ >= 0) ::close(fd_);
}

void RunLog::Open(const std::string& path) {
  if (fd_ >= 0) ::close(fd_);
  path_ = path;
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    throw Error(err::kPathFileAccess,
                "Cannot create the run log '" + path + "': " + std::strerror(errno));
  }
}

void RunLog::Fail(int error) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  throw Error(err::kDeviceIo, "Device I/O error: the run log '" + path_ +
                                  "' could not be written (" + std::strerror(error) + ")");
}

void RunLog::Line(std::initializer_list<LogItem> items) {
  if (fd_ < 0) return;
  std::string line;
  for (const LogItem& item : items) line += item.text();
  line += "\r\n";
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t put = ::write(fd_, p, left);
    if (put < 0) {
      if (errno == EINTR) continue;
      Fail(errno);
    }
    if (put == 0) Fail(EIO);
    p += put;
    left -= static_cast<std::size_t>(put);
  }
}

void RunLog::Close() {
  if (fd_ < 0) return;
  // The log is read after the run: it must be on disk before the run says
  // it ended.
  if (::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS) Fail(errno);
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && errno != EINTR) Fail(errno);
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

void RunFrame::InstallSignalHandlers() {
  g_stop_signal = 0;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal_number, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
}

void RunFrame::ThrowIfStopRequested() {
  const int signal_number = g_stop_signal;
  if (signal_number == 0) return;
  throw Error(err::kUserInterrupt, std::string("Run stopped by ") + SignalName(signal_number) +
                                       ": the rows stored so far are committed, the rest is "
                                       "not converted");
}

int RunFrame::Main(int argc, char** argv, std::string_view program_name,
                   const std::function<void(RunFrame&)>& start_up) {
  InstallSignalHandlers();
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
  program_name_ = std::string(program_name);
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
  const std::string log_dir = new_dir_.empty() ? "." : new_dir_;
  const std::string log_path = log_dir + "/RelamorLog.txt";

  // Template copies into the old directory would replace the old site
  // databases: refuse before anything is written.
  const std::string old_resolved = platform::ResolvedDirectoryOf(old_dir_);
  for (const std::string& new_resolved :
       {platform::ResolvedDirectoryOf(new_dir_), platform::ResolvedDirectoryOf(log_dir + "/")}) {
    if (platform::SameOrNested(old_resolved, new_resolved)) {
      PrintReason("the old directory '" + old_dir_ + "' and the new directory '" + new_dir_ +
                  "' are " +
                  (old_resolved == new_resolved ? "the same directory ('" + old_resolved + "')"
                                                : "nested ('" + old_resolved + "', '" +
                                                      new_resolved + "')") +
                  "; nothing was written");
      return 64;
    }
  }

  // One run at a time per new directory, before the log is touched.
  std::string reason;
  switch (lock_.Lock(log_dir, &reason)) {
    case platform::DirectoryLock::Outcome::kBusy:
      PrintReason("another run is converting into the new directory '" + log_dir +
                  "' (it is locked); this run wrote nothing");
      return 75;
    case platform::DirectoryLock::Outcome::kFailed:
      PrintReason("cannot lock the new directory '" + log_dir + "': " + reason);
      return 73;
    default:
      break;  // a missing directory is reported by the log
  }
  try {
    platform::KeepPreviousFile(log_path);
    log_.Open(log_path);
  } catch (const Error& e) {
    PrintReason(e.description());
    return 73;
  }

  result_text_ = "False";
  if (!key_.Open(registry_root_, "HKEY_LOCAL_MACHINE", kProductKey, &reason)) {
    const bool logged = TryLog({kRegistryAccessError});
    TryCloseLog();
    PrintReason("registry key not accessible: " + reason +
                (logged ? "" : " (and the run log could not be written)"));
    return 2;
  }

  pristine_.emplace(new_dir_);
  engine_.SetStopCheck(&RunFrame::ThrowIfStopRequested);
  engine_.SetBeforeFirstWrite([this](const std::string& path) { pristine_->BeforeFirstWrite(path); });
  try {
    for (const std::string& line : pristine_->Prepare()) PrintReason(line);
    start_up(*this);
    // A stop asked for after the last row still ends with "False".
    ThrowIfStopRequested();
    // Every row must be on disk before the installer is told "True"; a commit
    // that fails here takes the error path.
    engine_.CommitAll();
  } catch (const RunStopped&) {
    key_.Close();
    pristine_->RecordEnd();
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

int RunFrame::SuccessfulEnd(std::string_view) {
  pristine_->RecordEnd();
  result_text_ = "True";
  if (std::optional<std::string> failure = WriteResult()) {
    TryCloseLog();
    PrintReason(*failure);
    return 74;
  }
  if (TryLog({kSuccessLine}) && TryCloseLog()) return 0;
  // Never "True" with an incomplete log.
  result_text_ = "False";
  std::string reason;
  if (!key_.Open(registry_root_, "HKEY_LOCAL_MACHINE", kProductKey, &reason) ||
      !key_.SetValue(kResultValueName, result_text_, &reason)) {
    PrintReason(log_failure_ + "; RelamorResult still says True and could not be corrected: " +
                reason);
    key_.Close();
    return 74;
  }
  key_.Close();
  PrintReason(log_failure_);
  return 1;
}

int RunFrame::ErrorPath(int number, const std::string& description, std::string_view) {
  // Rows stored before the error stay stored.
  std::string commit_failure;
  try {
    engine_.CommitAll();
  } catch (const std::exception& e) {
    commit_failure = e.what();
  } catch (...) {
    commit_failure = "unknown failure";
  }
  if (pristine_) pristine_->RecordEnd();
  ReportRunError(number, description);
  if (!commit_failure.empty()) {
    TryLog({"Rows stored before the error could not be committed: ", OneLine(commit_failure)});
  }
  const std::optional<std::string> failure = WriteResult();
  TryCloseLog();
  if (failure) {
    PrintReason(*failure);
    return 74;
  }
  // The log's last line, or why the log lacks it.
  std::string line = number == err::kCannotCreateComponent ? std::string(kComponentLine)
                                                           : OneLine(description);
  if (!log_failure_.empty() && log_failure_ != OneLine(description)) {
    line += " (" + log_failure_ + ")";
  }
  PrintReason(line);
  return 1;
}

void RunFrame::ReportRunError(int number, const std::string& description) {
  if (number == err::kCannotCreateComponent) {
    TryLog({kComponentLine});
  } else {
    TryLog({OneLine(description)});
  }
}

std::optional<std::string> RunFrame::WriteResult() {
  std::string reason;
  const bool written = key_.SetValue(kResultValueName, result_text_, &reason);
  key_.Close();
  if (written) return std::nullopt;
  const std::string line =
      "Registry Write Error, RelamorResult was not recorded (" + result_text_ + "): " + reason;
  TryLog({line});
  return line;
}

bool RunFrame::TryLog(std::initializer_list<LogItem> items) {
  try {
    log_.Line(items);
    return true;
  } catch (const Error& e) {
    if (log_failure_.empty()) log_failure_ = e.description();
    return false;
  }
}

bool RunFrame::TryCloseLog() {
  try {
    log_.Close();
    return log_failure_.empty();
  } catch (const Error& e) {
    if (log_failure_.empty()) log_failure_ = e.description();
    return false;
  }
}

void RunFrame::PrintReason(std::string_view line) {
  // Standard error may be a closed pipe: a failed write is ignored.
  std::cerr << program_name_ << ": " << line << std::endl;
  std::cerr.clear();
}

void RunFrame::StopRun(std::string_view log_line) {
  Log({log_line});
  log_.Close();
  PrintReason(log_line);
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
  // A journal an interrupted run left beside `to` belongs to the old file; it
  // must not be played back into the fresh copy.
  platform::RemoveDatabaseSideFiles(to);
  platform::CopyFileReplacing(from, to);
  for (int i = 0; i < 3; ++i) platform::YieldToSystem();
  platform::SetArchiveOnly(to);
}

}  // namespace relamor
