// The connection of the database layer and its statement cache, shared by
// the layer's .cpp files only.
//
// Ownership: the Engine owns its Connections (one per file and open mode).
// A Database handle (DatabaseState) points at its Connection while it is open
// and lists, weakly, the recordsets opened through it. A recordset
// (RecordsetState, recordset.cpp) points at its Connection until it is ended;
// closing a handle ends its recordsets first, and a Connection closes when
// its last handle closes, so no live pointer ever outlives its Connection.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "toolkit/db/database.h"
#include "toolkit/db/dialect.h"
#include "toolkit/error.h"
#include "toolkit/platform/files.h"
#include "toolkit/text.h"
#include "toolkit/db/types.h"
#include "toolkit/db/value.h"

struct sqlite3;
struct sqlite3_stmt;

namespace relamor::db {
class JetImport;
}

namespace relamor::db::detail {

// Rows written in one transaction before it is committed and a new one begun.
inline constexpr long kRowsPerTransaction = 100000;

// The first word of a statement, upper-cased ("SELECT", "UPDATE", ...),
// skipping blanks and opening parentheses.
std::string FirstKeyword(std::string_view sql);

// How a statement with `params` bound is translated: `executed` for
// Database::Execute, `updatable` for a recordset that may update its rows. A
// parameter holding a number gets no case-blind collation: a number compares
// the same either way, and without the collation SQLite can use an index on
// the column.
StatementUse UseOf(const std::vector<Value>& params, bool executed, bool updatable);

// Binds `v` without copying it: `v` must stay unchanged until the statement
// has been reset or bound again.
void BindValue(sqlite3_stmt* stmt, int index, const Value& v);
// Reads a result column into `out`, reusing its text storage where it can.
void ReadColumn(sqlite3_stmt* stmt, int column, Value& out);

struct Connection;

// A prepared statement borrowed from a connection's cache; given back (reset,
// bindings cleared) when released or destroyed.
class CachedStatement {
 public:
  CachedStatement() = default;
  CachedStatement(Connection* connection, std::string sql, sqlite3_stmt* stmt)
      : connection_(connection), sql_(std::move(sql)), stmt_(stmt) {}
  ~CachedStatement() { Release(); }
  CachedStatement(CachedStatement&& other) noexcept;
  CachedStatement& operator=(CachedStatement&& other) noexcept;
  CachedStatement(const CachedStatement&) = delete;
  CachedStatement& operator=(const CachedStatement&) = delete;

  sqlite3_stmt* get() const { return stmt_; }
  explicit operator bool() const { return stmt_ != nullptr; }
  void Release();

 private:
  Connection* connection_ = nullptr;
  std::string sql_;
  sqlite3_stmt* stmt_ = nullptr;
};

struct ColumnInfo {
  std::string name;
  ColumnType type;
  std::string default_sql;   // the DEFAULT expression; empty when none
  bool rowid_alias = false;  // INTEGER PRIMARY KEY: SQLite numbers it
  bool counter = false;      // COUNTER / AUTOINCREMENT numbered by this layer
  // Filled on demand.
  bool default_known = false;
  Value default_value;
  bool next_known = false;
  std::int64_t next_number = 1;
  bool next_exhausted = false;  // the largest number is taken
};

struct TableInfo {
  std::string name;    // as the schema spells it
  std::string quoted;  // QuoteName(name)
  std::vector<ColumnInfo> columns;
  std::vector<std::string> column_names;
  bool has_counter = false;
  // A name of the rowid that no column hides ("rowid", "_rowid_" or "oid");
  // empty when columns hide all three, which leaves the rows read-only.
  std::string rowid_name;

