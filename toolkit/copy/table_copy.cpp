// The executor of a table plan.
//
// One Executor carries out a plan; the copy strategy only decides whether a
// step's shortcut is tried first (an append as one INSERT ... SELECT,
// db::AppendFrom) and whether the EXCCS category copy reads the categories
// once. Every other step is the same code for both, so the contract of
// table_copy.h holds by construction wherever no shortcut stores, and by the
// shortcuts' own contract (copy/shortcut.h) where one does.
//
// Field positions come from the plan; a field it left unresolved is looked up
// by name when first addressed, which raises the engine's error naming the
// field and the table.
#include "toolkit/copy/table_copy.h"

#include <string>
#include <vector>

#include "toolkit/db/bulk_append.h"
#include "toolkit/error.h"
#include "toolkit/copy/exccs_copy.h"

namespace relamor {

namespace {

class Executor {
 public:
  Executor(const TablePlan& plan, TableCopyIo& io) : plan_(plan), io_(io) {}

  CopyResult Run();

 private:
  int SourceIndex(const FieldMove& m) const {
    return m.source_index >= 0 ? m.source_index : io_.old_table.FieldIndex(m.source);
  }
  int DestinationIndex(const FieldMove& m) const {
    return m.destination_index >= 0 ? m.destination_index
                                    : io_.new_table.FieldIndex(m.destination);
  }
  // The moves of one row into the row being added or edited; `number` is the
  // running number of the row.
  void Apply(const std::vector<FieldMove>& moves, std::int16_t number);
  // Row number + 1, refused past 32767.
  std::int16_t NumberFor(std::int16_t row_number) const;
  // The set-based append of `moves`; true when it stored every row.
  bool AppendAll(const std::vector<FieldMove>& moves);
  void LinkSiteToCustomer(const FieldMove& m);
  // Mode D's two passes as one set-based append; true when it stored them.
  bool AppendFilled();
  // Makes the old rows known (the set-based statement's `rows`, or nothing
  // to have them counted) before the copy logs, reads row by row or fails;
  // then mode B's own count line of the general rules.
  void AnnounceOldRows(std::optional<long long> rows);

  void Append();              // A, B, C, E, pass 1 of D, F into an empty table
  void FillRest();            // pass 2 of D
  void SingleFieldCopy();     // F
  void UpdateInOrder();       // G

