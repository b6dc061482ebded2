// The database layer: the converters' view of a database engine, over SQLite.
//
// Engine       one per run; opens databases. Opening the same file twice in
//              one run (for example the new main database by the table loop
//              and by a special writer) shares one connection, so both see
//              each other's rows at once, as the original engine did.
// Database     an open database file (move-only handle). Closing it commits
//              its pending rows and ends the recordsets opened through it.
// Recordset    see recordset.h.
//
// Writes are grouped into transactions for speed. Every row stored before
// an error is committed when the database is closed, when the engine is
// destroyed, or by Engine::CommitAll(), which the run frame calls on its error
// path. SQLite's journal keeps the file consistent if the process dies.
//
// Read-only databases (the old installation) are opened with
// SQLITE_OPEN_READONLY: reading them creates, replays or deletes no journal,
// -wal or -shm file; a database in WAL mode is read from a private snapshot
// (the file and its committed -wal copied into a temporary folder), so that
// no -wal or -shm appears beside it. A hot journal is never played back: the
// open fails naming the file. Every open reads the schema at once, so a file that is not
// a database fails in OpenDatabase and not at some later read.
//
// Statements are written in the original engine's dialect (dialect.h
// translates them); values from the data are passed as bound parameters, one
// per "?" in the statement text.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "toolkit/db/recordset.h"
#include "toolkit/db/value.h"

namespace relamor::db {

namespace detail {
struct DatabaseState;
struct EngineState;
}  // namespace detail

enum class OpenMode { kReadWrite, kReadOnly };

// Recordset option accepted for compatibility; it has no effect here.
inline constexpr int kDenyRead = 2;

// One column of a table as the schema declares it, for checks that read the
// old data against the new columns without writing.
struct ColumnDef {
  std::string name;
  std::string declared_type;
  bool not_null = false;
  bool unique = false;  // a key or UNIQUE column on its own
  bool has_default = false;
  // The default can be evaluated as SQLite evaluates untrusted schema text
  // (only innocuous functions); false for one that storing a row would
  // refuse, such as a call of fts3_tokenizer().
  bool default_usable = true;
  bool rowid_alias = false;  // INTEGER PRIMARY KEY: numbered by the engine
};

// One table of a database, as TableDefs lists it.
struct TableDef {
  std::string name;
  std::vector<std::string> field_names;  // in column order; never empty
};

class Database {
 public:
  Database();  // a closed handle
  ~Database();
  Database(Database&&) noexcept;
  // Closes the database it held (after taking the other's); throws like
  // Close() when the rows of the closed database cannot be committed.
  Database& operator=(Database&&);
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  bool is_open() const;
  // The path it was opened with; it names the database in error messages
  // (the old and the new installation hold files of the same names).
  const std::string& path() const;
  std::string file_name() const;

  // A recordset on a table (by name, letter case ignored) or on a statement.
  // kTable and kDynaset behave alike; `options` is accepted and ignored.
  // Throws Error 3078 for an unknown table, 3075 for a statement the engine
  // rejects (the description names the statement and the database).
  Recordset OpenRecordset(std::string_view source,
                          RecordsetType type = RecordsetType::kDynaset,
                          int options = 0);
  // A dynaset on a statement with bound values, one per "?".
  Recordset OpenRecordset(std::string_view statement, const std::vector<Value>& params);

  // Runs an action statement (update, insert, delete). Rows an UPDATE or
  // DELETE cannot change because of a constraint are skipped without an error;
  // an INSERT that a constraint refuses fails with the constraint's error.
  // Returns the number of rows changed.
  long Execute(std::string_view statement, const std::vector<Value>& params = {});

  // Every table of the database, system tables included, in the order of
  // the schema (the order in which they were created).
  std::vector<TableDef> TableDefs() const;
  // Whether a table of that name exists (letter case ignored).
  bool HasTable(std::string_view name) const;
  // The column names of that table in column order (as a recordset on it
  // lists its fields), or nothing when there is no such table.
  std::optional<std::vector<std::string>> ColumnNames(std::string_view table) const;
  // The name under which a statement can select the table's rowid ("rowid",
  // or "_rowid_" or "oid" when a column takes that name); empty when every
  // one of them is a column name or there is no such table.
  std::string RowidName(std::string_view table) const;
  // The columns of a table (letter case of the name ignored), in column
  // order; empty when there is no such table.
  std::vector<ColumnDef> Columns(std::string_view table) const;

