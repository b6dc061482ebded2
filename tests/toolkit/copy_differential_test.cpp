// Seeded randomized differential test of the two copy strategies, through
// each program's own conversion: random copy modes, declared types and
// constraints, values at and past the type limits, texts at and past their
// length, Null, empty text, non-ASCII text, apostrophes and dates in several
// forms; the new schema's own rules (conflict clauses, RAISE triggers, UNIQUE
// and CHECK constraints, columns named rowid, oid or _rowid_, indexes that
// change scan order, names with blanks and brackets) and now and then a
// damaged old database; every fourth case a category copy into EXCCS, every
// fourth a relamor2035 writer with a shortcut (IP and serial connections,
// customer addresses, placeholder customers before the Sites copy). The other
// cases go to relamor, relamor2035 or relamor3035 at random (with the mapping
// table, the copy rules and what the start-up reads of that program).
//
// Each case is converted twice by the program's start-up in a run frame, as
// the built program runs it (RunFrame::RunWith, what main calls), once with
// RELAMOR_COPY_STRATEGY=rows and once with shortcuts, each time from a fresh
// new directory; a small table is copied first. The exit status, the run log,
// RelamorResult, standard error, the report's per-table counts and every
// table of the new main database (real rowids included) must be the same,
// and the table copied first must keep its row whatever the case's table does.
//
// RELAMOR_DIFF_CASES (default 40) and RELAMOR_DIFF_SEED (default 1) widen
// the run, e.g. RELAMOR_DIFF_CASES=5000 build/relamor_tests
// --gtest_filter='CopyDifferential.*'.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "relamor/relamor.h"
#include "relamor2035/relamor2035.h"
#include "relamor3035/relamor3035.h"
#include "tests/support/installation.h"
#include "tests/support/report_check.h"
#include "tests/support/strategies.h"
#include "tests/toolkit/writer_harness.h"
#include "toolkit/run_frame.h"

namespace relamor::testing {
namespace {

long EnvNumber(const char* name, long fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::strtol(v, nullptr, 10) : fallback;
}

const char* const kTypes[] = {"LONG",    "SHORT",   "BYTE",  "TEXT(5)", "TEXT(50)",
                              "DOUBLE",  "DATETIME", "YESNO", "COUNTER", "MEMO"};
const char* const kValues[] = {
    "NULL", "0", "-1", "1", "255", "256", "32767", "32768", "-32769", "2147483647",
    "2147483648", "9223372036854775807", "0.5", "-2.5", "1e300", "32767.5", "''", "'a'",
    "'O''Brien'", "'\xC3\xBC\xE6\x97\xA5'", "'12'", "' 7 '", "'abcde'", "'abcdef'",
    "'2024-01-02'", "'1/2/2024'", "'2024-01-02 10:20:30'", "'2024-13-45'", "'-1'", "'yes'"};

enum class Program { kRelamor, kRelamor2035, kRelamor3035 };
const char* const kProgramNames[] = {"relamor", "relamor2035", "relamor3035"};

struct Case {
  std::string old_sql;
  std::string new_sql;  // in the mapping table `export`; sno 1
  Program program = Program::kRelamor;
  std::string new_table = "dst";
  bool damaged = false;  // bytes of the old database overwritten
  bool site_databases = false;  // the old sites list site databases
  enum Writer { kNoWriter, kIp, kSerial, kCustomers, kPlaceholders, kModem } writer = kNoWriter;
};

// The program of a case that any program converts.
Program AnyProgram(std::mt19937& rng) { return static_cast<Program>(rng() % 3); }

// One of the names SQLite also gives the rowid, or a name with a blank, for
// at most one column of a table; the other columns are named <prefix><i>.
std::vector<std::string> ColumnNames(std::mt19937& rng, const char* prefix, int count) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) names.push_back(prefix + std::to_string(i));
  if (pick(5) == 0) {
    const char* const kOdd[] = {"rowid", "oid", "_rowid_", "x y"};
    names[static_cast<std::size_t>(pick(count))] = kOdd[pick(4)];
  }
  return names;
}

