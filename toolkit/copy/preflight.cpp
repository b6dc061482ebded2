// The check of one planned table (--check): what the copy would fail on,
// found by reading the old rows against the plan and the new table's columns,
// with nothing written.
//
// The rows are walked in the copy's order and each mapped value is converted
// for its new column by the routine the copy uses. Every problem's message is
// made by the function that makes the run's (refusals.h, table_copy.h,
// exccs_copy.h, the recordsets' own look-ups), so the line the check promises
// is the one the run would log. Besides conversions it looks for Null in NOT NULL
// columns (mapped, or left to a default the column lacks), duplicates in a
// key or UNIQUE column (within the old rows and against the rows the new
// table holds), running numbers past 32767, EXCCS categories without a new
// row, and mode G with fewer new rows than old. Each field's first problem of
// each kind is reported once per table, with the run's error number and the
// file its cause lies in: the old database and row of a value, the template
// of a site database's table (once, not once per site).
#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "toolkit/conversion.h"
#include "toolkit/copy/exccs_copy.h"
#include "toolkit/copy/table_copy.h"
#include "toolkit/db/refusals.h"
#include "toolkit/db/types.h"
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

// What the engine does with a row that breaks a column's NOT NULL or UNIQUE
// constraint, as the conflict clauses of the new table's definition say:
// refuse it (ABORT, FAIL, ROLLBACK), skip it (IGNORE) or store it all the
// same (REPLACE: a Null takes the column's default, a repeated value
// replaces the row that held it). Where a trigger could do anything, or a
// table constraint names its own clause, nothing is known and the check
// promises no such refusal, which the run might not make.
struct ConflictRules {
  bool known = true;
  std::map<std::string, std::string> on_null;    // upper-cased column -> action
  std::map<std::string, std::string> on_repeat;  // upper-cased column -> action
  std::string OnNull(const std::string& column) const { return Of(on_null, column); }
  std::string OnRepeat(const std::string& column) const { return Of(on_repeat, column); }

 private:
  static std::string Of(const std::map<std::string, std::string>& m, const std::string& c) {
    const auto it = m.find(Upper(c));
    return it == m.end() ? "ABORT" : it->second;
  }
};

// The column definitions and table constraints of a CREATE TABLE statement,
// split at the commas outside parentheses and quotes.
std::vector<std::string> Definitions(const std::string& sql) {
  std::vector<std::string> parts;
  const std::size_t open = sql.find('(');
  if (open == std::string::npos) return parts;
  int depth = 0;
  char quote = 0;
  std::string part;
  for (std::size_t k = open + 1; k < sql.size(); ++k) {
    const char ch = sql[k];
    if (quote) {
      if (ch == quote) quote = 0;
    } else if (ch == '"' || ch == '\'' || ch == '`') {
      quote = ch;
    } else if (ch == '[') {
      quote = ']';
    } else if (ch == '(') {
      ++depth;
    } else if (ch == ')' && depth-- == 0) {
      break;
    } else if (ch == ',' && depth == 0) {
      parts.push_back(part);
      part.clear();
      continue;
    }
    part += ch;
  }
  parts.push_back(part);
  return parts;
}

