#include "tests/fuzz/fuzz_targets.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "toolkit/db/bulk_append.h"
#include "toolkit/db/database.h"
#include "toolkit/db/dialect.h"
#include "toolkit/db/hardening.h"
#include "toolkit/db/sql_tokens.h"
#include "toolkit/db/types.h"
#include "toolkit/error.h"
#include "toolkit/run_frame.h"
#include "toolkit/text.h"

namespace relamor::fuzz {
namespace {

[[noreturn]] void Broken(const std::string& what) {
  std::fprintf(stderr, "fuzz target: broken promise: %s\n", what.c_str());
  std::abort();
}

std::string_view AsText(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// An in-memory database with the schema and rows of the release 3.5 sample's
// main database, for preparing translated statements.
class SampleSchema {
 public:
  SampleSchema() {
    if (sqlite3_open(":memory:", &db_) != SQLITE_OK) Broken("cannot open an in-memory database");
    std::ifstream in(std::string(RELAMOR_SOURCE_DIR) + "/samples/release35/new/qorsite.sql");
    std::stringstream sql;
    sql << in.rdbuf();
    if (sql.str().empty() ||
        sqlite3_exec(db_, sql.str().c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
      Broken("cannot load samples/release35/new/qorsite.sql");
    }
    // The translation writes LIKE as REGEXP, which the database layer
    // installs on every connection; here it only has to exist.
    sqlite3_create_function_v2(
        db_, "regexp", 2, SQLITE_UTF8 | SQLITE_DIRECTONLY, nullptr,
        [](sqlite3_context* context, int, sqlite3_value**) { sqlite3_result_int(context, 0); },
        nullptr, nullptr, nullptr);
  }
  ~SampleSchema() { sqlite3_close(db_); }
  SampleSchema(const SampleSchema&) = delete;
  SampleSchema& operator=(const SampleSchema&) = delete;

  sqlite3* db() const { return db_; }

  std::vector<std::string> Columns(std::string_view table) const {
    std::vector<std::string> names;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(db_, "select name from pragma_table_info(?)", -1, &stmt, nullptr) ==
        SQLITE_OK) {
      sqlite3_bind_text(stmt, 1, table.data(), static_cast<int>(table.size()), SQLITE_TRANSIENT);
      while (sqlite3_step(stmt) == SQLITE_ROW) {
        names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
      }
    }
    sqlite3_finalize(stmt);
    return names;
  }

 private:
  sqlite3* db_ = nullptr;
};

// The text literals of a statement in SQLite's dialect, as written (quotes
// included), found without the translation's own tokenizer.
std::vector<std::string> SqliteTextLiterals(std::string_view sql) {
  std::vector<std::string> literals;
  std::size_t i = 0;
  auto skip_quoted = [&](char close) {
    std::size_t start = i++;
    while (i < sql.size()) {
      if (sql[i] == close) {
        if (close != ']' && i + 1 < sql.size() && sql[i + 1] == close) {
          i += 2;
          continue;
        }
        ++i;
        return sql.substr(start, i - start);
      }
      ++i;
    }
    return sql.substr(start);
  };
  while (i < sql.size()) {
    const char c = sql[i];
    if (c == '\'') {
      literals.emplace_back(skip_quoted('\''));
    } else if (c == '"' || c == '`') {
      skip_quoted(c);
    } else if (c == '[') {
      skip_quoted(']');
    } else if (c == '-' && i + 1 < sql.size() && sql[i + 1] == '-') {
      while (i < sql.size() && sql[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < sql.size() && sql[i + 1] == '*') {
      const std::size_t end = sql.find("*/", i + 2);
      i = end == std::string_view::npos ? sql.size() : end + 2;
    } else if ((c == 'x' || c == 'X') && i + 1 < sql.size() && sql[i + 1] == '\'') {
      ++i;  // a blob literal: its quoted part counts as a literal
    } else {
      ++i;
    }
  }
  return literals;
}

bool Prepares(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* stmt = nullptr;
  const int rc = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr);
  sqlite3_finalize(stmt);
  return rc == SQLITE_OK && stmt != nullptr;
}

}  // namespace

void CommandLine(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> words{"relamor"};
  std::string word;
  for (std::size_t i = 0; i < size && words.size() < 64; ++i) {
    if (data[i] == 0) {
      words.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  if (!word.empty()) words.push_back(word);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const bool has_end_of_options = std::find(words.begin() + 1, words.end(), "--") != words.end();

  Options options;
  std::ostringstream out, err;
  const std::optional<int> status =
      ParseOptions(static_cast<int>(words.size()), argv.data(), "relamor", &options, out, err);
  if (status) {
    if (*status == 0 && out.str().empty()) Broken("exit 0 without help or version");
    // One line naming the problem, then the hint.
    const std::string e = err.str();
    if (*status == 64 && (!e.ends_with("\nTry 'relamor --help'.\n") ||
                          std::count(e.begin(), e.end(), '\n') != 2)) {
      Broken("usage error not one line and the hint");
    }
    if (*status != 0 && *status != 64) Broken("exit status " + std::to_string(*status));
    return;
  }
  // Without "--" no operand may begin with "-": it is an unknown option.
  if (!has_end_of_options && options.args.size() > 0 && options.args[0] == '-') {
    Broken("option taken as the directories: " + options.args);
  }
}

void Dialect(const std::uint8_t* data, std::size_t size) {
  static const SampleSchema schema;  // one per fuzzing process: loading it is slow
  const std::string_view statement = AsText(data, size);
  if (statement.find('\0') != std::string_view::npos) return;  // no statement text holds NUL
  db::Translation translation;
  try {
    translation = db::TranslateStatement(
        statement, [&](std::string_view table) { return schema.Columns(table); });
  } catch (const Error&) {
    return;  // a clean refusal
  }
  // The translation neither makes up nor alters a text literal: each one in
  // the output stands as written in the input, so no value can reach the
  // statement text by the translation.
  std::vector<std::string> input_literals;
  for (const db::sql::Token& token : db::sql::Tokenize(statement)) {
    if (token.kind == db::sql::TokenKind::kText) input_literals.push_back(token.text);
  }
  for (const std::string& literal : SqliteTextLiterals(translation.sql)) {
    if (std::find(input_literals.begin(), input_literals.end(), literal) == input_literals.end()) {
      Broken("literal " + literal + " not in the input; output: " + translation.sql);
    }
  }
  // A statement SQLite already accepts as it stands (no brackets to quote,
  // no "#", which delimits dates in the original dialect but starts a
  // parameter in SQLite's) is still accepted after the translation.
  const std::string input(statement);
  if (input.find_first_of("[]`\"#") == std::string::npos && Prepares(schema.db(), input) &&
      !Prepares(schema.db(), translation.sql)) {
    Broken("a valid statement no longer prepares: " + translation.sql + " (" +
           sqlite3_errmsg(schema.db()) + ")");
  }
}

void TypeConversion(const std::uint8_t* data, std::size_t size) {
  const std::string_view input = AsText(data, size);
  const std::size_t newline = input.find('\n');
  if (newline == std::string_view::npos) return;
  const std::string_view declared = input.substr(0, newline);
  std::string_view rest = input.substr(newline + 1);
  const char kind = rest.empty() ? 'n' : rest[0];
  if (!rest.empty()) rest.remove_prefix(1);
  Value value;
  switch (kind) {
    case 'n':
      break;
    case 'i':
    case 'r': {
      unsigned char bytes[8] = {};
      std::copy_n(rest.begin(), std::min<std::size_t>(8, rest.size()), bytes);
      if (kind == 'i') {
        std::int64_t n = 0;
        std::memcpy(&n, bytes, 8);
        value = n;
      } else {
        double d = 0;
        std::memcpy(&d, bytes, 8);
        value = d;
      }
      break;
    }
    case 'b':
      value = Blob{std::vector<unsigned char>(rest.begin(), rest.end())};
      break;
    default:
      value = std::string(rest);
  }
  const db::ColumnType type = db::ParseDeclaredType(declared);
  Value result;
  try {
    result = db::ConvertForColumn(value, type, "t", "c");
  } catch (const Error&) {
    return;
  }
  if (IsNull(value) != IsNull(result)) Broken("Null changed by the conversion");
  if (IsNull(result)) return;
  auto whole_in = [&](std::int64_t low, std::int64_t high) {
    const auto* n = std::get_if<std::int64_t>(&result);
    if (n == nullptr || *n < low || *n > high) Broken("whole number out of its type's range");
  };
  switch (type.kind) {
    case db::TypeKind::kByte:
      whole_in(0, 255);
      break;
    case db::TypeKind::kShort:
      whole_in(INT16_MIN, INT16_MAX);
      break;
    case db::TypeKind::kLong:
      whole_in(INT32_MIN, INT32_MAX);
      break;
    case db::TypeKind::kYesNo:
      whole_in(-1, 0);
      break;
    case db::TypeKind::kReal:
      if (!std::holds_alternative<double>(result)) Broken("a real column got no real number");
      break;
    case db::TypeKind::kText: {
      const auto* text = std::get_if<std::string>(&result);
      if (text == nullptr) Broken("a text column got no text");
      if (type.max_length > 0) {
        long characters = 0;
        for (unsigned char c : *text) characters += (c & 0xC0) != 0x80;
        if (characters > type.max_length) Broken("text longer than its column");
      }
      break;
    }
    case db::TypeKind::kDateTime:
      if (!std::holds_alternative<std::string>(result)) Broken("a date column got no text");
      break;
    case db::TypeKind::kAsGiven:
      if (value.index() != result.index()) {
        Broken("a value of an untyped column changed its kind");
      }
      if (std::holds_alternative<double>(value) && std::isnan(std::get<double>(value))) break;
      if (!ValuesEqual(value, result) && !std::holds_alternative<Blob>(value)) {
        Broken("a value of an untyped column changed");
      }
      break;
  }
}

void DamagedDatabase(const std::uint8_t* data, std::size_t size) {
  const std::string path = (std::filesystem::temp_directory_path() /
                            ("relamor-fuzz-" + std::to_string(getpid()) + ".mdb"))
                               .string();
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out) Broken("cannot write " + path);
  }
  try {
    db::Engine engine;
    db::Database database = engine.OpenDatabase(path, db::OpenMode::kReadOnly);
    for (const db::TableDef& table : database.TableDefs()) {
      try {
        db::Recordset rs = database.OpenRecordset(table.name);
        for (int row = 0; row < 1000 && !rs.Eof(); ++row, rs.MoveNext()) {
          for (int i = 0; i < rs.FieldCount(); ++i) (void)ToText(rs.Get(i));
        }
      } catch (const Error&) {
        // one damaged table: the others are still read
      }
    }
  } catch (const Error&) {
  }
  // A read-only open never leaves a journal. Files beside a WAL-mode image
  // (-wal, -shm) are removed, not judged: the reading of WAL-mode old
  // databases has tests of its own.
  std::error_code ignored;
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    if (std::string_view(suffix) == "-journal" && std::filesystem::exists(path + suffix)) {
      Broken(std::string("a read-only open left ") + path + suffix);
    }
    std::filesystem::remove(path + suffix, ignored);
  }
}

namespace {

// The harness's own writes of the input's schema: no file but the database
// itself (no ATTACH, no PRAGMA), and a bounded amount of work.
int SchemaAuthorizer(void*, int action, const char*, const char*, const char*, const char*) {
  return action == SQLITE_ATTACH || action == SQLITE_DETACH || action == SQLITE_PRAGMA
             ? SQLITE_DENY
             : SQLITE_OK;
}
int TooMuchWork(void* steps) { return ++*static_cast<long*>(steps) > 20000; }

// Runs the CREATE and INSERT statements of `sql` on the database at `path`
// (the others are skipped); returns the names of the tables it then holds.
std::vector<std::string> WriteSchema(const std::string& path, const std::string& sql) {
  sqlite3* db = nullptr;
  std::vector<std::string> tables;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK || !db::detail::Harden(db)) {
    Broken("cannot open " + path);
  }
  long steps = 0;
  sqlite3_progress_handler(db, 100, &TooMuchWork, &steps);
  sqlite3_set_authorizer(db, &SchemaAuthorizer, nullptr);
  const char* next = sql.c_str();
  while (*next != '\0' && steps <= 20000) {
    sqlite3_stmt* stmt = nullptr;
    const char* tail = nullptr;
    if (sqlite3_prepare_v2(db, next, -1, &stmt, &tail) != SQLITE_OK || tail == next) {
      sqlite3_finalize(stmt);
      break;
    }
    next = tail;
    if (stmt == nullptr) continue;
    std::string_view text = sqlite3_sql(stmt);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) {
      text.remove_prefix(1);
    }
    const std::string keyword = Upper(text.substr(0, 6));
    if (keyword == "CREATE" || keyword == "INSERT") {
      while (sqlite3_step(stmt) == SQLITE_ROW) {
      }
    }
    sqlite3_finalize(stmt);
  }
  sqlite3_set_authorizer(db, nullptr, nullptr);
  sqlite3_progress_handler(db, 0, nullptr, nullptr);
  sqlite3_stmt* list = nullptr;
  if (sqlite3_prepare_v2(db,
                         "SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE "
                         "'sqlite%' ORDER BY rowid LIMIT 8",
                         -1, &list, nullptr) == SQLITE_OK) {
    while (sqlite3_step(list) == SQLITE_ROW) {
      tables.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(list, 0)));
    }
  }
  sqlite3_finalize(list);
  sqlite3_close(db);
  return tables;
}

