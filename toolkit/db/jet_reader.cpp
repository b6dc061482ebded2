// Jet file import: libmdb walks the catalog and the rows; the values are
// decoded here from the row bytes that libmdb's row cracker points at.
//
// libmdb trusts the file. Every position it hands back is checked against the
// page before it is read, the row walk is bounded by the file's page count
// (its pages must come in rising order), and long values (memo, OLE) are
// followed page by page here, bounded by their stored length and the page
// count, instead of by mdb_ole_read_full, whose chain walk has no bound. The
// number of rows read must equal the row count the table definition records.
#include "toolkit/db/jet_reader.h"

// libmdb's header needs glib's types declared first.
#include <glib.h>
#include <mdbtools.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string_view>
#include <vector>

#include "toolkit/db/hardening.h"
#include "toolkit/db/types.h"
#include "toolkit/db/value.h"
#include "toolkit/error.h"
#include "toolkit/platform/files.h"

namespace relamor::db {
namespace {

constexpr int kOffsetMask = 0x1fff;    // a row offset without its flag bits
constexpr int kLongValueHeader = 12;   // MDB_MEMO_OVERHEAD
constexpr int kDataPage = 0x01;        // page type of data (and long value) pages
constexpr std::size_t kMinFields = 256;
// Dates Jet can store: 100-01-01 to 9999-12-31 as days from 1899-12-30.
constexpr double kFirstDay = -657434.0;
constexpr double kLastDay = 2958465.0;

std::uint32_t Le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint16_t Le16(const unsigned char* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
std::int64_t Le64(const unsigned char* p) {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(Le32(p)) |
                                   static_cast<std::uint64_t>(Le32(p + 4)) << 32);
}

std::string QuoteName(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    out += c;
    if (c == '"') out += '"';
  }
  return out + "\"";
}

void AppendUtf8(std::string& out, std::uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xc0 | cp >> 6);
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xe0 | cp >> 12);
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  } else {
    out += static_cast<char>(0xf0 | cp >> 18);
    out += static_cast<char>(0x80 | (cp >> 12 & 0x3f));
    out += static_cast<char>(0x80 | (cp >> 6 & 0x3f));
    out += static_cast<char>(0x80 | (cp & 0x3f));
  }
}

// A number of units of 10^-scale as a value: a real number when it has at
// most 15 significant digits (the double nearest to it then prints back as
// the same decimal), else the exact decimal text.
Value ExactDecimal(bool negative, const std::string& digits, int scale) {
  std::string text = digits;
  while (static_cast<int>(text.size()) <= scale) text.insert(text.begin(), '0');
  if (scale > 0) text.insert(text.end() - scale, '.');
  if (negative && digits.find_first_not_of('0') != std::string::npos) text.insert(0, "-");
  const std::size_t first = digits.find_first_not_of('0');
  const std::size_t significant = first == std::string::npos ? 0 : digits.size() - first;
  if (significant <= 15) return std::strtod(text.c_str(), nullptr);
  return text;
}

// The declared type of a Jet column in the import (the types of the
// platform's mapping of declared types).
std::string DeclaredType(const MdbColumn& col, bool jet3) {
  switch (col.col_type) {
    case MDB_BOOL: return "YESNO";
    case MDB_BYTE: return "BYTE";
    case MDB_INT: return "SHORT";
    case MDB_LONGINT: return "LONG";
    case MDB_COMPLEX: return "LONG";
    case MDB_MONEY: return "CURRENCY";
    case MDB_FLOAT: return "SINGLE";
    case MDB_DOUBLE: return "DOUBLE";
    case MDB_NUMERIC: return "NUMERIC";
    case MDB_DATETIME: return "DATETIME";
    case MDB_TEXT: return "TEXT(" + std::to_string(jet3 ? col.col_size : col.col_size / 2) + ")";
    case MDB_MEMO: return "MEMO";
    case MDB_REPID: return "GUID";
    case MDB_BINARY: return "BINARY";
    case MDB_OLE: return "LONGBINARY";
    default: return "";
  }
}

