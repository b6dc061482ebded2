// The state of one conversion run and the table step that the three
// converters share.
//
// Each program derives from Conversion, adds its start-up and its table loop.
// A Conversion holds only what lasts for the run (the frame, the databases
// to convert, the customer counter) and the current pass's two databases.
// The table loop opens each table's mapping rows and tables
// (TableRecordsets) and hands them to ConvertTable, which plans the table
// (table_plan.h) and carries the plan out: the field-mapped copy through an
// executor (table_copy.h), or a special writer (special_writers.h).
//
// Procedures trap no errors: an Error leaves them at once and travels to the
// run frame. Rows stored before it stay stored.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "toolkit/db/database.h"
#include "toolkit/run_frame.h"
#include "toolkit/copy/table_copy.h"
#include "toolkit/copy/table_plan.h"

namespace relamor {

// Receives every table of a run as a table loop reaches it: its plan before
// anything is written, and what the copy did after it. Both are called for
// every planned table of every database, special writers included; after an
// Error only TablePlanned has been called for the failing table. The default
// does nothing.
class TableObserver {
 public:
  virtual ~TableObserver() = default;
  // `database` is the base name of the pass ("qorsite", "qord007").
  virtual void TablePlanned(const std::string& database, const TablePlan& plan) {
    (void)database;
    (void)plan;
  }
  virtual void TableCopied(const std::string& database, const TablePlan& plan,
                           const CopyResult& result) {
    (void)database;
    (void)plan;
    (void)result;
  }
};

// One table of a pass as the table loop opened it: the `sno` and the rows of
// its mapping, and the old and the new table. The recordsets close with it.
// `old_rows_known` is set once the old table's rows have been made known to
// the log and the report (AnnounceOldRows).
struct TableRecordsets {
  Value sno;
  std::vector<MappingRow> mapping_rows;
  db::Recordset old_table;
  db::Recordset new_table;
  bool old_rows_known = false;
};

class Conversion {
 public:
  Conversion(RunFrame& frame, CopyRules rules);
  virtual ~Conversion();
  Conversion(const Conversion&) = delete;
  Conversion& operator=(const Conversion&) = delete;

  // Run-wide settings, before the start-up: who hears of each table (not
  // owned; may be null) and which executor copies (kAuto by default).
  void set_table_observer(TableObserver* observer) { observer_ = observer; }
  void set_copy_strategy(CopyStrategy strategy) { strategy_ = strategy; }

  std::int16_t last_customer_number() const { return LastCustomerNumber; }

 protected:
  // The table loops' step for one table: plans it, tells the observer,
  // carries the plan out (or, with --check, checks it), tells the observer.
  CopyResult ConvertTable(TableRecordsets& table);
  // The plan of a table of the current pass. Reads no row.
  TablePlan PlanOf(TableRecordsets& table) const;
  // Carries out a plan: the field-mapped copy by default; relamor2035 adds
  // its special writers.
  virtual CopyResult CarryOut(const TablePlan& plan, TableRecordsets& table);
  // What the executors and writers work on for `table`.
  TableCopyIo IoFor(TableRecordsets& table);
  // Makes the old table's row count known, once per table: the copy calls it
  // (through TableCopyIo) before its first log line, its first row read one
  // by one or its first error, with the rows its set-based statement copied,
  // or with nothing to have them counted; ConvertTable calls it for a copy
  // that did not.
  void AnnounceOldRows(TableRecordsets& table, std::optional<long long> rows);
  // What the program does with the count: tells the report and the progress
  // line; relamor also completes the old recordset's count and logs it.
  virtual void OldRowsKnown(TableRecordsets& table, std::optional<long long> rows);
  // Tells the run's report the mode of the plan.
  void ReportMode(const TablePlan& plan, TableRecordsets& table);
  // Why the plan's copy writes nothing into the tables as they stand (its
  // condition fails); empty when it writes.
  std::string ConditionFails(const TablePlan& plan, TableRecordsets& table);
  // --check: reads the old table against the plan and the new table's
  // columns and reports, without writing, what the copy would fail on
  // (preflight.cpp).
  void CheckPlannedTable(const TablePlan& plan, TableRecordsets& table);
  // The rules a plan of the current pass is made with.
  virtual PlanRules CurrentPlanRules() const;

  // The general converter recomputes the next command id before mode F
  // copies `cmdidguid` into a site database; it returns the value to store
  // instead of the old one, or nothing to copy the old value unchanged.
  virtual std::optional<Value> RenumberCommandIds() { return std::nullopt; }

  // A table named by the mapping data, in `db`: only a table of that name is
  // opened, never a statement. Throws 3078 naming the table, the database and
  // `named_by` (which mapping rows name it).
  db::Recordset OpenMappedTable(db::Database& db, const std::string& name,
                                const std::string& named_by);
  // Whether the database of the current pass is a per-site database (its
  // name differs from "qorsite", letter case ignored).
  bool IsSiteDatabasePass() const;

  // The table loop's passes, SiteDatabaseNames in order: the main database
  // and the first site database on this thread, then the other site
  // databases on frame_.jobs() workers when they are independent of each
  // other, else on this thread too (site_workers.cpp).
  void ConvertPasses();
  // One pass: SiteDatabaseNames[i], from BeginDatabase to its close.
  virtual void ConvertPass(std::size_t i) {
    (void)i;
  }
  // A conversion of the same program for a worker's frame, holding what
  // the site passes read from the run (CopyRunStateTo) and from the passes
  // before (the site plan); nothing keeps every pass on this thread.
  virtual std::unique_ptr<Conversion> NewWorker(RunFrame& worker_frame) const {
    (void)worker_frame;
    return nullptr;
  }
  // Whether a site pass has read what the later ones take from it (the
  // copy plan and mapping rows of the template).
  virtual bool SitePlanKnown() const { return false; }
  // Gives `worker` the run's settings, the databases to convert and the
  // customer counter.
  void CopyRunStateTo(Conversion& worker) const;

  RunFrame& frame_;
  // Tells the run's report, per table, what each shortcut did.
  class ReportedShortcuts : public ShortcutLog {
   public:
    explicit ReportedShortcuts(RunReport& report) : report_(report) {}
    void Fired(std::string_view shortcut) override { report_.ShortcutFired(shortcut); }
    void Declined(std::string_view shortcut, std::string_view reason) override {
      report_.ShortcutDeclined(shortcut, reason);
    }

   private:
    RunReport& report_;
  };
  ReportedShortcuts shortcut_log_;
  const CopyRules rules_;
  TableObserver* observer_ = nullptr;
  CopyStrategy strategy_ = CopyStrategy::kAuto;

  // Base names of the databases to convert; entry 0 is "qorsite".
  std::vector<std::string> SiteDatabaseNames;
  // Index in SiteDatabaseNames of the database pair being converted.
  std::size_t current_database_ = 0;
  // Program-wide customer counter of the Sites customer link.
  std::int16_t LastCustomerNumber = 0;
  // A table of a site pass used the customer counter (the Sites customer
  // link, customers made from sites): the counter runs through the site
  // databases in order, so they are converted one after the other.
  bool site_passes_share_state_ = false;

  // The database pair of the current pass.
  db::Database old_db_;
  db::Database new_db_;
};

}  // namespace relamor
