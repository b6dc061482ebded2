// The converters' statements, run through the database layer on small
// databases: each must be accepted and give the original engine's result.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/test_db.h"
#include "toolkit/db/database.h"
#include "toolkit/error.h"

namespace relamor::db {
namespace {

using namespace relamor::testing;

// Every row of the recordset from where it stands, values joined by "|",
// Null as NULL.
std::vector<std::string> Rows(Recordset& rs) {
  std::vector<std::string> rows;
  for (; !rs.Eof(); rs.MoveNext()) {
    std::string row;
    for (int i = 0; i < rs.FieldCount(); ++i) {
      if (i > 0) row += '|';
      const Value v = rs.Get(i);
      row += IsNull(v) ? "NULL" : ToText(v);
    }
    rows.push_back(row);
  }
  return rows;
}

std::vector<std::string> Rows(Database& db, std::string_view statement,
                              const std::vector<Value>& params = {}) {
  Recordset rs = db.OpenRecordset(statement, params);
  return Rows(rs);
}

std::vector<std::string> Lowered(std::vector<std::string> rows) {
  for (std::string& row : rows) {
    for (char& c : row) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return rows;
}

// The new main database of a release 3.5 installation, reduced to what the
// statements read, and a statistics database.
constexpr const char* kMainDatabase = R"sql(
BEGIN;
CREATE TABLE qorreleases (no LONG, productname TEXT(20), servicepack LONG, buildno LONG);
INSERT INTO qorreleases VALUES (1, '3.0', 0, 100), (5, 'Beta', 0, 1), (4, '3.5', 1, 210),
  (2, '3.0', 1, 110), (3, '3.5', 0, 200);

CREATE TABLE export (sno LONG, oldtablename TEXT(64), olddbfieldname TEXT(64),
  newtablename TEXT(64), newdbfieldname TEXT(64), autonumber YESNO, releaseversion LONG);
INSERT INTO export VALUES
  (5, 'Sites', 'a', 'Sites', 'a', 0, 3),
  (3, 'Prompt', 'b', 'prompt', 'b', 0, 3),
  (5, 'Sites', 'b', 'Sites', 'b', 0, 4),
  (3, 'Prompt', 'a', 'Prompt', 'a', 0, 2),
  (2, 'Boards', 'x', 'boards', 'x', 0, 1),
  (3, 'Prompt', 'c', 'Prompt', 'cc', 0, 2),
  (3, 'Prompt', 'a', 'Prompt', 'a', 0, 2),
  (7, 'Old7', 'x', 'New7', 'x', 0, 4),
  (3, 'PROMPT', 'D', 'prompt', 'd', 0, 1),
  (8, 'Old8', 'x', 'New8', 'x', 0, 3),
  (3, 'Prompt', 'z', 'Prompt', 'z', 0, 4),
  (11, 'Gone', 'x', 'Gone', 'x', 0, 1),
  (9, 'Gone', 'x', 'DeletedTable', 'x', 0, 5),
  (3, 'Prompt', 'e', 'Prompt', 'e', -1, 3),
  (10, 'Drop', 'x', 'deletedtable', 'x', 0, 4),
  (4, 'Later', 'x', 'Later', 'x', 0, 5),
  (3, 'Prompt', 'A', 'Prompt', 'A', 0, 2),
  (1, 'Pat', 'x', 'P*t', 'x', 0, 4),
  (6, 'Mixed', 'x', 'MIXED', 'x', 0, 4),
  (12, 'Temp', 'x', 'Temp', 'x', 0, 2),
  (13, 'TEMP', 'x', 'DELETEDTABLE', 'x', 0, 4),
  (5, 'SITES', 'c', 'sites', 'c', 0, 2);

CREATE TABLE export3035 (sno LONG, oldtablename TEXT(64), olddbfieldname TEXT(64),
  newtablename TEXT(64), newdbfieldname TEXT(64), autonumber YESNO, remark TEXT);
INSERT INTO export3035 VALUES
  (2, 'Boards', 'b', 'Boards', 'b', 0, NULL),
  (1, 'Sites', 'siteID', 'Sites', 'siteID', -1, 'key'),
  (2, 'Boards', 'a', 'BOARDS', 'a', 0, NULL),
  (1, 'Sites', 'name', 'Sites', 'name', 0, NULL);

CREATE TABLE EXCCS (CAT TEXT(20), name TEXT(20), value LONG);
INSERT INTO EXCCS VALUES ('Alarm', 'first', 1), ('ALARMS', 'second', 2), ('alarm', 'third', 3);

CREATE TABLE customers (id LONG, customerID LONG, siteID LONG, name TEXT(30),
  address TEXT(30), city TEXT(30), region TEXT(30), zipCode TEXT(10), country TEXT(30));
INSERT INTO customers VALUES
  (10, 100, 7, 'Kestrel', 'Main St 1', 'Northby', NULL, '1234', 'Utopia'),
  (11, 101, 8, 'Osprey', 'High St 2', 'Southby', 'East', '5678', 'Utopia'),
  (10, 102, 9, 'Kestrel', 'Main St 1', 'Northby', NULL, '1234', 'Utopia');

CREATE TABLE "some table" (cmdid LONG, text TEXT(10));
INSERT INTO "some table" VALUES (12, 'a'), (40, 'b'), (7, 'c');

CREATE TABLE boards (BoardType LONG, Name TEXT(40));
INSERT INTO boards VALUES (17, 'low'), (19, 'mid'), (25, 'high');

CREATE TABLE channel (channelID LONG, channelType TEXT(20), siteID LONG);
INSERT INTO channel VALUES (3, 'Modem', 7), (5, 'ip', 7), (7, 'MODEM', 8);

CREATE TABLE modemConnection (channelID LONG, modemID LONG);
COMMIT;
)sql";

constexpr const char* kStatDatabase = R"sql(
CREATE TABLE boards ("index" LONG, name TEXT(40));
INSERT INTO boards VALUES (24, 'O''Brien''s board'), (17, 'Plain');
)sql";

class StatementsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MakeDatabase(main_path_, kMainDatabase);
    MakeDatabase(stat_path_, kStatDatabase);
    main_ = engine_.OpenDatabase(main_path_);
    stat_ = engine_.OpenDatabase(stat_path_, OpenMode::kReadOnly);
  }

  TempDir dir_;
  const std::string main_path_ = dir_.File("qorsite.mdb");
  const std::string stat_path_ = dir_.File("qorstat.mdb");
  Engine engine_;
  Database main_;
  Database stat_;
};

