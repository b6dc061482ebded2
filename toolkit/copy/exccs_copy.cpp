// The EXCCS category copy: the new database ships EXCCS already filled, one
// row per category CAT, and each old row overwrites the mapped fields of the
// first new row of its category (in rowid order) instead of being appended.
//
// Row by row, that row is the one a query per old row finds ("select * from
// EXCCS where CAT = ? order by rowid", text compared without letter case),
// but that query scans EXCCS, which makes the copy quadratic. So the
// categories of the new EXCCS are read once into an index (category as
// NoCaseKey folds it -> the rowids holding it, in order, so an index on CAT
// cannot change which row is first) and the row is opened by its rowid.
// When an edit writes CAT (a Null category writes Null into the empty
// category's row; a mapping may take CAT from another field), the index
// reads back what was stored and follows it. The query runs instead only for
// an old category that is neither a text nor Null, for a new category that
// is not a text, and when a trigger on EXCCS could change categories.
//
// Set-based, the whole table goes first through db::UpdateByCategory: the
// last old row of each category decides its row, so one UPDATE per category
// stores what the edits would, once a read of every old row has proved that
// each edit would succeed; if it cannot prove that it stores nothing and the
// edits below run (and raise the error at the row that fails).
#include "toolkit/copy/exccs_copy.h"

#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

#include "toolkit/db/bulk_append.h"
#include "toolkit/error.h"
#include "toolkit/text.h"

namespace relamor {

CategoryIndex::CategoryIndex(db::Database& new_db, const std::string& rowid) {
  db::Recordset triggers = new_db.OpenRecordset(
      "select name from sqlite_master where type = 'trigger' and tbl_name = 'EXCCS'");
  if (!triggers.Eof()) {
    usable_ = false;
    return;
  }
  db::Recordset rows =
      new_db.OpenRecordset("select " + rowid + ", CAT from EXCCS order by " + rowid);
  while (!rows.Eof()) {
    const Value id = rows.Get(0);
    const auto* number = std::get_if<std::int64_t>(&id);
    if (!number) {
      usable_ = false;
      return;
    }
    Follow(*number, rows.Get(1));
    if (!usable_) return;
    rows.MoveNext();
  }
}

void CategoryIndex::Follow(std::int64_t rowid, const Value& stored) {
  if (const auto old = key_of_.find(rowid); old != key_of_.end()) {
    rows_[old->second].erase(rowid);
    key_of_.erase(old);
  }
  if (IsNull(stored)) return;
  const auto* text = std::get_if<std::string>(&stored);
  if (!text) {
    usable_ = false;
    return;
  }
  std::string key = NoCaseKey(*text);
  rows_[key].insert(rowid);
  key_of_.emplace(rowid, std::move(key));
}

namespace {

// `rowid` names the real rowid of EXCCS (the first row of a category is the
// first in rowid order, even when a column is named rowid, oid or _rowid_);
// empty when columns hide all three names, and the rows then come in the
// table's scan order.
void UpdateRow(const TablePlan& plan, TableCopyIo& io, const std::string& rowid,
               CategoryIndex* index, bool writes_category) {
  db::Recordset& old_rows = io.old_table;
  Value category = old_rows.Get("CAT");
  // A Null category reads as the empty text: it matches only an empty CAT.
  if (IsNull(category)) category = std::string();
  db::Recordset match;
  std::optional<std::int64_t> found;
  const auto* text = std::get_if<std::string>(&category);
  if (index && index->usable() && text) {
    if ((found = index->Find(*text))) {
      match = io.new_db.OpenRecordset("select * from EXCCS where " + rowid + " = ?",
                                      {Value{*found}});
    }
  } else {
    match = io.new_db.OpenRecordset(
        "select * from EXCCS where CAT = ?" + (rowid.empty() ? "" : " order by " + rowid),
        {category});
    // The row found is not known by its rowid: the index cannot follow an
    // edit of its category.
    if (index && writes_category) index->Invalidate();
  }
  if (!match.is_open() || match.Eof()) {
    throw NoCategoryRow(io.new_db.path(), category, old_rows.source(), io.old_db.path());
  }
  match.Edit();
  for (const FieldMove& m : plan.moves) {
    Value v = old_rows.Get(m.source);
    match.Set(m.destination, std::move(v));
  }
  match.Update();
  if (index && index->usable() && writes_category && found) {
    // What the edit stored (converted for the column), as the query would see it.
    db::Recordset stored = io.new_db.OpenRecordset(
        "select CAT from EXCCS where " + rowid + " = ?", {Value{*found}});
    index->Follow(*found, stored.Eof() ? Value{} : stored.Get(0));
  }
  old_rows.MoveNext();
}

}  // namespace

Error NoCategoryRow(const std::string& new_path, const Value& category,
                    const std::string& old_table, const std::string& old_path) {
  return Error(err::kNoCurrentRecord,
               "No current record: table EXCCS in " + new_path + " has no row of category " +
                   Describe(IsNull(category) ? Value(std::string()) : category) + " (old table " +
                   old_table + " in " + old_path + ")");
}

long CopyExccsByCategory(const TablePlan& plan, TableCopyIo& io) {
  db::Recordset& old_rows = io.old_table;
  if (old_rows.Eof()) return 0;
  bool category_rewritten = false;
  for (const FieldMove& m : plan.moves) {
    if (Upper(m.destination) == "CAT" && Upper(m.source) != "CAT") category_rewritten = true;
  }
  // The whole table in one pass when that provably stores what the edits
  // below would; otherwise, having stored nothing, they decide.
  const std::optional<long> stored =
      TryShortcut(io.strategy, io.shortcuts, "UpdateByCategory", [&]() -> Shortcut<long> {
        if (category_rewritten) return Decline("CAT is written from another field");
        std::vector<db::AppendColumn> columns;
        for (const FieldMove& m : plan.moves) columns.push_back({m.destination, m.source, false});
        return db::UpdateByCategory(io.new_db, io.old_db, old_rows.source(), "EXCCS", "CAT",
                                    columns);
      });
  if (stored) {
    // One edit per old row: the statement has counted the old table.
    if (io.old_rows_known) io.old_rows_known(*stored);
    return *stored;
  }
  if (io.old_rows_known) io.old_rows_known(std::nullopt);
  // Under either strategy: the index finds the rows the query would, and a
  // query per row would make the copy quadratic in the categories.
  const std::string rowid = io.new_db.RowidName("EXCCS");
  std::optional<CategoryIndex> index;
  if (!rowid.empty()) index.emplace(io.new_db, rowid);
  if (index && !index->usable()) index.reset();
  bool writes_category = false;
  for (const FieldMove& m : plan.moves) {
    if (Upper(m.destination) == "CAT") writes_category = true;
  }
  long edited = 0;
  while (!old_rows.Eof()) {
    UpdateRow(plan, io, rowid, index ? &*index : nullptr, writes_category);
    ++edited;
  }
  return edited;
}

}  // namespace relamor
