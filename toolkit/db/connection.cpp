// Connections: the statement cache, table layouts, write transactions and
// the translation of SQLite's failures into the layer's errors.
//
// Prepared statements are kept per connection, keyed by their SQL text. A
// statement in use is lent out (CachedStatement) so two recordsets with the
// same text never share one; it comes back reset, with its bindings cleared.
// Writes open a transaction lazily; it is committed at Close, on request, and
// after kRowsPerTransaction rows so that the journal stays small.
#include "toolkit/db/connection.h"
#include "toolkit/db/jet_reader.h"

#include <sqlite3.h>

#include <algorithm>
#include <limits>

#include "toolkit/db/hardening.h"
#include "toolkit/db/refusals.h"

namespace relamor::db::detail {
namespace {

// At most this many idle prepared statements per connection, and per text.
constexpr std::size_t kMaxIdleStatements = 128;
constexpr std::size_t kMaxIdlePerText = 4;
constexpr std::size_t kMaxTranslations = 512;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.substr(0, prefix.size()) == prefix;
}

std::string Quoted(std::string_view statement) { return "'" + std::string(statement) + "'"; }

// " in statement '...'" or nothing.
std::string InStatement(std::string_view statement) {
  return statement.empty() ? std::string() : " in statement " + Quoted(statement);
}

// The "table.column" items of a constraint message ("UNIQUE constraint
// failed: t.a, t.b"), split into table and column.
struct ConstraintItem {
  std::string table;
  std::string column;
};

std::vector<ConstraintItem> ConstraintItems(std::string_view message) {
  std::vector<ConstraintItem> items;
  const std::size_t colon = message.find(": ");
  if (colon == std::string_view::npos) return items;
  std::string_view rest = message.substr(colon + 2);
  while (!rest.empty()) {
    const std::size_t comma = rest.find(", ");
    const std::string_view item = rest.substr(0, comma);
    const std::size_t dot = item.find('.');
    if (dot == std::string_view::npos) return {};  // "index 'x'" and other forms
    items.push_back({std::string(item.substr(0, dot)), std::string(item.substr(dot + 1))});
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 2);
  }
  return items;
}

}  // namespace

std::string FirstKeyword(std::string_view sql) {
  std::size_t i = 0;
  while (i < sql.size() && (IsBlank(sql[i]) || sql[i] == '(')) ++i;
  std::string word;
  while (i < sql.size() && ((sql[i] >= 'a' && sql[i] <= 'z') || (sql[i] >= 'A' && sql[i] <= 'Z'))) {
    word += AsciiUpper(sql[i++]);
  }
  return word;
}

StatementUse UseOf(const std::vector<Value>& params, bool executed, bool updatable) {
  StatementUse use;
  use.executed = executed;
  use.updatable = updatable;
  bool any = false;
  for (const Value& v : params) any = any || IsNumber(v);
  if (any) {
    use.numeric_parameters.reserve(params.size());
    for (const Value& v : params) use.numeric_parameters.push_back(IsNumber(v));
  }
  return use;
}

void BindValue(sqlite3_stmt* stmt, int index, const Value& v) {
  switch (v.index()) {
    case 0:
      sqlite3_bind_null(stmt, index);
      break;
    case 1:
      sqlite3_bind_int64(stmt, index, std::get<std::int64_t>(v));
      break;
    case 2:
      sqlite3_bind_double(stmt, index, std::get<double>(v));
      break;
    case 3: {
      const auto& text = std::get<std::string>(v);
      sqlite3_bind_text64(stmt, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
      break;
    }
    default: {
      const auto& bytes = std::get<Blob>(v).bytes;
      if (bytes.empty()) {
        sqlite3_bind_zeroblob(stmt, index, 0);
      } else {
        sqlite3_bind_blob64(stmt, index, bytes.data(), bytes.size(), SQLITE_STATIC);
      }
    }
  }
}

void ReadColumn(sqlite3_stmt* stmt, int column, Value& out) {
  switch (sqlite3_column_type(stmt, column)) {
    case SQLITE_INTEGER:
      out = static_cast<std::int64_t>(sqlite3_column_int64(stmt, column));
      break;
    case SQLITE_FLOAT:
      out = sqlite3_column_double(stmt, column);
      break;
    case SQLITE_TEXT: {
      const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, column));
      const auto size = static_cast<std::size_t>(sqlite3_column_bytes(stmt, column));
      if (auto* s = std::get_if<std::string>(&out)) {
        s->assign(text, size);
      } else {
        out.emplace<std::string>(text, size);
      }
      break;
    }
    case SQLITE_BLOB: {
      const auto* data = static_cast<const unsigned char*>(sqlite3_column_blob(stmt, column));
      const auto size = static_cast<std::size_t>(sqlite3_column_bytes(stmt, column));
      Blob blob;
      if (size > 0) blob.bytes.assign(data, data + size);
      out = std::move(blob);
      break;
    }
    default:
      out = Null();
  }
}

