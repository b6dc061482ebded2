// Fault tests of whole runs of relamor on the release 3.5 sample: each fault
// is one row of a table, and every row checks the same promise: the exit
// status, the result value, the cause named by the log's last line (exit 1)
// or the reason line on standard error, the old directory byte-identical
// with no file gained or lost, and every new database intact.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <memory>
#include <thread>

#include "tests/support/installation.h"
#include "tests/support/report_check.h"
#include "tests/support/test_db.h"

namespace relamor::testing {
namespace {

namespace fs = std::filesystem;

void Sql(const std::string& path, const std::string& sql) { MakeDatabase(path, sql); }

// Something a fault keeps alive during the run (an open lock or connection).
using Holder = std::shared_ptr<void>;

struct Fault {
  std::string name;
  // Applies the fault to a fresh sample installation; returns what must
  // stay alive while the program runs.
  std::function<Holder(Installation&)> apply;
  int exit_status;
  std::string result;  // RelamorResult afterwards
  std::string names;   // in the log's last line (exit 1) or on standard error
  std::function<std::vector<std::string>(Installation&)> args = {};
  ChildSetup child = {};
  // The fault damages a new database the run only reads (the template,
  // qorstat.mdb): only the new main database is checked for integrity.
  bool damages_new_input = false;
  // The directories are given the wrong way round: the log is in old/.
  bool swapped = false;
  // The signal that stops it, which its report (root/report.json) names.
  std::string stop_signal = "";
  // A --check: it writes no log.
  bool check = false;
  // File modes must hold: the run is made by an unprivileged user.
  bool unprivileged = false;
};

std::ostream& operator<<(std::ostream& out, const Fault& f) { return out << f.name; }

// Database-file faults, applied to one file.
Holder Missing(const std::string& path) {
  fs::remove(path);
  return nullptr;
}
Holder Truncated(const std::string& path, std::uintmax_t size) {
  fs::resize_file(path, size);
  return nullptr;
}
Holder GarbagePage(const std::string& path) {
  std::string bytes = FileBytes(path);
  for (std::size_t i = 4096; i < bytes.size() && i < 8192; ++i) bytes[i] = '\xAB';
  WriteFile(path, bytes);
  return nullptr;
}
Holder NotADatabase(const std::string& path) {
  WriteFile(path, std::string(8192, 'x'));
  return nullptr;
}
// Another process's writer holding the file's exclusive lock: a child
// keeps an open write transaction until the run ends.
Holder LockedByWriter(const std::string& path) {
  int ready[2];
  if (pipe(ready) != 0) throw std::runtime_error("pipe");
  const pid_t pid = fork();
  if (pid == 0) {
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr);
    (void)!write(ready[1], "x", 1);
    pause();
    _exit(0);
  }
  char c;
  (void)!read(ready[0], &c, 1);
  close(ready[0]);
  close(ready[1]);
  return Holder(nullptr, [pid](void*) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  });
}
Holder ReadOnly(const std::string& path) {
  fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  return nullptr;
}
// The old main database in WAL mode, with committed rows only in its -wal.
Holder WalWithCommittedRows(const std::string& path) {
  CommitRowOnlyToWal(path);
  return nullptr;
}
// A hot journal beside the file: the database and journal as a process
// killed in the middle of a write leaves them.
Holder HotJournal(const std::string& path) {
  const std::string work = path + ".work";
  fs::copy_file(path, work);
  sqlite3* db = nullptr;
  sqlite3_open(work.c_str(), &db);
  sqlite3_exec(db,
               "PRAGMA cache_size=1; BEGIN; UPDATE users SET fullName = hex(randomblob(900));"
               "CREATE TABLE spill AS WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n "
               "WHERE i < 3000) SELECT i, hex(randomblob(100)) AS t FROM n",
               nullptr, nullptr, nullptr);
  fs::copy_file(work, path, fs::copy_options::overwrite_existing);
  fs::copy_file(work + "-journal", path + "-journal");
  sqlite3_close(db);
  fs::remove(work);
  fs::remove(work + "-journal");
  return nullptr;
}

std::string OldFile(Installation& i, const char* name) { return i.old_dir() + name; }
std::string NewFile(Installation& i, const char* name) { return i.new_dir() + name; }

