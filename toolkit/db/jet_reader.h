// Old databases that are Jet files (Jet 3, Jet 4 and ACE), read through libmdb.
//
// A Jet file is not served directly. JetImport reads every user table of it,
// once, into a private SQLite file in a private folder of the temporary
// directory (TMPDIR, else /tmp; platform::PrivateFolder), and the database
// layer opens that file read-only in the Jet file's place; statements,
// recordsets, TableDefs and the set-based append then work on it unchanged.
// The import is removed when the JetImport is destroyed, which happens when
// the connection closes (at the latest when the Engine goes, on the error
// path too); the folder of a run killed outright is removed by a later one.
//
// Rows come in stored order: the table's data pages in the order of its page
// map, the rows of a page in slot order, a row that was moved to another page
// read where its pointer stands. A file is refused only on evidence of damage
// (a page beyond the end of the file, a page that is not what the table's
// map or a row's pointer says, a row that cannot be decoded) or when it is
// encrypted (an ACE file with a password; a Jet file saved encoded, whose
// pages libmdb decodes, is read). The row count a table definition records
// is not trusted (Jet leaves it stale): a copy cut short is refused by its
// missing pages.
//
// Values are decoded from the stored bytes, not from libmdb's text forms:
// Null by the row's null bitmap, Yes/No as -1/0, dates as "YYYY-MM-DD" or
// "YYYY-MM-DD HH:MM:SS" for every date Jet can store (years 100 to 9999;
// Date/Time Extended with its fraction of a second, ".fffffff" without
// trailing zeros), Large Number as a 64-bit integer, Currency and Decimal
// exactly (a real number when it has at most 15 significant digits, else
// its exact decimal text), GUIDs as "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}",
// memo text in full and always as text, Binary and OLE values as byte
// strings (an empty one stays an empty byte string), calculated columns as
// their value. The import's columns are declared so that SQLite keeps each
// value as read: memo as LONGTEXT, Single as FLOAT, Currency and Decimal
// with no type (no affinity). Jet 3 text is converted from the file's code
// page, or from the one RELAMOR_JET3_CODEPAGE names (e.g. 1251); a character
// the code page cannot convert is read as "?", counted, and the count is
// reported on standard error per table.
//
// What is not read does not stop the file: a linked table, an attachment or
// multi-value column, a column of a type not known here. They are left out
// of the import, and reading one (a mapping naming it) ends with an error
// that says why: JetImport::CheckTable and CheckColumn.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace relamor::platform {
class PrivateFolder;
}

namespace relamor::db {

// Whether the file at `path` begins with the header of a Jet 3, Jet 4 or ACE
// database; false for a file that cannot be read.
bool IsJetFile(const std::string& path);
// The same test on the first 20 bytes of a file (`size` of them were read).
bool IsJetHeader(const char* header, std::size_t size);

class JetImport {
 public:
  // Imports the Jet file at `jet_path`. Throws Error 3049 naming the file,
  // and the table and column where there are such, when the file is damaged
  // or libmdb cannot read it; nothing is left behind then.
  explicit JetImport(const std::string& jet_path);
  ~JetImport();  // removes the import
  JetImport(const JetImport&) = delete;
  JetImport& operator=(const JetImport&) = delete;

  // The SQLite file holding the import.
  const std::string& sqlite_path() const { return sqlite_path_; }
  // Characters of text read as "?" because the file's code page cannot
  // convert them.
  long replaced_characters() const { return replaced_; }

  // Throws Error 3078 when `table` is a linked table of the file ("... table
  // 'X' is linked to ...; linked tables are not read").
  void CheckTable(std::string_view table) const;
  // Throws Error 3265 when `column` of `table` was left out of the import,
  // naming the file, the table, the column and why (its type, or that it is
  // an attachment or multi-value column).
  void CheckColumn(std::string_view table, std::string_view column) const;

 private:
  std::unique_ptr<platform::PrivateFolder> folder_;  // holds the import
  std::string jet_path_;
  std::string sqlite_path_;
  long replaced_ = 0;
  // Why a linked table ("table") or a column ("table\ncolumn"), names in
  // lower case, is not read.
  std::map<std::string, std::string> not_read_;
};

}  // namespace relamor::db
