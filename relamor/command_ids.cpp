// Command-id renumbering. Before release 3.5 service pack 2 the next command
// id kept in `cmdidguid` could lag behind the ids in use. When a site
// database's `cmdidguid` is copied, the next id is recomputed from the old
// tables whose first column is `cmdid`: the greatest id in use plus 1, and at
// least 70. The value goes only into the new `cmdidguid` row; the old
// database is never written.
#include <cstdlib>
#include <string>

#include "relamor/relamor.h"
#include "toolkit/error.h"
#include "toolkit/text.h"

namespace relamor {

namespace {

constexpr std::int16_t kFirstCommandId = 70;

// The release number of a release text ("3.5" of "3.5.1").
double ReleaseNumberOf(const std::string& release) {
  const std::string head = release.substr(0, 3);
  char* end = nullptr;
  const double r = std::strtod(head.c_str(), &end);
  if (head.empty() || end != head.c_str() + head.size()) {
    throw Error(err::kTypeMismatch,
                "Type mismatch: the old release '" + release + "' is not a release number");
  }
  return r;
}

}  // namespace

std::optional<Value> Relamor::RenumberCommandIds() {
  const double r = ReleaseNumberOf(old_release_);
  const long s = ServicePackOf(old_release_);
  if (!((r == 3.5 && s < 2) || r < 3.5)) return std::nullopt;

  std::int16_t next_id = kFirstCommandId;
  for (const db::TableDef& table : old_db_.TableDefs()) {
    const std::string name = Upper(table.name);
    if (name.compare(0, 4, "MSYS") == 0) continue;
    if (Upper(table.field_names.front()) != "CMDID") continue;
    if (name == "NON_PROG_KEYS") continue;
    db::Recordset rs = old_db_.OpenRecordset("select max(cmdid) from " + QuoteName(table.name));
    const Value max = rs.Get(0);
    if (IsNull(max)) continue;
    const std::string what = "greatest cmdid of " + table.name + " in " + old_db_.path();
    const double m = ToDouble(max, what);
    if (m >= next_id) {
      if (m >= 32767) {
        throw Error(err::kOverflow, "Overflow: the " + what + " is " + ToText(max) +
                                        "; the next command id would pass 32767");
      }
      next_id = static_cast<std::int16_t>(ToInt16(max, what) + 1);
    }
  }
  return Value{std::int64_t{next_id}};
}

}  // namespace relamor
