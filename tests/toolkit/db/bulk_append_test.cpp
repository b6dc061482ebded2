// The set-based append stores exactly what a row-by-row copy would, or
// nothing at all.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/test_db.h"
#include "toolkit/db/bulk_append.h"

namespace relamor::testing {
namespace {

using db::AppendColumn;

class BulkAppend : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDatabase(old_path_, R"(
      CREATE TABLE src (a TEXT(20), b TEXT(20), d, y LONG, r DOUBLE);
      INSERT INTO src VALUES ('12', 'short', '2026-3-1', 5, 2.5);
      INSERT INTO src VALUES (7.5, NULL, '2026-03-01 08:15:00', 0, 3);
      INSERT INTO src VALUES (NULL, 'x', 45000, NULL, NULL);
    )");
    MakeDatabase(new_path_, R"(
      CREATE TABLE dst (n SHORT, s TEXT(5), d DATETIME, yes YESNO, r DOUBLE,
                        note TEXT(10) DEFAULT 'dflt');
      CREATE TABLE counted (id COUNTER, v TEXT(10));
    )");
    before_ = FileBytes(old_path_);
  }

  std::optional<long> Append(const std::string& table, const std::vector<AppendColumn>& columns) {
    db::Engine engine;
    db::Database old_db = engine.OpenDatabase(old_path_, db::OpenMode::kReadOnly);
    db::Database new_db = engine.OpenDatabase(new_path_);
    return db::AppendFrom(new_db, old_db, "src", table, columns);
  }

  TempDir dir_;
  std::string old_path_ = dir_.File("old.mdb");
  std::string new_path_ = dir_.File("new.mdb");
  std::string before_;
};

TEST_F(BulkAppend, ConvertsLikeUpdate) {
  const auto n = Append("dst", {{"n", "a"}, {"s", "b"}, {"d", "d"}, {"yes", "y"}, {"r", "r"}});
  ASSERT_TRUE(n.has_value());
  EXPECT_EQ(*n, 3);
  // Numeric text and reals become 16-bit integers (7.5 rounds half to even),
  // dates take their stored form (45000 days after 1899-12-30), Yes/No -1/0.
  EXPECT_EQ(DumpTable(new_path_, "dst"),
            "12|short|2026-03-01|-1|2.5|dflt\n"
            "8|NULL|2026-03-01 08:15:00|0|3|dflt\n"
            "NULL|x|2023-03-15|NULL|NULL|dflt\n");
  EXPECT_EQ(FileBytes(old_path_), before_);
  EXPECT_FALSE(std::filesystem::exists(old_path_ + "-journal"));
}

TEST_F(BulkAppend, NumbersRowsAndLetsALaterColumnWin) {
  const auto n = Append("dst", {{"n", "", true}, {"s", "a"}, {"s", "b"}});
  ASSERT_TRUE(n.has_value());
  EXPECT_EQ(DumpTable(new_path_, "dst"),
            "1|short|NULL|NULL|NULL|dflt\n2|NULL|NULL|NULL|NULL|dflt\n3|x|NULL|NULL|NULL|dflt\n");
}

TEST_F(BulkAppend, WorksTableAfterTableWhileTheCallerWalksARecordset) {
  // The table loop keeps its plan open on the new database between appends.
  MakeDatabase(dir_.File("other.mdb"), "CREATE TABLE src (b TEXT(20)); INSERT INTO src VALUES ('o');");
  db::Engine engine;
  db::Database old_db = engine.OpenDatabase(old_path_, db::OpenMode::kReadOnly);
  db::Database other = engine.OpenDatabase(dir_.File("other.mdb"), db::OpenMode::kReadOnly);
  db::Database new_db = engine.OpenDatabase(new_path_);
  db::Recordset walk = new_db.OpenRecordset("select * from sqlite_master");
  ASSERT_FALSE(walk.Eof());
  EXPECT_EQ(db::AppendFrom(new_db, old_db, "src", "dst", {{"s", "b"}}), 3);
  EXPECT_EQ(db::AppendFrom(new_db, other, "src", "dst", {{"s", "b"}}), 1);
  EXPECT_EQ(db::AppendFrom(new_db, old_db, "src", "dst", {{"n", "", true}}), 3);
  walk.MoveNext();
  new_db.Close();
  EXPECT_EQ(DumpTable(new_path_, "dst"),
            "NULL|short|NULL|NULL|NULL|dflt\n"
            "NULL|NULL|NULL|NULL|NULL|dflt\n"
            "NULL|x|NULL|NULL|NULL|dflt\n"
            "NULL|o|NULL|NULL|NULL|dflt\n"
            "1|NULL|NULL|NULL|NULL|dflt\n"
            "2|NULL|NULL|NULL|NULL|dflt\n"
            "3|NULL|NULL|NULL|NULL|dflt\n");
}

TEST_F(BulkAppend, StoresNothingWhenOneRowIsRefused) {
  // 'short' fits TEXT(5); the text of the date column does not.
  EXPECT_FALSE(Append("dst", {{"n", "a"}, {"s", "d"}}).has_value());
  EXPECT_EQ(DumpTable(new_path_, "dst"), "");
  EXPECT_EQ(FileBytes(old_path_), before_);
}

TEST_F(BulkAppend, LeavesCounterColumnsAndUnknownNamesToTheRowCopy) {
  EXPECT_FALSE(Append("counted", {{"v", "b"}}).has_value());
  EXPECT_FALSE(Append("dst", {{"nosuch", "b"}}).has_value());
  EXPECT_FALSE(Append("dst", {{"s", "nosuch"}}).has_value());
  EXPECT_FALSE(Append("nosuch", {{"s", "b"}}).has_value());
  EXPECT_EQ(DumpTable(new_path_, "counted"), "");
}

}  // namespace
}  // namespace relamor::testing
