#include "toolkit/conversion.h"

#include "toolkit/text.h"

namespace relamor {

Conversion::Conversion(RunFrame& frame, CopyRules rules) : frame_(frame), rules_(rules) {}

Conversion::~Conversion() = default;

std::string Conversion::NewTableName() { return ToText(mapping_rows_.Get("newtablename")); }

bool Conversion::IsSiteDatabasePass() const {
  return current_database_ < SiteDatabaseNames.size() &&
         Upper(SiteDatabaseNames[current_database_]) != "QORSITE";
}

}  // namespace relamor