ConflictRules ConflictRulesOf(db::Database& db, const std::string& table) {
  ConflictRules rules;
  db::Recordset rs = db.OpenRecordset(
      "select type, sql from sqlite_master where upper(tbl_name) = upper(?) and "
      "type in ('table', 'trigger')",
      {Value{table}});
  for (; !rs.Eof(); rs.MoveNext()) {
    if (ToText(rs.Get(0)) == "trigger") rules.known = false;  // RAISE(IGNORE) skips rows
    if (ToText(rs.Get(0)) != "table") continue;
    for (const std::string& definition : Definitions(ToText(rs.Get(1)))) {
      const std::string text = Upper(definition);
      const std::size_t start = text.find_first_not_of(" \t\r\n");
      if (start == std::string::npos) continue;
      // The column's name, unquoted.
      std::string name;
      std::size_t end;
      const char first = definition[start];
      if (first == '"' || first == '`' || first == '[') {
        const char close = first == '[' ? ']' : first;
        end = definition.find(close, start + 1);
        name = definition.substr(start + 1, end == std::string::npos ? end : end - start - 1);
        end = end == std::string::npos ? text.size() : end + 1;
      } else {
        end = text.find_first_of(" \t\r\n(", start);
        if (end == std::string::npos) end = text.size();
        name = definition.substr(start, end - start);
      }
      const std::string word = Upper(name);
      const bool table_constraint = first != '"' && first != '`' && first != '[' &&
                                    (word == "CONSTRAINT" || word == "PRIMARY" ||
                                     word == "UNIQUE" || word == "CHECK" || word == "FOREIGN");
      // Each ON CONFLICT belongs to the constraint named last before it.
      for (std::size_t at = text.find("CONFLICT", end); at != std::string::npos;
           at = text.find("CONFLICT", at + 1)) {
        const std::size_t from = text.find_first_not_of(" \t\r\n", at + 8);
        const std::size_t to = text.find_first_of(" \t\r\n,)", from);
        const std::string action =
            from == std::string::npos ? ""
                                      : text.substr(from, to == std::string::npos ? to : to - from);
        if (action == "ABORT" || action == "FAIL" || action == "ROLLBACK") continue;
        if (table_constraint) {
          rules.known = false;
          continue;
        }
        // Positions counted from 1, 0 for none.
        auto last = [&](const char* keyword) {
          const std::size_t k = text.rfind(keyword, at);
          return k == std::string::npos ? std::size_t{0} : k + 1;
        };
        const std::size_t null_pos = last("NULL");
        const std::size_t unique_at = std::max(last("UNIQUE"), last("PRIMARY"));
        if (null_pos == 0 && unique_at == 0) {
          rules.known = false;  // a clause the check does not place
        } else if (null_pos > unique_at) {
          rules.on_null[word] = action;
        } else {
          rules.on_repeat[word] = action;
        }
      }
    }
  }
  return rules;
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

  // Fields the tables lack fail at the first old row, with the error that
  // the copy's first look-up of the field on the same recordset raises.
  bool unresolved = false;
  auto look_up = [&](const db::Recordset& rs, const std::string& field) {
    unresolved = true;
    try {
      rs.FieldIndex(field);
    } catch (const Error& e) {
      problem(field, "missing", std::nullopt, e.description(), e.number(), false);
    }
  };
  auto resolve = [&](const FieldMove& m) {
    if (m.kind == MoveKind::kCopied && m.source_index < 0) look_up(old_table, m.source);
    if (m.destination_index < 0) look_up(opened.new_table, m.destination);
  };
  // Mode G edits the first new row before it reads a field.
  const bool in_order = plan.kind == PlanKind::kCopy && plan.mode == CopyMode::kG;
  auto no_new_row = [&] {
    problem(plan.moves.empty() ? "" : plan.moves.front().destination, "rows", std::nullopt,
            db::NoCurrentRecord(opened.new_table.What(), new_db_.path()).description(),
            err::kNoCurrentRecord, false);
  };
  if (in_order && new_count == 0) {
    no_new_row();
    return;
  }
  for (const FieldMove& m : plan.moves) resolve(m);
  if (unresolved) return;
  // Mode D's second pass looks its fields up once the first has stored every row.
  bool fill_resolved = true;
  for (const FieldMove& m : plan.fill) {
    if ((m.kind == MoveKind::kCopied && m.source_index < 0) || m.destination_index < 0) {
      fill_resolved = false;
    }
  }

  // Each refusal below is built by the function that words it for the run
  // (refusals.h, table_copy.h, exccs_copy.h), from what the run would pass.
  const std::string in_file = db::InFile(new_db_.path());
  // The table as the schema names it, as the engine's refusals name it.
  const std::string& new_name = opened.new_table.source();
  auto refused = [&](const std::string& field, const std::string& kind,
                     std::optional<std::string> value, const Error& e, bool old_row) {
    problem(field, kind, std::move(value), e.description(), e.number(), old_row);
  };

  const std::vector<db::ColumnDef> columns = new_db_.Columns(plan.new_table);
  const ConflictRules conflicts = ConflictRulesOf(new_db_, new_name);
  const bool refuses = conflicts.known;
  // The stores of a row as the copy makes them: the row as first stored (the
  // moves) and, in mode D, as the second pass edits it (the fill), after the
  // first pass has stored every row. A field that two mapping rows write
  // stores the value written last; a store converts its fields in column
  // order, and then the engine checks NOT NULL before UNIQUE. So the problems
  // are found in the order in which the run would meet them.
  struct Target {
    const FieldMove* move;
    const db::ColumnDef* column;
    db::ColumnType type;
    std::set<std::string> seen;  // values of a unique column
  };
  auto store_of = [&](const std::vector<FieldMove>& moves) {
    std::map<int, const FieldMove*> last;  // destination column -> its last move
    for (const FieldMove& m : moves) last[m.destination_index] = &m;
    std::vector<Target> store;
    for (const auto& [index, m] : last) {
      const db::ColumnDef& c = columns.at(static_cast<std::size_t>(index));
      store.push_back({m, &c, db::ParseDeclaredType(c.declared_type), {}});
      if (c.unique && appends) {
        db::Recordset rows = new_db_.OpenRecordset("select " + QuoteName(c.name) + " from " +
                                                   QuoteName(plan.new_table));
        for (; !rows.Eof(); rows.MoveNext()) {
          const Value v = rows.Get(0);
          if (!IsNull(v)) store.back().seen.insert(ToText(v));
        }
      }
    }
    return store;
  };
  std::vector<Target> first_store = store_of(plan.moves);
  std::vector<Target> second_store = fill_resolved ? store_of(plan.fill) : std::vector<Target>();

  if (appends) {
    std::set<std::string> first_pass;  // the fields of the rows as first stored
    std::vector<int> first_fields;
    for (const FieldMove& m : plan.moves) {
      first_pass.insert(Upper(m.destination));
      first_fields.push_back(m.destination_index);
    }
    for (const db::ColumnDef& c : columns) {
      // Mode D's first pass stores its rows without the fields of the second.
      if (refuses && c.not_null && !c.has_default && !c.rowid_alias &&
          conflicts.OnNull(c.name) != "IGNORE" && !first_pass.count(Upper(c.name)) &&
          !db::ParseDeclaredType(c.declared_type).counter) {
        refused(c.name, "null", std::nullopt, db::NullRefused(new_name, c.name, in_file), false);
      }
      if (!c.default_usable && !first_pass.count(Upper(c.name))) {
        // The statement that stores the first row refuses the default.
        try {
          opened.new_table.PrepareAdd(first_fields);
        } catch (const Error& e) {
          refused(c.name, "default", std::nullopt, e, false);
        }
      }
    }
  }

  // EXCCS: the rows of each category, followed through the edits of CAT as
  // the copy follows them; where the copy could not use them (a trigger on
  // EXCCS, a category that is no text) the check promises no missing row.
  std::optional<CategoryIndex> categories;
  std::optional<Value> category_written;  // the converted CAT an edit stores
  const Target* category_target = nullptr;
  bool category_edited = false;  // an edit outside the index has written CAT
  if (plan.kind == PlanKind::kExccs) {
    const std::string rowid = new_db_.RowidName("EXCCS");
    if (!rowid.empty()) categories.emplace(new_db_, rowid);
    if (categories && !categories->usable()) categories.reset();
    for (const Target& t : first_store) {
      if (Upper(t.column->name) == "CAT") category_target = &t;
    }
  }

  // Checks one store of the current old row (`row_number` from 1).
  auto check_store = [&](std::vector<Target>& store, long row_number) {
    // Running numbers are made as the row is filled, before it is stored.
    bool overflow = false;
    for (Target& t : store) {
      if (t.move->kind == MoveKind::kNumbered && row_number > kLargestNumber) {
        refused(t.move->destination, "overflow", std::to_string(row_number),
                NumberingOverflow(plan.new_table, new_db_.path()), true);
        overflow = true;
      }
    }
    if (overflow) return;
    std::vector<std::pair<Target*, Value>> stored;
    for (Target& t : store) {
      const FieldMove& m = *t.move;
      Value v;
      if (m.kind == MoveKind::kNumbered) {
        v = std::int64_t{row_number};
      } else if (m.kind == MoveKind::kCustomer) {
        continue;
      } else {
        v = old_table.Get(m.source_index);
      }
      try {
        stored.emplace_back(&t, db::ConvertForColumn(v, t.type, new_name, t.column->name));
        if (&t == category_target) category_written = stored.back().second;
      } catch (const Error& e) {
        refused(m.destination, "convert", ValueText(v), db::RefusedIn(e, new_db_.path()), true);
      }
    }
    if (!refuses) return;
    // NOT NULL in column order: IGNORE skips the row, REPLACE stores the
    // column's default (and refuses like ABORT where it has none).
    for (auto& [t, converted] : stored) {
      if (!IsNull(converted) || !t->column->not_null || t->column->rowid_alias) continue;
      const std::string action = conflicts.OnNull(t->column->name);
      if (action == "IGNORE") return;
      if (action == "REPLACE" && t->column->has_default) continue;
      refused(t->move->destination, "null", std::nullopt,
              db::NullRefused(new_name, t->column->name, in_file), true);
    }
    if (!appends) return;
    // Then UNIQUE: IGNORE skips the row, REPLACE drops the row that held the
    // value; a row that is stored adds its values.
    for (auto& [t, converted] : stored) {
      if (IsNull(converted) || !t->column->unique || !t->seen.count(ToText(converted))) continue;
      const std::string action = conflicts.OnRepeat(t->column->name);
      if (action == "IGNORE") return;
      if (action == "REPLACE") continue;
      refused(t->move->destination, "duplicate", ToText(converted),
              db::DuplicateRefused(new_name, db::ColumnIs(t->column->name, converted), in_file),
              true);
    }
    for (auto& [t, converted] : stored) {
      if (!IsNull(converted) && t->column->unique) t->seen.insert(ToText(converted));
    }
  };

  for (int pass = 0; pass < (plan.fill.empty() ? 1 : 2); ++pass) {
    if (pass == 1 && !fill_resolved) {
      for (const FieldMove& m : plan.fill) resolve(m);
      break;
    }
    long row_number = 0;
    for (old_table.MoveFirst(); !old_table.Eof(); old_table.MoveNext()) {
      // A stop asked for ends the check between rows, as it ends a run.
      RunFrame::ThrowIfStopRequested();
      ++row_number;
      if (pass == 1) {
        check_store(second_store, row_number);
        continue;
      }
      // Mode G edits the n-th new row for the n-th old row.
      if (in_order && row_number > new_count) no_new_row();
      std::optional<std::int64_t> category_row;
      if (plan.kind == PlanKind::kExccs) {
        const Value as_stored = old_table.Get("CAT");
        // A Null category reads as the empty text.
        const Value cat = IsNull(as_stored) ? Value(std::string()) : as_stored;
        const auto* text = std::get_if<std::string>(&cat);
        std::optional<bool> missing;
        if (categories && text) {
          category_row = categories->Find(*text);
          missing = !category_row;
        } else if (!category_edited) {
          // The copy asks the query for this row (and from now on, when an
          // edit writes CAT); while no edit has changed a category, the new
          // table answers as it would.
          missing = new_db_.OpenRecordset("select CAT from EXCCS where CAT = ?", {cat}).Eof();
          if (category_target) categories.reset();
        }
        if (missing.value_or(false)) {
          refused("CAT", "category", ValueText(as_stored),
                  NoCategoryRow(new_db_.path(), cat, old_table.source(), old_db_.path()), true);
        }
        if (missing == false && category_target) category_edited = !categories;
      }
      category_written.reset();
      check_store(first_store, row_number);
      // The edit of a row that writes CAT moves the row to the category stored.
      if (categories && category_row && category_written) {
        categories->Follow(*category_row, *category_written);
        if (!categories->usable()) categories.reset();
      }
    }
  }
  old_table.MoveFirst();
}

}  // namespace relamor
