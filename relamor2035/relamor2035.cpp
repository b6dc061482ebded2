#include "relamor2035/relamor2035.h"

#include "toolkit/special_writers.h"
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
// and the rows the new table gained. The writers fill the rows they add
// (the connection writers fill the skeleton rows they added), so none counts
// as edited.
CopyResult Relamor2035::CarryOut(const TablePlan& plan, TableRecordsets& table) {
  void (*write)(const TablePlan&, TableCopyIo&) = nullptr;
  switch (plan.writer) {
    case SpecialWriter::kChannel:
      write = &WriteChannelTable;
      break;
    case SpecialWriter::kModemConnections:
      write = &WriteModemConnections;
      break;
    case SpecialWriter::kIpConnections:
      write = &WriteIpConnections;
      break;
    case SpecialWriter::kSerialConnections:
      write = &WriteSerialConnections;
      break;
    case SpecialWriter::kPrompt:
      write = &WritePromptTable;
      break;
    case SpecialWriter::kCustomers:
      write = [](const TablePlan&, TableCopyIo& io) { RebuildCustomerAddresses(io); };
      break;
    case SpecialWriter::kNone:
      break;
  }
  if (write) {
    TableCopyIo io = IoFor(table);
    CopyResult result;
    const long before = RowCount(new_db_, plan.new_table);
    result.rows_read = RowCount(old_db_, plan.old_table);
    io.old_rows_known(result.rows_read);
    write(plan, io);
    result.rows_added = RowCount(new_db_, plan.new_table) - before;
    return result;
  }
  if (plan.customers_from_sites_first) CreateCustomersFromSites(frame_, shortcut_log_, LastCustomerNumber);
  return FixedPathConversion::CarryOut(plan, table);
}

}  // namespace relamor
