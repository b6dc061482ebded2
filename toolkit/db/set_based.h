// Pieces shared by the set-based statements of the database layer: the
// append and category update (bulk_append.cpp) and the special writers'
// statements (writer_sql.cpp).
#pragma once

#include <sqlite3.h>

#include <optional>
#include <string>
#include <vector>

#include "toolkit/db/connection.h"
#include "toolkit/db/types.h"

namespace relamor::db::detail {

// A prepared statement finalized on every way out.
struct Statement {
  sqlite3_stmt* stmt = nullptr;
  Statement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
      sqlite3_finalize(stmt);
      stmt = nullptr;
    }
  }
  ~Statement() { sqlite3_finalize(stmt); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  explicit operator bool() const { return stmt != nullptr; }
};

// While alive (and `on`), a stop asked for interrupts the statements of
// `target` (see Connection::BeginSetWrite); removed on every way out.
struct StopInterrupts {
  sqlite3* db;
  Connection& connection;
  StopInterrupts(Connection& target, bool on) : db(target.db), connection(target) {
    if (on) sqlite3_progress_handler(db, 1000, &StopRequested, target.engine);
  }
  ~StopInterrupts() { InstallStopChecks(connection); }
  StopInterrupts(const StopInterrupts&) = delete;
  StopInterrupts& operator=(const StopInterrupts&) = delete;
};

// The envelope of every set-based write: all of it is stored or none.
// The constructor begins the write (Connection::BeginSetWrite over at most
// `rows` rows) and opens a savepoint; from then on a stop asked for
// interrupts the statements, and an interrupted one is undone like a
// failed one. Commit keeps what was written (and tells the connection of
// `rows_written`); Undo goes back to the savepoint and keeps it open for
// another attempt; the destructor undoes whatever was not committed.
class SetWrite {
 public:
  SetWrite(Connection& target, std::int64_t rows);
  ~SetWrite();
  SetWrite(const SetWrite&) = delete;
  SetWrite& operator=(const SetWrite&) = delete;

  // Whether the savepoint is open (false: write nothing, decline).
  bool open() const { return open_; }
  // After a failed statement: throws when SQLite undid the whole transaction
  // (rows stored before would be lost without a word), then goes back to
  // the savepoint.
  void Undo();
  // Keeps the write; `counters_written`: the write stored numbers in
  // counter columns, whose next numbers must be read again.
  void Commit(long rows_written, bool counters_written = false);

 private:
  void StopInterrupting();
  Connection& target_;
  bool open_ = false;
  bool interrupting_ = false;
};

// Whether storing `v` (not Null-checked for NOT NULL) into a column of kind
// `kind` stores it unchanged: ConvertForColumn returns exactly these values
// as they are.
bool AlreadyFits(sqlite3_value* v, TypeKind kind, long max_length);

// Why writing rows into `table` (of the main database) in one statement
// might not store what writing them one by one stores: a trigger on it, or a
// conflict clause other than ABORT in its definition (IGNORE and REPLACE
// change which rows are stored, ROLLBACK undoes the whole transaction).
// Empty when there is none.
std::string UnprovableRules(sqlite3* db, const TableInfo& table);

// A file path as a read-only SQLite URI.
std::string ReadOnlyUri(const std::string& path);

// The schema name under which `origin` is attached to `target` (read-only),
// attaching it first when it is not yet, for a statement that reads its
// table `old_table`; nothing when it cannot be attached.
std::optional<std::string> Attach(Connection& target, const Connection& origin,
                                  std::string_view old_table);

// An upper bound of the rows of `table` (schema-qualified and quoted): its
// rowid span, read from the two ends of its b-tree; 0 when it is empty.
std::int64_t RowsAtMost(sqlite3* db, const std::string& table, const std::string& rowid);

// Whether an UPDATE of the `written` columns of `table` can be refused only
// for a Null in a column that `not_null` then marks: no trigger, no CHECK,
// no generated column, no written key or uniquely indexed column.
bool OnlyNullsRefused(sqlite3* db, const TableInfo& table, const std::vector<char>& written,
                      std::vector<char>& not_null);

}  // namespace relamor::db::detail