  // Column position by name, letter case ignored; -1 when none.
  int ColumnIndex(std::string_view column) const;
};

struct DatabaseState;
struct RecordsetState;

struct EngineState {
  std::unordered_map<std::string, std::unique_ptr<Connection>> connections;
  // A commit that failed where no error could be thrown (a destructor);
  // CommitAll reports it.
  std::optional<Error> deferred_failure;
  // Told of every row that a writable connection inserts or updates.
  ChangeObserver change_observer;
  bool read_only = false;
  std::unordered_map<std::string, std::string> aliases;
  // Table layouts read so far, by table name and CREATE statement: a layout
  // follows from its statement, so a database copied from a template (every
  // site database) takes the template's layouts without reading them again.
  std::unordered_map<std::string, std::shared_ptr<const TableInfo>> layouts;
  // See Engine::SetStopCheck and Engine::SetBeforeFirstWrite.
  std::function<void()> stop_check;
  std::function<void(const std::string&)> before_first_write;
};

// A progress handler for long statements: interrupts the statement (returns
// 1) when the engine's stop check asks the run to stop.
int StopRequested(void* engine_state);

struct Connection;
// Makes a stop request interrupt the connection's long statements that only
// read (a plan over a large mapping, a count), within a fraction of a second;
// the error of the stop check then ends the run. Connect puts it in place,
// and every set-based write that installs StopRequested for its own
// statement puts it back afterwards.
void InstallStopChecks(Connection& connection);
// Whether the connection tells the engine's change observer of each row it
// writes; a set-based copy turns it off for its statement and tells the
// observer of its rows in one call.
void SetChangeHook(Connection& connection, bool on);

struct Connection {
  Connection(EngineState* owner, std::string open_key, std::string open_path, bool open_read_only)
      : engine(owner),
        key(std::move(open_key)),
        path(std::move(open_path)),
        read_only(open_read_only) {}
  ~Connection();  // finalises the cached statements and closes the file
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  sqlite3* db = nullptr;
  EngineState* engine;
  std::string key;
  std::string path;  // as first opened; names the database in messages
  // The file SQLite has open: `path`, or a private snapshot of it.
  std::string file;
  // The private folder of that snapshot, removed with the connection.
  std::unique_ptr<platform::PrivateFolder> snapshot;
  bool read_only;
  // Set for a Jet file: its import, which SQLite reads in its place.
  std::shared_ptr<JetImport> jet;
  std::vector<DatabaseState*> handles;

  // " (path)": the suffix naming the database in every message.
  std::string Where() const { return " (" + path + ")"; }

  // Prepares `sql` or takes it from the cache. `statement` is the text the
  // caller gave (before translation), quoted in messages. Throws 3078 for an
  // unknown table, 3061 for an unknown column, 3075 for other rejections.
  CachedStatement Prepare(std::string_view sql, std::string_view statement);
  // As Prepare, but returns an empty statement instead of throwing.
  CachedStatement TryPrepare(std::string_view sql);
  void GiveBack(std::string sql, sqlite3_stmt* stmt);

  // The statement in SQLite's dialect (cached by text and use).
  Translation Translate(std::string_view statement, const StatementUse& use);

  // The table of that name (letter case ignored), or null.
  std::shared_ptr<TableInfo> FindTable(std::string_view name);
  // Drops cached table layouts and translations (after a schema change).
  void ForgetSchema();
  // Drops the cached next numbers of counter columns (after an Execute that
  // may have written them).
  void ForgetCounters();
  // The evaluated DEFAULT of a column (Null when it has none).
  const Value& DefaultOf(ColumnInfo& column);
  // The number an added row takes in a counter column, and its successor
  // after a row stored `written` into it.
  std::int64_t NextCounter(const TableInfo& table, ColumnInfo& column);
  void NoteCounterValue(ColumnInfo& column, const Value& written);

