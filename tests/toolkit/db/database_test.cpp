#include "toolkit/db/database.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "tests/support/test_db.h"
#include "toolkit/db/connection.h"
#include "toolkit/db/dialect.h"
#include "toolkit/error.h"

namespace relamor::db {
namespace {

using namespace relamor::testing;

std::set<std::string> FilesIn(const std::string& dir) {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

TEST(DatabaseTest, OpenRefusesMissingFilesAndFilesThatAreNotDatabases) {
  TempDir dir;
  Engine engine;
  const std::string missing = dir.File("qord042.mdb");
  Error e = ErrorOf([&] { engine.OpenDatabase(missing); });
  EXPECT_EQ(e.number(), err::kDatabaseNotFound);
  EXPECT_EQ(e.description(), "Database not found: could not find the file '" + missing + "'");
  EXPECT_FALSE(std::filesystem::exists(missing));  // not created by the attempt
  EXPECT_EQ(ErrorOf([&] { engine.OpenDatabase(missing, OpenMode::kReadOnly); }).number(),
            err::kDatabaseNotFound);

  const std::string text = dir.File("qorsite.mdb");
  testing::WriteFile(text, std::string(4096, 'x'));
  e = ErrorOf([&] { engine.OpenDatabase(text); });
  EXPECT_EQ(e.number(), err::kNotADatabase);
  EXPECT_EQ(e.description(), "Not a database: '" + text + "' is not a database file");
  EXPECT_EQ(ErrorOf([&] { engine.OpenDatabase(dir.path()); }).number(), err::kNotADatabase);
}

TEST(DatabaseTest, ReadingAnOldDatabaseChangesNothingBesideIt) {
  TempDir dir;
  const std::string path = dir.File("qorsite.mdb");
  MakeDatabase(path,
               "CREATE TABLE sites(siteID LONG, name TEXT(20));"
               "INSERT INTO sites VALUES (3, 'North'), (12, 'South');");
  const std::string before = FileBytes(path);
  {
    Engine engine;
    Database db = engine.OpenDatabase(path, OpenMode::kReadOnly);
    Recordset rs = db.OpenRecordset("sites");
    rs.MoveLast();
    EXPECT_EQ(rs.RecordCount(), 2);
    EXPECT_EQ(FilesIn(dir.path()), std::set<std::string>{"qorsite.mdb"});

    Error e = ErrorOf([&] { db.Execute("delete from sites"); });
    EXPECT_EQ(e.number(), err::kCannotUpdate);
    EXPECT_NE(e.description().find(path), std::string::npos) << e.description();
    EXPECT_EQ(ErrorOf([&] { rs.AddNew(); }).number(), err::kCannotUpdate);
    EXPECT_EQ(ErrorOf([&] { rs.Edit(); }).number(), err::kCannotUpdate);
  }
  EXPECT_EQ(FilesIn(dir.path()), std::set<std::string>{"qorsite.mdb"});
  EXPECT_EQ(FileBytes(path), before);
}

TEST(DatabaseTest, TwoHandlesOnOneFileShareTheirRowsAndCloseSeparately) {
  TempDir dir;
  const std::string path = dir.File("qorsite.mdb");
  MakeDatabase(path, "CREATE TABLE customers(customerID LONG, name TEXT(20));");
  Engine engine;
  Database first = engine.OpenDatabase(path);
  std::filesystem::create_symlink(path, dir.File("link.mdb"));
  Database second = engine.OpenDatabase(dir.File("link.mdb"));

  Recordset writer = first.OpenRecordset("customers");
  writer.AddNew();
  writer.Set("customerID", I(7));
  writer.Set("name", T("Acme"));
  writer.Update();
  Recordset reader =
      second.OpenRecordset("select name from customers where customerID = ?", {I(7)});
  ASSERT_FALSE(reader.Eof());
  EXPECT_EQ(reader.Get("name"), T("Acme"));
  EXPECT_EQ(second.Execute("update customers set name = ? where customerID = ?", {T("Ab'c"), I(7)}),
            1);

  first.Close();
  first.Close();  // harmless
  EXPECT_FALSE(first.is_open());
  EXPECT_FALSE(writer.is_open());
  Error e = ErrorOf([&] { writer.MoveNext(); });
  EXPECT_EQ(e.number(), err::kObjectInvalid);
  EXPECT_EQ(e.description(),
            "Object invalid or no longer set: the recordset on table 'customers' is "
            "closed (" +
                path + ")");
  EXPECT_EQ(ErrorOf([&] { first.OpenRecordset("customers"); }).number(), err::kObjectInvalid);
  EXPECT_EQ(ErrorOf([&] { first.Execute("delete from customers"); }).number(), err::kObjectInvalid);

  // The other handle and its recordsets go on.
  EXPECT_TRUE(reader.is_open());
  reader.Requery();
  EXPECT_EQ(reader.Get(0), T("Ab'c"));
  second.Close();
  EXPECT_EQ(DumpTable(path, "customers"), "7|Ab'c\n");
}

TEST(DatabaseTest, RowsAreCommittedByCommitAllCloseAndTheEngineEnding) {
  TempDir dir;
  const std::string path = dir.File("qord003.mdb");
  MakeDatabase(path, "CREATE TABLE boards(boardID LONG, name TEXT(10));");
  {
    auto engine = std::make_unique<Engine>();
    Database db = engine->OpenDatabase(path);
    db.Execute("insert into boards values (1, 'one')");
    EXPECT_EQ(DumpTable(path, "boards"), "");  // still in the open transaction
    engine->CommitAll();
    EXPECT_EQ(DumpTable(path, "boards"), "1|one\n");

    Recordset rs = db.OpenRecordset("boards");
    rs.AddNew();
    rs.Set(0, I(2));
    rs.Update();
    // The engine ends while the database and the recordset are still open.
    engine.reset();
    EXPECT_FALSE(db.is_open());
    EXPECT_FALSE(rs.is_open());
    EXPECT_EQ(ErrorOf([&] { rs.Get(0); }).number(), err::kObjectInvalid);
    EXPECT_EQ(ErrorOf([&] { db.Commit(); }).number(), err::kObjectInvalid);
  }
  EXPECT_EQ(DumpTable(path, "boards"), "1|one\n2|NULL\n");

  Engine engine;
  Database db = engine.OpenDatabase(path);
  Recordset rs = db.OpenRecordset("boards");
  rs.Edit();
  rs.Set("name", T("uno"));
  rs.Update();
  db.Close();
  EXPECT_EQ(DumpTable(path, "boards"), "1|uno\n2|NULL\n");
}

// Another process reading the file keeps the commit from finishing; the
// failure must reach the caller, also when a destructor closed the handle.
TEST(DatabaseTest, AFailedCommitIsReportedAndNotLost) {
  TempDir dir;
  const std::string path = dir.File("qord003.mdb");
  MakeDatabase(path, "CREATE TABLE boards(boardID LONG); INSERT INTO boards VALUES (1);");
  sqlite3* reader = nullptr;
  ASSERT_EQ(sqlite3_open_v2(path.c_str(), &reader, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
  sqlite3_stmt* walk = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(reader, "SELECT * FROM boards", -1, &walk, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(walk), SQLITE_ROW);  // holds a read lock

  Engine engine;
  Database db = engine.OpenDatabase(path);
  db.Execute("insert into boards values (2)");
  Error e = ErrorOf([&] { db = Database(); });
  EXPECT_EQ(e.number(), err::kEngineError);
  EXPECT_NE(e.description().find("'" + path + "' could not be committed"), std::string::npos)
      << e.description();

  {
    Database dropped = engine.OpenDatabase(path);
    dropped.Execute("insert into boards values (3)");
  }
  e = ErrorOf([&] { engine.CommitAll(); });
  EXPECT_EQ(e.number(), err::kEngineError);
  EXPECT_NE(e.description().find(path), std::string::npos) << e.description();
  engine.CommitAll();  // reported once

  // The engine's destructor cannot throw: it reports the rows it could not
  // commit on standard error.
  ::testing::internal::CaptureStderr();
  {
    Engine last;
    Database open = last.OpenDatabase(path);
    open.Execute("insert into boards values (5)");
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("'" + path + "' could not be committed"), std::string::npos) << err;

  sqlite3_finalize(walk);
  sqlite3_close(reader);
  EXPECT_EQ(DumpTable(path, "boards"), "1\n");
}

TEST(DatabaseTest, LargeWritesAreCommittedInSlices) {
  TempDir dir;
  const std::string path = dir.File("big.mdb");
  MakeDatabase(path,
               "CREATE TABLE n(x LONG); CREATE TABLE d(x LONG);"
               "INSERT INTO d VALUES (0), (1), (2), (3), (4), (5), (6), (7), (8), (9);");
  Engine engine;
  Database db = engine.OpenDatabase(path);
  // One statement writing more rows than a transaction holds commits at once.
  EXPECT_EQ(db.Execute("insert into n select a.x + 10 * b.x + 100 * c.x + 1000 * e.x + 10000 * f.x "
                       "from d as a, d as b, d as c, d as e, d as f"),
            100000);
  Engine other;
  Database reader = other.OpenDatabase(path, OpenMode::kReadOnly);
  Recordset rs = reader.OpenRecordset("n");
  rs.MoveLast();
  EXPECT_EQ(rs.RecordCount(), 100000);
}

TEST(DatabaseTest, ExecuteSkipsRowsAnUpdateCannotChangeButRefusesInserts) {
  TempDir dir;
  const std::string path = dir.File("qord003.mdb");
  MakeDatabase(path,
               "CREATE TABLE boards(boardID LONG UNIQUE, name TEXT(10) NOT NULL);"
               "INSERT INTO boards VALUES (1, 'a'), (2, 'b'), (3, 'c');");
  Engine engine;
  Database db = engine.OpenDatabase(path);
  EXPECT_EQ(db.Execute("update boards set boardID = 2 where boardID = 1"), 0);
  EXPECT_EQ(db.Execute("update boards set name = null"), 0);
  EXPECT_EQ(db.Execute("update boards set boardID = boardID + 10 where boardID > 1"), 2);
  EXPECT_EQ(db.Execute("delete from boards where boardID > ?", {I(10)}), 2);

  Error e = ErrorOf([&] { db.Execute("insert into boards values (1, 'x')"); });
  EXPECT_EQ(e.number(), err::kDuplicateValue);
  EXPECT_EQ(e.description(),
            "Duplicate value refused: table 'boards' already has a row with the same boardID in "
            "statement 'insert into boards values (1, 'x')' (" +
                path + ")");
  e = ErrorOf([&] { db.Execute("insert into boards (boardID) values (?)", {I(9)}); });
  EXPECT_EQ(e.number(), err::kNullNotAllowed);
  EXPECT_EQ(e.description(),
            "The field 'boards.name' cannot contain a Null value in statement "
            "'insert into boards (boardID) values (?)' (" +
                path + ")");
  db.Close();
  EXPECT_EQ(DumpTable(path, "boards"), "1|a\n");
}

TEST(DatabaseTest, StatementErrorsNameTheStatementAndTheFile) {
  TempDir dir;
  const std::string path = dir.File("qorsite.mdb");
  MakeDatabase(path, "CREATE TABLE export(sno LONG, oldtablename TEXT(50));");
  Engine engine;
  Database db = engine.OpenDatabase(path);

  Error e = ErrorOf([&] { db.OpenRecordset("qorreleases"); });
  EXPECT_EQ(e.number(), err::kTableNotFound);
  EXPECT_EQ(e.description(), "Table not found: 'qorreleases' (" + path + ")");

  e = ErrorOf([&] { db.OpenRecordset("select * from qorreleases"); });
  EXPECT_EQ(e.number(), err::kTableNotFound);
  EXPECT_EQ(e.description(),
            "Table not found: 'qorreleases' in statement 'select * from "
            "qorreleases' (" +
                path + ")");

  e = ErrorOf([&] { db.OpenRecordset("select sno from export where releaseversion = 2"); });
  EXPECT_EQ(e.number(), err::kUndefinedName);
  EXPECT_EQ(e.description(),
            "Undefined name 'releaseversion' in statement 'select sno from export "
            "where releaseversion = 2' (" +
                path + ")");

  e = ErrorOf([&] { db.Execute("update export sett sno = 1"); });
  EXPECT_EQ(e.number(), err::kSyntaxError);
  EXPECT_EQ(e.description(),
            "Syntax error (near \"sett\": syntax error) in statement 'update export "
            "sett sno = 1' (" +
                path + ")");

  e = ErrorOf([&] { db.OpenRecordset("select * from export where sno = ?", {}); });
  EXPECT_EQ(e.number(), err::kUndefinedName);
  EXPECT_NE(e.description().find("expects 1 values, 0 given"), std::string::npos);
}

// A stop asked for while a long statement only reads interrupts it, on the
// old and on the new side (the stop check counts its calls: the statement is
// long enough that without the interrupt it would run for minutes).
TEST(DatabaseTest, AStopInterruptsALongReadOnlyStatement) {
  TempDir dir;
  MakeDatabase(dir.File("qorsite.mdb"), "CREATE TABLE t (a LONG); INSERT INTO t VALUES (1);");
  for (const OpenMode mode : {OpenMode::kReadOnly, OpenMode::kReadWrite}) {
    Engine engine;
    int calls = 0;
    engine.SetStopCheck([&calls] {
      if (++calls > 100) throw Error(err::kUserInterrupt, "Run stopped by SIGTERM");
    });
    Database db = engine.OpenDatabase(dir.File("qorsite.mdb"), mode);
    if (mode == OpenMode::kReadWrite) db.Execute("insert into t values (2)");
    const Error e = ErrorOf([&] {
      db.OpenRecordset(
          "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n WHERE i < 10000000000) "
          "SELECT count(*) FROM n");
    });
    EXPECT_EQ(e.number(), err::kUserInterrupt) << e.description();
    db.Close();
  }
  // The row stored before the stop is kept.
  EXPECT_EQ(DumpTable(dir.File("qorsite.mdb"), "t"), "1\n2\n");
}

TEST(DatabaseTest, TableListAndNames) {
  TempDir dir;
  const std::string path = dir.File("qorsite.mdb");
  MakeDatabase(path,
               "CREATE TABLE sites(siteID LONG, name TEXT);"
               "CREATE TABLE \"odd \"\"name\"\"\"(x);"
               "CREATE TABLE cmdidguid(cmdid LONG, guid TEXT);");
  Engine engine;
  Database db = engine.OpenDatabase(path);
  const std::vector<TableDef> defs = db.TableDefs();
  ASSERT_EQ(defs.size(), 3u);
  EXPECT_EQ(defs[0].name, "sites");
  EXPECT_EQ(defs[0].field_names, (std::vector<std::string>{"siteID", "name"}));
  EXPECT_EQ(defs[1].name, "odd \"name\"");
  EXPECT_EQ(defs[2].name, "cmdidguid");
  EXPECT_TRUE(db.HasTable("CMDIDGUID"));
  EXPECT_TRUE(db.HasTable("[Sites]"));
  EXPECT_FALSE(db.HasTable("site"));

  // A name with quotes in it is quoted, not spliced.
  Recordset odd = db.OpenRecordset("odd \"name\"");
  odd.AddNew();
  odd.Set("X", I(1));
  odd.Update();
  db.Close();
  EXPECT_EQ(DumpTable(path, "odd \"name\""), "1\n");
  EXPECT_EQ(testing::ErrorOf([&] { db.TableDefs(); }).number(), err::kObjectInvalid);
}

// A layout read for one file serves another with the same CREATE statement
// (a copied template), but what is learnt on demand stays per file.
TEST(DatabaseTest, LayoutsFollowEachFilesOwnStatementAndCounters) {
  TempDir dir;
  const std::string first_path = dir.File("qord001.mdb");
  const std::string copy_path = dir.File("qord002.mdb");
  const std::string other_path = dir.File("qord003.mdb");
  MakeDatabase(first_path,
               "CREATE TABLE t(n COUNTER, b TEXT(5)); INSERT INTO t VALUES (5, 'x');");
  std::filesystem::copy_file(first_path, copy_path);
  MakeDatabase(other_path, "CREATE TABLE t(n LONG, c DATETIME);");
  Engine engine;
  Database first = engine.OpenDatabase(first_path);
  Database copy = engine.OpenDatabase(copy_path);
  Database other = engine.OpenDatabase(other_path);
  const auto add = [](Database& db) {
    Recordset rs = db.OpenRecordset("t");
    rs.AddNew();
    rs.Update();
  };
  add(first);
  add(first);
  add(copy);
  EXPECT_EQ(other.ColumnNames("t"), (std::vector<std::string>{"n", "c"}));
  first.Close();
  copy.Close();
  EXPECT_EQ(DumpTable(first_path, "t"), "5|x\n6|NULL\n7|NULL\n");
  EXPECT_EQ(DumpTable(copy_path, "t"), "5|x\n6|NULL\n");
}

// like() is the original engine's pattern match, not SQLite's: '%' has no
// special meaning.
TEST(DatabaseTest, LikeUsesTheOriginalPatternMatch) {
  TempDir dir;
  const std::string path = dir.File("qorsite.mdb");
  MakeDatabase(path, "CREATE TABLE t(name TEXT); INSERT INTO t VALUES ('abc'), ('a%');");
  Engine engine;
  Database db = engine.OpenDatabase(path, OpenMode::kReadOnly);
  Recordset rs = db.OpenRecordset("select name from t where name like 'a%'");
  ASSERT_FALSE(rs.Eof());
  EXPECT_EQ(rs.Get(0), T("a%"));
  rs.MoveNext();
  EXPECT_TRUE(rs.Eof());
}

}  // namespace
}  // namespace relamor::db

namespace relamor::testing {
namespace {

// The translation writes the final text for its use: no collation after a
// parameter holding a number, OR IGNORE for an executed UPDATE, the rowid
// first for an updatable single-table select.
TEST(NumericParameters, TheTranslationWritesTheTextForItsUse) {
  const db::ColumnLookup columns = [](std::string_view) { return std::vector<std::string>{"a"}; };
  auto translate = [&](const char* sql, std::vector<Value> params, bool executed = false,
                       bool updatable = false) {
    return db::TranslateStatement(sql, columns,
                                  db::detail::UseOf(params, executed, updatable));
  };
  const char* sql = "select * from t where a = ? and b = '?' and c = ? and d = ?";
  EXPECT_EQ(translate(sql, {Value{std::int64_t{5}}, Value{std::string("x")}, Value{2.5}}).sql,
            "select * from t where a = ? and b = '?' COLLATE NOCASE and c = ? COLLATE NOCASE "
            "and d = ?");
  EXPECT_EQ(translate(sql, {Value{std::string("x")}}).sql,
            "select * from t where a = ? COLLATE NOCASE and b = '?' COLLATE NOCASE and c = ? "
            "COLLATE NOCASE and d = ? COLLATE NOCASE");
  // "?2" is the second value, and a plain "?" after it the third.
  EXPECT_EQ(translate("select 1 from t where a = ?2 and b = ? and c = ?1",
                      {Value{std::string("x")}, Value{std::int64_t{1}}, Value{std::string("y")}})
                .sql,
            "select 1 from t where a = ?2 and b = ? COLLATE NOCASE and c = ?1 COLLATE NOCASE");
  EXPECT_EQ(translate("update t set a = 1", {}, true).sql, "update OR IGNORE t set a = 1");
  EXPECT_EQ(translate("update or replace t set a = 1", {}, true).sql,
            "update or replace t set a = 1");
  EXPECT_EQ(translate("update t set a = 1", {}).sql, "update t set a = 1");
  const db::Translation read = translate("select a from t as x", {}, false, true);
  EXPECT_EQ(read.sql, "select a from t as x");
  EXPECT_EQ(read.sql_with_rowid, R"(select "x".rowid, a from t as x)");
  EXPECT_EQ(translate("select a from t", {}).sql_with_rowid, "");
}

TEST(NumericParameters, TextStillComparesWithoutCaseAndNumbersByValue) {
  TempDir dir;
  MakeDatabase(dir.File("n.mdb"),
               "CREATE TABLE t (id LONG PRIMARY KEY, name TEXT(10));"
               "INSERT INTO t VALUES (1, 'Alpha'); INSERT INTO t VALUES (2, 'beta');");
  db::Engine engine;
  db::Database d = engine.OpenDatabase(dir.File("n.mdb"), db::OpenMode::kReadOnly);
  EXPECT_EQ(ToText(d.OpenRecordset("select name from t where id = ?", {Value{2.0}}).Get(0)),
            "beta");
  EXPECT_EQ(
      ToText(d.OpenRecordset("select id from t where name = ?", {Value{std::string("ALPHA")}})
                 .Get(0)),
      "1");
}

}  // namespace
}  // namespace relamor::testing