// One file fault as a table row.
Fault FileFault(std::string name, bool old_side, const char* file,
                std::function<Holder(const std::string&)> fault, int status,
                std::string result, std::string names) {
  return Fault{name,
               [=](Installation& i) {
                 return fault(old_side ? OldFile(i, file) : NewFile(i, file));
               },
               status, std::move(result), std::move(names)};
}

// A table of about 2 MB, past a file size limit of 1 MB.
Holder BigTable(Installation& i) {
  Sql(i.old_dir() + "qorsite.mdb",
      "CREATE TABLE big (a LONG, t TEXT(200)); INSERT INTO big WITH RECURSIVE n(i) AS (SELECT 1 "
      "UNION ALL SELECT i+1 FROM n WHERE i < 20000) SELECT i, hex(randomblob(40)) FROM n;");
  Sql(i.new_dir() + "qorsite.mdb",
      "CREATE TABLE big (a LONG, t TEXT(200));"
      "INSERT INTO export VALUES (9, 'big', 'a', 'big', 'a', 0, 1);"
      "INSERT INTO export VALUES (9, 'big', 't', 'big', 't', 0, 1);");
  return nullptr;
}

// The signal is sent once the program said its handlers are in place (the
// start of main). The run cannot have ended by then: the fault's holder (a
// writer's lock on the old main database) keeps it from reading its first
// table until the signal is sent.
ChildSetup SignalDuringRun(int signal_number) {
  ChildSetup setup;
  setup.wait_until_ready = true;
  setup.while_running = [signal_number](int pid) { kill(pid, signal_number); };
  return setup;
}
Holder OldMainLocked(Installation& i) { return LockedByWriter(OldFile(i, "qorsite.mdb")); }

const auto kDefaultArgs = [](Installation& i) {
  return std::vector<std::string>{i.old_dir() + "," + i.new_dir()};
};

class Faults : public ::testing::TestWithParam<Fault> {};

