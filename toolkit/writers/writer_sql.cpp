// Set-based statements of the special writers.
//
// A writer's walk costs a query, a step and an update per row; where the
// outcome of the walk can be told from the tables beforehand, SQLite does
// the same work in a few statements. The checks run first and read only;
// the write runs in a savepoint and is rolled back when it fails, so that
// the walk that follows starts from the same tables.
#include "toolkit/writers/writer_sql.h"

#include <sqlite3.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "toolkit/db/connection.h"
#include "toolkit/db/set_based.h"
#include "toolkit/db/types.h"
#include "toolkit/text.h"

namespace relamor::db {

namespace {

using detail::Attach;
using detail::Statement;

// The largest key of a connection table's skeleton rows.
constexpr std::size_t kLargestKey = 32767;

// Whether storing `v` into a column of `type` stores it unchanged: the
// conversion would return it as it is and refuse nothing.
bool AlreadyFits(sqlite3_value* v, const ColumnType& type) {
  return sqlite3_value_type(v) == SQLITE_NULL || type.kind == TypeKind::kAsGiven ||
         detail::AlreadyFits(v, type.kind, type.max_length);
}

// Added to a kind given to relamor_writer_fits: the value must not be Null.
constexpr int kNotNull = 100;

// relamor_writer_fits(value, kind, max_length, value, kind, max_length,
// ...): the first value, when storing each value into a column of its type
// stores it unchanged; otherwise an error, which ends the statement.
void FitsFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  for (int i = 0; i + 2 < argc; i += 3) {
    ColumnType type;
    int kind = sqlite3_value_int(argv[i + 1]);
    if (kind >= kNotNull) {
      if (sqlite3_value_type(argv[i]) == SQLITE_NULL) {
        sqlite3_result_error(ctx, "relamor_writer_fits: a Null where none is allowed", -1);
        return;
      }
      kind -= kNotNull;
    }
    type.kind = static_cast<TypeKind>(kind);
    type.max_length = static_cast<long>(sqlite3_value_int64(argv[i + 2]));
    if (!AlreadyFits(argv[i], type)) {
      sqlite3_result_error(ctx, "relamor_writer_fits: a value needs converting", -1);
      return;
    }
  }
  sqlite3_result_value(ctx, argv[0]);
}

std::string ColumnText(sqlite3_stmt* stmt, int i) {
  const unsigned char* t = sqlite3_column_text(stmt, i);
  return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
}

// The connections of a set-based write from `source` into `target`; nothing
// when either is closed, both are one connection or the target is read-only.
struct Connections {
  detail::Connection* target = nullptr;
  detail::Connection* origin = nullptr;
};
std::optional<Connections> ConnectionsOf(Database& target, const Database& source) {
  if (!target.is_open() || !source.is_open()) return std::nullopt;
  Connections c{&target.state()->Open(), &source.state()->Open()};
  if (c.target->read_only || c.target == c.origin) return std::nullopt;
  return c;
}

std::string Column(const detail::TableInfo& t, int index) {
  return QuoteName(t.columns[static_cast<std::size_t>(index)].name);
}

// Whether a column of this declared type stores a whole number as it is
// (SQLite's affinity rules: INTEGER, NUMERIC or none, not TEXT or REAL).
bool KeepsWholeNumbers(sqlite3* db, const detail::TableInfo& table, int column) {
  Statement q(db, "SELECT name, type FROM pragma_table_info(?1, 'main')");
  if (!q) return false;
  sqlite3_bind_text(q.stmt, 1, table.name.c_str(), -1, SQLITE_TRANSIENT);
  while (sqlite3_step(q.stmt) == SQLITE_ROW) {
    if (table.ColumnIndex(ColumnText(q.stmt, 0)) != column) continue;
    const std::string type = Upper(ColumnText(q.stmt, 1));
    const auto has = [&](const char* word) { return type.find(word) != std::string::npos; };
    if (has("INT")) return true;
    return !has("CHAR") && !has("CLOB") && !has("TEXT") && !has("REAL") && !has("FLOA") &&
           !has("DOUB");
  }
  return false;
}

// How `statement` (a SELECT DISTINCT of one column of `table`), as a
// recordset on `origin` would run it, tells values apart, when it lists the
// column's distinct values in the order of their first rows: SQLite scans
// the table in rowid order and lists each value the first time it meets it
// (a temporary B-tree holds the values met). The collation to group the
// rows by ("" or " COLLATE NOCASE"); nothing for any other statement or plan.
std::optional<std::string> FirstOccurrenceGrouping(detail::Connection& origin,
                                                   std::string_view statement,
                                                   const detail::TableInfo& table) {
  const Translation translation = origin.Translate(
      statement, detail::UseOf({}, /*executed=*/false, /*updatable=*/!origin.read_only));
  const std::string sql = Upper(translation.sql);
  for (const char* word : {"WHERE", "ORDER", "GROUP", "JOIN", ","}) {
    if (sql.find(word) != std::string::npos) return std::nullopt;
  }
  const std::size_t collate = sql.find("COLLATE");
  std::string grouping;
  if (collate != std::string::npos) {
    if (sql.compare(collate, 14, "COLLATE NOCASE") != 0 ||
        sql.find("COLLATE", collate + 1) != std::string::npos) {
      return std::nullopt;
    }
    grouping = " COLLATE NOCASE";
  }
  Statement plan(origin.db, "EXPLAIN QUERY PLAN " + translation.sql);
  if (!plan) return std::nullopt;
  std::vector<std::string> steps;
  while (sqlite3_step(plan.stmt) == SQLITE_ROW) steps.push_back(ColumnText(plan.stmt, 3));
  if (steps.size() != 2 || !EqualsNoCase(steps[0], "SCAN " + table.name) ||
      steps[1] != "USE TEMP B-TREE FOR DISTINCT") {
    return std::nullopt;
  }
  return grouping;
}

}  // namespace

