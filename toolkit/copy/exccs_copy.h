// The EXCCS category copy, the part of the table executors (table_copy.h)
// that carries out a plan of kind kExccs.
#pragma once

#include <string>

#include "toolkit/copy/table_copy.h"
#include "toolkit/copy/table_plan.h"

namespace relamor {

// Every old row, from the old table's current row to its end, overwrites the
// plan's fields of the first new EXCCS row (in rowid order) of its category
// CAT, compared without letter case; the rows are found through an index of
// the new table's categories, read once. Unless io.strategy is kRows the
// shortcut UpdateByCategory is tried first: the whole table in one set-based
// pass, when that provably stores what the edits would. Returns the number
// of rows edited.
// Throws 3021 for an old row whose category has no new row. Makes the old
// rows known (io.old_rows_known) before it edits a row one by one, or with
// the count of the one-pass copy when that stored them.
long CopyExccsByCategory(const TablePlan& plan, TableCopyIo& io);

// The 3021 for an old row whose category (a Null read as the empty text) has
// no row in the new EXCCS; the check (preflight.cpp) promises the same.
Error NoCategoryRow(const std::string& new_path, const Value& category,
                    const std::string& old_table, const std::string& old_path);

}  // namespace relamor