std::string Quoted(const std::string& name) { return "\"" + name + "\""; }

// A trigger that refuses, ignores or rolls back some rows of `table`.
std::string RaiseTrigger(std::mt19937& rng, const std::string& table, const std::string& column) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const char* const kRaise[] = {"IGNORE", "ABORT", "FAIL", "ROLLBACK", "ROLLBACK"};
  const char* const kWhen[] = {"INSERT", "UPDATE"};
  std::string raise = kRaise[pick(5)];
  if (raise != "IGNORE") raise += ", 'refused by a trigger'";
  return std::string("CREATE TRIGGER refuse BEFORE ") + kWhen[pick(2)] + " ON " + Quoted(table) +
         " WHEN NEW." + Quoted(column) + " = 2 BEGIN SELECT RAISE(" + raise + "); END;\n";
}

// A column constraint, conflict clauses included.
std::string Constraint(std::mt19937& rng, const std::string& column, bool first) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  switch (pick(14)) {
    case 0: return first ? " NOT NULL" : " NOT NULL DEFAULT 0";
    case 1: return " UNIQUE";
    case 2: return " DEFAULT 3";
    case 3: return " UNIQUE ON CONFLICT IGNORE";
    case 4: return " UNIQUE ON CONFLICT REPLACE";
    case 5: return " UNIQUE ON CONFLICT ROLLBACK";
    case 6: return " UNIQUE ON CONFLICT FAIL";
    case 7: return " NOT NULL ON CONFLICT IGNORE DEFAULT 0";
    case 8: return " NOT NULL ON CONFLICT REPLACE DEFAULT 5";
    case 9: return " CHECK (" + Quoted(column) + " <> 2)";
    default: return "";
  }
}

// A category copy into a pre-filled EXCCS: categories that differ only in
// letter case (ASCII or not), empty, Null, with a NUL byte, without a new row.
Case MakeExccsCase(std::mt19937& rng) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const char* const kCategories[] = {"'a'", "'A'", "'b'", "'\xC3\xBC'", "'\xC3\x9C'", "''",
                                     "NULL", "'a' || char(0) || 'x'", "'A' || char(0) || 'y'",
                                     "'zz'"};
  Case c;
  c.program = AnyProgram(rng);
  c.new_table = "EXCCS";
  c.old_sql = std::string("CREATE TABLE src (CAT TEXT, o0 ") + kTypes[pick(8)] + ", o1 " +
              kTypes[pick(8)] + ");\n";
  // Mostly values that most types take and categories that have a row, so
  // that the one-pass copy is reached, not only its fallback.
  const char* const kTame[] = {"NULL", "0", "1", "2", "'t'"};
  auto value = [&] { return pick(3) ? kTame[pick(5)] : kValues[pick(std::size(kValues))]; };
  for (int r = 1 + pick(8); r > 0; --r) {
    c.old_sql += std::string("INSERT INTO src VALUES (") + kCategories[pick(4) ? pick(6) : pick(10)] +
                 ", " + value() + ", " + value() + ");\n";
  }
  const bool tame_types = pick(2);
  auto type = [&] { return tame_types ? (pick(2) ? "LONG" : "TEXT(50)") : kTypes[pick(8)]; };
  c.new_sql = kExportTable + std::string("CREATE TABLE EXCCS (CAT ") +
              (pick(4) ? "TEXT" : "TEXT(1)") + (pick(6) ? "" : " UNIQUE") + ", n0 " + type() +
              (pick(6) ? "" : " NOT NULL DEFAULT 0") + ", n1 " + type() +
              (pick(8) ? "" : " CHECK (n1 <> 7)") +
              // A column named like the rowid, numbered against the rows' order.
              (pick(3) ? "" : pick(2) ? ", \"rowid\" LONG" : ", \"oid\" TEXT") +
              (pick(10) ? "" : ", x LONG UNIQUE ON CONFLICT REPLACE DEFAULT 1") + ");\n";
  if (pick(4) == 0) c.new_sql += "CREATE INDEX by_category ON EXCCS (CAT);\n";
  for (int r = 6 + pick(6); r > 0; --r) {
    c.new_sql += std::string("INSERT OR IGNORE INTO EXCCS (CAT, n0, n1) VALUES (") +
                 kCategories[r <= 6 && pick(4) ? 6 - r : pick(9)] + ", 0, " + std::to_string(r) +
                 ");\n";
  }
  if (c.new_sql.find("\"rowid\" LONG") != std::string::npos) {
    c.new_sql += "UPDATE EXCCS SET \"rowid\" = 100 - _rowid_;\n";
  } else if (c.new_sql.find("\"oid\" TEXT") != std::string::npos) {
    c.new_sql += "UPDATE EXCCS SET \"oid\" = 'r' || (100 - _rowid_);\n";
  }
  if (pick(10) == 0) c.new_sql += RaiseTrigger(rng, "EXCCS", "n1");
  const char* const kMoves[] = {"'CAT', 'EXCCS', 'CAT'", "'o0', 'EXCCS', 'n0'",
                                "'o1', 'EXCCS', 'n1'", "'o1', 'EXCCS', 'n0'"};
  for (int m = 2 + pick(3); m > 0; --m) {
    c.new_sql += std::string("INSERT INTO export VALUES (1, 'src', ") + kMoves[pick(4)] +
                 ", 0, 1);\n";
  }
  return c;
}