// ---- CachedStatement ----

CachedStatement::CachedStatement(CachedStatement&& other) noexcept
    : connection_(other.connection_), sql_(std::move(other.sql_)), stmt_(other.stmt_) {
  other.stmt_ = nullptr;
  other.connection_ = nullptr;
}

CachedStatement& CachedStatement::operator=(CachedStatement&& other) noexcept {
  if (this != &other) {
    Release();
    connection_ = other.connection_;
    sql_ = std::move(other.sql_);
    stmt_ = other.stmt_;
    other.stmt_ = nullptr;
    other.connection_ = nullptr;
  }
  return *this;
}

void CachedStatement::Release() {
  if (stmt_ == nullptr) return;
  if (connection_ != nullptr) {
    connection_->GiveBack(std::move(sql_), stmt_);
  } else {
    sqlite3_finalize(stmt_);
  }
  stmt_ = nullptr;
  connection_ = nullptr;
}

// ---- TableInfo ----

int TableInfo::ColumnIndex(std::string_view column) const {
  for (std::size_t i = 0; i < column_names.size(); ++i) {
    if (EqualsNoCase(column_names[i], column)) return static_cast<int>(i);
  }
  return -1;
}

// ---- DatabaseState ----

Connection& DatabaseState::Open() const {
  if (connection == nullptr) {
    throw Error(err::kObjectInvalid, "Object invalid or no longer set: the database " +
                                         (path.empty() ? std::string("handle") : Quoted(path)) +
                                         " is closed");
  }
  return *connection;
}

// ---- Connection ----

int StopRequested(void* engine_state) {
  auto* engine = static_cast<EngineState*>(engine_state);
  if (!engine->stop_check) return 0;
  try {
    engine->stop_check();
  } catch (...) {
    return 1;
  }
  return 0;
}

namespace {

// Every statement of a connection is looked at this often (virtual machine
// steps) for a stop request: far more than once a second.
constexpr int kStepsPerStopCheck = 1000;

// The handler InstallStopChecks puts in place. A write that is interrupted
// inside a transaction undoes the whole transaction, the rows stored before
// with it; so a statement that writes is left to reach its next row, where
// the stop is seen. Every other statement is interrupted.
int StopRequestedUnlessWriting(void* connection_state) {
  auto* connection = static_cast<Connection*>(connection_state);
  if (StopRequested(connection->engine) == 0) return 0;
  for (sqlite3_stmt* stmt = sqlite3_next_stmt(connection->db, nullptr); stmt != nullptr;
       stmt = sqlite3_next_stmt(connection->db, stmt)) {
    if (sqlite3_stmt_busy(stmt) && !sqlite3_stmt_readonly(stmt)) return 0;
  }
  return 1;
}

}  // namespace

void InstallStopChecks(Connection& connection) {
  sqlite3_progress_handler(connection.db, kStepsPerStopCheck, &StopRequestedUnlessWriting,
                           &connection);
}

Connection::~Connection() {
  for (auto& [sql, stmts] : idle_) {
    for (sqlite3_stmt* stmt : stmts) sqlite3_finalize(stmt);
  }
  idle_.clear();
  if (db != nullptr) sqlite3_close_v2(db);  // rolls back anything uncommitted
  // The snapshot's folder goes after the file is closed.
}

