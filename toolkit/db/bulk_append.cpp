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
//    its own (from 100,000 rows on, on a second thread beside the copy),
//    and INSERT INTO new SELECT * FROM old copies the rows record by record
//    without decoding the values.
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
#include <sys/stat.h>

#include <future>
#include <unordered_map>
#include <limits>
#include <string>
#include <system_error>
#include <vector>

#include "toolkit/db/bulk_append.h"
#include "toolkit/db/connection.h"
#include "toolkit/db/hardening.h"
#include "toolkit/db/set_based.h"
#include "toolkit/db/types.h"

namespace relamor::db {

namespace detail {

namespace {

constexpr const char* kSourceSchemaPrefix = "relamor_source";
constexpr std::int64_t kLargestNumber = 32767;
// From about this many old rows on, the row check of a twin's record copy
// runs on a second thread beside the INSERT; below it the thread and its
// connection cost more than they save.
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

}  // namespace

namespace {

// AlreadyFits of `v`, whose SQLite type is `type`; inlined into the row check.
[[gnu::always_inline]] inline bool FitsAs(sqlite3_value* v, int type, TypeKind kind,
                                          long max_length) {
  if (type == SQLITE_NULL || kind == TypeKind::kAsGiven) return true;
  switch (kind) {
    case TypeKind::kByte:
    case TypeKind::kShort:
    case TypeKind::kLong:
      return type == SQLITE_INTEGER && InRange(sqlite3_value_int64(v), kind);
    case TypeKind::kReal:
      return type == SQLITE_FLOAT;
    case TypeKind::kYesNo: {
      if (type != SQLITE_INTEGER) return false;
      const sqlite3_int64 n = sqlite3_value_int64(v);
      return n == 0 || n == -1;
    }
    case TypeKind::kDateTime: {
      if (type != SQLITE_TEXT) return false;
      const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(v));
      return IsCanonicalDate(
          std::string_view(text, static_cast<std::size_t>(sqlite3_value_bytes(v))));
    }
    case TypeKind::kText: {
      if (type != SQLITE_TEXT) return false;
      if (max_length == 0) return true;
      // No more bytes than characters allowed means no more characters;
      // only a longer text (non-ASCII letters) needs its characters counted.
      const int bytes = sqlite3_value_bytes(v);
      if (bytes <= max_length) return true;
      const auto* text = reinterpret_cast<const char*>(sqlite3_value_text(v));
      return CharacterCount(std::string_view(text, static_cast<std::size_t>(bytes))) <= max_length;
    }
    default:
      return false;
  }
}

}  // namespace

// Exactly the values that ConvertForColumn returns unchanged (same type, same
// bytes): passing such a value through stores what the conversion would.
bool AlreadyFits(sqlite3_value* v, TypeKind kind, long max_length) {
  return FitsAs(v, sqlite3_value_type(v), kind, max_length);
}

namespace {

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
// The bound column types are looked up on the first row and kept as the
// statement's data of its first argument (a bound parameter stays the same
// for every row), so a row costs no pointer look-up by type name.
void FitsFunction(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  const auto* check = static_cast<const FitCheck*>(sqlite3_get_auxdata(ctx, 0));
  if (check == nullptr) {
    check = static_cast<const FitCheck*>(sqlite3_value_pointer(argv[0], kFitCheckType));
    if (check == nullptr || check->types.size() != static_cast<std::size_t>(argc - 1)) {
      sqlite3_result_error(ctx, "relamor_fits: no column types bound", -1);
      return;
    }
    sqlite3_set_auxdata(ctx, 0, const_cast<FitCheck*>(check), nullptr);
  }
  const ColumnType* type = check->types.data();
  for (int i = 1; i < argc; ++i, ++type) {
    sqlite3_value* v = argv[i];
    if (!FitsAs(v, sqlite3_value_type(v), type->kind, type->max_length)) {
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

}  // namespace

// A file path as a read-only SQLite URI.
std::string ReadOnlyUri(const std::string& path) { return FileUri(path) + "?mode=ro"; }

namespace {

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
                      nullptr) == SQLITE_OK &&
      Harden(db)) {
    sqlite3_busy_timeout(db, 5000);
    RegisterBulkFunctions(db);
    fits = Run(db, sql, {}, check);
  }
  sqlite3_close(db);
  return fits;
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

namespace {

// Old database files up to this size are checked rather than a commit made.
constexpr long long kCheckedBytes = 8LL << 20;

// Whether every page of the table `table` of `origin` (its b-tree, its
// overflow pages and its indexes) reads back sound: PRAGMA quick_check of that
// table on the old database's own connection, where a failure harms nothing;
// decided once per table. Only that table: the statement reads no other, and
// a site database's second table (after its first, whose rows are pending)
// would otherwise have the whole old file checked, nearly a full read of it.
bool ProvenReadable(const Connection& origin, std::string_view table) {
  const std::string key = Upper(table);
  auto known = origin.proven_readable.find(key);
  if (known == origin.proven_readable.end()) {
    struct stat st {};
    bool ok = ::stat(origin.file.c_str(), &st) == 0 && st.st_size <= kCheckedBytes;
    if (ok) {
      const std::string sql = "PRAGMA quick_check(" + TextLiteral(table) + ")";
      sqlite3_stmt* stmt = nullptr;
      ok = sqlite3_prepare_v2(origin.db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
           sqlite3_step(stmt) == SQLITE_ROW && sqlite3_column_type(stmt, 0) == SQLITE_TEXT &&
           std::string_view(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0))) == "ok";
      sqlite3_finalize(stmt);
    }
    known = origin.proven_readable.emplace(key, ok).first;
  }
  return known->second;
}

}  // namespace

// The schema name under which `origin` is attached to `target`, attaching it
// first when it is not yet; nothing when it cannot be attached.
std::optional<std::string> Attach(Connection& target, const Connection& origin,
                                  std::string_view old_table) {
  // A read of an old database that fails in a write transaction (a damaged
  // page, a truncated file) leaves the connection unable to commit it: the
  // rows stored before would be lost. So while rows are pending, the old
  // table to be read is first proven readable on the old database's own
  // connection (once; in a file small enough that this costs less than a
  // commit), or the pending rows are committed. A write that fails then
  // undoes nothing stored before (DiscardEmptyTransaction ends its
  // transaction).
  if (target.WriteTransactionOpen() && !ProvenReadable(origin, old_table)) target.Commit();
  auto attached = target.attached.find(origin.path);
  if (attached == target.attached.end()) {
    // ATTACH wants no open transaction.
    target.Commit();
    const std::string schema = kSourceSchemaPrefix + std::to_string(target.attached.size() + 1);
    if (!Run(target.db, "ATTACH DATABASE ? AS " + schema, ReadOnlyUri(origin.file))) {
      return std::nullopt;
    }
    attached = target.attached.emplace(origin.path, schema).first;
  }
  return attached->second;
}

namespace {

std::string ColumnText(sqlite3_stmt* stmt, int i) {
  const unsigned char* t = sqlite3_column_text(stmt, i);
  return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
}

}  // namespace

std::int64_t RowsAtMost(sqlite3* db, const std::string& table, const std::string& rowid) {
  sqlite3_stmt* stmt = nullptr;
  std::int64_t rows = std::numeric_limits<std::int64_t>::max();
  // Two subqueries: SQLite reads the ends of the b-tree for a lone min() or
  // max(), but scans the table for both in one select.
  const std::string sql = "SELECT (SELECT min(" + rowid + ") FROM " + table + "), (SELECT max(" +
                          rowid + ") FROM " + table + ")";
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    if (sqlite3_column_type(stmt, 0) == SQLITE_NULL) {
      rows = 0;
    } else {
      const auto span = static_cast<std::uint64_t>(sqlite3_column_int64(stmt, 1)) -
                        static_cast<std::uint64_t>(sqlite3_column_int64(stmt, 0));
      if (span < static_cast<std::uint64_t>(rows)) rows = static_cast<std::int64_t>(span) + 1;
    }
  }
  sqlite3_finalize(stmt);
  return rows;
}

// Whether an UPDATE of the `written` columns of `table` can be refused only
// for a Null in a column that `not_null` then marks: no trigger, no CHECK,
// no generated column, no written key or uniquely indexed column.
bool OnlyNullsRefused(sqlite3* db, const TableInfo& table, const std::vector<char>& written,
                      std::vector<char>& not_null) {
  {
    Statement triggers(db,
                       "SELECT 1 FROM main.sqlite_master WHERE type = 'trigger' AND tbl_name = "
                       "?1 COLLATE NOCASE");
    if (!triggers) return false;
    sqlite3_bind_text(triggers.stmt, 1, table.name.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(triggers.stmt) != SQLITE_DONE) return false;
  }
  {
    Statement create(db,
                     "SELECT sql FROM main.sqlite_master WHERE type = 'table' AND name = ?1 "
                     "COLLATE NOCASE");
    if (!create) return false;
    sqlite3_bind_text(create.stmt, 1, table.name.c_str(), -1, SQLITE_TRANSIENT);
    if (sqlite3_step(create.stmt) != SQLITE_ROW) return false;
    const std::string sql = Upper(ColumnText(create.stmt, 0));
    // Written for a constraint or not, the word decides: a false alarm only
    // costs the edits row by row.
    if (sql.find("CHECK") != std::string::npos || sql.find("REFERENCES") != std::string::npos) {
      return false;
    }
  }
  not_null.assign(table.columns.size(), 0);
  {
    Statement columns(db, "SELECT name, \"notnull\", hidden FROM pragma_table_xinfo(?1, 'main')");
    if (!columns) return false;
    sqlite3_bind_text(columns.stmt, 1, table.name.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(columns.stmt) == SQLITE_ROW) {
      if (sqlite3_column_int(columns.stmt, 2) != 0) return false;
      const int index = table.ColumnIndex(ColumnText(columns.stmt, 0));
      if (index < 0) return false;
      not_null[static_cast<std::size_t>(index)] = sqlite3_column_int(columns.stmt, 1) != 0;
    }
  }
  std::vector<std::string> unique;
  {
    Statement indexes(db, "SELECT name, \"unique\", partial FROM pragma_index_list(?1, 'main')");
    if (!indexes) return false;
    sqlite3_bind_text(indexes.stmt, 1, table.name.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(indexes.stmt) == SQLITE_ROW) {
      if (sqlite3_column_int(indexes.stmt, 1) == 0) continue;
      if (sqlite3_column_int(indexes.stmt, 2) != 0) return false;
      unique.push_back(ColumnText(indexes.stmt, 0));
    }
  }
  for (const std::string& index : unique) {
    Statement keys(db, "SELECT name FROM pragma_index_info(?1, 'main')");
    if (!keys) return false;
    sqlite3_bind_text(keys.stmt, 1, index.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(keys.stmt) == SQLITE_ROW) {
      if (sqlite3_column_type(keys.stmt, 0) == SQLITE_NULL) return false;  // an expression
      const int column = table.ColumnIndex(ColumnText(keys.stmt, 0));
      if (column < 0 || written[static_cast<std::size_t>(column)]) return false;
    }
  }
  for (std::size_t i = 0; i < written.size(); ++i) {
    if (written[i] && table.columns[i].rowid_alias) return false;
  }
  return true;
}

namespace {

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

namespace {

// The two connections and tables of a set-based statement from `source`
// into `target_db`; nothing when either database is closed or read-only for
// the purpose, both are one connection, or a table is missing or has no
// free rowid name in the source.
struct StatementTables {
  detail::Connection* target = nullptr;
  detail::Connection* origin = nullptr;
  std::shared_ptr<detail::TableInfo> to;
  std::shared_ptr<detail::TableInfo> from;
};
Declinable<StatementTables> TablesOf(Database& target_db, const Database& source,
                                     std::string_view old_table, std::string_view new_table) {
  if (!target_db.is_open() || !source.is_open()) return Decline("a database is closed");
  StatementTables t;
  t.target = &target_db.state()->Open();
  t.origin = &source.state()->Open();
  if (t.target->read_only || t.target == t.origin) {
    return Decline("the new database is read-only or the old one");
  }
  t.to = t.target->FindTable(new_table);
  t.from = t.origin->FindTable(old_table);
  if (!t.to || !t.from) return Decline("a table is missing");
  if (t.from->rowid_name.empty()) return Decline("the old table's columns hide its rowid");
  if (std::string why = detail::UnprovableRules(t.target->db, *t.to); !why.empty()) {
    return Decline(why);
  }
  return Declinable<StatementTables>::Stored(t);
}

}  // namespace

Declinable<long> AppendFrom(Database& target_db, const Database& source,
                            std::string_view old_table, std::string_view new_table,
                            const std::vector<AppendColumn>& columns) {
  if (columns.empty()) return Decline("no column to write");
  const Declinable<StatementTables> tables = TablesOf(target_db, source, old_table, new_table);
  if (!tables.stored()) return Decline(tables.reason());
  if (tables.result().to->has_counter) return Decline("a counter column");
  detail::Connection& target = *tables.result().target;
  detail::Connection& origin = *tables.result().origin;
  const auto& to = tables.result().to;
  const auto& from = tables.result().from;

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
    if (index < 0) return Decline("no column " + c.target + " in the new table");
    int origin_column = kNumbered;
    if (!c.numbered) {
      origin_column = from->ColumnIndex(c.source);
      if (origin_column < 0) return Decline("no column " + c.source + " in the old table");
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
    // A running number (1 to 32767, refused past it) already fits a Short or
    // a Long column; any other column converts it.
    const bool number_fits = column.type.kind == TypeKind::kShort ||
                             column.type.kind == TypeKind::kLong;
    passed += separator + (column_source == kNumbered && !number_fits ? conversion : value);
    converted += separator + conversion;
  }
  sqlite3* db = target.db;
  const std::optional<std::string> schema = detail::Attach(target, origin, from->name);
  if (!schema) return Decline("the old database cannot be attached");
  const std::string from_clause = " FROM " + *schema + "." + from->quoted + " AS s";
  const std::string where = checked.empty() ? "" : " WHERE relamor_fits(?1" + checked + ")";
  const std::string into = "INSERT INTO main." + to->quoted;
  if (twin) twin = !detail::HasIndex(db, to->name);

  const std::int64_t old_rows =
      detail::RowsAtMost(db, *schema + "." + from->quoted, from->rowid_name);
  std::optional<long> appended;
  // A stop asked for while a statement runs interrupts it; it is then undone
  // like a failed row, and the row-by-row redo stops at its first row.
  detail::SetWrite write(target, old_rows);
  if (!write.open()) return Decline("no savepoint");
  // The observer hears of the rows once they are stored, in one call, not
  // from a hook at every row.
  struct HookOff {
    detail::Connection& connection;
    explicit HookOff(detail::Connection& c) : connection(c) { detail::SetChangeHook(c, false); }
    ~HookOff() { detail::SetChangeHook(connection, true); }
    HookOff(const HookOff&) = delete;
    HookOff& operator=(const HookOff&) = delete;
  } hook_off(target);
  const auto attempt = [&](auto&& statement) {
    if (statement()) {
      appended = static_cast<long>(sqlite3_changes(db));
    } else {
      write.Undo();
    }
    return appended.has_value();
  };
  // Only the record copy, which reads the old rows apart from its check
  // anyway, checks them on a thread of its own. A converting INSERT checks
  // in its own WHERE clause, where the row is decoded anyway: a second
  // thread checking two fifths of its rows took 1.53 times the floor's CPU
  // time against 1.43 and gained a sixteenth in time (1M real-like rows).
  const bool parallel = twin && !where.empty() && old_rows >= detail::kParallelCheckRows;
  const auto pass_through = [&] {
    std::future<bool> fits;
    if (parallel) {
      try {
        fits = std::async(std::launch::async, detail::CheckOnOwnConnection,
                          detail::ReadOnlyUri(origin.file),
                          "SELECT count(*) FROM main." + from->quoted + " AS s" + where, &check);
      } catch (const std::system_error&) {
        // No thread to be had: the check runs on this one below.
      }
    }
    if (fits.valid()) {
      // The second thread checks every old row on its own connection while
      // this one copies them record by record (the check takes less time
      // than the copy); the outcome is decided after both are done.
      const bool inserted = detail::Run(db, into + " SELECT *" + from_clause);
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
  if (!attempt(pass_through) && !attempt(converting)) {
    return Decline("a row is refused or a stop interrupted the statement");
  }
  write.Commit(*appended);
  if (target.engine->change_observer && *appended > 0) {
    target.engine->change_observer(false, to->name, *appended);
  }
  return Declinable<long>::Stored(*appended);
}

}  // namespace relamor::db

namespace relamor::db {

namespace {
std::string_view ColumnView(sqlite3_stmt* stmt, int i) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
  return {text, static_cast<std::size_t>(sqlite3_column_bytes(stmt, i))};
}
}  // namespace

Declinable<long> UpdateByCategory(Database& target_db, const Database& source,
                                  std::string_view old_table, std::string_view new_table,
                                  std::string_view category,
                                  const std::vector<AppendColumn>& columns) {
  if (columns.empty()) return Decline("no column to write");
  const Declinable<StatementTables> tables = TablesOf(target_db, source, old_table, new_table);
  if (!tables.stored()) return Decline(tables.reason());
  detail::Connection& target = *tables.result().target;
  detail::Connection& origin = *tables.result().origin;
  const auto& to = tables.result().to;
  const auto& from = tables.result().from;
  if (to->rowid_name.empty()) return Decline("the new table's columns hide its rowid");
  const int old_category = from->ColumnIndex(category);
  const int new_category = to->ColumnIndex(category);
  if (old_category < 0 || new_category < 0) return Decline("no category column");

  // The old column of each written column; a later entry for the same column
  // replaces an earlier one, as a second Set would.
  std::vector<int> source_of(to->columns.size(), -1);
  std::vector<char> written(to->columns.size(), 0);
  for (const AppendColumn& c : columns) {
    const int index = to->ColumnIndex(c.target);
    const int origin_column = c.numbered ? -1 : from->ColumnIndex(c.source);
    if (index < 0 || origin_column < 0) return Decline("a mapped column is missing");
    source_of[static_cast<std::size_t>(index)] = origin_column;
    written[static_cast<std::size_t>(index)] = 1;
  }
  // A category written from another field moves rows between categories as
  // the edits go; only the edits row by row can follow that.
  if (written[static_cast<std::size_t>(new_category)] &&
      source_of[static_cast<std::size_t>(new_category)] != old_category) {
    return Decline("the category is written from another field");
  }
  sqlite3* db = target.db;
  std::vector<char> not_null;
  if (!detail::OnlyNullsRefused(db, *to, written, not_null)) {
    return Decline("an edit could be refused for more than a Null");
  }
  const std::optional<std::string> schema = detail::Attach(target, origin, from->name);
  if (!schema) return Decline("the old database cannot be attached");
  const std::string old_rows = *schema + "." + from->quoted;

  // The first row of each category of the new table, and later the last old
  // row that edits it.
  struct Category {
    sqlite3_int64 new_row;
    sqlite3_int64 last_old_row = 0;
  };
  std::unordered_map<std::string, Category> categories;
  std::string key;
  {
    detail::Statement rows(db, "SELECT " + to->rowid_name + ", " +
                                   QuoteName(to->columns[static_cast<std::size_t>(new_category)].name) +
                                   " FROM main." + to->quoted + " ORDER BY " + to->rowid_name);
    if (!rows) return Decline("the new categories cannot be read");
    int rc = SQLITE_DONE;
    while ((rc = sqlite3_step(rows.stmt)) == SQLITE_ROW) {
      const int type = sqlite3_column_type(rows.stmt, 1);
      if (type == SQLITE_NULL) continue;  // a Null category equals nothing
      if (type != SQLITE_TEXT) return Decline("a new category is not a text");
      NoCaseKey(ColumnView(rows.stmt, 1), key);
      categories.try_emplace(key, Category{sqlite3_column_int64(rows.stmt, 0)});
    }
    if (rc != SQLITE_DONE) return Decline("the new categories cannot be read");
  }

  // Every old row, in the order the edits would take them: its category must
  // be a text with a new row, and every value it writes must already be what
  // the conversion would store.
  std::vector<ColumnType> types;
  std::vector<char> required;
  std::string select = "SELECT s." + from->rowid_name + ", s." +
                       QuoteName(from->columns[static_cast<std::size_t>(old_category)].name);
  std::string sets;
  for (std::size_t i = 0; i < written.size(); ++i) {
    if (!written[i]) continue;
    const std::string value =
        "s." + QuoteName(from->columns[static_cast<std::size_t>(source_of[i])].name);
    select += ", " + value;
    types.push_back(to->columns[i].type);
    required.push_back(not_null[i]);
    sets += (sets.empty() ? "" : ", ") + QuoteName(to->columns[i].name) + " = " + value;
  }
  long rows_read = 0;
  {
    detail::Statement scan(db, select + " FROM " + old_rows + " AS s ORDER BY s." +
                                   from->rowid_name);
    if (!scan) return Decline("the old rows cannot be read");
    // A read: an interrupt undoes nothing.
    const detail::StopInterrupts stops(target, true);
    int rc = SQLITE_DONE;
    bool proved = true;
    while (proved && (rc = sqlite3_step(scan.stmt)) == SQLITE_ROW) {
      if (sqlite3_column_type(scan.stmt, 1) != SQLITE_TEXT) {
        proved = false;
        break;
      }
      NoCaseKey(ColumnView(scan.stmt, 1), key);
      const auto found = categories.find(key);
      if (found == categories.end()) {
        proved = false;
        break;
      }
      for (std::size_t i = 0; i < types.size(); ++i) {
        sqlite3_value* v = sqlite3_column_value(scan.stmt, static_cast<int>(i) + 2);
        const bool null = sqlite3_value_type(v) == SQLITE_NULL;
        if ((null && required[i]) ||
            (!null && types[i].kind != TypeKind::kAsGiven &&
             !detail::AlreadyFits(v, types[i].kind, types[i].max_length))) {
          proved = false;
          break;
        }
      }
      found->second.last_old_row = sqlite3_column_int64(scan.stmt, 0);
      ++rows_read;
    }
    // Interrupted by a stop, or anything unproved: the edits row by row
    // decide (and stop at their first row).
    if (!proved || rc != SQLITE_DONE) {
      return Decline("an old row's category has no new row, or a value needs converting");
    }
  }
  if (rows_read == 0) return Decline("no old row");

  // One UPDATE per category, in a savepoint: all of them or none.
  detail::SetWrite write(target, rows_read);
  if (!write.open()) return Decline("no savepoint");
  bool done = false;
  long updated = 0;
  {
    detail::Statement update(db, "UPDATE main." + to->quoted + " AS t SET " + sets + " FROM " +
                                     old_rows + " AS s WHERE t." + to->rowid_name +
                                     " = ?1 AND s." + from->rowid_name + " = ?2");
    if (update) {
      done = true;
      for (const auto& [name, c] : categories) {
        if (c.last_old_row == 0) continue;
        sqlite3_bind_int64(update.stmt, 1, c.new_row);
        sqlite3_bind_int64(update.stmt, 2, c.last_old_row);
        if (sqlite3_step(update.stmt) != SQLITE_DONE || sqlite3_changes(db) != 1) {
          sqlite3_reset(update.stmt);
          write.Undo();
          done = false;
          break;
        }
        sqlite3_reset(update.stmt);
        ++updated;
      }
    }
  }
  if (!done) return Decline("an update is refused or a stop interrupted it");
  write.Commit(rows_read);
  // The observer hears of every edit the rows would have made, not only of
  // the last of each category.
  if (target.engine->change_observer && rows_read > updated) {
    target.engine->change_observer(true, to->name, rows_read - updated);
  }
  return Declinable<long>::Stored(rows_read);
}

Declinable<long> AppendFilled(Database& target_db, const Database& source,
                              std::string_view old_table, std::string_view new_table,
                              const std::vector<AppendColumn>& numbered,
                              const std::vector<AppendColumn>& fill) {
  if (!target_db.is_open() || fill.empty()) return Decline("nothing to fill");
  detail::Connection& target = target_db.state()->Open();
  const auto to = target.FindTable(new_table);
  if (!to) return Decline("no new table");
  std::vector<char> filled(to->columns.size(), 0);
  for (const AppendColumn& c : fill) {
    const int index = to->ColumnIndex(c.target);
    if (index < 0) return Decline("no column " + c.target + " in the new table");
    filled[static_cast<std::size_t>(index)] = 1;
  }
  std::vector<char> not_null;
  if (!detail::OnlyNullsRefused(target.db, *to, filled, not_null)) {
    return Decline("the second pass could be refused for more than a Null");
  }
  // The first pass leaves the filled columns at their defaults.
  for (std::size_t i = 0; i < filled.size(); ++i) {
    if (filled[i] && not_null[i] && IsNull(target.DefaultOf(to->columns[i]))) {
      return Decline("the first pass leaves a NOT NULL column without a default");
    }
  }
  std::vector<AppendColumn> columns = numbered;
  columns.insert(columns.end(), fill.begin(), fill.end());
  Declinable<long> appended = AppendFrom(target_db, source, old_table, new_table, columns);
  // The observer hears of the second pass's edits as well.
  if (appended.stored() && appended.result() > 0 && target.engine->change_observer) {
    target.engine->change_observer(true, to->name, appended.result());
  }
  return appended;
}

}  // namespace relamor::db