Case MakeCase(std::mt19937& rng) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  Case c;
  c.program = AnyProgram(rng);
  const bool odd_tables = pick(6) == 0;
  const std::string src = odd_tables ? "s rc" : "src";
  c.new_table = odd_tables ? "d [t]" : "dst";
  const int old_columns = 1 + pick(4);
  const std::vector<std::string> old_names = ColumnNames(rng, "o", old_columns);
  c.old_sql = "CREATE TABLE " + Quoted(src) + " (";
  for (int i = 0; i < old_columns; ++i) {
    c.old_sql += (i ? ", " : "") + Quoted(old_names[static_cast<std::size_t>(i)]) + " " +
                 kTypes[pick(8)];
  }
  c.old_sql += ");\n";
  if (pick(6) == 0) {
    c.old_sql += "CREATE INDEX by_value ON " + Quoted(src) + " (" + Quoted(old_names[0]) +
                 " DESC);\n";
  }
  const int rows = pick(8) == 0 ? 0 : 1 + pick(6);
  // Half the cases hold values that most types take, so that whole tables
  // copy and the set-based way is exercised, not only its fallback.
  const bool tame = pick(2) == 0;
  const char* const kTame[] = {"NULL", "0", "1", "2", "7"};
  for (int r = 0; r < rows; ++r) {
    c.old_sql += "INSERT INTO " + Quoted(src) + " VALUES (";
    for (int i = 0; i < old_columns; ++i) {
      const char* v = tame && pick(12) != 0 ? kTame[pick(std::size(kTame))]
                                            : kValues[pick(std::size(kValues))];
      c.old_sql += std::string(i ? ", " : "") + v;
    }
    c.old_sql += ");\n";
  }
  c.damaged = pick(40) == 0;
  const int new_columns = 1 + pick(4);
  const std::vector<std::string> new_names = ColumnNames(rng, "n", new_columns);
  c.new_sql = kExportTable + std::string("CREATE TABLE ") + Quoted(c.new_table) + " (";
  for (int i = 0; i < new_columns; ++i) {
    const std::string& name = new_names[static_cast<std::size_t>(i)];
    c.new_sql += (i ? ", " : "") + Quoted(name) + " " + kTypes[pick(std::size(kTypes))] +
                 Constraint(rng, name, i == 0);
  }
  c.new_sql += ");\n";
  const bool trigger = pick(4) == 0;
  if (pick(6) == 0) {
    c.new_sql += "CREATE INDEX by_last ON " + Quoted(c.new_table) + " (" +
                 Quoted(new_names.back()) + " DESC);\n";
  }
  // Rows already in the new table, for the modes that overwrite or refuse.
  if (pick(3) == 0) {
    for (int r = 1 + pick(3); r > 0; --r) {
      c.new_sql += "INSERT OR IGNORE INTO " + Quoted(c.new_table) + " (" + Quoted(new_names[0]) +
                   ") VALUES (" + std::to_string(r) + ");\n";
    }
  }
  if (trigger) c.new_sql += RaiseTrigger(rng, c.new_table, new_names[0]);
  const int mappings = 1 + pick(4);
  const char* const kFlags[] = {"0", "0", "0", "0", "-1", "-1", "-1", "NULL"};
  for (int m = 0; m < mappings; ++m) {
    std::string old_field = old_names[static_cast<std::size_t>(pick(old_columns))];
    if (pick(16) == 0) old_field = "o9";  // a field the old table lacks
    if (pick(16) == 0) old_field = "[x]";
    const std::string new_field = new_names[static_cast<std::size_t>(pick(new_columns))];
    // Positions 2 and 4 (olddbfieldname, newdbfieldname) equal or not.
    const std::string new_name = pick(2) ? old_field : new_field;
    c.new_sql += "INSERT INTO export VALUES (1, '" + src + "', '" + old_field + "', '" +
                 c.new_table + "', '" + (mappings == 1 ? new_name : new_field) + "', " +
                 kFlags[pick(8)] + ", 1);\n";
  }
  return c;
}

