// Placeholder customers for the sites of release 2.0 that no customer refers
// to.
//
// Walks the old `sites` table of the old main database and, for every site
// that no old customer refers to, appends a customer "Customer<c>" with
// number c to the new main database's `customers`. The numbers follow the
// largest positive customerID already there (1 when there is none), and
// the run's last customer number is set to that largest customerID, so that the Sites
// copy which follows, walking the sites in the same order, gives the n-th
// site without an old customer the n-th placeholder.
//
// Whether an old customer refers to a site depends on the old layout, told
// by the name of the first field of the old `sites` (compared exactly):
//   "siteID"   the site's customerID is looked up in customers.customerID
//   otherwise  the site's ID is looked up in customers.siteID
//
// The main databases are opened here on their own; the engine shares the
// connection with the table loop's databases when they are the same files.
#include <string>

#include "toolkit/writers/writer_sql.h"
#include "toolkit/error.h"
#include "toolkit/writers/special_writers.h"

namespace relamor {

void CreateCustomersFromSites(RunFrame& frame, CopyStrategy strategy, ShortcutLog& shortcuts,
                              std::int16_t& last_customer_number) {
  db::Engine& engine = frame.engine();
  db::Database old_site =
      engine.OpenDatabase(frame.old_dir() + "qorsite.mdb", db::OpenMode::kReadOnly);
  db::Recordset sites = old_site.OpenRecordset("sites");
  if (sites.RecordCount() > 0) {
    const bool keyed_by_customer = sites.FieldName(0) == "siteID";
    const std::string look_up_column = keyed_by_customer ? "customerID" : "siteID";
    const std::string key_field = keyed_by_customer ? "customerID" : "ID";

    db::Database new_site = engine.OpenDatabase(frame.new_dir() + "qorsite.mdb");
    int next_number = 1;
    {
      db::Recordset largest = new_site.OpenRecordset("select max(customerID) from customers");
      const Value top = largest.Get(0);
      if (!IsNull(top) &&
          ToDouble(top, "the largest customerID of customers in " + new_site.path()) > 0) {
        last_customer_number =
            ToInt16(top, "the largest customerID of customers in " + new_site.path());
        next_number = last_customer_number + 1;
      }
    }

    db::Recordset customers = new_site.OpenRecordset("customers");
    // The placeholders in one pass, when it can prove what the walk below
    // would store.
    const bool appended =
        TryShortcut(strategy, shortcuts, "AppendPlaceholderCustomers", [&] {
          return db::AppendPlaceholderCustomers(new_site, old_site, key_field, look_up_column,
                                                next_number);
        }).has_value();
    const std::string look_up =
        "Select " + look_up_column + " from customers where " + look_up_column + " = ?";
    while (!appended && !sites.Eof() && sites.RecordCount() >= 1) {
      const Value key = sites.Get(key_field);
      if (IsNull(key)) {
        throw Error(err::kInvalidUseOfNull, "Invalid use of Null: a row of table sites in " +
                                                old_site.path() + " has no " + key_field +
                                                ", so its customer cannot be looked up");
      }
      db::Recordset customer = old_site.OpenRecordset(look_up, {key});
      if (customer.Eof()) {
        if (next_number > 32767) {
          throw Error(err::kOverflow,
                      "Overflow: customer number past 32767 for table customers in " +
                          new_site.path());
        }
        customers.AddNew();
        customers.Set("customerID", Value{std::int64_t{next_number}});
        customers.Set("Name", "Customer" + std::to_string(next_number));
        customers.Update();
        ++next_number;
      }
      sites.MoveNext();
    }
    customers.Close();
    new_site.Close();
  }
  sites.Close();
  old_site.Close();
}

}  // namespace relamor
