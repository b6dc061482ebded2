// The state of one conversion run and the procedures that the three
// converters share: the field-mapped copy, the EXCCS category copy and the
// special writers for the tables whose layout changed from release 2.0.
//
// Each program derives from Conversion, adds its start-up and its table loop,
// and sets up the state below before it calls a shared procedure: the open
// old and new database, the mapping rows of the current table (on their first
// row) and their count, and the old-table and new-table recordsets.
//
// Procedures trap no errors: an Error leaves them at once and travels to the
// run frame. Rows stored before it stay stored.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "toolkit/db/database.h"
#include "toolkit/run_frame.h"
#include "toolkit/table_copy.h"
#include "toolkit/table_plan.h"

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

  // The plan of the current table (mapping rows, old and new table as the
  // table loop has opened them). Reads no row.
  TablePlan PlanCurrentTable();
  // Copies the old table into the new one as the mapping rows direct, in one
  // of the seven copy modes chosen by the first two numbering flags and the
  // mapping count.
  CopyResult CopyMappedTable();

  // Special writers of the release 2.0 converter.
  void WriteChannelTable();
  void InsertConnectionRows(const std::string& tableName, const std::string& channelType,
                            const std::string& idColumn);
  void WriteModemConnections();
  void WriteIpConnections();
  void WriteSerialConnections();
  void WritePromptTable();
  void CreateCustomersFromSites();

  std::int16_t last_customer_number() const { return LastCustomerNumber; }

 protected:
  // The table loops' step for the current table: plans it, tells the
  // observer, carries the plan out, tells the observer.
  CopyResult ConvertCurrentTable();
  // Carries out a plan on the current tables: the field-mapped copy by
  // default; relamor2035 adds its special writers.
  virtual CopyResult CarryOut(const TablePlan& plan);
  // The rules a plan of the current pass is made with.
  virtual PlanRules CurrentPlanRules() const;

  // The general converter recomputes the next command id before mode F
  // copies `cmdidguid` into a site database; it returns the value to store
  // instead of the old one, or nothing to copy the old value unchanged.
  virtual std::optional<Value> RenumberCommandIds() { return std::nullopt; }

  // The value of `newtablename` in the mapping row on which the mapping rows
  // stand now.
  std::string NewTableName();
  // A table named by the mapping data, in `db`: only a table of that name is
  // opened, never a statement. Throws 3078 naming the table, the database and
  // `named_by` (which mapping rows name it).
  db::Recordset OpenMappedTable(db::Database& db, const std::string& name,
                                const std::string& named_by);
  // Whether the database of the current pass is a per-site database (its
  // name differs from "qorsite", letter case ignored).
  bool IsSiteDatabasePass() const;

  RunFrame& frame_;
  const CopyRules rules_;
  TableObserver* observer_ = nullptr;
  CopyStrategy strategy_ = CopyStrategy::kAuto;

  // Base names of the databases to convert; entry 0 is "qorsite".
  std::vector<std::string> SiteDatabaseNames;
  // Index in SiteDatabaseNames of the database pair being converted.
  std::size_t current_database_ = 0;
  // Program-wide customer counter of the Sites customer link.
  std::int16_t LastCustomerNumber = 0;

  db::Database old_db_;
  db::Database new_db_;
  db::Recordset plan_;
  db::Recordset mapping_rows_;
  long mapping_count_ = 0;
  db::Recordset old_table_;
  db::Recordset new_table_;
  db::Recordset connection_;  // used by the connection and prompt writers

};

}  // namespace relamor