// A relamor2035 writer with a shortcut, on random tables of release 2.0.
Case MakeWriterCase(std::mt19937& rng) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  Case c;
  c.program = Program::kRelamor2035;
  const char* const kSites[] = {"4", "7", "7", "8", "NULL", "'7'", "7.0", "99"};
  const char* const kTexts[] = {"'10.0.0.1'", "'COM1'", "NULL", "''", "'abcdefghijklmnopq'",
                                "2", "'x'", "'O''Brien'"};
  auto site = [&] { return kSites[pick(std::size(kSites))]; };
  auto text = [&] { return pick(3) ? kTexts[pick(2)] : kTexts[pick(std::size(kTexts))]; };
  c.writer = static_cast<Case::Writer>(1 + pick(5));
  const std::string channel_key = pick(4) ? " PRIMARY KEY" : "";
  const char* const kChannelIdClauses[] = {"", "", " UNIQUE ON CONFLICT IGNORE",
                                           " UNIQUE ON CONFLICT REPLACE", " UNIQUE"};
  const std::string value_type = pick(3) ? "TEXT(15)" : "TEXT(5)";
  const std::string value_clause = Constraint(rng, "value", false);
  switch (c.writer) {
    case Case::kIp:
    case Case::kSerial: {
      const bool ip = c.writer == Case::kIp;
      const std::string table = ip ? "ipconnection" : "serialconnection";
      const std::string key = ip ? "ipConnectionID" : "serialConnectionID";
      c.new_table = table;
      c.old_sql = "CREATE TABLE " + table + " (id LONG, siteID " + (pick(4) ? "LONG" : "TEXT(5)") +
                  ", value TEXT(20), other LONG);\n";
      for (int r = pick(6); r > 0; --r) {
        c.old_sql += "INSERT INTO " + table + " VALUES (" + std::to_string(r) + ", " + site() +
                     ", " + text() + ", " + std::to_string(pick(3)) + ");\n";
      }
      c.new_sql = kExportTable + std::string("CREATE TABLE channel (channelID LONG") +
                  channel_key + ", siteID LONG, channelName TEXT(50), channeltype TEXT(2));\n";
      for (int id = 1; id <= 2 + pick(6); ++id) {
        const std::string channel = pick(12) ? std::to_string(id) : "'" + std::to_string(id) + "'";
        c.new_sql += "INSERT OR IGNORE INTO channel VALUES (" + channel + ", " + site() +
                     ", 'c', '" + (pick(3) ? (ip ? "3" : "1") : "2") + "');\n";
      }
      c.new_sql += "CREATE TABLE " + table + " (" + key + " LONG PRIMARY KEY, channelID LONG" +
                   kChannelIdClauses[pick(std::size(kChannelIdClauses))] + ", " +
                   Quoted(pick(8) ? "value" : "rowid") + " " + value_type + value_clause + ");\n";
      if (pick(8) == 0) c.new_sql += RaiseTrigger(rng, table, "channelID");
      const std::string value_name = c.new_sql.find("\"rowid\" TEXT") != std::string::npos
                                         ? "rowid" : "value";
      c.new_sql += "INSERT INTO export VALUES (1, '" + table + "', 'id', '" + table +
                   "', 'channelID', 0, 1);\n"
                   "INSERT INTO export VALUES (1, '" + table + "', 'id', '" + table + "', '" +
                   key + "', 0, 1);\n"
                   "INSERT INTO export VALUES (1, '" + table + "', '" +
                   (pick(2) ? "value" : "other") + "', '" + table + "', '" + value_name +
                   "', 0, 1);\n";
      break;
    }
    case Case::kModem: {
      // Several mapping rows after the two keys: old fields to new ones,
      // now and then a field named twice, a key, or a field that is missing.
      c.new_table = "modemconnection";
      c.old_sql = "CREATE TABLE modemconnection (id LONG, siteID LONG, phone TEXT(20), init, "
                  "baud LONG);\n";
      for (int r = pick(6); r > 0; --r) {
        c.old_sql += "INSERT INTO modemconnection VALUES (" + std::to_string(r) + ", " + site() +
                     ", " + (pick(3) ? "'5550'" : text()) + ", " + (pick(3) ? "'ATZ'" : text()) +
                     ", " + (pick(3) ? std::string("9600") : kTexts[pick(std::size(kTexts))]) +
                     ");\n";
      }
      c.new_sql = kExportTable + std::string("CREATE TABLE channel (channelID LONG") +
                  channel_key + ", siteID LONG, channelName TEXT(50), channeltype TEXT(2));\n";
      for (int id = 1; id <= 2 + pick(6); ++id) {
        c.new_sql += "INSERT OR IGNORE INTO channel VALUES (" + std::to_string(id) + ", " +
                     site() + ", 'c', '" + (pick(3) ? "2" : "1") + "');\n";
      }
      // Mostly tables the one pass can prove, so that it runs.
      c.new_sql += "CREATE TABLE modemconnection (modemID LONG PRIMARY KEY, channelID LONG" +
                   std::string(pick(3) ? "" : kChannelIdClauses[pick(std::size(kChannelIdClauses))]) +
                   ", phoneNumber " + value_type + (pick(2) ? "" : value_clause) +
                   ", initString TEXT(10), baudRate LONG);\n";
      if (pick(8) == 0) c.new_sql += RaiseTrigger(rng, "modemconnection", "channelID");
      c.new_sql +=
          "INSERT INTO export VALUES (1, 'modemconnection', 'id', 'modemconnection', "
          "'channelID', 0, 1);\n"
          "INSERT INTO export VALUES (1, 'modemconnection', 'id', 'modemconnection', "
          "'modemID', 0, 1);\n";
      const char* const kOld[] = {"phone", "init", "baud", "phone", "nofield"};
      const char* const kNew[] = {"phoneNumber", "initString", "baudRate", "phoneNumber",
                                  "channelID", "nofield"};
      for (int m = 1 + pick(3); m > 0; --m) {
        c.new_sql += std::string("INSERT INTO export VALUES (1, 'modemconnection', '") +
                     kOld[pick(10) ? pick(4) : 4] + "', 'modemconnection', '" +
                     kNew[pick(10) ? pick(4) : 4 + pick(2)] + "', 0, 1);\n";
      }
      break;
    }
    case Case::kCustomers:
    case Case::kPlaceholders: {
      const char* const kIds[] = {"3", "5", "5", "6", "'5'", "NULL", "5.0", "'x'"};
      auto id = [&] { return pick(4) ? kIds[pick(4)] : kIds[pick(std::size(kIds))]; };
      c.new_table = "customers";
      c.old_sql = std::string("CREATE TABLE customers (id ") + (pick(4) ? "LONG" : "TEXT(5)") +
                  ", siteID LONG, name TEXT(50), address TEXT(80), city TEXT(50), "
                  "region TEXT(50), zipCode TEXT(10), country TEXT(50));\n";
      if (pick(3) == 0) c.old_sql += "CREATE INDEX by_id_name ON customers (id, name);\n";
      for (int r = pick(6); r > 0; --r) {
        c.old_sql += std::string("INSERT INTO customers VALUES (") + id() + ", " + site() + ", " +
                     text() + ", " + text() + ", 'c', NULL, '1', 'NL');\n";
      }
      // relamor2035 lists the site databases by the column id: the key
      // field ID itself, or a column of its own after siteID.
      const std::string key = pick(2) ? "siteID" : "ID";
      const bool own_id = key == "siteID";
      c.old_sql += "CREATE TABLE sites (" + key + " LONG, customerID LONG, siteName TEXT(50)" +
                   (own_id ? ", id LONG" : "") + ");\n";
      for (int r = c.writer == Case::kPlaceholders ? pick(5) : 0; r > 0; --r) {
        c.old_sql += std::string("INSERT INTO sites VALUES (") + site() + ", " + id() + ", 's'" +
                     (own_id ? std::string(", ") + kSites[pick(4)] : "") + ");\n";
        c.site_databases = true;
      }
      c.new_sql = kExportTable + std::string("CREATE TABLE customers (customerID ") +
                  (pick(3) ? "SHORT" : "BYTE") +
                  (pick(3) ? (pick(6) ? " PRIMARY KEY" : " PRIMARY KEY ON CONFLICT IGNORE") : "") +
                  ", Name " +
                  (pick(3) ? "TEXT(50)" : "TEXT(4)") + value_clause +
                  ", address TEXT(80), city TEXT(50), region TEXT(50), zipcode TEXT(10), "
                  "country TEXT(50));\n";
      if (pick(3) == 0) c.new_sql += "INSERT INTO customers (customerID, Name) VALUES (2, 'a');\n";
      if (pick(8) == 0) c.new_sql += RaiseTrigger(rng, "customers", "customerID");
      c.new_sql += "INSERT INTO export VALUES (1, 'customers', 'id', 'Customers', 'customerID', "
                   "0, 1);\n";
      if (c.writer == Case::kPlaceholders) {
        // Placeholder customers, then the Sites copy: appended, or linked to
        // the customers (mode B, which numbers on from the placeholders).
        c.new_sql += "CREATE TABLE Sites (siteID LONG, customerID SHORT, siteName TEXT(50));\n"
                     "INSERT INTO export VALUES (2, 'sites', '" + key + "', 'Sites', 'siteID', "
                     "0, 1);\n";
        if (pick(2)) {
          c.new_sql += "INSERT INTO export VALUES (2, 'sites', 'customerID', 'Sites', "
                       "'customerID', -1, 1);\n";
        }
        c.new_sql += "INSERT INTO export VALUES (2, 'sites', 'siteName', 'Sites', 'siteName', "
                     "0, 1);\n";
      }
      break;
    }
    case Case::kNoWriter:
      break;
  }
  return c;
}

