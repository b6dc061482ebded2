// relamor2035, the converter for release 2.0 installations.
//
// Lists the site databases by the column `id` of the old `sites` table and
// converts every database through the mapping table `export`. The tables
// whose layout changed since release 2.0 go to their special writers, chosen
// by the exact new table name (letter case included):
//
//   channel            WriteChannelTable
//   modemconnection    WriteModemConnections
//   ipconnection       WriteIpConnections
//   serialconnection   WriteSerialConnections
//   prompt             WritePromptTable
//   Customers          RebuildCustomerAddresses
//   Sites              CreateCustomersFromSites (unless the old table is
//                      systemMarket), then the field-mapped copy
//
// Every other table goes through the field-mapped copy.
#pragma once

#include <memory>
#include <string>

#include "toolkit/fixed_path_start_up.h"

namespace relamor {


class Relamor2035 : public FixedPathConversion {
 public:
  explicit Relamor2035(RunFrame& frame)
      : FixedPathConversion(frame, {.site_number_column = "id", .mapping_table = "export"}) {}

 protected:
  CopyResult CarryOut(const TablePlan& plan, TableRecordsets& table) override;
  PlanRules CurrentPlanRules() const override;
  std::unique_ptr<Conversion> NewWorker(RunFrame& worker_frame) const override {
    auto worker = std::make_unique<Relamor2035>(worker_frame);
    CopyStateTo(*worker);
    return worker;
  }
};

}  // namespace relamor