struct MdbCloser {
  void operator()(MdbHandle* h) const { mdb_close(h); }
};
struct TableFreer {
  void operator()(MdbTableDef* t) const { mdb_free_tabledef(t); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
struct SqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};

// One Jet file being read.
class Reader {
 public:
  Reader(std::string path, MdbHandle* mdb, std::uint64_t file_size)
      : path_(std::move(path)),
        mdb_(mdb),
        jet3_(mdb->f->jet_version == MDB_VER_JET3),
        page_size_(static_cast<std::size_t>(mdb->fmt->pg_size)),
        page_count_(file_size / page_size_),
        file_size_(file_size),
        code_page_(mdb->f->code_page == 0 ? 1252 : mdb->f->code_page) {
    if (jet3_) {
      const std::string name = "CP" + std::to_string(code_page_);
      from_code_page_ = iconv_open("UTF-8", name.c_str());
      if (from_code_page_ == reinterpret_cast<iconv_t>(-1)) {
        Fail("its code page " + std::to_string(code_page_) + " is not supported here");
      }
    }
  }
  ~Reader() {
    if (from_code_page_ != reinterpret_cast<iconv_t>(-1)) iconv_close(from_code_page_);
  }
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  long replaced() const { return replaced_; }

  // Reads every user table into `db`, in the order of the catalog.
  void ImportAll(sqlite3* db) {
    ReadCatalog();
    for (const auto& entry : entries_) ImportTable(db, *entry);
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    std::string where = "the Jet file '" + path_ + "'";
    if (!table_.empty()) where += ", table '" + table_ + "'";
    if (!column_.empty()) where += ", column '" + column_ + "'";
    throw Error(err::kNotADatabase, "Not a database: " + where + " cannot be read: " + what);
  }

  // The user tables listed in the system table MSysObjects (whose definition
  // is on page 2). Read here rather than by mdb_read_catalog, which also
  // parses every object's property blob and can run away on a damaged one.
  void ReadCatalog() {
    MdbCatalogEntry catalog{};
    catalog.mdb = mdb_;
    catalog.object_type = MDB_TABLE;
    catalog.table_pg = 2;
    std::snprintf(catalog.object_name, sizeof catalog.object_name, "%s", "MSysObjects");
    const auto table = OpenTable(catalog);
    MdbTableDef* t = table.get();
    int id = -1, name = -1, type = -1, flags = -1;
    for (unsigned i = 0; i < t->num_cols; ++i) {
      const std::string_view column =
          static_cast<MdbColumn*>(g_ptr_array_index(t->columns, i))->name;
      if (column == "Id") id = static_cast<int>(i);
      if (column == "Name") name = static_cast<int>(i);
      if (column == "Type") type = static_cast<int>(i);
      if (column == "Flags") flags = static_cast<int>(i);
    }
    if (id < 0 || name < 0 || type < 0 || flags < 0) Fail("it lacks a column it needs");
    WalkRows(t, [&](const MdbField* fields) {
      const Value type_value = FieldValue(*Column(t, type), fields[type]);
      const auto* kind = std::get_if<std::int64_t>(&type_value);
      if (kind == nullptr || (*kind & 0x7f) != MDB_TABLE) return;
      const Value id_value = FieldValue(*Column(t, id), fields[id]);
      const Value name_value = FieldValue(*Column(t, name), fields[name]);
      const Value flags_value = FieldValue(*Column(t, flags), fields[flags]);
      const auto* object_id = std::get_if<std::int64_t>(&id_value);
      const auto* object_name = std::get_if<std::string>(&name_value);
      if (object_id == nullptr || object_name == nullptr || object_name->empty() ||
          object_name->size() > MDB_MAX_OBJ_NAME) {
        Fail("a table's entry is damaged");
      }
      auto entry = std::make_unique<MdbCatalogEntry>();
      entry->mdb = mdb_;
      entry->object_type = MDB_TABLE;
      entry->table_pg = static_cast<unsigned long>(*object_id & 0x00ffffff);
      const auto* flag_bits = std::get_if<std::int64_t>(&flags_value);
      entry->flags = flag_bits ? static_cast<int>(*flag_bits) : 0;
      std::snprintf(entry->object_name, sizeof entry->object_name, "%s", object_name->c_str());
      if (!mdb_is_system_table(entry.get())) entries_.push_back(std::move(entry));
    });
  }

