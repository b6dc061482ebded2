// Set-based statements of the special writers (writer_sql.cpp explains how).
// Each one either does what the writer's row walk would do, in one
// statement, or stores nothing and declines with its reason; the writer then walks
// the rows, which stores the rows before a failing one and reports its
// error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "toolkit/db/database.h"
#include "toolkit/db/declinable.h"

namespace relamor::db {

// The IP connections in one pass: the skeleton rows (`channelID` =
// `channel_ids[k - 1]`, `new_key` = k, in that order) that the walk inserts
// first, each already holding the value the walk then stores into
// `new_value`: every row of `old_table` (in `source`), in the table's order,
// stores its `old_value` into every new row whose channel's site in the new
// `channel` table equals the old row's `old_site`, so the last old row of
// each site decides. Returns the number of edits the walk would make; the
// change observer hears of each, and of each inserted row. Declines,
// having stored nothing, unless it can prove that the walk would succeed
// and store every value unchanged: whole-number channel ids, stored as they
// are, unique in `channel` and all found there; whole-number or Null sites;
// values that already fit their column; a written column that takes a Null
// and that no key, unique index, trigger or CHECK guards.
Declinable<long> InsertFilledConnections(Database& target, const Database& source,
                                            const std::vector<std::int64_t>& channel_ids,
                                            std::string_view new_table, std::string_view new_key,
                                            std::string_view new_value,
                                            std::string_view old_table, std::string_view old_site,
                                            std::string_view old_value);

// A filled column of a connection table's rows, and the position of the
// old column whose value it takes.
struct OrderedValue {
  std::string new_column;
  int old_position = -1;
};

// The serial and the modem connections in one pass: the skeleton rows as
// for the IP connections, the n-th of them, in that order, taking the
// values of the n-th row of `old_table` (in `source`, in the table's order):
// each of `values` the value at its old column position. Returns the number
// of edits the walk would make (one per old row); the change observer hears
// of each, and of each inserted row. Declines, having stored nothing,
// unless it can prove that the walk would succeed and store every value
// unchanged: no more old rows than channels, new rows that come back in the
// order they were inserted, values that already fit their column, and each
// written column as for the IP connections.
Declinable<long> InsertConnectionsInOrder(Database& target, const Database& source,
                                             const std::vector<std::int64_t>& channel_ids,
                                             std::string_view new_table, std::string_view new_key,
                                             std::string_view old_table,
                                             const std::vector<OrderedValue>& values);

// The customer records in one statement: appends to `new_table` (in
// `target`) one row per distinct `key` of `old_table` (in `source`), from
// the first row of that key, in the old table's order, each `columns` entry
// (new column, old column; the first one takes the key) taking its old
// value. `key_list` is the statement whose rows, on `source`, are the keys
// the walk appends in turn, each with the first row of a look-up by it.
// Returns the number of rows appended; declines, having stored nothing, when
// it cannot prove that the keys of the first rows are that list in that
// order (the list's plan must scan the table and list each value when first
// met), when a key is Null or not a whole number, a value needs converting
// or is refused, or the table has a counter column or a trigger.
Declinable<long> AppendFirstRowOfEachKey(
    Database& target, const Database& source, std::string_view new_table,
    std::string_view old_table, std::string_view key, std::string_view key_list,
    const std::vector<std::pair<std::string, std::string>>& columns);

// The placeholder customers in one pass: for every row of `sites` (in
// `source`), in the table's order, whose `key` no row of the old
// `customers` carries in `look_up`, appends to the new `customers` (in
// `target`) a row with customerID n and Name "Customer<n>", n counting from
// `first_number`. Returns the number of rows appended; declines, having
// stored nothing, unless it can prove the walk's outcome: every key and
// every looked-up value a whole number (or, in the old customers, Null), no
// number past 32767, numbers and names that already fit their columns, no
// counter column or trigger in the new table, and no row refused.
Declinable<long> AppendPlaceholderCustomers(Database& target, const Database& source,
                                               std::string_view key, std::string_view look_up,
                                               std::int64_t first_number);

}  // namespace relamor::db
