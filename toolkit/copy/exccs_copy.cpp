// The EXCCS category copy: the new database ships EXCCS already filled, one
// row per category CAT, and each old row overwrites the mapped fields of the
// first new row of its category (in rowid order) instead of being appended.
//
// Row by row, that row is found by a query per old row ("select * from EXCCS
// where CAT = ? order by rowid", text compared without letter case), which
// scans EXCCS. Read once, the categories of the new EXCCS go into an index
// (category as NoCaseKey folds it -> first rowid, read in rowid order so an
// index on CAT cannot change which row is first) and the row is opened by its
// rowid. The index answers exactly as the query would as long as the
// categories are texts and the copy does not rewrite CAT from another field;
// otherwise, or for a category that is not a text, the query runs.
//
// Set-based, the whole table goes first through db::UpdateByCategory: the
// last old row of each category decides its row, so one UPDATE per category
// stores what the edits would, once a read of every old row has proved that
// each edit would succeed; if it cannot prove that it stores nothing and the
// edits below run (and raise the error at the row that fails).
#include "toolkit/copy/exccs_copy.h"

#include <optional>
#include <unordered_map>
#include <vector>

#include "toolkit/db/bulk_append.h"
#include "toolkit/error.h"
#include "toolkit/text.h"

namespace relamor {

namespace {

class CategoryIndex {
 public:
  // Reads the categories of the new EXCCS; usable() is false when a category
  // is not a text (the query decides then).
  // `rowid` is a name of the real rowid that no column hides.
  CategoryIndex(db::Database& new_db, const std::string& rowid) {
    db::Recordset rows = new_db.OpenRecordset("select " + rowid + ", CAT from EXCCS order by " +
                                              rowid);
    while (!rows.Eof()) {
      const Value category = rows.Get(1);
      if (!IsNull(category)) {
        const auto* text = std::get_if<std::string>(&category);
        const Value id = rows.Get(0);
        const auto* number = std::get_if<std::int64_t>(&id);
        if (!text || !number) {
          usable_ = false;
          return;
        }
        first_.try_emplace(NoCaseKey(*text), *number);
      }
      rows.MoveNext();
    }
  }

  bool usable() const { return usable_; }
  // From now on the query decides (an edit has made the index stale).
  void Invalidate() { usable_ = false; }
  // The rowid of the first row of `category`, or nothing when there is none.
  std::optional<std::int64_t> Find(const std::string& category) const {
    const auto it = first_.find(NoCaseKey(category));
    if (it == first_.end()) return std::nullopt;
    return it->second;
  }

 private:
  bool usable_ = true;
  std::unordered_map<std::string, std::int64_t> first_;
};

// `rowid` names the real rowid of EXCCS (the first row of a category is the
// first in rowid order, even when a column is named rowid, oid or _rowid_);
// empty when columns hide all three names, and the rows then come in the
// table's scan order.
void UpdateRow(const TablePlan& plan, TableCopyIo& io, const std::string& rowid,
               CategoryIndex* index) {
  db::Recordset& old_rows = io.old_table;
  Value category = old_rows.Get("CAT");
  // A Null category reads as the empty text: it matches only an empty CAT.
  // The edit may then write Null into that CAT, which the index cannot
  // follow, so such a row goes by the query and retires the index.
  if (IsNull(category)) {
    category = std::string();
    if (index) index->Invalidate();
  }
  db::Recordset match;
  const auto* text = std::get_if<std::string>(&category);
  if (index && index->usable() && text) {
    if (const std::optional<std::int64_t> first = index->Find(*text)) {
      match = io.new_db.OpenRecordset("select * from EXCCS where " + rowid + " = ?",
                                      {Value{*first}});
    }
  } else {
    match = io.new_db.OpenRecordset(
        "select * from EXCCS where CAT = ?" + (rowid.empty() ? "" : " order by " + rowid),
        {category});
  }
  if (!match.is_open() || match.Eof()) {
    throw Error(err::kNoCurrentRecord,
                NoCategoryRow(io.new_db.path(), category, old_rows.source(), io.old_db.path()));
  }
  match.Edit();
  for (const FieldMove& m : plan.moves) {
    Value v = old_rows.Get(m.source);
    match.Set(m.destination, std::move(v));
  }
  match.Update();
  old_rows.MoveNext();
}

}  // namespace

std::string NoCategoryRow(const std::string& new_path, const Value& category,
                          const std::string& old_table, const std::string& old_path) {
  return "No current record: table EXCCS in " + new_path + " has no row of category " +
         Describe(IsNull(category) ? Value(std::string()) : category) + " (old table " +
         old_table + " in " + old_path + ")";
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
  const bool read_categories_once = TriesShortcuts(io.strategy);
  if (io.old_rows_known) io.old_rows_known(std::nullopt);
  const std::string rowid = io.new_db.RowidName("EXCCS");
  std::optional<CategoryIndex> index;
  if (read_categories_once && !category_rewritten && !rowid.empty()) {
    index.emplace(io.new_db, rowid);
    if (!index->usable()) index.reset();
  }
  long edited = 0;
  while (!old_rows.Eof()) {
    UpdateRow(plan, io, rowid, index ? &*index : nullptr);
    ++edited;
  }
  return edited;
}

}  // namespace relamor
