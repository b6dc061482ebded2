// Engine and Database: opening files, sharing connections, running action
// statements and listing tables.
//
// One connection serves every handle on the same file and open mode, so rows
// written through one handle are seen through the other at once. Opening
// reads the schema right away: a file that is not a database fails here and
// not at some later read.
#include "toolkit/db/database.h"

#include <sqlite3.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>

#include "toolkit/db/bulk_append.h"
#include "toolkit/db/connection.h"
#include "toolkit/db/hardening.h"
#include "toolkit/platform/files.h"
#include "toolkit/db/jet_reader.h"

namespace relamor::db {
namespace {

using detail::Connection;
using detail::DatabaseState;
using detail::EngineState;

constexpr int kBusyTimeoutMs = 2000;

std::string Quoted(std::string_view text) { return "'" + std::string(text) + "'"; }

// regexp(pattern, text), the operator "text REGEXP pattern" that the dialect
// translation writes for the original engine's LIKE: its pattern characters.
// Direct-only, so no schema text can call it; SQLite's like() stays what
// indexes, CHECKs and views of a database mean.
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

void ChangeHook(void* engine, int operation, const char* /*database*/, const char* table,
                sqlite3_int64 /*rowid*/) {
  const auto* state = static_cast<EngineState*>(engine);
  if (state->change_observer && operation != SQLITE_DELETE) {
    state->change_observer(operation == SQLITE_UPDATE, table, 1);
  }
}

}  // namespace

namespace detail {

void SetChangeHook(Connection& connection, bool on) {
  sqlite3_update_hook(connection.db, on ? &ChangeHook : nullptr, on ? connection.engine : nullptr);
}

}  // namespace detail

namespace {

// The first bytes of a database file: enough to tell a Jet file from an
// SQLite one and to see whether an SQLite one is in WAL mode.
struct FileHeader {
  char bytes[20] = {};
  std::size_t size = 0;