std::string Quoted(const std::string& name) {
  std::string out = "\"";
  for (char c : name) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

}  // namespace

void NewSchema(const std::uint8_t* data, std::size_t size) {
  const std::string sql(AsText(data, size));
  if (sql.find('\0') != std::string::npos) return;
  const std::filesystem::path dir = std::filesystem::temp_directory_path() /
                                    ("relamor-fuzz-schema-" + std::to_string(getpid()));
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  std::filesystem::create_directory(dir);
  const std::string new_path = (dir / "new.mdb").string();
  const std::string old_path = (dir / "old.mdb").string();
  const std::vector<std::string> tables = WriteSchema(new_path, sql);

  // An old table for each new one, with its column names and two rows.
  std::vector<std::vector<std::string>> columns;
  {
    db::Engine engine;
    db::Database probe = engine.OpenDatabase(new_path, db::OpenMode::kReadOnly);
    std::string old_sql;
    for (std::size_t k = 0; k < tables.size(); ++k) {
      columns.push_back(probe.ColumnNames(tables[k]).value_or(std::vector<std::string>{}));
      if (columns.back().empty()) continue;
      std::string names, first, second;
      for (const std::string& c : columns.back()) {
        names += (names.empty() ? "" : ", ") + Quoted(c);
        first += first.empty() ? "1" : ", 'note 1'";
        second += second.empty() ? "2" : ", 'Note 2'";
      }
      const std::string table = "o" + std::to_string(k);
      old_sql += "CREATE TABLE " + table + " (" + names + "); INSERT INTO " + table +
                 " VALUES (" + first + "), (" + second + ");";
    }
    sqlite3* db = nullptr;
    sqlite3_open(old_path.c_str(), &db);
    sqlite3_exec(db, old_sql.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
  }

  // What the copy does to a new table: a row added row by row (its
  // defaults read first), rows appended set-based, an UPDATE with LIKE.
  // Any of them may be refused.
  {
    db::Engine engine;
    db::Database target = engine.OpenDatabase(new_path);
    db::Database source = engine.OpenDatabase(old_path, db::OpenMode::kReadOnly);
    for (std::size_t k = 0; k < tables.size(); ++k) {
      if (columns[k].empty()) continue;
      const std::string& first = columns[k].front();
      try {
        db::Recordset rs = target.OpenRecordset(tables[k]);
        rs.AddNew();
        for (int i = 0; i < rs.FieldCount(); ++i) (void)ToText(rs.Get(i));
        rs.Set(0, Value{std::int64_t{3}});
        for (int i = 1; i < rs.FieldCount(); ++i) rs.Set(i, Value{std::string("note 3")});
        rs.Update();
      } catch (const Error&) {
      }
      try {
        std::vector<db::AppendColumn> mapped;
        for (const std::string& c : columns[k]) mapped.push_back({c, c, false});
        (void)db::AppendFrom(target, source, "o" + std::to_string(k), tables[k], mapped);
        if (columns[k].size() > 1) {
          const std::vector<db::AppendColumn> numbered{{first, first, true}};
          const std::vector<db::AppendColumn> fill(mapped.begin() + 1, mapped.end());
          (void)db::AppendFilled(target, source, "o" + std::to_string(k), tables[k], numbered,
                                 fill);
        }
      } catch (const Error&) {
      }
      try {
        target.Execute("update " + Quoted(tables[k]) + " set " + Quoted(first) + " = " +
                       Quoted(first) + " where " + Quoted(first) + " like 'note*'");
      } catch (const Error&) {
      }
    }
    try {
      target.Close();
    } catch (const Error&) {
    }
  }

  // Whatever the schema, what the layer stored keeps the file consistent:
  // every index holds its rows. (A CHECK may call random(), so a CHECK that
  // fails now is not judged.)
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(new_path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* check = nullptr;
    if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr) == SQLITE_OK) {
      while (sqlite3_step(check) == SQLITE_ROW) {
        const std::string line = reinterpret_cast<const char*>(sqlite3_column_text(check, 0));
        if (line != "ok" && line.rfind("CHECK constraint failed", 0) != 0) {
          Broken("integrity_check after the copy: " + line);
        }
      }
    }
    sqlite3_finalize(check);
  }
  sqlite3_close(db);
  std::filesystem::remove_all(dir, ignored);
}

Entry FindTarget(std::string_view name) {
  if (name == "command_line") return CommandLine;
  if (name == "dialect") return Dialect;
  if (name == "type_conversion") return TypeConversion;
  if (name == "damaged_database") return DamagedDatabase;
  if (name == "new_schema") return NewSchema;
  return nullptr;
}

}  // namespace relamor::fuzz
