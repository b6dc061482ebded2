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

namespace relamor {

// Where the copy rules of the general converter (relamor) and of the
// fixed-path converters (relamor2035, relamor3035) differ.
enum class CopyRules {
  kGeneral,    // mode B logs its line; mode F compares row counts and may
               // overwrite; the old table's record count is complete
  kFixedPath,  // no log line; mode F only into an empty new table; the old
               // table's record count only tells whether it is empty
};

class Conversion {
 public:
  Conversion(RunFrame& frame, CopyRules rules);
  virtual ~Conversion();
  Conversion(const Conversion&) = delete;
  Conversion& operator=(const Conversion&) = delete;

  // Copies the old table into the new one as the mapping rows direct, in one
  // of the seven copy modes chosen by the first two numbering flags and the
  // mapping count.
  void CopyMappedTable();
  // Overwrites the mapped fields of the first new EXCCS row of the current old
  // row's category; moves the old table to its next row.
  void UpdateExccsByCategory();

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

 private:
  // One call of CopyMappedTable: the table's mapping rows and the copy
  // modes (mapped_copy.cpp).
  class TableCopy;
  friend class TableCopy;

  // The EXCCS category copy of the current old row (exccs_copy.cpp): the
  // destination and source field of each mapping row, cut at "[", and, when
  // given, an index of the new EXCCS rows by category that spares a query per
  // row.
  struct FieldPair {
    std::string to;
    std::string from;
  };
  class CategoryIndex;
  void UpdateExccsRow(const std::vector<FieldPair>& fields, CategoryIndex* index);
  // Every remaining old row, through UpdateExccsRow.
  void UpdateExccsTable(const std::vector<FieldPair>& fields);
};

}  // namespace relamor