int Connection::Exec(const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

CachedStatement Connection::TryPrepare(std::string_view sql) {
  auto it = idle_.find(std::string(sql));
  if (it != idle_.end() && !it->second.empty()) {
    sqlite3_stmt* stmt = it->second.back();
    it->second.pop_back();
    --idle_count_;
    return CachedStatement(this, std::string(sql), stmt);
  }
  sqlite3_stmt* stmt = nullptr;
  const char* tail = nullptr;
  const int rc = sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()),
                                    SQLITE_PREPARE_PERSISTENT, &stmt, &tail);
  if (rc != SQLITE_OK || stmt == nullptr) {
    sqlite3_finalize(stmt);
    return {};
  }
  // Only blanks and semicolons may follow the statement.
  for (const char* p = tail; p != nullptr && p < sql.data() + sql.size(); ++p) {
    if (!IsBlank(*p) && *p != ';') {
      sqlite3_finalize(stmt);
      return {};
    }
  }
  return CachedStatement(this, std::string(sql), stmt);
}

CachedStatement Connection::Prepare(std::string_view sql, std::string_view statement) {
  CachedStatement prepared = TryPrepare(sql);
  if (prepared) return prepared;

  // Prepare once more to learn why, and report it.
  sqlite3_stmt* stmt = nullptr;
  const char* tail = nullptr;
  const int rc = sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &stmt, &tail);
  sqlite3_finalize(stmt);
  if (rc == SQLITE_OK) {
    if (stmt == nullptr) {
      throw Error(err::kSyntaxError,
                  "Syntax error (empty statement)" + InStatement(statement) + Where());
    }
    throw Error(err::kSyntaxError,
                "Syntax error (characters found after the end of the statement)" +
                    InStatement(statement) + Where());
  }
  const std::string message = sqlite3_errmsg(db);
  const int code = rc & 0xff;
  if (code == SQLITE_NOTADB) {
    throw Error(err::kNotADatabase, "Not a database: " + Quoted(path) + " is not a database file");
  }
  if (code != SQLITE_ERROR) {
    throw Error(err::kEngineError,
                "Engine error (" + message + ")" + InStatement(statement) + Where());
  }
  if (StartsWith(message, "no such table: ")) {
    throw Error(err::kTableNotFound, "Table not found: " + Quoted(message.substr(15)) +
                                         InStatement(statement) + Where());
  }
  if (StartsWith(message, "no such column: ")) {
    throw Error(err::kUndefinedName,
                "Undefined name " + Quoted(message.substr(16)) + InStatement(statement) + Where());
  }
  throw Error(err::kSyntaxError,
              "Syntax error (" + message + ")" + InStatement(statement) + Where());
}

void Connection::GiveBack(std::string sql, sqlite3_stmt* stmt) {
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  if (idle_count_ >= kMaxIdleStatements) {
    sqlite3_finalize(stmt);
    return;
  }
  auto& stmts = idle_[std::move(sql)];
  if (stmts.size() >= kMaxIdlePerText) {
    sqlite3_finalize(stmt);
    return;
  }
  stmts.push_back(stmt);
  ++idle_count_;
}

Translation Connection::Translate(std::string_view statement, const StatementUse& use) {
  // The key: the use, then the statement text.
  std::string cache_key;
  cache_key.reserve(statement.size() + use.numeric_parameters.size() + 3);
  cache_key += use.executed ? 'x' : '-';
  cache_key += use.updatable ? 'u' : '-';
  for (const bool numeric : use.numeric_parameters) cache_key += numeric ? 'n' : '-';
  cache_key += '\n';
  cache_key += statement;
  auto it = translations_.find(cache_key);
  if (it != translations_.end()) return it->second;
  if (translations_.size() >= kMaxTranslations) translations_.clear();
  const ColumnLookup lookup = [this](std::string_view table) {
    const auto info = FindTable(table);
    return info ? info->column_names : std::vector<std::string>{};
  };
  try {
    Translation t = TranslateStatement(statement, lookup, use);
    translations_.emplace(std::move(cache_key), t);
    return t;
  } catch (const Error& e) {
    throw Error(e.number(), e.description() + Where());
  }
}

