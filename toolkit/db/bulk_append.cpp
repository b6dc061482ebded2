// Set-based append: one INSERT ... SELECT copies a whole table.
//
// A row-by-row copy costs a step, a dozen binds and a conversion per row; for
// a plain append SQLite can do the same work in one statement. The old
// database is attached read-only (a URI with mode=ro) to the new database's
// connection (once per old database; it stays attached while the connection
// is open), and the statement
//
//   INSERT INTO main."new" ("a", "b", "n")
//   SELECT relamor_convert(s."x", kind, length, 'new', 'a'), ...,
//          relamor_convert(relamor_number(row_number() OVER (ORDER BY s.rowid)), ...)
//   FROM relamor_source."old" AS s ORDER BY s.rowid
//
// converts each value exactly as Update does (relamor_convert calls
// ConvertForColumn) and refuses running numbers past 32767. It runs inside a
// savepoint: if any row fails, nothing of it is kept and the caller redoes
// the table row by row, which stores the rows before the failing one and
// reports that row's error, so the outcome never depends on which way ran.
#include <sqlite3.h>

#include <cstdio>
#include <limits>
#include <string>

#include "toolkit/db/database.h"
#include "toolkit/db/detail.h"
#include "toolkit/db/jet_reader.h"
#include "toolkit/db/types.h"

namespace relamor::db {

namespace detail {

namespace {

constexpr const char* kSourceSchemaPrefix = "relamor_source";
constexpr std::int64_t kLargestNumber = 32767;

Value ValueOf(sqlite3_value* v) {
  switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
      return Value{static_cast<std::int64_t>(sqlite3_value_int64(v))};
    case SQLITE_FLOAT:
      return Value{sqlite3_value_double(v)};
    case SQLITE_TEXT:
      return Value{std::string(reinterpret_cast<const char*>(sqlite3_value_text(v)),
                               static_cast<std::size_t>(sqlite3_value_bytes(v)))};
    case SQLITE_BLOB: {
      const auto* bytes = static_cast<const unsigned char*>(sqlite3_value_blob(v));
      const int size = sqlite3_value_bytes(v);
      return Value{Blob{std::vector<unsigned char>(bytes, bytes + size)}};
    }
    default:
      return Null();
  }
}

void Result(sqlite3_context* ctx, const Value& v) {
  if (const auto* i = std::get_if<std::int64_t>(&v)) {
    sqlite3_result_int64(ctx, *i);
  } else if (const auto* d = std::get_if<double>(&v)) {
    sqlite3_result_double(ctx, *d);
  } else if (const auto* t = std::get_if<std::string>(&v)) {
    sqlite3_result_text(ctx, t->data(), static_cast<int>(t->size()), SQLITE_TRANSIENT);
  } else if (const auto* b = std::get_if<Blob>(&v)) {
    sqlite3_result_blob(ctx, b->bytes.data(), static_cast<int>(b->bytes.size()), SQLITE_TRANSIENT);
  } else {
    sqlite3_result_null(ctx);
  }
}

bool InRange(sqlite3_int64 n, TypeKind kind) {
  switch (kind) {
    case TypeKind::kByte:
      return n >= 0 && n <= 255;
    case TypeKind::kShort:
      return n >= std::numeric_limits<std::int16_t>::min() &&
             n <= std::numeric_limits<std::int16_t>::max();
    case TypeKind::kLong:
      return n >= std::numeric_limits<std::int32_t>::min() &&
             n <= std::numeric_limits<std::int32_t>::max();
    default:
      return false;
  }
}

// The common cases that need no conversion at all: passing the value through
// is what ConvertForColumn would return.
bool AlreadyFits(sqlite3_value* v, TypeKind kind, long max_length) {
  const int type = sqlite3_value_type(v);
  if (type == SQLITE_NULL) return true;
  switch (kind) {
    case TypeKind::kByte:
    case TypeKind::kShort:
    case TypeKind::kLong:
      return type == SQLITE_INTEGER && InRange(sqlite3_value_int64(v), kind);
    case TypeKind::kReal:
      return type == SQLITE_FLOAT;
    case TypeKind::kYesNo:
      return type == SQLITE_INTEGER &&
             (sqlite3_value_int64(v) == 0 || sqlite3_value_int64(v) == -1);
    case TypeKind::kDateTime:
      return type == SQLITE_TEXT &&
             IsCanonicalDate(std::string_view(reinterpret_cast<const char*>(sqlite3_value_text(v)),
                                              static_cast<std::size_t>(sqlite3_value_bytes(v))));
    case TypeKind::kText:
      // No more bytes than characters allowed means no more characters.
      return type == SQLITE_TEXT && (max_length == 0 || sqlite3_value_bytes(v) <= max_length);
    default:
      return false;
  }
}

// relamor_convert(value, kind, max_length, table, column)
void ConvertFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
  const auto kind = static_cast<TypeKind>(sqlite3_value_int(argv[1]));
  const long max_length = static_cast<long>(sqlite3_value_int64(argv[2]));
  if (AlreadyFits(argv[0], kind, max_length)) {
    sqlite3_result_value(ctx, argv[0]);
    return;
  }
  try {
    ColumnType type;
    type.kind = kind;
    type.max_length = max_length;
    const auto* table = reinterpret_cast<const char*>(sqlite3_value_text(argv[3]));
    const auto* column = reinterpret_cast<const char*>(sqlite3_value_text(argv[4]));
    Result(ctx, ConvertForColumn(ValueOf(argv[0]), type, table ? table : "", column ? column : ""));
  } catch (const std::exception& e) {
    sqlite3_result_error(ctx, e.what(), -1);
  }
}

// relamor_number(n): a running number, refused past 32767.
void NumberFunction(sqlite3_context* ctx, int, sqlite3_value** argv) {
  const sqlite3_int64 n = sqlite3_value_int64(argv[0]);
  if (n > kLargestNumber) {
    sqlite3_result_error(ctx, "Overflow: more than 32767 numbered rows", -1);
    return;
  }
  sqlite3_result_int64(ctx, n);
}

std::string TextLiteral(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  return out + "'";
}

// A file path as a read-only SQLite URI.
std::string ReadOnlyUri(const std::string& path) {
  std::string out = "file:";
  for (unsigned char c : path) {
    if (c == '%' || c == '?' || c == '#' || c <= ' ' || c >= 0x7f) {
      char buf[4];
      std::snprintf(buf, sizeof buf, "%%%02X", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "?mode=ro";
}

bool Run(sqlite3* db, const std::string& sql, const std::string& bound = {}) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return false;
  }
  if (!bound.empty()) sqlite3_bind_text(stmt, 1, bound.c_str(), -1, SQLITE_TRANSIENT);
  const int rc = sqlite3_step(stmt);
  sqlite3_finalize(stmt);
  return rc == SQLITE_DONE || rc == SQLITE_ROW;
}

}  // namespace

void RegisterBulkFunctions(sqlite3* db) {
  const int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_DIRECTONLY;
  sqlite3_create_function_v2(db, "relamor_convert", 5, flags, nullptr, &ConvertFunction, nullptr,
                             nullptr, nullptr);
  sqlite3_create_function_v2(db, "relamor_number", 1, flags, nullptr, &NumberFunction, nullptr,
                             nullptr, nullptr);
}

}  // namespace detail

