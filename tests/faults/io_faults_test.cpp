// I/O faults: a converter run in which the Nth write, or the Nth fsync,
// fails (the shim fail_io.cc, preloaded), for every N up to the number of
// calls of a clean run. Whatever fails, the run either ends with exit 1 or 74
// and never records "True", or it completes with exit 0, "True" and exactly
// the clean run's databases (and log). An error run leaves every new
// database sound. The old directory never changes and
// every new database passes SQLite's integrity check.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <fstream>
#include <set>
#include <string>
#include <utility>

#include "tests/support/installation.h"

namespace relamor::testing {
namespace {

namespace fs = std::filesystem;

struct Case {
  const char* sample;
  const char* program;
};

// A case and the fault to inject. Printed as "release35/relamor
// RELAMOR_FAIL_WRITE", so that test listings stay the same from build to
// build.
struct FaultCase {
  Case c;
  const char* fault;
};
void PrintTo(const FaultCase& f, std::ostream* os) {
  *os << f.c.sample << "/" << f.c.program << " " << f.fault;
}

// Every new database's integrity verdict and the rows of all its tables.
std::string NewDatabases(const Installation& inst) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(inst.new_dir())) {
    if (entry.path().extension() == ".mdb") names.insert(entry.path().stem().string());
  }
  std::string out;
  for (const std::string& db : names) {
    out += "== " + db + " " + inst.Dump("new", db, "PRAGMA integrity_check");
    const std::string tables =
        inst.Dump("new", db, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name");
    std::size_t start = 0;
    while (start < tables.size()) {
      const std::size_t end = tables.find('\n', start);
      const std::string table = tables.substr(start, end - start);
      out += "-- " + table + "\n" + inst.Dump("new", db, table);
      start = end == std::string::npos ? tables.size() : end + 1;
    }
  }
  return out;
}

// Runs the converter with the shim preloaded and `fault` ("RELAMOR_FAIL_WRITE"
// or "RELAMOR_FAIL_FSYNC") set to `n` (0: no fault). Returns the run and the
// counts of writes and fsyncs the process made.
std::pair<ProgramRun, std::pair<long, long>> RunWithFault(Installation& inst, const Case& c,
                                                          const char* fault, long n) {
  const std::string counts = inst.root() + "/io_counts";
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string asan_before = asan != nullptr ? asan : "";
  // A sanitized build's runtime would refuse to start behind the shim.
  setenv("ASAN_OPTIONS", (asan_before + ":verify_asan_link_order=0").c_str(), 1);
  setenv("LD_PRELOAD", RELAMOR_FAIL_IO, 1);
  setenv("RELAMOR_IO_COUNTS", counts.c_str(), 1);
  setenv(fault, std::to_string(n).c_str(), 1);
  ProgramRun run = inst.Run(c.program);
  unsetenv(fault);
  unsetenv("RELAMOR_IO_COUNTS");
  unsetenv("LD_PRELOAD");
  if (asan != nullptr) {
    setenv("ASAN_OPTIONS", asan_before.c_str(), 1);
  } else {
    unsetenv("ASAN_OPTIONS");
  }
  std::pair<long, long> calls{-1, -1};
  std::ifstream(counts) >> calls.first >> calls.second;
  fs::remove(counts);
  return {std::move(run), calls};
}

class IoFaults : public ::testing::TestWithParam<FaultCase> {};

TEST_P(IoFaults, EveryFailedCallEndsCleanlyOrCompletes) {
  const auto [c, fault] = GetParam();
  Installation clean;
  clean.FromSample(c.sample);
  const auto [clean_run, clean_calls] = RunWithFault(clean, c, fault, 0);
  ASSERT_EQ(clean_run.exit_status, 0) << clean_run.err;
  ASSERT_EQ(clean.Result(), "True");
  const std::string log = clean.Log();
  const std::string databases = NewDatabases(clean);
  const long calls =
      std::string(fault) == "RELAMOR_FAIL_WRITE" ? clean_calls.first : clean_calls.second;
  ASSERT_GT(calls, 0);

  int completed = 0, failed = 0;
  for (long n = 1; n <= calls; ++n) {
    SCOPED_TRACE(std::string(fault) + "=" + std::to_string(n));
    Installation inst;
    inst.FromSample(c.sample);
    const auto [run, ignored] = RunWithFault(inst, c, fault, n);
    EXPECT_TRUE(inst.OldUnchanged());
    const int status = run.exit_status;
    EXPECT_TRUE(status == 0 || status == 1 || status == 74) << status << ": " << run.err;
    if (status == 0 || inst.Result() == "True") {
      ++completed;
      EXPECT_EQ(status, 0);
      EXPECT_EQ(inst.Result(), "True");
      EXPECT_EQ(inst.Log(), log);
      EXPECT_EQ(NewDatabases(inst), databases);
    } else {
      ++failed;
      const std::string verdicts = NewDatabases(inst);
      for (std::size_t at = verdicts.find("== "); at != std::string::npos;
           at = verdicts.find("== ", at + 3)) {
        const std::size_t line_end = verdicts.find('\n', at);
        EXPECT_EQ(verdicts.substr(line_end - 2, 2), "ok") << verdicts.substr(at, line_end - at);
      }
    }
    if (::testing::Test::HasFailure()) break;  // one N's report is enough to go on
  }
  RecordProperty("completed", completed);
  RecordProperty("failed", failed);
  std::printf("%s: %ld faults: %d completed, %d ended with an error\n", fault,
              calls, completed, failed);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, IoFaults,
    ::testing::Values(FaultCase{Case{"release35", "relamor"}, "RELAMOR_FAIL_WRITE"},
                      FaultCase{Case{"release35", "relamor"}, "RELAMOR_FAIL_FSYNC"},
                      FaultCase{Case{"release20", "relamor2035"}, "RELAMOR_FAIL_WRITE"},
                      FaultCase{Case{"release20", "relamor2035"}, "RELAMOR_FAIL_FSYNC"}),
    [](const auto& param_info) {
      return std::string(param_info.param.c.program) +
             (std::string(param_info.param.fault) == "RELAMOR_FAIL_WRITE" ? "_write" : "_fsync");
    });

}  // namespace
}  // namespace relamor::testing
