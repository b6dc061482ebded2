// relamor with an old site database that is a real Jet file (a copy of the
// Northwind sample): its tables, one with a blank and one with a non-ASCII
// letter in its name, are copied into the new SQLite site database.
#include <gtest/gtest.h>

#include "tests/relamor/relamor_fixture.h"
#include "tests/support/test_db.h"

namespace relamor::testing {
namespace {

TEST(JetSite, ConvertsTheTablesOfAJetSiteDatabase) {
  Installation inst;
  inst.Old("qorsite", kOldMain + "INSERT INTO sites VALUES (7, 'north', 'n');\n");
  WriteFile(inst.old_dir() + "qord007.mdb",
            FileBytes(RELAMOR_SOURCE_DIR "/tests/data/jet/nwind.mdb"));
  // A renamed table is planned by the mappings of the old release's number
  // (3.5 is number 2 in kReleases).
  const std::string mapping =
      Map(1, "Order Details", "OrderID", "orderdetails", "OrderID", 0, 2) +
      Map(1, "Order Details", "ProductID", "orderdetails", "ProductID", 0, 2) +
      Map(1, "Order Details", "UnitPrice", "orderdetails", "UnitPrice", 0, 2) +
      Map(1, "Order Details", "Quantity", "orderdetails", "Quantity", 0, 2) +
      Map(1, "Order Details", "Discount", "orderdetails", "Discount", 0, 2) +
      Map(2, "Shippers", "CompanyName", "shippers", "CompanyName", 0) +
      Map(2, "Shippers", "Phone", "shippers", "no", -1) +
      Map(3, "Employees", "LastName", "employees", "LastName", 0) +
      Map(3, "Employees", "BirthDate", "employees", "BirthDate", 0) +
      Map(3, "Employees", "Notes", "employees", "Notes", 0) +
      Map(3, "Employees", "ReportsTo", "employees", "ReportsTo", 0) +
      Map(4, "Umsätze", "OrderID", "sales", "OrderID", 0, 2) +
      Map(4, "Umsätze", "ShipCity", "sales", "city", 0, 2) +
      Map(5, "Products", "ProductName", "products", "name", 0) +
      Map(5, "Products", "Discontinued", "products", "gone", 0);
  inst.New("qorsite", kNewMain + Map(1, "sites", "siteID", "sites", "siteID", 0) +
                          "CREATE TABLE sites (siteID LONG);\n");
  inst.New("qordxxx", kNewMain + mapping + kBoards + R"(
    CREATE TABLE orderdetails (OrderID LONG, ProductID LONG, UnitPrice CURRENCY, Quantity SHORT,
                               Discount SINGLE);
    CREATE TABLE shippers (CompanyName TEXT(40), no SHORT);
    CREATE TABLE employees (LastName TEXT(20), BirthDate DATETIME, Notes MEMO, ReportsTo LONG);
    CREATE TABLE sales (OrderID LONG, city TEXT(15));
    CREATE TABLE products (name TEXT(40), gone YESNO);
  )");
  inst.New("qorstat", kQorstat);

  const ProgramRun run = inst.Run("relamor");
  ASSERT_EQ(run.exit_status, 0) << inst.Log() << run.err;
  EXPECT_EQ(inst.Result(), "True");
  EXPECT_NE(inst.Log().find("Number of records in Order Details are  2155 "), std::string::npos)
      << inst.Log();
  EXPECT_EQ(inst.Dump("new", "qord007",
                      "SELECT count(*), sum(Quantity), CAST(round(total(UnitPrice * Quantity) * 100) AS INT) "
                      "FROM "
                      "orderdetails"),
            "2155|51317|135445859\n");
  EXPECT_EQ(inst.Dump("new", "qord007", "SELECT * FROM orderdetails WHERE rowid = 3"),
            "10248|72|34.8|5|0\n");
  EXPECT_EQ(inst.Dump("new", "qord007",
                      "SELECT * FROM orderdetails WHERE OrderID = 10250 AND ProductID = 51"),
            "10250|51|42.4|35|0.15\n");
  EXPECT_EQ(inst.Dump("new", "qord007", "shippers"),
            "Speedy Express|1\nUnited Package|2\nFederal Shipping|3\n");
  EXPECT_EQ(inst.Dump("new", "qord007",
                      "SELECT LastName, BirthDate, length(Notes), ReportsTo FROM employees "
                      "WHERE rowid <= 2"),
            "Davolio|1948-12-08|175|2\nFuller|1952-02-19|448|NULL\n");
  EXPECT_EQ(inst.Dump("new", "qord007", "SELECT count(*), max(city) FROM sales"),
            "830|Århus\n");
  EXPECT_EQ(inst.Dump("new", "qord007", "SELECT gone, count(*) FROM products GROUP BY gone"),
            "-1|8\n0|69\n");
  EXPECT_TRUE(inst.OldUnchanged());
}

}  // namespace
}  // namespace relamor::testing
