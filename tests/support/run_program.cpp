#include "tests/support/run_program.h"

#include "tests/support/test_db.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace relamor::testing {

namespace fs = std::filesystem;

std::string ProductKeyDir(const std::string& registry_root) {
  return registry_root + "/HKEY_LOCAL_MACHINE/SOFTWARE/Kestrun/Tervanis";
}

namespace {

// In the child: sets the environment and starts the program.
[[noreturn]] void Exec(const std::string& binary, const std::vector<std::string>& args,
                       const std::string& registry_root, const Environment& env) {
  if (registry_root.empty()) {
    unsetenv("RELAMOR_REGISTRY");
  } else {
    setenv("RELAMOR_REGISTRY", registry_root.c_str(), 1);
  }
  unsetenv("RELAMOR_REPORT");
  for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(binary.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  execv(binary.c_str(), argv.data());
  _exit(127);
}

// Whether the program `pid` wrote to `fifo` that its stop handlers are
// installed, rather than ending first. Blocks until one of the two happens.
bool AwaitReady(const std::string& fifo, pid_t pid) {
  // Opened without blocking; a FIFO no writer has opened yet reports nothing.
  const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const int exited = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0 || exited < 0) throw std::runtime_error("cannot wait for " + fifo);
  std::string said;
  while (said.find('\n') == std::string::npos) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {exited, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) {
      char buffer[16];
      const ssize_t got = read(fd, buffer, sizeof buffer);
      if (got > 0) said.append(buffer, static_cast<std::size_t>(got));
      if (got > 0 || (got < 0 && errno == EAGAIN)) continue;
    }
    if (fds[1].revents != 0 || fds[0].revents != 0) break;
  }
  close(fd);
  close(exited);
  return said == "ready\n";
}

}  // namespace

ProgramRun RunOnTerminal(const std::string& program, const std::vector<std::string>& args,
                         const std::string& registry_root, const Environment& env) {
  const std::string binary = std::string(RELAMOR_BIN_DIR) + "/" + program;
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid < 0) throw std::runtime_error("forkpty failed");
  if (pid == 0) Exec(binary, args, registry_root, env);
  ProgramRun run;
  char buffer[4096];
  while (true) {
    const ssize_t got = read(master, buffer, sizeof buffer);
    if (got > 0) {
      run.out.append(buffer, static_cast<std::size_t>(got));
    } else if (got == 0 || errno != EINTR) {
      break;  // EIO once the child has closed the terminal
    }
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::string& registry_root, const Environment& env) {
  ChildSetup setup;
  setup.env = env;
  return RunProgram(program, args, registry_root, setup);
}

ProgramRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                      const std::string& registry_root, const ChildSetup& setup) {
  char out_template[] = "/tmp/relamor-out-XXXXXX";
  char err_template[] = "/tmp/relamor-err-XXXXXX";
  const int out_fd = mkstemp(out_template);
  const int err_fd = mkstemp(err_template);
  if (out_fd < 0 || err_fd < 0) throw std::runtime_error("cannot create capture files");

  int dead_pipe[2] = {-1, -1};
  if (setup.stderr_closed) {
    if (pipe(dead_pipe) != 0) throw std::runtime_error("pipe failed");
    close(dead_pipe[0]);  // nobody reads: a write fails with EPIPE (or SIGPIPE)
  }
  std::string ready_fifo;
  if (setup.wait_until_ready) {
    char dir[] = "/tmp/relamor-ready-XXXXXX";
    if (!mkdtemp(dir)) throw std::runtime_error("mkdtemp failed");
    ready_fifo = std::string(dir) + "/ready";
    // The child may run as another user: it must reach the FIFO.
    if (chmod(dir, 0755) != 0 || mkfifo(ready_fifo.c_str(), 0666) != 0 ||
        chmod(ready_fifo.c_str(), 0666) != 0) {
      throw std::runtime_error("cannot make " + ready_fifo);
    }
  }
  const std::string binary = std::string(RELAMOR_BIN_DIR) + "/" + program;
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(out_fd, STDOUT_FILENO);
    dup2(setup.stderr_closed ? dead_pipe[1] : err_fd, STDERR_FILENO);
    if (setup.file_size_limit >= 0) {
      const rlimit limit{static_cast<rlim_t>(setup.file_size_limit),
                         static_cast<rlim_t>(setup.file_size_limit)};
      setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (setup.cpu_limit_seconds >= 0) {
      const rlimit limit{static_cast<rlim_t>(setup.cpu_limit_seconds),
                         static_cast<rlim_t>(setup.cpu_limit_seconds)};
      setrlimit(RLIMIT_CPU, &limit);
    }
    if (setup.umask >= 0) ::umask(static_cast<mode_t>(setup.umask));
    const int null_fd = open("/dev/null", O_RDONLY);
    if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
    if (!setup.cwd.empty() && chdir(setup.cwd.c_str()) != 0) _exit(127);
    if (setup.gid >= 0 && (setgroups(0, nullptr) != 0 || setgid(setup.gid) != 0)) _exit(126);
    if (setup.uid >= 0 && setuid(setup.uid) != 0) _exit(126);
    Environment env = setup.env;
    if (!ready_fifo.empty()) env.emplace_back("RELAMOR_TEST_READY_FILE", ready_fifo);
    Exec(binary, args, registry_root, env);
  }
  if (dead_pipe[1] >= 0) close(dead_pipe[1]);
  if (!ready_fifo.empty()) {
    const bool ready = AwaitReady(ready_fifo, pid);
    fs::remove_all(fs::path(ready_fifo).parent_path());
    if (!ready) throw std::runtime_error(program + " ended before its stop handlers were installed");
  }
  if (setup.while_running) setup.while_running(pid);
  int status = 0;
  waitpid(pid, &status, 0);
  close(out_fd);
  close(err_fd);

  ProgramRun run;
  run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = FileBytes(out_template);
  run.err = FileBytes(err_template);
  unlink(out_template);
  unlink(err_template);
  return run;
}

}  // namespace relamor::testing