  static MdbColumn* Column(MdbTableDef* t, int index) {
    return static_cast<MdbColumn*>(g_ptr_array_index(t->columns, static_cast<unsigned>(index)));
  }

  // The definition and columns of a table, checked.
  std::unique_ptr<MdbTableDef, TableFreer> OpenTable(MdbCatalogEntry& entry) {
    table_ = entry.object_name;
    column_.clear();
    if (entry.table_pg == 0 || entry.table_pg >= page_count_) {
      Fail("its definition lies outside the file");
    }
    std::unique_ptr<MdbTableDef, TableFreer> table(mdb_read_table(&entry));
    if (!table) Fail("its definition cannot be read");
    MdbTableDef* t = table.get();
    if (t->num_cols == 0) Fail("it has no columns");
    if (mdb_read_columns(t) == nullptr || t->columns == nullptr ||
        t->columns->len != t->num_cols) {
      Fail("its columns cannot be read");
    }
    return table;
  }

  // Calls on_row(fields) for each row of the table, in stored order, and
  // checks that the rows read are as many as the definition records.
  template <class OnRow>
  void WalkRows(MdbTableDef* t, OnRow&& on_row) {
    std::vector<MdbField> fields(std::max<std::size_t>(kMinFields, t->num_cols + 1));
    const std::uint64_t row_limit = page_count_ * (page_size_ / 2);
    std::uint64_t rows = 0;
    std::uint32_t last_page = 0;
    mdb_rewind_table(t);
    while (mdb_fetch_row(t)) {
      if (t->cur_phys_pg >= page_count_ || t->cur_phys_pg < last_page) {
        Fail("its rows point to page " + std::to_string(t->cur_phys_pg) + " out of order");
      }
      last_page = t->cur_phys_pg;
      if (++rows > row_limit || t->cur_row == 0) Fail("its row walk does not end");
      int start = -1;
      std::size_t length = 0;
      if (mdb_find_row(mdb_, static_cast<int>(t->cur_row) - 1, &start, &length) != 0 ||
          start < 0) {
        Fail("row " + std::to_string(rows) + " cannot be found on its page");
      }
      start &= kOffsetMask;
      if (static_cast<std::size_t>(start) > page_size_ || length > page_size_ - start) {
        Fail("row " + std::to_string(rows) + " lies outside its page");
      }
      const int cracked = mdb_crack_row(t, start, length, fields.data());
      if (cracked <= 0) Fail("row " + std::to_string(rows) + " is damaged");
      on_row(fields.data());
    }
    if (rows != t->num_rows) {
      Fail(std::to_string(rows) + " of its " + std::to_string(t->num_rows) +
           " rows can be read");
    }
  }

  void ImportTable(sqlite3* db, MdbCatalogEntry& entry) {
    const auto table = OpenTable(entry);
    MdbTableDef* t = table.get();
    std::vector<MdbColumn*> columns;
    std::string create = "CREATE TABLE " + QuoteName(table_) + " (";
    std::string insert = "INSERT INTO " + QuoteName(table_) + " VALUES (";
    for (unsigned i = 0; i < t->num_cols; ++i) {
      MdbColumn* col = Column(t, static_cast<int>(i));
      column_ = col->name;
      const std::string type = DeclaredType(*col, jet3_);
      if (type.empty()) Fail("its type " + std::to_string(col->col_type) + " is not known");
      create += (i ? ", " : "") + QuoteName(column_) + " " + type;
      insert += i ? ", ?" : "?";
      columns.push_back(col);
    }
    column_.clear();
    if (sqlite3_exec(db, (create + ")").c_str(), nullptr, nullptr, nullptr) != SQLITE_OK) {
      Fail("its layout is refused (" + std::string(sqlite3_errmsg(db)) + ")");
    }
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, (insert + ")").c_str(), -1, &raw, nullptr) != SQLITE_OK) {
      Fail("its rows cannot be stored (" + std::string(sqlite3_errmsg(db)) + ")");
    }
    std::unique_ptr<sqlite3_stmt, StatementFinalizer> stmt(raw);

