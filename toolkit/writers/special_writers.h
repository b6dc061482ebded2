// The special writers of the release 2.0 converter: the tables whose layout
// changed since release 2.0 are written by these instead of the
// field-mapped copy.
//
// Each writer carries out a plan of kind kWriter (table_plan.h) on the
// table loop's old and new table (TableCopyIo, table_copy.h). The fields the
// mapping rows name come from the plan's moves; a field the new or the old
// table lacks, or a mapping row the writer needs and the mapping lacks,
// fails where the writer first needs it, as it fills the first row that
// uses it (before that row is stored). Rows stored before an Error stay
// stored.
//
// A writer does nothing when the new table already holds rows or the old
// table is empty (RebuildCustomerAddresses appends either
// way).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "toolkit/db/database.h"
#include "toolkit/run_frame.h"
#include "toolkit/copy/table_copy.h"
#include "toolkit/copy/table_plan.h"

namespace relamor {

// channel: one new row per occupied slot of the old rows (channel_writer.cpp).
void WriteChannelTable(const TablePlan& plan, TableCopyIo& io);
// One skeleton row (channelID, the connection's own key 1, 2, 3, ...) in
// `tableName` of `new_db` per channel of `channelType`.
void InsertConnectionRows(db::Database& new_db, const std::string& tableName,
                          const std::string& channelType, const std::string& idColumn);
// The connection tables (connection_writers.cpp): the walks, and their
// shortcuts (copy/shortcut.h), which insert each skeleton row once with its
// values.
void WriteModemConnections(const TablePlan& plan, TableCopyIo& io);
void WriteIpConnections(const TablePlan& plan, TableCopyIo& io);
void WriteSerialConnections(const TablePlan& plan, TableCopyIo& io);
Shortcut<long> ModemConnectionsInOnePass(const TablePlan& plan, TableCopyIo& io);
Shortcut<long> IpConnectionsInOnePass(const TablePlan& plan, TableCopyIo& io);
Shortcut<long> SerialConnectionsInOnePass(const TablePlan& plan, TableCopyIo& io);
// prompt: one new row per pair of prompt texts (prompt_writer.cpp).
void WritePromptTable(const TablePlan& plan, TableCopyIo& io);
// The Customers writer (customer_addresses.cpp): appends one new customer
// row for every distinct id of the old `customers` table, with the name and
// address of the first old row of that id in rowid order. Throws Error 94
// for a Null id. Its shortcut is AppendFirstRowOfEachKey.
void RebuildCustomerAddresses(TableCopyIo& io);
Shortcut<long> CustomerAddressesInOneStatement(TableCopyIo& io);
// Placeholder customers for the sites no old customer refers to, before the
// Sites copy; sets `last_customer_number` (customer_writer.cpp). The
// shortcut AppendPlaceholderCustomers is tried as `strategy` says.
void CreateCustomersFromSites(RunFrame& frame, CopyStrategy strategy, ShortcutLog& shortcuts,
                              std::int16_t& last_customer_number);

// A writer's two forms: the walk, and the shortcut (may be null) tried
// before it as the copy strategy says.
struct WriterForms {
  SpecialWriter writer;
  void (*walk)(const TablePlan&, TableCopyIo&);
  const char* shortcut_name;  // null when there is no shortcut
  Shortcut<long> (*shortcut)(const TablePlan&, TableCopyIo&);
};
// Carries out a writer plan with `forms`.
void CarryOutWriter(const WriterForms& forms, const TablePlan& plan, TableCopyIo& io);

namespace writer_fields {

// Move `i` of a writer's plan; throws the plan's failure when the mapping
// has no such row.
inline const FieldMove& Move(const TablePlan& plan, std::size_t i) {
  if (i >= plan.moves.size()) {
    if (plan.failure) throw *plan.failure;
    throw Error(err::kNoCurrentRecord, "No current record: the mapping of table " +
                                           plan.new_table + " has no row " +
                                           std::to_string(plan.moves.size() + 1));
  }
  return plan.moves[i];
}

// The position of a move's fields in `rs`, a recordset on the new (or the
// old) table; a field the plan could not resolve throws the recordset's
// 3265 naming it.
inline int Destination(const FieldMove& m, const db::Recordset& rs) {
  return m.destination_index >= 0 ? m.destination_index : rs.FieldIndex(m.destination);
}
inline int Source(const FieldMove& m, const db::Recordset& rs) {
  return m.source_index >= 0 ? m.source_index : rs.FieldIndex(m.source);
}

}  // namespace writer_fields

}  // namespace relamor