std::shared_ptr<TableInfo> Connection::FindTable(std::string_view name) {
  std::string lowered = Lower(name);
  if (auto it = tables_.find(lowered); it != tables_.end()) return it->second;

  // The schema is read once into a map: finding each table by a scan of the
  // schema would make a pass over many tables quadratic.
  if (!schema_read_) {
    CachedStatement all = Prepare("SELECT name, sql FROM sqlite_master WHERE type = 'table'", {});
    int rc;
    while ((rc = sqlite3_step(all.get())) == SQLITE_ROW) {
      const auto* table = reinterpret_cast<const char*>(sqlite3_column_text(all.get(), 0));
      const auto* sql = reinterpret_cast<const char*>(sqlite3_column_text(all.get(), 1));
      if (table == nullptr) continue;
      // The first of names equal but for letter case, as a search finds it.
      schema_.emplace(Lower(table), SchemaEntry{table, sql != nullptr, sql ? sql : ""});
    }
    if (rc != SQLITE_DONE) {
      schema_.clear();
      FailStep(rc, {});
    }
    schema_read_ = true;
  }
  const auto entry = schema_.find(lowered);
  if (entry == schema_.end()) {
    if (jet) jet->CheckTable(name);  // a Jet file's linked table says why it is absent
    return nullptr;
  }
  std::string layout_key = entry->second.name + '\n' + entry->second.sql;
  const bool has_create = entry->second.has_sql;
  int rc;
  if (has_create) {
    if (auto known = engine->layouts.find(layout_key); known != engine->layouts.end()) {
      // A copy: what is learnt on demand (defaults, counters) is per file.
      auto info = std::make_shared<TableInfo>(*known->second);
      tables_.emplace(std::move(lowered), info);
      return info;
    }
  }
  auto info = std::make_shared<TableInfo>();
  info->name = layout_key.substr(0, layout_key.find('\n'));
  info->quoted = QuoteName(info->name);

  CachedStatement columns =
      Prepare("SELECT name, type, dflt_value, pk FROM pragma_table_info(?1)", {});
  sqlite3_bind_text64(columns.get(), 1, info->name.data(), info->name.size(), SQLITE_STATIC,
                      SQLITE_UTF8);
  int key_columns = 0;
  int integer_key = -1;
  while ((rc = sqlite3_step(columns.get())) == SQLITE_ROW) {
    ColumnInfo column;
    const auto* col_name = sqlite3_column_text(columns.get(), 0);
    const auto* declared = sqlite3_column_text(columns.get(), 1);
    const auto* default_sql = sqlite3_column_text(columns.get(), 2);
    column.name = col_name ? reinterpret_cast<const char*>(col_name) : "";
    const std::string declared_text = declared ? reinterpret_cast<const char*>(declared) : "";
    column.type = ParseDeclaredType(declared_text);
    if (default_sql) column.default_sql = reinterpret_cast<const char*>(default_sql);
    if (sqlite3_column_int(columns.get(), 3) > 0) {
      ++key_columns;
      if (EqualsNoCase(declared_text, "INTEGER")) {
        integer_key = static_cast<int>(info->columns.size());
      }
    }
    info->column_names.push_back(column.name);
    info->columns.push_back(std::move(column));
  }
  if (rc != SQLITE_DONE) FailStep(rc, {});
  if (key_columns == 1 && integer_key >= 0) info->columns[integer_key].rowid_alias = true;
  for (const char* rowid : {"rowid", "_rowid_", "oid"}) {
    if (info->ColumnIndex(rowid) < 0) {
      info->rowid_name = rowid;
      break;
    }
  }
  for (ColumnInfo& column : info->columns) {
    column.counter = column.type.counter && !column.rowid_alias;
    info->has_counter = info->has_counter || column.counter;
  }
  if (has_create) engine->layouts.emplace(std::move(layout_key), std::make_shared<TableInfo>(*info));
  tables_.emplace(std::move(lowered), info);
  return info;
}

bool Connection::MayRollBack() {
  if (!may_roll_back_) {
    // The word decides, wherever it stands: a false alarm only costs a
    // commit per row.
    sqlite3_stmt* stmt = nullptr;
    may_roll_back_ = sqlite3_prepare_v2(db,
                                        "SELECT 1 FROM main.sqlite_master WHERE "
                                        "instr(upper(sql), 'ROLLBACK') > 0",
                                        -1, &stmt, nullptr) != SQLITE_OK ||
                     sqlite3_step(stmt) != SQLITE_DONE;
    sqlite3_finalize(stmt);
  }
  return *may_roll_back_;
}

void Connection::ForgetSchema() {
  tables_.clear();
  schema_.clear();
  schema_read_ = false;
  translations_.clear();
  may_roll_back_.reset();
}

void Connection::ForgetCounters() {
  for (auto& [name, table] : tables_) {
    for (ColumnInfo& column : table->columns) column.next_known = false;
  }
}