  explicit FileHeader(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    const ssize_t got = ::pread(fd, bytes, sizeof bytes, 0);
    ::close(fd);
    size = got > 0 ? static_cast<std::size_t>(got) : 0;
  }
  bool IsJet() const { return IsJetHeader(bytes, size); }
  // File format versions of 2 at offsets 18 and 19.
  bool InWalMode() const {
    return size == sizeof bytes && std::memcmp(bytes, "SQLite format 3", 16) == 0 &&
           (bytes[18] == 2 || bytes[19] == 2);
  }
};

// Copies the database `path` and its -wal (when there is one) into a new
// private folder; returns the folder, `*file` is the copy to open.
std::unique_ptr<platform::PrivateFolder> MakeSnapshot(const std::string& path,
                                                      std::string* file) {
  try {
    auto folder = std::make_unique<platform::PrivateFolder>("relamor-snapshot-");
    *file = folder->path() + "/snapshot.mdb";
    platform::CopyFileReplacing(path, *file);
    if (::access((path + "-wal").c_str(), F_OK) == 0) {
      platform::CopyFileReplacing(path + "-wal", *file + "-wal");
    }
    return folder;
  } catch (const Error& e) {
    throw Error(err::kEngineError, "Engine error: the database " + Quoted(path) +
                                       " is in WAL mode and no private copy of it can be made (" +
                                       e.description() + ")");
  }
}

// Opens and checks the file; the connection is not yet registered.
std::unique_ptr<Connection> Connect(EngineState* engine, const std::string& key,
                                    const std::string& path, OpenMode mode) {
  // An old database that is a Jet file is read through its import, read-only.
  const FileHeader header(path);
  std::shared_ptr<JetImport> jet = header.IsJet() ? std::make_shared<JetImport>(path) : nullptr;
  const bool read_only = mode == OpenMode::kReadOnly || jet;
  auto connection = std::make_unique<Connection>(engine, key, path, read_only);
  connection->jet = jet;
  // The file is opened by a URI built from its path (so no path is read as
  // a URI), and URIs let the set-based append attach an old database
  // read-only.
  const int flags = SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_URI |
                    (read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE);
  connection->file = jet ? jet->sqlite_path() : path;
  int open_flags = flags;
  if (!jet && read_only && header.InWalMode()) {
    // Reading a WAL database in place would leave -wal and -shm files beside
    // it; its private copy may have them. The copy is opened for writing so
    // SQLite can read the committed -wal into it; the connection stays
    // read-only for its users.
    connection->snapshot = MakeSnapshot(path, &connection->file);
    open_flags = (flags & ~SQLITE_OPEN_READONLY) | SQLITE_OPEN_READWRITE;
  }
  int rc = sqlite3_open_v2(detail::FileUri(connection->file).c_str(), &connection->db, open_flags,
                           nullptr);
  if (rc == SQLITE_OK && !detail::Harden(connection->db)) rc = SQLITE_MISUSE;
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
  // Sorts and temporary b-trees keep SQLite's default store: memory up to
  // their cache, then a file in the temporary directory that is unlinked as
  // it is opened. So a large GROUP BY or ORDER BY does not grow the process
  // with the rows, and a small sort fills one buffer instead of allocating
  // every record (as it does with temp_store = MEMORY).
  if (!read_only) connection->Exec("PRAGMA synchronous = FULL");
  sqlite3_create_function_v2(db, "regexp", 2,
                             SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_DIRECTONLY, nullptr,
                             &LikeFunction, nullptr, nullptr, nullptr);
  detail::RegisterBulkFunctions(db);
  if (!read_only) SetChangeHook(*connection, true);
  detail::InstallStopChecks(*connection);
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
  } catch (const std::exception& e) {
    // Building the message ran out of memory: the rows are still pending.
    failure.emplace(err::kEngineError, e.what());
  }
  EngineState* engine = connection->engine;
  if (handles.empty()) engine->connections.erase(connection->key);
  if (!failure) return;
  if (can_throw) throw *failure;
  if (!engine->deferred_failure) engine->deferred_failure = failure;
}

// The last word on rows that could not be committed where nothing can be
// thrown; never throws.
void ReportLostCommit(const char* path, const char* what) noexcept {
  std::fprintf(stderr, "rows of %s could not be committed: %s\n", path, what);
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
  if (!state_) return;
  try {
    CloseHandle(*state_, /*can_throw=*/false);
  } catch (const std::exception& e) {
    // Only memory exhaustion while keeping the failure gets here.
    ReportLostCommit(state_->path.c_str(), e.what());
  }
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
  const Translation translation =
      connection.Translate(statement, detail::UseOf(params, /*executed=*/true, false));
  const std::string keyword = detail::FirstKeyword(translation.sql);
  const std::string& sql = translation.sql;

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

void Database::UseIndexedCopy(std::string_view table,
                              const std::vector<std::vector<std::string>>& indexes) {
  Connection& connection = ConnectionOf(state_);
  const auto info = connection.FindTable(TableNameOf(table));
  if (!info) return;
  // An unqualified name finds the temporary table before the database's own.
  std::string sql = "CREATE TEMP TABLE " + info->quoted + " AS SELECT * FROM main." +
                    info->quoted + " ORDER BY rowid;";
  int n = 0;
  for (const std::vector<std::string>& columns : indexes) {
    for (const char* collation : {" COLLATE BINARY", " COLLATE NOCASE"}) {
      std::string list;
      for (const std::string& column : columns) {
        list += (list.empty() ? "" : ", ") + QuoteName(column) + collation;
      }
      sql += "CREATE INDEX temp.relamor_copy_" + std::to_string(++n) + " ON " + info->quoted +
             " (" + list + ");";
    }
  }
  if (connection.Exec(sql.c_str()) != SQLITE_OK) connection.FailStep(SQLITE_ERROR, sql);
  connection.ForgetSchema();
}

void Database::EndIndexedCopy(std::string_view table) {
  Connection& connection = ConnectionOf(state_);
  const std::string sql = "DROP TABLE IF EXISTS temp." + QuoteName(std::string(TableNameOf(table)));
  connection.Exec(sql.c_str());
  connection.ForgetSchema();
}

void Database::Commit() { ConnectionOf(state_).Commit(); }

void Database::HoldReadTransaction() { ConnectionOf(state_).HoldReadTransaction(); }

void Database::Close() {
  if (state_) CloseHandle(*state_);
}

// ---- Engine ----

Engine::Engine() : state_(std::make_shared<EngineState>()) {}

void Engine::SetUpProcess() {
  // Refused (and harmless) once SQLite is initialised.
  sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
}

Engine::~Engine() {
  // Close every handle still open: their recordsets end, their rows are
  // committed, and the connections close. A commit that fails here, or one
  // that failed in a destructor and was never reported by CommitAll, cannot
  // be thrown: it goes to standard error.
  while (!state_->connections.empty()) {
    Connection* connection = state_->connections.begin()->second.get();
    try {
      if (connection->handles.empty()) {
        connection->Commit();
      } else {
        CloseHandle(*connection->handles.front(), /*can_throw=*/false);
        continue;
      }
    } catch (const std::exception& e) {
      ReportLostCommit(connection->path.c_str(), e.what());
    }
    state_->connections.erase(state_->connections.begin());
  }
  if (state_->deferred_failure) {
    // Its description names the database.
    std::fprintf(stderr, "%s\n", state_->deferred_failure->what());
  }
}

std::vector<ColumnDef> Database::Columns(std::string_view table) const {
  sqlite3* db = state_->Open().db;
  std::vector<ColumnDef> columns;
  auto each_row = [db](const std::string& sql, const std::function<void(sqlite3_stmt*)>& f) {
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) return;
    while (sqlite3_step(stmt) == SQLITE_ROW) f(stmt);
    sqlite3_finalize(stmt);
  };
  auto text = [](sqlite3_stmt* stmt, int i) {
    const unsigned char* t = sqlite3_column_text(stmt, i);
    return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
  };
  // The table's own spelling, from the cached layout: listing every table
  // here would make a pass over many tables quadratic.
  const auto info = ConnectionOf(state_).FindTable(TableNameOf(table));
  if (!info) return columns;
  const std::string name = info->name;
  const std::string quoted = QuoteName(name);
  int key_columns = 0;
  each_row("PRAGMA table_info(" + quoted + ")", [&](sqlite3_stmt* stmt) {
    ColumnDef c;
    c.name = text(stmt, 1);
    c.declared_type = text(stmt, 2);
    c.not_null = sqlite3_column_int(stmt, 3) != 0;
    c.unique = sqlite3_column_int(stmt, 5) != 0;
    c.has_default = sqlite3_column_type(stmt, 4) != SQLITE_NULL;
    Value evaluated;
    c.default_usable = !c.has_default || detail::EvaluateDefault(text(stmt, 4), evaluated);
    c.rowid_alias = c.unique && Upper(c.declared_type) == "INTEGER";
    if (c.unique) ++key_columns;
    columns.push_back(std::move(c));
  });
  // A key of several columns makes none of them unique on its own.
  if (key_columns > 1) {
    for (ColumnDef& c : columns) c.unique = c.rowid_alias = false;
  }
  std::vector<std::string> unique_indexes;
  each_row("PRAGMA index_list(" + quoted + ")", [&](sqlite3_stmt* stmt) {
    if (sqlite3_column_int(stmt, 2) != 0) unique_indexes.push_back(text(stmt, 1));
  });
  for (const std::string& index : unique_indexes) {
    std::vector<std::string> indexed;
    each_row("PRAGMA index_info(" + QuoteName(index) + ")",
             [&](sqlite3_stmt* stmt) { indexed.push_back(text(stmt, 2)); });
    if (indexed.size() != 1) continue;
    for (ColumnDef& c : columns) {
      if (EqualsNoCase(c.name, indexed.front())) c.unique = true;
    }
  }
  return columns;
}

void Engine::SetChangeObserver(ChangeObserver observer) {
  state_->change_observer = std::move(observer);
}

void Engine::SetReadOnly(bool read_only) { state_->read_only = read_only; }

void Engine::AliasPath(const std::string& path, const std::string& target) {
  state_->aliases[path] = target;
}

void Engine::RemoveAlias(const std::string& path) { state_->aliases.erase(path); }

Database Engine::OpenDatabase(const std::string& given_path, OpenMode mode) {
  const auto alias = state_->aliases.find(given_path);
  const std::string& path = alias == state_->aliases.end() ? given_path : alias->second;
  if (state_->read_only) mode = OpenMode::kReadOnly;
  struct stat info {};
  if (path.empty() || ::stat(path.c_str(), &info) != 0) {
    throw Error(err::kDatabaseNotFound,
                "Database not found: could not find the file " + Quoted(path));
  }
  if (!S_ISREG(info.st_mode)) {
    throw Error(err::kNotADatabase, "Not a database: " + Quoted(path) + " is not a database file");
  }
  // The file itself names the connection, however the path spells it.
  // An alias has a connection of its own, named by the path given: what a
  // check reads there names the file as the run would name it.
  const bool aliased = alias != state_->aliases.end();
  const std::string key = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino) +
                          (mode == OpenMode::kReadOnly ? " (read-only)" : " (read-write)") +
                          (aliased ? " as " + given_path : std::string());

  auto& connections = state_->connections;
  auto it = connections.find(key);
  if (it == connections.end()) {
    auto connection = Connect(state_.get(), key, path, mode);
    if (aliased) connection->path = given_path;
    it = connections.emplace(key, std::move(connection)).first;
  }
  auto handle = std::make_shared<DatabaseState>();
  handle->connection = it->second.get();
  handle->path = given_path;
  it->second->handles.push_back(handle.get());
  return Database(std::move(handle));
}

void Engine::TakeLayoutsOf(const Engine& other) {
  for (const auto& [key, layout] : other.state_->layouts) state_->layouts.emplace(key, layout);
}

void Engine::SetStopCheck(std::function<void()> check) { state_->stop_check = std::move(check); }

void Engine::SetBeforeFirstWrite(std::function<void(const std::string& path)> hook) {
  state_->before_first_write = std::move(hook);
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
