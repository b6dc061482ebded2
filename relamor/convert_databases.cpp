// The table loop of relamor: every database pair of SiteDatabaseNames, qorsite
// first, every planned table, with the per-database and per-table log lines.
#include <memory>
#include <string>
#include <utility>

#include "relamor/relamor.h"
#include "toolkit/text.h"

namespace relamor {

void Relamor::ConvertDatabases() { ConvertPasses(); }

// A worker's copy: the releases, the site list and what the first site pass
// read (the plan, the board names of qorstat.mdb).
std::unique_ptr<Conversion> Relamor::NewWorker(RunFrame& worker_frame) const {
  auto worker = std::make_unique<Relamor>(worker_frame);
  CopyRunStateTo(*worker);
  worker->old_release_ = old_release_;
  worker->current_release_ = current_release_;
  worker->site_database_count_ = site_database_count_;
  worker->site_plan_ = site_plan_;
  worker->board_names_ = board_names_;
  return worker;
}

void Relamor::ConvertPass(std::size_t i) {
  db::Engine& engine = frame_.engine();
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
    // The whole plan and its mapping rows are read before the first table
    // is copied, from an indexed copy of the mapping, so that planning
    // takes n log n in the mapping's rows (a scan per table would make it
    // quadratic).
    new_db_.UseIndexedCopy("export", {{"sno"}, {"oldtablename", "newtablename"}});
    std::vector<PlannedTable> tables;
    long count = 0;
    {
      db::Recordset plan = OpenReleaseNumberAndPlan(count);
      while (!plan.Eof()) {
        PlannedTable planned{plan.Get("sno"), {}};
        planned.mapping_rows = OpenMappingRows(planned.sno);
        if (!planned.mapping_rows.empty()) tables.push_back(std::move(planned));
        plan.MoveNext();
      }
      release_number_rs_.Close();
      plan.Close();
    }
    new_db_.EndIndexedCopy("export");
    for (const PlannedTable& planned : tables) CopyPlannedTable(planned);
    if (IsSiteDatabasePass()) {
      site_plan_.tables = std::move(tables);
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
  frame_.TableOpened(new_db_);
  ConvertTable(table);
  frame_.EndTable();
}

// The old table's count line. The copy makes it known before it logs, reads
// row by row or fails; a set-based append knows the count from its
// statement, so the old table is not read a second time to count it.
void Relamor::OldRowsKnown(TableRecordsets& table, std::optional<long long> rows) {
  db::Recordset& old_rows = table.old_table;
  if (!rows) {
    // Walking to the last record completes the record count.
    if (!old_rows.Eof()) {
      old_rows.MoveFirst();
      old_rows.MoveLast();
    }
    rows = old_rows.RecordCount();
    if (*rows > 0) old_rows.MoveFirst();
  }
  frame_.OldRowsKnown(old_db_, old_rows.source(), rows);
  frame_.Log({"Number of records in " + table.mapping_rows.front().old_table, " are ", *rows});
}

}  // namespace relamor
