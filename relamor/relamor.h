// relamor, the general converter for releases 3.0 and 3.5 (and their service
// packs): detects the old and the new release, refuses release 2.0, lists the
// site databases whose old files open, creates their new files from the
// template, and converts every database with a copy plan chosen from the
// mapping table `export` by release number. Along the way it recomputes the
// next command id of each site database and fixes the board types.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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
  void OldRowsKnown(TableRecordsets& table, std::optional<long long> rows) override;
  void ConvertPass(std::size_t i) override;
  std::unique_ptr<Conversion> NewWorker(RunFrame& worker_frame) const override;
  bool SitePlanKnown() const override { return site_plan_.complete; }

 private:
  // Start-up steps.
  void DetectReleases();
  void RefuseNewerOldRelease() const;
  std::string ReleaseOf(db::Database& db, bool positive_service_pack_only, bool* found);
  void ListSiteDatabases();
  void CreateSiteDatabases();

  // The conversion: every database pair, every planned table.
  void ConvertDatabases();
  // A planned table: its sno and its mapping rows.
  struct PlannedTable {
    Value sno;
    std::vector<MappingRow> mapping_rows;
  };
  // The row of the old release in the new database's qorreleases; throws
  // 3021 when there is none. RequireReleaseNumber only asks.
  db::Recordset OpenReleaseNumber();
  void RequireReleaseNumber();
  // The copy plan of the pass, on its first row; `count` is its row count.
  db::Recordset OpenReleaseNumberAndPlan(long& count);
  // The mapping rows of the plan row `sno` (none when the plan row has none).
  std::vector<MappingRow> OpenMappingRows(const Value& sno);
  // Opens the old and the new table that the mapping rows name, logs them
  // and converts the table; the old table's count line is logged when the
  // copy makes the count known (OldRowsKnown).
  void CopyPlannedTable(const PlannedTable& planned);
  void FixBoardTypes();

  std::string old_release_ = "Unknown";
  std::string current_release_ = "Unknown";
  std::size_t site_database_count_ = 0;  // m: entries 1..m of SiteDatabaseNames
  db::Recordset release_number_rs_;
  Value release_number_;
  // Every site database is a copy of the template made in this run, so all
  // of them hold the same export table: the first site pass reads the copy
  // plan and the mapping rows, the later ones take them from here.
  struct SitePlan {
    bool complete = false;
    long count = 0;  // rows of the copy plan, for the log
    std::vector<PlannedTable> tables;
  };
  SitePlan site_plan_;
  // The board names of qorstat.mdb by board type, once read in full.
  std::optional<std::vector<std::pair<Value, Value>>> board_names_;
};

}  // namespace relamor
