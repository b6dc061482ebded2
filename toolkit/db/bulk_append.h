// The set-based append of the database layer: one INSERT ... SELECT that
// copies a whole old table into a new one (bulk_append.cpp explains how).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "toolkit/db/database.h"
#include "toolkit/db/declinable.h"

struct sqlite3;

namespace relamor::db {

// One column written by AppendFrom: the new table's column `target` takes
// the old row's column `source`, or, when `numbered`, the row's running
// number (1, 2, 3, ... in the old table's order; `source` is not read).
struct AppendColumn {
  std::string target;
  std::string source;
  bool numbered = false;
};

// Appends to `new_table` in `target` one row for each row of `old_table` in
// `source`, in the old table's order, in one set-based statement: the
// columns are written as `columns` say (a later entry for the same target
// wins), each value converted to its column's type as Update would convert
// it, running numbers refused past 32767; other columns take their defaults.
// Returns the number of rows appended. Declines, having stored nothing,
// when one statement cannot do what a row-by-row copy would (a counter
// column, an unknown table or column, a trigger or a conflict clause other
// than ABORT) or when any row fails: the caller then copies row by row,
// which stores the rows before a failing one and reports its error.
Declinable<long> AppendFrom(Database& target, const Database& source,
                            std::string_view old_table, std::string_view new_table,
                            const std::vector<AppendColumn>& columns);

// The category copy in one pass: every row of `old_table` overwrites the
// `columns` (none numbered) of the first row, in rowid order, of
// `new_table` whose `category` equals the old row's `category` without
// letter case, as an edit per old row would; so the last old row of each
// category decides. Reads the new categories once, checks every old row,
// then runs one UPDATE per category. Returns the number of old rows (each
// one an edited row). Declines, having stored nothing, when it
// cannot prove that the edits row by row would all succeed and leave the
// same values: a category that is not a text or has no new row, a value
// that needs converting, a Null for a NOT NULL column, a written key or
// uniquely indexed column, a trigger or CHECK constraint, the category
// column written from another field.
Declinable<long> UpdateByCategory(Database& target, const Database& source,
                                  std::string_view old_table, std::string_view new_table,
                                  std::string_view category,
                                  const std::vector<AppendColumn>& columns);

// Mode D's two passes in one append: `numbered` alone added row by row, then
// every row edited to take `fill`, store what one AppendFrom of both stores,
// once neither pass could be refused where the other is not: no trigger,
// CHECK or generated column, no filled column that is a key, uniquely
// indexed, or NOT NULL without a default. Returns the number of rows
// appended (each also edited); declines, having stored nothing, otherwise.
Declinable<long> AppendFilled(Database& target, const Database& source,
                              std::string_view old_table, std::string_view new_table,
                              const std::vector<AppendColumn>& numbered,
                              const std::vector<AppendColumn>& fill);

namespace detail {
// Installs the SQL functions of the set-based append on a new connection.
void RegisterBulkFunctions(sqlite3* db);
}  // namespace detail

}  // namespace relamor::db
