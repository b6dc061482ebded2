// Engine and Database: opening files, sharing connections, running action
// statements and listing tables.
//
// One connection serves every handle on the same file and open mode, so rows
// written through one handle are seen through the other at once. Opening
// reads the schema right away: a file that is not a database fails here and
// not at some later read.
#include "toolkit/db/database.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <optional>

#include "toolkit/db/bulk_append.h"
#include "toolkit/db/connection.h"

namespace relamor::db {
namespace {

using detail::Connection;
using detail::DatabaseState;
using detail::EngineState;

constexpr int kBusyTimeoutMs = 2000;

std::string Quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

// SQLite's like(pattern, text) (the operator "text LIKE pattern") with the
// original engine's pattern characters.
void LikeFunction(sqlite3_context* context, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) {
    sqlite3_result_null(context);
    return;
  }
  const auto* pattern = reinterpret_cast<const char*>(sqlite3_value_text(argv[0]));
  const int pattern_size = sqlite3_value_bytes(argv[0]);
  const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(argv[1]));
  const int text_size = sqlite3_value_bytes(argv[1]);
  try {
    const bool match = JetLike(std::string_view(text, static_cast<std::size_t>(text_size)),
                               std::string_view(pattern, static_cast<std::size_t>(pattern_size)));
    sqlite3_result_int(context, match ? 1 : 0);
  } catch (const std::exception& e) {
    sqlite3_result_error(context, e.what(), -1);
  }
}

// Opens and checks the file; the connection is not yet registered.
std::unique_ptr<Connection> Connect(EngineState* engine, const std::string& key,
                                    const std::string& path, OpenMode mode) {
  const bool read_only = mode == OpenMode::kReadOnly;
  auto connection = std::make_unique<Connection>(engine, key, path, read_only);
  // URI file names let the set-based append attach an old database read-only;
  // a plain path that happens to begin with "file:" stays a plain path.
  const int flags = SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_URI |
                    (read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE);
  const std::string file = path.rfind("file:", 0) == 0 ? "./" + path : path;
  int rc = sqlite3_open_v2(file.c_str(), &connection->db, flags, nullptr);
  if (rc != SQLITE_OK) {
    const std::string message =
        connection->db ? sqlite3_errmsg(connection->db) : sqlite3_errstr(rc);
    throw Error(err::kEngineError, "Engine error: the database " + Quoted(path) +
                                       " cannot be opened (" + message + ")");
  }
  sqlite3* db = connection->db;
  sqlite3_extended_result_codes(db, 1);
  sqlite3_busy_timeout(db, kBusyTimeoutMs);

  // Read the schema now.
  rc = connection->Exec("SELECT count(*) FROM sqlite_master");
  if (rc != SQLITE_OK) {
    const std::string message = sqlite3_errmsg(db);
    if ((rc & 0xff) == SQLITE_NOTADB) {
      throw Error(err::kNotADatabase,
                  "Not a database: " + Quoted(path) + " is not a database file");
    }
    if (rc == SQLITE_READONLY_ROLLBACK || rc == SQLITE_READONLY_RECOVERY) {
      throw Error(
          err::kEngineError,
          "Engine error: the database " + Quoted(path) +
              " needs recovery from an interrupted write, which a read-only open cannot do (" +
              message + ")");
    }
    throw Error(err::kEngineError,
                "Engine error: the database " + Quoted(path) + " cannot be read (" + message + ")");
  }
  connection->Exec("PRAGMA temp_store = MEMORY");
  if (!read_only) connection->Exec("PRAGMA synchronous = FULL");
  sqlite3_create_function_v2(db, "like", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr,
                             &LikeFunction, nullptr, nullptr, nullptr);
  detail::RegisterBulkFunctions(db);
  return connection;
}

// Ends the handle's recordsets, commits, and closes the connection when no
// other handle shares it. A commit failure is thrown after closing, or kept
// for Engine::CommitAll when the caller cannot throw.
void CloseHandle(DatabaseState& state, bool can_throw = true) {
  Connection* connection = state.connection;
  if (connection == nullptr) return;
  for (const auto& weak : state.recordsets) {
    if (auto rs = weak.lock()) detail::EndRecordset(*rs);
  }
  state.recordsets.clear();
  state.connection = nullptr;
  auto& handles = connection->handles;
  handles.erase(std::remove(handles.begin(), handles.end(), &state), handles.end());

  std::optional<Error> failure;
  try {
    connection->Commit();
  } catch (const Error& e) {
    failure = e;
  }
  EngineState* engine = connection->engine;
  if (handles.empty()) engine->connections.erase(connection->key);
  if (!failure) return;
  if (can_throw) throw *failure;
  if (!engine->deferred_failure) engine->deferred_failure = failure;
}

