#include "toolkit/db/recordset.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_db.h"
#include "toolkit/db/database.h"
#include "toolkit/error.h"

namespace relamor::db {
namespace {

using namespace relamor::testing;

// A site database with a few small tables, opened read-write.
class RecordsetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = dir_.File("qord003.mdb");
    MakeDatabase(
        path_,
        "CREATE TABLE sites(siteID LONG NOT NULL UNIQUE, name TEXT(8), kind BYTE DEFAULT 4,"
        "  open YESNO DEFAULT -1, since DATETIME);"
        "INSERT INTO sites VALUES (3, 'North', 1, 0, NULL), (12, 'South', 2, -1, NULL),"
        "  (20, 'East', 3, 0, NULL);"
        "CREATE TABLE empty(x LONG);"
        "CREATE TABLE numbered(no COUNTER, label TEXT);"
        "CREATE TABLE keyed(id INTEGER PRIMARY KEY, label TEXT);"
        "CREATE TABLE EXCCS(CAT TEXT(4), val LONG, note TEXT);"
        "INSERT INTO EXCCS VALUES ('A', 1, 'first'), ('B', 2, 'second'), ('A', 3, 'dup');");
    db_ = engine_.OpenDatabase(path_);
  }

  std::string Where() const { return " (" + path_ + ")"; }

  TempDir dir_;
  std::string path_;
  Engine engine_;
  Database db_;
};

TEST_F(RecordsetTest, RecordCountFollowsTheWalk) {
  Recordset rs = db_.OpenRecordset("sites");
  EXPECT_FALSE(rs.Eof());
  EXPECT_FALSE(rs.Bof());
  EXPECT_EQ(rs.RecordCount(), 1);
  EXPECT_EQ(rs.Get("siteID"), I(3));
  rs.MoveNext();
  EXPECT_EQ(rs.RecordCount(), 2);
  rs.MoveNext();
  EXPECT_EQ(rs.Get("name"), T("East"));
  rs.MoveNext();
  EXPECT_TRUE(rs.Eof());
  EXPECT_EQ(rs.RecordCount(), 3);

  Error e = ErrorOf([&] { rs.MoveNext(); });
  EXPECT_EQ(e.number(), err::kNoCurrentRecord);
  EXPECT_EQ(e.description(), "No current record in table 'sites'" + Where());
  EXPECT_EQ(ErrorOf([&] { rs.Get(0); }).number(), err::kNoCurrentRecord);

  rs.MoveFirst();  // the count stays
  EXPECT_EQ(rs.Get(0), I(3));
  EXPECT_EQ(rs.RecordCount(), 3);
  rs.Requery();  // starts afresh
  EXPECT_EQ(rs.RecordCount(), 1);

  Recordset last = db_.OpenRecordset("sites");
  last.MoveLast();
  EXPECT_EQ(last.RecordCount(), 3);
  EXPECT_EQ(last.Get("siteID"), I(20));
  last.MoveNext();
  EXPECT_TRUE(last.Eof());

  Recordset query =
      db_.OpenRecordset("select name from sites where siteID > ? order by siteID desc", {I(5)});
  EXPECT_EQ(query.RecordCount(), 1);
  EXPECT_EQ(query.Get(0), T("East"));
  query.MoveLast();
  EXPECT_EQ(query.RecordCount(), 2);
  EXPECT_EQ(query.Get(0), T("South"));
  query.MoveNext();
  EXPECT_TRUE(query.Eof());
  query.MoveFirst();
  EXPECT_EQ(query.Get(0), T("East"));
}

