#include "toolkit/conversion.h"

#include <cstdlib>

#include "toolkit/error.h"
#include "toolkit/text.h"

namespace relamor {

Conversion::Conversion(RunFrame& frame, CopyRules rules)
    : frame_(frame),
      shortcut_log_(frame.report()),
      rules_(rules),
      strategy_(frame.copy_strategy()) {}

Conversion::~Conversion() = default;

db::Recordset Conversion::OpenMappedTable(db::Database& db, const std::string& name,
                                          const std::string& named_by) {
  if (!db.HasTable(name)) {
    throw Error(err::kTableNotFound, "Table not found: '" + name + "' in " + db.path() +
                                         " (named by " + named_by + ")");
  }
  return db.OpenRecordset(name);
}

namespace {

TableColumns ColumnsOfRecordset(const db::Recordset& rs, const db::Database& db) {
  TableColumns t;
  t.name = rs.source();
  t.database = db.path();
  t.exists = true;
  for (int i = 0; i < rs.FieldCount(); ++i) t.columns.push_back(rs.FieldName(i));
  return t;
}

}  // namespace

PlanRules Conversion::CurrentPlanRules() const {
  PlanRules rules;
  rules.copy = rules_;
  rules.site_database = IsSiteDatabasePass();
  return rules;
}

TablePlan Conversion::PlanOf(TableRecordsets& table) const {
  return PlanTable(table.mapping_rows, ColumnsOfRecordset(table.old_table, old_db_),
                   ColumnsOfRecordset(table.new_table, new_db_), CurrentPlanRules());
}

TableCopyIo Conversion::IoFor(TableRecordsets& table) {
  return TableCopyIo{[this](std::initializer_list<LogItem> items) { frame_.Log(items); },
                     old_db_,
                     new_db_,
                     table.old_table,
                     table.new_table,
                     LastCustomerNumber,
                     rules_,
                     [this] { return RenumberCommandIds(); },
                     [this, &table](std::optional<long long> rows) {
                       AnnounceOldRows(table, rows);
                     },
                     shortcut_log_,
                     strategy_};
}

void Conversion::AnnounceOldRows(TableRecordsets& table, std::optional<long long> rows) {
  if (table.old_rows_known) return;
  // Set first: a count that fails is not tried again on the way out.
  table.old_rows_known = true;
  // RELAMOR_TRACE_PATHS, a diagnostic for the benchmark: a table copy (modes
  // A to G, EXCCS) that learns its old rows from its statement stored the
  // table set-based; one that has them counted walks it (or writes nothing).
  // A special writer counts its old rows itself: its line says nothing.
  const RunReport& report = frame_.report();
  if (std::getenv("RELAMOR_TRACE_PATHS") != nullptr && !report.databases().empty() &&
      !report.databases().back().tables.empty()) {
    frame_.TracePath("relamor path: " + report.current_database() + " " +
                     report.current_table() + " " + report.databases().back().tables.back().mode +
                     " " + (rows ? "set-based" : "rows"));
  }
  OldRowsKnown(table, rows);
}

void Conversion::OldRowsKnown(TableRecordsets& table, std::optional<long long> rows) {
  frame_.OldRowsKnown(old_db_, table.old_table.source(), rows);
}

CopyResult Conversion::CarryOut(const TablePlan& plan, TableRecordsets& table) {
  TableCopyIo io = IoFor(table);
  return CopyTable(plan, io);
}

namespace {

long long CountRows(db::Database& db, const std::string& table) {
  const Value v = db.OpenRecordset("select count(*) from " + QuoteName(table)).Get(0);
  const auto* n = std::get_if<std::int64_t>(&v);
  return n ? *n : 0;
}

}  // namespace

// Why a copy whose condition fails on the tables as they stand writes
// nothing; empty when it writes.
std::string Conversion::ConditionFails(const TablePlan& plan, TableRecordsets& table) {
  if (plan.kind != PlanKind::kCopy || plan.condition == Condition::kAlways ||
      table.new_table.Eof()) {
    return "";
  }
  const std::string mode = std::string("mode ") + ModeLetter(plan.mode);
  if (plan.condition == Condition::kNewTableEmpty) {
    return mode + " writes only into an empty table, and the new table '" + plan.new_table +
           "' holds rows";
  }
  const long long old_rows = CountRows(old_db_, plan.old_table);
  const long long new_rows = CountRows(new_db_, plan.new_table);
  if (old_rows == new_rows) return "";
  return mode + " writes only into an empty table or one with as many rows as the old one, and "
         "the new table '" + plan.new_table + "' holds " + std::to_string(new_rows) +
         " rows for " + std::to_string(old_rows) + " old ones";
}

// The run's summary shows the mode, and flags a count difference where the
// mode promises one added row per old row (mode F only when it appends). A
// table left unwritten shows "none" with the reason; a check lists it as a
// warning.
void Conversion::ReportMode(const TablePlan& plan, TableRecordsets& table) {
  std::string unwritten =
      plan.kind == PlanKind::kNothing ? plan.reason : ConditionFails(plan, table);
  if (!unwritten.empty()) {
    frame_.SetTableMode("none", unwritten, false);
    if (frame_.checking()) {
      Problem warning;
      warning.database = frame_.report().current_database();
      warning.table = plan.new_table;
      if (const auto* n = std::get_if<std::int64_t>(&table.sno)) warning.sno = *n;
      warning.message = "nothing is written into table '" + plan.new_table + "': " + unwritten;
      warning.file = new_db_.path();
      frame_.report().AddWarning(std::move(warning));
    }
    return;
  }
  switch (plan.kind) {
    case PlanKind::kCopy:
      frame_.SetTableMode(ModeLetter(plan.mode), "",
                          plan.mode != CopyMode::kG &&
                              (plan.mode != CopyMode::kF || table.new_table.RecordCount() == 0));
      return;
    case PlanKind::kExccs:
      frame_.SetTableMode("A", "", false);
      return;
    case PlanKind::kWriter:
      frame_.SetTableMode(WriterName(plan.writer), "", false);
      return;
    case PlanKind::kNothing:
      frame_.SetTableMode("none", plan.reason, false);
      return;
  }
}

namespace {

// Whether carrying out `plan` reads or moves the run's customer counter.
bool UsesCustomerCounter(const TablePlan& plan) {
  if (plan.customers_from_sites_first) return true;
  for (const std::vector<FieldMove>* moves : {&plan.moves, &plan.fill}) {
    for (const FieldMove& move : *moves) {
      if (move.kind == MoveKind::kCustomer) return true;
    }
  }
  return false;
}

}  // namespace

CopyResult Conversion::ConvertTable(TableRecordsets& table) {
  const TablePlan plan = PlanOf(table);
  if (IsSiteDatabasePass() && UsesCustomerCounter(plan)) site_passes_share_state_ = true;
  const std::string database =
      current_database_ < SiteDatabaseNames.size() ? SiteDatabaseNames[current_database_] : "";
  if (observer_) observer_->TablePlanned(database, plan);
  ReportMode(plan, table);
  if (frame_.checking()) {
    AnnounceOldRows(table, std::nullopt);
    CheckPlannedTable(plan, table);
    return {};
  }
  CopyResult result;
  try {
    result = CarryOut(plan, table);
  } catch (...) {
    // The count precedes the error in the log, as it precedes any row; the
    // rows stored before the error count as added.
    AnnounceOldRows(table, std::nullopt);
    frame_.TableInterrupted();
    throw;
  }
  AnnounceOldRows(table, std::nullopt);
  frame_.TableCopied(result.rows_added);
  if (observer_) observer_->TableCopied(database, plan, result);
  return result;
}

bool Conversion::IsSiteDatabasePass() const {
  return current_database_ < SiteDatabaseNames.size() &&
         Upper(SiteDatabaseNames[current_database_]) != "QORSITE";
}

}  // namespace relamor