namespace {

// The columns of a connection table's skeleton rows: the channel, the
// connection's own key and the columns the walk then fills.
struct SkeletonColumns {
  int channel = -1;
  int key = -1;
  std::vector<int> values;
};

// The skeleton columns of `to`, when inserting the rows with their values
// at once can be refused only where the walk's inserts and edits are: every
// column found, the filled ones neither the channel nor the key nor named
// twice, the channel column storing whole numbers as they are, and each
// filled column one that takes a Null (a skeleton row leaves it at its
// default) and that nothing but its type can refuse.
std::optional<SkeletonColumns> SkeletonColumnsOf(sqlite3* db, const detail::TableInfo& to,
                                                 std::string_view key,
                                                 const std::vector<std::string_view>& values) {
  SkeletonColumns c{to.ColumnIndex("channelID"), to.ColumnIndex(key), {}};
  if (c.channel < 0 || c.key < 0 || c.channel == c.key || values.empty()) return std::nullopt;
  std::vector<char> written(to.columns.size(), 0);
  for (const std::string_view name : values) {
    const int value = to.ColumnIndex(name);
    if (value < 0 || value == c.channel || value == c.key ||
        written[static_cast<std::size_t>(value)]) {
      return std::nullopt;
    }
    written[static_cast<std::size_t>(value)] = 1;
    c.values.push_back(value);
  }
  std::vector<char> not_null;
  if (!detail::OnlyNullsRefused(db, to, written, not_null) ||
      !KeepsWholeNumbers(db, to, c.channel) || !detail::UnprovableRules(db, to).empty()) {
    return std::nullopt;
  }
  for (const int value : c.values) {
    if (not_null[static_cast<std::size_t>(value)]) return std::nullopt;
  }
  return c;
}

// Inserts the skeleton rows (channelID `channel_ids[k]`, key k + 1) in a
// savepoint, row k with the values `value_of(k)` points to (one per filled
// column, in their order) when it is not null; `edits` is the number of
// edits the walk makes of them. The change observer hears of every insert
// and every edit. Declines, having stored nothing, when an insert fails.
Declinable<long> InsertSkeletonRows(detail::Connection& target, const detail::TableInfo& to,
                                       const SkeletonColumns& columns,
                                       const std::vector<std::int64_t>& channel_ids,
                                       const std::function<const Value*(std::size_t)>& value_of,
                                       std::int64_t edits) {
  sqlite3* db = target.db;
  const std::int64_t rows = static_cast<std::int64_t>(channel_ids.size());
  detail::SetWrite write(target, rows + edits);
  if (!write.open()) return Decline("no savepoint");
  bool done = false;
  {
    const std::string into = "INSERT INTO main." + to.quoted + " (" +
                             Column(to, columns.channel) + ", " + Column(to, columns.key);
    std::string names;
    std::string parameters;
    for (std::size_t i = 0; i < columns.values.size(); ++i) {
      names += ", " + Column(to, columns.values[i]);
      parameters += ", ?" + std::to_string(i + 3);
    }
    Statement filled(db, into + names + ") VALUES (?1, ?2" + parameters + ")");
    Statement skeleton(db, into + ") VALUES (?1, ?2)");
    if (filled && skeleton) {
      done = true;
      for (std::size_t k = 0; done && k < channel_ids.size(); ++k) {
        const Value* values = value_of(k);
        sqlite3_stmt* stmt = values ? filled.stmt : skeleton.stmt;
        sqlite3_bind_int64(stmt, 1, channel_ids[k]);
        sqlite3_bind_int64(stmt, 2, static_cast<sqlite3_int64>(k + 1));
        for (std::size_t i = 0; values && i < columns.values.size(); ++i) {
          detail::BindValue(stmt, static_cast<int>(i + 3), values[i]);
        }
        done = sqlite3_step(stmt) == SQLITE_DONE;
        sqlite3_reset(stmt);
      }
      if (!done) write.Undo();
    }
  }
  if (!done) return Decline("a row is refused or a stop interrupted the inserts");
  write.Commit(static_cast<long>(rows + edits), /*counters_written=*/true);
  // The observer has heard of the inserts; it hears of the walk's edits too.
  if (target.engine->change_observer && edits > 0) {
    target.engine->change_observer(true, to.name, edits);
  }
  return Declinable<long>::Stored(static_cast<long>(edits));
}

}  // namespace

