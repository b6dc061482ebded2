#include "relamor2035/relamor2035.h"

#include "toolkit/text.h"

namespace relamor {

PlanRules Relamor2035::CurrentPlanRules() const {
  PlanRules rules = FixedPathConversion::CurrentPlanRules();
  rules.special_writers = true;
  return rules;
}

namespace {

long RowCount(db::Database& db, const std::string& table) {
  return static_cast<long>(
      std::get<std::int64_t>(db.OpenRecordset("select count(*) from " + QuoteName(table)).Get(0)));
}

}  // namespace

// A special writer's result is counted from the tables: the old table's rows
// and the rows the new table gained (the writers fill rows they add, so none
// counts as edited).
CopyResult Relamor2035::CarryOut(const TablePlan& plan) {
  void (Relamor2035::*write)() = nullptr;
  switch (plan.writer) {
    case SpecialWriter::kChannel:
      write = &Relamor2035::WriteChannelTable;
      break;
    case SpecialWriter::kModemConnections:
      write = &Relamor2035::WriteModemConnections;
      break;
    case SpecialWriter::kIpConnections:
      write = &Relamor2035::WriteIpConnections;
      break;
    case SpecialWriter::kSerialConnections:
      write = &Relamor2035::WriteSerialConnections;
      break;
    case SpecialWriter::kPrompt:
      write = &Relamor2035::WritePromptTable;
      break;
    case SpecialWriter::kCustomers:
      write = &Relamor2035::RebuildCustomerAddresses;
      break;
    case SpecialWriter::kNone:
      break;
  }
  if (write) {
    CopyResult result;
    const long before = RowCount(new_db_, plan.new_table);
    (this->*write)();
    result.rows_read = RowCount(old_db_, plan.old_table);
    result.rows_added = RowCount(new_db_, plan.new_table) - before;
    return result;
  }
  if (plan.customers_from_sites_first) CreateCustomersFromSites();
  return FixedPathConversion::CarryOut(plan);
}

}  // namespace relamor
