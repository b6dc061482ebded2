#include "relamor2035/relamor2035.h"

#include <string_view>

namespace relamor {

namespace {

struct SpecialWriter {
  std::string_view new_table_name;  // compared exactly, letter case included
  void (Relamor2035::*write)();
};

const SpecialWriter kSpecialWriters[] = {
    {"channel", &Relamor2035::WriteChannelTable},
    {"modemconnection", &Relamor2035::WriteModemConnections},
    {"ipconnection", &Relamor2035::WriteIpConnections},
    {"serialconnection", &Relamor2035::WriteSerialConnections},
    {"prompt", &Relamor2035::WritePromptTable},
    {"Customers", &Relamor2035::RebuildCustomerAddresses},
};

}  // namespace

void Relamor2035::ConvertTable(const std::string& new_table_name,
                               const std::string& old_table_name) {
  for (const SpecialWriter& writer : kSpecialWriters) {
    if (new_table_name == writer.new_table_name) {
      frame_.SetTableMode(std::string(writer.new_table_name), "", false);
      (this->*writer.write)();
      return;
    }
  }
  if (new_table_name == "Sites" && old_table_name != "systemMarket") {
    CreateCustomersFromSites();
  }
  CopyMappedTable();
}

}  // namespace relamor