Connection& ConnectionOf(const std::shared_ptr<DatabaseState>& state) {
  if (!state) {
    throw Error(err::kObjectInvalid, "Object invalid or no longer set: the database is not open");
  }
  return state->Open();
}

bool IsStatement(std::string_view source) {
  const std::string keyword = detail::FirstKeyword(source);
  return keyword == "SELECT" || keyword == "WITH" || keyword == "VALUES" ||
         (!source.empty() && source.front() == '(');
}

// "name" from "[name]"; otherwise the text as given, without outer blanks.
std::string_view TableNameOf(std::string_view source) {
  while (!source.empty() && source.front() == ' ') source.remove_prefix(1);
  while (!source.empty() && source.back() == ' ') source.remove_suffix(1);
  if (source.size() >= 2 && source.front() == '[' && source.back() == ']') {
    source = source.substr(1, source.size() - 2);
  }
  return source;
}

// UPDATE statements skip the rows a constraint refuses, as the original
// engine did when no failure option was given.
std::string SkipRefusedRows(const std::string& sql) {
  if (detail::FirstKeyword(sql) != "UPDATE") return sql;
  std::size_t i = 0;
  while (i < sql.size() && sql[i] != 'u' && sql[i] != 'U') ++i;
  i += 6;  // past "update"
  std::size_t j = i;
  while (j < sql.size() && (sql[j] == ' ' || sql[j] == '\t' || sql[j] == '\r' || sql[j] == '\n'))
    ++j;
  if (detail::FirstKeyword(std::string_view(sql).substr(j)) == "OR") return sql;  // has its own
  return sql.substr(0, i) + " OR IGNORE" + sql.substr(i);
}

}  // namespace

// ---- Database ----

Database::Database() = default;
Database::Database(std::shared_ptr<detail::DatabaseState> state) : state_(std::move(state)) {}
Database::Database(Database&&) noexcept = default;

Database& Database::operator=(Database&& other) {
  if (this != &other) {
    std::shared_ptr<DatabaseState> held = std::move(state_);
    state_ = std::move(other.state_);
    if (held) CloseHandle(*held);
  }
  return *this;
}

Database::~Database() {
  if (state_) CloseHandle(*state_, /*can_throw=*/false);
}

bool Database::is_open() const { return state_ && state_->connection != nullptr; }

const std::string& Database::path() const {
  static const std::string kNone;
  return state_ ? state_->path : kNone;
}

std::string Database::file_name() const {
  const std::string& p = path();
  const std::size_t slash = p.find_last_of('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

Recordset Database::OpenRecordset(std::string_view source, RecordsetType, int) {
  return OpenRecordset(source, std::vector<Value>{});
}

Recordset Database::OpenRecordset(std::string_view statement, const std::vector<Value>& params) {
  Connection& connection = ConnectionOf(state_);
  std::shared_ptr<detail::RecordsetState> rs;
  const std::string_view name = TableNameOf(statement);
  if (auto table = connection.FindTable(name)) {
    if (!params.empty()) {
      throw Error(err::kEngineError, "Engine error: values given for the table " + Quoted(name) +
                                         ", which takes none" + connection.Where());
    }
    rs = detail::OpenTableRecordset(connection, std::move(table));
  } else if (IsStatement(statement)) {
    rs = detail::OpenStatementRecordset(connection, statement, params);
  } else {
    throw Error(err::kTableNotFound, "Table not found: " + Quoted(name) + connection.Where());
  }

  auto& list = state_->recordsets;
  if (list.size() >= state_->prune_at) {
    list.erase(
        std::remove_if(list.begin(), list.end(), [](const auto& weak) { return weak.expired(); }),
        list.end());
    state_->prune_at = std::max<std::size_t>(32, list.size() * 2);
  }
  list.push_back(rs);
  return Recordset(std::move(rs));
}

long Database::Execute(std::string_view statement, const std::vector<Value>& params) {
  Connection& connection = ConnectionOf(state_);
  const Translation translation = connection.Translate(statement);
  const std::string keyword = detail::FirstKeyword(translation.sql);
  const std::string sql = SkipRefusedRows(detail::ForNumericParameters(translation.sql, params));

  detail::CachedStatement stmt = connection.Prepare(sql, statement);
  sqlite3_stmt* s = stmt.get();
  if (sqlite3_column_count(s) > 0) {
    throw Error(err::kEngineError, "Engine error: cannot execute a select query" +
                                       std::string(" in statement ") + Quoted(statement) +
                                       connection.Where());
  }
  const int expected = sqlite3_bind_parameter_count(s);
  if (expected != static_cast<int>(params.size())) {
    throw Error(err::kUndefinedName,
                "Wrong number of parameters: the statement " + Quoted(statement) + " expects " +
                    std::to_string(expected) + " values, " + std::to_string(params.size()) +
                    " given" + connection.Where());
  }
  for (std::size_t i = 0; i < params.size(); ++i) {
    detail::BindValue(s, static_cast<int>(i + 1), params[i]);
  }
  const bool writes = !sqlite3_stmt_readonly(s);
  if (writes) connection.BeginWrite();
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
  }
  if (rc != SQLITE_DONE) connection.FailStep(rc, statement);
  const long changed = static_cast<long>(sqlite3_changes64(connection.db));
  stmt.Release();

  if (writes) {
    if (keyword == "INSERT" || keyword == "UPDATE" || keyword == "REPLACE") {
      connection.ForgetCounters();
    } else if (keyword != "DELETE") {
      connection.ForgetSchema();  // CREATE, DROP, ALTER, ...
    }
    connection.RowsWritten(changed > 0 ? changed : 1);
    return changed;
  }
  return 0;
}

std::vector<TableDef> Database::TableDefs() const {
  Connection& connection = ConnectionOf(state_);
  std::vector<std::string> names;
  {
    const char* sql = "SELECT name FROM sqlite_master WHERE type = 'table' ORDER BY rowid";
    detail::CachedStatement list = connection.Prepare(sql, sql);
    int rc;
    while ((rc = sqlite3_step(list.get())) == SQLITE_ROW) {
      names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(list.get(), 0)));
    }
    if (rc != SQLITE_DONE) connection.FailStep(rc, sql);
  }
  std::vector<TableDef> defs;
  defs.reserve(names.size());
  for (std::string& name : names) {
    const auto table = connection.FindTable(name);
    if (!table) continue;
    defs.push_back(TableDef{std::move(name), table->column_names});
  }
  return defs;
}

