// The set-based append stores exactly what a row-by-row copy would, or
// nothing at all.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <optional>
#include <ostream>
#include <random>
#include <vector>

#include "tests/support/test_db.h"
#include "toolkit/db/bulk_append.h"
#include "toolkit/db/set_based.h"
#include "toolkit/db/types.h"

namespace relamor::testing {
namespace {

using db::AppendColumn;

// The rows a set-based append stored; nothing when it declined.
std::optional<long> Rows(const db::Declinable<long>& outcome) {
  if (!outcome.stored()) return std::nullopt;
  return outcome.result();
}

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
    return Rows(db::AppendFrom(new_db, old_db, "src", table, columns));
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
            "8|NULL|2026-03-01 08:15:00|0|3.0|dflt\n"
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
  EXPECT_EQ(Rows(db::AppendFrom(new_db, old_db, "src", "dst", {{"s", "b"}})), 3);
  EXPECT_EQ(Rows(db::AppendFrom(new_db, other, "src", "dst", {{"s", "b"}})), 1);
  EXPECT_EQ(Rows(db::AppendFrom(new_db, old_db, "src", "dst", {{"n", "", true}})), 3);
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

// Whichever statement stores the table (values passed through after the row
// check, the record copy of a twin table, or the converting statement), the
// rows are those the row-by-row copy stores; when the row copy fails, the
// set-based append stores nothing.
struct SameAsRowCopyCase {
  const char* name;
  const char* old_rows;  // INSERTs into src (a TEXT(5), n LONG, d DATETIME, y YESNO)
  const char* target;    // CREATE statements of the new table t (and its index)
  std::vector<AppendColumn> columns;
};

void PrintTo(const SameAsRowCopyCase& c, std::ostream* os) { *os << c.name; }

class SameAsRowCopy : public ::testing::TestWithParam<SameAsRowCopyCase> {};

TEST_P(SameAsRowCopy, StoresWhatTheRowCopyStores) {
  const SameAsRowCopyCase& c = GetParam();
  TempDir dir;
  MakeDatabase(dir.File("old.mdb"),
               std::string("CREATE TABLE src (a TEXT(5), n LONG, d DATETIME, y YESNO);") +
                   c.old_rows);
  MakeDatabase(dir.File("bulk.mdb"), c.target);
  MakeDatabase(dir.File("rows.mdb"), c.target);
  db::Engine engine;
  db::Database old_db = engine.OpenDatabase(dir.File("old.mdb"), db::OpenMode::kReadOnly);
  db::Database bulk = engine.OpenDatabase(dir.File("bulk.mdb"));
  const std::optional<long> appended = Rows(AppendFrom(bulk, old_db, "src", "t", c.columns));
  bulk.Close();

  db::Database rows = engine.OpenDatabase(dir.File("rows.mdb"));
  const Error row_error = ErrorOf([&] {
    db::Recordset from = old_db.OpenRecordset("src");
    db::Recordset to = rows.OpenRecordset("t");
    for (long number = 1; !from.Eof(); from.MoveNext(), ++number) {
      to.AddNew();
      for (const AppendColumn& column : c.columns) {
        to.Set(column.target, column.numbered ? Value{number} : from.Get(column.source));
      }
      to.Update();
    }
  });
  rows.Close();
  if (row_error.number() == 0) {
    ASSERT_TRUE(appended.has_value()) << c.name;
    EXPECT_EQ(DumpTable(dir.File("bulk.mdb"), "t"), DumpTable(dir.File("rows.mdb"), "t"));
    EXPECT_EQ(*appended, 4);
  } else {
    EXPECT_FALSE(appended.has_value()) << c.name << ": " << row_error.what();
    EXPECT_EQ(DumpTable(dir.File("bulk.mdb"), "t"), "");
  }
}

constexpr const char* kFittingRows =
    "INSERT INTO src VALUES ('ab', 1, '2026-03-01', -1), (NULL, NULL, NULL, NULL),"
    " ('abcde', 2147483647, '2026-03-01 08:15:00', 0), ('', -5, NULL, 0);";
constexpr const char* kLastRowConverts =
    "INSERT INTO src VALUES ('ab', 1, '2026-03-01', -1), (NULL, NULL, NULL, NULL),"
    " ('abcde', 2, '2026-03-01 08:15:00', 0), (12, '7.5', '2026-3-1', 5);";
// The same rows, the last with a rowid that makes the table look large: the
// check then runs on its own connection beside the INSERT.
constexpr const char* kFittingRowsFar =
    "INSERT INTO src VALUES ('ab', 1, '2026-03-01', -1), (NULL, NULL, NULL, NULL),"
    " ('abcde', 2147483647, '2026-03-01 08:15:00', 0);"
    "INSERT INTO src (rowid, a, n, d, y) VALUES (250000, '', -5, NULL, 0);";
constexpr const char* kLastRowConvertsFar =
    "INSERT INTO src VALUES ('ab', 1, '2026-03-01', -1), (NULL, NULL, NULL, NULL),"
    " ('abcde', 2, '2026-03-01 08:15:00', 0);"
    "INSERT INTO src (rowid, a, n, d, y) VALUES (250000, 12, '7.5', '2026-3-1', 5);";
// A converting row among the first, which the twin's check on its own
// connection meets while the copy is still at work.
constexpr const char* kFirstRowConvertsFar =
    "INSERT INTO src VALUES (12, '7.5', '2026-3-1', 5), (NULL, NULL, NULL, NULL),"
    " ('abcde', 2, '2026-03-01 08:15:00', 0);"
    "INSERT INTO src (rowid, a, n, d, y) VALUES (250000, 'ab', 1, '2026-03-01', -1);";
constexpr const char* kTwin = "CREATE TABLE t (a TEXT(5), n LONG, d DATETIME, y YESNO);";
constexpr const char* kTwinWithKey =
    "CREATE TABLE t (a TEXT(5), n LONG, d DATETIME, y YESNO); CREATE UNIQUE INDEX tn ON t (n);";
constexpr const char* kShuffled =
    "CREATE TABLE t (yes YESNO, k LONG PRIMARY KEY, txt TEXT(5), day DATETIME, "
    "extra SHORT DEFAULT 3);";
const std::vector<AppendColumn> kIdentity = {{"a", "a"}, {"n", "n"}, {"d", "d"}, {"y", "y"}};
const std::vector<AppendColumn> kRenamed = {{"txt", "a"}, {"k", "n"}, {"day", "d"}, {"yes", "y"}};
const std::vector<AppendColumn> kNumbered = {{"k", "", true}, {"txt", "a"}, {"yes", "y"}};

INSTANTIATE_TEST_SUITE_P(
    EveryPath, SameAsRowCopy,
    ::testing::Values(
        SameAsRowCopyCase{"twin", kFittingRows, kTwin, kIdentity},
        SameAsRowCopyCase{"twin converting", kLastRowConverts, kTwin, kIdentity},
        SameAsRowCopyCase{"twin with key", kFittingRows, kTwinWithKey, kIdentity},
        SameAsRowCopyCase{"twin refusing",
                          "INSERT INTO src VALUES ('a', 1, NULL, 0), ('b', 2, NULL, 0),"
                          " ('c', 3, NULL, 0), ('d', 1, NULL, 0);",
                          kTwinWithKey, kIdentity},
        SameAsRowCopyCase{"twin large", kFittingRowsFar, kTwin, kIdentity},
        SameAsRowCopyCase{"twin large converting", kLastRowConvertsFar, kTwin, kIdentity},
        SameAsRowCopyCase{"twin large converting first", kFirstRowConvertsFar, kTwin, kIdentity},
        SameAsRowCopyCase{"renamed", kFittingRows, kShuffled, kRenamed},
        SameAsRowCopyCase{"renamed large", kFittingRowsFar, kShuffled, kRenamed},
        SameAsRowCopyCase{"renamed large converting", kLastRowConvertsFar, kShuffled, kRenamed},
        SameAsRowCopyCase{"renamed large refusing", kFittingRowsFar, kShuffled,
                          {{"txt", "a"}, {"k", "y"}, {"yes", "y"}}},
        SameAsRowCopyCase{"renamed converting", kLastRowConverts, kShuffled, kRenamed},
        SameAsRowCopyCase{"renamed key refusing", kFittingRows, kShuffled,
                          {{"txt", "a"}, {"k", "y"}, {"yes", "y"}}},
        SameAsRowCopyCase{"numbered", kLastRowConverts, kShuffled, kNumbered},
        SameAsRowCopyCase{"non-ASCII at the length",
                          "INSERT INTO src VALUES ('äöüßé', 1, '2026-03-01', 0),"
                          " ('€', 2, '2026-03-01 08:15:00.25', 0), ('äb', 3, NULL, 0),"
                          " ('äöüßéx', 4, NULL, 0);",
                          kTwin, kIdentity},
        SameAsRowCopyCase{"text too long",
                          "INSERT INTO src VALUES ('ab', 1, NULL, 0), ('ab', 2, NULL, 0),"
                          " ('ab', 3, NULL, 0), ('abcdef', 4, NULL, 0);",
                          kTwin, kIdentity}),
    [](const ::testing::TestParamInfo<SameAsRowCopyCase>& param) {
      std::string name;
      for (const char* p = param.param.name; *p != '\0'; ++p) {
        if (std::isalnum(static_cast<unsigned char>(*p))) name += *p;
      }
      return name;
    });

// What a value becomes in a column of each declared type, written out: both
// the row copy (a Recordset's Update) and the set-based append must store
// exactly this, or refuse the row ("refused").
TEST(Conversion, StoresTheValueTheDeclaredTypeGives) {
  struct Case {
    const char* type;
    const char* given;     // an SQL literal, stored untyped in the old table
    const char* expected;  // typeof|value stored, or "refused"
  };
  // clang-format off
  const Case cases[] = {
      {"BYTE", "'7'", "integer|7"}, {"BYTE", "255.0", "integer|255"}, {"BYTE", "256", "refused"},
      {"BYTE", "-1", "refused"}, {"SHORT", "'12'", "integer|12"}, {"SHORT", "7.5", "integer|8"},
      {"SHORT", "8.5", "integer|8"}, {"SHORT", "-2.5", "integer|-2"},
      {"SHORT", "32767", "integer|32767"}, {"SHORT", "32768", "refused"},
      {"SHORT", "'-32769'", "refused"}, {"SHORT", "'abc'", "refused"},
      {"SHORT", "NULL", "null|NULL"}, {"LONG", "2147483647", "integer|2147483647"},
      {"LONG", "2147483648", "refused"}, {"LONG", "'3.5'", "integer|4"},
      {"DOUBLE", "'2.5'", "real|2.5"}, {"DOUBLE", "3", "real|3.0"}, {"DOUBLE", "0.1", "real|0.1"},
      {"DOUBLE", "'x'", "refused"}, {"CURRENCY", "'1234567.8901'", "real|1234567.8901"},
      {"YESNO", "5", "integer|-1"}, {"YESNO", "0", "integer|0"}, {"YESNO", "'0'", "integer|0"},
      {"YESNO", "0.25", "integer|-1"}, {"YESNO", "'yes'", "refused"}, {"TEXT(5)", "12", "text|12"},
      {"TEXT(5)", "2.5", "text|2.5"}, {"TEXT(5)", "'abcde'", "text|abcde"},
      {"TEXT(5)", "'abcdef'", "refused"},
      {"TEXT(5)", "'\u00e4\u00f6\u00fc\u00df\u00e9'", "text|\u00e4\u00f6\u00fc\u00df\u00e9"},
      {"LONGTEXT", "7", "text|7"}, {"DATETIME", "'2026-3-1'", "text|2026-03-01"},
      {"DATETIME", "'2026-03-01 08:15:00'", "text|2026-03-01 08:15:00"},
      {"DATETIME", "45000", "text|2023-03-15"},
      {"DATETIME", "45000.25", "text|2023-03-15 06:00:00"}, {"DATETIME", "'2026-02-29'", "refused"},
      {"DATETIME", "'soon'", "refused"}, {"WHATEVER", "'ab'", "text|ab"},
      {"WHATEVER", "1.5", "real|1.5"},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " given " + c.given);
    TempDir dir;
    MakeDatabase(dir.File("old.mdb"),
                 std::string("CREATE TABLE src (v); INSERT INTO src VALUES (") + c.given + ");");
    const std::string target = std::string("CREATE TABLE t (v ") + c.type + ");";
    db::Engine engine;
    db::Database old_db = engine.OpenDatabase(dir.File("old.mdb"), db::OpenMode::kReadOnly);
    for (const bool set_based : {false, true}) {
      const std::string path = dir.File(set_based ? "bulk.mdb" : "rows.mdb");
      MakeDatabase(path, target);
      bool refused = false;
      {
        db::Database new_db = engine.OpenDatabase(path);
        if (set_based) {
          refused = !Rows(db::AppendFrom(new_db, old_db, "src", "t", {{"v", "v"}})).has_value();
        } else {
          refused = ErrorOf([&] {
                      db::Recordset from = old_db.OpenRecordset("src");
                      db::Recordset to = new_db.OpenRecordset("t");
                      to.AddNew();
                      to.Set("v", from.Get("v"));
                      to.Update();
                    }).number() != 0;
        }
      }
      MakeDatabase(path, "CREATE TABLE shown AS SELECT typeof(v) AS k, v FROM t;");
      std::string stored = DumpTable(path, "shown");
      if (!stored.empty()) stored.pop_back();
      EXPECT_EQ(refused ? "refused" + stored : stored, c.expected)
          << (set_based ? "set-based" : "row copy");
    }
  }
}

// The fit check passes a value through exactly when the conversion returns it
// unchanged (same type, same bytes), for every column type and length: edge
// values and random ones, each read back from SQLite as the check sees it.
TEST(FitCheck, PassesExactlyWhatTheConversionKeeps) {
  using db::TypeKind;
  std::vector<Value> values = {
      Null(), Value{std::string()}, Value{Blob{{'1', '2'}}},
      Value{Blob{{'2', '0', '2', '6', '-', '0', '3', '-', '0', '1'}}}};
  for (const char* text :
       {"a", "abcde", "abcdef", "\u00e4\u00f6\u00fc\u00df\u00e9", "\u00e4\u00f6\u00fc\u00df\u00e9x",
        "\u20ac\u20ac\u20ac\u20ac\u20ac", "\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600\U0001F600",
        "2026-03-01", "2026-3-1", " 2026-03-01", "2026-03-01 ", "2026-02-29", "2024-02-29",
        "0099-01-01", "0100-01-01", "9999-12-31 23:59:59", "2026-03-01 08:15:00",
        "2026-03-01T08:15:00", "2026-03-01 08:15", "2026-03-01 8:15:00", "2026-03-01 24:00:00",
        "2026-03-01 08:15:00.5", "2026-03-01 08:15:00.125", "2026-03-01 08:15:00.",
        "2026-03-01 08:15:00.5x", "2026-0:-01", "2O26-03-01", "2026-03-01 08:1?:00", "08:15", "08:15:00", "12", " 12", "7.5", "-0", "1e3", "0x10",
        "255", "256", "-1", "0", "-32768", "32768", "2147483648", "yes"}) {
    values.push_back(Value{std::string(text)});
  }
  for (const std::int64_t n :
       {std::int64_t{0}, std::int64_t{1}, std::int64_t{-1}, std::int64_t{255}, std::int64_t{256},
        std::int64_t{-32768}, std::int64_t{-32769}, std::int64_t{32767}, std::int64_t{32768},
        std::int64_t{std::numeric_limits<std::int32_t>::min()},
        std::int64_t{std::numeric_limits<std::int32_t>::min()} - 1,
        std::int64_t{std::numeric_limits<std::int32_t>::max()},
        std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1,
        std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()}) {
    values.emplace_back(n);
  }
  for (const double d : {0.0, -0.0, 1.0, -1.0, -2.5, 3.75, 255.5, 45000.0, 45000.25, 1e300}) {
    values.emplace_back(d);
  }
  std::mt19937 random(23);
  const std::vector<std::string> pieces = {"a", "Z", "\u00e4", "\u20ac", "\U0001F600", "0", "7",
                                           "-", ":", " ", ".", "2026-03-01", " 08:15:00"};
  for (int i = 0; i < 400; ++i) {
    std::string text;
    for (int n = static_cast<int>(random() % 8); n > 0; --n) text += pieces[random() % pieces.size()];
    values.emplace_back(text);
    values.emplace_back(static_cast<std::int64_t>(random() % 140000) - 70000);
    values.emplace_back(static_cast<double>(static_cast<int>(random() % 20000) - 10000) / 8);
  }

  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  sqlite3_stmt* select = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT ?1", -1, &select, nullptr), SQLITE_OK);
  for (const Value& given : values) {
    sqlite3_reset(select);
    if (const auto* i = std::get_if<std::int64_t>(&given)) sqlite3_bind_int64(select, 1, *i);
    if (const auto* d = std::get_if<double>(&given)) sqlite3_bind_double(select, 1, *d);
    if (const auto* t = std::get_if<std::string>(&given)) {
      sqlite3_bind_text(select, 1, t->data(), static_cast<int>(t->size()), SQLITE_TRANSIENT);
    }
    if (const auto* b = std::get_if<Blob>(&given)) {
      sqlite3_bind_blob(select, 1, b->bytes.data(), static_cast<int>(b->bytes.size()),
                        SQLITE_TRANSIENT);
    }
    if (IsNull(given)) sqlite3_bind_null(select, 1);
    ASSERT_EQ(sqlite3_step(select), SQLITE_ROW);
    sqlite3_value* v = sqlite3_column_value(select, 0);
    ASSERT_EQ(sqlite3_value_type(v) == SQLITE_NULL, IsNull(given)) << Describe(given);
    for (int kind = 0; kind <= static_cast<int>(TypeKind::kDateTime); ++kind) {
      for (const long length : {0L, 1L, 5L, 10L}) {
        db::ColumnType type;
        type.kind = static_cast<TypeKind>(kind);
        type.max_length = length;
        bool kept = false;
        try {
          const Value converted = db::ConvertForColumn(given, type, "t", "c");
          kept = converted.index() == given.index() &&
                 (std::holds_alternative<double>(given)
                      ? std::memcmp(&std::get<double>(converted), &std::get<double>(given),
                                    sizeof(double)) == 0
                      : converted == given);
        } catch (const Error&) {
        }
        EXPECT_EQ(db::detail::AlreadyFits(v, type.kind, type.max_length), kept)
            << "kind " << kind << ", length " << length << ", value " << Describe(given);
      }
    }
  }
  sqlite3_finalize(select);
  sqlite3_close(db);
}

}  // namespace
}  // namespace relamor::testing
