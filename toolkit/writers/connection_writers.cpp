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
#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "toolkit/writers/writer_sql.h"
#include "toolkit/error.h"
#include "toolkit/writers/special_writers.h"
#include "toolkit/text.h"

namespace relamor {

namespace {

using writer_fields::Destination;
using writer_fields::Move;
using writer_fields::Source;

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

// The sites of the IP writer's new rows by position, as a walk over every
// new row looked them up, indexed by whole-number site (the usual case); other
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
// order in which a recordset on the table walks them). The table loop's
// recordset walks forward to a row ahead of it; a row behind it is opened on
// its own by its rowid (when every name of the rowid is a column name, the
// walk starts afresh instead).
class RowsByPosition {
 public:
  RowsByPosition(db::Database& db, db::Recordset& walk, std::size_t rows)
      : db_(db), walk_(walk), rows_(rows) {}

  // The recordset standing on the row at `position`.
  db::Recordset& At(int position) {
    if (at_ != kUnknown && at_ > position) {
      if (OpenBehind(position)) return behind_row_;
      at_ = kUnknown;
    }
    if (at_ == kUnknown) {
      walk_.MoveFirst();
      at_ = 0;
    }
    for (; at_ < position; ++at_) walk_.MoveNext();
    return walk_;
  }

  // The walking recordset was moved by someone else.
  void Forget() { at_ = kUnknown; }

 private:
  bool OpenBehind(int position) {
    if (!rowids_read_) {
      rowids_read_ = true;
      const std::string rowid = db_.RowidName(walk_.source());
      if (rowid.empty()) return false;
      const std::string name = QuoteName(walk_.source());
      for (db::Recordset ids =
               db_.OpenRecordset("select " + rowid + " from " + name + " order by " + rowid);
           !ids.Eof(); ids.MoveNext()) {
        rowids_.push_back(ids.Get(0));
      }
      // The table must hold the rows the walk met, no more and no fewer.
      if (rowids_.size() == rows_) select_ = "select * from " + name + " where " + rowid + " = ?";
    }
    if (select_.empty()) return false;
    behind_row_ = db_.OpenRecordset(select_, {rowids_.at(static_cast<std::size_t>(position))});
    return true;
  }

  db::Database& db_;
  db::Recordset& walk_;
  const std::size_t rows_;
  int at_ = kUnknown;  // the walking recordset's position; kUnknown when not known
  bool rowids_read_ = false;
  std::vector<Value> rowids_;
  std::string select_;
  db::Recordset behind_row_;
};

// The site of each IP channel, looked up in the new channel table once per
// channel. Keyed by the channel id's readable form, which tells numbers and
// texts apart.
class ChannelSites {
 public:
  ChannelSites(db::Database& new_db, std::string table) : db_(new_db), table_(std::move(table)) {}

  const Value& Of(const Value& channel_id) {
    const std::string key = Describe(channel_id);
    auto found = sites_.find(key);
    if (found != sites_.end()) return found->second;
    db::Recordset look_up =
        db_.OpenRecordset("select siteID from channel where channelID = ?", {channel_id});
    if (look_up.Eof()) {
      throw Error(err::kNoCurrentRecord, "No current record: channel " + Describe(channel_id) +
                                             " of table " + table_ +
                                             " is not in table channel of " + db_.path());
    }
    return sites_.emplace(key, look_up.Get(0)).first->second;
  }

