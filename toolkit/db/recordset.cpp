// Recordsets: streamed rows of a table or a statement, with AddNew/Edit.
//
// A table recordset runs SELECT rowid, * FROM "t" WHERE rowid <= ? ORDER BY
// rowid, the bound value being the table's largest rowid when the walk
// (re)starts: rows added during a walk, through this recordset or any other,
// join it at the next MoveFirst, MoveLast or Requery, so a walk that adds rows
// to its own table always ends. An updatable statement recordset selects the
// table's rowid as a hidden first column; both kinds store rows by rowid.
//
// Only the current row is held (copied out of the statement at each step).
// RecordCount is the number of distinct rows of the walk visited so far plus
// the rows added and stored since; rows a statement recordset added and then
// meets in its walk are not counted twice.
#include "toolkit/db/recordset.h"

#include <sqlite3.h>

#include <algorithm>

#include "toolkit/db/connection.h"
#include "toolkit/db/jet_reader.h"
#include "toolkit/db/refusals.h"

namespace relamor::db {
namespace detail {

enum class EditMode { kNone, kAdd, kEdit };

struct RecordsetState {
  Connection* connection = nullptr;  // null once ended
  std::string path;                  // names the database in messages
  std::string source;                // the table name or the statement
  bool is_table = false;
  bool updatable = false;
  std::shared_ptr<TableInfo> table;  // where rows are stored; null when not updatable

  // Reading.
  std::string select_sql;
  std::vector<Value> params;
  CachedStatement select;
  int hidden = 0;  // 1 when result column 0 is the hidden rowid
  std::vector<std::string> field_names;
  std::vector<int> field_column;  // table column of each field, -1 when none
  std::int64_t limit = 0;         // table recordsets: the walk's largest rowid

  // Position and counting.
  bool on_row = false;
  bool eof = false;
  bool bof = false;
  bool stepping = false;  // the select stands mid-walk, MoveNext may step it
  std::vector<Value> values;
  std::int64_t rowid = 0;
  bool has_rowid = false;
  long walk_index = 0;
  long max_visited = 0;
  long added = 0;
  std::vector<std::int64_t> added_rowids;  // statement recordsets only

  // Editing.
  EditMode mode = EditMode::kNone;
  std::vector<Value> edit_values;
  std::vector<char> written;
  std::vector<Value> column_values;  // per table column, converted
  std::vector<char> column_written;
  std::vector<char> insert_mask;
  CachedStatement insert;
  std::vector<char> update_mask;
  CachedStatement update;