    const long replaced_before = replaced_;
    std::uint64_t stored = 0;
    WalkRows(t, [&](const MdbField* fields) {
      ++stored;
      for (unsigned i = 0; i < t->num_cols; ++i) {
        column_ = columns[i]->name;
        Bind(stmt.get(), static_cast<int>(i) + 1, FieldValue(*columns[i], fields[i]));
      }
      column_.clear();
      if (sqlite3_step(stmt.get()) != SQLITE_DONE) {
        Fail("row " + std::to_string(stored) + " cannot be stored (" + sqlite3_errmsg(db) + ")");
      }
      sqlite3_reset(stmt.get());
    });
    if (replaced_ > replaced_before) {
      std::fprintf(stderr,
                   "%s, table '%s': %ld characters outside the file's code page (%d) were "
                   "read as \"?\"\n",
                   path_.c_str(), table_.c_str(), replaced_ - replaced_before, code_page_);
    }
  }

  // The field's bytes, checked to lie inside the page buffer.
  const unsigned char* Bytes(const MdbField& f, std::size_t at_least) const {
    const auto* p = static_cast<const unsigned char*>(f.value);
    const unsigned char* page = mdb_->pg_buf;
    if (f.siz < 0 || static_cast<std::size_t>(f.siz) < at_least || p < page ||
        p + f.siz > page + page_size_) {
      Fail("a value lies outside its row");
    }
    return p;
  }

  static void Bind(sqlite3_stmt* s, int index, const Value& v) {
    if (const auto* n = std::get_if<std::int64_t>(&v)) {
      sqlite3_bind_int64(s, index, *n);
    } else if (const auto* d = std::get_if<double>(&v)) {
      sqlite3_bind_double(s, index, *d);
    } else if (const auto* t = std::get_if<std::string>(&v)) {
      sqlite3_bind_text(s, index, t->data(), static_cast<int>(t->size()), SQLITE_TRANSIENT);
    } else if (const auto* b = std::get_if<Blob>(&v)) {
      sqlite3_bind_blob(s, index, b->bytes.data(), static_cast<int>(b->bytes.size()),
                        SQLITE_TRANSIENT);
    } else {
      sqlite3_bind_null(s, index);
    }
  }

  static Blob BlobOf(const void* p, std::size_t n) {
    const auto* bytes = static_cast<const unsigned char*>(p);
    return Blob{std::vector<unsigned char>(bytes, bytes + n)};
  }

  Value FieldValue(const MdbColumn& col, const MdbField& f) {
    if (col.col_type == MDB_BOOL) return std::int64_t{f.is_null ? 0 : -1};  // the null bit is the value
    if (f.is_null) return Null();
    switch (col.col_type) {
      case MDB_BYTE: return std::int64_t{*Bytes(f, 1)};
      case MDB_INT: return std::int64_t{static_cast<std::int16_t>(Le16(Bytes(f, 2)))};
      case MDB_LONGINT:
      case MDB_COMPLEX: return std::int64_t{static_cast<std::int32_t>(Le32(Bytes(f, 4)))};
      case MDB_MONEY: {
        const std::int64_t units = Le64(Bytes(f, 8));
        const std::uint64_t magnitude =
            units < 0 ? ~static_cast<std::uint64_t>(units) + 1 : static_cast<std::uint64_t>(units);
        return ExactDecimal(units < 0, std::to_string(magnitude), 4);
      }
      case MDB_FLOAT: {
        // The shortest decimal that reads back as the same Single, so 0.15
        // stays 0.15 and does not become 0.150000005960464.
        float single;
        std::memcpy(&single, Bytes(f, 4), 4);  // little-endian, as the file
        std::array<char, 32> buf{};
        const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), single);
        return std::strtod(std::string(buf.data(), r.ptr).c_str(), nullptr);
      }
      case MDB_DOUBLE: {
        double d;
        std::memcpy(&d, Bytes(f, 8), 8);
        return d;
      }
      case MDB_DATETIME: {
        double d;
        std::memcpy(&d, Bytes(f, 8), 8);
        return DateText(d);
      }
      case MDB_NUMERIC: {
        const unsigned char* p = Bytes(f, 17);
        char* text = mdb_numeric_to_string(mdb_, static_cast<int>(p - mdb_->pg_buf),
                                           col.col_scale, col.col_prec);
        if (text == nullptr) Fail("a decimal value cannot be read");
        std::string decimal(text);
        g_free(text);
        const bool negative = !decimal.empty() && decimal[0] == '-';
        if (negative) decimal.erase(0, 1);
        const std::size_t point = decimal.find('.');
        const int scale =
            point == std::string::npos ? 0 : static_cast<int>(decimal.size() - point - 1);
        if (point != std::string::npos) decimal.erase(point, 1);
        if (decimal.empty() || decimal.find_first_not_of("0123456789") != std::string::npos) {
          Fail("a decimal value cannot be read");
        }
        return ExactDecimal(negative, decimal, scale);
      }
      case MDB_REPID: {
        const unsigned char* p = Bytes(f, 16);
        char buf[40];
        std::snprintf(buf, sizeof buf,
                      "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", Le32(p), Le16(p + 4),
                      Le16(p + 6), p[8], p[9], p[10], p[11], p[12], p[13], p[14], p[15]);
        return std::string(buf);
      }
      case MDB_TEXT: return Text(Bytes(f, 0), static_cast<std::size_t>(f.siz));
      case MDB_MEMO: {
        const std::string raw = LongValue(f);
        return Text(reinterpret_cast<const unsigned char*>(raw.data()), raw.size());
      }
      case MDB_BINARY: return BlobOf(Bytes(f, 0), static_cast<std::size_t>(f.siz));
      case MDB_OLE: {
        const std::string raw = LongValue(f);
        return BlobOf(raw.data(), raw.size());
      }
      default: Fail("its type " + std::to_string(col.col_type) + " is not known");
    }
  }

  // A stored date (days from 1899-12-30; the fraction, taken without its
  // sign, is the time of day) as "YYYY-MM-DD", with " HH:MM:SS" unless the
  // time is midnight.
  std::string DateText(double stored) const {
    if (!std::isfinite(stored) || stored < kFirstDay - 1 || stored > kLastDay + 1) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.17g", stored);
      Fail("the date value " + std::string(buf) + " lies outside the years 100 to 9999");
    }
    double whole = std::trunc(stored);
    auto seconds = static_cast<std::int64_t>(std::llround(std::fabs(stored - whole) * 86400.0));
    auto days = static_cast<std::int64_t>(whole);
    if (seconds >= 86400) {
      seconds -= 86400;
      ++days;
    }
    std::int64_t y;
    unsigned m, d;
    CivilFromDays(days - 25569, y, m, d);  // 1899-12-30 is 25569 days before 1970-01-01
    char buf[40];
    if (seconds == 0) {
      std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u", static_cast<long long>(y), m, d);
    } else {
      std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u %02d:%02d:%02d", static_cast<long long>(y),
                    m, d, static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                    static_cast<int>(seconds % 60));
    }
    return buf;
  }

  // Stored text as UTF-8: Jet 3 in the file's code page, Jet 4 and ACE in
  // UCS-2, possibly compressed (a leading FF FE; then a zero byte switches
  // between one byte and two bytes per character).
  std::string Text(const unsigned char* p, std::size_t n) {
    std::string out;
    if (jet3_) {
      bool ascii = true;
      for (std::size_t i = 0; i < n && ascii; ++i) ascii = p[i] < 0x80;
      if (ascii) return std::string(reinterpret_cast<const char*>(p), n);
      out.reserve(n * 2);
      iconv(from_code_page_, nullptr, nullptr, nullptr, nullptr);
      auto* in = reinterpret_cast<char*>(const_cast<unsigned char*>(p));
      std::size_t in_left = n;
      std::array<char, 1024> buf;
      while (in_left > 0) {
        char* dst = buf.data();
        std::size_t dst_left = buf.size();
        const std::size_t rc = iconv(from_code_page_, &in, &in_left, &dst, &dst_left);
        out.append(buf.data(), static_cast<std::size_t>(dst - buf.data()));
        if (rc == static_cast<std::size_t>(-1) && errno != E2BIG) {
          out += '?';
          ++replaced_;
          ++in;
          --in_left;
        }
      }
      return out;
    }
    std::vector<std::uint16_t> units;
    units.reserve(n);
    if (n >= 2 && p[0] == 0xff && p[1] == 0xfe) {
      bool compressed = true;
      for (std::size_t i = 2; i < n;) {
        if (p[i] == 0) {
          compressed = !compressed;
          ++i;
        } else if (compressed) {
          units.push_back(p[i++]);
        } else if (i + 1 < n) {
          units.push_back(Le16(p + i));
          i += 2;
        } else {
          break;
        }
      }
    } else {
      for (std::size_t i = 0; i + 1 < n; i += 2) units.push_back(Le16(p + i));
    }
    out.reserve(units.size());
    for (std::size_t i = 0; i < units.size(); ++i) {
      std::uint32_t u = units[i];
      if (u >= 0xd800 && u < 0xdc00 && i + 1 < units.size() && units[i + 1] >= 0xdc00 &&
          units[i + 1] < 0xe000) {
        u = 0x10000 + ((u - 0xd800) << 10) + (units[++i] - 0xdc00);
      } else if (u >= 0xd800 && u < 0xe000) {
        out += '?';  // half of a surrogate pair
        ++replaced_;
        continue;
      }
      AppendUtf8(out, u);
    }
    return out;
  }

  // The bytes of a long value (memo or OLE) whose header is the field.
  std::string LongValue(const MdbField& f) const {
    const unsigned char* h = Bytes(f, kLongValueHeader);
    const std::uint32_t flags = Le32(h);
    const std::size_t length = flags & 0x3fffffff;
    if (length > file_size_) Fail("a memo or OLE value is longer than the file");
    std::string out;
    if (flags & 0x80000000u) {  // stored in the row
      if (length != static_cast<std::size_t>(f.siz) - kLongValueHeader) {
        Fail("a memo or OLE value in its row has the wrong length");
      }
      out.assign(reinterpret_cast<const char*>(h + kLongValueHeader), length);
    } else if (flags & 0x40000000u) {  // one row on a page of its own
      const std::string_view row = LongValueRow(Le32(h + 4));
      if (row.size() < length) Fail("a memo or OLE value is cut short");
      out.assign(row.substr(0, length));
    } else {  // a chain of rows, each starting with the next one's address
      out.reserve(length);
      std::uint32_t next = Le32(h + 4);
      for (std::uint64_t hops = 0; next != 0; ++hops) {
        if (hops > page_count_) Fail("the pages of a memo or OLE value form a loop");
        const std::string_view row = LongValueRow(next);
        if (row.size() < 4) Fail("a page of a memo or OLE value is damaged");
        next = Le32(reinterpret_cast<const unsigned char*>(row.data()));
        if (out.size() + row.size() - 4 > length) Fail("a memo or OLE value is longer than stored");
        out.append(row.substr(4));
      }
      if (out.size() != length) Fail("a memo or OLE value is cut short");
    }
    return out;
  }

  // The bytes of row (page << 8 | row) of a long-value page.
  std::string_view LongValueRow(std::uint32_t page_row) const {
    const std::uint32_t page = page_row >> 8;
    const int row = static_cast<int>(page_row & 0xff);
    if (page == 0 || page >= page_count_) {
      Fail("a memo or OLE value points to page " + std::to_string(page) + " outside the file");
    }
    void* buf = nullptr;
    int start = -1;
    std::size_t length = 0;
    if (mdb_find_pg_row(mdb_, static_cast<int>(page_row), &buf, &start, &length) != 0 ||
        buf == nullptr) {
      Fail("page " + std::to_string(page) + " of a memo or OLE value cannot be read");
    }
    const auto* bytes = static_cast<const unsigned char*>(buf);
    const int row_count = Le16(bytes + mdb_->fmt->row_count_offset);
    start &= kOffsetMask;
    if (bytes[0] != kDataPage || row >= row_count || start < 0 ||
        static_cast<std::size_t>(start) > page_size_ || length == 0 ||
        length > page_size_ - start) {
      Fail("page " + std::to_string(page) + " of a memo or OLE value is damaged");
    }
    return {reinterpret_cast<const char*>(bytes + start), length};
  }

  std::string path_;
  MdbHandle* mdb_;
  bool jet3_;
  std::size_t page_size_;
  std::uint64_t page_count_;
  std::uint64_t file_size_;
  int code_page_;
  iconv_t from_code_page_ = reinterpret_cast<iconv_t>(-1);
  long replaced_ = 0;
  std::string table_;
  std::string column_;
  std::vector<std::unique_ptr<MdbCatalogEntry>> entries_;  // the user tables
};

}  // namespace