// The walk inserts the skeleton rows one by one, then, for every old row,
// edits every new row whose channel's site (the first row of "select siteID
// from channel where channelID = ?") equals the old siteID (a Null equals
// nothing) to take the old value.
//
// Proved beforehand, reading only: every channel id is a whole number that
// the new table's channelID stores as it is; every channelID of `channel`
// is a whole number, none twice, and every site there a whole number or
// Null, so that each look-up finds one row and equality is that of whole
// numbers; every new row's channel is there (else the walk fails on it);
// every old site is a whole number or Null; every old value that some edit
// stores already fits the column. The written column takes a Null and
// nothing but its type can refuse a value (SkeletonColumnsOf). Then each row
// is inserted once, with the value of the last old row of its site.
Declinable<long> InsertFilledConnections(Database& target_db, const Database& source,
                                            const std::vector<std::int64_t>& channel_ids,
                                            std::string_view new_table, std::string_view new_key,
                                            std::string_view new_value,
                                            std::string_view old_table, std::string_view old_site,
                                            std::string_view old_value) {
  if (channel_ids.empty() || channel_ids.size() > kLargestKey) {
    return Decline("no channel, or more than 32767");
  }
  const std::optional<Connections> c = ConnectionsOf(target_db, source);
  if (!c) return Decline("a database is closed, read-only or the old one");
  detail::Connection& target = *c->target;
  const auto to = target.FindTable(new_table);
  const auto channel = target.FindTable("channel");
  const auto from = c->origin->FindTable(old_table);
  if (!to || !channel || !from || from->rowid_name.empty()) {
    return Decline("a table is missing, or the old table's columns hide its rowid");
  }
  const int channel_id = channel->ColumnIndex("channelID");
  const int channel_site = channel->ColumnIndex("siteID");
  const int site_from = from->ColumnIndex(old_site);
  const int value_from = from->ColumnIndex(old_value);
  if (channel_id < 0 || channel_site < 0 || site_from < 0 || value_from < 0) {
    return Decline("a column is missing");
  }
  sqlite3* db = target.db;
  const std::optional<SkeletonColumns> columns = SkeletonColumnsOf(db, *to, new_key, {new_value});
  if (!columns) {
    return Decline("the written column could be refused, or channelID does not keep whole numbers");
  }
  // The site of every channel.
  std::unordered_map<std::int64_t, std::optional<std::int64_t>> site_of;
  {
    Statement q(db, "SELECT " + Column(*channel, channel_id) + ", " +
                        Column(*channel, channel_site) + " FROM main." + channel->quoted);
    if (!q) return Decline("the channels cannot be read");
    int rc;
    while ((rc = sqlite3_step(q.stmt)) == SQLITE_ROW) {
      const int site_type = sqlite3_column_type(q.stmt, 1);
      if (sqlite3_column_type(q.stmt, 0) != SQLITE_INTEGER ||
          (site_type != SQLITE_INTEGER && site_type != SQLITE_NULL)) {
        return Decline("a channelID or site of table channel is not a whole number");
      }
      std::optional<std::int64_t> site;
      if (site_type == SQLITE_INTEGER) site = sqlite3_column_int64(q.stmt, 1);
      if (!site_of.emplace(sqlite3_column_int64(q.stmt, 0), site).second) {
        return Decline("a channelID is in table channel twice");
      }
    }
    if (rc != SQLITE_DONE) return Decline("the channels cannot be read");
  }
  // The site of every new row, and the number of new rows of each site.
  std::vector<std::optional<std::int64_t>> row_site;
  row_site.reserve(channel_ids.size());
  std::unordered_map<std::int64_t, std::int64_t> rows_of_site;
  for (const std::int64_t id : channel_ids) {
    const auto found = site_of.find(id);
    if (found == site_of.end()) return Decline("a channel is not in table channel");
    row_site.push_back(found->second);
    if (found->second) ++rows_of_site[*found->second];
  }
  // Every old row in order: each one whose site has new rows edits them all.
  const ColumnType& type = to->columns[static_cast<std::size_t>(columns->values.front())].type;
  std::unordered_map<std::int64_t, Value> last_of_site;
  std::int64_t edits = 0;
  {
    Statement q(c->origin->db, "SELECT " + Column(*from, site_from) + ", " +
                                   Column(*from, value_from) + " FROM main." + from->quoted +
                                   " ORDER BY " + from->rowid_name);
    if (!q) return Decline("the old rows cannot be read");
    int rc;
    while ((rc = sqlite3_step(q.stmt)) == SQLITE_ROW) {
      const int site_type = sqlite3_column_type(q.stmt, 0);
      if (site_type == SQLITE_NULL) continue;
      if (site_type != SQLITE_INTEGER) return Decline("an old site is not a whole number");
      const auto rows = rows_of_site.find(sqlite3_column_int64(q.stmt, 0));
      if (rows == rows_of_site.end()) continue;
      if (!AlreadyFits(sqlite3_column_value(q.stmt, 1), type)) {
        return Decline("an old value needs converting");
      }
      edits += rows->second;
      detail::ReadColumn(q.stmt, 1, last_of_site[rows->first]);
    }
    if (rc != SQLITE_DONE) return Decline("the old rows cannot be read");
  }

  return InsertSkeletonRows(
      target, *to, *columns, channel_ids,
      [&](std::size_t k) -> const Value* {
        if (!row_site[k]) return nullptr;
        const auto found = last_of_site.find(*row_site[k]);
        return found == last_of_site.end() ? nullptr : &found->second;
      },
      edits);
}