TEST_P(Faults, KeepThePromise) {
  const Fault& f = GetParam();
  Installation inst;
  inst.FromSample("release35");
  Holder held = f.apply(inst);
  ChildSetup child = f.child;
  if (f.unprivileged && geteuid() == 0) {
    const passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr) GTEST_SKIP() << "root ignores file modes, and there is no user nobody";
    for (const auto& entry : fs::recursive_directory_iterator(inst.root())) {
      ASSERT_EQ(lchown(entry.path().c_str(), nobody->pw_uid, nobody->pw_gid), 0) << entry.path();
    }
    ASSERT_EQ(chown(inst.root().c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    child.uid = static_cast<int>(nobody->pw_uid);
    child.gid = static_cast<int>(nobody->pw_gid);
  }
  // A signalled run is held until the signal is sent.
  if (child.while_running) {
    child.while_running = [&held, send = f.child.while_running](int pid) {
      send(pid);
      held.reset();
    };
  }
  const std::vector<std::string> new_before = inst.Files("new");
  const ProgramRun run =
      inst.Run("relamor", f.args ? f.args(inst) : kDefaultArgs(inst), child);
  held.reset();

  EXPECT_EQ(run.exit_status, f.exit_status) << run.err;
  EXPECT_EQ(inst.Result(), f.result);
  const std::string log = f.swapped ? FileBytes(inst.old_dir() + "RelamorLog.txt") : inst.Log();
  if (f.swapped) fs::remove(inst.old_dir() + "RelamorLog.txt");  // the only file it may add
  if (!f.stop_signal.empty()) {
    const nlohmann::json report = ReadReport(inst.root() + "/report.json");
    EXPECT_EQ(report.at("error").at("signal"), f.stop_signal);
    EXPECT_EQ(report.at("error").at("number"), 18);
  }
  if (f.check) {
    EXPECT_EQ(log, "") << "a check writes no log";
  }
  if (f.exit_status == 1 && !f.check) {
    const std::string last = LastLine(log);
    EXPECT_NE(last.find(f.names), std::string::npos) << last;
    if (!f.child.stderr_closed) {
      EXPECT_EQ(LastLine(run.err), "relamor: " + last);
    }
  } else if (f.exit_status != 0 && !f.child.stderr_closed) {
    EXPECT_EQ(run.err.rfind("relamor: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.substr(0, run.err.find('\n')).find(f.names), std::string::npos) << run.err;
  }
  if (f.exit_status == 64 || f.exit_status == 75) {
    EXPECT_EQ(inst.Files("new"), new_before) << "nothing written";
  }
  EXPECT_TRUE(inst.OldUnchanged());
  if (f.damages_new_input) {
    EXPECT_EQ(inst.Dump("new", "qorsite", "PRAGMA integrity_check"), "ok\n");
  } else {
    EXPECT_EQ(inst.NewIntegrityProblems(), "");
  }
}

std::vector<Fault> AllFaults() {
  std::vector<Fault> faults;
  struct Target {
    const char* label;
    bool old_side;
    const char* file;
  };
  for (const Target& t : {Target{"OldMain", true, "qorsite.mdb"},
                          Target{"OldSite", true, "qord003.mdb"},
                          Target{"Template", false, "qordxxx.mdb"},
                          Target{"Qorstat", false, "qorstat.mdb"}}) {
    const std::string l = t.label;
    // What the log's last line names: the damaged file, or for the
    // template the site database copied from it.
    const std::string named = std::string(t.file) == "qordxxx.mdb" ? "qord003.mdb" : t.file;
    // A missing site database is left out, as a site without one is.
    const bool site = std::string(t.file) == "qord003.mdb";
    auto add = [&](const char* kind, std::function<Holder(const std::string&)> fault, int status,
                   std::string result, std::string names) {
      faults.push_back(FileFault(l + kind, t.old_side, t.file, std::move(fault),
                                 status, std::move(result), std::move(names)));
      faults.back().damages_new_input = !t.old_side;
    };
    add("Missing", Missing, site ? 0 : 1, site ? "True" : "False",
        std::string(t.file) == "qordxxx.mdb" ? "qordxxx.mdb" : named);
    add("ZeroBytes", [](const std::string& p) { return Truncated(p, 0); }, 1, "False", named);
    add("Truncated", [](const std::string& p) { return Truncated(p, 4096); }, 1, "False", named);
    add("GarbagePage", GarbagePage, 1, "False", named);
    add("NotADatabase", NotADatabase, 1, "False", named);
    // Every one of these files is only read.
    add("ReadOnly", ReadOnly, 0, "True", "");
    faults.back().unprivileged = true;
    if (t.old_side) add("LockedByWriter", LockedByWriter, 1, "False", named);
  }

  const auto same = [](std::string suffix) {
    return [suffix](Installation& i) {
      return std::vector<std::string>{i.old_dir() + "," + i.old_dir() + suffix};
    };
  };
  auto none = [](Installation&) { return Holder(); };
  faults.push_back(Fault{"SameDirectory", none, 64, "<none>", "the same directory", same("")});
  faults.push_back(Fault{"SameDirectoryDotted", none, 64, "<none>", "the same directory", same("./")});
  faults.push_back(Fault{"SameDirectoryDoubleSlash", none, 64, "<none>", "the same directory",
                         same("/")});
  faults.push_back(Fault{"SameDirectoryDotDot", none, 64, "<none>", "the same directory",
                         same("../old/")});
  faults.push_back(Fault{"SameDirectorySymlink",
                         [](Installation& i) {
                           fs::create_directory_symlink(i.old_dir(), i.root() + "/link");
                           return Holder();
                         },
                         64, "<none>", "the same directory",
                         [](Installation& i) {
                           return std::vector<std::string>{i.old_dir() + "," + i.root() + "/link/"};
                         }});
  // A new database that is an old one's file, by a hard or a symbolic link:
  // refused before anything is written to it.
  for (const bool hard : {true, false}) {
    faults.push_back(Fault{hard ? "NewHardLinkedToOld" : "NewSymlinkedToOld",
                           [hard](Installation& i) {
                             // The old site database holds what the new main one
                             // does, so the run's reads pass.
                             const std::string old_file = i.old_dir() + "qord012.mdb";
                             fs::copy_file(i.new_dir() + "qorsite.mdb", old_file,
                                           fs::copy_options::overwrite_existing);
                             fs::remove(i.new_dir() + "qorsite.mdb");
                             if (hard) {
                               fs::create_hard_link(old_file, i.new_dir() + "qorsite.mdb");
                             } else {
                               fs::create_symlink(old_file, i.new_dir() + "qorsite.mdb");
                             }
                             return Holder();
                           },
                           1, "False", "is the same file as the old database '"});
  }
  faults.push_back(Fault{"DirectoriesSwapped", none, 1, "False", "swapped", [](Installation& i) {
                           return std::vector<std::string>{i.new_dir() + "," + i.old_dir()};
                         }});
  faults.back().swapped = true;
  faults.push_back(Fault{"UnknownOption", none, 64, "<none>", "unknown option '--dry-run'",
                         [](Installation& i) {
                           return std::vector<std::string>{"--dry-run",
                                                           i.old_dir() + "," + i.new_dir()};
                         }});
  faults.push_back(Fault{"SecondRunAtOnce",
                         [](Installation& i) {
                           const int fd = open(i.new_dir().c_str(), O_RDONLY | O_DIRECTORY);
                           flock(fd, LOCK_EX);
                           return Holder(nullptr, [fd](void*) { close(fd); });
                         },
                         75, "<none>", "another run"});
  for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    static const char* const kNames[] = {"", "SIGHUP", "SIGINT", "", "", "", "", "", "", "", "", "",
                                         "", "", "", "SIGTERM"};
    Fault f{kNames[signal_number], OldMainLocked, 1, "False", kNames[signal_number]};
    f.child = SignalDuringRun(signal_number);
    f.stop_signal = kNames[signal_number];
    f.args = [](Installation& i) {
      return std::vector<std::string>{"--report", i.root() + "/report.json",
                                      i.old_dir() + "," + i.new_dir()};
    };
    faults.push_back(f);
  }
  {
    // A check stops on a signal as a run does, writing nothing.
    Fault f{"CheckStoppedBySIGINT", OldMainLocked, 1, "<none>", "the check was stopped by SIGINT"};
    f.child = SignalDuringRun(SIGINT);
    f.stop_signal = "SIGINT";
    f.check = true;
    f.args = [](Installation& i) {
      return std::vector<std::string>{"--check", "--report", i.root() + "/report.json",
                                      i.old_dir() + "," + i.new_dir()};
    };
    faults.push_back(f);
  }
  {
    Fault f{"FileSizeLimit", BigTable, 1, "False", "qorsite.mdb"};
    f.child.file_size_limit = 1 << 20;
    faults.push_back(f);
  }
  faults.push_back(FileFault("OldMainWal", true, "qorsite.mdb", WalWithCommittedRows, 0, "True", ""));
  faults.push_back(FileFault("OldMainHotJournal", true, "qorsite.mdb", HotJournal, 1, "False",
                             "interrupted write"));
  // Standard error a closed pipe: the exit statuses still come through.
  for (const auto& [label, status, apply, args] :
       std::vector<std::tuple<const char*, int, std::function<Holder(Installation&)>,
                              std::function<std::vector<std::string>(Installation&)>>>{
           {"ClosedStderrUsage", 64, none,
            [](Installation&) { return std::vector<std::string>{"no-comma"}; }},
           {"ClosedStderrNoLog", 73, none,
            [](Installation& i) {
              return std::vector<std::string>{i.old_dir() + "," + i.root() + "/missing/"};
            }},
           {"ClosedStderrNoKey", 2,
            [](Installation& i) {
              fs::remove_all(i.registry());
              return Holder();
            },
            kDefaultArgs},
           {"ClosedStderrFailedRun", 1, [](Installation& i) { return Missing(OldFile(i, "qorsite.mdb")); },
            kDefaultArgs}}) {
    Fault f{label, apply, status, status == 1 ? "False" : "<none>", status == 1 ? "qorsite.mdb" : "",
            args};
    f.child.stderr_closed = true;
    faults.push_back(f);
  }
  return faults;
}

INSTANTIATE_TEST_SUITE_P(All, Faults, ::testing::ValuesIn(AllFaults()),
                         [](const ::testing::TestParamInfo<Fault>& param) {
                           return param.param.name;
                         });

}  // namespace
}  // namespace relamor::testing
