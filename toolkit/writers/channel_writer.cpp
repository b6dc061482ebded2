// The channel table split of release 2.0.
//
// An old `channel` row describes the channels of one site in five slot
// columns (zero-based positions 7 to 11), each holding a channel-kind code:
// 0 no channel, 1 serial, 2 modem, 3 IP. The new layout keeps one `channel`
// row per occupied slot, numbered 1, 2, 3, ... over the whole table in the
// order of the old rows and, within a row, of slots 1 to 5. The four new
// fields are named by the first four mapping rows: channel number, site
// (copied from the old field the second mapping row names), "Channel<n>", and
// the kind as the text "1", "2" or "3" (left unwritten for any other code).
//
// InsertConnectionRows then creates one skeleton row per channel of a kind
// in its connection table; the connection writers fill the rows in.
#include <array>
#include <cstdint>
#include <string>

#include "toolkit/error.h"
#include "toolkit/writers/special_writers.h"

namespace relamor {

namespace {

constexpr int kFirstSlotPosition = 7;
constexpr int kSlotCount = 5;

// The five slot codes of the old row, all read before anything of the row
// is written.
std::array<std::int16_t, kSlotCount> SlotCodes(const TableCopyIo& io) {
  std::array<std::int16_t, kSlotCount> codes{};
  for (int slot = 0; slot < kSlotCount; ++slot) {
    const int position = kFirstSlotPosition + slot;
    const Value code = io.old_table.Get(position);
    const auto* whole = std::get_if<std::int64_t>(&code);
    if (whole != nullptr && *whole >= INT16_MIN && *whole <= INT16_MAX) {
      codes[slot] = static_cast<std::int16_t>(*whole);
    } else {  // Null, text or real: the run-time's conversion and its errors
      codes[slot] = ToInt16(code, "slot " + std::to_string(slot + 1) + " (field " +
                                      io.old_table.FieldName(position) + ") of table " +
                                      io.old_table.source() + " in " + io.old_db.path());
    }
  }
  return codes;
}

}  // namespace

void WriteChannelTable(const TablePlan& plan, TableCopyIo& io) {
  using writer_fields::Destination;
  using writer_fields::Move;
  using writer_fields::Source;
  db::Recordset& old_table = io.old_table;
  db::Recordset& new_table = io.new_table;
  if (new_table.RecordCount() != 0) return;
  if (old_table.RecordCount() <= 0) return;

  int written = 0;  // channel numbers handed out so far
  while (!old_table.Eof()) {
    for (const std::int16_t code : SlotCodes(io)) {
      if (code == 0) continue;
      if (written >= 32767) {
        throw Error(err::kOverflow, "Overflow: more than 32767 channels for table channel in " +
                                        io.new_db.path());
      }
      const int number = written + 1;
      new_table.AddNew();
      // The fields in mapping-row order, so that the first one missing fails.
      new_table.Set(Destination(Move(plan, 0), new_table), Value{std::int64_t{number}});
      const FieldMove& site = Move(plan, 1);
      Value site_value = old_table.Get(Source(site, old_table));
      new_table.Set(Destination(site, new_table), std::move(site_value));
      new_table.Set(Destination(Move(plan, 2), new_table), "Channel" + std::to_string(number));
      // Only a known kind reads the fourth mapping row.
      if (code >= 1 && code <= 3) {
        new_table.Set(Destination(Move(plan, 3), new_table), std::to_string(code));
      }
      new_table.Update();
      ++written;
    }
    old_table.MoveNext();
  }
}

void InsertConnectionRows(db::Database& new_db, const std::string& tableName,
                          const std::string& channelType, const std::string& idColumn) {
  db::Recordset connection = new_db.OpenRecordset(
      "select channelID from channel where channelType=?", {Value{channelType}});
  // The table and column names are the callers' fixed texts.
  const std::string insert =
      "Insert into " + tableName + "(channelID ," + idColumn + ") values (?,?)";
  int k = 1;
  while (!connection.Eof()) {
    if (k > 32767) {
      throw Error(err::kOverflow, "Overflow: more than 32767 rows for table " + tableName +
                                      " in " + new_db.path());
    }
    new_db.Execute(insert, {connection.Get("channelID"), Value{std::int64_t{k}}});
    connection.MoveNext();
    ++k;
  }
  connection.Close();
}

}  // namespace relamor
