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
//
// The mapping rows name the same fields for every row: each writer walks them
// for the first row it fills, as they come, and keeps the field positions it
// met for the rows after it (a missing mapping row or field thus fails on the
// first row, before that row is stored).
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "toolkit/conversion.h"
#include "toolkit/error.h"
#include "toolkit/text.h"

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
                                         old_db.path() + " has more rows than " +
                                         new_db.path() + " has " + kind + " channels (table " +
                                         new_table + ")");
}

constexpr int kUnknown = -1;

// The new rows of the IP writer whose channel belongs to a site, for the
// walks after the first: the sites of the new rows by position, as the first
// walk looked them up, indexed by whole-number site (the usual case); other
// sites are compared one by one. Matching is ValuesEqual, as in the walk.
class SitePositions {
 public:
  void Add(const Value& site) {
    const int position = static_cast<int>(sites_.size());
    sites_.push_back(site);
    if (const auto* whole = std::get_if<std::int64_t>(&site)) {
      by_whole_[*whole].push_back(position);
    } else if (!IsNull(site)) {
      others_.push_back(position);
    }
  }

  bool empty() const { return sites_.empty(); }
  std::size_t size() const { return sites_.size(); }

  // The positions, ascending, whose site equals `site`.
  std::vector<int> Matching(const Value& site) const {
    std::vector<int> out;
    if (IsNull(site)) return out;
    const auto* whole = std::get_if<std::int64_t>(&site);
    if (whole == nullptr) {
      for (int p = 0; p < static_cast<int>(sites_.size()); ++p) {
        if (ValuesEqual(site, sites_[p])) out.push_back(p);
      }
      return out;
    }
    static const std::vector<int> kNone;
    const auto found = by_whole_.find(*whole);
    const std::vector<int>& equal = found == by_whole_.end() ? kNone : found->second;
    auto e = equal.begin();
    for (const int p : others_) {
      if (!ValuesEqual(site, sites_[p])) continue;
      while (e != equal.end() && *e < p) out.push_back(*e++);
      out.push_back(p);
    }
    out.insert(out.end(), e, equal.end());
    return out;
  }

 private:
  std::vector<Value> sites_;
  std::unordered_map<std::int64_t, std::vector<int>> by_whole_;
  std::vector<int> others_;  // positions of sites that are not whole numbers
};

// The rows of a table by their position in the table's order (the rowid
// order in which a recordset on the table walks them), each opened on its own
// as an updatable recordset. Not usable when every name of the rowid is a
// column name.
class RowsByPosition {
 public:
  RowsByPosition(db::Database& db, const std::string& table, std::size_t rows) {
    const std::string rowid = db.RowidName(table);
    if (rowid.empty()) return;
    const std::string name = QuoteName(table);
    for (db::Recordset ids =
             db.OpenRecordset("select " + rowid + " from " + name + " order by " + rowid);
         !ids.Eof(); ids.MoveNext()) {
      rowids_.push_back(ids.Get(0));
    }
    // The table must hold the rows the walk met, no more and no fewer.
    if (rowids_.size() == rows) select_ = "select * from " + name + " where " + rowid + " = ?";
  }

  bool usable() const { return !select_.empty(); }

  db::Recordset Open(db::Database& db, int position) const {
    return db.OpenRecordset(select_, {rowids_.at(static_cast<std::size_t>(position))});
  }

 private:
  std::vector<Value> rowids_;
  std::string select_;
};

}  // namespace

