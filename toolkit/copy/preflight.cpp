// The check of one planned table (--check): what the copy would fail on,
// found by reading the old rows against the plan and the new table's columns,
// with nothing written.
//
// The rows are walked in the copy's order and each mapped value is converted
// for its new column by the routine the copy uses, so a refused value gives
// the copy's own message. Besides conversions it looks for Null in NOT NULL
// columns (mapped, or left to a default the column lacks), duplicates in a
// key or UNIQUE column (within the old rows and against the rows the new
// table holds), running numbers past 32767, EXCCS categories without a new
// row, and mode G with fewer new rows than old. Each field's first problem of
// each kind is reported once per table, with the run's error number and the
// file its cause lies in: the old database and row of a value, the template
// of a site database's table (once, not once per site).
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "toolkit/conversion.h"
#include "toolkit/db/types.h"
#include "toolkit/copy/exccs_copy.h"
#include "toolkit/error.h"
#include "toolkit/text.h"

namespace relamor {

namespace {

constexpr long kLargestNumber = 32767;

std::optional<std::string> ValueText(const Value& v) {
  if (IsNull(v)) return std::nullopt;
  return ToText(v);
}

long long CountOf(db::Database& db, const std::string& table) {
  db::Recordset rs = db.OpenRecordset("select count(*) from " + QuoteName(table));
  const Value v = rs.Get(0);
  const auto* n = std::get_if<std::int64_t>(&v);
  return n ? *n : 0;
}

}  // namespace

void Conversion::CheckPlannedTable(const TablePlan& plan, TableRecordsets& opened) {
  db::Recordset& old_table = opened.old_table;
  std::optional<long long> sno;
  {
    const Value& v = opened.sno;
    if (const auto* n = std::get_if<std::int64_t>(&v)) sno = *n;
  }
  // A site database is checked on the template it would be copied from.
  const std::string new_file =
      IsSiteDatabasePass() ? frame_.new_dir() + "qordxxx.mdb" : new_db_.path();
  std::set<std::string> reported;  // field + kind
  // `old_row`: the problem lies in the value of the old table's current row.
  auto problem = [&](const std::string& field, const std::string& kind,
                     std::optional<std::string> value, const std::string& message, int number,
                     bool old_row) {
    if (!reported.insert(Upper(field) + "\n" + kind).second) return;
    std::optional<std::string> row;
    if (old_row) {
      if (const std::optional<std::int64_t> id = old_table.RowId()) {
        row = "rowid " + std::to_string(*id);
      }
    }
    frame_.AddProblem(plan.new_table, field, sno, std::move(value), message, number,
                      old_row ? old_db_.path() : new_file, std::move(row));
  };
  if (plan.kind == PlanKind::kWriter) return;
  // A plan's own failure is raised before any old row is read, once the
  // new table passes the plan's condition.
  if (plan.failure) {
    if (plan.condition != Condition::kNewTableEmpty || CountOf(new_db_, plan.new_table) == 0) {
      problem("", "plan", std::nullopt, plan.failure->description(), plan.failure->number(),
              false);
    }
    return;
  }
  if (plan.kind == PlanKind::kNothing) return;
  if (old_table.Eof()) return;  // nothing is read, nothing can fail
  const long long old_count = CountOf(old_db_, plan.old_table);
  const long long new_count = CountOf(new_db_, plan.new_table);
  if (plan.condition == Condition::kNewTableEmpty && new_count != 0) return;
  if (plan.condition == Condition::kCountsEqualOrNewEmpty && new_count != 0 &&
      new_count != old_count) {
    return;
  }
  const bool appends = plan.kind == PlanKind::kCopy && plan.mode != CopyMode::kG &&
                       !(plan.mode == CopyMode::kF && new_count != 0);

  // Fields the tables lack fail at the first old row.
  bool unresolved = false;
  auto resolve = [&](const FieldMove& m) {
    if (m.kind == MoveKind::kCopied && m.source_index < 0) {
      problem(m.source, "missing", std::nullopt,
              "Item not found in this collection: no field '" + m.source + "' in table '" +
                  plan.old_table + "' (" + old_db_.path() + ")",
              err::kItemNotFound, false);
      unresolved = true;
    }
    if (m.destination_index < 0) {
      problem(m.destination, "missing", std::nullopt,
              "Item not found in this collection: no field '" + m.destination + "' in table '" +
                  plan.new_table + "' (" + new_db_.path() + ")",
              err::kItemNotFound, false);
      unresolved = true;
    }
  };
  for (const FieldMove& m : plan.moves) resolve(m);
  for (const FieldMove& m : plan.fill) resolve(m);
  if (unresolved) return;

  if (plan.kind == PlanKind::kCopy && plan.mode == CopyMode::kG && new_count < old_count) {
    problem(plan.moves.empty() ? "" : plan.moves.front().destination, "rows", std::nullopt,
            "No current record in table '" + plan.new_table + "' (" + new_db_.path() + ")",
            err::kNoCurrentRecord, false);
  }

  const std::vector<db::ColumnDef> columns = new_db_.Columns(plan.new_table);
  // The messages are worded as the copy words the same refusals.
  auto NullRefused = [this](const std::string& table, const std::string& column) {
    return "The field '" + table + "." + column + "' cannot contain a Null value (" +
           new_db_.path() + ")";
  };
  struct Target {
    const FieldMove* move;
    const db::ColumnDef* column;
    db::ColumnType type;
    std::set<std::string> seen;  // values of a unique column
  };
  std::vector<Target> targets;
  std::set<std::string> written;
  auto add_target = [&](const FieldMove& m) {
    const db::ColumnDef& c = columns.at(static_cast<std::size_t>(m.destination_index));
    written.insert(Upper(c.name));
    targets.push_back({&m, &c, db::ParseDeclaredType(c.declared_type), {}});
    if (c.unique && appends) {
      db::Recordset rows = new_db_.OpenRecordset("select " + QuoteName(c.name) + " from " +
                                                 QuoteName(plan.new_table));
      for (; !rows.Eof(); rows.MoveNext()) {
        const Value v = rows.Get(0);
        if (!IsNull(v)) targets.back().seen.insert(ToText(v));
      }
    }
  };
  for (const FieldMove& m : plan.moves) add_target(m);
  for (const FieldMove& m : plan.fill) add_target(m);

  if (appends) {
    std::set<std::string> first_pass;  // the fields of the rows as first stored
    for (const FieldMove& m : plan.moves) first_pass.insert(Upper(m.destination));
    for (const db::ColumnDef& c : columns) {
      if (c.not_null && !c.has_default && !c.rowid_alias && !written.count(Upper(c.name)) &&
          !db::ParseDeclaredType(c.declared_type).counter) {
        problem(c.name, "null", std::nullopt, NullRefused(plan.new_table, c.name),
                err::kNullNotAllowed, false);
      }
      if (!c.default_usable && !first_pass.count(Upper(c.name))) {
        problem(c.name, "default", std::nullopt,
                "The default of the field '" + plan.new_table + "." + c.name +
                    "' calls a function that a database's schema may not call, or fails (" +
                    new_db_.path() + ")",
                err::kSyntaxError, false);  // the run's "unsafe use of ..." refusal
      }
    }
  }

  std::set<std::string> categories;  // EXCCS: categories of the new rows, upper-cased
  if (plan.kind == PlanKind::kExccs) {
    db::Recordset rows = new_db_.OpenRecordset("select CAT from EXCCS");
    for (; !rows.Eof(); rows.MoveNext()) categories.insert(Upper(ToText(rows.Get(0))));
  }

  long row_number = 0;
  for (old_table.MoveFirst(); !old_table.Eof(); old_table.MoveNext()) {
    // A stop asked for ends the check between rows, as it ends a run.
    RunFrame::ThrowIfStopRequested();
    ++row_number;
    if (plan.kind == PlanKind::kExccs) {
      const Value cat = old_table.Get("CAT");
      if (!categories.count(Upper(ToText(cat)))) {
        problem("CAT", "category", ValueText(cat),
                NoCategoryRow(new_db_.path(), cat, old_table.source(), old_db_.path()),
                err::kNoCurrentRecord, true);
      }
    }
    for (Target& t : targets) {
      const FieldMove& m = *t.move;
      Value v;
      if (m.kind == MoveKind::kNumbered) {
        if (row_number > kLargestNumber) {
          problem(m.destination, "overflow", std::to_string(row_number),
                  "Overflow: more than 32767 numbered rows for table " + plan.new_table + " in " +
                      new_db_.path(),
                  err::kOverflow, true);
          continue;
        }
        v = std::int64_t{row_number};
      } else if (m.kind == MoveKind::kCustomer) {
        continue;
      } else {
        v = old_table.Get(m.source_index);
      }
      Value converted;
      try {
        converted = db::ConvertForColumn(v, t.type, plan.new_table, t.column->name);
      } catch (const Error& e) {
        problem(m.destination, "convert", ValueText(v),
                e.description() + " (" + new_db_.path() + ")", e.number(), true);
        continue;
      }
      if (IsNull(converted)) {
        if (t.column->not_null && !t.column->rowid_alias) {
          problem(m.destination, "null", std::nullopt, NullRefused(plan.new_table, t.column->name),
                  err::kNullNotAllowed, true);
        }
        continue;
      }
      if (t.column->unique && appends && !t.seen.insert(ToText(converted)).second) {
        problem(m.destination, "duplicate", ToText(converted),
                "Duplicate value refused: table '" + plan.new_table +
                    "' already has a row with " + t.column->name + " = " + ToText(converted) +
                    " (" + new_db_.path() + ")",
                err::kDuplicateValue, true);
      }
    }
  }
  old_table.MoveFirst();
}

}  // namespace relamor
