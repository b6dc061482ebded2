// Old databases that are Jet files, read from the two real sample files in
// tests/data/jet (a Jet 3 and a Jet 4 file) and from damaged copies of them.
#include "toolkit/db/jet_reader.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tests/support/test_db.h"
#include "toolkit/db/database.h"
#include "toolkit/error.h"

namespace relamor::db {
namespace {

using namespace relamor::testing;

const std::string kNwind = RELAMOR_SOURCE_DIR "/tests/data/jet/nwind.mdb";
const std::string kDates = RELAMOR_SOURCE_DIR "/tests/data/jet/DateTestDatabase.mdb";
std::string Sample(const char* name) { return RELAMOR_SOURCE_DIR "/tests/data/jet/" + std::string(name); }
constexpr std::size_t kJet3Page = 2048;

bool Empty(const std::string& dir) { return std::filesystem::is_empty(dir); }

// Each table with its row count, in the order of TableDefs.
std::vector<std::pair<std::string, std::int64_t>> RowCounts(Database& db) {
  std::vector<std::pair<std::string, std::int64_t>> counts;
  for (const TableDef& def : db.TableDefs()) {
    Recordset rs = db.OpenRecordset("SELECT count(*) FROM [" + def.name + "]");
    counts.emplace_back(def.name, std::get<std::int64_t>(rs.Get(0)));
  }
  return counts;
}

// Every table with every row, as text: what a copy of a file must read to
// read the same.
std::string Dump(Database& db) {
  std::string out;
  for (const TableDef& def : db.TableDefs()) {
    out += def.name + ":\n";
    for (Recordset rs = db.OpenRecordset("SELECT * FROM [" + def.name + "]"); !rs.Eof(); rs.MoveNext()) {
      for (int i = 0; i < rs.FieldCount(); ++i) {
        const Value v = rs.Get(i);
        if (const auto* b = std::get_if<Blob>(&v)) {
          out += "|blob " + std::to_string(b->bytes.size()) + " " +
                 std::to_string(std::hash<std::string>()(std::string(b->bytes.begin(), b->bytes.end())));
        } else {
          out += "|" + (IsNull(v) ? std::string("Null") : ToText(v));
        }
      }
      out += "\n";
    }
  }
  return out;
}

// The first row of a statement, field by field.
std::vector<Value> FirstRow(Database& db, const std::string& statement) {
  Recordset rs = db.OpenRecordset(statement);
  std::vector<Value> row;
  for (int i = 0; i < rs.FieldCount(); ++i) row.push_back(rs.Get(i));
  return row;
}

// Row counts are those mdb-export gives for the same tables.
TEST(JetFile, EveryTableReadsWithAllItsRowsAndImportLivesOutsideTheOldDirectory) {
  TempDir old_dir, tmp;
  const std::string path = old_dir.File("qord007.mdb");
  WriteFile(path, FileBytes(kNwind));
  ASSERT_EQ(::setenv("TMPDIR", tmp.path().c_str(), 1), 0);
  EXPECT_TRUE(IsJetFile(path));
  EXPECT_FALSE(IsJetFile(old_dir.path()));
  {
    Engine engine;
    Database db = engine.OpenDatabase(path, OpenMode::kReadOnly);
    // The catalog's stored order: some of its rows were moved to other pages.
    const std::vector<std::pair<std::string, std::int64_t>> expected = {
        {"Categories", 8},     {"Customers", 91},  {"Employees", 9},
        {"Order Details", 2155}, {"Orders", 830},  {"Products", 77},
        {"Shippers", 3},       {"Suppliers", 29}, {"Umsätze", 830}};
    EXPECT_EQ(RowCounts(db), expected);
    EXPECT_FALSE(Empty(tmp.path()));  // the import
    EXPECT_EQ(std::filesystem::directory_iterator(old_dir.path())->path(), path);

    // Writes are refused, whichever way they come, also when opened for writing.
    Database rw = engine.OpenDatabase(path);
    Error e = ErrorOf([&] { rw.Execute("DELETE FROM Shippers"); });
    EXPECT_EQ(e.number(), err::kCannotUpdate);
    EXPECT_EQ(e.description(), "Cannot update: the database '" + path + "' is a read-only Jet file");
    Recordset rs = rw.OpenRecordset("Shippers");
    e = ErrorOf([&] { rs.AddNew(); });
    EXPECT_EQ(e.number(), err::kCannotUpdate);
    EXPECT_NE(e.description().find("is a read-only Jet file"), std::string::npos) << e.description();
  }
  EXPECT_TRUE(Empty(tmp.path()));  // removed when the run's engine goes

  Engine engine;
  Database db = engine.OpenDatabase(kDates, OpenMode::kReadOnly);
  EXPECT_EQ(RowCounts(db), (std::vector<std::pair<std::string, std::int64_t>>{{"DateTest", 6}}));
  db.Close();
  EXPECT_TRUE(Empty(tmp.path()));
  ::unsetenv("TMPDIR");
}

TEST(JetFile, ValuesKeepTheirTypesNullsAndStoredOrder) {
  Engine engine;
  Database db = engine.OpenDatabase(kNwind, OpenMode::kReadOnly);
  // Stored order (not key order); Long, Text with a non-ASCII letter, dates,
  // Currency, Null.
  std::vector<Value> orders = FirstRow(db, "Orders");
  ASSERT_EQ(orders.size(), 14u);
  EXPECT_EQ(orders[0], I(10330));
  EXPECT_EQ(orders[3], T("1994-11-16"));
  EXPECT_EQ(orders[7], R(12.75));
  EXPECT_EQ(orders[9], T("Carrera 52 con Ave. Bolívar #65-98 Llano Largo"));
  EXPECT_EQ(FirstRow(db, "SELECT ShipRegion FROM Orders WHERE OrderID = 10331")[0], Null());
  EXPECT_EQ(FirstRow(db, "SELECT ShipCity FROM [Umsätze] WHERE OrderID = 10331")[0],
            T("Marseille"));
  // Integer, Single (as its shortest decimal), Currency; Yes/No as -1 and 0.
  EXPECT_EQ(FirstRow(db, "SELECT Quantity, Discount, UnitPrice FROM [Order Details] "
                         "WHERE OrderID = 10250 AND ProductID = 51"),
            (std::vector<Value>{I(35), R(0.15), R(42.4)}));
  EXPECT_EQ(FirstRow(db, "SELECT Discontinued FROM Products WHERE ProductID = 5")[0], I(-1));
  EXPECT_EQ(FirstRow(db, "SELECT Discontinued FROM Products WHERE ProductID = 1")[0], I(0));
  // Memo in full (448 characters, on pages of their own), OLE as bytes,
  // a Null Long, a date with its birth year.
  std::vector<Value> fuller = FirstRow(
      db, "SELECT Notes, Photo, ReportsTo, BirthDate FROM Employees WHERE EmployeeID = 2");
  const std::string& notes = std::get<std::string>(fuller[0]);
  EXPECT_EQ(notes.size(), 448u);
  EXPECT_EQ(notes.substr(notes.size() - 22), "Importers Association.");
  EXPECT_GT(std::get<Blob>(fuller[1]).bytes.size(), 10000u);
  EXPECT_EQ(fuller[2], Null());
  EXPECT_EQ(fuller[3], T("1952-02-19"));
  std::vector<Value> beverages = FirstRow(db, "SELECT Description, Picture FROM Categories");
  EXPECT_EQ(beverages[0], T("Soft drinks, coffees, teas, beers, and ales"));
  EXPECT_EQ(std::get<Blob>(beverages[1]).bytes.size(), 10746u);

  // Jet 4: dates before 1900, before 1000 and in the year 9999 (which
  // mdb-export prints as 1900-01-00), memo and text in UCS-2.
  Database dates = engine.OpenDatabase(kDates, OpenMode::kReadOnly);
  Recordset rs = dates.OpenRecordset("SELECT DateTimeCol, DateCol, TimeCol, LongTextCol, "
                                     "ShortTextCol FROM DateTest ORDER BY IDCol");
  std::vector<std::vector<Value>> rows;
  for (; !rs.Eof(); rs.MoveNext()) {
    rows.push_back({rs.Get(0), rs.Get(1), rs.Get(2), rs.Get(3), rs.Get(4)});
  }
  ASSERT_EQ(rows.size(), 6u);
  EXPECT_EQ(rows[0], (std::vector<Value>{T("2021-12-02"), T("2021-12-02"), T("2021-12-02"),
                                         T("Hello"), T("Hello")}));
  EXPECT_EQ(rows[1][0], T("9999-01-01"));
  EXPECT_EQ(rows[1][3], T("Year 9999"));
  EXPECT_EQ((std::vector<Value>{rows[2][0], rows[2][1], rows[2][2]}),
            (std::vector<Value>{T("1898-01-01"), T("1899-01-01"), T("1900-01-01")}));
  EXPECT_EQ((std::vector<Value>{rows[3][0], rows[3][1], rows[3][2]}),
            (std::vector<Value>{T("0632-01-01"), T("0633-01-01"), T("0634-01-01")}));
  EXPECT_EQ(rows[5][3], T("New line\r\nin field"));
}

// Each column of a query's rows, in the order of its first column.
std::vector<std::vector<Value>> Rows(Database& db, const std::string& statement) {
  std::vector<std::vector<Value>> rows;
  for (Recordset rs = db.OpenRecordset(statement); !rs.Eof(); rs.MoveNext()) {
    std::vector<Value> row;
    for (int i = 0; i < rs.FieldCount(); ++i) row.push_back(rs.Get(i));
    rows.push_back(std::move(row));
  }
  return rows;
}

// Defects of the reader shown by files of other projects' test suites
// (tests/data/jet/SOURCES.md); the expected values are those their tests
// assert.
TEST(JetFile, ValuesKeepTypeAndEveryDigitInStoredOrder) {
  Engine engine;
  // Rows 3 and 5 were moved to other pages: read in stored order, not where
  // they lie (1, 2, 4, 6, 7, 3, 5).
  Database overflow = engine.OpenDatabase(Sample("overflowTestV2000.mdb"), OpenMode::kReadOnly);
  std::vector<Value> order;
  for (const auto& row : Rows(overflow, "SELECT data1, data3 FROM Table1")) {
    order.push_back(IsNull(row[0]) ? row[1] : row[0]);
  }
  EXPECT_EQ(order, (std::vector<Value>{T("row1col1"), T("row2col1"), T("row3col3"), T("row4col1"),
                                       T("row5col2"), T("row6col2"), T("row7col1")}));

  // Calculated columns read as their value: text, Long, Currency, Double,
  // Yes/No, and Decimal of 30 digits (exact, as text), a Single in a
  // Decimal column.
  Database calc = engine.OpenDatabase(Sample("calcFieldTestV2010.accdb"), OpenMode::kReadOnly);
  EXPECT_EQ(FirstRow(calc, "SELECT LastFirst, LastFirstLen, Salary, MonthlySalary, IsRich, AllNames, "
                           "SalaryTest, Popularity, DecimalTest, FloatTest, BigNumTest FROM Table1"),
            (std::vector<Value>{T("Wayne, Bruce"), I(12), R(1000000), R(83333.3333), I(-1),
                                T("Wayne, Bruce=Wayne, Bruce"), R(1000000), R(50.325), R(50.325), R(2583.2092),
                                T("56505085819.424791296572280180")}));

  // Empty, not Null, byte strings stay empty byte strings.
  Database bin = engine.OpenDatabase(Sample("binIdxTestV2010.accdb"), OpenMode::kReadOnly);
  EXPECT_EQ(Rows(bin, "SELECT ID, BinAsc, typeof(BinAsc) FROM Test WHERE ID BETWEEN 200 AND 202 ORDER BY ID"),
            (std::vector<std::vector<Value>>{{I(200), Null(), T("null")},
                                             {I(201), Blob{}, T("blob")},
                                             {I(202), Blob{{'a'}}, T("blob")}}));

  // Date/Time Extended, to the 100 ns, from the year 100, and a calculated
  // Date/Time of it.
  Database ext = engine.OpenDatabase(Sample("extDateTestV2019.accdb"), OpenMode::kReadOnly);
  std::vector<Value> dates;
  for (const auto& row : Rows(ext, "SELECT DateExt, DateNormalCalc FROM Table1 WHERE ID IN (1, 3, 6, 8)")) {
    dates.insert(dates.end(), row.begin(), row.end());
  }
  EXPECT_EQ(dates, (std::vector<Value>{T("2020-06-17"), T("2020-06-17"), T("2021-06-14 12:45:00"),
                                       T("2021-06-14 12:45:00"), T("2021-06-14 22:45:12.3456789"),
                                       T("2021-06-14 22:45:12"), T("0100-06-14 12:45:00.1234567"),
                                       T("0100-06-14 12:45:00")}));

  // Memo text that looks like a number stays text; Currency keeps its 19
  // digits (the bytes of nwind.mdb changed in place).
  TempDir dir;
  std::string bytes = FileBytes(kNwind);
  const std::size_t memo = bytes.find("Soft drinks, coffees, teas, beers, and ales");
  ASSERT_NE(memo, std::string::npos);
  bytes.replace(memo, 43, std::string(41, '0') + "42");
  const std::string price("\x40\x78\x06\0\0\0\0\0", 8);  // 42.4000
  for (std::size_t at = bytes.find(price); at != std::string::npos; at = bytes.find(price, at)) {
    bytes.replace(at, 8, "\xff\xff\xff\xff\xff\xff\xff\x7f");
  }
  const std::string path = dir.File("qord007.mdb");
  WriteFile(path, bytes);
  Database patched = engine.OpenDatabase(path, OpenMode::kReadOnly);
  EXPECT_EQ(FirstRow(patched, "SELECT Description FROM Categories")[0], T("0000000000000000000000000000000000000000042"));
  EXPECT_EQ(FirstRow(patched, "SELECT UnitPrice FROM [Order Details] WHERE OrderID = 10250 AND ProductID = 51")[0],
            T("922337203685477.5807"));
}

// What is not read (a linked table, an attachment or multi-value column)
// does not stop the file; reading it ends with an error saying why.
TEST(JetFile, LinkedTablesAndComplexColumnsAreNamedWhenRead) {
  Engine engine;
  const std::string linker = Sample("linkerTestV2007.accdb");
  Database db = engine.OpenDatabase(linker, OpenMode::kReadOnly);
  EXPECT_EQ(RowCounts(db), (std::vector<std::pair<std::string, std::int64_t>>{{"Table1", 1}}));
  Error e = ErrorOf([&] { db.OpenRecordset("Table2"); });
  EXPECT_EQ(e.number(), err::kTableNotFound);
  EXPECT_EQ(e.description(), "Table not found: the Jet file '" + linker +
                                 "': table 'Table2' is linked to table 'Table1' of "
                                 "'Z:\\jackcess_test\\linkeeTest.accdb'; linked tables are not read");

  const std::string complex = Sample("complexDataTestV2007.accdb");
  Database cx = engine.OpenDatabase(complex, OpenMode::kReadOnly);
  Recordset rs = cx.OpenRecordset("Table1");
  EXPECT_EQ(rs.Get("id"), T("row1"));
  const std::vector<std::pair<std::string, std::string>> why = {
      {"multi-value-data", "a multi-value column (Text values); multi-value columns"},
      {"attach-data", "an attachment column; attachment columns"}};
  for (const auto& [column, kind] : why) {
    e = ErrorOf([&] { rs.Get(column); });
    EXPECT_EQ(e.number(), err::kItemNotFound);
    EXPECT_EQ(e.description(), "Item not found in this collection: the Jet file '" + complex +
                                   "', table 'Table1', column '" + column + "' is not read: it is " +
                                   kind + " are not read");
  }
}

// Sample files with bytes changed in place: a stale row count in a table's
// and in the catalog's definition is no damage, nor a page that a page map
// lists but that another table owns; a column of a type not known
// here is named when read, the rest reads; Large Number reads as a 64-bit
// integer; an encoded file reads, an
// encrypted one is refused; RELAMOR_JET3_CODEPAGE overrides the file's code
// page.
TEST(JetFile, StaleCountsUnknownTypesEncryptionAndCodePage) {
  TempDir dir;
  const std::string original = FileBytes(kNwind);
  const std::string path = dir.File("qord007.mdb");
  const auto set32 = [](std::string& bytes, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(v >> (8 * i));
  };
  // The entry of a column in the Jet 3 definition of a table that has it
  // (after the index entries; the names follow the entries).
  const auto entry_of = [](const std::string& bytes, const std::string& column) {
    for (std::size_t page = 0; page + kJet3Page <= bytes.size(); page += kJet3Page) {
      if (bytes[page] != 2) continue;
      const std::size_t columns = static_cast<unsigned char>(bytes[page + 25]);
      const std::size_t entries = page + 43 + 8 * static_cast<unsigned char>(bytes[page + 31]);
      std::size_t name_at = entries + 18 * columns;
      for (std::size_t i = 0; i < columns && name_at < page + kJet3Page; ++i) {
        const std::size_t n = static_cast<unsigned char>(bytes[name_at]);
        if (bytes.compare(name_at + 1, n, column) == 0 && n == column.size()) return entries + 18 * i;
        name_at += 1 + n;
      }
    }
    return std::string::npos;
  };
  const std::size_t shippers = 581 * kJet3Page, catalog = 2 * kJet3Page;
  std::string bytes = original;
  set32(bytes, shippers + 12, 2);  // 3 rows stored
  set32(bytes, catalog + 12, 5);
  const std::string name = "ShipperID";
  ASSERT_NE(entry_of(bytes, name), std::string::npos);
  bytes[entry_of(bytes, name)] = 70;
  // Currency is 8 bytes, as Large Number is.
  ASSERT_NE(entry_of(bytes, "UnitPrice"), std::string::npos);
  bytes[entry_of(bytes, "UnitPrice")] = 0x13;
  // The first data page of Orders now belongs to Shippers, as when Jet
  // reuses a page and its old table's page map still lists it.
  set32(bytes, 399 * kJet3Page + 4, 581);
  WriteFile(path, bytes);
  {
    Engine engine;
    Database db = engine.OpenDatabase(path, OpenMode::kReadOnly);
    EXPECT_EQ(RowCounts(db).size(), 9u);
    Recordset rs = db.OpenRecordset("Shippers");
    EXPECT_EQ(rs.FieldCount(), 2);
    EXPECT_EQ(rs.Get("CompanyName"), T("Speedy Express"));
    const Error e = ErrorOf([&] { rs.Get(name); });
    EXPECT_EQ(e.number(), err::kItemNotFound);
    EXPECT_EQ(e.description(), "Item not found in this collection: the Jet file '" + path +
                                   "', table 'Shippers', column '" + name +
                                   "' is not read: its type 70 is not known");
    EXPECT_EQ(Rows(db, "SELECT CompanyName FROM Shippers").size(), 3u);
    EXPECT_EQ(FirstRow(db, "SELECT count(*) FROM Orders")[0], I(830 - 17));  // its 17 rows
    EXPECT_EQ(FirstRow(db, "SELECT UnitPrice, typeof(UnitPrice) FROM [Order Details] "
                           "WHERE OrderID = 10250 AND ProductID = 51"),
              (std::vector<Value>{I(424000), T("integer")}));
  }

  // A Jet 4 file saved encoded: its pages RC4-encrypted with the header's
  // key (stored obfuscated: the bytes of the key are xored into it), each
  // with the key xor the page number. It reads as the plain file does.
  const auto rc4 = [](std::uint32_t key, char* data, std::size_t n) {
    unsigned char k[4], st[256];
    for (int i = 0; i < 4; ++i) k[i] = static_cast<unsigned char>(key >> (8 * i));
    for (int i = 0; i < 256; ++i) st[i] = static_cast<unsigned char>(i);
    for (int i = 0, j = 0; i < 256; ++i) {
      j = (j + st[i] + k[i % 4]) & 255;
      std::swap(st[i], st[j]);
    }
    for (std::size_t x = 0, i = 0, j = 0; x < n; ++x) {
      i = (i + 1) & 255;
      j = (j + st[i]) & 255;
      std::swap(st[i], st[j]);
      data[x] = static_cast<char>(data[x] ^ st[(st[i] + st[j]) & 255]);
    }
  };
  constexpr std::uint32_t kKey = 0x12345678;
  constexpr std::size_t kJet4Page = 4096;
  bytes = FileBytes(kDates);
  for (int i = 0; i < 4; ++i) bytes[0x3e + i] = static_cast<char>(bytes[0x3e + i] ^ (kKey >> (8 * i)));
  for (std::size_t p = 1; p < bytes.size() / kJet4Page; ++p) {
    rc4(kKey ^ static_cast<std::uint32_t>(p), &bytes[p * kJet4Page], kJet4Page);
  }
  WriteFile(path, bytes);
  Engine engine;
  {
    Database encoded = engine.OpenDatabase(path, OpenMode::kReadOnly);
    Database plain = engine.OpenDatabase(kDates, OpenMode::kReadOnly);
    EXPECT_EQ(Dump(encoded), Dump(plain));
  }
  // An ACE file encrypted with a password: no page after the header has a
  // page type.
  bytes = FileBytes(Sample("linkerTestV2007.accdb"));
  for (std::size_t i = kJet4Page; i < 3 * kJet4Page; ++i) bytes[i] = static_cast<char>(0xa5 ^ (i * 31));
  WriteFile(path, bytes);
  const Error e = ErrorOf([&] { engine.OpenDatabase(path, OpenMode::kReadOnly); });
  EXPECT_EQ(e.number(), err::kNotADatabase);
  EXPECT_EQ(e.description(), "Not a database: the Jet file '" + path +
                                 "' is encrypted; encrypted files are not read");

  ASSERT_EQ(::setenv("RELAMOR_JET3_CODEPAGE", "1251", 1), 0);
  {
    Database db = engine.OpenDatabase(kNwind, OpenMode::kReadOnly);
    EXPECT_EQ(FirstRow(db, "Orders")[9], T("Carrera 52 con Ave. Bolнvar #65-98 Llano Largo"));
  }
  ASSERT_EQ(::setenv("RELAMOR_JET3_CODEPAGE", "cyrillic", 1), 0);
  EXPECT_EQ(ErrorOf([&] { engine.OpenDatabase(kNwind, OpenMode::kReadOnly); }).description(),
            "Not a database: the Jet file '" + kNwind +
                "' cannot be read: RELAMOR_JET3_CODEPAGE is 'cyrillic', not the number of a code page");
  ::unsetenv("RELAMOR_JET3_CODEPAGE");
}

// A character that the file's code page (1252) does not define is read as
// "?", counted and reported, not dropped.
TEST(JetFile, CharactersOutsideTheCodePageAreCounted) {
  TempDir dir;
  std::string bytes = FileBytes(kNwind);
  const std::size_t at = bytes.find("Alfreds Futterkiste");
  ASSERT_NE(at, std::string::npos);
  bytes[at] = '\x81';
  const std::string path = dir.File("qorsite.mdb");
  WriteFile(path, bytes);
  JetImport import(path);
  EXPECT_EQ(import.replaced_characters(), 1);
  Engine engine;
  Database db = engine.OpenDatabase(path, OpenMode::kReadOnly);
  EXPECT_EQ(FirstRow(db, "SELECT CompanyName FROM Customers WHERE CustomerID = 'ALFKI'")[0],
            T("?lfreds Futterkiste"));
}

// Opens `path` in a child process under a CPU-time limit (a reader caught in
// a loop uses it up; a slow or busy machine does not) and reads every table.
// Returns "ok " and a hash of what it read (Dump), the Error's number and
// description, or how the child died.
// The child's temporary directory must be empty afterwards.
std::string OpenInChild(const std::string& path, const std::string& tmp) {
  int pipe_fd[2];
  if (::pipe(pipe_fd) != 0) return "no pipe";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(pipe_fd[0]);
    const rlimit cpu{60, 70};
    ::setrlimit(RLIMIT_CPU, &cpu);
    ::setenv("TMPDIR", tmp.c_str(), 1);
    std::string result;
    try {
      Engine engine;
      Database db = engine.OpenDatabase(path, OpenMode::kReadOnly);
      result = "ok " + std::to_string(std::hash<std::string>()(Dump(db)));
    } catch (const Error& e) {
      result = std::to_string(e.number()) + " " + e.description();
    }
    if (::write(pipe_fd[1], result.data(), result.size()) < 0) ::_exit(2);
    ::_exit(0);
  }
  ::close(pipe_fd[1]);
  std::string out;
  char buf[512];
  ssize_t n;
  while ((n = ::read(pipe_fd[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
  ::close(pipe_fd[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFSIGNALED(status)) {
    const int signal_number = WTERMSIG(status);
    return signal_number == SIGXCPU || signal_number == SIGKILL
               ? "hung"
               : "crashed with signal " + std::to_string(signal_number);
  }
  if (!Empty(tmp)) return "left its import behind: " + out;
  return out;
}

TEST(JetFile, DamagedCopiesEndWithAnErrorNamingFileAndTable) {
  TempDir dir, tmp;
  const std::string original = FileBytes(kNwind);
  const std::string path = dir.File("qorsite.mdb");
  const std::string not_a_database = std::to_string(err::kNotADatabase) +
                                     " Not a database: the Jet file '" + path + "'";
  auto page = [](std::size_t n) { return n * kJet3Page; };

  // Damage that a table shows: the error names it.
  std::map<std::string, std::string> damaged;
  damaged["Orders"] = original;  // its first data page overwritten
  for (std::size_t i = page(399); i < page(400); ++i) damaged["Orders"][i] = static_cast<char>(i * 7);
  damaged["Shippers"] = original;  // its definition says it has no columns
  damaged["Shippers"][page(581) + 25] = 0;
  damaged["Umsätze"] = original.substr(0, page(780));  // cut inside its rows
  for (const auto& [table, bytes] : damaged) {
    WriteFile(path, bytes);
    const std::string outcome = OpenInChild(path, tmp.path());
    EXPECT_EQ(outcome.rfind(not_a_database + ", table '" + table + "'", 0), 0u)
        << table << ": " << outcome;
  }

  // Garbage pages anywhere, and files cut at any of a few lengths: an error
  // naming the file, or (where the damage misses every row) exactly what the
  // intact file reads.
  std::string intact;
  {
    Engine engine;
    Database db = engine.OpenDatabase(kNwind, OpenMode::kReadOnly);
    intact = "ok " + std::to_string(std::hash<std::string>()(Dump(db)));
  }
  std::vector<std::string> copies;
  for (std::size_t every : {3, 7, 50}) {
    std::string bytes = original;
    std::uint32_t x = 12345;
    for (std::size_t p = 1; page(p + 1) <= bytes.size(); p += every) {
      for (std::size_t i = page(p); i < page(p + 1); ++i) {
        x = x * 1103515245 + 12345;
        bytes[i] = static_cast<char>(x >> 16);
      }
    }
    copies.push_back(bytes);
  }
  for (std::size_t cut : {std::size_t{100}, page(1), page(3), page(30), page(600), page(1000),
                          original.size() / 2, original.size() - kJet3Page}) {
    copies.push_back(original.substr(0, cut));
  }
  for (const std::string& bytes : copies) {
    WriteFile(path, bytes);
    const std::string outcome = OpenInChild(path, tmp.path());
    EXPECT_TRUE(outcome == intact || outcome.rfind(not_a_database, 0) == 0) << outcome;
  }
}

}  // namespace
}  // namespace relamor::db
