#include "relamor2035/relamor2035.h"

#include "toolkit/writers/special_writers.h"
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
// The writers of relamor2035, each with its walk and its shortcut.
constexpr WriterForms kWriters[] = {
    {SpecialWriter::kChannel, &WriteChannelTable, nullptr, nullptr},
    {SpecialWriter::kModemConnections, &WriteModemConnections, "InsertConnectionsInOrder",
     &ModemConnectionsInOnePass},
    {SpecialWriter::kIpConnections, &WriteIpConnections, "InsertFilledConnections",
     &IpConnectionsInOnePass},
    {SpecialWriter::kSerialConnections, &WriteSerialConnections, "InsertConnectionsInOrder",
     &SerialConnectionsInOnePass},
    {SpecialWriter::kPrompt, &WritePromptTable, nullptr, nullptr},
    {SpecialWriter::kCustomers,
     [](const TablePlan&, TableCopyIo& io) { RebuildCustomerAddresses(io); },
     "AppendFirstRowOfEachKey",
     [](const TablePlan&, TableCopyIo& io) { return CustomerAddressesInOneStatement(io); }},
};

CopyResult Relamor2035::CarryOut(const TablePlan& plan, TableRecordsets& table) {
  for (const WriterForms& forms : kWriters) {
    if (forms.writer != plan.writer) continue;
    TableCopyIo io = IoFor(table);
    CopyResult result;
    const long before = RowCount(new_db_, plan.new_table);
    result.rows_read = RowCount(old_db_, plan.old_table);
    io.old_rows_known(result.rows_read);
    CarryOutWriter(forms, plan, io);
    result.rows_added = RowCount(new_db_, plan.new_table) - before;
    return result;
  }
  if (plan.customers_from_sites_first) {
    CreateCustomersFromSites(frame_, strategy_, shortcut_log_, LastCustomerNumber);
  }
  return FixedPathConversion::CarryOut(plan, table);
}

}  // namespace relamor