// The walk inserts the skeleton rows one by one, then walks the old and the
// new rows side by side, each in its table's order: the n-th old row's
// values go into the n-th new row, and an old row past the last new row
// fails. Proved beforehand: the new rows come back in the order they were
// inserted (no rowid alias but the key's, or ascending channel ids), there
// are no more old rows than new ones, and every old value already fits its
// column; the columns as SkeletonColumnsOf asks. Then each row is inserted
// once, the first ones with their old row's values.
Declinable<long> InsertConnectionsInOrder(Database& target_db, const Database& source,
                                             const std::vector<std::int64_t>& channel_ids,
                                             std::string_view new_table, std::string_view new_key,
                                             std::string_view old_table,
                                             const std::vector<OrderedValue>& values) {
  if (channel_ids.empty() || channel_ids.size() > kLargestKey) {
    return Decline("no channel, or more than 32767");
  }
  const std::optional<Connections> c = ConnectionsOf(target_db, source);
  if (!c) return Decline("a database is closed, read-only or the old one");
  detail::Connection& target = *c->target;
  const auto to = target.FindTable(new_table);
  const auto from = c->origin->FindTable(old_table);
  if (!to || !from || from->rowid_name.empty() || to->rowid_name.empty()) {
    return Decline("a table is missing, or its columns hide its rowid");
  }
  std::vector<std::string_view> names;
  std::string read;
  for (const OrderedValue& v : values) {
    if (v.old_position < 0 || static_cast<std::size_t>(v.old_position) >= from->columns.size()) {
      return Decline("the old table lacks a mapped field");
    }
    names.push_back(v.new_column);
    read += (read.empty() ? "" : ", ") + Column(*from, v.old_position);
  }
  sqlite3* db = target.db;
  const std::optional<SkeletonColumns> columns = SkeletonColumnsOf(db, *to, new_key, names);
  if (!columns) {
    return Decline("a written column could be refused, or channelID does not keep whole numbers");
  }
  for (std::size_t i = 0; i < to->columns.size(); ++i) {
    if (!to->columns[i].rowid_alias || static_cast<int>(i) == columns->key) continue;
    if (static_cast<int>(i) != columns->channel ||
        !std::is_sorted(channel_ids.begin(), channel_ids.end())) {
      return Decline("the new rows may not come back in the order they were inserted");
    }
  }
  // The old rows' values, row after row.
  const std::size_t width = values.size();
  std::vector<Value> old_values;
  {
    Statement q(c->origin->db,
                "SELECT " + read + " FROM main." + from->quoted + " ORDER BY " + from->rowid_name);
    if (!q) return Decline("the old rows cannot be read");
    int rc;
    while ((rc = sqlite3_step(q.stmt)) == SQLITE_ROW) {
      if (old_values.size() == channel_ids.size() * width) {
        return Decline("more old rows than channels");
      }
      for (std::size_t i = 0; i < width; ++i) {
        const ColumnType& type = to->columns[static_cast<std::size_t>(columns->values[i])].type;
        if (!AlreadyFits(sqlite3_column_value(q.stmt, static_cast<int>(i)), type)) {
          return Decline("an old value needs converting");
        }
        detail::ReadColumn(q.stmt, static_cast<int>(i), old_values.emplace_back());
      }
    }
    if (rc != SQLITE_DONE) return Decline("the old rows cannot be read");
  }
  const std::size_t old_rows = old_values.size() / width;
  return InsertSkeletonRows(
      target, *to, *columns, channel_ids,
      [&](std::size_t k) { return k < old_rows ? &old_values[k * width] : nullptr; },
      static_cast<std::int64_t>(old_rows));
}