  const TablePlan& plan_;
  TableCopyIo& io_;
  bool announced_ = false;
  CopyResult result_;
};

void Executor::AnnounceOldRows(std::optional<long long> rows) {
  if (announced_) return;
  announced_ = true;
  if (io_.old_rows_known) io_.old_rows_known(rows);
  if (plan_.kind == PlanKind::kCopy && plan_.mode == CopyMode::kB &&
      io_.rules == CopyRules::kGeneral) {
    const long long count = rows ? *rows : io_.old_table.RecordCount();
    if (count > 0) io_.log({"No of records in " + plan_.log_name, "are", count});
  }
}

void Executor::Apply(const std::vector<FieldMove>& moves, std::int16_t row_number) {
  for (const FieldMove& m : moves) {
    switch (m.kind) {
      case MoveKind::kCopied: {
        Value v = io_.old_table.Get(SourceIndex(m));
        io_.new_table.Set(DestinationIndex(m), std::move(v));
        break;
      }
      case MoveKind::kNumbered:
        io_.new_table.Set(DestinationIndex(m), Value{std::int64_t{NumberFor(row_number)}});
        break;
      case MoveKind::kCustomer:
        LinkSiteToCustomer(m);
        break;
      case MoveKind::kWritten:  // only in writer plans, which this copy does not run
        break;
    }
  }
}

std::int16_t Executor::NumberFor(std::int16_t row_number) const {
  if (row_number >= 32767) {
    throw NumberingOverflow(plan_.new_table, io_.new_db.path());
  }
  return static_cast<std::int16_t>(row_number + 1);
}

namespace {

std::vector<db::AppendColumn> AppendColumnsOf(const std::vector<FieldMove>& moves) {
  std::vector<db::AppendColumn> out;
  out.reserve(moves.size());
  for (const FieldMove& m : moves) {
    out.push_back({m.destination, m.source, m.kind == MoveKind::kNumbered});
  }
  return out;
}

}  // namespace

bool Executor::AppendAll(const std::vector<FieldMove>& moves) {
  const std::optional<long> appended =
      TryShortcut(io_.strategy, io_.shortcuts, "AppendFrom", [&]() -> Shortcut<long> {
        for (const FieldMove& m : moves) {
          if (m.kind == MoveKind::kCustomer) {
            return Decline("the Sites customer link is looked up row by row");
          }
        }
        return db::AppendFrom(io_.new_db, io_.old_db, io_.old_table.source(),
                              io_.new_table.source(), AppendColumnsOf(moves));
      });
  if (!appended) return false;
  AnnounceOldRows(*appended);
  result_.rows_read += *appended;
  result_.rows_added += *appended;
  return true;
}

bool Executor::AppendFilled() {
  if (io_.old_table.Eof()) return false;
  const std::optional<long> appended =
      TryShortcut(io_.strategy, io_.shortcuts, "AppendFilled", [&] {
        return db::AppendFilled(io_.new_db, io_.old_db, io_.old_table.source(),
                                io_.new_table.source(), AppendColumnsOf(plan_.moves),
                                AppendColumnsOf(plan_.fill));
      });
  if (!appended) return false;
  AnnounceOldRows(*appended);
  result_.rows_read += *appended;
  result_.rows_added += *appended;
  result_.rows_edited += *appended;
  return true;
}

// The customer link of a new Sites row: the customer of its site in the old
// database, when the new database has that customer too; otherwise, for a site
// without an old customer, the next placeholder customer number.
void Executor::LinkSiteToCustomer(const FieldMove& m) {
  db::Recordset& new_rows = io_.new_table;
  Value site = new_rows.Get("siteID");
  if (IsNull(site)) {
    throw Error(err::kInvalidUseOfNull,
                "Invalid use of Null: a new Sites row has no siteID to look up its customer "
                "(old table " + plan_.old_table + " in " + io_.old_db.path() + ")");
  }
  db::Recordset old_customer =
      io_.old_db.OpenRecordset("select id from customers where siteID = ?", {site});
  if (!old_customer.Eof()) {
    db::Recordset new_customer = io_.new_db.OpenRecordset(
        "select customerID from customers where customerID = ?", {old_customer.Get(0)});
    if (!new_customer.Eof()) new_rows.Set(DestinationIndex(m), new_customer.Get(0));
    return;
  }
  if (io_.last_customer_number >= 32767) {
    throw Error(err::kOverflow, "Overflow: customer number past 32767 for a new Sites row in " +
                                    io_.new_db.path());
  }
  ++io_.last_customer_number;
  new_rows.Set(DestinationIndex(m), Value{std::int64_t{io_.last_customer_number}});
}

CopyResult Executor::Run() {
  // A plan that writes nothing may still fail: a first numbering flag True
  // with no second mapping row fails once the new table is found empty.
  const bool fails_only = plan_.kind == PlanKind::kNothing && plan_.failure;
  if (plan_.kind != PlanKind::kCopy && plan_.kind != PlanKind::kExccs && !fails_only) {
    return result_;
  }
  // An append or a category copy that may be one statement learns the old
  // rows from it; every other copy counts them first.
  const bool counted_by_statement =
      TriesShortcuts(io_.strategy) && !plan_.failure &&
      (plan_.kind == PlanKind::kExccs || plan_.mode != CopyMode::kG);
  if (!counted_by_statement) AnnounceOldRows(std::nullopt);
  if (plan_.condition == Condition::kNewTableEmpty && io_.new_table.RecordCount() != 0) {
    return result_;
  }
  if (plan_.failure) throw *plan_.failure;
  if (plan_.kind == PlanKind::kExccs) {
    const long edited = CopyExccsByCategory(plan_, io_);
    result_.rows_read = result_.rows_edited = edited;
    return result_;
  }
  switch (plan_.mode) {
    case CopyMode::kB:
    case CopyMode::kA:
    case CopyMode::kC:
    case CopyMode::kE:
      Append();
      break;
    case CopyMode::kD:
      if (AppendFilled()) break;
      Append();
      FillRest();
      break;
    case CopyMode::kF:
      SingleFieldCopy();
      break;
    case CopyMode::kG:
      UpdateInOrder();
      break;
  }
  return result_;
}

void Executor::Append() {
  db::Recordset& old_rows = io_.old_table;
  db::Recordset& new_rows = io_.new_table;
  if (old_rows.Eof()) return;
  if (AppendAll(plan_.moves)) return;
  AnnounceOldRows(std::nullopt);
  std::int16_t row_number = 0;
  while (!old_rows.Eof()) {
    new_rows.AddNew();
    Apply(plan_.moves, row_number);
    new_rows.Update();
    ++result_.rows_read;
    ++result_.rows_added;
    old_rows.MoveNext();
    ++row_number;
  }
}

// Pass 2 of mode D pairs the n-th old row with the n-th new row, the row pass
// 1 added for it, and fills the remaining fields.
void Executor::FillRest() {
  db::Recordset& old_rows = io_.old_table;
  db::Recordset& new_rows = io_.new_table;
  if (result_.rows_added == 0) return;
  old_rows.MoveFirst();
  new_rows.MoveFirst();
  while (!old_rows.Eof()) {
    new_rows.Edit();
    Apply(plan_.fill, 0);
    new_rows.Update();
    ++result_.rows_edited;
    new_rows.MoveNext();
    old_rows.MoveNext();
  }
}

// Mode F. The general rules append into an empty new table or, when the row
// counts are equal, overwrite the new table's current row (a one-row table
// such as cmdidguid); the fixed-path rules only append into an empty table
// (the plan's condition has checked that).
void Executor::SingleFieldCopy() {
  db::Recordset& old_rows = io_.old_table;
  db::Recordset& new_rows = io_.new_table;
  if (io_.rules == CopyRules::kFixedPath) {
    Append();
    return;
  }
  const FieldMove& m = plan_.moves.front();
  // Into an empty new table every old row is appended.
  if (new_rows.RecordCount() == 0 && !old_rows.Eof() && AppendAll(plan_.moves)) return;
  AnnounceOldRows(std::nullopt);
  const long old_count = old_rows.RecordCount();
  if (old_count != new_rows.RecordCount() && new_rows.RecordCount() != 0) return;
  while (!old_rows.Eof()) {
    std::optional<Value> renumbered;
    const bool edit = old_count == new_rows.RecordCount();
    if (edit) {
      if (plan_.renumber_command_ids && io_.renumber_command_ids) {
        renumbered = io_.renumber_command_ids();
      }
      new_rows.Edit();
    } else {
      new_rows.AddNew();
    }
    if (renumbered) {
      SourceIndex(m);  // the old field must exist all the same
      new_rows.Set(DestinationIndex(m), *renumbered);
    } else {
      Apply(plan_.moves, 0);
    }
    new_rows.Update();
    ++result_.rows_read;
    ++(edit ? result_.rows_edited : result_.rows_added);
    old_rows.MoveNext();
  }
}

// Mode G: the n-th old row's value overwrites the field of the n-th new row.
void Executor::UpdateInOrder() {
  db::Recordset& old_rows = io_.old_table;
  db::Recordset& new_rows = io_.new_table;
  while (!old_rows.Eof()) {
    new_rows.Edit();
    Apply(plan_.moves, 0);
    new_rows.Update();
    ++result_.rows_read;
    ++result_.rows_edited;
    old_rows.MoveNext();
    new_rows.MoveNext();
  }
}

}  // namespace

CopyResult CopyTable(const TablePlan& plan, TableCopyIo& io) { return Executor(plan, io).Run(); }

Error NumberingOverflow(const std::string& new_table, const std::string& path) {
  return Error(err::kOverflow,
               "Overflow: more than 32767 numbered rows for table " + new_table + " in " + path);
}

}  // namespace relamor
