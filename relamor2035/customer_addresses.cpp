// The customer records of release 2.0: the old `customers` table may hold
// several rows per customer id (one per site); the new layout keeps one row
// per customer, keyed by customerID, with the name and postal address of the
// first old row of that id in the engine's order.
//
// The rows are appended whether or not the new table already holds rows; a
// duplicate customerID fails when the new table's key refuses it.
#include <string>

#include "relamor2035/relamor2035.h"
#include "toolkit/db/error.h"

namespace relamor {

void Relamor2035::RebuildCustomerAddresses() {
  db::Recordset ids = old_db_.OpenRecordset("select distinct(id) from customers");
  if (ids.RecordCount() <= 0) return;
  // New field, old field of the address look-up.
  static const char* const kAddressFields[][2] = {
      {"Name", "name"},     {"address", "address"}, {"city", "city"},
      {"region", "region"}, {"zipcode", "zipCode"}, {"country", "country"},
  };
  ids.MoveFirst();
  while (!ids.Eof()) {
    const Value id = ids.Get(0);
    if (IsNull(id)) {
      throw Error(err::kInvalidUseOfNull, "Invalid use of Null: a row of table customers in " +
                                              old_db_.file_name() +
                                              " has no id, so its address cannot be looked up");
    }
    db::Recordset address = old_db_.OpenRecordset(
        "select name , address , city, region, zipCode, country from customers where id = ?", {id});
    // The table loop's old-table recordset only tells whether the old table
    // is empty; it is not walked here.
    if (old_table_.RecordCount() > 0) {
      new_table_.AddNew();
      new_table_.Set(TextBeforeBracket("customerID"), id);
      for (const auto& [to, from] : kAddressFields) {
        new_table_.Set(TextBeforeBracket(to), address.Get(from));
      }
      new_table_.Update();
    }
    ids.MoveNext();
  }
}

}  // namespace relamor
