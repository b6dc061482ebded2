#include "toolkit/run_frame.h"

#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iostream>
#include <mutex>
#include <new>
#include <optional>
#include <thread>
#include <utility>

#include "toolkit/error.h"
#include "toolkit/platform/files.h"
#include "toolkit/platform/message_box.h"
#include "toolkit/run_status.h"
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
// The exit status of a run the hidden folder refuses (safe_rerun.h).
constexpr int kRefusedStatus = 76;
// The run-time's number for a failed memory allocation.
constexpr int kOutOfMemoryNumber = 7;

// What each program converts, for its usage text.
std::string_view Converts(std::string_view program_name) {
  if (program_name == "relamor2035") {
    return "Converts an installation of release 2.0: the tables of the mapping table\n"
           "'export' field by field, and the tables whose layout changed (channel,\n"
           "modemconnection, ipconnection, serialconnection, prompt, Customers, Sites) by\n"
           "their own rules.\n";
  }
  if (program_name == "relamor3035") {
    return "Converts an installation of release 3.0 through the mapping table 'export3035',\n"
           "field by field.\n";
  }
  return "Converts an installation of release 3.0 or 3.5 (service packs included)\n"
         "through the mapping table 'export', chosen by release number; renumbers command\n"
         "ids and fixes board types. Refuses release 2.0 (use relamor2035).\n";
}

// The signal that asked the run to stop (0: none). Set by the handler only;
// read by the run's thread and its workers (a lock-free atomic, so the
// handler may set it).
std::atomic<int> g_stop_signal{0};
static_assert(std::atomic<int>::is_always_lock_free);

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
  out << "Usage: " << program_name << " [--check] [--again] [--jobs N] [--report FILE] [--]\n"
      << "       " << std::string(program_name.size(), ' ') << " OLD_DIR/,NEW_DIR/\n"
      << "       " << program_name << " --status NEW_DIR/\n"
      << "       " << program_name << " --help | --version\n"
      << Converts(program_name)
      << "The databases of the old installation in OLD_DIR are copied into the new, empty\n"
      << "databases in NEW_DIR. Both directories are used as prefixes (end them with '/');\n"
      << "blanks around the comma are ignored. The run log is NEW_DIR/RelamorLog.txt; the\n"
      << "outcome is recorded in the registry value RelamorResult. A summary, one line per\n"
      << "database and table, is printed on standard output at the end.\n"
      << "\n"
      << "Options:\n"
      << "  --check            check what a run would do and what it would fail on,\n"
      << "                     writing nothing: prints the plan, the warnings and the\n"
      << "                     problems (exit 65 for problems)\n"
      << "  --again            convert again a successful conversion whose new databases\n"
      << "                     changed since, from the copies kept before it: the\n"
      << "                     changes are discarded (see exit status 76)\n"
      << "  --jobs N           convert the site databases on N workers after the main\n"
      << "                     database (default: the number of CPUs; 1: one after\n"
      << "                     the other); the outcome is the same for every N\n"
      << "  --report FILE      write a JSON report of the run (or the check) to FILE\n"
      << "  --status           tell what state NEW_DIR is in: never converted, last\n"
      << "                     run failed (where, why), converted, in use since\n"
      << "  -h, --help         print this text and exit\n"
      << "  -V, --version      print the program name and version and exit\n"
      << "  --                 end of the options: a directory beginning with '-' follows\n"
      << "\n"
      << "Environment:\n"
      << "  RELAMOR_REGISTRY       root of the registry tree (default\n"
      << "                         " << platform::kDefaultRegistryRoot << "); the key\n"
      << "                         HKEY_LOCAL_MACHINE/SOFTWARE/Kestrun/Tervanis must exist\n"
      << "  RELAMOR_REPORT=FILE    as --report FILE (the option wins)\n"
      << "  RELAMOR_JOBS=N         as --jobs N (the option wins)\n"
      << "  RELAMOR_COPY_STRATEGY  auto (default) or rows: copy row by row only\n"
      << "                         (a diagnostic)\n"
      << "\n"
      << "Exit status:\n"
      << "  0   the conversion completed (RelamorResult True)\n"
      << "  1   an error ended the run; its description is the last log line (False)\n"
      << "      (also: --check stopped by a signal)\n"
      << (program_name == "relamor"
              ? "  2   stopped early: registry key not accessible, release 2.0 refused, or an\n"
                "      invalid site number (RelamorResult not written)\n"
              : "  2   stopped early: registry key not accessible, or an invalid site number\n"
                "      (RelamorResult not written)\n")
      << "  64  usage error: no argument or no comma, an unknown option, an unknown\n"
      << "      RELAMOR_COPY_STRATEGY or RELAMOR_JOBS, old and new directory the same\n"
      << "  65  --check: the run would end through an error (the first problem listed)\n"
      << "  73  the run log could not be created (the new directory is missing, say)\n"
      << "  74  RelamorResult, standard output or the report could not be written\n"
      << "  75  another run holds the new directory\n"
      << "  76  refused by the new directory's hidden folder .relamor: a new database\n"
      << "      changed since a successful conversion (see --again), or the folder is\n"
      << "      not sound; nothing was written\n"
      << "\n"
      << "See " << program_name << "(1) for the files, recovery and signals.\n";
}

