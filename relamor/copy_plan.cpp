// Release number, copy plan and mapping rows of relamor.
//
// The old release (3.0, 3.5, 3.5.2, ...) is looked up in the new database's
// `qorreleases` to get its release number. The plan then holds (a) every table
// that keeps its name in a mapping of a release up to that number, unless some
// mapping sends the old table to DeletedTable, and (b) every table that the
// mapping of exactly that release renames; ordered by `sno`. For each planned
// table the mapping rows are the rows of its latest release not above the
// release number, plus the earlier rows that keep table and field names.
#include <string>

#include "relamor/relamor.h"
#include "toolkit/error.h"
#include "toolkit/old_release.h"

namespace relamor {

namespace {

const char kReleaseNumberQuery[] =
    "select [no] from [qorreleases] where [productname] = ? and [servicepack] = ?";

const char kCopyPlanQuery[] =
    "select distinct(a.[sno]),a.[oldtablename],a.[newtablename] from export as a where "
    "a.[releaseversion] <= ?"
    " and a.oldtablename = a.newtablename "
    " and not exists (select b.[newtablename] from export as b where b.[oldtablename] = "
    "a.[oldtablename] and b.newtablename = 'DeletedTable') "
    "order by a.[sno] "
    " Union "
    "select distinct(a.[sno]),a.[oldtablename],a.[newtablename] from export as a where "
    "a.oldtablename not like a.newtablename and a.releaseversion = ?"
    " and newtablename not like 'DeletedTable' order by a.[sno]";

const char kMappingReleaseQuery[] =
    "select max(b.[releaseversion]) from export b where b.[sno] = ? and b.[releaseversion] <= ?";

const char kMappingRowsQuery[] =
    "select a.* from [export] as a where a.[sno] = ? and a.[releaseversion] = ? Union "
    "select distinctrow g.* from [export] as g where g.[sno] = ? and g.[releaseversion] < ?"
    " and g.[newtablename] = g.[oldtablename] and g.[newdbfieldname] = g.[olddbfieldname] ";

}  // namespace

long Relamor::ServicePackOf(const std::string& release) {
  const auto first = release.find('.');
  if (first == std::string::npos) return 0;
  const auto second = release.find('.', first + 1);
  if (second == std::string::npos) return 0;
  const std::string digits = release.substr(second + 1);
  Value n = ParseNumber(digits);
  if (digits.empty() || !std::holds_alternative<std::int64_t>(n)) {
    throw Error(err::kTypeMismatch, "Type mismatch: the service pack of release '" + release +
                                        "' is not a whole number");
  }
  return static_cast<long>(std::get<std::int64_t>(n));
}

db::Recordset Relamor::OpenReleaseNumber() {
  const std::string product = old_release_.substr(0, 3);
  const long service_pack = ServicePackOf(old_release_);
  db::Recordset rs = new_db_.OpenRecordset(kReleaseNumberQuery,
                                           {Value{product}, Value{std::int64_t{service_pack}}});
  if (rs.Eof()) {
    throw Error(err::kNoCurrentRecord,
                "No current record: qorreleases in " + new_db_.path() + " has no release " +
                    product + " with service pack " + std::to_string(service_pack) +
                    " (old release " + old_release_ + ")" +
                    OtherProgramHint(frame_.engine(), frame_.old_dir(), "relamor"));
  }
  return rs;
}

void Relamor::RequireReleaseNumber() { OpenReleaseNumber().Close(); }

db::Recordset Relamor::OpenReleaseNumberAndPlan(long& count) {
  release_number_rs_ = OpenReleaseNumber();
  release_number_ = release_number_rs_.Get("no");

  db::Recordset plan = new_db_.OpenRecordset(kCopyPlanQuery, {release_number_, release_number_});
  if (plan.Eof()) {
    throw Error(err::kNoCurrentRecord,
                "No current record: the copy plan of " + new_db_.path() +
                    " is empty (no export rows for release number " + ToText(release_number_) +
                    ")");
  }
  plan.MoveFirst();
  plan.MoveLast();
  count = plan.RecordCount();
  frame_.Log({" Tables to be copied are " + std::to_string(count)});
  plan.MoveFirst();
  return plan;
}

std::vector<MappingRow> Relamor::OpenMappingRows(const Value& sno) {
  Value mapping_release = std::int64_t{0};
  {
    db::Recordset latest = new_db_.OpenRecordset(kMappingReleaseQuery, {sno, release_number_});
    const Value v = latest.Get(0);
    if (!IsNull(v) && ToDouble(v, "releaseversion of export in " + new_db_.path()) > 0) {
      mapping_release = v;
    }
  }
  db::Recordset mapping =
      new_db_.OpenRecordset(kMappingRowsQuery, {sno, mapping_release, sno, mapping_release});
  return ReadMappingRows(mapping);
}

}  // namespace relamor