  std::string Where() const { return " (" + path + ")"; }
  // "table 't'" or "statement '...'", for messages.
  std::string What() const { return (is_table ? "table '" : "statement '") + source + "'"; }
};

namespace {

[[noreturn]] void ThrowNoCurrentRecord(const RecordsetState& s) {
  throw NoCurrentRecord(s.What(), s.path);
}

Connection& Live(const RecordsetState& s) {
  if (s.connection == nullptr) {
    throw Error(err::kObjectInvalid, "Object invalid or no longer set: the recordset on " +
                                         s.What() + " is closed" + s.Where());
  }
  return *s.connection;
}

// The largest rowid of a table recordset's source; false when it is empty.
bool FetchLimit(RecordsetState& s) {
  Connection& c = *s.connection;
  const std::string sql = "SELECT max(" + s.table->rowid_name + ") FROM " + s.table->quoted;
  CachedStatement top = c.Prepare(sql, sql);
  const int rc = sqlite3_step(top.get());
  if (rc != SQLITE_ROW) c.FailStep(rc, sql);
  if (sqlite3_column_type(top.get(), 0) == SQLITE_NULL) return false;
  s.limit = sqlite3_column_int64(top.get(), 0);
  return true;
}

// Steps the select to its next row and copies the row; false at the end.
bool Step(RecordsetState& s) {
  sqlite3_stmt* stmt = s.select.get();
  const int rc = sqlite3_step(stmt);
  if (rc == SQLITE_ROW) {
    s.has_rowid = s.hidden == 1 && sqlite3_column_type(stmt, 0) != SQLITE_NULL;
    if (s.has_rowid) s.rowid = sqlite3_column_int64(stmt, 0);
    const int count = static_cast<int>(s.values.size());
    for (int i = 0; i < count; ++i) ReadColumn(stmt, i + s.hidden, s.values[i]);
    const bool added_here =
        !s.added_rowids.empty() && s.has_rowid &&
        std::find(s.added_rowids.begin(), s.added_rowids.end(), s.rowid) != s.added_rowids.end();
    if (!added_here) {
      ++s.walk_index;
      s.max_visited = std::max(s.max_visited, s.walk_index);
    }
    return true;
  }
  s.stepping = false;
  if (rc == SQLITE_DONE) {
    sqlite3_reset(stmt);  // ends the read
    return false;
  }
  s.connection->FailStep(rc, s.is_table ? std::string_view() : std::string_view(s.source));
}

// Runs the select from its start and stands on its first row; false (and
// Eof/Bof) when there is none.
bool Execute(RecordsetState& s) {
  Connection& c = *s.connection;
  s.walk_index = 0;
  s.on_row = false;
  s.stepping = false;
  if (s.is_table && !FetchLimit(s)) {
    if (s.select) sqlite3_reset(s.select.get());
    s.eof = s.bof = true;
    return false;
  }
  if (!s.select) {
    s.select = c.Prepare(s.select_sql, s.source);
  } else {
    sqlite3_reset(s.select.get());
  }
  sqlite3_stmt* stmt = s.select.get();
  if (s.is_table) {
    sqlite3_bind_int64(stmt, 1, s.limit);
  } else {
    for (std::size_t i = 0; i < s.params.size(); ++i) {
      BindValue(stmt, static_cast<int>(i + 1), s.params[i]);
    }
  }
  s.stepping = true;
  s.on_row = Step(s);
  s.eof = s.bof = !s.on_row;
  return s.on_row;
}

void CancelEdit(RecordsetState& s) { s.mode = EditMode::kNone; }

void CheckUpdatable(const RecordsetState& s) {
  Connection& c = Live(s);
  if (c.read_only) {
    throw Error(err::kCannotUpdate, "Cannot update: the database '" + s.path +
                                        (c.jet ? "' is a read-only Jet file; "
                                               : "' is opened read-only; ") +
                                        s.What() +
                                        " cannot be changed");
  }
  if (!s.updatable) {
    throw Error(err::kCannotUpdate,
                "Cannot update: the rows of " + s.What() + " cannot be changed" + s.Where());
  }
}

// Converts the written fields into column_values/column_written.
void ConvertWrittenFields(RecordsetState& s) {
  const TableInfo& t = *s.table;
  s.column_values.resize(t.columns.size());
  s.column_written.assign(t.columns.size(), 0);
  for (std::size_t f = 0; f < s.written.size(); ++f) {
    if (!s.written[f]) continue;
    const int col = s.field_column[f];
    if (col < 0) {
      throw Error(err::kCannotUpdate, "Cannot update: the field '" + s.field_names[f] + "' of " +
                                          s.What() + " is not a column of table '" + t.name + "'" +
                                          s.Where());
    }
    const ColumnInfo& column = t.columns[col];
    try {
      s.column_values[col] = ConvertForColumn(s.edit_values[f], column.type, t.name, column.name);
    } catch (const Error& e) {
      throw RefusedIn(e, s.path);
    }
    s.column_written[col] = 1;
  }
}

std::string InsertSql(const TableInfo& t, const std::vector<char>& mask) {
  std::string names;
  std::string marks;
  for (std::size_t col = 0; col < mask.size(); ++col) {
    if (!mask[col]) continue;
    if (!names.empty()) {
      names += ", ";
      marks += ", ";
    }
    names += QuoteName(t.columns[col].name);
    marks += "?";
  }
  if (names.empty()) return "INSERT INTO " + t.quoted + " DEFAULT VALUES";
  return "INSERT INTO " + t.quoted + " (" + names + ") VALUES (" + marks + ")";
}

std::string UpdateSql(const TableInfo& t, const std::vector<char>& mask) {
  std::string sets;
  for (std::size_t col = 0; col < mask.size(); ++col) {
    if (!mask[col]) continue;
    if (!sets.empty()) sets += ", ";
    sets += QuoteName(t.columns[col].name) + " = ?";
  }
  return "UPDATE " + t.quoted + " SET " + sets + " WHERE " + t.rowid_name + " = ?";
}

// Binds the masked column values in column order; returns the next index.
int BindColumns(RecordsetState& s, sqlite3_stmt* stmt) {
  int index = 1;
  for (std::size_t col = 0; col < s.column_written.size(); ++col) {
    if (s.column_written[col]) BindValue(stmt, index++, s.column_values[col]);
  }
  return index;
}

void StoreAddedRow(RecordsetState& s) {
  Connection& c = *s.connection;
  TableInfo& t = *s.table;
  ConvertWrittenFields(s);
  if (t.has_counter) {
    for (std::size_t col = 0; col < t.columns.size(); ++col) {
      ColumnInfo& column = t.columns[col];
      if (!column.counter) continue;
      if (!s.column_written[col] || IsNull(s.column_values[col])) {
        const Value next{c.NextCounter(t, column)};
        try {
          s.column_values[col] = ConvertForColumn(next, column.type, t.name, column.name);
        } catch (const Error& e) {
          throw RefusedIn(e, s.path);
        }
        s.column_written[col] = 1;
      } else {
        c.NoteCounterValue(column, s.column_values[col]);
      }
    }
  }
  if (!s.insert || s.insert_mask != s.column_written) {
    s.insert.Release();
    const std::string sql = InsertSql(t, s.column_written);
    s.insert = c.Prepare(sql, sql);
    s.insert_mask = s.column_written;
  }
  sqlite3_stmt* stmt = s.insert.get();
  BindColumns(s, stmt);
  c.BeginWrite();
  const int rc = sqlite3_step(stmt);
  if (rc != SQLITE_DONE) {
    c.FailStep(rc, {}, &t, &s.column_values, &s.column_written);  // the statement resets on reuse
  }
  sqlite3_reset(stmt);
  if (!s.is_table) s.added_rowids.push_back(sqlite3_last_insert_rowid(c.db));
  ++s.added;
  s.mode = EditMode::kNone;
  c.RowsWritten(1);
}

void StoreEditedRow(RecordsetState& s) {
  Connection& c = *s.connection;
  TableInfo& t = *s.table;
  ConvertWrittenFields(s);
  if (std::find(s.column_written.begin(), s.column_written.end(), 1) == s.column_written.end()) {
    s.mode = EditMode::kNone;  // nothing written
    return;
  }
  if (!s.update || s.update_mask != s.column_written) {
    s.update.Release();
    const std::string sql = UpdateSql(t, s.column_written);
    s.update = c.Prepare(sql, sql);
    s.update_mask = s.column_written;
  }
  sqlite3_stmt* stmt = s.update.get();
  const int rowid_index = BindColumns(s, stmt);
  sqlite3_bind_int64(stmt, rowid_index, s.rowid);
  c.BeginWrite();
  const int rc = sqlite3_step(stmt);
  if (rc != SQLITE_DONE) c.FailStep(rc, {}, &t, &s.column_values, &s.column_written);
  const bool found = sqlite3_changes(c.db) > 0;
  sqlite3_reset(stmt);
  s.mode = EditMode::kNone;
  c.RowsWritten(1);
  if (!found) {
    throw Error(err::kNoCurrentRecord, "No current record: the row being edited in " + s.What() +
                                           " no longer exists" + s.Where());
  }
  // The current row shows what was stored.
  for (std::size_t f = 0; f < s.field_column.size(); ++f) {
    const int col = s.field_column[f];
    if (col >= 0 && s.column_written[col]) s.values[f] = s.column_values[col];
  }
  for (std::size_t col = 0; col < t.columns.size(); ++col) {
    if (s.column_written[col] && t.columns[col].counter) t.columns[col].next_known = false;
  }
}

}  // namespace

std::shared_ptr<RecordsetState> OpenTableRecordset(Connection& connection,
                                                   std::shared_ptr<TableInfo> table) {
  if (table->rowid_name.empty()) {
    // Columns hide every name of the rowid: the rows can be read, in the
    // table's own order, but not changed.
    return OpenStatementRecordset(connection, "SELECT * FROM " + table->quoted, {});
  }
  auto s = std::make_shared<RecordsetState>();
  s->connection = &connection;
  s->path = connection.path;
  s->source = table->name;
  s->is_table = true;
  s->updatable = !connection.read_only;
  const std::string& rowid = table->rowid_name;
  s->select_sql = "SELECT " + rowid + ", * FROM " + table->quoted + " WHERE " + rowid +
                  " <= ?1 ORDER BY " + rowid;
  s->hidden = 1;
  s->field_names = table->column_names;
  s->field_column.resize(table->columns.size());
  for (std::size_t i = 0; i < s->field_column.size(); ++i) s->field_column[i] = static_cast<int>(i);
  s->values.resize(s->field_names.size());
  s->table = std::move(table);
  Execute(*s);
  s->max_visited = s->walk_index;
  return s;
}

std::shared_ptr<RecordsetState> OpenStatementRecordset(Connection& connection,
                                                       std::string_view statement,
                                                       std::vector<Value> params) {
  auto s = std::make_shared<RecordsetState>();
  s->connection = &connection;
  s->path = connection.path;
  s->source = std::string(statement);
  s->params = std::move(params);
  const Translation translation = connection.Translate(
      statement, UseOf(s->params, /*executed=*/false, /*updatable=*/!connection.read_only));
  const std::string& sql = translation.sql;

  // An updatable statement selects the rowid of its single table as well.
  if (!translation.sql_with_rowid.empty()) {
    auto table = connection.FindTable(translation.single_table);
    if (table && !table->rowid_name.empty()) {
      CachedStatement prepared = connection.TryPrepare(translation.sql_with_rowid);
      if (prepared) {
        s->select_sql = translation.sql_with_rowid;
        s->select = std::move(prepared);
        s->hidden = 1;
        s->table = std::move(table);
        s->updatable = true;
      }
    }
  }
  if (!s->select) {
    s->select_sql = sql;
    s->select = connection.Prepare(s->select_sql, statement);
  }

  sqlite3_stmt* stmt = s->select.get();
  const int expected = sqlite3_bind_parameter_count(stmt);
  if (expected != static_cast<int>(s->params.size())) {
    throw Error(err::kUndefinedName, "Wrong number of parameters: the statement '" + s->source +
                                         "' expects " + std::to_string(expected) + " values, " +
                                         std::to_string(s->params.size()) + " given" + s->Where());
  }
  const int columns = sqlite3_column_count(stmt);
  for (int i = s->hidden; i < columns; ++i) {
    const char* name = sqlite3_column_name(stmt, i);
    s->field_names.emplace_back(name ? name : "");
    int column = -1;
    if (s->table) {
      const char* table_name = sqlite3_column_table_name(stmt, i);
      const char* origin = sqlite3_column_origin_name(stmt, i);
      if (table_name && origin && EqualsNoCase(table_name, s->table->name)) {
        column = s->table->ColumnIndex(origin);
      }
    }
    s->field_column.push_back(column);
  }
  s->values.resize(s->field_names.size());
  Execute(*s);
  s->max_visited = s->walk_index;
  return s;
}

void EndRecordset(RecordsetState& s) {
  s.select.Release();
  s.insert.Release();
  s.update.Release();
  s.connection = nullptr;
  s.on_row = false;
  s.stepping = false;
  s.mode = EditMode::kNone;
}

}  // namespace detail

using detail::EditMode;
using detail::RecordsetState;

Recordset::Recordset() = default;
Recordset::Recordset(std::shared_ptr<detail::RecordsetState> state) : state_(std::move(state)) {}
Recordset::Recordset(Recordset&&) noexcept = default;

Recordset& Recordset::operator=(Recordset&& other) noexcept {
  if (this != &other) {
    if (state_) detail::EndRecordset(*state_);
    state_ = std::move(other.state_);
  }
  return *this;
}

Recordset::~Recordset() {
  if (state_) detail::EndRecordset(*state_);
}

detail::RecordsetState& Recordset::state() const {
  if (!state_) {
    throw Error(err::kObjectInvalid, "Object invalid or no longer set: the recordset is not open");
  }
  detail::Live(*state_);
  return *state_;
}

bool Recordset::is_open() const { return state_ && state_->connection != nullptr; }

const std::string& Recordset::source() const {
  static const std::string kNone;
  return state_ ? state_->source : kNone;
}

std::string Recordset::What() const { return state().What(); }

void Recordset::PrepareAdd(const std::vector<int>& written) const {
  const RecordsetState& s = state();
  if (!s.table) return;
  const detail::TableInfo& t = *s.table;
  // The columns StoreAddedRow writes: the fields set, and every counter.
  std::vector<char> mask(t.columns.size(), 0);
  for (const int f : written) {
    const int col = s.field_column[static_cast<std::size_t>(CheckIndex(f))];
    if (col >= 0) mask[static_cast<std::size_t>(col)] = 1;
  }
  for (std::size_t col = 0; col < t.columns.size(); ++col) {
    if (t.columns[col].counter) mask[col] = 1;
  }
  const std::string sql = detail::InsertSql(t, mask);
  detail::Live(s).Prepare(sql, sql);
}

bool Recordset::Eof() const { return state().eof; }
bool Recordset::Bof() const { return state().bof; }

void Recordset::MoveFirst() {
  RecordsetState& s = state();
  detail::CancelEdit(s);
  // Rows added so far become part of the walk.
  s.max_visited += s.added;
  s.added = 0;
  s.added_rowids.clear();
  if (!detail::Execute(s)) detail::ThrowNoCurrentRecord(s);
}

void Recordset::MoveLast() {
  RecordsetState& s = state();
  detail::CancelEdit(s);
  detail::Connection& c = *s.connection;
  s.added = 0;
  s.added_rowids.clear();
  if (s.is_table) {
    if (s.select) sqlite3_reset(s.select.get());
    s.stepping = false;
    if (!detail::FetchLimit(s)) {
      s.on_row = false;
      s.eof = s.bof = true;
      detail::ThrowNoCurrentRecord(s);
    }
    const std::string count_sql = "SELECT count(*) FROM " + s.table->quoted;
    long count = 0;
    {
      detail::CachedStatement counter = c.Prepare(count_sql, count_sql);
      const int rc = sqlite3_step(counter.get());
      if (rc != SQLITE_ROW) c.FailStep(rc, count_sql);
      count = static_cast<long>(sqlite3_column_int64(counter.get(), 0));
    }
    const std::string& rowid = s.table->rowid_name;
    const std::string last_sql =
        "SELECT " + rowid + ", * FROM " + s.table->quoted + " WHERE " + rowid + " = ?1";
    detail::CachedStatement last = c.Prepare(last_sql, last_sql);
    sqlite3_bind_int64(last.get(), 1, s.limit);
    const int rc = sqlite3_step(last.get());
    if (rc != SQLITE_ROW) c.FailStep(rc, last_sql);
    s.rowid = sqlite3_column_int64(last.get(), 0);
    s.has_rowid = true;
    for (std::size_t i = 0; i < s.values.size(); ++i) {
      detail::ReadColumn(last.get(), static_cast<int>(i) + 1, s.values[i]);
    }
    s.walk_index = s.max_visited = count;
  } else {
    s.max_visited = 0;
    if (!detail::Execute(s)) detail::ThrowNoCurrentRecord(s);
    while (detail::Step(s)) {
    }
    // Step leaves the last row's values in place at the end.
  }
  s.on_row = true;
  s.eof = s.bof = false;
}

void Recordset::MoveNext() {
  RecordsetState& s = state();
  detail::CancelEdit(s);
  if (!s.on_row) detail::ThrowNoCurrentRecord(s);
  if (!s.stepping || !detail::Step(s)) {
    s.on_row = false;
    s.eof = true;
  }
}

void Recordset::Requery() {
  RecordsetState& s = state();
  detail::CancelEdit(s);
  s.added = 0;
  s.added_rowids.clear();
  s.max_visited = 0;
  detail::Execute(s);
}

std::optional<std::int64_t> Recordset::RowId() const {
  const RecordsetState& s = state();
  if (!s.has_rowid || Eof() || Bof()) return std::nullopt;
  return s.rowid;
}

long Recordset::RecordCount() const {
  const RecordsetState& s = state();
  return s.max_visited + s.added;
}

void Recordset::AddNew() {
  RecordsetState& s = state();
  detail::CheckUpdatable(s);
  s.edit_values.assign(s.field_names.size(), Null());
  s.written.assign(s.field_names.size(), 0);
  s.mode = EditMode::kAdd;
}

void Recordset::Edit() {
  RecordsetState& s = state();
  detail::CheckUpdatable(s);
  if (!s.on_row || !s.has_rowid) detail::ThrowNoCurrentRecord(s);
  s.edit_values.resize(s.field_names.size());
  s.written.assign(s.field_names.size(), 0);
  s.mode = EditMode::kEdit;
}

void Recordset::Update() {
  RecordsetState& s = state();
  if (s.mode == EditMode::kNone) {
    throw Error(err::kUpdateWithoutAddNew,
                "Update without AddNew or Edit on " + s.What() + s.Where());
  }
  if (s.mode == EditMode::kAdd) {
    detail::StoreAddedRow(s);
  } else {
    detail::StoreEditedRow(s);
  }
}

void Recordset::CancelUpdate() { detail::CancelEdit(state()); }

int Recordset::FieldCount() const { return static_cast<int>(state().field_names.size()); }

std::string Recordset::FieldName(int index) const { return state().field_names[CheckIndex(index)]; }

int Recordset::FieldIndex(std::string_view name) const {
  const RecordsetState& s = state();
  const auto& names = s.field_names;
  // Callers mostly spell names as the schema does: try that first.
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (names[i] == name) return static_cast<int>(i);
  }
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (EqualsNoCase(names[i], name)) return static_cast<int>(i);
  }
  // A Jet file's column that its import leaves out says why.
  if (s.connection && s.connection->jet && s.is_table) s.connection->jet->CheckColumn(s.source, name);
  throw NoSuchField(name, s.What(), s.path);
}

