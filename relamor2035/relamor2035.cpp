#include "relamor2035/relamor2035.h"

namespace relamor {

PlanRules Relamor2035::CurrentPlanRules() const {
  PlanRules rules = FixedPathConversion::CurrentPlanRules();
  rules.special_writers = true;
  return rules;
}

CopyResult Relamor2035::CarryOut(const TablePlan& plan) {
  switch (plan.writer) {
    case SpecialWriter::kChannel:
      WriteChannelTable();
      return {};
    case SpecialWriter::kModemConnections:
      WriteModemConnections();
      return {};
    case SpecialWriter::kIpConnections:
      WriteIpConnections();
      return {};
    case SpecialWriter::kSerialConnections:
      WriteSerialConnections();
      return {};
    case SpecialWriter::kPrompt:
      WritePromptTable();
      return {};
    case SpecialWriter::kCustomers:
      RebuildCustomerAddresses();
      return {};
    case SpecialWriter::kNone:
      break;
  }
  if (plan.customers_from_sites_first) CreateCustomersFromSites();
  return FixedPathConversion::CarryOut(plan);
}

}  // namespace relamor