// A usage error: one line naming the problem, and where to read more.
void PrintUsageError(std::ostream& err, std::string_view program_name, std::string_view line) {
  err << program_name << ": " << line << "\n"
      << "Try '" << program_name << " --help'.\n";
}

// A directory and a file name in it, with one "/" between them.
std::string InDirectory(const std::string& dir, std::string_view name) {
  return dir + (dir.ends_with('/') ? "" : "/") + std::string(name);
}

std::string TrimSpaces(std::string_view text) {
  std::size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  std::size_t last = text.find_last_not_of(' ');
  return std::string(text.substr(first, last - first + 1));
}

// A job count: a whole number from 1 to kMaxJobs, digits only.
std::optional<unsigned> JobCount(std::string_view text) {
  if (text.empty() || text.size() > 4 || text.find_first_not_of("0123456789") != text.npos) {
    return std::nullopt;
  }
  const unsigned n = static_cast<unsigned>(std::stoul(std::string(text)));
  if (n < 1 || n > kMaxJobs) return std::nullopt;
  return n;
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
  // The previous log was moved aside: a file found here now was planted, and
  // a link is never followed.
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
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
  if (fd_ < 0 && !keeping_) return;
  std::string line;
  for (const LogItem& item : items) line += item.text();
  line += "\r\n";
  if (keeping_) {
    kept_ += line;
    return;
  }
  WriteAll(line);
}

void RunLog::Append(const std::string& lines) {
  if (fd_ < 0 || lines.empty()) return;
  WriteAll(lines);
}

