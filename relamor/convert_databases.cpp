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
    old_db_.HoldReadTransaction();
    new_db_.HoldReadTransaction();

    if (IsSiteDatabasePass() && site_plan_.complete) {
      frame_.Log({" Tables to be copied are " + std::to_string(site_plan_.count)});
      for (const PlannedTable& planned : site_plan_.tables) CopyPlannedTable(planned);
    } else {
      std::vector<PlannedTable>* keep = IsSiteDatabasePass() ? &site_plan_.tables : nullptr;
      long count = 0;
      db::Recordset plan = OpenReleaseNumberAndPlan(count);
      while (!plan.Eof()) {
        PlannedTable planned{plan.Get("sno"), {}};
        planned.mapping_rows = OpenMappingRows(planned.sno);
        if (!planned.mapping_rows.empty()) {
          CopyPlannedTable(planned);
          if (keep) keep->push_back(std::move(planned));
        }
        plan.MoveNext();
      }
      release_number_rs_.Close();
      plan.Close();
      if (keep) {
        site_plan_.count = count;
        site_plan_.complete = true;
      }
    }

    if ((old_release_ == "3.0" || old_release_ == "3.5") && IsSiteDatabasePass() &&
        !frame_.checking()) {
      FixBoardTypes();
    }
    old_db_.Close();
    new_db_.Close();
  }
}

void Relamor::CopyPlannedTable(const PlannedTable& planned) {
  TableRecordsets table;
  table.sno = planned.sno;
  table.mapping_rows = planned.mapping_rows;
  const std::string new_table = table.mapping_rows.front().new_table;
  const std::string old_table = table.mapping_rows.front().old_table;
  const std::string named_by = "sno " + ToText(planned.sno) + " of export";
  frame_.BeginTable(new_table);
  table.new_table = OpenMappedTable(new_db_, new_table, named_by);
  table.old_table = OpenMappedTable(old_db_, old_table, named_by);
  frame_.Log({"Copying table " + new_table});
  db::Recordset& old_rows = table.old_table;
  if (!old_rows.Eof()) {
    old_rows.MoveFirst();
    old_rows.MoveLast();
  }
  // After MoveLast the record count is the old table's row count.
  frame_.TableOpened(old_db_, old_table, new_db_, old_rows.RecordCount());
  frame_.Log({"Number of records in " + old_table, " are ", old_rows.RecordCount()});
  if (old_rows.RecordCount() > 0) old_rows.MoveFirst();
  ConvertTable(table);
  frame_.EndTable();
}

}  // namespace relamor
