// RebuildCustomerAddresses through the program: one customer per distinct
// id, in the order of the id list, with the address of the id's first row,
// however the id list is ordered and whatever the old table's columns are
// named.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/fixtures.h"
#include "tests/support/installation.h"
#include "tests/support/strategies.h"

namespace relamor::testing {
namespace {

const std::string kNewCustomers = kExportTable + R"sql(
INSERT INTO export VALUES (10, 'customers', 'id', 'Customers', 'customerID', 0, 1);
CREATE TABLE customers (customerID TEXT(10) PRIMARY KEY, Name TEXT(50), address TEXT(50),
                        city TEXT(50), region TEXT(50), zipcode TEXT(10), country TEXT(50));
)sql";

// Ids of no declared type keep their kind: 'x' and 'X' are one id, the
// first of them.
const std::string kOldCustomers = R"sql(
CREATE TABLE sites (id LONG);
CREATE TABLE customers (id, siteID LONG, name TEXT(50), address TEXT(50), city TEXT(50),
                        region TEXT(50), zipCode TEXT(10), country TEXT(50));
INSERT INTO customers VALUES ('x', 1, 'first x', 'Kade 1', 'Gouda', NULL, '1000', 'NL');
INSERT INTO customers VALUES (5, 1, 'first 5', 'Kade 5', 'Delft', 'ZH', '5000', 'NL');
INSERT INTO customers VALUES ('X', 2, 'second x', 'Dijk 1', 'Breda', 'NB', '1001', 'NL');
INSERT INTO customers VALUES (3, 2, 'first 3', 'Kade 3', NULL, 'ZH', '3000', 'NL');
INSERT INTO customers VALUES (5, 3, 'second 5', 'Dijk 5', 'Ede', 'GE', '5001', 'NL');
)sql";

class CustomerAddressesTest : public StrategyTest {};
RELAMOR_UNDER_BOTH_STRATEGIES(CustomerAddressesTest);


// The new customers table after a run on the old main database `old_sql`.
std::string Rebuilt(const std::string& old_sql) {
  Installation inst;
  inst.Old("qorsite", old_sql);
  inst.New("qorsite", kNewCustomers);
  ProgramRun run = inst.Run("relamor2035");
  EXPECT_EQ(run.exit_status, 0) << inst.Log() << run.err;
  EXPECT_TRUE(inst.OldUnchanged());
  return inst.Dump("new", "qorsite", "customers");
}

TEST_P(CustomerAddressesTest, FirstRowOfEachIdInTheOrderOfTheIdList) {
  EXPECT_EQ(Rebuilt(kOldCustomers),
            "x|first x|Kade 1|Gouda|NULL|1000|NL\n"
            "5|first 5|Kade 5|Delft|ZH|5000|NL\n"
            "3|first 3|Kade 3|NULL|ZH|3000|NL\n")
      << "ids listed as they first occur";
  // The index lists the ids in its own order; each id still gets its first row.
  EXPECT_EQ(Rebuilt(kOldCustomers + "CREATE INDEX customer_ids ON customers (id COLLATE NOCASE);\n"),
            "3|first 3|Kade 3|NULL|ZH|3000|NL\n"
            "5|first 5|Kade 5|Delft|ZH|5000|NL\n"
            "x|first x|Kade 1|Gouda|NULL|1000|NL\n")
      << "ids listed by an index";
  // An index on (id, name) lists the ids in its order and would give a
  // look-up by id the rows in name order: the first row of 5 in rowid order
  // is still the one taken.
  EXPECT_EQ(Rebuilt(R"sql(
CREATE TABLE sites (id LONG);
CREATE TABLE customers (id LONG, siteID LONG, name TEXT(50), address TEXT(50), city TEXT(50),
                        region TEXT(50), zipCode TEXT(10), country TEXT(50));
CREATE INDEX by_id_and_name ON customers (id, name);
INSERT INTO customers VALUES (5, 1, 'zed', NULL, NULL, NULL, NULL, NULL);
INSERT INTO customers VALUES (3, 1, 'cas', NULL, NULL, NULL, NULL, NULL);
INSERT INTO customers VALUES (5, 2, 'abe', NULL, NULL, NULL, NULL, NULL);
)sql"),
            "3|cas|NULL|NULL|NULL|NULL|NULL\n"
            "5|zed|NULL|NULL|NULL|NULL|NULL\n")
      << "an index on id and name";
  // A column named rowid does not decide which row comes first: the rows'
  // own order does.
  EXPECT_EQ(Rebuilt(R"sql(
CREATE TABLE sites (id LONG);
CREATE TABLE customers (rowid LONG, id LONG, name TEXT(50), address TEXT(50), city TEXT(50),
                        region TEXT(50), zipCode TEXT(10), country TEXT(50));
INSERT INTO customers VALUES (20, 5, 'first 5', NULL, NULL, NULL, NULL, NULL);
INSERT INTO customers VALUES (40, 3, 'first 3', NULL, NULL, NULL, NULL, NULL);
INSERT INTO customers VALUES (10, 5, 'second 5', NULL, NULL, NULL, NULL, NULL);
INSERT INTO customers VALUES (30, 3, 'second 3', NULL, NULL, NULL, NULL, NULL);
)sql"),
            "5|first 5|NULL|NULL|NULL|NULL|NULL\n"
            "3|first 3|NULL|NULL|NULL|NULL|NULL\n")
      << "a column named rowid";
  {
    // A number stored as text, then an id past the 16-bit customerID: the
    // rows before it stay.
    SCOPED_TRACE("a value converted, then an id refused");
    Installation inst;
    inst.Old("qorsite", R"sql(
CREATE TABLE sites (id LONG);
CREATE TABLE customers (id LONG, siteID LONG, name TEXT(50), address TEXT(50), city TEXT(50),
                        region TEXT(50), zipCode, country TEXT(50));
INSERT INTO customers VALUES (5, 1, 'first 5', NULL, NULL, NULL, 5000, NULL);
INSERT INTO customers VALUES (40000, 1, 'too large', NULL, NULL, NULL, NULL, NULL);
INSERT INTO customers VALUES (3, 1, 'first 3', NULL, NULL, NULL, NULL, NULL);
)sql");
    std::string new_customers = kNewCustomers;
    new_customers.replace(new_customers.find("customerID TEXT(10)"), 19, "customerID SHORT");
    inst.New("qorsite", new_customers);
    ProgramRun run = inst.Run("relamor2035");
    EXPECT_EQ(run.exit_status, 1);
    EXPECT_EQ(inst.Log(), Lines({"Overflow: 40000 does not fit the field 'customers.customerID' "
                                 "(-32768 to 32767) (" + inst.new_dir() + "qorsite.mdb)"}));
    EXPECT_EQ(inst.Dump("new", "qorsite", "customers"),
              "5|first 5|NULL|NULL|NULL|5000|NULL\n");
  }
}

}  // namespace
}  // namespace relamor::testing
