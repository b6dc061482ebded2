// relamor, the general converter for releases 3.0 and 3.5 (and their service
// packs): detects the old and the new release, refuses release 2.0, lists the
// site databases whose old files open, creates their new files from the
// template, and converts every database with a copy plan chosen from the
// mapping table `export` by release number. Along the way it recomputes the
// next command id of each site database and fixes the board types.
#pragma once

#include <optional>
#include <string>

#include "toolkit/conversion.h"

namespace relamor {

class Relamor : public Conversion {
 public:
  explicit Relamor(RunFrame& frame) : Conversion(frame, CopyRules::kGeneral) {}

  // The program's start-up; returns for the frame's successful end.
  void StartUp();

  const std::string& old_release() const { return old_release_; }
  const std::string& current_release() const { return current_release_; }

  // The service pack of a release text: the whole number after its second
  // "." (3.5.12 has 12), 0 when there is none. Throws 13 for a non-number.
  static long ServicePackOf(const std::string& release);

 protected:
  std::optional<Value> RenumberCommandIds() override;

 private:
  // Start-up steps.
  void DetectReleases();
  void RefuseNewerOldRelease() const;
  std::string ReleaseOf(db::Database& db, bool positive_service_pack_only, bool* found);
  void ListSiteDatabases();
  void CreateSiteDatabases();

  // The conversion: every database pair, every planned table.
  void ConvertDatabases();
  // The copy plan of the pass, on its first row.
  db::Recordset OpenReleaseNumberAndPlan();
  // The mapping rows of the plan row `sno` (on their last row; empty when
  // the plan row has none).
  db::Recordset OpenMappingRows(const Value& sno);
  // Opens the old and the new table that `mapping_rows` name, logs them,
  // completes the old table's count and converts the table.
  void CopyPlannedTable(const Value& sno, db::Recordset mapping_rows);
  void FixBoardTypes();

  std::string old_release_ = "Unknown";
  std::string current_release_ = "Unknown";
  std::size_t site_database_count_ = 0;  // m: entries 1..m of SiteDatabaseNames
  db::Recordset release_number_rs_;
  Value release_number_;
};

}  // namespace relamor