void Conversion::WriteModemConnections() {
  if (new_table_.RecordCount() != 0) return;
  if (old_table_.RecordCount() < 1) return;
  InsertConnectionRows("modemConnection", "2", "modemID");
  new_table_.Requery();
  if (new_table_.RecordCount() > 0) new_table_.MoveFirst();
  // (new field, old field) of mapping rows 3 to the last, once walked.
  std::optional<std::vector<std::pair<int, int>>> fields;
  while (!old_table_.Eof() && old_table_.RecordCount() >= 1) {
    if (new_table_.Eof()) {
      ThrowNoSkeletonRow(new_db_, old_db_, new_table_.source(), old_table_.source(), "modem");
    }
    new_table_.Edit();
    if (fields) {
      for (const auto& [to, from] : *fields) new_table_.Set(to, old_table_.Get(from));
      new_table_.Update();
    } else {
      std::vector<std::pair<int, int>> walked;
      mapping_rows_.MoveNext();
      mapping_rows_.MoveNext();
      while (!mapping_rows_.Eof()) {
        const int from = old_table_.FieldIndex(OldField(mapping_rows_));
        Value value = old_table_.Get(from);
        const int to = new_table_.FieldIndex(NewField(mapping_rows_));
        new_table_.Set(to, std::move(value));
        walked.emplace_back(to, from);
        mapping_rows_.MoveNext();
      }
      new_table_.Update();
      mapping_rows_.MoveFirst();
      fields = std::move(walked);
    }
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
                                             " is not in table channel of " + new_db_.path());
    }
    return site_of_channel.emplace(key, look_up.Get(0)).first->second;
  };

  int channel_field = kUnknown;  // channelID of the new rows
  int site_field = kUnknown;     // siteID of the old rows
  int to = kUnknown;             // the new and the old field of mapping row 3
  int from = kUnknown;
  // Stores the old row's mapped value into the current row of `rows` (a
  // recordset on the new table).
  auto store = [&](db::Recordset& rows) {
    rows.Edit();
    if (to != kUnknown) {
      rows.Set(to, old_table_.Get(from));
      rows.Update();
      return;
    }
    mapping_rows_.MoveNext();
    mapping_rows_.MoveNext();
    from = old_table_.FieldIndex(OldField(mapping_rows_));
    Value value = old_table_.Get(from);
    to = rows.FieldIndex(NewField(mapping_rows_));
    rows.Set(to, std::move(value));
    rows.Update();
    mapping_rows_.MoveFirst();
  };

  // The first old row walks every new row and looks up every site; later
  // old rows visit only the new rows of their own site: the walk moves on to
  // a row ahead of it, and a row behind it (a later old row of a site met
  // before) is opened on its own by its rowid. Rows are thus edited in the
  // same order and with the same values as by a walk over every new row for
  // every old row. Should the mapping write channelID itself, the sites can
  // change under the walk: every old row then walks every new row.
  std::optional<SitePositions> sites;
  int at = kUnknown;  // position of the new-table recordset's row; kUnknown at its end
  std::optional<RowsByPosition> behind;
  auto store_at = [&](int p) {
    if (at != kUnknown && at > p) {
      if (!behind) behind = RowsByPosition(new_db_, new_table_.source(), sites->size());
      if (behind->usable()) {
        db::Recordset row = behind->Open(new_db_, p);
        store(row);
        return;
      }
      at = kUnknown;  // no rowid to open the row by: walk afresh
    }
    if (at == kUnknown) {
      new_table_.MoveFirst();
      at = 0;
    }
    for (; at < p; ++at) new_table_.MoveNext();
    store(new_table_);
  };
  while (!old_table_.Eof() && old_table_.RecordCount() >= 1) {
    if (sites && (to == kUnknown || to != channel_field)) {
      if (!sites->empty()) {
        for (const int p : sites->Matching(old_table_.Get(site_field))) store_at(p);
      }
    } else {
      SitePositions walked;
      std::optional<Value> old_site;
      if (new_table_.RecordCount() > 0) new_table_.MoveFirst();
      while (!new_table_.Eof()) {
        if (channel_field == kUnknown) channel_field = new_table_.FieldIndex("channelID");
        const Value& site = site_of(new_table_.Get(channel_field));
        if (site_field == kUnknown) site_field = old_table_.FieldIndex("siteID");
        if (!old_site) old_site = old_table_.Get(site_field);
        walked.Add(site);
        // ValuesEqual: a Null on either side is not equal.
        if (ValuesEqual(*old_site, site)) store(new_table_);
        new_table_.MoveNext();
      }
      at = kUnknown;
      sites = std::move(walked);
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
  int to = kUnknown;  // the new field of mapping row 3, once walked
  while (!old_table_.Eof() && old_table_.RecordCount() >= 1) {
    if (new_table_.Eof()) {
      ThrowNoSkeletonRow(new_db_, old_db_, new_table_.source(), old_table_.source(), "serial");
    }
    new_table_.Edit();
    if (to != kUnknown) {
      new_table_.Set(to, old_table_.Get(kSourcePosition));
      new_table_.Update();
    } else {
      mapping_rows_.MoveNext();
      mapping_rows_.MoveNext();
      Value value = old_table_.Get(kSourcePosition);
      const int field = new_table_.FieldIndex(NewField(mapping_rows_));
      new_table_.Set(field, std::move(value));
      new_table_.Update();
      mapping_rows_.MoveFirst();
      to = field;
    }
    new_table_.MoveNext();
    old_table_.MoveNext();
  }
}

}  // namespace relamor
