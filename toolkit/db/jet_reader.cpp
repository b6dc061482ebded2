// Jet file import: libmdb reads the header, the table definitions and cracks
// a row into its fields; the pages of a table, the rows of a page and the
// values are walked and decoded here.
//
// libmdb trusts the file. The row walk here follows the table's page map,
// checks every page it reads (inside the file, of the kind and table it must
// be) and every row position against its page, and follows a moved row's
// pointer a bounded number of hops; long values (memo, OLE) are followed page
// by page, bounded by their stored length and the page count, instead of by
// mdb_ole_read_full, whose chain walk has no bound.
#include "toolkit/db/jet_reader.h"

// libmdb's header needs glib's types declared first.
#include <glib.h>
#include <mdbtools.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include "toolkit/db/hardening.h"
#include "toolkit/db/types.h"
#include "toolkit/db/value.h"
#include "toolkit/error.h"
#include "toolkit/platform/files.h"
#include "toolkit/text.h"

namespace relamor::db {
namespace {

constexpr int kOffsetMask = 0x1fff;    // a row offset without its flag bits
constexpr int kRowDeleted = 0x8000;    // a deleted row, or one moved here (read through its pointer)
constexpr int kRowMoved = 0x4000;      // the row holds a pointer to where it was moved
constexpr int kMovedHops = 8;          // more pointers in a row than this are a loop
constexpr int kLongValueHeader = 12;   // MDB_MEMO_OVERHEAD
constexpr int kDataPage = 0x01;        // page type of data (and long value) pages
constexpr int kTableDefPage = 0x02;
constexpr int kMapPage = 0x05;         // a page of a page map's bitmap
constexpr int kPageSignature = 0x01;   // the second byte of every page after the header
constexpr int kLinkedTable = 6;        // MSysObjects types of a linked table
constexpr int kLinkedOdbcTable = 4;
constexpr int kLargeNumber = 0x13;     // 8-byte integer
constexpr int kExtendedDate = 0x14;    // Date/Time Extended, stored as digits
// A calculated column (ACE 2010 and later): its extra column flags; the
// stored value is wrapped, its length at kCalcLength and its bytes after.
constexpr int kCalcFlagsOffset = 16;
constexpr int kCalcFlags = 0xc0;
constexpr int kCalcLength = 16;
constexpr int kCalcData = 20;
constexpr int kCalcOverhead = 23;      // the bytes a wrapped value adds
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

// Calculated Decimal values have up to 128 bits.
__extension__ typedef unsigned __int128 Uint128;

// An unsigned number as decimal digits.
std::string Digits(Uint128 n) {
  std::string out;
  do {
    out.insert(out.begin(), static_cast<char>('0' + static_cast<int>(n % 10)));
    n /= 10;
  } while (n != 0);
  return out;
}

// The declared type of a Jet column in the import: a type of the platform's
// mapping of declared types whose SQLite affinity keeps the value as read
// (MEMO, CURRENCY, NUMERIC and SINGLE would let SQLite turn "00042" into 42,
// cut a decimal to 15 digits, or make 3.0 an integer). Currency and Decimal
// get no type: their value is a real number or the exact decimal text.
// Null for a column the import leaves out.
const char* DeclaredType(int col_type) {
  switch (col_type) {
    case MDB_BOOL: return "YESNO";
    case MDB_BYTE: return "BYTE";
    case MDB_INT: return "SHORT";
    case MDB_LONGINT: return "LONG";
    case kLargeNumber: return "BIGINT";
    case MDB_MONEY: return "";
    case MDB_FLOAT: return "FLOAT";
    case MDB_DOUBLE: return "DOUBLE";
    case MDB_NUMERIC: return "";
    case MDB_DATETIME:
    case kExtendedDate: return "DATETIME";
    case MDB_TEXT: return "TEXT";
    case MDB_MEMO: return "LONGTEXT";
    case MDB_REPID: return "GUID";
    case MDB_BINARY: return "BINARY";
    case MDB_OLE: return "LONGBINARY";
    default: return nullptr;
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

// A column as the import stores it.
struct ImportColumn {
  MdbColumn* col;
  bool calculated;  // its stored value wraps the value
};

// What the catalog says of the file's tables.
struct Catalog {
  std::vector<std::unique_ptr<MdbCatalogEntry>> tables;  // the user tables
  std::vector<std::string> properties;                    // of each, its stored properties
  std::map<std::string, std::string> linked;              // name -> what it is linked to
  std::map<std::int64_t, std::string> system_tables;      // id -> name
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
      const char* chosen = std::getenv("RELAMOR_JET3_CODEPAGE");
      if (chosen != nullptr && *chosen != '\0') {
        int n = 0;
        const std::string_view text(chosen);
        const auto r = std::from_chars(text.data(), text.data() + text.size(), n);
        if (r.ec != std::errc() || r.ptr != text.data() + text.size() || n <= 0) {
          Fail("RELAMOR_JET3_CODEPAGE is '" + std::string(text) +
               "', not the number of a code page");
        }
        code_page_ = n;
      }
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

  // Reads every user table into `db`, in the order of the catalog; what is
  // not read goes into `not_read` (see JetImport).
  void ImportAll(sqlite3* db, std::map<std::string, std::string>& not_read) {
    Catalog catalog = ReadCatalog();
    for (const auto& [name, target] : catalog.linked) {
      not_read[Lower(name)] = "table '" + name + "' is linked to " + target +
                              "; linked tables are not read";
    }
    complex_types_ = ComplexColumnTypes(catalog.system_tables);
    for (std::size_t i = 0; i < catalog.tables.size(); ++i) {
      ImportTable(db, *catalog.tables[i], catalog.properties[i], not_read);
    }
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    std::string where = "the Jet file '" + path_ + "'";
    if (!table_.empty()) where += ", table '" + table_ + "'";
    if (!column_.empty()) where += ", column '" + column_ + "'";
    throw Error(err::kNotADatabase, "Not a database: " + where + " cannot be read: " + what);
  }

  // Reads page `page` of the file into `buf` (page_size_ bytes), through
  // libmdb's second page buffer: libmdb decodes the pages of a Jet file
  // saved encoded (RC4, its key in the header).
  void ReadPage(std::uint64_t page, unsigned char* buf) const {
    if (page >= page_count_) {
      Fail("page " + std::to_string(page) + " lies beyond the end of the file");
    }
    if (mdb_read_alt_pg(mdb_, static_cast<int>(page)) != static_cast<ssize_t>(page_size_)) {
      Fail("page " + std::to_string(page) + " cannot be read");
    }
    std::memcpy(buf, mdb_->alt_pg_buf, page_size_);
  }

  // The user tables and the linked tables listed in the system table
  // MSysObjects (whose definition is on page 2). Read here rather than by
  // mdb_read_catalog, which also parses every object's property blob and can
  // run away on a damaged one; the properties are parsed only of a table
  // with calculated columns (ResultTypes).
  Catalog ReadCatalog() {
    MdbCatalogEntry catalog_entry{};
    catalog_entry.mdb = mdb_;
    catalog_entry.object_type = MDB_TABLE;
    catalog_entry.table_pg = 2;
    std::snprintf(catalog_entry.object_name, sizeof catalog_entry.object_name, "%s",
                  "MSysObjects");
    table_ = "MSysObjects";
    // An ACE file encrypted with a password (AES) keeps its header readable
    // but none of its pages: the first two are then of no page type.
    if (mdb_->f->jet_version >= MDB_VER_ACCDB_2007 && page_count_ > 2) {
      std::vector<unsigned char> page(page_size_);
      int unknown = 0;
      for (std::uint64_t p = 1; p <= 2; ++p) {
        ReadPage(p, page.data());
        if (page[0] > MDB_PAGE_MAP) ++unknown;
      }
      if (unknown == 2) {
        throw Error(err::kNotADatabase, "Not a database: the Jet file '" + path_ +
                                            "' is encrypted; encrypted files are not read");
      }
    }
    const auto table = OpenTable(catalog_entry);
    MdbTableDef* t = table.get();
    std::map<std::string, int> at;
    for (unsigned i = 0; i < t->num_cols; ++i) {
      at[static_cast<MdbColumn*>(g_ptr_array_index(t->columns, i))->name] = static_cast<int>(i);
    }
    for (const char* needed : {"Id", "Name", "Type", "Flags"}) {
      if (at.count(needed) == 0) Fail("it lacks its column '" + std::string(needed) + "'");
    }
    Catalog out;
    WalkRows(t, [&](const MdbField* fields) {
      auto value = [&](const char* name) -> Value {
        const auto it = at.find(name);
        if (it == at.end()) return Null();
        return FieldValue(*Column(t, it->second), fields[it->second], false);
      };
      const Value type_value = value("Type");
      const auto* kind = std::get_if<std::int64_t>(&type_value);
      if (kind == nullptr) return;
      const int type = static_cast<int>(*kind & 0x7f);
      if (type != MDB_TABLE && type != kLinkedTable && type != kLinkedOdbcTable) return;
      const Value id_value = value("Id");
      const Value name_value = value("Name");
      const Value flags_value = value("Flags");
      const auto* object_id = std::get_if<std::int64_t>(&id_value);
      const auto* object_name = std::get_if<std::string>(&name_value);
      if (object_id == nullptr || object_name == nullptr || object_name->empty() ||
          object_name->size() > MDB_MAX_OBJ_NAME) {
        Fail("a table's entry is damaged");
      }
      const auto* flag_bits = std::get_if<std::int64_t>(&flags_value);
      const int flags = flag_bits ? static_cast<int>(*flag_bits) : 0;
      if (flags & 0x80000002) {  // a system table
        if (type == MDB_TABLE) out.system_tables[*object_id] = *object_name;
        return;
      }
      if (type != MDB_TABLE) {
        out.linked[*object_name] = LinkTarget(type, value("ForeignName"), value("Database"),
                                              value("Connect"));
        return;
      }
      auto entry = std::make_unique<MdbCatalogEntry>();
      entry->mdb = mdb_;
      entry->object_type = MDB_TABLE;
      entry->table_pg = static_cast<unsigned long>(*object_id & 0x00ffffff);
      entry->flags = flags;
      std::snprintf(entry->object_name, sizeof entry->object_name, "%s", object_name->c_str());
      out.tables.push_back(std::move(entry));
      // The properties matter only for calculated columns: pages of them
      // that cannot be read do not stop the file.
      Value properties;
      try {
        properties = value("LvProp");
      } catch (const Error&) {
      }
      const auto* blob = std::get_if<Blob>(&properties);
      out.properties.emplace_back(blob ? std::string(blob->bytes.begin(), blob->bytes.end()) : "");
    });
    return out;
  }

  // What a linked table's catalog entry says it is linked to; of an ODBC
  // source only the parts that say which, never a password.
  static std::string LinkTarget(int type, const Value& foreign, const Value& database,
                                const Value& connect) {
    const auto text = [](const Value& v) {
      const auto* s = std::get_if<std::string>(&v);
      return s ? *s : std::string();
    };
    std::string target;
    if (!text(foreign).empty()) target = "table '" + text(foreign) + "' of ";
    if (type == kLinkedTable) return target + "'" + text(database) + "'";
    std::string source;
    std::size_t from = 0;
    const std::string all = text(connect);
    while (from <= all.size()) {
      std::size_t to = all.find(';', from);
      if (to == std::string::npos) to = all.size();
      const std::string part = all.substr(from, to - from);
      const std::string key = Lower(part.substr(0, part.find('=')));
      if (key == "dsn" || key == "database" || key == "dbq" || key == "server" ||
          key == "driver") {
        source += (source.empty() ? "" : ";") + part;
      }
      from = to + 1;
    }
    return target + "the ODBC source '" + source + "'";
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

  // The bytes of a table's definition: its first page whole, then the rest
  // of each continuation page after its 8-byte header, as libmdb reads it.
  std::vector<unsigned char> DefinitionBytes(std::uint32_t first) const {
    std::vector<unsigned char> out;
    std::vector<unsigned char> page(page_size_);
    std::uint32_t next = first;
    for (std::uint64_t hops = 0; next != 0; ++hops) {
      if (hops > page_count_) Fail("the pages of its definition form a loop");
      ReadPage(next, page.data());
      if (page[0] != kTableDefPage) Fail("page " + std::to_string(next) + " of its definition is damaged");
      out.insert(out.end(), page.begin() + (hops == 0 ? 0 : 8), page.end());
      next = Le32(page.data() + 4);
    }
    return out;
  }

  // Which columns of the table are calculated (by their row column number).
  std::vector<int> CalculatedColumns(MdbTableDef* t) const {
    std::vector<int> calculated;
    if (mdb_->f->jet_version < MDB_VER_ACCDB_2010) return calculated;
    const std::vector<unsigned char> def = DefinitionBytes(static_cast<std::uint32_t>(t->entry->table_pg));
    const MdbFormatConstants& fmt = *mdb_->fmt;
    std::size_t at = fmt.tab_cols_start_offset +
                     static_cast<std::size_t>(t->num_real_idxs) * fmt.tab_ridx_entry_size;
    for (unsigned i = 0; i < t->num_cols; ++i, at += fmt.tab_col_entry_size) {
      if (at + fmt.tab_col_entry_size > def.size()) Fail("its column definitions are cut short");
      if (def[at + kCalcFlagsOffset] & kCalcFlags) {
        calculated.push_back(Le16(def.data() + at + fmt.tab_row_col_num_offset));
      }
    }
    return calculated;
  }

  // The table's data pages, in the order of its page map, each checked to
  // lie inside the file.
  std::vector<std::uint32_t> DataPages(MdbTableDef* t) const {
    const unsigned char* map = t->usage_map;
    const std::size_t size = t->map_sz;
    std::vector<std::uint32_t> pages;
    const auto add = [&](std::uint64_t page) {
      if (page == 0) return;
      if (page >= page_count_) {
        Fail("its data page " + std::to_string(page) + " lies beyond the end of the file");
      }
      pages.push_back(static_cast<std::uint32_t>(page));
    };
    if (map == nullptr || size < 1) Fail("its page map is missing");
    if (map[0] == 0) {  // a first page and a bitmap of the pages from it
      if (size < 5) Fail("its page map is damaged");
      const std::uint64_t first = Le32(map + 1);
      for (std::size_t i = 0; i < (size - 5) * 8; ++i) {
        if (map[5 + i / 8] & (1u << (i % 8))) add(first + i);
      }
    } else if (map[0] == 1) {  // pages holding bitmaps of ranges of pages
      const std::size_t bits = (page_size_ - 4) * 8;
      std::vector<unsigned char> bitmap(page_size_);
      for (std::size_t k = 0; 1 + 4 * k + 4 <= size; ++k) {
        const std::uint32_t map_page = Le32(map + 1 + 4 * k);
        if (map_page == 0) continue;
        ReadPage(map_page, bitmap.data());
        if (bitmap[0] != kMapPage) Fail("its page map is damaged (page " + std::to_string(map_page) + ")");
        for (std::size_t i = 0; i < bits; ++i) {
          if (bitmap[4 + i / 8] & (1u << (i % 8))) add(static_cast<std::uint64_t>(k) * bits + i);
        }
      }
    } else {
      Fail("its page map is of an unknown kind " + std::to_string(map[0]));
    }
    return pages;
  }

  // Reads `page` into libmdb's page buffer, checked to be a data page of
  // table t; returns its number of rows. A page that the table's page map
  // lists (`listed`) but that is a page of another kind or table, as its
  // signature shows, is a bit the map kept of a page since reused: -1, it is
  // passed over, as other readers do. A page without the signature (zeros,
  // garbage) is damage.
  int LoadDataPage(MdbTableDef* t, std::uint32_t page, bool listed) {
    if (page >= page_count_ || mdb_read_pg(mdb_, page) != static_cast<ssize_t>(page_size_)) {
      Fail("its data page " + std::to_string(page) + " lies beyond the end of the file");
    }
    const unsigned char* buf = mdb_->pg_buf;
    if (buf[0] != kDataPage || Le32(buf + 4) != t->entry->table_pg) {
      if (listed && buf[1] == kPageSignature && buf[0] != 0) return -1;
      Fail("page " + std::to_string(page) + " is not one of its data pages");
    }
    const int rows = Le16(buf + mdb_->fmt->row_count_offset);
    if (mdb_->fmt->row_count_offset + 2 + 2 * static_cast<std::size_t>(rows) > page_size_) {
      Fail("data page " + std::to_string(page) + " is damaged");
    }
    return rows;
  }

  // The flags of row `row` of the loaded page, and where it lies.
  int RowAt(int row, int rows, std::uint32_t page, int* start, std::size_t* length) const {
    const unsigned char* buf = mdb_->pg_buf;
    const int rco = mdb_->fmt->row_count_offset;
    const int raw = Le16(buf + rco + 2 + 2 * row);
    const int end = row == 0 ? static_cast<int>(page_size_) : Le16(buf + rco + 2 * row) & kOffsetMask;
    *start = raw & kOffsetMask;
    *length = static_cast<std::size_t>(end - *start);
    if ((raw & kRowDeleted) == 0 &&
        (*start < rco + 2 + 2 * rows || *start >= end || end > static_cast<int>(page_size_))) {
      Fail("row " + std::to_string(row) + " of page " + std::to_string(page) +
           " lies outside its page");
    }
    return raw & (kRowDeleted | kRowMoved);
  }

  // Calls on_row(fields) for each row of the table, in stored order.
  template <class OnRow>
  void WalkRows(MdbTableDef* t, OnRow&& on_row) {
    std::vector<MdbField> fields(std::max<std::size_t>(kMinFields, t->num_cols + 1));
    const auto crack = [&](int start, std::size_t length, std::uint32_t page, int row) {
      if (mdb_crack_row(t, start, length, fields.data()) <= 0) {
        Fail("row " + std::to_string(row) + " of page " + std::to_string(page) + " is damaged");
      }
      on_row(fields.data());
    };
    for (const std::uint32_t page : DataPages(t)) {
      const int rows = LoadDataPage(t, page, true);
      for (int row = 0; row < rows; ++row) {
        int start = 0;
        std::size_t length = 0;
        const int flags = RowAt(row, rows, page, &start, &length);
        if (flags & kRowDeleted) continue;
        if (!(flags & kRowMoved)) {
          crack(start, length, page, row);
          continue;
        }
        // Moved to another page: the row is read there, in this place. The
        // row there is flagged as moved in (kRowDeleted alone), or deleted
        // (both flags), or moved on (kRowMoved alone).
        std::uint32_t at_page = page;
        int at_row = row;
        bool deleted = false;
        for (int hops = 0;; ++hops) {
          if (length < 4 || hops > kMovedHops) {
            Fail("the pointer of row " + std::to_string(at_row) + " of page " +
                 std::to_string(at_page) + " is damaged");
          }
          const std::uint32_t to = Le32(mdb_->pg_buf + start);
          at_page = to >> 8;
          at_row = static_cast<int>(to & 0xff);
          const int to_rows = LoadDataPage(t, at_page, false);
          if (at_row >= to_rows) {
            Fail("a row points to row " + std::to_string(at_row) + " of page " +
                 std::to_string(at_page) + ", which it lacks");
          }
          const int to_flags = RowAt(at_row, to_rows, at_page, &start, &length);
          deleted = to_flags == (kRowDeleted | kRowMoved);
          if (to_flags != kRowMoved) break;
        }
        if (!deleted) crack(start, length, at_page, at_row);
        LoadDataPage(t, page, false);
      }
    }
  }

  // Of each attachment or multi-value column ("table page\ncolumn", in lower
  // case), the name of its kind's template table (MSysComplexType_...), as
  // the system table MSysComplexColumns lists them. It only makes the error
  // of such a column plainer: when it cannot be read, nothing is known.
  std::map<std::string, std::string> ComplexColumnTypes(
      const std::map<std::int64_t, std::string>& system_tables) {
    std::map<std::string, std::string> out;
    for (const auto& [id, name] : system_tables) {
      if (name != "MSysComplexColumns") continue;
      try {
        MdbCatalogEntry entry{};
        entry.mdb = mdb_;
        entry.object_type = MDB_TABLE;
        entry.table_pg = static_cast<unsigned long>(id & 0x00ffffff);
        std::snprintf(entry.object_name, sizeof entry.object_name, "%s", name.c_str());
        const auto table = OpenTable(entry);
        MdbTableDef* t = table.get();
        int column = -1, type = -1, of = -1;
        for (unsigned i = 0; i < t->num_cols; ++i) {
          const std::string_view n = Column(t, static_cast<int>(i))->name;
          if (n == "ColumnName") column = static_cast<int>(i);
          if (n == "ComplexTypeObjectID") type = static_cast<int>(i);
          if (n == "ConceptualTableID") of = static_cast<int>(i);
        }
        if (column < 0 || type < 0 || of < 0) break;
        WalkRows(t, [&](const MdbField* fields) {
          const Value c = FieldValue(*Column(t, column), fields[column], false);
          const Value k = FieldValue(*Column(t, type), fields[type], false);
          const Value o = FieldValue(*Column(t, of), fields[of], false);
          const auto* column_name = std::get_if<std::string>(&c);
          const auto* kind = std::get_if<std::int64_t>(&k);
          const auto* owner = std::get_if<std::int64_t>(&o);
          if (!column_name || !kind || !owner) return;
          const auto template_table = system_tables.find(*kind);
          if (template_table == system_tables.end()) return;
          out[std::to_string(*owner & 0x00ffffff) + "\n" + Lower(*column_name)] =
              template_table->second;
        });
      } catch (const Error&) {
        out.clear();
      }
    }
    table_.clear();
    column_.clear();
    return out;
  }

  // Why a column is left out of the import; empty when it is read.
  std::string NotReadBecause(const MdbTableDef& t, const MdbColumn& col) const {
    if (col.col_type == MDB_COMPLEX) {
      const auto kind =
          complex_types_.find(std::to_string(t.entry->table_pg) + "\n" + Lower(col.name));
      if (kind == complex_types_.end()) {
        return "it is an attachment or multi-value column; such columns are not read";
      }
      if (kind->second == "MSysComplexType_Attachment") {
        return "it is an attachment column; attachment columns are not read";
      }
      return "it is a multi-value column (" + kind->second.substr(kind->second.find('_') + 1) +
             " values); multi-value columns are not read";
    }
    if (DeclaredType(col.col_type) == nullptr) {
      return "its type " + std::to_string(col.col_type) + " is not known";
    }
    return "";
  }

  // The result type of each calculated column, from the table's stored
  // properties (parsed only for a table that has calculated columns).
  std::map<std::string, int> ResultTypes(const std::string& properties) const {
    std::map<std::string, int> out;
    if (properties.empty()) return out;
    std::string bytes = properties;
    GPtrArray* all = mdb_kkd_to_props(mdb_, bytes.data(), bytes.size());
    if (all == nullptr) return out;
    for (unsigned i = 0; i < all->len; ++i) {
      auto* p = static_cast<MdbProperties*>(g_ptr_array_index(all, i));
      if (p->name != nullptr && p->hash != nullptr) {
        const auto* type = static_cast<const char*>(g_hash_table_lookup(p->hash, "ResultType"));
        if (type != nullptr) out[p->name] = std::atoi(type);
      }
      mdb_free_props(p);
    }
    g_ptr_array_free(all, TRUE);
    return out;
  }

  void ImportTable(sqlite3* db, MdbCatalogEntry& entry, const std::string& properties,
                   std::map<std::string, std::string>& not_read) {
    const auto table = OpenTable(entry);
    MdbTableDef* t = table.get();
    const std::vector<int> calculated = CalculatedColumns(t);
    result_types_ = calculated.empty() ? std::map<std::string, int>{} : ResultTypes(properties);
    std::vector<ImportColumn> columns;
    std::vector<int> field_of;  // the field of each imported column
    std::string create = "CREATE TABLE " + QuoteName(table_) + " (";
    std::string insert = "INSERT INTO " + QuoteName(table_) + " VALUES (";
    for (unsigned i = 0; i < t->num_cols; ++i) {
      MdbColumn* col = Column(t, static_cast<int>(i));
      const std::string why = NotReadBecause(*t, *col);
      if (!why.empty()) {
        not_read[Lower(table_) + "\n" + Lower(col->name)] =
            "the Jet file '" + path_ + "', table '" + table_ + "', column '" + col->name +
            "' is not read: " + why;
        continue;
      }
      const bool calc = std::find(calculated.begin(), calculated.end(), col->row_col_num) !=
                        calculated.end();
      // A calculated column is declared as its result is (Currency in a
      // column stored as Double keeps every digit).
      const auto result = calc ? result_types_.find(col->name) : result_types_.end();
      const int of_type = result == result_types_.end() ? col->col_type : result->second;
      if (DeclaredType(of_type) == nullptr) {
        not_read[Lower(table_) + "\n" + Lower(col->name)] =
            "the Jet file '" + path_ + "', table '" + table_ + "', column '" + col->name +
            "' is not read: its calculated type " + std::to_string(of_type) + " is not known";
        continue;
      }
      std::string type = DeclaredType(of_type);
      if (of_type == MDB_TEXT) {
        const int bytes = calc ? col->col_size - kCalcOverhead : col->col_size;
        type += "(" + std::to_string(std::max(1, jet3_ ? bytes : bytes / 2)) + ")";
      }
      const std::string sep = columns.empty() ? "" : ", ";
      create += sep + QuoteName(col->name) + (type.empty() ? "" : " " + type);
      insert += sep + "?";
      columns.push_back({col, calc});
      field_of.push_back(static_cast<int>(i));
    }
    column_.clear();
    if (columns.empty()) {
      not_read[Lower(table_)] = "table '" + table_ + "' is not read: none of its columns can be";
      return;
    }
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
      for (std::size_t c = 0; c < columns.size(); ++c) {
        column_ = columns[c].col->name;
        // mdb_crack_row gives the fields in the order of the columns.
        Bind(stmt.get(), static_cast<int>(c) + 1,
             FieldValue(*columns[c].col, fields[field_of[c]], columns[c].calculated));
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
      if (b->bytes.empty()) {
        sqlite3_bind_zeroblob(s, index, 0);  // an empty byte string, not Null
      } else {
        sqlite3_bind_blob(s, index, b->bytes.data(), static_cast<int>(b->bytes.size()),
                          SQLITE_TRANSIENT);
      }
    } else {
      sqlite3_bind_null(s, index);
    }
  }

  static Blob BlobOf(const void* p, std::size_t n) {
    const auto* bytes = static_cast<const unsigned char*>(p);
    return Blob{std::vector<unsigned char>(bytes, bytes + n)};
  }

  // The value a calculated column wraps.
  std::string_view Unwrap(std::string_view stored) const {
    if (stored.size() < kCalcData) return stored;
    const std::size_t length =
        Le32(reinterpret_cast<const unsigned char*>(stored.data()) + kCalcLength);
    return stored.substr(kCalcData, std::min(length, stored.size() - kCalcData));
  }

  // A calculated Decimal: a 2-byte length, the scale, the sign, then the
  // number in 4-byte and 8-byte groups, each little-endian, the most
  // significant group first.
  Value CalculatedDecimal(std::string_view data) const {
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    if (data.size() < 4) Fail("a calculated decimal value is damaged");
    const int total = Le16(p);
    std::size_t n = (total > 0 ? static_cast<std::size_t>(total) : data.size() - 2) - 2;
    n = std::min<std::size_t>(n / 4 * 4, 16);
    if (4 + n > data.size()) Fail("a calculated decimal value is damaged");
    const int scale = p[2];
    const bool negative = p[3] != 0;
    Uint128 value = 0;
    std::size_t at = 4;
    const auto group = [&](std::size_t width) {
      for (std::size_t i = width; i-- > 0;) value = value << 8 | p[at + i];
      at += width;
    };
    if (n % 8 != 0) group(4);
    while (at < 4 + n) group(8);
    if (scale > 38) Fail("a calculated decimal value is damaged");
    return ExactDecimal(negative, Digits(value), scale);
  }

  Value FieldValue(const MdbColumn& col, const MdbField& f, bool calculated) {
    if (calculated) return CalculatedValue(col, f);
    if (col.col_type == MDB_BOOL) return std::int64_t{f.is_null ? 0 : -1};  // the null bit is the value
    if (f.is_null) return Null();
    switch (col.col_type) {
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
      default: {
        const unsigned char* p = Bytes(f, 0);
        return Scalar(col.col_type, std::string_view(reinterpret_cast<const char*>(p),
                                                     static_cast<std::size_t>(f.siz)));
      }
    }
  }

  // A calculated column's value: the stored bytes (in the row, or a long
  // value for memo) unwrapped, then read as its type.
  Value CalculatedValue(const MdbColumn& col, const MdbField& f) {
    if (f.is_null) return Null();
    std::string stored;
    if (col.col_type == MDB_MEMO) {
      stored = LongValue(f);
    } else {
      stored.assign(reinterpret_cast<const char*>(Bytes(f, 0)), static_cast<std::size_t>(f.siz));
    }
    const std::string_view data = Unwrap(stored);
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    const auto result = result_types_.find(col.name);
    const int type = result == result_types_.end() ? col.col_type : result->second;
    if (type == MDB_MEMO && col.col_type != MDB_MEMO && data.size() >= kLongValueHeader) {
      // A memo result in a text column: the wrapped bytes are a long value's
      // header, in the row.
      MdbField inner = f;
      inner.value = static_cast<unsigned char*>(f.value) + (data.data() - stored.data());
      inner.siz = static_cast<int>(data.size());
      const std::string text = LongValue(inner);
      const std::string_view value = Unwrap(text);
      return Text(reinterpret_cast<const unsigned char*>(value.data()), value.size());
    }
    if (type == MDB_TEXT || type == MDB_MEMO) return Text(p, data.size());
    if (data.empty()) return Null();  // an expression without a value
    if (result != result_types_.end()) {
      if (type == MDB_BOOL) return std::int64_t{p[0] != 0 ? -1 : 0};
      if (type == MDB_NUMERIC) return CalculatedDecimal(data);
      return Scalar(type, data);
    }
    // A Yes/No result is one byte, whatever type the column names.
    if (col.col_type == MDB_BOOL || data.size() == 1) return std::int64_t{p[0] != 0 ? -1 : 0};
    // A column declared Decimal may hold a Single or a Double result.
    if (col.col_type == MDB_NUMERIC && data.size() == 4) return Scalar(MDB_FLOAT, data);
    if (col.col_type == MDB_NUMERIC && data.size() == 8) return Scalar(MDB_DOUBLE, data);
    if (col.col_type == MDB_NUMERIC) return CalculatedDecimal(data);
    return Scalar(col.col_type, data);
  }

  // A value of a fixed-size type from its bytes.
  Value Scalar(int type, std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto need = [&](std::size_t n) {
      if (bytes.size() < n) Fail("a value is shorter than its type");
    };
    switch (type) {
      case MDB_BYTE: need(1); return std::int64_t{p[0]};
      case MDB_INT: need(2); return std::int64_t{static_cast<std::int16_t>(Le16(p))};
      case MDB_LONGINT: need(4); return std::int64_t{static_cast<std::int32_t>(Le32(p))};
      case kLargeNumber: need(8); return Le64(p);
      case MDB_MONEY: {
        need(8);
        const std::int64_t units = Le64(p);
        const std::uint64_t magnitude =
            units < 0 ? ~static_cast<std::uint64_t>(units) + 1 : static_cast<std::uint64_t>(units);
        return ExactDecimal(units < 0, std::to_string(magnitude), 4);
      }
      case MDB_FLOAT: {
        // The shortest decimal that reads back as the same Single, so 0.15
        // stays 0.15 and does not become 0.150000005960464.
        need(4);
        float single;
        std::memcpy(&single, p, 4);  // little-endian, as the file
        std::array<char, 32> buf{};
        const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), single);
        return std::strtod(std::string(buf.data(), r.ptr).c_str(), nullptr);
      }
      case MDB_DOUBLE: {
        need(8);
        double d;
        std::memcpy(&d, p, 8);
        return d;
      }
      case MDB_DATETIME: {
        need(8);
        double d;
        std::memcpy(&d, p, 8);
        return DateText(d);
      }
      case kExtendedDate: return ExtendedDateText(bytes);
      case MDB_REPID: {
        need(16);
        char buf[40];
        std::snprintf(buf, sizeof buf,
                      "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", Le32(p), Le16(p + 4),
                      Le16(p + 6), p[8], p[9], p[10], p[11], p[12], p[13], p[14], p[15]);
        return std::string(buf);
      }
      case MDB_TEXT: return Text(p, bytes.size());
      case MDB_BINARY: return BlobOf(p, bytes.size());
      default: Fail("its type " + std::to_string(type) + " is not known");
    }
  }

  // A Date/Time Extended value: "DDDDDDDDDDDDDDDDDDD:TTTTTTTTTTTTTTTTTTT:7",
  // days since 0001-01-01 and the time of day in units of 100 ns.
  std::string ExtendedDateText(std::string_view bytes) const {
    const auto number = [&](std::size_t at, std::size_t n, std::int64_t& out) {
      if (at + n > bytes.size()) return false;
      const auto r = std::from_chars(bytes.data() + at, bytes.data() + at + n, out);
      return r.ec == std::errc() && r.ptr == bytes.data() + at + n;
    };
    std::int64_t days = 0, ticks = 0;
    if (!number(0, 19, days) || bytes.size() < 20 || bytes[19] != ':' || !number(20, 19, ticks) ||
        days > 3652058 || ticks >= 864000000000) {
      Fail("a Date/Time Extended value is damaged");
    }
    std::int64_t y;
    unsigned m, d;
    CivilFromDays(days - 719162, y, m, d);  // 0001-01-01 is 719162 days before 1970-01-01
    char buf[64];
    const std::int64_t seconds = ticks / 10000000;
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u", static_cast<long long>(y), m, d);
    std::string out = buf;
    if (ticks != 0) {
      std::snprintf(buf, sizeof buf, " %02d:%02d:%02d", static_cast<int>(seconds / 3600),
                    static_cast<int>(seconds / 60 % 60), static_cast<int>(seconds % 60));
      out += buf;
      if (ticks % 10000000 != 0) {
        std::snprintf(buf, sizeof buf, ".%07lld", static_cast<long long>(ticks % 10000000));
        std::string fraction = buf;
        while (fraction.back() == '0') fraction.pop_back();
        out += fraction;
      }
    }
    return out;
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
  std::map<std::string, int> result_types_;  // of the calculated columns of the table read
  std::map<std::string, std::string> complex_types_;  // see ComplexColumnTypes
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

JetImport::JetImport(const std::string& jet_path) : jet_path_(jet_path) {
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
  reader.ImportAll(raw, not_read_);
  replaced_ = reader.replaced();
  if (sqlite3_exec(raw, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
    throw Error(err::kEngineError, "Engine error: the temporary file '" + sqlite_path_ +
                                       "' for the Jet file '" + jet_path +
                                       "' cannot be written (" + sqlite3_errmsg(raw) + ")");
  }
}

// The folder goes with the import in it.
JetImport::~JetImport() = default;

void JetImport::CheckTable(std::string_view table) const {
  const auto it = not_read_.find(Lower(table));
  if (it != not_read_.end()) {
    throw Error(err::kTableNotFound,
                "Table not found: the Jet file '" + jet_path_ + "': " + it->second);
  }
}

void JetImport::CheckColumn(std::string_view table, std::string_view column) const {
  const auto it = not_read_.find(Lower(table) + "\n" + Lower(column));
  if (it != not_read_.end()) {
    throw Error(err::kItemNotFound, "Item not found in this collection: " + it->second);
  }
}

}  // namespace relamor::db
