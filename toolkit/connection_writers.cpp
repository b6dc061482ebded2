// The connection tables of release 2.0 channels.
//
// Each writer first creates one skeleton row per new channel of its kind
// (InsertConnectionRows: channelID and the connection's own key), then fills
// the skeleton rows from the old rows. The first two mapping rows of a
// connection table name channelID and the key and are skipped.
//
//   modem   n-th old row -> n-th skeleton row; mapping rows 3.. copied
//   IP      every old row -> every skeleton row whose channel belongs to the
//           old row's siteID; mapping row 3 copied (the last old row of a
//           site decides)
//   serial  n-th old row -> n-th skeleton row; the old row's third field
//           (position 2) goes to the field mapping row 3 names
//
// A writer does nothing when the new table already holds rows or the old
// table is empty.
#include <map>
#include <string>

#include "toolkit/conversion.h"
#include "toolkit/db/error.h"

namespace relamor {

namespace {

std::string NewField(db::Recordset& mapping_rows) {
  return TextBeforeBracket(ToText(mapping_rows.Get("newdbfieldname")));
}

std::string OldField(db::Recordset& mapping_rows) {
  return TextBeforeBracket(ToText(mapping_rows.Get("olddbfieldname")));
}

// The old table has more rows than there are skeleton rows to fill.
[[noreturn]] void ThrowNoSkeletonRow(const db::Database& new_db, const db::Database& old_db,
                                     const std::string& new_table, const std::string& old_table,
                                     const char* kind) {
  throw Error(err::kNoCurrentRecord, "No current record: table " + old_table + " in " +
                                         old_db.file_name() + " has more rows than " +
                                         new_db.file_name() + " has " + kind + " channels (table " +
                                         new_table + ")");
}

}  // namespace

void Conversion::WriteModemConnections() {
  if (new_table_.RecordCount() != 0) return;
  if (old_table_.RecordCount() < 1) return;
  InsertConnectionRows("modemConnection", "2", "modemID");
  new_table_.Requery();
  if (new_table_.RecordCount() > 0) new_table_.MoveFirst();
  while (!old_table_.Eof() && old_table_.RecordCount() >= 1) {
    if (new_table_.Eof()) {
      ThrowNoSkeletonRow(new_db_, old_db_, new_table_.source(), old_table_.source(), "modem");
    }
    new_table_.Edit();
    mapping_rows_.MoveNext();
    mapping_rows_.MoveNext();
    while (!mapping_rows_.Eof()) {
      new_table_.Set(NewField(mapping_rows_), old_table_.Get(OldField(mapping_rows_)));
      mapping_rows_.MoveNext();
    }
    new_table_.Update();
    mapping_rows_.MoveFirst();
    new_table_.MoveNext();
    old_table_.MoveNext();
  }
}

void Conversion::WriteIpConnections() {
  if (new_table_.RecordCount() != 0) return;
  if (old_table_.RecordCount() <= 0) return;
  InsertConnectionRows("ipConnection", "3", "ipConnectionID");
  new_table_.Requery();

  // The site of each IP channel, looked up once per call. Keyed by the
  // channel id's readable form, which tells numbers and texts apart.
  std::map<std::string, Value> site_of_channel;
  auto site_of = [&](const Value& channel_id) -> const Value& {
    const std::string key = Describe(channel_id);
    auto found = site_of_channel.find(key);
    if (found != site_of_channel.end()) return found->second;
    db::Recordset look_up =
        new_db_.OpenRecordset("select siteID from channel where channelID = ?", {channel_id});
    if (look_up.Eof()) {
      throw Error(err::kNoCurrentRecord, "No current record: channel " + Describe(channel_id) +
                                             " of table " + new_table_.source() +
                                             " is not in table channel of " + new_db_.file_name());
    }
    return site_of_channel.emplace(key, look_up.Get(0)).first->second;
  };

  while (!old_table_.Eof() && old_table_.RecordCount() >= 1) {
    if (new_table_.RecordCount() > 0) new_table_.MoveFirst();
    while (!new_table_.Eof()) {
      // ValuesEqual: a Null on either side is not equal.
      if (ValuesEqual(old_table_.Get("siteID"), site_of(new_table_.Get("channelID")))) {
        new_table_.Edit();
        mapping_rows_.MoveNext();
        mapping_rows_.MoveNext();
        new_table_.Set(NewField(mapping_rows_), old_table_.Get(OldField(mapping_rows_)));
        new_table_.Update();
      }
      new_table_.MoveNext();
      mapping_rows_.MoveFirst();
    }
    old_table_.MoveNext();
  }
}

void Conversion::WriteSerialConnections() {
  constexpr int kSourcePosition = 2;  // the old row's third field, whatever the mapping says
  if (new_table_.RecordCount() != 0) return;
  if (old_table_.RecordCount() < 1) return;
  InsertConnectionRows("serialconnection", "1", "serialConnectionID");
  new_table_.Requery();
  if (new_table_.RecordCount() != 0) new_table_.MoveFirst();
  while (!old_table_.Eof() && old_table_.RecordCount() >= 1) {
    if (new_table_.Eof()) {
      ThrowNoSkeletonRow(new_db_, old_db_, new_table_.source(), old_table_.source(), "serial");
    }
    new_table_.Edit();
    mapping_rows_.MoveNext();
    mapping_rows_.MoveNext();
    new_table_.Set(NewField(mapping_rows_), old_table_.Get(kSourcePosition));
    new_table_.Update();
    mapping_rows_.MoveFirst();
    new_table_.MoveNext();
    old_table_.MoveNext();
  }
}

}  // namespace relamor
