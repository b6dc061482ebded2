#include "toolkit/conversion.h"

#include "toolkit/error.h"
#include "toolkit/text.h"

namespace relamor {

Conversion::Conversion(RunFrame& frame, CopyRules rules)
    : frame_(frame), rules_(rules), strategy_(frame.copy_strategy()) {}

Conversion::~Conversion() = default;

std::string Conversion::NewTableName() { return ToText(mapping_rows_.Get("newtablename")); }

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

TablePlan Conversion::PlanCurrentTable() {
  return PlanTable(ReadMappingRows(mapping_rows_), ColumnsOfRecordset(old_table_, old_db_),
                   ColumnsOfRecordset(new_table_, new_db_), CurrentPlanRules());
}

CopyResult Conversion::CopyMappedTable() {
  TablePlan plan = PlanCurrentTable();
  // relamor2035 sends Sites through CreateCustomersFromSites itself.
  return Conversion::CarryOut(plan);
}

CopyResult Conversion::CarryOut(const TablePlan& plan) {
  TableCopyIo io{frame_,      old_db_, new_db_, old_table_, new_table_, LastCustomerNumber,
                 rules_,      [this] { return RenumberCommandIds(); }};
  return CopyTable(plan, io, strategy_);
}

CopyResult Conversion::ConvertCurrentTable() {
  const TablePlan plan = PlanCurrentTable();
  const std::string database =
      current_database_ < SiteDatabaseNames.size() ? SiteDatabaseNames[current_database_] : "";
  if (observer_) observer_->TablePlanned(database, plan);
  const CopyResult result = CarryOut(plan);
  if (observer_) observer_->TableCopied(database, plan, result);
  return result;
}

bool Conversion::IsSiteDatabasePass() const {
  return current_database_ < SiteDatabaseNames.size() &&
         Upper(SiteDatabaseNames[current_database_]) != "QORSITE";
}

}  // namespace relamor
