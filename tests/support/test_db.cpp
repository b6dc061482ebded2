#include "tests/support/test_db.h"

#include <charconv>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "toolkit/db/value.h"

namespace relamor::testing {

TempDir::TempDir() {
  std::string pattern = "/tmp/relamor-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a temporary directory under /tmp");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

void MakeDatabase(const std::string& path, const std::string& sql_text) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    const std::string message = db ? sqlite3_errmsg(db) : "out of memory";
    sqlite3_close(db);
    throw std::runtime_error("MakeDatabase: cannot create " + path + ": " + message);
  }
  char* error = nullptr;
  if (sqlite3_exec(db, sql_text.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
    const std::string message = error ? error : "unknown error";
    sqlite3_free(error);
    sqlite3_close(db);
    throw std::runtime_error("MakeDatabase: script failed on " + path + ": " + message);
  }
  sqlite3_close(db);
}

void CommitRowOnlyToWal(const std::string& path) {
  sqlite3* db = nullptr;
  sqlite3_open(path.c_str(), &db);
  sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
  sqlite3_exec(db, "PRAGMA wal_autocheckpoint=0; INSERT INTO users VALUES (99, 'wal', 'W', 0)",
               nullptr, nullptr, nullptr);
  sqlite3_close(db);
  if (!std::filesystem::exists(path + "-wal")) throw std::runtime_error("no -wal left: " + path);
}

std::string DumpTable(const std::string& path, const std::string& table) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    throw std::runtime_error("DumpTable: cannot open " + path);
  }
  std::string quoted = "\"";
  for (const char c : table) quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
  quoted += "\"";
  const std::string sql = "SELECT * FROM " + quoted + " ORDER BY rowid";
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    const std::string message = sqlite3_errmsg(db);
    sqlite3_close(db);
    throw std::runtime_error("DumpTable: " + message + " in " + path);
  }
  std::string out;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
      if (i > 0) out += '|';
      switch (sqlite3_column_type(stmt, i)) {
        case SQLITE_NULL:
          out += "NULL";
          break;
        case SQLITE_INTEGER:
          out += std::to_string(sqlite3_column_int64(stmt, i));
          break;
        case SQLITE_FLOAT:
          out += ExactRealText(sqlite3_column_double(stmt, i));
          break;
        case SQLITE_BLOB: {
          static const char kHex[] = "0123456789ABCDEF";
          const auto* data = static_cast<const unsigned char*>(sqlite3_column_blob(stmt, i));
          out += "X'";
          for (int k = 0; k < sqlite3_column_bytes(stmt, i); ++k) {
            out += kHex[data[k] >> 4];
            out += kHex[data[k] & 15];
          }
          out += "'";
          break;
        }
        default:
          out.append(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)),
                     static_cast<std::size_t>(sqlite3_column_bytes(stmt, i)));
      }
    }
    out += '\n';
  }
  const std::string message = sqlite3_errmsg(db);
  sqlite3_finalize(stmt);
  sqlite3_close(db);
  if (rc != SQLITE_DONE) throw std::runtime_error("DumpTable: " + message + " in " + path);
  return out;
}

std::string ExactRealText(double value) {
  char buffer[40];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  std::string text(buffer, end);
  if (text.find_first_of(".eEn") == std::string::npos) text += ".0";
  return text;
}

std::string FileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::string ReadFile(const std::string& path) { return FileBytes(path); }

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("WriteFile: cannot write " + path);
}

Error ErrorOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const Error& e) {
    return e;
  }
  return Error(0, "no error");
}

}  // namespace relamor::testing