 private:
  db::Database& db_;
  const std::string table_;
  std::map<std::string, Value> sites_;
};

// Stores the value of the old row's field that `m` names into the current
// row of `rows`.
void StoreMove(const FieldMove& m, const db::Recordset& old_row, db::Recordset& rows) {
  Value value = old_row.Get(Source(m, old_row));
  rows.Set(Destination(m, rows), std::move(value));
}

// The channels of `kind` as the skeleton step lists them, in its order;
// nothing when one is not a whole number.
std::optional<std::vector<std::int64_t>> ChannelIds(TableCopyIo& io, const char* kind) {
  std::vector<std::int64_t> ids;
  for (db::Recordset channels = io.new_db.OpenRecordset(
           "select channelID from channel where channelType=?", {Value{std::string(kind)}});
       !channels.Eof(); channels.MoveNext()) {
    const Value id = channels.Get("channelID");
    const auto* whole = std::get_if<std::int64_t>(&id);
    if (whole == nullptr) return std::nullopt;
    ids.push_back(*whole);
  }
  return ids;
}

// A connection writer's skeleton rows and their fill in one pass, when it
// can prove the walk's outcome; a decline, having stored nothing, otherwise.
// The channels are listed by the skeleton step's own query, so that they
// come in its order. The IP rows take the value of their site's last old
// row (db::InsertFilledConnections), the serial rows that of the old row of
// their position (db::InsertConnectionsInOrder).
Shortcut<long> InsertFilledRows(const TablePlan& plan, TableCopyIo& io, const char* kind,
                                int old_position) {
  if (io.new_table.RecordCount() != 0 || io.old_table.RecordCount() <= 0) {
    return Decline("the new table holds rows or the old one is empty");
  }
  if (plan.failure || plan.moves.empty()) return Decline("the mapping lacks a row");
  const FieldMove& m = plan.moves.front();
  if (m.destination_index < 0) return Decline("the new table lacks the mapped field");
  const std::optional<std::vector<std::int64_t>> channel_ids = ChannelIds(io, kind);
  if (!channel_ids) return Decline("a channelID is not a whole number");
  const std::string new_value = io.new_table.FieldName(m.destination_index);
  if (old_position >= 0) {
    return db::InsertConnectionsInOrder(io.new_db, io.old_db, *channel_ids, io.new_table.source(),
                                        "serialConnectionID", io.old_table.source(),
                                        {{new_value, old_position}});
  }
  if (m.source_index < 0) return Decline("the old table lacks the mapped field");
  return db::InsertFilledConnections(io.new_db, io.old_db, *channel_ids, io.new_table.source(),
                                     "ipConnectionID", new_value, io.old_table.source(), "siteID",
                                     io.old_table.FieldName(m.source_index));
}

}  // namespace

// The modem walk stores every mapping row's old field into its new field,
// the n-th old row into the n-th skeleton row; a field stored twice keeps
// the later value.
Shortcut<long> ModemConnectionsInOnePass(const TablePlan& plan, TableCopyIo& io) {
  if (io.new_table.RecordCount() != 0 || io.old_table.RecordCount() <= 0) {
    return Decline("the new table holds rows or the old one is empty");
  }
  if (plan.failure || plan.moves.empty()) return Decline("the mapping lacks a row");
  std::vector<db::OrderedValue> values;
  for (const FieldMove& m : plan.moves) {
    if (m.kind != MoveKind::kCopied || m.destination_index < 0 || m.source_index < 0) {
      return Decline("a mapped field is missing");
    }
    const std::string name = io.new_table.FieldName(m.destination_index);
    const auto same = std::find_if(values.begin(), values.end(), [&](const db::OrderedValue& v) {
      return EqualsNoCase(v.new_column, name);
    });
    if (same != values.end()) {
      same->old_position = m.source_index;
    } else {
      values.push_back({name, m.source_index});
    }
  }
  const std::optional<std::vector<std::int64_t>> channel_ids = ChannelIds(io, "2");
  if (!channel_ids) return Decline("a channelID is not a whole number");
  return db::InsertConnectionsInOrder(io.new_db, io.old_db, *channel_ids, io.new_table.source(),
                                      "modemID", io.old_table.source(), values);
}

void WriteModemConnections(const TablePlan& plan, TableCopyIo& io) {
  db::Recordset& old_table = io.old_table;
  db::Recordset& new_table = io.new_table;
  if (new_table.RecordCount() != 0) return;
  if (old_table.RecordCount() < 1) return;
  InsertConnectionRows(io.new_db, "modemConnection", "2", "modemID");
  new_table.Requery();
  if (new_table.RecordCount() > 0) new_table.MoveFirst();
  while (!old_table.Eof()) {
    if (new_table.Eof()) {
      ThrowNoSkeletonRow(io.new_db, io.old_db, new_table.source(), old_table.source(), "modem");
    }
    new_table.Edit();
    if (plan.failure) throw *plan.failure;
    for (const FieldMove& m : plan.moves) StoreMove(m, old_table, new_table);
    new_table.Update();
    new_table.MoveNext();
    old_table.MoveNext();
  }
}

// The IP channels of a site share the site's old row. Taken literally: for
// every old row, in order, every new row is walked in order, and where the
// site of the new row's channel equals the old row's siteID (ValuesEqual: a
// Null equals nothing) mapping row 3's value is stored; the last old row of
// a site decides.
//
// Walking every new row for every old row is quadratic. The sites of the new
// rows stay as they are while the writer stores a field other than
// channelID, so the first old row walks every new row and looks up every
// site, and each later old row stores only at the positions of its own site,
// in ascending order: the same stores, in the same order, with the same
// values. Should the mapping store channelID itself, every old row walks
// every new row.
void WriteIpConnections(const TablePlan& plan, TableCopyIo& io) {
  db::Recordset& old_table = io.old_table;
  db::Recordset& new_table = io.new_table;
  if (new_table.RecordCount() != 0) return;
  if (old_table.RecordCount() <= 0) return;
  InsertConnectionRows(io.new_db, "ipConnection", "3", "ipConnectionID");
  new_table.Requery();

  ChannelSites channel_sites(io.new_db, new_table.source());
  const auto store = [&](db::Recordset& rows) {
    rows.Edit();
    StoreMove(Move(plan, 0), old_table, rows);
    rows.Update();
  };
  // Fields the walk reads, once the new table has a row to read.
  int channel_field = kUnknown;  // channelID of the new rows
  int site_field = kUnknown;     // siteID of the old rows
  if (new_table.RecordCount() > 0) {
    channel_field = new_table.FieldIndex("channelID");
    site_field = old_table.FieldIndex("siteID");
  }
  const bool stores_channel = !plan.moves.empty() && channel_field != kUnknown &&
                              plan.moves.front().destination_index == channel_field;

  // Every new row, in order, for the current old row; returns the sites met.
  const auto walk_every_row = [&] {
    SitePositions sites;
    if (new_table.RecordCount() > 0) new_table.MoveFirst();
    if (new_table.Eof()) return sites;
    const Value old_site = old_table.Get(site_field);
    for (; !new_table.Eof(); new_table.MoveNext()) {
      const Value& site = channel_sites.Of(new_table.Get(channel_field));
      sites.Add(site);
      if (ValuesEqual(old_site, site)) store(new_table);
    }
    return sites;
  };

  SitePositions sites = walk_every_row();
  RowsByPosition rows(io.new_db, new_table, sites.size());
  for (old_table.MoveNext(); !old_table.Eof(); old_table.MoveNext()) {
    if (stores_channel) {
      sites = walk_every_row();
      rows.Forget();
    } else if (!sites.empty()) {
      for (const int p : sites.Matching(old_table.Get(site_field))) store(rows.At(p));
    }
  }
}

Shortcut<long> IpConnectionsInOnePass(const TablePlan& plan, TableCopyIo& io) {
  return InsertFilledRows(plan, io, "3", -1);
}

// The serial walk stores the old row's third field, whatever the mapping says.
constexpr int kSerialSourcePosition = 2;

Shortcut<long> SerialConnectionsInOnePass(const TablePlan& plan, TableCopyIo& io) {
  return InsertFilledRows(plan, io, "1", kSerialSourcePosition);
}

void WriteSerialConnections(const TablePlan& plan, TableCopyIo& io) {
  constexpr int kSourcePosition = kSerialSourcePosition;
  db::Recordset& old_table = io.old_table;
  db::Recordset& new_table = io.new_table;
  if (new_table.RecordCount() != 0) return;
  if (old_table.RecordCount() < 1) return;
  InsertConnectionRows(io.new_db, "serialconnection", "1", "serialConnectionID");
  new_table.Requery();
  if (new_table.RecordCount() != 0) new_table.MoveFirst();
  while (!old_table.Eof()) {
    if (new_table.Eof()) {
      ThrowNoSkeletonRow(io.new_db, io.old_db, new_table.source(), old_table.source(), "serial");
    }
    new_table.Edit();
    const FieldMove& m = Move(plan, 0);
    Value value = old_table.Get(kSourcePosition);
    new_table.Set(Destination(m, new_table), std::move(value));
    new_table.Update();
    new_table.MoveNext();
    old_table.MoveNext();
  }
}

}  // namespace relamor