TEST_F(RecordsetTest, EmptySourcesStandAtTheirEnd) {
  Recordset rs = db_.OpenRecordset("empty");
  EXPECT_TRUE(rs.Eof());
  EXPECT_TRUE(rs.Bof());
  EXPECT_EQ(rs.RecordCount(), 0);
  EXPECT_EQ(ErrorOf([&] { rs.MoveFirst(); }).number(), err::kNoCurrentRecord);
  EXPECT_EQ(ErrorOf([&] { rs.MoveLast(); }).number(), err::kNoCurrentRecord);
  EXPECT_EQ(ErrorOf([&] { rs.Edit(); }).number(), err::kNoCurrentRecord);
  Error e = ErrorOf([&] { rs.Get("x"); });
  EXPECT_EQ(e.number(), err::kNoCurrentRecord);
  EXPECT_EQ(e.description(), "No current record in table 'empty'" + Where());

  Recordset none = db_.OpenRecordset("select * from sites where siteID = ?", {I(99)});
  EXPECT_TRUE(none.Eof());
  EXPECT_EQ(none.RecordCount(), 0);
  e = ErrorOf([&] { none.MoveLast(); });
  EXPECT_EQ(e.number(), err::kNoCurrentRecord);
  EXPECT_EQ(e.description(),
            "No current record in statement 'select * from sites where siteID = ?'" + Where());
}

TEST_F(RecordsetTest, AddedRowsCountAndJoinTheWalkOnlyWhenItRestarts) {
  Recordset rs = db_.OpenRecordset("empty");
  rs.AddNew();
  rs.Set("x", I(1));
  rs.Update();
  EXPECT_EQ(rs.RecordCount(), 1);
  EXPECT_TRUE(rs.Eof());  // the added row is not made current
  rs.AddNew();
  rs.Set(0, T("2"));
  rs.Update();
  EXPECT_EQ(rs.RecordCount(), 2);
  rs.MoveFirst();
  EXPECT_EQ(rs.Get(0), I(1));
  rs.MoveNext();
  EXPECT_EQ(rs.Get(0), I(2));  // converted to the column's type
  EXPECT_EQ(rs.RecordCount(), 2);

  // A walk that adds a row for each row it visits ends after the rows that
  // were there when it started.
  Recordset sites = db_.OpenRecordset("sites");
  int visited = 0;
  while (!sites.Eof()) {
    const Value id = sites.Get("siteID");
    sites.AddNew();
    sites.Set("siteID", I(std::get<std::int64_t>(id) + 100));
    sites.Update();
    EXPECT_EQ(sites.Get("siteID"), id);  // the current row stays where it was
    sites.MoveNext();
    ++visited;
  }
  EXPECT_EQ(visited, 3);
  EXPECT_EQ(sites.RecordCount(), 6);
  sites.MoveLast();
  EXPECT_EQ(sites.RecordCount(), 6);
  EXPECT_EQ(sites.Get("siteID"), I(120));
}

TEST_F(RecordsetTest, AddedRowsTakeDefaultsAndCounters) {
  Recordset sites = db_.OpenRecordset("sites");
  sites.AddNew();
  sites.Set("siteID", I(30));
  EXPECT_EQ(sites.Get("siteID"), I(30));  // the value set so far
  EXPECT_EQ(sites.Get("kind"), I(4));     // the column's default
  EXPECT_EQ(sites.Get("name"), Null());
  sites.Update();

  Recordset numbered = db_.OpenRecordset("numbered");
  for (const char* label : {"a", "b"}) {
    numbered.AddNew();
    numbered.Set("label", T(label));
    numbered.Update();
  }
  numbered.AddNew();
  numbered.Set("no", I(10));
  numbered.Set("label", T("c"));
  numbered.Update();
  numbered.AddNew();
  numbered.Update();
  // A Null written into the counter takes the next number as well.
  numbered.AddNew();
  numbered.Set("no", Null());
  numbered.Update();

  Recordset keyed = db_.OpenRecordset("keyed");
  keyed.AddNew();
  keyed.Set("label", T("x"));
  keyed.Update();
  keyed.AddNew();
  keyed.Set("label", T("y"));
  keyed.Update();
  db_.Close();

  EXPECT_EQ(DumpTable(path_, "sites"),
            "3|North|1|0|NULL\n12|South|2|-1|NULL\n20|East|3|0|NULL\n30|NULL|4|-1|NULL\n");
  EXPECT_EQ(DumpTable(path_, "numbered"), "1|a\n2|b\n10|c\n11|NULL\n12|NULL\n");
  EXPECT_EQ(DumpTable(path_, "keyed"), "1|x\n2|y\n");
}