TEST_F(StatementsTest, ReleaseDetection) {
  EXPECT_EQ(Rows(main_,
                 "SELECT a.[productname], a.[servicepack], a.[buildno] FROM QORRELEASES "
                 "as a WHERE a.[no] = (select max(b.[no]) from qorreleases as b)"),
            std::vector<std::string>{"Beta|0|1"});
  const char* release =
      "select [no] from [qorreleases] where [productname] = ? and [servicepack] = ?";
  EXPECT_EQ(Rows(main_, release, {T("3.5"), I(1)}), std::vector<std::string>{"4"});
  EXPECT_EQ(Rows(main_, release, {T("3.0"), T("0")}), std::vector<std::string>{"1"});
  EXPECT_EQ(Rows(main_, release, {T("bETA"), I(0)}), std::vector<std::string>{"5"});
  EXPECT_TRUE(Rows(main_, release, {T("3.5"), I(2)}).empty());
}

TEST_F(StatementsTest, TextComparisonsIgnoreCaseAndLikeUsesTheOriginalPatterns) {
  EXPECT_EQ(Rows(main_,
                 "select [no] from [qorreleases] where [productname] = '3.5' and "
                 "[servicepack] = 0"),
            std::vector<std::string>{"3"});
  EXPECT_EQ(Rows(main_, "select [no] from [qorreleases] where [productname] = 'BETA'"),
            std::vector<std::string>{"5"});
  EXPECT_EQ(Rows(main_,
                 "select [no] from [qorreleases] where [productname] <> 'beta' and "
                 "productname > '3.0'"),
            (std::vector<std::string>{"4", "3"}));
  auto not_like = [&](const char* pattern) {
    return Rows(main_, std::string("select no from qorreleases where productname not like '") +
                           pattern + "'");
  };
  EXPECT_EQ(not_like("3.#"), std::vector<std::string>{"5"});
  EXPECT_EQ(not_like("?.5"), (std::vector<std::string>{"1", "5", "2"}));
  EXPECT_EQ(not_like("b*"), (std::vector<std::string>{"1", "4", "2", "3"}));
  EXPECT_EQ(not_like("[!3]*"), (std::vector<std::string>{"1", "4", "2", "3"}));
  EXPECT_EQ(not_like("[0-9].[0-4]"), (std::vector<std::string>{"5", "4", "3"}));
  EXPECT_EQ(not_like("_.%"), (std::vector<std::string>{"1", "5", "4", "2", "3"}));
  EXPECT_EQ(not_like("3.[5"), (std::vector<std::string>{"1", "5", "4", "2", "3"}));
}