  // Write transactions: BeginWrite before a write (throws 3027 when the
  // database is read-only), RowsWritten after it (commits every
  // kRowsPerTransaction rows), Commit at close and on request.
  void BeginWrite();
  void RowsWritten(long rows);
  void Commit();
  // Opens a transaction for the reads that follow (see
  // Database::HoldReadTransaction); harmless when one is open.
  void HoldReadTransaction();
  // BeginWrite for one set-based write over at most `rows` rows. A stop
  // interrupts a running statement, and SQLite undoes an interrupted write
  // with its whole transaction; so a write over as many rows as a
  // transaction holds commits the rows stored before it first and returns
  // true (a stop may interrupt it). A smaller one runs to its end in the
  // open transaction, which saves a commit per small table, and returns
  // false: the stop is seen at the next row or table.
  bool BeginSetWrite(std::int64_t rows);
  // Right after a statement of a set-based write failed: throws when SQLite
  // undid the whole transaction (an I/O error) and with it rows stored
  // before, which would otherwise be lost without a word.
  void CheckTransactionKept();
  // After a declined set-based write that read an old database: its
  // transaction holds no row (those before were committed when it began, its
  // statement was undone), but a failed read of the old database leaves it
  // unable to commit, so it is rolled back and the walk that follows stores
  // into a fresh one. Harmless without a transaction or with rows pending.
  void DiscardEmptyTransaction();
  // Whether a transaction that has written is open.
  bool WriteTransactionOpen() const { return in_transaction_ && !reads_only_; }

  // Throws the Error for a failed step. `statement` (may be empty) is quoted;
  // `table` and the per-column values, when given, name the refused value.
  [[noreturn]] void FailStep(int rc, std::string_view statement, const TableInfo* table = nullptr,
                             const std::vector<Value>* column_values = nullptr,
                             const std::vector<char>* column_written = nullptr);

  // Old databases attached read-only for the set-based append, by path: the
  // schema name each one is attached under. They stay attached until the
  // connection closes (SQLite refuses to detach while any statement is
  // active, and the table loop keeps its plan open).
  std::unordered_map<std::string, std::string> attached;
  // For an old database: per table (upper case), whether it was proven
  // readable (bulk_append.cpp); unknown until a set-based write asks.
  mutable std::unordered_map<std::string, bool> proven_readable;

  // Runs a statement without results (PRAGMA, BEGIN, COMMIT); returns the code.
  int Exec(const char* sql);

 private:
  // Whether the main schema holds a conflict clause or a trigger that can
  // roll a whole transaction back (the word ROLLBACK); read when first
  // needed, forgotten with the schema.
  bool MayRollBack();
  std::optional<bool> may_roll_back_;
  bool in_transaction_ = false;
  bool reads_only_ = false;  // the open transaction has only read so far
  bool written_ = false;  // a write has begun on this connection
  long pending_rows_ = 0;
  std::unordered_map<std::string, std::vector<sqlite3_stmt*>> idle_;
  std::size_t idle_count_ = 0;
  std::unordered_map<std::string, std::shared_ptr<TableInfo>> tables_;  // by lowered name
  // The tables of the schema by lowered name: as spelt, and their CREATE
  // statement (FindTable reads them all at its first call).
  struct SchemaEntry {
    std::string name;
    bool has_sql = false;
    std::string sql;
  };
  std::unordered_map<std::string, SchemaEntry> schema_;
  bool schema_read_ = false;
  std::unordered_map<std::string, Translation> translations_;
};

struct DatabaseState {
  Connection* connection = nullptr;  // null once closed
  std::string path;
  std::vector<std::weak_ptr<RecordsetState>> recordsets;
  std::size_t prune_at = 32;

  Connection& Open() const;  // throws 3420 when closed
};

// Recordsets (recordset.cpp). The open functions run the first read, so a
// fresh recordset stands on its first row.
std::shared_ptr<RecordsetState> OpenTableRecordset(Connection& connection,
                                                   std::shared_ptr<TableInfo> table);
std::shared_ptr<RecordsetState> OpenStatementRecordset(Connection& connection,
                                                       std::string_view statement,
                                                       std::vector<Value> params);
// Ends a recordset: its statements go back to the cache, any further use
// throws 3420. Harmless on an ended recordset.
void EndRecordset(RecordsetState& rs);

}  // namespace relamor::db::detail
