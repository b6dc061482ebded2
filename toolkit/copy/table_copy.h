// The executor of a table plan (table_plan.h): the row-by-row walk of each
// mode, with the shortcut of each step (copy/shortcut.h) tried first unless
// RELAMOR_COPY_STRATEGY=rows.
//
// Contract. For every plan and every data, both strategies
//   - store the same rows with the same values, in the same order;
//   - raise the same Error (number and description) at the same old row,
//     keeping the same rows stored before it (every row is stored by its own
//     update; nothing is rolled back);
//   - return the same CopyResult;
//   - leave nothing behind that the next table depends on: the recordsets
//     they are given may stand anywhere afterwards, and the caller closes them.
// The shortcuts, by mode:
//   A, B (not Sites), C, E, F into an empty table   AppendFrom: one INSERT ... SELECT
//   D into its empty table                          AppendFilled: both passes in one
//                                                   append; else AppendFrom for pass 1
//   A into EXCCS                                    UpdateByCategory (exccs_copy.h)
//   F overwriting, G                                none
// Wherever a shortcut cannot do what the walk would, or any row fails, it
// stores nothing and the walk runs, which then reports the failing row's
// error.
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
#include "toolkit/copy/copy_strategy.h"
#include "toolkit/run_frame.h"
#include "toolkit/copy/table_plan.h"

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
  // The run log (mode B's line in relamor).
  std::function<void(std::initializer_list<LogItem>)> log;
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
  // Whether shortcuts are tried (copy/shortcut.h reads it, nothing else).
  CopyStrategy strategy = CopyStrategy::kAuto;
};

// Carries out a plan of kind kCopy or kExccs (any other kind copies nothing):
// row by row, trying each step's shortcut first unless io.strategy is kRows.
CopyResult CopyTable(const TablePlan& plan, TableCopyIo& io);

// The copy's own refusals, worded once for the copy and for the check
// (preflight.cpp), which promises the run's words.
// 6 for a running number past 32767 in `new_table` of the database at `path`.
Error NumberingOverflow(const std::string& new_table, const std::string& path);

}  // namespace relamor