TEST_F(StatementsTest, CopyPlanOfRelease4) {
  const char* plan =
      "select distinct(a.[sno]),a.[oldtablename],a.[newtablename] from export as a where "
      "a.[releaseversion] <= 4 and a.oldtablename = a.newtablename  and not exists (select "
      "b.[newtablename] from export as b where b.[oldtablename] = a.[oldtablename] and "
      "b.newtablename = 'DeletedTable') order by a.[sno]  Union select "
      "distinct(a.[sno]),a.[oldtablename],a.[newtablename] from export as a where "
      "a.oldtablename not like a.newtablename and a.releaseversion = 4 and newtablename not "
      "like 'DeletedTable' order by a.[sno]";
  Recordset rs = main_.OpenRecordset(plan, RecordsetType::kDynaset);
  EXPECT_EQ(rs.FieldName(0), "sno");
  EXPECT_EQ(rs.FieldName(1), "oldtablename");
  EXPECT_EQ(rs.FieldName(2), "newtablename");
  // Part a: names kept (letter case ignored) up to release 4, except tables
  // mapped to DeletedTable by any row (11 Gone; 12 Temp, by TEMP ->
  // DELETEDTABLE); 4 Later is of release 5. Part b: renamed in release 4,
  // except to DeletedTable (10, 13); 1 Pat -> P*t is a pattern that matches.
  // One row per table: duplicates differing in letter case are one row.
  EXPECT_EQ(Lowered(Rows(rs)),
            (std::vector<std::string>{"2|boards|boards", "3|prompt|prompt", "5|sites|sites",
                                      "6|mixed|mixed", "7|old7|new7"}));

  EXPECT_EQ(Rows(main_,
                 "select max(b.[releaseversion]) from export b where b.[sno] = 3 and "
                 "b.[releaseversion] <= 4"),
            std::vector<std::string>{"4"});
  EXPECT_EQ(Rows(main_,
                 "select max(b.[releaseversion]) from export b where b.[sno] = 5 and "
                 "b.[releaseversion] <= 3"),
            std::vector<std::string>{"3"});
  EXPECT_EQ(Rows(main_,
                 "select max(b.[releaseversion]) from export b where b.[sno] = 99 and "
                 "b.[releaseversion] <= 4"),
            std::vector<std::string>{"NULL"});
}

TEST_F(StatementsTest, MappingRowsComeInRowidOrderWithoutDuplicates) {
  const char* mapping =
      "select a.* from [export] as a where a.[sno] = 3 and a.[releaseversion] = 3 Union select "
      "distinctrow g.* from [export] as g where g.[sno] = 3 and g.[releaseversion] < 3 and "
      "g.[newtablename] = g.[oldtablename] and g.[newdbfieldname] = g.[olddbfieldname] ";
  Recordset rs = main_.OpenRecordset(mapping, RecordsetType::kDynaset);
  ASSERT_EQ(rs.FieldCount(), 7);
  EXPECT_EQ(rs.FieldName(5), "autonumber");
  // Release 3 rows and earlier rows that keep both names (PROMPT/prompt, D/d
  // equal ignoring case), in the table's order; the second (3,Prompt,a) and
  // the (3,Prompt,A) that differs from it only in letter case are left out.
  EXPECT_EQ(Rows(rs),
            (std::vector<std::string>{"3|Prompt|b|prompt|b|0|3", "3|Prompt|a|Prompt|a|0|2",
                                      "3|PROMPT|D|prompt|d|0|1", "3|Prompt|e|Prompt|e|-1|3"}));
  rs.MoveFirst();
  rs.MoveLast();
  EXPECT_EQ(rs.RecordCount(), 4);
}

