// CreateCustomersFromSites, alone and followed by the Sites copy that links
// every site to its customer.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/installation.h"
#include "tests/toolkit/writer_harness.h"
#include "tests/support/strategies.h"

namespace relamor::testing {
namespace {

// A Sites mapping in mode B: siteID copied, customerID linked, siteName copied.
std::string NewMainDatabase(const std::string& customers) {
  return kExportTable + R"sql(
INSERT INTO export VALUES (20, 'sites', 'id', 'Sites', 'siteID', 0, 1);
INSERT INTO export VALUES (20, 'sites', 'id', 'Sites', 'customerID', -1, 1);
INSERT INTO export VALUES (20, 'sites', 'siteName', 'Sites', 'siteName', 0, 1);
CREATE TABLE customers (customerID SHORT PRIMARY KEY, Name TEXT(50), city TEXT(50));
CREATE TABLE sites (siteID LONG PRIMARY KEY, customerID SHORT, siteName TEXT(50));
)sql" + customers;
}

// The placeholder writer, then (with `copy`) the Sites copy of mapping 20,
// and the last customer number after each.
struct CustomersRun {
  FrameRun run;
  std::int16_t after_writer = -1;
  std::int16_t after_copy = -1;
};
CustomersRun WriteCustomers(Installation& inst, bool copy = false) {
  CustomersRun r;
  r.run = RunWriters(inst, [&](WriterHarness& h) {
    if (copy) h.Open();
    if (copy) h.Prepare(20);
    h.CreateCustomersFromSites();
    r.after_writer = h.last_customer();
    if (copy) h.CopyMappedTable();
    r.after_copy = h.last_customer();
  });
  return r;
}

class CustomerWriterTest : public StrategyTest {};
RELAMOR_UNDER_BOTH_STRATEGIES(CustomerWriterTest);

TEST_P(CustomerWriterTest, PlaceholdersForSitesWithoutCustomerThenLinkedByTheSitesCopy) {
  Installation inst;
  // The second site has an old customer (id 3); the new database has customer 3.
  inst.Old("qorsite", R"sql(
CREATE TABLE sites (id LONG, siteName TEXT(50));
INSERT INTO sites VALUES (4, 'North');
INSERT INTO sites VALUES (7, 'West');
INSERT INTO sites VALUES (12, 'East');
CREATE TABLE customers (id LONG, siteID LONG, name TEXT(50));
INSERT INTO customers VALUES (3, 7, 'Veldkamp');
)sql");
  inst.New("qorsite", NewMainDatabase(""));
  const CustomersRun r = WriteCustomers(inst, /*copy=*/true);
  ASSERT_EQ(r.run.status, 0) << inst.Log();
  EXPECT_EQ(inst.Dump("new", "qorsite", "customers"), "1|Customer1|NULL\n2|Customer2|NULL\n");
  EXPECT_EQ(r.after_writer, 0);
  EXPECT_EQ(r.after_copy, 2);
  // Site 7's old customer 3 is not in the new database: its link stays unwritten.
  EXPECT_EQ(inst.Dump("new", "qorsite", "sites"), "4|1|North\n7|NULL|West\n12|2|East\n");
}

TEST_P(CustomerWriterTest, NumbersFollowTheLargestCustomerIdAndTheLinkUsesTheConvertedCustomer) {
  Installation inst;
  inst.Old("qorsite", R"sql(
CREATE TABLE sites (id LONG, siteName TEXT(50));
INSERT INTO sites VALUES (4, 'North');
INSERT INTO sites VALUES (7, 'West');
CREATE TABLE customers (id LONG, siteID LONG, name TEXT(50));
INSERT INTO customers VALUES (40, 7, 'Veldkamp');
)sql");
  inst.New("qorsite", NewMainDatabase("INSERT INTO customers VALUES (40, 'Veldkamp', NULL);"));
  const CustomersRun r = WriteCustomers(inst, /*copy=*/true);
  ASSERT_EQ(r.run.status, 0) << inst.Log();
  EXPECT_EQ(r.after_writer, 40);
  EXPECT_EQ(inst.Dump("new", "qorsite", "customers"), "40|Veldkamp|NULL\n41|Customer41|NULL\n");
  EXPECT_EQ(inst.Dump("new", "qorsite", "sites"), "4|41|North\n7|40|West\n");
}

// The look-up depends on the exact name of the first field of the old sites.
TEST_P(CustomerWriterTest, FirstFieldSiteIdLooksUpTheSitesCustomer) {
  for (const std::string first : {"siteID", "SiteID"}) {
    SCOPED_TRACE(first);
    Installation inst;
    inst.Old("qorsite", "CREATE TABLE sites (" + first + R"sql( LONG, ID LONG, customerID LONG);
INSERT INTO sites VALUES (4, 1, 8);
INSERT INTO sites VALUES (7, 2, 9);
INSERT INTO sites VALUES (9, 3, 2);
-- customerID 8 exists; no customer row carries the siteID 1, 2 or 3.
CREATE TABLE customers (customerID LONG, siteID LONG);
INSERT INTO customers VALUES (8, 5);
)sql");
    inst.New("qorsite", NewMainDatabase(""));
    FrameRun run = WriteCustomers(inst).run;
    ASSERT_EQ(run.status, 0) << inst.Log();
    if (first == "siteID") {
      // customerID 8 is found; 9 and 2 are not.
      EXPECT_EQ(inst.Dump("new", "qorsite", "customers"), "1|Customer1|NULL\n2|Customer2|NULL\n");
    } else {
      // Looked up by ID in customers.siteID: none is found.
      EXPECT_EQ(inst.Dump("new", "qorsite", "customers"),
                "1|Customer1|NULL\n2|Customer2|NULL\n3|Customer3|NULL\n");
    }
  }
}

TEST_P(CustomerWriterTest, EmptySitesNullKeysAndTheLastNumber) {
  // qorsite of the old installation per case; the writer always reads
  // old/qorsite.mdb and new/qorsite.mdb.
  {
    SCOPED_TRACE("empty sites");
    Installation inst;
    inst.Old("qorsite", "CREATE TABLE sites (id LONG, siteName TEXT(50));");
    inst.New("qorsite", NewMainDatabase("INSERT INTO customers VALUES (40, 'Veldkamp', NULL);"));
    const CustomersRun r = WriteCustomers(inst);
    EXPECT_EQ(r.run.status, 0);
    EXPECT_EQ(r.after_writer, 0) << "not the largest customer, 40: the new database is not read";
    EXPECT_EQ(inst.Dump("new", "qorsite", "customers"), "40|Veldkamp|NULL\n");
  }
  {
    SCOPED_TRACE("null site key");
    Installation inst;
    inst.Old("qorsite", R"sql(
CREATE TABLE sites (id LONG, siteName TEXT(50));
INSERT INTO sites VALUES (4, 'North');
INSERT INTO sites VALUES (NULL, 'Nowhere');
CREATE TABLE customers (id LONG, siteID LONG);
)sql");
    inst.New("qorsite", NewMainDatabase(""));
    FrameRun run = WriteCustomers(inst).run;
    EXPECT_EQ(run.status, 1);
    ASSERT_TRUE(run.error);
    EXPECT_EQ(run.error->number(), err::kInvalidUseOfNull);
    const std::string expected = "Invalid use of Null: a row of table sites in " +
                                 inst.old_dir() +
                                 "qorsite.mdb has no ID, so its customer cannot be looked up";
    EXPECT_EQ(run.error->description(), expected);
    EXPECT_EQ(inst.Log(), Lines({expected}));
    EXPECT_EQ(inst.Result(), "False");
    // The placeholder of the first site is stored.
    EXPECT_EQ(inst.Dump("new", "qorsite", "customers"), "1|Customer1|NULL\n");
  }
  {
    SCOPED_TRACE("largest customer number");
    Installation inst;
    inst.Old("qorsite", R"sql(
CREATE TABLE sites (id LONG, siteName TEXT(50));
INSERT INTO sites VALUES (4, 'North');
INSERT INTO sites VALUES (7, 'West');
CREATE TABLE customers (id LONG, siteID LONG);
INSERT INTO customers VALUES (1, 4);
)sql");
    inst.New("qorsite", NewMainDatabase("INSERT INTO customers VALUES (32767, 'Last', NULL);"));
    FrameRun run = WriteCustomers(inst).run;
    EXPECT_EQ(run.status, 1);
    ASSERT_TRUE(run.error);
    EXPECT_EQ(run.error->number(), err::kOverflow);
    EXPECT_EQ(run.error->description(),
              "Overflow: customer number past 32767 for table customers in " + inst.new_dir() +
                  "qorsite.mdb");
    EXPECT_EQ(inst.Dump("new", "qorsite", "customers"), "32767|Last|NULL\n") << "no placeholder";
  }
  {
    // A look-up value stored as text, and numbers stored as text.
    SCOPED_TRACE("texts on either side");
    Installation inst;
    inst.Old("qorsite", R"sql(
CREATE TABLE sites (id LONG, siteName TEXT(50));
INSERT INTO sites VALUES (4, 'North');
INSERT INTO sites VALUES (7, 'West');
INSERT INTO sites VALUES (12, 'East');
CREATE TABLE customers (id LONG, siteID);
INSERT INTO customers VALUES (1, '7');
INSERT INTO customers VALUES (2, 12);
)sql");
    inst.New("qorsite", NewMainDatabase("DROP TABLE customers;\n"
                                        "CREATE TABLE customers (customerID TEXT(5), Name TEXT(50));"));
    FrameRun run = WriteCustomers(inst).run;
    EXPECT_EQ(run.status, 0) << inst.Log();
    EXPECT_EQ(inst.Dump("new", "qorsite", "SELECT typeof(customerID), Name FROM customers"),
              "text|Customer1\ntext|Customer2\n");
  }
  {
    SCOPED_TRACE("largest customer number, every site has its customer");
    Installation inst;
    inst.Old("qorsite", R"sql(
CREATE TABLE sites (id LONG, siteName TEXT(50));
INSERT INTO sites VALUES (4, 'North');
CREATE TABLE customers (id LONG, siteID LONG);
INSERT INTO customers VALUES (1, 4);
)sql");
    inst.New("qorsite", NewMainDatabase("INSERT INTO customers VALUES (32767, 'Last', NULL);"));
    const CustomersRun r = WriteCustomers(inst);
    EXPECT_EQ(r.run.status, 0) << inst.Log();
    EXPECT_EQ(r.after_writer, 32767);
  }
}

}  // namespace
}  // namespace relamor::testing
