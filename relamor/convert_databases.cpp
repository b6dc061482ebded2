// The table loop of relamor: every database pair of SiteDatabaseNames, qorsite
// first, every planned table, with the per-database and per-table log lines.
#include <string>
#include <utility>

#include "relamor/relamor.h"
#include "toolkit/text.h"

namespace relamor {

void Relamor::ConvertDatabases() {
  db::Engine& engine = frame_.engine();
  for (std::size_t i = 0; i < SiteDatabaseNames.size(); ++i) {
    current_database_ = i;
    frame_.BeginDatabase(i, SiteDatabaseNames.size(), SiteDatabaseNames[i]);
    const std::string file = SiteDatabaseNames[i] + ".mdb";
    old_db_ = engine.OpenDatabase(frame_.old_dir() + file, db::OpenMode::kReadOnly);
    frame_.Log({"Opened Old database" + file});
    new_db_ = engine.OpenDatabase(frame_.new_dir() + file);
    frame_.Log({"Opened New database" + file});

    db::Recordset plan = OpenReleaseNumberAndPlan();
    while (!plan.Eof()) {
      const Value sno = plan.Get("sno");
      db::Recordset mapping_rows = OpenMappingRows(sno);
      if (!mapping_rows.Eof()) CopyPlannedTable(sno, std::move(mapping_rows));
      plan.MoveNext();
    }
    release_number_rs_.Close();
    plan.Close();

    if ((old_release_ == "3.0" || old_release_ == "3.5") && IsSiteDatabasePass() &&
        !frame_.checking()) {
      FixBoardTypes();
    }
    old_db_.Close();
    new_db_.Close();
  }
}

void Relamor::CopyPlannedTable(const Value& sno, db::Recordset mapping_rows) {
  TableRecordsets table;
  table.mapping_rows = std::move(mapping_rows);
  table.mapping_rows.MoveFirst();
  const std::string new_table = ToText(table.mapping_rows.Get("newtablename"));
  const std::string old_table = ToText(table.mapping_rows.Get("oldtablename"));
  const std::string named_by = "sno " + ToText(sno) + " of export";
  frame_.BeginTable(new_table);
  table.new_table = OpenMappedTable(new_db_, new_table, named_by);
  table.old_table = OpenMappedTable(old_db_, old_table, named_by);
  frame_.TableOpened(old_db_, old_table, new_db_);
  frame_.Log({"Copying table " + new_table});
  db::Recordset& old_rows = table.old_table;
  if (!old_rows.Eof()) {
    old_rows.MoveFirst();
    old_rows.MoveLast();
  }
  frame_.Log({"Number of records in " + old_table, " are ", old_rows.RecordCount()});
  if (old_rows.RecordCount() > 0) old_rows.MoveFirst();
  ConvertTable(table);
  frame_.EndTable();
}

}  // namespace relamor