// A counter whose largest number has no successor refuses the next row with
// the number it holds, not a wrapped one.
TEST_F(RecordsetTest, CounterAtItsLimitIsAnOverflowNamingTheLargestNumber) {
  Database other = engine_.OpenDatabase(path_);
  other.Execute("insert into numbered values (9223372036854775807, 'top')");
  other.Execute("create table reals(no COUNTER, label TEXT)");
  other.Execute("insert into reals values (1e300, 'huge')");
  other.Close();
  db_.Close();
  db_ = engine_.OpenDatabase(path_);
  for (const char* table : {"numbered", "reals"}) {
    Recordset rs = db_.OpenRecordset(table);
    rs.AddNew();
    const Error e = ErrorOf([&] { rs.Update(); });
    EXPECT_EQ(e.number(), err::kOverflow) << table;
    EXPECT_NE(e.description().find(std::string("counter column 'no' of table '") + table +
                                   "' holds "),
              std::string::npos)
        << e.description();
    EXPECT_EQ(e.description().find("-9223372036854775808"), std::string::npos) << e.description();
  }
}

TEST_F(RecordsetTest, StoredValuesAreConvertedOrRefusedWithTheirNumbers) {
  Recordset sites = db_.OpenRecordset("sites");
  sites.Edit();
  sites.Set("name", I(42));
  sites.Set("kind", T(" 7 "));
  sites.Set("open", R(2.0));
  sites.Set("since", T("2024-1-2"));
  sites.Update();
  EXPECT_EQ(sites.Get("name"), T("42"));  // the stored, converted values
  EXPECT_EQ(sites.Get("kind"), I(7));
  EXPECT_EQ(sites.Get("open"), I(-1));
  EXPECT_EQ(sites.Get("since"), T("2024-01-02"));

  sites.Edit();
  sites.Set("kind", T("seven"));
  Error e = ErrorOf([&] { sites.Update(); });
  EXPECT_EQ(e.number(), err::kConversionError);
  EXPECT_EQ(e.description(),
            "Data type conversion error: the field 'sites.kind' takes a whole number, not 'seven'" +
                Where());
  sites.Edit();
  sites.Set("kind", I(256));
  EXPECT_EQ(ErrorOf([&] { sites.Update(); }).number(), err::kOverflow);
  sites.Edit();
  sites.Set("name", T("Northwest"));
  EXPECT_EQ(ErrorOf([&] { sites.Update(); }).number(), err::kFieldTooSmall);
  sites.CancelUpdate();

  sites.AddNew();
  sites.Set("name", T("West"));
  e = ErrorOf([&] { sites.Update(); });
  EXPECT_EQ(e.number(), err::kNullNotAllowed);
  EXPECT_EQ(e.description(), "The field 'sites.siteID' cannot contain a Null value" + Where());

  sites.AddNew();
  sites.Set("SITEID", T("12"));
  e = ErrorOf([&] { sites.Update(); });
  EXPECT_EQ(e.number(), err::kDuplicateValue);
  EXPECT_EQ(e.description(),
            "Duplicate value refused: table 'sites' already has a row with siteID = 12" + Where());
  EXPECT_EQ(sites.RecordCount(), 1);  // refused rows do not count
  sites.CancelUpdate();
  db_.Close();
  EXPECT_EQ(DumpTable(path_, "sites"),
            "3|42|7|-1|2024-01-02\n12|South|2|-1|NULL\n20|East|3|0|NULL\n");
}

