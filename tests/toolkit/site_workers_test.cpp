// The site databases on workers: each sample installation, with more sites,
// is converted at --jobs 1 and then again at --jobs 4 (a repeat, which starts
// from the copy the first run kept), and both runs must leave the same log,
// new databases (byte for byte), result, exit status and report (times
// aside): also when a site database in the middle fails, when the template
// cannot be copied to one, when the site databases share the customer
// counter, and when a site is listed twice.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/installation.h"
#include "tests/support/test_db.h"

namespace relamor::testing {
namespace {

struct SiteCase {
  std::string name;
  std::string program;
  std::string sample;
  std::string copied_site;  // the sample's old site database the extra sites copy
  std::string sites_row;    // the old sites row of an extra site, "%" for its number
  std::string extra_sql;    // run on every old site database (and, with "new:", the template)
  std::string failing_site;  // its old database loses table `alarms`
  int status = 0;
  std::string sites_sql;  // run on the old main database after the extra sites
  std::string new_main_sql;  // run on the new main database
  std::string blocked_site;  // a folder in the new directory takes its file's name
};

void PrintTo(const SiteCase& c, std::ostream* os) { *os << c.name; }

constexpr int kFirstExtraSite = 50;
constexpr int kExtraSites = 6;

struct Outcome {
  int status = -1;
  std::string log, result, report;
  std::map<std::string, std::string> databases;
  std::vector<std::string> files;  // of the new directory, the log and .relamor aside
};

Outcome RunAt(Installation& inst, const std::string& program, const std::string& jobs) {
  Outcome o;
  const std::string report = inst.root() + "/report.json";
  ProgramRun run = inst.Run(program, inst.old_dir() + "," + inst.new_dir(),
                            {{"RELAMOR_JOBS", jobs}, {"RELAMOR_REPORT", report}});
  o.status = run.exit_status;
  o.log = inst.Log();
  o.result = inst.Result();
  nlohmann::json json = nlohmann::json::parse(FileBytes(report));
  json.erase("started");
  json.erase("ended");
  for (auto& database : json["databases"]) {
    for (auto& table : database["tables"]) table.erase("seconds");
  }
  o.report = json.dump(1);
  for (const std::string& name : inst.Files("new")) {
    if (name.rfind("RelamorLog.txt", 0) != 0 && name != ".relamor") o.files.push_back(name);
    if (std::filesystem::path(name).extension() == ".mdb" &&
        std::filesystem::is_regular_file(inst.new_dir() + name)) {
      o.databases[name] = FileBytes(inst.new_dir() + name);
    }
  }
  return o;
}

class SiteWorkersTest : public ::testing::TestWithParam<SiteCase> {};

TEST_P(SiteWorkersTest, FourJobsLeaveWhatOneLeaves) {
  const SiteCase& c = GetParam();
  Installation inst;
  inst.FromSample(c.sample);
  const std::string site_sql =
      FileBytes(std::string(RELAMOR_SOURCE_DIR) + "/samples/" + c.sample + "/old/" +
                c.copied_site + ".sql");
  std::string sites;
  for (int n = kFirstExtraSite; n < kFirstExtraSite + kExtraSites; ++n) {
    inst.Old("qord0" + std::to_string(n), site_sql);
    std::string row = c.sites_row;
    row.replace(row.find('%'), 1, std::to_string(n));
    sites += "INSERT INTO sites VALUES (" + row + ");\n";
  }
  inst.Old("qorsite", sites + c.sites_sql);
  if (!c.new_main_sql.empty()) inst.New("qorsite", c.new_main_sql);
  if (!c.extra_sql.empty()) {
    const std::size_t split = c.extra_sql.find("new:");
    for (const std::string& name : inst.Files("old")) {
      if (name.rfind("qord", 0) == 0) {
        inst.Old(name.substr(0, name.size() - 4), c.extra_sql.substr(0, split));
      }
    }
    if (split != std::string::npos) inst.New("qordxxx", c.extra_sql.substr(split + 4));
  }
  if (!c.failing_site.empty()) {
    inst.Old(c.failing_site, "DROP TABLE alarms;");
  }
  if (!c.blocked_site.empty()) {
    std::filesystem::create_directory(inst.new_dir() + c.blocked_site + ".mdb");
  }

  const Outcome one = RunAt(inst, c.program, "1");
  ASSERT_EQ(one.status, c.status) << one.log;
  const Outcome four = RunAt(inst, c.program, "4");
  EXPECT_EQ(four.status, one.status);
  EXPECT_EQ(four.result, one.result);
  EXPECT_EQ(four.log, one.log);
  EXPECT_EQ(four.report, one.report);
  EXPECT_EQ(four.files, one.files);
  ASSERT_EQ(four.databases.size(), one.databases.size());
  for (const auto& [name, bytes] : one.databases) {
    EXPECT_TRUE(four.databases.at(name) == bytes) << name << " differs";
  }
  if (!c.failing_site.empty()) {
    // Before the failed site: converted; after it: the template's bytes.
    const std::string& template_bytes = four.databases.at("qordxxx.mdb");
    const int failed = std::stoi(c.failing_site.substr(4));
    for (int n = kFirstExtraSite; n < kFirstExtraSite + kExtraSites; ++n) {
      const std::string name = "qord0" + std::to_string(n) + ".mdb";
      if (n != failed) {
        EXPECT_EQ(four.databases.at(name) == template_bytes, n > failed) << name;
      }
    }
  }
  if (c.blocked_site.empty()) {
    EXPECT_EQ(inst.NewIntegrityProblems(), "");
  }
}

// A Sites table in every site database, linked to customers the old site
// databases lack: each site takes the next customer number, in site order.
const char kSitesPerSite[] =
    "CREATE TABLE customers (id LONG, siteID LONG);"
    "CREATE TABLE sites (siteID LONG, customerID LONG);"
    "INSERT INTO sites VALUES (1, 0);"
    "new:"
    "CREATE TABLE Sites (siteID LONG, customerID LONG);"
    "INSERT INTO export VALUES (17, 'sites', 'siteID', 'Sites', 'siteID', 0, 1);"
    "INSERT INTO export VALUES (17, 'sites', 'customerID', 'Sites', 'customerID', -1, 1);";

// A sample with the extra sites copied from `copied_site`; `row` is the
// old sites row of an extra site.
SiteCase Sample(std::string name, std::string program, std::string sample,
                std::string copied_site, std::string row) {
  SiteCase c;
  c.name = std::move(name);
  c.program = std::move(program);
  c.sample = std::move(sample);
  c.copied_site = std::move(copied_site);
  c.sites_row = std::move(row);
  return c;
}
SiteCase Failing(SiteCase c, std::string site) {
  c.name += "_middle_site_fails";
  c.failing_site = std::move(site);
  c.status = 1;
  return c;
}

const SiteCase kRelamor = Sample("relamor", "relamor", "release35", "qord047", "%, 'Extra', 'East'");
const SiteCase kRelamor2035 =
    Sample("relamor2035", "relamor2035", "release20", "qord012", "%, 'Extra', 'Utrecht', 0");
const SiteCase kRelamor3035 =
    Sample("relamor3035", "relamor3035", "release30", "qord031", "%, 'Extra', 8");

SiteCase CustomerCounter() {
  SiteCase c = kRelamor;
  c.name += "_customer_counter";
  c.extra_sql = kSitesPerSite;
  return c;
}
SiteCase SiteListedTwice() {
  SiteCase c = kRelamor;
  c.name += "_site_listed_twice";
  // The second pass of the last site appends its boards again: a duplicate
  // key, so the run ends there.
  c.copied_site = "qord003";
  c.status = 1;
  c.sites_sql = "INSERT INTO sites VALUES (55, 'Again', 'East');";
  // The main database takes the site's second row.
  c.new_main_sql =
      "DROP TABLE Sites; CREATE TABLE Sites (siteID LONG, customerID LONG, Name TEXT(50),"
      " timezone TEXT(40) DEFAULT 'Europe/London');";
  return c;
}

SiteCase TemplateCopyFails() {
  SiteCase c = kRelamor;
  c.name += "_template_copy_fails";
  c.blocked_site = "qord052";
  c.status = 1;
  return c;
}

INSTANTIATE_TEST_SUITE_P(
    Samples, SiteWorkersTest,
    ::testing::Values(kRelamor, Failing(kRelamor, "qord052"), CustomerCounter(), SiteListedTwice(),
                      kRelamor2035, Failing(kRelamor2035, "qord052"),
                      Failing(kRelamor3035, "qord053"), TemplateCopyFails()),
    [](const ::testing::TestParamInfo<SiteCase>& p) { return p.param.name; });

}  // namespace
}  // namespace relamor::testing