TEST_F(StatementsTest, PlansAndMappingRowsOfTheOtherConverters) {
  std::vector<std::string> snos;
  for (const std::string& row :
       Rows(main_, "select distinct(sno),oldtablename,newtablename from export order by sno")) {
    snos.push_back(row.substr(0, row.find('|')));
  }
  // One row per sno: the names of one sno differ only in letter case.
  EXPECT_EQ(snos, (std::vector<std::string>{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "11",
                                            "12", "13"}));
  EXPECT_EQ(Lowered(Rows(main_,
                         "select distinct(sno),oldtablename,newtablename from export3035 "
                         "order by sno")),
            (std::vector<std::string>{"1|sites|sites", "2|boards|boards"}));

  EXPECT_EQ(Rows(main_, "select * from export where sno=?", {I(5)}),
            (std::vector<std::string>{"5|Sites|a|Sites|a|0|3", "5|Sites|b|Sites|b|0|4",
                                      "5|SITES|c|sites|c|0|2"}));
  EXPECT_EQ(Rows(main_, "select * from export3035 where sno=?", {I(2)}),
            (std::vector<std::string>{"2|Boards|b|Boards|b|0|NULL", "2|Boards|a|BOARDS|a|0|NULL"}));
}

TEST_F(StatementsTest, CategoryRowsAreFoundIgnoringCaseAndUpdatable) {
  Recordset rs = main_.OpenRecordset("select * from EXCCS where CAT = ?", {T("ALARM")});
  ASSERT_FALSE(rs.Eof());
  EXPECT_EQ(ToText(rs.Get("name")), "first");
  rs.Edit();
  rs.Set("value", I(10));
  rs.Update();
  rs.MoveNext();
  ASSERT_FALSE(rs.Eof());
  EXPECT_EQ(ToText(rs.Get("name")), "third");
  rs.Edit();
  rs.Set("name", T("changed"));
  rs.Update();
  rs.MoveNext();
  EXPECT_TRUE(rs.Eof());
  rs.Close();
  main_.Commit();
  EXPECT_EQ(DumpTable(main_path_, "EXCCS"), "Alarm|first|10\nALARMS|second|2\nalarm|changed|3\n");
}

TEST_F(StatementsTest, CustomerLookUps) {
  EXPECT_EQ(Rows(main_, "select id from customers where siteID = ?", {I(8)}),
            std::vector<std::string>{"11"});
  EXPECT_EQ(Rows(main_, "select customerID from customers where customerID = ?", {I(102)}),
            std::vector<std::string>{"102"});
  EXPECT_TRUE(Rows(main_, "select customerID from customers where customerID = ?", {I(5)}).empty());
  EXPECT_EQ(Rows(main_, "select max(customerID) from customers"), std::vector<std::string>{"102"});
  EXPECT_EQ(Rows(main_, "Select siteID from customers where siteID = ?", {T("9")}),
            std::vector<std::string>{"9"});
  EXPECT_EQ(Rows(main_, "select distinct(id) from customers"),
            (std::vector<std::string>{"10", "11"}));
  EXPECT_EQ(Rows(main_,
                 "select name , address , city, region, zipCode, country from customers "
                 "where id = ?",
                 {I(11)}),
            std::vector<std::string>{"Osprey|High St 2|Southby|East|5678|Utopia"});
  EXPECT_EQ(Rows(main_, "select max(cmdid) from \"some table\""), std::vector<std::string>{"40"});
}

TEST_F(StatementsTest, ChannelsAndConnections) {
  EXPECT_EQ(Rows(main_, "select channelID from channel where channelType=?", {T("modem")}),
            (std::vector<std::string>{"3", "7"}));
  EXPECT_EQ(
      main_.Execute("Insert into modemConnection(channelID ,modemID) values ( ?,?)", {I(7), I(3)}),
      1);
  EXPECT_EQ(Rows(main_, "select siteID from channel where channelID = ?", {I(7)}),
            std::vector<std::string>{"8"});
  main_.Commit();
  EXPECT_EQ(DumpTable(main_path_, "modemConnection"), "7|3\n");
}

TEST_F(StatementsTest, BoardTypesAndNames) {
  EXPECT_EQ(main_.Execute("update boards set boardtype = boardtype-1 where boardtype > 18"), 2);
  Recordset names = stat_.OpenRecordset("select index, name from boards");
  EXPECT_EQ(names.FieldName(0), "index");
  for (; !names.Eof(); names.MoveNext()) {
    main_.Execute("Update Boards Set Name = ? where BoardType = ?",
                  {names.Get("Name"), names.Get("Index")});
  }
  main_.Commit();
  EXPECT_EQ(DumpTable(main_path_, "boards"), "17|Plain\n18|mid\n24|O'Brien's board\n");
}

}  // namespace
}  // namespace relamor::db
