// The EXCCS category copy: the new database ships EXCCS already filled, one
// row per category CAT, and each old row overwrites the mapped fields of the
// first new row of its category instead of being appended.
//
// Finding that row is a query per old row ("select * from EXCCS where CAT =
// ?", text compared without letter case), which scans EXCCS. For a whole
// table the copy first reads the categories of the new EXCCS once into an
// index (category folded to lower case -> first rowid) and opens the row by
// its rowid. The index answers exactly as the query would as long as the
// categories are texts and the copy does not rewrite CAT from another field;
// otherwise, or for a category that is not a text, the query runs.
#include <optional>
#include <unordered_map>

#include "toolkit/conversion.h"
#include "toolkit/error.h"
#include "toolkit/text.h"

namespace relamor {

class Conversion::CategoryIndex {
 public:
  // Reads the categories of the new EXCCS; usable() is false when a category
  // is not a text (the query decides then).
  explicit CategoryIndex(db::Database& new_db) {
    db::Recordset rows = new_db.OpenRecordset("select rowid, CAT from EXCCS");
    while (!rows.Eof()) {
      const Value category = rows.Get(1);
      if (!IsNull(category)) {
        const auto* text = std::get_if<std::string>(&category);
        if (!text) {
          usable_ = false;
          return;
        }
        first_.try_emplace(Lower(*text), std::get<std::int64_t>(rows.Get(0)));
      }
      rows.MoveNext();
    }
  }

  bool usable() const { return usable_; }
  // From now on the query decides (an edit has made the index stale).
  void Invalidate() { usable_ = false; }
  // The rowid of the first row of `category`, or 0 when there is none.
  std::int64_t Find(const std::string& category) const {
    const auto it = first_.find(Lower(category));
    return it == first_.end() ? 0 : it->second;
  }

 private:
  bool usable_ = true;
  std::unordered_map<std::string, std::int64_t> first_;
};

void Conversion::UpdateExccsByCategory() {
  std::vector<FieldPair> fields;
  mapping_rows_.MoveFirst();
  while (!mapping_rows_.Eof()) {
    fields.push_back({TextBeforeBracket(ToText(mapping_rows_.Get("newdbfieldname"))),
                      TextBeforeBracket(ToText(mapping_rows_.Get("olddbfieldname")))});
    mapping_rows_.MoveNext();
  }
  mapping_rows_.MoveFirst();
  UpdateExccsRow(fields, nullptr);
}

void Conversion::UpdateExccsTable(const std::vector<FieldPair>& fields) {
  if (old_table_.Eof()) return;
  bool category_rewritten = false;
  for (const FieldPair& f : fields) {
    if (Upper(f.to) == "CAT" && Upper(f.from) != "CAT") category_rewritten = true;
  }
  std::optional<CategoryIndex> index;
  if (!category_rewritten) {
    index.emplace(new_db_);
    if (!index->usable()) index.reset();
  }
  while (!old_table_.Eof()) UpdateExccsRow(fields, index ? &*index : nullptr);
}

void Conversion::UpdateExccsRow(const std::vector<FieldPair>& fields, CategoryIndex* index) {
  Value category = old_table_.Get("CAT");
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
    if (const std::int64_t rowid = index->Find(*text)) {
      match = new_db_.OpenRecordset("select * from EXCCS where rowid = ?", {Value{rowid}});
    }
  } else {
    match = new_db_.OpenRecordset("select * from EXCCS where CAT = ?", {category});
  }
  if (!match.is_open() || match.Eof()) {
    throw Error(err::kNoCurrentRecord,
                "No current record: table EXCCS in " + new_db_.path() +
                    " has no row of category " + Describe(category) + " (old table " +
                    old_table_.source() + " in " + old_db_.path() + ")");
  }
  match.Edit();
  for (const FieldPair& f : fields) match.Set(f.to, old_table_.Get(f.from));
  match.Update();
  old_table_.MoveNext();
}

}  // namespace relamor