std::optional<long> Database::AppendFrom(const Database& source, std::string_view old_table,
                                         std::string_view new_table,
                                         const std::vector<AppendColumn>& columns) {
  if (!is_open() || !source.is_open() || columns.empty()) return std::nullopt;
  detail::Connection& target = state_->Open();
  detail::Connection& origin = source.state_->Open();
  if (target.read_only || &target == &origin) return std::nullopt;
  const auto to = target.FindTable(new_table);
  const auto from = origin.FindTable(old_table);
  if (!to || !from || from->rowid_name.empty() || to->has_counter) return std::nullopt;

  // The value expression of each written column; a later one for the same
  // column replaces an earlier one, as a second Set would.
  std::vector<std::string> values(to->columns.size());
  std::vector<int> order;
  const std::string row_order = "s." + from->rowid_name;
  for (const AppendColumn& c : columns) {
    const int index = to->ColumnIndex(c.target);
    if (index < 0) return std::nullopt;
    std::string value;
    if (c.source.empty()) {
      value = "relamor_number(row_number() OVER (ORDER BY " + row_order + "))";
    } else {
      const int old_index = from->ColumnIndex(c.source);
      if (old_index < 0) return std::nullopt;
      value = "s." + detail::QuoteName(from->columns[static_cast<std::size_t>(old_index)].name);
    }
    const detail::ColumnInfo& column = to->columns[static_cast<std::size_t>(index)];
    if (column.type.kind != TypeKind::kAsGiven) {
      value = "relamor_convert(" + value + ", " +
              std::to_string(static_cast<int>(column.type.kind)) + ", " +
              std::to_string(column.type.max_length) + ", " + detail::TextLiteral(to->name) +
              ", " + detail::TextLiteral(column.name) + ")";
    }
    if (values[static_cast<std::size_t>(index)].empty()) order.push_back(index);
    values[static_cast<std::size_t>(index)] = std::move(value);
  }
  std::string names;
  std::string selected;
  for (const int index : order) {
    if (!names.empty()) {
      names += ", ";
      selected += ", ";
    }
    names += detail::QuoteName(to->columns[static_cast<std::size_t>(index)].name);
    selected += values[static_cast<std::size_t>(index)];
  }
  sqlite3* db = target.db;
  auto attached = target.attached.find(origin.path);
  if (attached == target.attached.end()) {
    // ATTACH wants no open transaction.
    target.Commit();
    const std::string schema =
        detail::kSourceSchemaPrefix + std::to_string(target.attached.size() + 1);
    if (!detail::Run(db, "ATTACH DATABASE ? AS " + schema, detail::ReadOnlyUri(origin.jet ? origin.jet->sqlite_path() : origin.path))) {
      return std::nullopt;
    }
    attached = target.attached.emplace(origin.path, schema).first;
  }
  const std::string insert = "INSERT INTO main." + to->quoted + " (" + names + ") SELECT " +
                             selected + " FROM " + attached->second + "." + from->quoted +
                             " AS s ORDER BY " + row_order;
  std::optional<long> appended;
  target.BeginWrite();
  if (target.Exec("SAVEPOINT relamor_append") == SQLITE_OK) {
    if (detail::Run(db, insert)) {
      appended = static_cast<long>(sqlite3_changes(db));
      target.Exec("RELEASE relamor_append");
      target.RowsWritten(*appended);
    } else {
      target.Exec("ROLLBACK TO relamor_append");
      target.Exec("RELEASE relamor_append");
    }
  }
  return appended;
}

}  // namespace relamor::db
