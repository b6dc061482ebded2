#include "toolkit/fixed_path_start_up.h"

#include <optional>
#include <string>
#include <utility>

#include "toolkit/error.h"
#include "toolkit/old_release.h"

namespace relamor {

namespace {

// "qord00" + number below 10, "qord0" + number from 10 to 99; nothing for a
// number of 100 or more (the caller stops the run).
std::optional<std::string> SiteDatabaseName(const Value& number, const std::string& what) {
  const double v = ToDouble(number, what);  // a text that is not a number: 13
  // A numeric text names the database by its number: " 7" is site 7.
  const std::string digits = ToText(IsNumber(number) ? number : ParseNumber(ToText(number)));
  if (v < 10) return "qord00" + digits;
  if (v < 100) return "qord0" + digits;
  return std::nullopt;
}

}  // namespace

std::vector<std::string> ListFixedPathSites(RunFrame& frame, std::string_view site_number_column) {
  db::Database old_main =
      frame.engine().OpenDatabase(frame.old_dir() + "qorsite.mdb", db::OpenMode::kReadOnly);
  db::Recordset sites = old_main.OpenRecordset("sites");
  const std::string what = "site number " + std::string(site_number_column) +
                           " of table sites in " + old_main.path();
  std::vector<std::string> names;
  while (!sites.Eof()) {
    const Value number = sites.Get(site_number_column);
    // A missing site number and one of 100 or more cannot be named.
    if (IsNull(number)) frame.StopOutOfMemory();
    std::optional<std::string> name = SiteDatabaseName(number, what);
    if (!name) frame.StopOutOfMemory();
    if (names.size() >= kMaxFixedPathSites) {
      throw Error(err::kSubscriptOutOfRange, "Subscript out of range: table sites in " +
                                                 old_main.path() + " lists more than " +
                                                 std::to_string(kMaxFixedPathSites) + " sites");
    }
    names.push_back(std::move(*name));
    sites.MoveNext();
  }
  sites.Close();
  old_main.Close();
  return names;
}

FixedPathConversion::FixedPathConversion(RunFrame& frame, Layout layout)
    : Conversion(frame, CopyRules::kFixedPath), layout_(layout) {}

void FixedPathConversion::StartUp() {
  try {
    ConvertInstallation();
  } catch (const Error& e) {
    // This program detects no release: where the old installation looks
    // made for another one, its failure says which.
    if (e.number() == err::kUserInterrupt) throw;
    const std::string hint =
        OtherProgramHint(frame_.engine(), frame_.old_dir(), frame_.program_name());
    if (hint.empty()) throw;
    throw Error(e.number(), e.description() + hint);
  }
}

void FixedPathConversion::ConvertInstallation() {
  {
    // Without mapping rows there is nothing to convert: a successful run.
    db::Database new_main = frame_.engine().OpenDatabase(frame_.new_dir() + "qorsite.mdb");
    db::Recordset mapping = new_main.OpenRecordset("export");
    const bool empty = mapping.RecordCount() < 1;
    mapping.Close();
    new_main.Close();
    if (empty) return;
  }
  std::vector<std::string> names{"qorsite"};
  for (std::string& site : ListFixedPathSites(frame_, layout_.site_number_column)) {
    names.push_back(std::move(site));
  }
  frame_.report().SetSites({names.begin() + 1, names.end()});
  // The copy plan's query runs on the new main database before any site
  // database is made: a new installation without the mapping table (one of
  // another release) ends the run with nothing created.
  {
    db::Database new_main = frame_.engine().OpenDatabase(frame_.new_dir() + "qorsite.mdb");
    new_main.OpenRecordset(PlanQuery()).Close();
    new_main.Close();
  }
  // Everything above only reads.
  std::vector<std::string> written;
  for (const std::string& name : names) written.push_back(frame_.new_dir() + name + ".mdb");
  frame_.BeginWriting(written);
  frame_.CopyTemplates(frame_.new_dir() + "qordxxx.mdb", {written.begin() + 1, written.end()},
                       [](const std::string&) {});
  SiteDatabaseNames = std::move(names);
  ConvertDatabases();
}

std::string FixedPathConversion::PlanQuery() const {
  return "select distinct(sno),oldtablename,newtablename from " +
         std::string(layout_.mapping_table) + " order by sno";
}

void FixedPathConversion::ConvertDatabases() { ConvertPasses(); }

void FixedPathConversion::ConvertPass(std::size_t i) {
  frame_.BeginDatabase(i, SiteDatabaseNames.size(), SiteDatabaseNames[i]);
  ConvertDatabase(SiteDatabaseNames[i]);
}

void FixedPathConversion::CopyStateTo(FixedPathConversion& worker) const {
  CopyRunStateTo(worker);
  worker.site_plan_ = site_plan_;
}

void FixedPathConversion::ConvertDatabase(const std::string& name) {
  db::Engine& engine = frame_.engine();
  old_db_ = engine.OpenDatabase(frame_.old_dir() + name + ".mdb", db::OpenMode::kReadOnly);
  new_db_ = engine.OpenDatabase(frame_.new_dir() + name + ".mdb");
  old_db_.HoldReadTransaction();
  new_db_.HoldReadTransaction();
  // Every site database is a copy of the template made in this run, so its
  // mapping is the first site database's: read there, kept for the others.
  const bool site = current_database_ > 0;
  if (site && site_plan_) {
    for (const PlannedMapping& planned : *site_plan_) {
      TableRecordsets table = OpenKnownMapping(planned);
      ConvertTable(table);
      frame_.EndTable();
    }
  } else {
    // The whole plan and its mapping rows are read before the first table
    // is copied, from an indexed copy of the mapping: planning takes n log n
    // in the mapping's rows. Ascending sno lets the mapping data put channel
    // before the connection tables and modemconnection before prompt.
    const std::string mapping_table(layout_.mapping_table);
    new_db_.UseIndexedCopy(mapping_table, {{"sno"}});
    std::vector<PlannedMapping> read;
    {
      db::Recordset plan = new_db_.OpenRecordset(PlanQuery());
      while (!plan.Eof()) {
        const Value sno = plan.Get("sno");
        read.push_back({sno, ReadTableMapping(sno)});
        plan.MoveNext();
      }
      plan.Close();
    }
    new_db_.EndIndexedCopy(mapping_table);
    for (const PlannedMapping& planned : read) {
      TableRecordsets table = OpenKnownMapping(planned);
      ConvertTable(table);
      frame_.EndTable();
    }
    if (site) site_plan_ = std::move(read);
  }
  // Closing a database also ends the recordsets still open on it.
  old_db_.Close();
  new_db_.Close();
  old_db_ = db::Database();
  new_db_ = db::Database();
}

std::vector<MappingRow> FixedPathConversion::ReadTableMapping(const Value& sno) {
  const std::string mapping_table(layout_.mapping_table);
  if (IsNull(sno)) {
    throw Error(err::kInvalidUseOfNull, "Invalid use of Null: a row of table " + mapping_table +
                                            " in " + new_db_.path() + " has no sno");
  }
  db::Recordset mapping =
      new_db_.OpenRecordset("select * from " + mapping_table + " where sno=?", {sno});
  mapping.MoveFirst();
  mapping.MoveLast();
  return ReadMappingRows(mapping);
}

TableRecordsets FixedPathConversion::OpenKnownMapping(const PlannedMapping& planned) {
  // The tables are those the last mapping row names (one table mapping names
  // one pair of tables).
  TableRecordsets table =
      OpenTables(planned.sno, planned.rows.back().old_table, planned.rows.back().new_table);
  table.mapping_rows = planned.rows;
  return table;
}

TableRecordsets FixedPathConversion::OpenTables(const Value& sno, const std::string& old_table,
                                                const std::string& new_table) {
  const std::string named_by = "sno " + ToText(sno) + " of " + std::string(layout_.mapping_table);
  TableRecordsets table;
  table.sno = sno;
  frame_.BeginTable(new_table);
  table.new_table = OpenMappedTable(new_db_, new_table, named_by);
  table.old_table = OpenMappedTable(old_db_, old_table, named_by);
  frame_.TableOpened(new_db_);
  return table;
}

}  // namespace relamor