const Value& Connection::DefaultOf(ColumnInfo& column) {
  if (!column.default_known) {
    column.default_value = Null();
    if (!column.default_sql.empty()) {
      // The expression comes from the file's schema: it is evaluated apart,
      // never as this connection's own statement. One that is refused is
      // Null here; storing a row then leaves it to SQLite, which refuses it
      // as well.
      if (!EvaluateDefault(column.default_sql, column.default_value)) column.default_value = Null();
    }
    column.default_known = true;
  }
  return column.default_value;
}

namespace {

// After `taken` is stored in a counter column, the next number is past it;
// past the 64-bit limit there is none.
void RaiseNextCounter(ColumnInfo& column, std::int64_t taken) {
  if (taken < column.next_number) return;
  if (taken == std::numeric_limits<std::int64_t>::max()) {
    column.next_exhausted = true;
  } else {
    column.next_number = taken + 1;
  }
}

}  // namespace

std::int64_t Connection::NextCounter(const TableInfo& table, ColumnInfo& column) {
  if (!column.next_known) {
    const std::string sql = "SELECT max(" + QuoteName(column.name) + ") FROM " + table.quoted;
    CachedStatement largest = Prepare(sql, sql);
    const int rc = sqlite3_step(largest.get());
    if (rc != SQLITE_ROW) FailStep(rc, sql);
    Value top;
    ReadColumn(largest.get(), 0, top);
    column.next_number = 1;
    column.next_exhausted = false;
    // The largest stored number is checked before one is added to it: a
    // whole number at the 64-bit limit or a real beyond it has no successor.
    constexpr double kTwoTo63 = 9223372036854775808.0;
    if (const auto* whole = std::get_if<std::int64_t>(&top)) {
      if (*whole < 1) {
        column.next_number = *whole + 1;
      } else {
        RaiseNextCounter(column, *whole);
      }
    } else if (const auto* real = std::get_if<double>(&top)) {
      if (!(*real > -kTwoTo63 && *real < kTwoTo63)) {
        throw Error(err::kOverflow, "Overflow: the counter column '" + column.name + "' of table '" +
                                        table.name + "' holds " + Describe(top) +
                                        ", which has no next number" + Where());
      }
      column.next_number = static_cast<std::int64_t>(*real);
      RaiseNextCounter(column, column.next_number);
    }
    column.next_known = true;
  }
  if (column.next_exhausted) {
    throw Error(err::kOverflow, "Overflow: the counter column '" + column.name + "' of table '" +
                                    table.name + "' holds " +
                                    std::to_string(std::numeric_limits<std::int64_t>::max()) +
                                    ", which has no next number" + Where());
  }
  const std::int64_t next = column.next_number;
  if (next == std::numeric_limits<std::int64_t>::max()) {
    column.next_exhausted = true;
  } else {
    ++column.next_number;
  }
  return next;
}

void Connection::NoteCounterValue(ColumnInfo& column, const Value& written) {
  if (const auto* whole = std::get_if<std::int64_t>(&written)) RaiseNextCounter(column, *whole);
}

void Connection::BeginWrite() {
  if (read_only) {
    throw Error(err::kCannotUpdate, "Cannot update: the database " + Quoted(path) +
                                        (jet ? " is a read-only Jet file" : " is opened read-only"));
  }
  // Every stored row passes here: the place where a run can stop between
  // rows.
  if (engine->stop_check) engine->stop_check();
  if (!written_) {
    if (engine->before_first_write) engine->before_first_write(file);
    written_ = true;
  }
  // Where a conflict clause or a trigger may roll the whole transaction
  // back, every row is written in a transaction of its own, so that the
  // rows stored before a refused one stay stored.
  if (in_transaction_ && MayRollBack()) Commit();
  reads_only_ = false;
  if (in_transaction_) return;
  const int rc = Exec("BEGIN");
  if (rc != SQLITE_OK) FailStep(rc, "BEGIN");
  in_transaction_ = true;
  pending_rows_ = 0;
}

void Connection::RowsWritten(long rows) {
  pending_rows_ += rows;
  if (pending_rows_ >= kRowsPerTransaction || MayRollBack()) Commit();
}

void Connection::HoldReadTransaction() {
  if (in_transaction_ || Exec("BEGIN") != SQLITE_OK) return;
  in_transaction_ = true;
  reads_only_ = true;
  pending_rows_ = 0;
}

