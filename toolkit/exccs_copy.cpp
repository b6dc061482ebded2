// The EXCCS category copy: the new database ships EXCCS already filled, one
// row per category CAT, and each old row overwrites the mapped fields of the
// first new row of its category instead of being appended.
#include "toolkit/conversion.h"
#include "toolkit/db/error.h"

namespace relamor {

void Conversion::UpdateExccsByCategory() {
  Value category = old_table_.Get("CAT");
  // A Null category reads as the empty text: it matches only an empty CAT.
  if (IsNull(category)) category = std::string();
  db::Recordset match =
      new_db_.OpenRecordset("select * from EXCCS where CAT = ?", {category});
  if (match.Eof()) {
    throw Error(err::kNoCurrentRecord,
                "No current record: table EXCCS in " + new_db_.file_name() +
                    " has no row of category " + Describe(category) + " (old table " +
                    ToText(mapping_rows_.Get("oldtablename")) + " in " + old_db_.file_name() +
                    ")");
  }
  match.Edit();
  mapping_rows_.MoveFirst();
  while (!mapping_rows_.Eof()) {
    const std::string to = TextBeforeBracket(ToText(mapping_rows_.Get("newdbfieldname")));
    const std::string from = TextBeforeBracket(ToText(mapping_rows_.Get("olddbfieldname")));
    match.Set(to, old_table_.Get(from));
    mapping_rows_.MoveNext();
  }
  match.Update();
  old_table_.MoveNext();
  mapping_rows_.MoveFirst();
}

}  // namespace relamor
