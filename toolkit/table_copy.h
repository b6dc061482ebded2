// The executors of a table plan (table_plan.h): set-based and row by row.
//
// Contract. For every plan and every data, both executors
//   - store the same rows with the same values, in the same order;
//   - raise the same Error (number and description) at the same old row,
//     keeping the same rows stored before it (every row is stored by its own
//     update; nothing is rolled back);
//   - return the same CopyResult;
//   - leave nothing behind that the next table depends on: the recordsets
//     they are given may stand anywhere afterwards, and the caller closes them.
// The set-based executor copies an append (modes A, B except for Sites, C,
// E, D, F into an empty table) with one INSERT ... SELECT (for D both passes
// in one when neither can be refused alone) and the EXCCS category copy with
// one UPDATE per category after one read of the old rows; wherever one statement cannot do
// what the row-by-row copy would, or any row fails, it stores nothing that
// way and copies row by row, which then reports the failing row's error.
//
// How a caller gets the copy result of a table copy: CopyTable returns it;
// the table loops hand it, with the plan, to their TableObserver
// (conversion.h).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "toolkit/db/database.h"
#include "toolkit/copy/shortcut.h"
#include "toolkit/copy_strategy.h"
#include "toolkit/run_frame.h"
#include "toolkit/table_plan.h"

namespace relamor {

// What a table copy did. Equal for both executors.
struct CopyResult {
  long rows_read = 0;    // old rows read
  long rows_added = 0;   // new rows appended
  long rows_edited = 0;  // new rows overwritten

  bool operator==(const CopyResult&) const = default;
};

// What a table copy works on besides its plan.
struct TableCopyIo {
  RunFrame& frame;                  // the run log (mode B's line in relamor)
  db::Database& old_db;
  db::Database& new_db;
  db::Recordset& old_table;         // on the plan's old table, freshly opened
  db::Recordset& new_table;         // on the plan's new table, not walked
  std::int16_t& last_customer_number;  // the Sites customer link's counter
  CopyRules rules;
  // The general converter's command-id step before mode F overwrites
  // cmdidguid: the value to store instead of the old one, or nothing.
  std::function<std::optional<Value>()> renumber_command_ids;
  // Makes the old table's row count known to the log and the report
  // (Conversion::AnnounceOldRows): with the rows a set-based statement
  // copied, or with nothing to have the old table counted, which completes
  // the old recordset's count. Called before the copy's first log line, its
  // first row copied one by one and its first error; later calls do nothing.
  // May be empty.
  std::function<void(std::optional<long long>)> old_rows_known;
  // Hears what each shortcut tried on the table did.
  ShortcutLog& shortcuts;
};

// Carries out a plan of kind kCopy or kExccs (any other kind copies nothing).
CopyResult CopyRowByRow(const TablePlan& plan, TableCopyIo& io);
CopyResult CopySetBased(const TablePlan& plan, TableCopyIo& io);
// The executor of `strategy`.
CopyResult CopyTable(const TablePlan& plan, TableCopyIo& io, CopyStrategy strategy);

}  // namespace relamor
