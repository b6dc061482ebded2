// The customer records of release 2.0: the old `customers` table may hold
// several rows per customer id (one per site); the new layout keeps one row
// per customer, keyed by customerID, with the name and postal address of the
// first old row of that id in rowid order.
//
// The rows are appended whether or not the new table already holds rows; a
// duplicate customerID fails when the new table's key refuses it.
//
// The address of an id is the first row of a look-up by that id. Asked once
// per id, each look-up reads the whole old table; instead, one statement
// reads the first row of every id, in the order in which the ids first occur,
// and is walked alongside the id list. Where the two disagree (an id list in
// another order), that id and the ones after it are looked up one by one, as
// are all of them when the statement cannot be run.
#include <array>
#include <cstddef>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "toolkit/error.h"
#include "toolkit/text.h"
#include "toolkit/writers/special_writers.h"
#include "toolkit/writers/writer_sql.h"

namespace relamor {

namespace {

constexpr const char* kIdList = "select distinct(id) from customers";

// New field, old field of the address; the old fields in the order of the
// look-up's select list.
constexpr const char* kAddressFields[][2] = {
    {"Name", "name"},     {"address", "address"}, {"city", "city"},
    {"region", "region"}, {"zipcode", "zipCode"}, {"country", "country"},
};

// The first row of every id of the old `customers` table, in the order of
// the rows: the id, then the address fields. Nothing when the table has no
// rowid under a free name or the statement fails; the per-id look-ups then
// report what is wrong.
std::optional<db::Recordset> OpenFirstRowPerId(db::Database& old_db) {
  const std::string rowid = old_db.RowidName("customers");
  if (rowid.empty()) return std::nullopt;
  // The id groups compare texts without letter case, as the id list and the
  // look-up do.
  try {
    return old_db.OpenRecordset(
        "select id, name , address , city, region, zipCode, country from customers where " + rowid +
        " in (select min(" + rowid + ") from customers group by id collate nocase) order by " +
        rowid);
  } catch (const Error&) {
    return std::nullopt;
  }
}

// customerID and the address fields of the new table, in that order.
std::array<int, 1 + std::size(kAddressFields)> AddressFieldsIn(const db::Recordset& new_table) {
  std::array<int, 1 + std::size(kAddressFields)> to{};
  to[0] = new_table.FieldIndex("customerID");
  for (std::size_t f = 0; f < std::size(kAddressFields); ++f) {
    to[f + 1] = new_table.FieldIndex(kAddressFields[f][0]);
  }
  return to;
}

// Whether two values are the same value of the same kind.
bool SameValue(const Value& a, const Value& b) { return a.index() == b.index() && a == b; }

}  // namespace

// Every customer in one statement (db::AppendFirstRowOfEachKey), when the
// walk below would append rows.
Shortcut<long> CustomerAddressesInOneStatement(TableCopyIo& io) {
  if (io.old_table.RecordCount() <= 0) return Decline("the old table is empty");
  std::vector<std::pair<std::string, std::string>> columns{{"customerID", "id"}};
  for (const auto& [to, from] : kAddressFields) columns.emplace_back(to, from);
  return db::AppendFirstRowOfEachKey(io.new_db, io.old_db, io.new_table.source(), "customers",
                                     "id", kIdList, columns);
}

void RebuildCustomerAddresses(TableCopyIo& io) {
  db::Database& old_db = io.old_db;
  db::Recordset& new_table = io.new_table;
  db::Recordset ids = old_db.OpenRecordset(kIdList);
  if (ids.RecordCount() <= 0) return;
  // The table loop's old-table recordset only tells whether the old table
  // is empty; it is not walked here. When it is empty nothing is written and
  // only the look-ups run.
  const bool writes = io.old_table.RecordCount() > 0;
  std::optional<db::Recordset> first_rows;
  if (writes) first_rows = OpenFirstRowPerId(old_db);

  // The look-up of one id takes its first row in rowid order, whatever index
  // the old table has (one on (id, name) would otherwise order by name).
  const std::string rowid = old_db.RowidName("customers");
  const std::string look_up =
      "select name , address , city, region, zipCode, country from customers where id = ?" +
      (rowid.empty() ? std::string() : " order by " + rowid);

  // Positions in the new table, looked up when the first row is written, so
  // that a missing field fails on it.
  std::optional<std::array<int, 1 + std::size(kAddressFields)>> to;
  ids.MoveFirst();
  while (!ids.Eof()) {
    const Value id = ids.Get(0);
    if (IsNull(id)) {
      throw Error(err::kInvalidUseOfNull, "Invalid use of Null: a row of table customers in " +
                                              old_db.path() +
                                              " has no id, so its address cannot be looked up");
    }
    // The address: the walked first row when it is this id's, else a look-up.
    db::Recordset looked_up;
    db::Recordset* address = nullptr;
    int first_field = 0;
    if (first_rows && !first_rows->Eof() && SameValue(first_rows->Get(0), id)) {
      address = &*first_rows;
      first_field = 1;
    } else {
      first_rows.reset();
      looked_up = old_db.OpenRecordset(look_up, {id});
      address = &looked_up;
    }
    if (writes) {
      new_table.AddNew();
      if (!to) to = AddressFieldsIn(new_table);
      new_table.Set((*to)[0], id);
      for (std::size_t f = 0; f < std::size(kAddressFields); ++f) {
        new_table.Set((*to)[f + 1], address->Get(first_field + static_cast<int>(f)));
      }
      new_table.Update();
    }
    if (first_rows) first_rows->MoveNext();
    ids.MoveNext();
  }
}

}  // namespace relamor