// The walk appends, for every id of the list in turn, the first row of the
// look-up by that id, converting each value as it is stored. The list scans
// the old table and lists each id when first met, so it holds the ids of the
// first rows of the groups of equal ids, in rowid order. A look-up by a
// whole number finds the rows numerically equal to it, in rowid order: the
// group. So one INSERT ... SELECT of the first row of each group, in rowid
// order, appends the same rows, once every id is a whole number (not Null)
// and every value is stored unchanged; the check of each row makes the
// statement fail otherwise, and it is undone.
Declinable<long> AppendFirstRowOfEachKey(
    Database& target_db, const Database& source, std::string_view new_table,
    std::string_view old_table, std::string_view key, std::string_view key_list,
    const std::vector<std::pair<std::string, std::string>>& columns) {
  if (columns.empty()) return Decline("no column to write");
  const std::optional<Connections> c = ConnectionsOf(target_db, source);
  if (!c) return Decline("a database is closed, read-only or the old one");
  detail::Connection& target = *c->target;
  const auto to = target.FindTable(new_table);
  const auto from = c->origin->FindTable(old_table);
  if (!to || !from || to->has_counter || to->rowid_name.empty() || from->rowid_name.empty()) {
    return Decline("a table is missing, a counter column, or the columns hide the rowid");
  }
  const int key_from = from->ColumnIndex(key);
  if (key_from < 0) return Decline("no key column");
  if (!FirstOccurrenceGrouping(*c->origin, key_list, *from)) {
    return Decline("the id list does not list each id when first met in rowid order");
  }
  // The first value goes through the check of every value of the row.
  std::string names;
  std::string values;
  std::string checked;
  int first_to = -1;  // the new column of the first entry, which takes the id
  for (const auto& [new_column, old_column] : columns) {
    const int index_to = to->ColumnIndex(new_column);
    const int index_from = from->ColumnIndex(old_column);
    if (index_to < 0 || index_from < 0) return Decline("a column is missing");
    const std::string value = "s." + Column(*from, index_from);
    const ColumnType& type = to->columns[static_cast<std::size_t>(index_to)].type;
    const std::string check = value + ", " + std::to_string(static_cast<int>(type.kind)) + ", " +
                              std::to_string(type.max_length);
    if (first_to < 0) {
      // The id: a whole number (a column of a whole-number type takes no
      // other unchanged), never Null.
      if (type.kind != TypeKind::kByte && type.kind != TypeKind::kShort &&
          type.kind != TypeKind::kLong) {
        return Decline("the id's column does not take whole numbers");
      }
      first_to = index_to;
      checked = value + ", " + std::to_string(static_cast<int>(type.kind) + kNotNull) + ", " +
                std::to_string(type.max_length);
    } else {
      values += ", " + value;
      checked += ", " + check;
    }
    names += (names.empty() ? "" : ", ") + Column(*to, index_to);
  }
  values = "relamor_writer_fits(" + checked + ")" + values;
  sqlite3* db = target.db;
  if (std::string why = detail::UnprovableRules(db, *to); !why.empty()) return Decline(why);
  const std::optional<std::string> schema = Attach(target, *c->origin, from->name);
  if (!schema) return Decline("the old database cannot be attached");
  const int flags = SQLITE_UTF8 | SQLITE_DIRECTONLY;  // not deterministic: run for every row
  if (sqlite3_create_function_v2(db, "relamor_writer_fits", -1, flags, nullptr, &FitsFunction,
                                 nullptr, nullptr, nullptr) != SQLITE_OK) {
    return Decline("the check function cannot be installed");
  }
  const std::string old_rows = *schema + "." + from->quoted;
  const std::int64_t rows_at_most = detail::RowsAtMost(db, old_rows, from->rowid_name);
  // The groups are those of the list's collation, but every first row's id
  // must be a whole number (the check fails the statement otherwise), and
  // no collation tells numbers apart or puts a text with a number: a text
  // id makes a group of texts whose first row fails the check either way.
  // So the rows are grouped by the plain value, which compares numbers
  // faster than a text collation.
  const std::string key_name = Column(*from, key_from);

  detail::SetWrite write(target, rows_at_most);
  if (!write.open()) return Decline("no savepoint");
  bool done = false;
  long appended = 0;
  {
    Statement insert(db, "INSERT INTO main." + to->quoted + " (" + names + ") SELECT " + values +
                             " FROM " + old_rows + " AS s WHERE s." + from->rowid_name +
                             " IN (SELECT min(" + from->rowid_name + ") FROM " + old_rows +
                             " GROUP BY " + key_name + ") ORDER BY s." +
                             from->rowid_name);
    if (insert) {
      done = sqlite3_step(insert.stmt) == SQLITE_DONE;
      appended = static_cast<long>(sqlite3_changes64(db));
      if (!done) write.Undo();
    }
  }
  if (!done) {
    return Decline(
        "a row is refused, a value needs converting, or a stop interrupted the statement");
  }
  write.Commit(appended);
  return Declinable<long>::Stored(appended);
}