struct Outcome {
  int status = -1;
  std::string log;
  std::string result;  // RelamorResult
  std::string err;     // standard error
  std::string tables;  // the report's per-table counts
  std::string dump;    // every table of the new main database
  std::string kept;    // the table copied first
};

// The table every case copies first (sno 0): its row must survive whatever
// the case's own table does.
constexpr const char* kKeepOld = "CREATE TABLE keep (k LONG); INSERT INTO keep VALUES (41);\n";
constexpr const char* kKeepNew =
    "CREATE TABLE kept (k LONG);\n"
    "INSERT INTO export VALUES (0, 'keep', 'k', 'kept', 'k', 0, 1);\n";

// What each program's start-up reads besides the mapped tables: the old
// releases and sites (relamor), the sites (by id, by siteID), and the new
// release table (relamor) or the mapping table export3035 beside a
// non-empty export (relamor3035).
std::string OldMain(const Case& c) {
  std::string sql = c.old_sql + kKeepOld;
  switch (c.program) {
    case Program::kRelamor:
      return sql +
             "CREATE TABLE qorreleases (no LONG, productname TEXT(10), servicepack LONG, "
             "buildno LONG);\n"
             "INSERT INTO qorreleases VALUES (1, '3.5', 0, 1);\n"
             "CREATE TABLE sites (siteID LONG, Name TEXT(50), region TEXT(20));\n"
             "CREATE TABLE customers (id LONG, siteID LONG, Name TEXT(50));\n";
    case Program::kRelamor2035:
      if (sql.find("CREATE TABLE sites") != std::string::npos) return sql;
      return sql + "CREATE TABLE sites (id LONG, siteName TEXT(50));\n";
    case Program::kRelamor3035:
      return sql + "CREATE TABLE sites (siteID LONG, siteName TEXT(50));\n";
  }
  return sql;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::string NewMain(const Case& c) {
  const std::string sql = c.new_sql + kKeepNew;
  switch (c.program) {
    case Program::kRelamor:
      return "CREATE TABLE qorreleases (no LONG, productname TEXT(10), servicepack LONG, "
             "buildno LONG);\n"
             "INSERT INTO qorreleases VALUES (1, '3.5', 0, 1);\n" + sql;
    case Program::kRelamor2035:
      return sql;
    case Program::kRelamor3035:
      return std::string(kExportTable) +
             "INSERT INTO export VALUES (1, 'x', 'x', 'x', 'x', 0, 1);\n" +
             Replaced(Replaced(sql, "CREATE TABLE export (", "CREATE TABLE export3035 ("),
                      "INSERT INTO export VALUES", "INSERT INTO export3035 VALUES");
  }
  return sql;
}

// Every table of a new database in name order, each row with its real rowid
// first, under a name of it that no column of the table hides.
std::string DumpAll(const Installation& inst, const std::string& db) {
  std::string out;
  std::istringstream tables(inst.Dump(
      "new", db, "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY name"));
  for (std::string table; std::getline(tables, table);) {
    const std::string quoted_name = "'" + Replaced(table, "'", "''") + "'";
    const std::string columns =
        "\n" + inst.Dump("new", db, "SELECT lower(name) FROM pragma_table_info(" + quoted_name +
                                        ")");
    std::string rowid = "_rowid_";
    for (const char* name : {"rowid", "oid"}) {
      if (columns.find("\n" + std::string(name) + "\n") == std::string::npos) rowid = name;
    }
    out += table + ":\n" +
           inst.Dump("new", db, "SELECT " + rowid + ", * FROM " + Quoted(table) + " ORDER BY " +
                                    rowid);
  }
  return out;
}

// Whether a table other than the one kept gained or changed rows, by the
// report's "database|table|mode|read|added|edited" lines.
bool StoredRows(const std::string& tables) {
  std::istringstream lines(tables);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("|kept|") != std::string::npos) continue;
    const std::size_t edited = line.rfind('|');
    const std::size_t added = line.rfind('|', edited - 1);
    if (line.substr(added + 1, edited - added - 1) != "0" || line.substr(edited + 1) != "0") {
      return true;
    }
  }
  return false;
}