bool IsJetHeader(const char* header, std::size_t size) {
  if (size < 20) return false;
  const std::string_view kind(header + 4, 16);
  return kind == std::string_view("Standard Jet DB\0", 16) ||
         kind == std::string_view("Standard ACE DB\0", 16);
}

bool IsJetFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  char header[20] = {};
  if (!in.read(header, sizeof header)) return false;
  return IsJetHeader(header, sizeof header);
}

JetImport::JetImport(const std::string& jet_path) {
  struct stat info {};
  if (::stat(jet_path.c_str(), &info) != 0) {
    throw Error(err::kDatabaseNotFound,
                "Database not found: could not find the file '" + jet_path + "'");
  }
  // libmdb says why it cannot open a file only on standard error.
  std::unique_ptr<MdbHandle, MdbCloser> mdb(mdb_open(jet_path.c_str(), MDB_NOFLAGS));
  if (!mdb || mdb->f == nullptr || mdb->fmt == nullptr || mdb->fmt->pg_size <= 0) {
    throw Error(err::kNotADatabase, "Not a database: the Jet file '" + jet_path +
                                        "' cannot be opened; it is damaged or of an unknown "
                                        "version");
  }
  if (std::string_view(mdb_target_charset(mdb.get())) != "UTF-8") {
    throw Error(err::kNotADatabase, "Not a database: the Jet file '" + jet_path +
                                        "' cannot be read as UTF-8 (MDB_ICONV is set to " +
                                        mdb_target_charset(mdb.get()) + ")");
  }

  try {
    folder_ = std::make_unique<platform::PrivateFolder>("relamor-jet-");
  } catch (const Error& e) {
    throw Error(err::kEngineError, "Engine error: no temporary file for reading the Jet file '" +
                                       jet_path + "' (" + e.description() + ")");
  }
  sqlite_path_ = folder_->path() + "/import.mdb";
  sqlite3* raw = nullptr;
  const int rc =
      sqlite3_open_v2(detail::FileUri(sqlite_path_).c_str(), &raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX |
                          SQLITE_OPEN_URI,
                      nullptr);
  std::unique_ptr<sqlite3, SqliteCloser> db(raw);
  // Hardened after its journal is switched off (which defensive mode would
  // refuse): the import runs only the program's statements on a private file.
  if (rc != SQLITE_OK ||
      sqlite3_exec(raw, "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF; BEGIN", nullptr,
                   nullptr, nullptr) != SQLITE_OK ||
      !detail::Harden(raw)) {
    throw Error(err::kEngineError, "Engine error: the temporary file '" + sqlite_path_ +
                                       "' for the Jet file '" + jet_path +
                                       "' cannot be written (" +
                                       (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)) + ")");
  }
  Reader reader(jet_path, mdb.get(), static_cast<std::uint64_t>(info.st_size));
  reader.ImportAll(raw);
  replaced_ = reader.replaced();
  if (sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    throw Error(err::kEngineError, "Engine error: the temporary file '" + sqlite_path_ +
                                       "' for the Jet file '" + jet_path +
                                       "' cannot be written (" + sqlite3_errmsg(raw) + ")");
  }
}

// The folder goes with the import in it.
JetImport::~JetImport() = default;

}  // namespace relamor::db
