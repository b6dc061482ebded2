// Set-based append: one INSERT ... SELECT copies a whole table.
//
// A row-by-row copy costs a step, a dozen binds and a conversion per row; for
// a plain append SQLite can do the same work in one statement. The old
// database is attached read-only (a URI with mode=ro) to the new database's
// connection (once per old database; it stays attached while the connection
// is open). Up to three statements are tried in turn inside one savepoint,
// each rolled back to the savepoint when it fails:
//
// 1. Pass-through: the values go in unchanged, and one call per row of
//      relamor_fits(?1, s."x", s."y", ...)
//    in the WHERE clause checks that every value already is what the
//    conversion would return (?1 is bound to the target column types); the
//    first value that is not ends the statement with an error. When the new
//    table is the old one's twin (same columns in the same order, every one
//    copied to its namesake, no index or trigger) the check runs as a read of
//    its own, followed by INSERT INTO new SELECT * FROM old, which SQLite
//    copies record by record without decoding the values.
// 2. Converting: every value goes through
//      relamor_convert(s."x", kind, length, 'new', 'a')
//    which calls ConvertForColumn exactly as Update does.
// 3. Neither stored the table: the caller redoes it row by row, which stores
//    the rows before the failing one and reports that row's error, so the
//    outcome never depends on which way ran.
//
// Running numbers come from row_number() OVER (ORDER BY s.rowid) through
// relamor_number, which refuses numbers past 32767.
#include <sqlite3.h>

#include <cstdio>
#include <future>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

#include "toolkit/db/bulk_append.h"
#include "toolkit/db/connection.h"
#include "toolkit/db/types.h"

namespace relamor::db {

namespace detail {

namespace {

constexpr const char* kSourceSchemaPrefix = "relamor_source";
constexpr std::int64_t kLargestNumber = 32767;
// From about this many old rows on, the row check runs on a second thread
// beside the INSERT; below it the thread and its connection cost more than
// they save.
constexpr std::int64_t kParallelCheckRows = 100000;

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

// The target column types that relamor_fits checks its values against, in
// argument order; bound to the statement as a pointer.
struct FitCheck {
  std::vector<ColumnType> types;
};
constexpr const char* kFitCheckType = "relamor_fit_check";

// relamor_fits(check, value, ...): 1 when every value already fits its
// column; the first one that does not ends the statement with an error.
void FitsFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  const auto* check = static_cast<const FitCheck*>(sqlite3_value_pointer(argv[0], kFitCheckType));
  if (check == nullptr || check->types.size() != static_cast<std::size_t>(argc - 1)) {
    sqlite3_result_error(ctx, "relamor_fits: no column types bound", -1);
    return;
  }
  for (int i = 1; i < argc; ++i) {
    const ColumnType& type = check->types[static_cast<std::size_t>(i - 1)];
    if (!AlreadyFits(argv[i], type.kind, type.max_length)) {
      sqlite3_result_error(ctx, "relamor_fits: a value needs converting", -1);
      return;
    }
  }
  sqlite3_result_int(ctx, 1);
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

// Runs `sql` with ?1 bound to `bound` (text) or to `check` (a pointer).
bool Run(sqlite3* db, const std::string& sql, const std::string& bound = {},
         FitCheck* check = nullptr) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return false;
  }
  if (!bound.empty()) sqlite3_bind_text(stmt, 1, bound.c_str(), -1, SQLITE_TRANSIENT);
  if (check != nullptr) sqlite3_bind_pointer(stmt, 1, check, kFitCheckType, nullptr);
  const int rc = sqlite3_step(stmt);
  sqlite3_finalize(stmt);
  return rc == SQLITE_DONE || rc == SQLITE_ROW;
}

// Runs the row check `sql` on a read-only connection of its own to the
// database at `uri`, so that it can run on another thread beside the INSERT.
// False when the check fails or cannot run.
bool CheckOnOwnConnection(const std::string& uri, const std::string& sql, FitCheck* check) {
  sqlite3* db = nullptr;
  bool fits = false;
  if (sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX,
                      nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(db, 5000);
    RegisterBulkFunctions(db);
    fits = Run(db, sql, {}, check);
  }
  sqlite3_close(db);
  return fits;
}

// The largest rowid of the old table: a cheap upper bound of its rows.
sqlite3_int64 LargestRowid(sqlite3* db, const std::string& table, const std::string& rowid) {
  sqlite3_stmt* stmt = nullptr;
  sqlite3_int64 largest = 0;
  if (sqlite3_prepare_v2(db, ("SELECT max(" + rowid + ") FROM " + table).c_str(), -1, &stmt,
                         nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    largest = sqlite3_column_int64(stmt, 0);
  }
  sqlite3_finalize(stmt);
  return largest;
}

// Whether the main database has an index or a trigger on `table`.
bool HasIndex(sqlite3* db, const std::string& table) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db,
                         "SELECT 1 FROM main.sqlite_master WHERE type IN ('index', 'trigger') "
                         "AND tbl_name = ?1 COLLATE NOCASE",
                         -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_finalize(stmt);
    return true;
  }
  sqlite3_bind_text(stmt, 1, table.c_str(), -1, SQLITE_TRANSIENT);
  const int rc = sqlite3_step(stmt);
  sqlite3_finalize(stmt);
  return rc != SQLITE_DONE;
}

}  // namespace

