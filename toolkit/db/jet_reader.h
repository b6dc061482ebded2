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
// Values are decoded from the stored bytes, not from libmdb's text forms:
// Null by the row's null bitmap, Yes/No as -1/0, dates as "YYYY-MM-DD" or
// "YYYY-MM-DD HH:MM:SS" for every date Jet can store (years 100 to 9999),
// Currency and Decimal exactly (a real number when it has at most 15
// significant digits, else its exact decimal text), GUIDs as
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", memo text in full, OLE values as
// byte strings. Jet 3 text is converted from the file's code page; a
// character the code page cannot convert is read as "?", counted, and the
// count is reported on standard error per table.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

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

 private:
  std::unique_ptr<platform::PrivateFolder> folder_;  // holds the import
  std::string sqlite_path_;
  long replaced_ = 0;
};

}  // namespace relamor::db