void StartUp(Program program, RunFrame& frame) {
  switch (program) {
    case Program::kRelamor:
      Relamor(frame).StartUp();
      break;
    case Program::kRelamor2035:
      Relamor2035(frame).StartUp();
      break;
    case Program::kRelamor3035:
      Relamor3035(frame).StartUp();
      break;
  }
}

// One conversion of the case by its program from a fresh new directory.
Outcome Convert(Installation& inst, const Case& c, const char* strategy) {
  namespace fs = std::filesystem;
  fs::remove_all(inst.new_dir());
  fs::create_directory(inst.new_dir());
  fs::remove(ProductKeyDir(inst.registry()) + "/RelamorResult");
  inst.New("qorsite", NewMain(c));
  if (c.site_databases) inst.New("qordxxx", kExportTable);
  UseStrategy(strategy);
  Options options;
  options.args = inst.old_dir() + "," + inst.new_dir();
  options.report_path = inst.root() + "/report.json";
  fs::remove(options.report_path);
  Outcome out;
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  out.status =
      RunFrame::RunWith(options, inst.registry(), kProgramNames[static_cast<int>(c.program)],
                        [&](RunFrame& frame) { StartUp(c.program, frame); });
  out.err = ::testing::internal::GetCapturedStderr();
  ::testing::internal::GetCapturedStdout();
  unsetenv("RELAMOR_COPY_STRATEGY");
  out.log = inst.Log();
  out.result = inst.Result();
  out.tables = ReportTables(ReadReport(options.report_path));
  out.dump = DumpAll(inst, "qorsite");
  out.kept = inst.Dump("new", "qorsite", "kept");
  return out;
}

