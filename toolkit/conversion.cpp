#include "toolkit/conversion.h"

#include "toolkit/error.h"
#include "toolkit/text.h"

namespace relamor {

Conversion::Conversion(RunFrame& frame, CopyRules rules) : frame_(frame), rules_(rules) {}

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

bool Conversion::IsSiteDatabasePass() const {
  return current_database_ < SiteDatabaseNames.size() &&
         Upper(SiteDatabaseNames[current_database_]) != "QORSITE";
}

}  // namespace relamor