TEST_F(RecordsetTest, FieldsByNameOrPosition) {
  Recordset rs = db_.OpenRecordset("sites");
  EXPECT_EQ(rs.FieldCount(), 5);
  EXPECT_EQ(rs.FieldName(1), "name");
  EXPECT_EQ(rs.FieldIndex("NAME"), 1);
  EXPECT_EQ(rs.Fields("SiteId").value(), I(3));
  EXPECT_EQ(rs.Fields(1).name(), "name");

  Error e = ErrorOf([&] { rs.Get("siteName"); });
  EXPECT_EQ(e.number(), err::kItemNotFound);
  EXPECT_EQ(e.description(),
            "Item not found in this collection: no field 'siteName' in table 'sites'" + Where());
  e = ErrorOf([&] { rs.Get(5); });
  EXPECT_EQ(e.number(), err::kItemNotFound);
  EXPECT_EQ(e.description(),
            "Item not found in this collection: no field at position 5 in table "
            "'sites', which has 5 fields" +
                Where());
  e = ErrorOf([&] { db_.OpenRecordset("select siteID as id from sites").Get("siteID"); });
  EXPECT_EQ(e.number(), err::kItemNotFound);
  EXPECT_EQ(e.description(),
            "Item not found in this collection: no field 'siteID' in statement "
            "'select siteID as id from sites'" +
                Where());

  e = ErrorOf([&] { rs.Set("name", T("x")); });
  EXPECT_EQ(e.number(), err::kUpdateWithoutAddNew);
  e = ErrorOf([&] { rs.Update(); });
  EXPECT_EQ(e.number(), err::kUpdateWithoutAddNew);
  EXPECT_EQ(e.description(), "Update without AddNew or Edit on table 'sites'" + Where());
}

TEST_F(RecordsetTest, StatementOnOneTableIsUpdatable) {
  Recordset match = db_.OpenRecordset("select * from EXCCS where CAT = ?", {T("A")});
  ASSERT_FALSE(match.Eof());
  EXPECT_EQ(match.FieldCount(), 3);  // the rowid stays hidden
  match.Edit();
  match.Set("val", T("10"));
  match.Set("note", T("copied"));
  match.Update();
  EXPECT_EQ(match.Get("val"), I(10));

  Recordset joined = db_.OpenRecordset("select count(*) from EXCCS");
  EXPECT_EQ(joined.Get(0), I(3));
  Error e = ErrorOf([&] { joined.Edit(); });
  EXPECT_EQ(e.number(), err::kCannotUpdate);
  EXPECT_EQ(e.description(),
            "Cannot update: the rows of statement 'select count(*) from EXCCS' cannot be changed" +
                Where());
  EXPECT_EQ(ErrorOf([&] { joined.AddNew(); }).number(), err::kCannotUpdate);
  db_.Close();
  EXPECT_EQ(DumpTable(path_, "EXCCS"), "A|10|copied\nB|2|second\nA|3|dup\n");
}

// A column named like the rowid does not take its place.
TEST_F(RecordsetTest, ColumnNamedRowidIsAnOrdinaryField) {
  db_.Execute("create table odd(rowid LONG, x TEXT)");
  db_.Execute("insert into odd values (2, 'a')");
  db_.Execute("insert into odd values (1, 'b')");
  Recordset rs = db_.OpenRecordset("odd");
  EXPECT_EQ(rs.FieldCount(), 2);
  EXPECT_EQ(rs.Get("rowid"), I(2));
  rs.Edit();
  rs.Set("x", T("z"));
  rs.Update();
  Recordset query = db_.OpenRecordset("select * from odd where x = ?", {T("b")});
  query.Edit();
  query.Set("rowid", I(5));
  query.Update();
  db_.Close();
  EXPECT_EQ(DumpTable(path_, "odd"), "2|z\n5|b\n");
}

TEST_F(RecordsetTest, ClosedRecordsetsRefuseUseClearly) {
  Recordset rs = db_.OpenRecordset("sites");
  rs.Close();
  rs.Close();
  EXPECT_FALSE(rs.is_open());
  Error e = ErrorOf([&] { rs.Eof(); });
  EXPECT_EQ(e.number(), err::kObjectInvalid);
  EXPECT_EQ(e.description(),
            "Object invalid or no longer set: the recordset on table 'sites' is closed" + Where());
  Recordset never;
  EXPECT_EQ(ErrorOf([&] { never.MoveNext(); }).description(),
            "Object invalid or no longer set: the recordset is not open");

  Recordset other = db_.OpenRecordset("sites");
  other = db_.OpenRecordset("empty");  // the recordset it held ends
  EXPECT_TRUE(other.Eof());
}

}  // namespace
}  // namespace relamor::db