void RunLog::WriteAll(const std::string& text) {
  const char* p = text.data();
  std::size_t left = text.size();
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
                                Options* options, std::ostream& out, std::ostream& err,
                                std::string* usage_reason) {
  enum { kCheck = 256, kReport, kStatus, kAgain, kJobs };
  static const struct option kLongOptions[] = {
      {"help", no_argument, nullptr, 'h'},      {"version", no_argument, nullptr, 'V'},
      {"check", no_argument, nullptr, kCheck},  {"report", required_argument, nullptr, kReport},
      {"status", no_argument, nullptr, kStatus}, {"again", no_argument, nullptr, kAgain},
      {"jobs", required_argument, nullptr, kJobs}, {nullptr, 0, nullptr, 0},
  };
  *options = Options{};
  if (const char* report = std::getenv("RELAMOR_REPORT")) options->report_path = report;
  auto usage_error = [&](const std::string& reason, bool dash_hint = true) {
    const std::string line =
        reason + (dash_hint ? " (a directory that begins with '-' goes after '--')" : "");
    PrintUsageError(err, program_name, line);
    if (usage_reason) *usage_reason = line;
    return 64;
  };
  // Help and version are the output asked for: a failed write is an error.
  auto printed = [&]() {
    out.flush();
    if (out) return 0;
    const int error = errno;
    out.clear();
    err << program_name << ": write error on standard output: "
        << (error != 0 ? std::strerror(error) : "unknown cause") << "\n";
    return 74;
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
        errno = 0;
        PrintUsage(out, program_name);
        return printed();
      case 'V':
        errno = 0;
        out << program_name << " " << RELAMOR_VERSION << "\n";
        return printed();
      case kCheck:
        options->check = true;
        break;
      case kReport:
        options->report_path = optarg;
        break;
      case kAgain:
        options->again = true;
        break;
      case kJobs: {
        const std::optional<unsigned> jobs = JobCount(optarg);
        if (!jobs) {
          return usage_error("--jobs takes a whole number from 1 to " + std::to_string(kMaxJobs) +
                                 ", not '" + optarg + "'",
                             false);
        }
        options->jobs = *jobs;
        break;
      }
      case kStatus:
        options->status = true;
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
  if (options->status && options->check) {
    return usage_error("--status and --check exclude each other", false);
  }
  if (options->status && !any_operand) return usage_error("--status needs NEW_DIR", false);
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
  // For tests: a file (a FIFO the test made) told that a stop signal sent
  // from now on is caught, so a test need not wait on a timer. Never created.
  if (const char* ready = std::getenv("RELAMOR_TEST_READY_FILE"); ready != nullptr && *ready) {
    const int fd = ::open(ready, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
      (void)!::write(fd, "ready\n", 6);
      ::close(fd);
    }
  }
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
  db::Engine::SetUpProcess();
  InstallSignalHandlers();
  try {
    Options options;
    std::string usage_reason;
    if (const std::optional<int> status = ParseOptions(argc, argv, program_name, &options,
                                                       std::cout, std::cerr, &usage_reason)) {
      // A usage error writes the report asked for, as every other end does.
      if (*status == 64 && !options.report_path.empty()) {
        RunReport report;
        report.StartWithoutDirectories(std::string(program_name), options.check);
        report.Finish(64, std::nullopt, RunErrorInfo{0, "usage error: " + usage_reason, "", ""});
        std::string reason;
        if (!platform::WriteFileReplacing(options.report_path, report.Json(), &reason)) {
          std::cerr << program_name << ": the report was not written: " << reason << "\n";
        }
      }
      return *status;
    }
    if (options.status) {
      // The new directory alone, or the part after the comma of OLD,NEW.
      const std::size_t comma = options.args.find(',');
      return PrintDirectoryState(
          TrimSpaces(comma == std::string::npos ? options.args : options.args.substr(comma + 1)),
          program_name, std::cout, std::cerr);
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
  program_name_ = std::string(program_name);
  const std::string& args = options_.args;
  std::size_t comma = args.find(',');
  if (comma == std::string::npos) {
    const std::string line = std::string("expected OLD_DIR,NEW_DIR") +
                             (args.empty() ? "" : " (no comma in \"" + args + "\")");
    PrintUsageError(std::cerr, program_name, line);
    report_.StartWithoutDirectories(std::string(program_name), options_.check);
    return Finish(64, RunErrorInfo{0, "usage error: " + line, "", ""}, false);
  }
  if (const std::optional<CopyStrategy> strategy = CopyStrategyFromEnvironment()) {
    copy_strategy_ = *strategy;
  } else {
    const std::string reason = std::string("RELAMOR_COPY_STRATEGY must be auto or rows, not \"") +
                               std::getenv("RELAMOR_COPY_STRATEGY") + "\"";
    PrintUsageError(std::cerr, program_name, reason);
    report_.StartWithoutDirectories(std::string(program_name), options_.check);
    return Finish(64, RunErrorInfo{0, "usage error: " + reason, "", ""}, false);
  }
  if (options_.jobs == 0) {
    const char* jobs = std::getenv("RELAMOR_JOBS");
    if (jobs != nullptr && *jobs != '\0') {
      const std::optional<unsigned> n = JobCount(jobs);
      if (!n) {
        const std::string reason = "RELAMOR_JOBS must be a whole number from 1 to " +
                                   std::to_string(kMaxJobs) + ", not \"" + jobs + "\"";
        PrintUsageError(std::cerr, program_name, reason);
        report_.StartWithoutDirectories(std::string(program_name), options_.check);
        return Finish(64, RunErrorInfo{0, "usage error: " + reason, "", ""}, false);
      }
      options_.jobs = *n;
    } else {
      options_.jobs = std::clamp(std::thread::hardware_concurrency(), 1u, kMaxJobs);
    }
  }
  old_dir_ = TrimSpaces(std::string_view(args).substr(0, comma));
  new_dir_ = TrimSpaces(std::string_view(args).substr(comma + 1));
  report_.Start(std::string(program_name), old_dir_, new_dir_, options_.check);

  // An empty new directory means the current one, as for the databases.
  const std::string log_dir = new_dir_.empty() ? "." : new_dir_;
  const std::string log_path = InDirectory(log_dir, "RelamorLog.txt");

  // Template copies into the old directory would replace the old site
  // databases: refuse before anything is written. Nested directories hold
  // different files and are accepted.
  const std::string old_resolved = platform::ResolvedDirectoryOf(old_dir_);
  for (const std::string& new_resolved :
       {platform::ResolvedDirectoryOf(new_dir_), platform::ResolvedDirectoryOf(log_dir + "/")}) {
    if (old_resolved == new_resolved) {
      std::string line = "the old directory '" + old_dir_ + "' and the new directory '" +
                         new_dir_ + "' are the same directory ('" + old_resolved + "')";
      // A prefix without its trailing "/" names files in its parent.
      const auto with_slash = [](const std::string& dir) {
        return dir.empty() || dir.back() == '/' ? dir : dir + "/";
      };
      const std::string old_fixed = with_slash(old_dir_);
      const std::string new_fixed = with_slash(new_dir_);
      if ((old_fixed != old_dir_ || new_fixed != new_dir_) &&
          platform::ResolvedDirectoryOf(old_fixed) != platform::ResolvedDirectoryOf(new_fixed)) {
        line += ": the directories are prefixes that file names are appended to, so each must "
                "end with '/'; did you mean '" + old_fixed + "," + new_fixed + "'?";
      }
      line += "; nothing was written";
      PrintUsageError(std::cerr, program_name, line);
      return Finish(64, RunErrorInfo{0, "usage error: " + line, "", ""}, false);
    }
  }

  // The installer makes the new directory: without it there is nothing to
  // convert into, and the log cannot be created.
  {
    struct stat st {};
    const bool exists = ::stat(log_dir.c_str(), &st) == 0;
    if (!exists || !S_ISDIR(st.st_mode)) {
      const std::string line = "cannot create the run log: the new directory '" + log_dir +
                               (exists ? "' is not a directory" : "' does not exist") +
                               "; nothing was written";
      PrintReason(line);
      return Finish(73, RunErrorInfo{err::kPathFileAccess, line, "", ""}, false);
    }
  }

  // One run at a time per new directory, before the log is touched (the
  // lock creates no file, so a check takes it too and agrees with the run).
  std::string reason;
  switch (lock_.Lock(log_dir, &reason)) {
    case platform::DirectoryLock::Outcome::kBusy: {
      const std::string line = "another run is converting into the new directory '" + log_dir +
                               "' (it is locked); this run wrote nothing";
      PrintReason(line);
      return Finish(75, RunErrorInfo{0, line, "", ""}, false);
    }
    case platform::DirectoryLock::Outcome::kFailed: {
      const std::string line = "cannot lock the new directory '" + log_dir + "': " + reason;
      PrintReason(line);
      return Finish(73, RunErrorInfo{0, line, "", ""}, false);
    }
    default:
      break;  // a missing directory is reported by the log
  }
  // A repeat that would destroy data is refused before anything is written,
  // by a check as by a run.
  rerun_.emplace(new_dir_, program_name_, options_.again);
  try {
    if (std::optional<std::string> refusal = rerun_->Assess()) {
      PrintReason(*refusal);
      return Finish(kRefusedStatus, RunErrorInfo{0, *refusal, "", ""}, false);
    }
  } catch (const Error& e) {
    const std::string line = e.description() + "; nothing was written";
    PrintReason(line);
    return Finish(kRefusedStatus, RunErrorInfo{e.number(), line, "", ""}, false);
  }

  // A check writes nothing: it opens every database read-only, and only asks
  // whether the log could be created.
  if (options_.check) engine_.SetReadOnly(true);
  try {
    if (options_.check) {
      CheckLogCreatable(log_path);
    } else {
      platform::KeepPreviousFile(log_path);
      log_.Open(log_path);
    }
  } catch (const Error& e) {
    PrintReason(e.description());
    return Finish(73, RunErrorInfo{e.number(), e.description(), "", ""}, false);
  }

  result_text_ = "False";
  if (!key_.Open(registry_root_, "HKEY_LOCAL_MACHINE", kProductKey, &reason)) {
    const bool logged = TryLog({kRegistryAccessError});
    TryCloseLog();
    PrintReason("registry key not accessible: " + reason +
                (logged ? "" : " (and the run log could not be written)"));
    return Finish(2, RunErrorInfo{0, std::string(kRegistryAccessError), "", ""}, false);
  }

  // Until the first write, the new main database is read from the copy the
  // run will restore, so that every read sees what the run converts.
  if (std::optional<std::string> copy = rerun_->ReadsFrom("qorsite.mdb")) {
    engine_.AliasPath(new_dir_ + "qorsite.mdb", *copy);
  }
  if (!options_.check) {
    engine_.SetBeforeFirstWrite([this](const std::string& path) { BeforeDatabaseWrite(path); });
  } else if (std::optional<std::string> copy = rerun_->ReadsFrom("qorsite.mdb")) {
    PrintReason("checking " + new_dir_ + "qorsite.mdb as a rerun would restore it, from " +
                *copy);
  }
  // The engine asks between rows and, in a long statement, every so many
  // steps: the progress line shows that it is at work.
  engine_.SetStopCheck([this] {
    ThrowIfStopRequested();
    progress_.Tick();
  });
  engine_.SetChangeObserver(
      [this](bool updated, std::string_view table, std::int64_t rows) {
        RowChanged(updated, table, rows);
      });
  try {
    start_up(*this);
    if (options_.check) {
      key_.Close();
      if (report_.problems().empty()) return Finish(0, std::nullopt);
      const Problem& first = report_.problems().front();
      PrintReason("the check found " + std::to_string(report_.problems().size()) +
                  " problem(s); the run would end with: " + first.message);
      return Finish(65, RunErrorInfo{first.number, first.message, first.database, first.table});
    }
    // A stop asked for after the last row still ends with "False".
    ThrowIfStopRequested();
    // Every row must be on disk before the installer is told "True"; a commit
    // that fails here takes the error path.
    engine_.CommitAll();
  } catch (const RunStopped& stop) {
    key_.Close();
    rerun_->RecordEnd(LastRunEnd::kStopped);
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

int RunFrame::SuccessfulEnd(std::string_view) {
  // The hidden folder records "True" only once the installer is told so and
  // the log is complete; a run killed before is restored by the next.
  result_text_ = "True";
  if (std::optional<std::string> failure = WriteResult()) {
    rerun_->RecordEnd(LastRunEnd::kFalse);
    TryCloseLog();
    PrintReason(*failure);
    return Finish(74, RunErrorInfo{0, *failure, "", ""});
  }
  if (TryLog({kSuccessLine}) && TryCloseLog()) {
    rerun_->RecordEnd(LastRunEnd::kTrue);
    return Finish(0, std::nullopt);
  }
  rerun_->RecordEnd(LastRunEnd::kFalse);
  // Never "True" with an incomplete log.
  result_text_ = "False";
  std::string reason;
  if (!key_.Open(registry_root_, "HKEY_LOCAL_MACHINE", kProductKey, &reason) ||
      !key_.SetValue(kResultValueName, result_text_, &reason)) {
    PrintReason(log_failure_ + "; RelamorResult still says True and could not be corrected: " +
                reason);
    key_.Close();
    return Finish(74, RunErrorInfo{0, log_failure_, "", ""});
  }
  key_.Close();
  PrintReason(log_failure_);
  return Finish(1, RunErrorInfo{0, log_failure_, "", ""});
}

int RunFrame::ErrorPath(int number, const std::string& description, std::string_view) {
  if (number == err::kUserInterrupt && g_stop_signal != 0) {
    report_.SetStopSignal(SignalName(g_stop_signal));
  }
  if (options_.check) {
    key_.Close();
    if (number == err::kUserInterrupt) {
      // Stopped by the operator: not a problem of the installation.
      PrintReason("the check was stopped by " + std::string(SignalName(g_stop_signal)) +
                  " before it ended; " + std::to_string(report_.problems().size()) +
                  " problem(s) found so far");
      return Finish(1, RunErrorInfo{number, description, report_.current_database(),
                                    report_.current_table()});
    }
    // The run would end here: the problem it would end with.
    const bool earlier = !report_.problems().empty();
    AddProblem(report_.current_table(), "", std::nullopt, std::nullopt, description, number);
    const Problem& first = report_.problems().front();
    PrintReason("the check found " + std::to_string(report_.problems().size()) +
                " problem(s); the run would end with: " + first.message);
    // An earlier problem is where the run would end.
    return Finish(65, earlier ? RunErrorInfo{first.number, first.message, first.database,
                                             first.table}
                              : RunErrorInfo{number, description, report_.current_database(),
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
  if (commit_failure.empty()) commit_failure = worker_commit_failure_;
  rerun_->RecordEnd(LastRunEnd::kFalse);
  ReportRunError(number, description);
  if (!commit_failure.empty()) {
    TryLog({"Rows stored before the error could not be committed: ", OneLine(commit_failure)});
  }
  const std::optional<std::string> failure = WriteResult();
  TryCloseLog();
  const RunErrorInfo info{number, description, report_.current_database(),
                          report_.current_table()};
  if (failure) {
    PrintReason(*failure);
    return Finish(74, info);
  }
  // The log's last line, or why the log lacks it.
  std::string line = number == err::kCannotCreateComponent ? std::string(kComponentLine)
                                                           : OneLine(description);
  if (!log_failure_.empty() && log_failure_ != OneLine(description)) {
    line += " (" + log_failure_ + ")";
  }
  PrintReason(line);
  return Finish(1, info);
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
  if (written) {
    result_written_ = result_text_;
    return std::nullopt;
  }
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
  // The progress line goes first, so that the reason starts a line of its own.
  progress_.Clear();
  // Standard error may be a closed pipe: a failed write is ignored.
  std::cerr << program_name_ << ": " << line << std::endl;
  std::cerr.clear();
}

void RunFrame::StopRun(std::string_view log_line, std::string_view advice) {
  Log({log_line});
  log_.Close();
  PrintReason(std::string(log_line) + std::string(advice));
  throw RunStopped{std::string(log_line)};
}

void RunFrame::StopOutOfMemory() {
  Log({kOutOfMemory});
  log_.Close();
  progress_.Clear();
  platform::ShowMessageBox(program_name_, kOutOfMemory);
  throw RunStopped{std::string(kOutOfMemory)};
}

int RunFrame::Finish(int exit_status, std::optional<RunErrorInfo> error, bool summary) {
  progress_.Clear();
  report_.Finish(exit_status, result_written_, std::move(error));
  // An output that was asked for and could not be written makes the status
  // non-zero (the outcome itself is recorded already).
  if (summary) {
    errno = 0;
    std::cout << report_.Summary() << std::flush;
    if (!std::cout) {
      const int cause = errno;
      std::cout.clear();
      PrintReason(std::string("write error on standard output (the summary): ") +
                  (cause != 0 ? std::strerror(cause) : "unknown cause"));
      if (exit_status == 0) exit_status = 74;
    }
  }
  if (!options_.report_path.empty()) {
    std::string reason;
    if (!platform::WriteFileReplacing(options_.report_path, report_.Json(), &reason)) {
      PrintReason("the report was not written: " + reason);
      if (exit_status == 0) exit_status = 74;
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

void RunFrame::TableOpened(db::Database& new_db) {
  rows_before_ = CountRows(new_db, table_name_);
  rows_added_.reset();
  rows_edited_ = 0;
  table_db_ = &new_db;
  progress_.Table(table_name_, -1);
}

void RunFrame::OldRowsKnown(db::Database& old_db, const std::string& old_table,
                            std::optional<long long> old_rows) {
  const long long rows_to_read = old_rows ? *old_rows : CountRows(old_db, old_table);
  report_.SetRowsToRead(rows_to_read);
  progress_.Table(table_name_, rows_to_read);
}

void RunFrame::EndTable() {
  if (table_db_ == nullptr) return;
  const long long added =
      rows_added_ ? *rows_added_ : CountRows(*table_db_, table_name_) - rows_before_;
  rows_added_.reset();
  table_db_ = nullptr;
  report_.EndTable(added, rows_edited_);
}

void RunFrame::RowChanged(bool updated, std::string_view table, std::int64_t rows) {
  progress_.Rows(rows);
  if (updated && table_db_ != nullptr && EqualsNoCase(table, table_name_)) rows_edited_ += rows;
}

void RunFrame::TracePath(const std::string& line) {
  if (parent_ != nullptr) {
    traces_.push_back(line);
  } else {
    std::cerr << line << "\n";
  }
}

RunFrame::RunFrame(RunFrame* parent)
    : options_(parent->options_),
      program_name_(parent->program_name_),
      registry_root_(parent->registry_root_),
      old_dir_(parent->old_dir_),
      new_dir_(parent->new_dir_),
      progress_(nullptr),
      parent_(parent),
      copy_strategy_(parent->copy_strategy_) {}

std::unique_ptr<RunFrame> RunFrame::NewWorkerFrame(const std::atomic<bool>& abandon,
                                                   std::mutex& writes) {
  std::unique_ptr<RunFrame> worker(new RunFrame(this));
  worker->parent_writes_ = &writes;
  worker->log_.KeepLines();
  RunFrame* w = worker.get();
  // The layouts of the tables the first passes read: every site database is
  // a copy of the same template. This frame's engine opens nothing while
  // workers run, so the workers only ever read it here.
  w->engine_.TakeLayoutsOf(engine_);
  // Only runs have workers (a check reads its site databases on this
  // frame's engine, aliased to the template), and their site databases were
  // made from the template before the passes began.
  w->engine_.SetBeforeFirstWrite([w](const std::string& path) { w->BeforeDatabaseWrite(path); });
  w->engine_.SetStopCheck([&abandon] {
    ThrowIfStopRequested();
    // A worker ahead of a failed pass stops at once: its site database is
    // put back as the template left it.
    if (abandon.load(std::memory_order_relaxed)) {
      throw Error(err::kUserInterrupt, "Run stopped: an earlier site database failed");
    }
  });
  w->engine_.SetChangeObserver(
      [w](bool updated, std::string_view table, std::int64_t rows) {
        w->RowChanged(updated, table, rows);
      });
  return worker;
}

RunFrame::WorkerPass RunFrame::TakeWorkerPass() {
  return WorkerPass{log_.TakeKeptLines(), std::move(report_), std::move(traces_)};
}

void RunFrame::AdoptWorkerPass(WorkerPass pass, std::size_t index, std::size_t count) {
  const std::string name =
      pass.report.databases().empty() ? std::string() : pass.report.databases().front().name;
  table_db_ = nullptr;
  report_.AppendPass(std::move(pass.report));
  progress_.Database(index + 1, count, name);
  for (const std::string& line : pass.traces) std::cerr << line << "\n";
  log_.Append(pass.log_lines);
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
                          const std::string& message, int number, std::string file,
                          std::optional<std::string> row) {
  report_.AddProblem({report_.current_database(), table, field, sno, std::move(value), message,
                      number, std::move(file), std::move(row)});
}

void RunFrame::TableInterrupted() {
  if (table_db_ == nullptr) return;
  try {
    const long long added =
        rows_added_ ? *rows_added_ : CountRows(*table_db_, table_name_) - rows_before_;
    report_.SetFailedTableCounts(added, rows_edited_);
  } catch (...) {
    // The count is for the report only: the error that ended the table wins.
  }
}

void RunFrame::CopyTemplate(const std::string& from, const std::string& to) {
  CopyTemplates(from, {to}, nullptr);
}

void RunFrame::CopyTemplates(const std::string& from, const std::vector<std::string>& targets,
                             const std::function<void(const std::string& to)>& created) {
  if (options_.check) {
    // A site database is checked on the template it would be copied from.
    for (std::size_t k = 0; k < targets.size(); ++k) {
      engine_.AliasPath(targets[k], from);
      if (created) created(targets[k]);
    }
    return;
  }
  if (targets.empty()) return;
  BeginWriting(targets);
  // A run killed while copying left its copies under temporary names; the
  // run holds the directory's lock, so no copy is being made there now.
  platform::RemoveLeftoverCopiesBeside(targets.front());
  for (const std::string& to : targets) rerun_->Wrote(to);
  platform::CopyFileReplacingEach(
      from, targets,
      [&](std::size_t k) {
        // A journal an interrupted run left beside the target belongs to the
        // old file; it must not be played back into the fresh copy.
        platform::RemoveDatabaseSideFiles(targets[k]);
      },
      [&](std::size_t k) {
        for (int i = 0; i < 3; ++i) platform::YieldToSystem();
        platform::SetArchiveOnly(targets[k]);
        if (created) created(targets[k]);
      });
}

}  // namespace relamor

namespace relamor {

void RunFrame::BeginWriting(const std::vector<std::string>& new_databases) {
  if (options_.check || rerun_->writing()) return;
  // No new database may be an old one under another name (a hard or
  // symbolic link): writing it would change the old installation.
  const auto old_files = platform::FilesWithPrefix(old_dir_);
  for (const std::string& path : new_databases) {
    const std::optional<platform::FileIdentity> target = platform::IdentityOf(path);
    if (!target) continue;
    for (const auto& [old_path, old_identity] : old_files) {
      if (!target->SameFile(old_identity)) continue;
      throw Error(err::kPathFileAccess,
                  "Path/File access error: the new database '" + path +
                      "' is the same file as the old database '" + old_path +
                      "' (a link); writing it would change the old installation, so nothing "
                      "was written");
    }
  }
  for (const std::string& line : rerun_->BeginWriting()) PrintReason(line);
  engine_.RemoveAlias(new_dir_ + "qorsite.mdb");
}

void RunFrame::BeforeDatabaseWrite(const std::string& path) {
  if (parent_ != nullptr) {
    const std::lock_guard<std::mutex> lock(*parent_writes_);
    parent_->BeforeDatabaseWrite(path);
    return;
  }
  // The copies in the hidden folder are only ever read (and copied out).
  const std::string folder = rerun_->folder() + "/";
  if (path.compare(0, folder.size(), folder) == 0) {
    throw Error(err::kPathFileAccess, "Path/File access error: the run would write '" + path +
                                          "', a copy that is only read; nothing was written to it");
  }
  BeginWriting({path});
  rerun_->Wrote(path);
}

}  // namespace relamor