bool Connection::BeginSetWrite(std::int64_t rows) {
  const bool interruptible = rows >= kRowsPerTransaction;
  if (interruptible) Commit();
  BeginWrite();
  return interruptible;
}

void Connection::CheckTransactionKept() {
  if (!in_transaction_ || sqlite3_get_autocommit(db) == 0) return;
  const std::string message = sqlite3_errmsg(db);
  in_transaction_ = false;
  const bool lost = pending_rows_ > 0;
  pending_rows_ = 0;
  if (lost) {
    throw Error(err::kEngineError, "Engine error: the rows written to " + Quoted(path) +
                                       " since the last commit were undone by the engine (" +
                                       message + ")");
  }
}

void Connection::DiscardEmptyTransaction() {
  if (!in_transaction_ || pending_rows_ > 0) return;
  if (sqlite3_get_autocommit(db) == 0) Exec("ROLLBACK");
  in_transaction_ = false;
  reads_only_ = false;
}

void Connection::Commit() {
  if (!in_transaction_) return;
  if (reads_only_) {
    // Nothing to commit. COMMIT lets statements still reading go on; when
    // it fails (after a damaged page, which was reported where it was read)
    // ROLLBACK ends the transaction, and no failed commit is reported.
    if (Exec("COMMIT") != SQLITE_OK) Exec("ROLLBACK");
    in_transaction_ = false;
    reads_only_ = false;
    return;
  }
  if (sqlite3_get_autocommit(db) != 0) {
    // SQLite rolled the transaction back itself after a failed write (disk
    // full, I/O error); that failure was reported where it happened.
    in_transaction_ = false;
    pending_rows_ = 0;
    return;
  }
  const int rc = Exec("COMMIT");
  if (rc != SQLITE_OK) {
    const std::string message = sqlite3_errmsg(db);
    in_transaction_ = sqlite3_get_autocommit(db) == 0;
    throw Error(err::kEngineError, "Engine error: the rows written to " + Quoted(path) +
                                       " could not be committed (" + message + ")");
  }
  in_transaction_ = false;
  pending_rows_ = 0;
}

void Connection::FailStep(int rc, std::string_view statement, const TableInfo* table,
                          const std::vector<Value>* column_values,
                          const std::vector<char>* column_written) {
  const int code = rc & 0xff;
  // A statement interrupted because the run is asked to stop: the stop
  // check's error tells why.
  if (code == SQLITE_INTERRUPT && engine->stop_check) engine->stop_check();
  const std::string message = sqlite3_errmsg(db);
  const std::string context = InStatement(statement) + Where();
  if (code == SQLITE_CONSTRAINT) {
    const std::vector<ConstraintItem> items = ConstraintItems(message);
    if (rc == SQLITE_CONSTRAINT_NOTNULL && !items.empty()) {
      throw NullRefused(items[0].table, items[0].column, context);
    }
    if (rc == SQLITE_CONSTRAINT_UNIQUE || rc == SQLITE_CONSTRAINT_PRIMARYKEY ||
        rc == SQLITE_CONSTRAINT_ROWID) {
      std::string columns;
      std::string values;
      bool all_known = table != nullptr && column_values != nullptr && column_written != nullptr;
      for (const ConstraintItem& item : items) {
        const std::string sep = columns.empty() ? "" : ", ";
        columns += sep + item.column;
        const int col = all_known ? table->ColumnIndex(item.column) : -1;
        if (col >= 0 && (*column_written)[col]) {
          values += sep + ColumnIs(item.column, (*column_values)[col]);
        } else {
          all_known = false;
        }
      }
      if (items.empty()) {
        throw Error(err::kDuplicateValue, "Duplicate value refused (" + message + ")" + context);
      }
      throw DuplicateRefused(items[0].table, all_known ? values : "the same " + columns, context);
    }
    throw Error(err::kEngineError, "Engine error (" + message + ")" + context);
  }
  if (code == SQLITE_READONLY) {
    throw Error(err::kCannotUpdate, "Cannot update (" + message + ")" + context);
  }
  if (code == SQLITE_NOTADB) {
    throw Error(err::kNotADatabase, "Not a database: " + Quoted(path) + " is not a database file");
  }
  throw Error(err::kEngineError, "Engine error (" + message + ")" + context);
}

}  // namespace relamor::db::detail
