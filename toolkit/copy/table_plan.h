// The plan of one table copy: what the field-mapped copy will do with a
// table, worked out from the table's mapping rows and the two tables'
// columns before a row is read.
//
// PlanTable is a pure function: it reads no database and writes nothing, so
// a preflight can plan every table of every database without copying. The
// executors (table_copy.h) carry a plan out.
//
// How a caller gets the plan of a table:
//   std::vector<MappingRow> rows = ReadMappingRows(mapping_recordset);
//   TablePlan plan = PlanTable(rows, ColumnsOf(old_db, rows.front().old_table),
//                              ColumnsOf(new_db, rows.front().new_table), rules);
// The table loops of the three programs do this for every planned table and
// hand the plan to their TableObserver (conversion.h) before copying.
//
// The mode is chosen from the numbering flags F1 and F2 of the first two
// mapping rows (position 5; True is -1, False is 0, anything else, Null
// included, is neither) and their number N:
//
//   A  F1 False, F2 False, N > 1            append, every field copied
//                                           (into "EXCCS": the category copy)
//   B  F1 False, F2 True,  N > 1            append, field 2 numbered (for
//                                           "Sites": linked to its customer)
//   C  F1 True,  F2 False, new table empty  append, field 1 numbered
//   D  F1 True,  F2 True,  N > 2, empty     append fields 1 and 2 numbered,
//                                           then a second pass fills the rest
//   E  F1 True,  F2 True,  N = 2, empty     pass 1 of D only
//   F  F1 False, N = 1, positions 2 and 4 equal    single-field copy
//   G  F1 False, N = 1, positions 2 and 4 differ   single-field update in order
//
// Anything else writes nothing; the plan says why. Fields are resolved
// against the columns given (letter case ignored); a field the table lacks
// is left unresolved, and the executor raises the engine's error for it
// where the copy first addresses it (at the first old row), so an empty old
// table copies nothing and fails nowhere, as before.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "toolkit/db/database.h"
#include "toolkit/db/value.h"
#include "toolkit/error.h"

namespace relamor {

// One row of the mapping table, as the copy reads it.
struct MappingRow {
  Value flag;  // position 5, the numbering flag
  Value pos2;  // positions 2 and 4, compared with each other (mode F or G)
  Value pos4;
  std::string old_field;  // olddbfieldname cut at the first "["
  std::string new_field;  // newdbfieldname cut at the first "["
  std::string new_field_as_written;  // newdbfieldname as it stands (the prompt writer)
  std::string old_table;  // oldtablename
  std::string new_table;  // newtablename
};

// Every row of a mapping recordset, from its first row; leaves it on its
// first row. Throws the engine's errors for a missing named column.
std::vector<MappingRow> ReadMappingRows(db::Recordset& mapping_rows);

// A table's name and column names in column order; `exists` is false when the
// database has no such table (the table loop reports that before copying).
struct TableColumns {
  std::string name;
  std::string database;  // the database's path, for messages
  bool exists = false;
  std::vector<std::string> columns;
};
TableColumns ColumnsOf(const db::Database& db, const std::string& table);

// Where the copy rules of the general converter (relamor) and of the
// fixed-path converters (relamor2035, relamor3035) differ.
enum class CopyRules {
  kGeneral,    // mode B logs its line; mode F compares row counts and may
               // overwrite; the old table's record count is complete
  kFixedPath,  // no log line; mode F only into an empty new table
};

// What a plan is made for besides the mapping: the program's rules and the
// database pass.
struct PlanRules {
  CopyRules copy = CopyRules::kGeneral;
  // relamor2035 sends the tables whose layout changed to special writers.
  bool special_writers = false;
  // The database of the pass is a site database (not "qorsite"): mode F of
  // the general converter renumbers command ids before copying cmdidguid.
  bool site_database = false;
};

enum class CopyMode { kA, kB, kC, kD, kE, kF, kG };
// "A" to "G".
const char* ModeLetter(CopyMode mode);

// The special writers of relamor2035, chosen by the exact new table name.
enum class SpecialWriter {
  kNone,
  kChannel,           // channel
  kModemConnections,  // modemconnection
  kIpConnections,     // ipconnection
  kSerialConnections, // serialconnection
  kPrompt,            // prompt
  kCustomers,         // Customers (customer address records)
};
const char* WriterName(SpecialWriter writer);

enum class PlanKind {
  kCopy,     // the field-mapped copy in `mode`
  kExccs,    // mode A into EXCCS: each old row overwrites its category's row
  kWriter,   // a special writer
  kNothing,  // nothing is written; `reason` says why
};

// How a destination field gets its value.
enum class MoveKind {
  kCopied,    // the source field's value, unchanged
  kNumbered,  // the running number 1, 2, 3, ... (source not read)
  kCustomer,  // the Sites customer link (source not read)
  kWritten,   // a value a special writer makes up (source not read)
};

struct FieldMove {
  std::size_t mapping_row = 0;  // zero-based position among the mapping rows
  MoveKind kind = MoveKind::kCopied;
  std::string source;       // old field; read only when kCopied
  std::string destination;  // new field
  int source_index = -1;       // column positions; -1 when unresolved
  int destination_index = -1;
};

// When the copy writes anything at all, checked by the executor against the
// tables' row counts.
enum class Condition {
  kAlways,
  kNewTableEmpty,          // modes C, D, E; mode F of the fixed-path rules
  kCountsEqualOrNewEmpty,  // mode F of the general rules
};

struct TablePlan {
  std::string old_table;  // oldtablename of the first mapping row
  std::string new_table;  // newtablename of the first mapping row
  // Mode B's log line names the newtablename of the second mapping row.
  std::string log_name;
  std::size_t mapping_count = 0;

  PlanKind kind = PlanKind::kNothing;
  CopyMode mode = CopyMode::kA;  // kCopy and kExccs
  SpecialWriter writer = SpecialWriter::kNone;
  // relamor2035 creates customers from the sites before copying "Sites"
  // (unless the old table is systemMarket).
  bool customers_from_sites_first = false;
  std::string reason;  // kNothing

  // kCopy: the moves of each added or edited row, in mapping-row order (for
  // mode D, pass 1); `fill` the moves of mode D's second pass.
  // kWriter: the fields the writer fills, one per mapping row it reads, in
  // mapping-row order from the first one it reads (special_writers.h).
  std::vector<FieldMove> moves;
  std::vector<FieldMove> fill;
  Condition condition = Condition::kAlways;
  // Mode F of the general rules in a site database, old table cmdidguid:
  // the command id is renumbered before the row is overwritten.
  bool renumber_command_ids = false;
  // A mapping that fails when the condition holds (first flag True and one
  // mapping row: the second row is missing): raised before anything is
  // written. For a writer, a mapping with fewer rows than the writer reads:
  // raised where the writer first needs a missing row, as it fills the
  // first row that needs it.
  std::optional<Error> failure;

  // "mode A", "writer channel", "nothing: <reason>" and the like.
  std::string Describe() const;
};

// The plan of one table. `rows` must not be empty (the table loops plan only
// tables with mapping rows).
TablePlan PlanTable(const std::vector<MappingRow>& rows, const TableColumns& old_table,
                    const TableColumns& new_table, const PlanRules& rules);

}  // namespace relamor
