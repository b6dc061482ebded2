// The start-up and the table loop that relamor2035 and relamor3035 share.
//
// Both fixed-path converters start alike: when the new main database's
// `export` table holds no row, nothing is converted and the run ends
// successfully; otherwise every row of the old `sites` table names one site
// database ("qord00" + site number below 10, "qord0" + site number from 10 to
// 99), each gets a fresh copy of the template qordxxx.mdb in the new
// directory, and the conversion runs over "qorsite" and the site databases.
// What differs between the programs:
//
//                        relamor2035         relamor3035
//   site number column   id                  siteID
//   mapping table        export              export3035
//   table dispatch       special writers     the field-mapped copy for every table
//
// (relamor, the general converter, has a start-up of its own: it detects the
// releases, probes the old site databases and logs its progress.)
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "toolkit/conversion.h"

namespace relamor {

// At most this many sites fit into SiteDatabaseNames besides "qorsite".
inline constexpr std::size_t kMaxFixedPathSites = 103;

// Reads the old `sites` table and returns the base names of the site
// databases in table order. Stops the run with "Out of Memory" (RunFrame::
// StopOutOfMemory) for a site number of 100 or more or a Null one; throws
// Error 9 for more than kMaxFixedPathSites sites, and the engine's errors for a
// missing database, table or column.
std::vector<std::string> ListFixedPathSites(RunFrame& frame, std::string_view site_number_column);

class FixedPathConversion : public Conversion {
 public:
  struct Layout {
    std::string_view site_number_column;  // of the old `sites` table
    std::string_view mapping_table;       // read in every new database
  };

  FixedPathConversion(RunFrame& frame, Layout layout);

  // The program's start-up: lists the site databases, creates their new files
  // from the template, and converts them (after "qorsite"). Returns for the
  // frame's successful end. A failure of a run whose old installation looks
  // made for another program names that program.
  void StartUp();

  // Converts every database of SiteDatabaseNames in order: old database
  // (read-only) and new database opened, the copy plan of the mapping table
  // walked in ascending sno, each planned table planned and carried out
  // (ConvertTable).
  void ConvertDatabases();

 protected:
  void ConvertPass(std::size_t i) override;
  bool SitePlanKnown() const override { return site_plan_.has_value(); }
  // A worker's copy of this conversion (NewWorker of each program) gets the
  // run's state and the site plan.
  void CopyStateTo(FixedPathConversion& worker) const;

 private:
  // StartUp's work.
  void ConvertInstallation();
  // The copy plan: every sno of the mapping table, ascending.
  std::string PlanQuery() const;
  // One table mapping of a site database: its sno and its mapping rows.
  struct PlannedMapping {
    Value sno;
    std::vector<MappingRow> rows;
  };

  void ConvertDatabase(const std::string& name);
  // The mapping rows of `sno`, in the order of the mapping table.
  std::vector<MappingRow> ReadTableMapping(const Value& sno);
  // The tables a mapping read before names, opened, with its rows.
  TableRecordsets OpenKnownMapping(const PlannedMapping& planned);
  // Begins the table `new_table` and opens it and `old_table`.
  TableRecordsets OpenTables(const Value& sno, const std::string& old_table,
                             const std::string& new_table);

  const Layout layout_;
  // The mappings of the first site database in plan order, once its pass is
  // done: every site database is a copy of the template made in this run, so
  // the others hold the same and are not read again.
  std::optional<std::vector<PlannedMapping>> site_plan_;
};

}  // namespace relamor