// The walk looks each site up with "Select <look_up> from customers where
// <look_up> = ?" and its key bound, and appends a placeholder where that
// finds nothing. With whole numbers on both sides the look-up finds exactly
// the equal numbers, so a set of the old customers' numbers answers it.
Declinable<long> AppendPlaceholderCustomers(Database& target_db, const Database& source,
                                               std::string_view key, std::string_view look_up,
                                               std::int64_t first_number) {
  constexpr std::int64_t kLargestNumber = 32767;
  const std::optional<Connections> c = ConnectionsOf(target_db, source);
  if (!c) return Decline("a database is closed, read-only or the old one");
  detail::Connection& target = *c->target;
  const auto to = target.FindTable("customers");
  const auto sites = c->origin->FindTable("sites");
  const auto old_customers = c->origin->FindTable("customers");
  if (!to || !sites || !old_customers || to->has_counter || sites->rowid_name.empty()) {
    return Decline("a table is missing, a counter column, or the columns hide the rowid");
  }
  const int number_to = to->ColumnIndex("customerID");
  const int name_to = to->ColumnIndex("Name");
  const int key_from = sites->ColumnIndex(key);
  const int look_up_from = old_customers->ColumnIndex(look_up);
  if (number_to < 0 || name_to < 0 || number_to == name_to || key_from < 0 || look_up_from < 0) {
    return Decline("a column is missing");
  }
  sqlite3* db = target.db;
  sqlite3* old_db = c->origin->db;
  if (std::string why = detail::UnprovableRules(db, *to); !why.empty()) return Decline(why);
  // The numbers the old customers carry.
  std::unordered_map<std::int64_t, char> known;
  {
    Statement q(old_db, "SELECT " + Column(*old_customers, look_up_from) + " FROM main." +
                            old_customers->quoted);
    if (!q) return Decline("the old customers cannot be read");
    int rc;
    while ((rc = sqlite3_step(q.stmt)) == SQLITE_ROW) {
      const int type = sqlite3_column_type(q.stmt, 0);
      if (type == SQLITE_NULL) continue;
      if (type != SQLITE_INTEGER) return Decline("an old customer's number is not a whole number");
      known.emplace(sqlite3_column_int64(q.stmt, 0), 0);
    }
    if (rc != SQLITE_DONE) return Decline("the old customers cannot be read");
  }
  // The sites no old customer refers to, counted.
  std::int64_t placeholders = 0;
  {
    Statement q(old_db, "SELECT " + Column(*sites, key_from) + " FROM main." + sites->quoted +
                            " ORDER BY " + sites->rowid_name);
    if (!q) return Decline("the sites cannot be read");
    int rc;
    while ((rc = sqlite3_step(q.stmt)) == SQLITE_ROW) {
      if (sqlite3_column_type(q.stmt, 0) != SQLITE_INTEGER)
        return Decline("a site's key is not a whole number");  // Null too
      if (known.count(sqlite3_column_int64(q.stmt, 0)) == 0) ++placeholders;
    }
    if (rc != SQLITE_DONE) return Decline("the sites cannot be read");
  }
  if (placeholders == 0) return Declinable<long>::Stored(0);
  const std::int64_t last = first_number + placeholders - 1;
  if (first_number < 1 || last > kLargestNumber) return Decline("a customer number past 32767");
  // The largest number and the longest name fit when every one does.
  const ColumnType& number_type = to->columns[static_cast<std::size_t>(number_to)].type;
  const ColumnType& name_type = to->columns[static_cast<std::size_t>(name_to)].type;
  const bool numbers_fit = number_type.kind == TypeKind::kAsGiven ||
                           number_type.kind == TypeKind::kShort ||
                           number_type.kind == TypeKind::kLong ||
                           (number_type.kind == TypeKind::kByte && last <= 255);
  const std::size_t longest = std::string("Customer").size() + std::to_string(last).size();
  const bool names_fit = name_type.kind == TypeKind::kAsGiven ||
                         (name_type.kind == TypeKind::kText &&
                          (name_type.max_length == 0 ||
                           longest <= static_cast<std::size_t>(name_type.max_length)));
  if (!numbers_fit || !names_fit) return Decline("a number or a name does not fit its column");

  detail::SetWrite write(target, placeholders);
  if (!write.open()) return Decline("no savepoint");
  bool done = false;
  {
    Statement insert(db, "INSERT INTO main." + to->quoted + " (" + Column(*to, number_to) + ", " +
                             Column(*to, name_to) + ") VALUES (?1, ?2)");
    done = static_cast<bool>(insert);
    for (std::int64_t n = first_number; done && n <= last; ++n) {
      const std::string name = "Customer" + std::to_string(n);
      sqlite3_bind_int64(insert.stmt, 1, n);
      sqlite3_bind_text(insert.stmt, 2, name.data(), static_cast<int>(name.size()),
                        SQLITE_TRANSIENT);
      done = sqlite3_step(insert.stmt) == SQLITE_DONE;
      sqlite3_reset(insert.stmt);
    }
    if (!done) write.Undo();
  }
  if (!done) return Decline("a row is refused");
  write.Commit(static_cast<long>(placeholders), /*counters_written=*/true);
  return Declinable<long>::Stored(static_cast<long>(placeholders));
}

}  // namespace relamor::db
