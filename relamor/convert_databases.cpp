// The table loop of relamor: every database pair of SiteDatabaseNames, qorsite
// first, every planned table, with the per-database and per-table log lines.
#include <string>

#include "relamor/relamor.h"
#include "toolkit/text.h"

namespace relamor {

void Relamor::ConvertDatabases() {
  db::Engine& engine = frame_.engine();
  for (std::size_t i = 0; i < SiteDatabaseNames.size(); ++i) {
    current_database_ = i;
    const std::string file = SiteDatabaseNames[i] + ".mdb";
    old_db_ = engine.OpenDatabase(frame_.old_dir() + file, db::OpenMode::kReadOnly);
    frame_.Log({"Opened Old database" + file});
    new_db_ = engine.OpenDatabase(frame_.new_dir() + file);
    frame_.Log({"Opened New database" + file});

    OpenReleaseNumberAndPlan();
    while (!plan_.Eof()) {
      OpenMappingRows();
      if (mapping_count_ > 0) CopyPlannedTable();
      plan_.MoveNext();
    }
    release_number_rs_.Close();
    plan_.Close();

    if ((old_release_ == "3.0" || old_release_ == "3.5") && IsSiteDatabasePass()) {
      FixBoardTypes();
    }
    mapping_rows_.Close();
    old_table_.Close();
    new_table_.Close();
    old_db_.Close();
    new_db_.Close();
  }
}

// Opens the old and the new table of the plan row, logs them, completes the
// old table's count and copies it.
void Relamor::CopyPlannedTable() {
  mapping_rows_.MoveFirst();
  const std::string new_table = ToText(mapping_rows_.Get("newtablename"));
  const std::string old_table = ToText(mapping_rows_.Get("oldtablename"));
  const std::string named_by = "sno " + ToText(plan_.Get("sno")) + " of export";
  new_table_ = OpenMappedTable(new_db_, new_table, named_by);
  old_table_ = OpenMappedTable(old_db_, old_table, named_by);
  frame_.Log({"Copying table " + new_table});
  if (!old_table_.Eof()) {
    old_table_.MoveFirst();
    old_table_.MoveLast();
  }
  frame_.Log({"Number of records in " + old_table, " are ", old_table_.RecordCount()});
  if (old_table_.RecordCount() > 0) old_table_.MoveFirst();
  ConvertCurrentTable();
}

}  // namespace relamor