bool Database::HasTable(std::string_view name) const {
  return ConnectionOf(state_).FindTable(TableNameOf(name)) != nullptr;
}

std::optional<std::vector<std::string>> Database::ColumnNames(std::string_view table) const {
  const auto info = ConnectionOf(state_).FindTable(TableNameOf(table));
  if (!info) return std::nullopt;
  return info->column_names;
}

std::string Database::RowidName(std::string_view table) const {
  const auto info = ConnectionOf(state_).FindTable(TableNameOf(table));
  return info ? info->rowid_name : std::string();
}

void Database::Commit() { ConnectionOf(state_).Commit(); }

void Database::Close() {
  if (state_) CloseHandle(*state_);
}

// ---- Engine ----

Engine::Engine() : state_(std::make_shared<EngineState>()) {}

Engine::~Engine() {
  // Close every handle still open: their recordsets end, their rows are
  // committed, and the connections close.
  while (!state_->connections.empty()) {
    Connection* connection = state_->connections.begin()->second.get();
    if (connection->handles.empty()) {
      try {
        connection->Commit();
      } catch (const Error&) {
      }
      state_->connections.erase(state_->connections.begin());
      continue;
    }
    CloseHandle(*connection->handles.front(), /*can_throw=*/false);
  }
}

Database Engine::OpenDatabase(const std::string& path, OpenMode mode) {
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0) {
    throw Error(err::kDatabaseNotFound,
                "Database not found: could not find the file " + Quoted(path));
  }
  if (!S_ISREG(info.st_mode)) {
    throw Error(err::kNotADatabase, "Not a database: " + Quoted(path) + " is not a database file");
  }
  char resolved[PATH_MAX];
  const std::string canonical = ::realpath(path.c_str(), resolved) ? resolved : path;
  const std::string key =
      canonical + (mode == OpenMode::kReadOnly ? "\n(read-only)" : "\n(read-write)");

  auto& connections = state_->connections;
  auto it = connections.find(key);
  if (it == connections.end()) {
    it = connections.emplace(key, Connect(state_.get(), key, path, mode)).first;
  }
  auto handle = std::make_shared<DatabaseState>();
  handle->connection = it->second.get();
  handle->path = path;
  it->second->handles.push_back(handle.get());
  return Database(std::move(handle));
}

void Engine::CommitAll() {
  std::optional<Error> failure = std::move(state_->deferred_failure);
  state_->deferred_failure.reset();
  for (auto& [key, connection] : state_->connections) {
    try {
      connection->Commit();
    } catch (const Error& e) {
      if (!failure) failure = e;
    }
  }
  if (failure) throw *failure;
}

}  // namespace relamor::db
