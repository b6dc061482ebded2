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

#include "toolkit/conversion.h"
#include "toolkit/error.h"

namespace relamor {

namespace {

constexpr int kFirstSlotPosition = 7;
constexpr int kSlotCount = 5;

// The new field named by the current mapping row, cut at "[".
std::string NewField(db::Recordset& mapping_rows) {
  return TextBeforeBracket(ToText(mapping_rows.Get("newdbfieldname")));
}

std::string OldField(db::Recordset& mapping_rows) {
  return TextBeforeBracket(ToText(mapping_rows.Get("olddbfieldname")));
}

// Positions of the fields the four mapping rows name, learnt from the first
// row that needs them (kUnknown until then). The type field is learnt
// separately: only a slot code of 1, 2 or 3 reads the fourth mapping row.
constexpr int kUnknown = -1;
struct ChannelFields {
  int number = kUnknown;    // new field of mapping row 1
  int site_old = kUnknown;  // old field of mapping row 2
  int site_new = kUnknown;  // new field of mapping row 2
  int name = kUnknown;      // new field of mapping row 3
  int type = kUnknown;      // new field of mapping row 4

  bool Known(bool typed) const { return name != kUnknown && (!typed || type != kUnknown); }
};

}  // namespace

void Conversion::WriteChannelTable() {
  if (new_table_.RecordCount() != 0) return;
  if (old_table_.RecordCount() <= 0) return;

  int written = 0;  // channel numbers handed out so far
  ChannelFields fields;
  while (!old_table_.Eof()) {
    // All five codes are read before anything of this row is written.
    std::array<std::int16_t, kSlotCount> codes{};
    for (int slot = 0; slot < kSlotCount; ++slot) {
      const int position = kFirstSlotPosition + slot;
      const Value code = old_table_.Get(position);
      const auto* whole = std::get_if<std::int64_t>(&code);
      if (whole != nullptr && *whole >= INT16_MIN && *whole <= INT16_MAX) {
        codes[slot] = static_cast<std::int16_t>(*whole);
      } else {  // Null, text or real: the run-time's conversion and its errors
        codes[slot] = ToInt16(code, "slot " + std::to_string(slot + 1) + " (field " +
                                        old_table_.FieldName(position) + ") of table " +
                                        old_table_.source() + " in " + old_db_.path());
      }
    }
    for (const std::int16_t code : codes) {
      if (code == 0) continue;
      if (written >= 32767) {
        throw Error(err::kOverflow, "Overflow: more than 32767 channels for table channel in " +
                                        new_db_.path());
      }
      const int number = written + 1;
      const bool typed = code >= 1 && code <= 3;
      const bool walk = !fields.Known(typed);
      new_table_.AddNew();
      if (!walk) {
        // The mapping rows name the same fields for every row: their
        // positions were learnt from the first rows.
        new_table_.Set(fields.number, Value{std::int64_t{number}});
        new_table_.Set(fields.site_new, old_table_.Get(fields.site_old));
        new_table_.Set(fields.name, "Channel" + std::to_string(number));
        if (typed) new_table_.Set(fields.type, std::to_string(code));
      } else {
        // Walk the mapping rows, learning the field positions on the way;
        // a missing mapping row or field fails here, before the row is
        // stored.
        fields.number = new_table_.FieldIndex(NewField(mapping_rows_));
        new_table_.Set(fields.number, Value{std::int64_t{number}});
        mapping_rows_.MoveNext();
        fields.site_old = old_table_.FieldIndex(OldField(mapping_rows_));
        Value site = old_table_.Get(fields.site_old);
        fields.site_new = new_table_.FieldIndex(NewField(mapping_rows_));
        new_table_.Set(fields.site_new, std::move(site));
        mapping_rows_.MoveNext();
        fields.name = new_table_.FieldIndex(NewField(mapping_rows_));
        new_table_.Set(fields.name, "Channel" + std::to_string(number));
        mapping_rows_.MoveNext();
        if (typed) {
          fields.type = new_table_.FieldIndex(NewField(mapping_rows_));
          new_table_.Set(fields.type, std::to_string(code));
        }
      }
      new_table_.Update();
      ++written;
      if (walk) mapping_rows_.MoveFirst();
    }
    old_table_.MoveNext();
  }
}

void Conversion::InsertConnectionRows(const std::string& tableName, const std::string& channelType,
                                      const std::string& idColumn) {
  db::Recordset connection = new_db_.OpenRecordset("select channelID from channel where channelType=?",
                                      {Value{channelType}});
  // The table and column names are the callers' fixed texts.
  const std::string insert =
      "Insert into " + tableName + "(channelID ," + idColumn + ") values (?,?)";
  int k = 1;
  while (!connection.Eof()) {
    if (k > 32767) {
      throw Error(err::kOverflow, "Overflow: more than 32767 rows for table " + tableName + " in " +
                                      new_db_.path());
    }
    new_db_.Execute(insert, {connection.Get("channelID"), Value{std::int64_t{k}}});
    connection.MoveNext();
    ++k;
  }
  connection.Close();
}

}  // namespace relamor