// Overwrites the start of the old table's page (page 2: the first table
// created) with bytes that are no b-tree page.
void Damage(const Installation& inst) {
  std::FILE* f = std::fopen((inst.old_dir() + "qorsite.mdb").c_str(), "r+b");
  ASSERT_NE(f, nullptr);
  std::fseek(f, 4096, SEEK_SET);
  const unsigned char garbage[16] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                                     0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  std::fwrite(garbage, 1, sizeof garbage, f);
  std::fclose(f);
}

TEST(CopyDifferential, BothStrategiesAgreeOnRandomCases) {
  const long cases = EnvNumber("RELAMOR_DIFF_CASES", 40);
  const long seed = EnvNumber("RELAMOR_DIFF_SEED", 1);
  std::mt19937 rng(static_cast<unsigned>(seed));
  int failures = 0;
  long copied = 0;  // cases whose run stored rows, and cases that ended in an error
  long failed = 0;
  long per_program[3] = {0, 0, 0};
  for (long i = 0; i < cases && failures < 3; ++i) {
    const Case c = i % 4 == 3 ? MakeExccsCase(rng) : i % 4 == 1 ? MakeWriterCase(rng)
                                                                : MakeCase(rng);
    Installation inst;
    inst.Old("qorsite", OldMain(c));
    if (c.site_databases) {
      for (const char* site : {"qord004", "qord007", "qord008", "qord099"}) {
        inst.Old(site, "CREATE TABLE unused (x LONG);");
      }
    }
    if (c.damaged) Damage(inst);
    const Outcome rows = Convert(inst, c, "rows");
    const Outcome set = Convert(inst, c, "auto");
    const bool same = rows.status == set.status && rows.log == set.log &&
                      rows.result == set.result && rows.err == set.err &&
                      rows.tables == set.tables && rows.dump == set.dump && rows.kept == set.kept;
    const char* program = kProgramNames[static_cast<int>(c.program)];
    // An early stop (a site number that names no database) copies nothing.
    if (rows.status != 2) {
      EXPECT_EQ(rows.kept, "41\n") << "case " << i << " (" << program
                                   << "): the table copied first lost its row\n"
                                   << c.new_sql << rows.log;
    }
    EXPECT_TRUE(same) << "case " << i << " (seed " << seed << ", " << program << ")\nold:\n"
                      << c.old_sql << "new:\n" << c.new_sql << "rows: " << rows.status << " "
                      << rows.result << "\n" << rows.log << rows.err << rows.tables << rows.dump
                      << "set:  " << set.status << " " << set.result << "\n" << set.log
                      << set.err << set.tables << set.dump;
    if (!same) ++failures;
    ++per_program[static_cast<int>(c.program)];
    if (rows.status != 0) {
      ++failed;
    } else if (StoredRows(rows.tables)) {
      ++copied;
    }
  }
  // The cases reach both outcomes (a generator gone blind would not).
  if (cases >= 40) {
    EXPECT_GT(copied, cases / 10);
    EXPECT_GT(failed, cases / 10);
    for (const long n : per_program) EXPECT_GT(n, cases / 10);
  }
  std::printf("%ld cases (relamor %ld, relamor2035 %ld, relamor3035 %ld): %ld stored rows, %ld "
              "ended in an error\n",
              cases, per_program[0], per_program[1], per_program[2], copied, failed);
}

}  // namespace
}  // namespace relamor::testing
