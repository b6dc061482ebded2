// The savepoint envelope of the set-based writes (set_based.h). The only
// place that opens, releases or rolls back a savepoint.
#include <sqlite3.h>

#include <string>

#include "toolkit/db/connection.h"
#include "toolkit/db/set_based.h"
#include "toolkit/text.h"

namespace relamor::db::detail {

std::string UnprovableRules(sqlite3* db, const TableInfo& table) {
  Statement schema(db,
                   "SELECT type, sql FROM main.sqlite_master WHERE tbl_name = ?1 COLLATE NOCASE "
                   "AND type IN ('table', 'trigger')");
  if (!schema) return "the schema cannot be read";
  sqlite3_bind_text(schema.stmt, 1, table.name.c_str(), -1, SQLITE_TRANSIENT);
  int rc;
  while ((rc = sqlite3_step(schema.stmt)) == SQLITE_ROW) {
    const auto* type = reinterpret_cast<const char*>(sqlite3_column_text(schema.stmt, 0));
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(schema.stmt, 1));
    if (type && std::string(type) == "trigger") return "a trigger on the new table";
    // Every ON CONFLICT must be followed by ABORT, the default. Written in
    // a constraint or not, the words decide: a false alarm only costs the
    // walk.
    const std::string sql = Upper(text ? text : "");
    for (std::size_t at = sql.find("CONFLICT"); at != std::string::npos;
         at = sql.find("CONFLICT", at + 1)) {
      std::size_t word = sql.find_first_not_of(" \t\r\n", at + 8);
      if (word == std::string::npos || sql.compare(word, 5, "ABORT") != 0) {
        return "a conflict clause other than ABORT in the new table";
      }
    }
  }
  return rc == SQLITE_DONE ? "" : "the schema cannot be read";
}

SetWrite::SetWrite(Connection& target, std::int64_t rows) : target_(target) {
  const bool interruptible = target.BeginSetWrite(rows);
  open_ = target.Exec("SAVEPOINT relamor_set_write") == SQLITE_OK;
  if (open_ && interruptible) {
    sqlite3_progress_handler(target.db, 1000, &StopRequested, target.engine);
    interrupting_ = true;
  }
}

void SetWrite::StopInterrupting() {
  if (!interrupting_) return;
  // Back to the connection's own stop checks, which interrupt long reads.
  InstallStopChecks(target_);
  interrupting_ = false;
}

void SetWrite::Undo() {
  if (!open_) return;
  target_.CheckTransactionKept();
  target_.Exec("ROLLBACK TO relamor_set_write");
}

void SetWrite::Commit(long rows_written, bool counters_written) {
  if (!open_) return;
  StopInterrupting();
  open_ = false;
  target_.Exec("RELEASE relamor_set_write");
  if (counters_written) target_.ForgetCounters();
  target_.RowsWritten(rows_written);
}

SetWrite::~SetWrite() {
  StopInterrupting();
  if (!open_) return;
  target_.Exec("ROLLBACK TO relamor_set_write");
  target_.Exec("RELEASE relamor_set_write");
  // A declined write holds no row; a failed read of an attached old
  // database may have left the transaction unable to commit, so it is ended
  // and the walk that follows stores into a fresh one.
  target_.DiscardEmptyTransaction();
}

}  // namespace relamor::db::detail