void RegisterBulkFunctions(sqlite3* db) {
  const int flags = SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_DIRECTONLY;
  sqlite3_create_function_v2(db, "relamor_convert", 5, flags, nullptr, &ConvertFunction, nullptr,
                             nullptr, nullptr);
  sqlite3_create_function_v2(db, "relamor_number", 1, flags, nullptr, &NumberFunction, nullptr,
                             nullptr, nullptr);
  // Not deterministic: it must run for every row, never be factored out.
  sqlite3_create_function_v2(db, "relamor_fits", -1, SQLITE_UTF8 | SQLITE_DIRECTONLY, nullptr,
                             &FitsFunction, nullptr, nullptr, nullptr);
}

}  // namespace detail

std::optional<long> AppendFrom(Database& target_db, const Database& source,
                               std::string_view old_table, std::string_view new_table,
                               const std::vector<AppendColumn>& columns) {
  if (!target_db.is_open() || !source.is_open() || columns.empty()) return std::nullopt;
  detail::Connection& target = target_db.state()->Open();
  detail::Connection& origin = source.state()->Open();
  if (target.read_only || &target == &origin) return std::nullopt;
  const auto to = target.FindTable(new_table);
  const auto from = origin.FindTable(old_table);
  if (!to || !from || from->rowid_name.empty() || to->has_counter) return std::nullopt;

  // The source of each written column (an old column's index, or -1 for the
  // running number); a later one for the same column replaces an earlier
  // one, as a second Set would.
  constexpr int kNumbered = -1;
  constexpr int kUnwritten = -2;
  std::vector<int> source_of(to->columns.size(), kUnwritten);
  std::vector<int> order;
  const std::string row_order = "s." + from->rowid_name;
  for (const AppendColumn& c : columns) {
    const int index = to->ColumnIndex(c.target);
    if (index < 0) return std::nullopt;
    int origin_column = kNumbered;
    if (!c.numbered) {
      origin_column = from->ColumnIndex(c.source);
      if (origin_column < 0) return std::nullopt;
    }
    if (source_of[static_cast<std::size_t>(index)] == kUnwritten) order.push_back(index);
    source_of[static_cast<std::size_t>(index)] = origin_column;
  }

  // The column list, the select list of the pass-through and of the
  // converting statement, and the arguments of the row check.
  std::string names;
  std::string passed;
  std::string converted;
  std::string checked;
  detail::FitCheck check;
  bool twin = order.size() == to->columns.size() && order.size() == from->columns.size();
  for (std::size_t i = 0; i < order.size(); ++i) {
    const auto index = static_cast<std::size_t>(order[i]);
    const int column_source = source_of[index];
    const detail::ColumnInfo& column = to->columns[index];
    std::string value =
        column_source == kNumbered
            ? "relamor_number(row_number() OVER (ORDER BY " + row_order + "))"
            : "s." + QuoteName(from->columns[static_cast<std::size_t>(column_source)].name);
    std::string conversion = value;
    if (column.type.kind != TypeKind::kAsGiven) {
      conversion = "relamor_convert(" + value + ", " +
                   std::to_string(static_cast<int>(column.type.kind)) + ", " +
                   std::to_string(column.type.max_length) + ", " +
                   detail::TextLiteral(to->name) + ", " + detail::TextLiteral(column.name) + ")";
      if (column_source != kNumbered) {
        checked += ", " + value;
        check.types.push_back(column.type);
      }
    }
    twin = twin && column_source == static_cast<int>(index) && index == i && !column.rowid_alias &&
           EqualsNoCase(column.name, from->columns[index].name);
    const char* separator = i == 0 ? "" : ", ";
    names += separator + QuoteName(column.name);
    passed += separator + (column_source == kNumbered ? conversion : value);
    converted += separator + conversion;
  }
  sqlite3* db = target.db;
  auto attached = target.attached.find(origin.path);
  if (attached == target.attached.end()) {
    // ATTACH wants no open transaction.
    target.Commit();
    const std::string schema =
        detail::kSourceSchemaPrefix + std::to_string(target.attached.size() + 1);
    if (!detail::Run(db, "ATTACH DATABASE ? AS " + schema, detail::ReadOnlyUri(origin.file))) {
      return std::nullopt;
    }
    attached = target.attached.emplace(origin.path, schema).first;
  }
  const std::string from_clause = " FROM " + attached->second + "." + from->quoted + " AS s";
  const std::string where = checked.empty() ? "" : " WHERE relamor_fits(?1" + checked + ")";
  const std::string into = "INSERT INTO main." + to->quoted;
  if (twin) twin = !detail::HasIndex(db, to->name);

  std::optional<long> appended;
  // An interrupted statement takes its whole transaction with it: the rows
  // stored before are committed first.
  target.Commit();
  target.BeginWrite();
  if (target.Exec("SAVEPOINT relamor_append") != SQLITE_OK) return std::nullopt;
  const auto attempt = [&](auto&& statement) {
    if (statement()) {
      appended = static_cast<long>(sqlite3_changes(db));
    } else {
      target.Exec("ROLLBACK TO relamor_append");
    }
    return appended.has_value();
  };
  const bool parallel =
      !where.empty() &&
      detail::LargestRowid(db, attached->second + "." + from->quoted, from->rowid_name) >=
          detail::kParallelCheckRows;
  const auto pass_through = [&] {
    std::future<bool> fits;
    if (parallel) {
      try {
        fits = std::async(std::launch::async, detail::CheckOnOwnConnection,
                          detail::ReadOnlyUri(origin.file),
                          "SELECT count(*) FROM main." + from->quoted + " AS s" + where, &check);
      } catch (const std::system_error&) {
        // No thread to be had: the check runs in the statement below.
      }
    }
    if (fits.valid()) {
      // The check reads the old rows on its own connection while this one
      // inserts them unchanged; the outcome is decided after both are done.
      const bool inserted =
          twin ? detail::Run(db, into + " SELECT *" + from_clause)
               : detail::Run(db, into + " (" + names + ") SELECT " + passed + from_clause +
                                     " ORDER BY " + row_order);
      return fits.get() && inserted;
    }
    if (twin) {
      // A read of its own first: the record copy does not decode the values.
      return (where.empty() ||
              detail::Run(db, "SELECT count(*)" + from_clause + where, {}, &check)) &&
             detail::Run(db, into + " SELECT *" + from_clause);
    }
    return detail::Run(db,
                       into + " (" + names + ") SELECT " + passed + from_clause + where +
                           " ORDER BY " + row_order,
                       {}, &check);
  };
  const auto converting = [&] {
    return detail::Run(db, into + " (" + names + ") SELECT " + converted + from_clause +
                               " ORDER BY " + row_order);
  };
  // A stop asked for while a statement runs interrupts it; it is then undone
  // like a failed row, and the row-by-row redo stops at its first row.
  sqlite3_progress_handler(db, 1000, &detail::StopRequested, target.engine);
  const bool done = attempt(pass_through) || attempt(converting);
  sqlite3_progress_handler(db, 0, nullptr, nullptr);
  if (done) target.RowsWritten(*appended);
  target.Exec("RELEASE relamor_append");
  return appended;
}

}  // namespace relamor::db