  // Statements on `table` read, from now on, a private copy of it (a
  // temporary table, rows in the same order) with an index on each list of
  // `indexes` (one comparing texts exactly, one without letter case), so
  // that many look-ups of a large table each take log time instead of a
  // scan. For a table nothing writes meanwhile; EndIndexedCopy drops it (so
  // does the database's close). Nothing when there is no such table.
  void UseIndexedCopy(std::string_view table,
                      const std::vector<std::vector<std::string>>& indexes);
  void EndIndexedCopy(std::string_view table);

  // Commits the rows stored so far (the database stays open).
  void Commit();
  // Runs the statements that follow in one transaction, so that a pass of
  // many small reads takes the file's lock (and checks for a journal) once
  // instead of once per statement. It ends at the next commit or when the
  // database is closed; until then the reads see the file as the first of
  // them found it. For a database that nothing else writes meanwhile.
  void HoldReadTransaction();
  // Commits, ends every recordset opened through this handle, and releases
  // the connection when no other handle shares it. Closing twice is harmless.
  void Close();

  // For the layer's own use (recordsets, bulk append).
  const std::shared_ptr<detail::DatabaseState>& state() const { return state_; }

 private:
  friend class Engine;
  explicit Database(std::shared_ptr<detail::DatabaseState> state);
  std::shared_ptr<detail::DatabaseState> state_;
};

// Told of the rows a writable database inserts (`updated` false) or updates
// (`updated` true), `rows` at a time, with the table's name as the schema
// spells it; rows of a statement that is rolled back afterwards are told as
// well. A set-based copy tells its rows once it has stored them all.
using ChangeObserver =
    std::function<void(bool updated, std::string_view table, std::int64_t rows)>;

class Engine {
 public:
  Engine();
  ~Engine();  // commits and closes every connection still open
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Once at a program's start, before it opens any database or starts a
  // thread: SQLite keeps no memory statistics (nothing here reads them),
  // whose lock every allocation of every connection takes, so connections
  // on several threads no longer wait on each other for it.
  static void SetUpProcess();

  // Opens the database file at `path`. Throws Error 3024 when the file does
  // not exist, 3049 when it is not a database, 3146 for other failures; the
  // description names the path.
  Database OpenDatabase(const std::string& path, OpenMode mode = OpenMode::kReadWrite);

  // Commits the pending rows of every open database (the error path). Tries
  // every database, then throws Error 3146 naming the file for the first
  // commit that failed, including one that failed earlier when a handle was
  // closed by its destructor (which cannot throw).
  void CommitAll();

  // For a check that must change nothing: every database is opened
  // read-only from now on, so that any write fails.
  void SetReadOnly(bool read_only);
  // Opening `path` opens `target` instead (a site database that the run
  // would create from the template is checked on the template).
  void AliasPath(const std::string& path, const std::string& target);
  // Opening `path` opens `path` again.
  void RemoveAlias(const std::string& path);

  // Replaces the observer of row changes (an empty one observes nothing).
  void SetChangeObserver(ChangeObserver observer);

  // `check` is called before every row is stored and every action statement
  // runs, and while a set-based append runs; it throws to stop the run
  // between rows (the rows stored before stay pending for CommitAll). Empty:
  // no check.
  void SetStopCheck(std::function<void()> check);
  // `hook` is called with the file's path before the first write through
  // each read-write connection; what it throws fails that write.
  void SetBeforeFirstWrite(std::function<void(const std::string& path)> hook);
  // Takes the table layouts `other` has read so far (a layout follows from
  // its CREATE statement): an engine that opens copies of the same template
  // reads none of them again. Nothing may open a database through `other`
  // meanwhile (several engines may take from it at once).
  void TakeLayoutsOf(const Engine& other);

 private:
  std::shared_ptr<detail::EngineState> state_;
};

}  // namespace relamor::db
