// The EXCCS category copy, the part of the table executors (table_copy.h)
// that carries out a plan of kind kExccs.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <unordered_map>

#include "toolkit/copy/table_copy.h"
#include "toolkit/copy/table_plan.h"
#include "toolkit/text.h"

namespace relamor {

// The first row of each category of the new EXCCS (in rowid order, compared
// without letter case as NoCaseKey folds it), read once: the copy finds the
// row an old row edits by it, and the check (preflight.cpp) finds by it the
// old rows whose category has no row, following the same edits.
class CategoryIndex {
 public:
  // Reads the categories of the new EXCCS; usable() is false when a category
  // is not a text, or a trigger could change categories behind the edits
  // (the query decides then).
  // `rowid` is a name of the real rowid that no column hides.
  CategoryIndex(db::Database& new_db, const std::string& rowid);

  bool usable() const { return usable_; }
  // From now on the query decides (an edit has made the index stale).
  void Invalidate() { usable_ = false; }
  // The rowid of the first row of `category`, or nothing when there is none.
  std::optional<std::int64_t> Find(const std::string& category) const {
    const auto it = rows_.find(NoCaseKey(category));
    if (it == rows_.end() || it->second.empty()) return std::nullopt;
    return *it->second.begin();
  }
  // The row `rowid` now holds the category `stored` (read back after an
  // edit that wrote CAT): a text is indexed under it, Null under nothing.
  void Follow(std::int64_t rowid, const Value& stored);

 private:
  bool usable_ = true;
  // Category as NoCaseKey folds it -> the rowids holding it, and back.
  std::unordered_map<std::string, std::set<std::int64_t>> rows_;
  std::unordered_map<std::int64_t, std::string> key_of_;
};

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
