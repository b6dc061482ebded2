// Connection hardening, file URIs and the evaluation of column defaults
// (see hardening.h).
#include "toolkit/db/hardening.h"

#include <sqlite3.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <set>
#include <system_error>

#include "toolkit/db/connection.h"
#include "toolkit/text.h"

namespace relamor::db::detail {
namespace {

struct SqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};

// Flags of pragma_function_list: SQLite reports a built-in or application
// function as innocuous unless it may have side effects.
constexpr int kListedInnocuous = 0x200000;
constexpr int kListedDirectOnly = 0x80000;

// Whether untrusted schema text may call every variant of the function
// `name` of `db`.
bool SchemaMayCall(sqlite3* db, const std::string& name) {
  sqlite3_stmt* stmt = nullptr;
  const std::string sql = "SELECT count(*) > 0 AND min(flags & " +
                          std::to_string(kListedInnocuous) + ") <> 0 AND max(flags & " +
                          std::to_string(kListedDirectOnly) +
                          ") = 0 FROM pragma_function_list WHERE name = ?1 COLLATE NOCASE";
  bool allowed = false;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK) {
    sqlite3_bind_text(stmt, 1, name.c_str(), static_cast<int>(name.size()), SQLITE_STATIC);
    allowed = sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_int(stmt, 0) != 0;
  }
  sqlite3_finalize(stmt);
  return allowed;
}

// The authorizer of a default's preparation: the SELECT itself and function
// calls, whose names it collects in `called` (a std::set); nothing else.
int DefaultAuthorizer(void* called, int action, const char*, const char* function, const char*,
                      const char*) {
  if (action == SQLITE_SELECT) return SQLITE_OK;
  if (action == SQLITE_FUNCTION && function != nullptr) {
    static_cast<std::set<std::string>*>(called)->insert(function);
    return SQLITE_OK;
  }
  return SQLITE_DENY;
}

bool Blank(const char* tail) {
  for (; *tail != '\0'; ++tail) {
    if (*tail != ' ' && *tail != '\t' && *tail != '\r' && *tail != '\n') return false;
  }
  return true;
}

}  // namespace

bool Harden(sqlite3* db) {
  const int settings[][2] = {
      {SQLITE_DBCONFIG_DEFENSIVE, 1},
      {SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0},
      {SQLITE_DBCONFIG_ENABLE_FTS3_TOKENIZER, 0},
      {SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0},
  };
  for (const auto& [op, value] : settings) {
    int now = -1;
    if (sqlite3_db_config(db, op, value, &now) != SQLITE_OK || now != value) return false;
  }
  return true;
}

std::string FileUri(const std::string& path) {
  std::string absolute = path;
  if (path.empty() || path.front() != '/') {
    std::error_code ec;
    const std::filesystem::path full = std::filesystem::absolute(path, ec);
    if (!ec) absolute = full.string();
  }
  // An empty authority ("file://" then the path) keeps a path that begins
  // with "//" from being read as a host name.
  std::string out = absolute.empty() || absolute.front() != '/' ? "file:" : "file://";
  for (const unsigned char c : absolute) {
    if (c == '%' || c == '?' || c == '#' || c <= ' ' || c >= 0x7f) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool EvaluateDefault(const std::string& expression, Value& out) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(":memory:", &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX,
                                 nullptr);
  const std::unique_ptr<sqlite3, SqliteCloser> db(raw);
  if (rc != SQLITE_OK || !Harden(raw)) return false;
  std::set<std::string> called;
  sqlite3_set_authorizer(raw, &DefaultAuthorizer, &called);
  const std::string sql = "SELECT " + expression;
  sqlite3_stmt* stmt = nullptr;
  const char* tail = nullptr;
  const bool prepared = sqlite3_prepare_v2(raw, sql.c_str(), static_cast<int>(sql.size()), &stmt,
                                           &tail) == SQLITE_OK &&
                        stmt != nullptr && tail != nullptr && Blank(tail) &&
                        sqlite3_column_count(stmt) == 1;
  sqlite3_set_authorizer(raw, nullptr, nullptr);
  // Nothing has run yet: the functions it would call are checked first.
  bool evaluated = prepared;
  for (const std::string& name : called) evaluated = evaluated && SchemaMayCall(raw, name);
  if (evaluated && sqlite3_step(stmt) == SQLITE_ROW) {
    ReadColumn(stmt, 0, out);
  } else {
    evaluated = false;
  }
  sqlite3_finalize(stmt);
  return evaluated;
}

}  // namespace relamor::db::detail