int Recordset::CheckIndex(int index) const {
  const RecordsetState& s = state();
  if (index < 0 || index >= static_cast<int>(s.field_names.size())) {
    throw Error(err::kItemNotFound, "Item not found in this collection: no field at position " +
                                        std::to_string(index) + " in " + s.What() + ", which has " +
                                        std::to_string(s.field_names.size()) + " fields" +
                                        s.Where());
  }
  return index;
}

Value Recordset::Get(int index) const {
  RecordsetState& s = state();
  const auto i = static_cast<std::size_t>(CheckIndex(index));
  switch (s.mode) {
    case EditMode::kAdd:
      if (s.written[i]) return s.edit_values[i];
      if (s.field_column[i] >= 0) {
        return s.connection->DefaultOf(s.table->columns[s.field_column[i]]);
      }
      return Null();
    case EditMode::kEdit:
      if (s.written[i]) return s.edit_values[i];
      return s.values[i];
    case EditMode::kNone:
      break;
  }
  if (!s.on_row) detail::ThrowNoCurrentRecord(s);
  return s.values[i];
}

void Recordset::Set(int index, Value v) {
  RecordsetState& s = state();
  const auto i = static_cast<std::size_t>(CheckIndex(index));
  if (s.mode == EditMode::kNone) {
    throw Error(err::kUpdateWithoutAddNew, "Update without AddNew or Edit: the field '" +
                                               s.field_names[i] + "' of " + s.What() +
                                               " was set outside AddNew or Edit" + s.Where());
  }
  s.edit_values[i] = std::move(v);
  s.written[i] = 1;
}

void Recordset::Close() {
  if (state_) detail::EndRecordset(*state_);
}

}  // namespace relamor::db
