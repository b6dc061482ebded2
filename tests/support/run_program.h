// Runs one of the built converters as a separate process, the way the
// installer does, and collects what the installer would see.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace relamor::testing {

struct ProgramRun {
  int exit_status = -1;  // -1 when the process did not exit normally
  std::string out;       // standard output
  std::string err;       // standard error
};

// Environment variables set for one run, besides RELAMOR_REGISTRY.
using Environment = std::vector<std::pair<std::string, std::string>>;

// How the child process is set up, for fault tests.
struct ChildSetup {
  long file_size_limit = -1;   // RLIMIT_FSIZE in bytes; -1: unchanged
  long cpu_limit_seconds = -1;  // RLIMIT_CPU (a run that ignores a stop ends); -1: unchanged
  int umask = -1;              // the child's umask; -1: inherited
  bool stderr_closed = false;  // standard error is a pipe nobody reads
  // Called in the parent with the child's pid while it runs.
  std::function<void(int pid)> while_running;
  Environment env;  // set in the child
  std::string cwd;  // the child's working directory; the parent's when empty
  // The child runs as this user and group (no supplementary groups) when >= 0.
  int uid = -1;
  int gid = -1;
  // while_running is called only once the program said its stop handlers
  // are installed (RELAMOR_TEST_READY_FILE); an exit before that fails.
  bool wait_until_ready = false;
};

// Runs RELAMOR_BIN_DIR/<program> with `args` and RELAMOR_REGISTRY set to
// `registry_root` (unset when empty).
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::string& registry_root, const ChildSetup& setup = {});
// With environment variables set besides RELAMOR_REGISTRY.
ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::string& registry_root, const Environment& env);

// As RunProgram, with standard output and standard error on one
// pseudo-terminal; `out` holds what the terminal received.
ProgramRun RunOnTerminal(const std::string& program, const std::vector<std::string>& args,
                         const std::string& registry_root, const Environment& env = {});

// The directory of the product key under a registry root.
std::string ProductKeyDir(const std::string& registry_root);

}  // namespace relamor::testing
