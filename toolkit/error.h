// Run-time errors of the converters.
//
// Every failure is an `Error`: a stable number and a description that names
// the object concerned (file, table, field, statement). Only the run frame
// catches them; it writes the description to the run log, records "False"
// and ends the run.
//
// The numbers follow the original platform wherever an operator or an old log
// may know them:
//
//   5     Invalid procedure call      the directories given do not fit (swapped)
//   6     Overflow                    a 16-bit counter or value out of range
//   9     Subscript out of range      a fixed-size list is full
//   13    Type mismatch               a text that is not a number
//   18    User interrupt              a signal asked the run to stop
//   53    File not found              a template or database file is missing
//   57    Device I/O error            the run log could not be written
//   75    Path/File access error      a file could not be copied or changed
//   94    Invalid use of Null         a Null where a value is required
//   429   Cannot create component     the database engine cannot start
//   3020  Update without AddNew/Edit
//   3021  No current record           a move or read past the last row
//   3022  Duplicate value             a key or UNIQUE column refused a row
//   3024  Database not found          OpenDatabase on a missing file
//   3027  Cannot update               read-only database or recordset
//   3049  Not a database              the file is damaged or of another kind
//   3061  Undefined name              a statement names an unknown column
//   3075  Syntax error                a statement the engine cannot parse
//   3078  Table not found             a statement or recordset names no table
//   3163  Field too small             a text longer than its column allows
//   3265  Item not found              a field or table not in the collection
//   3314  Null not allowed            a NOT NULL column refused Null
//   3420  Object invalid              a database or recordset used after Close
//   3421  Data type conversion error  a value the column's type refuses
//   3146  Engine error                any other failure reported by SQLite
#pragma once

#include <stdexcept>
#include <string>

namespace relamor {

namespace err {
inline constexpr int kInvalidProcedureCall = 5;
inline constexpr int kOverflow = 6;
inline constexpr int kSubscriptOutOfRange = 9;
inline constexpr int kTypeMismatch = 13;
inline constexpr int kUserInterrupt = 18;
inline constexpr int kFileNotFound = 53;
inline constexpr int kDeviceIo = 57;
inline constexpr int kPathFileAccess = 75;
inline constexpr int kInvalidUseOfNull = 94;
inline constexpr int kCannotCreateComponent = 429;
inline constexpr int kUpdateWithoutAddNew = 3020;
inline constexpr int kNoCurrentRecord = 3021;
inline constexpr int kDuplicateValue = 3022;
inline constexpr int kDatabaseNotFound = 3024;
inline constexpr int kCannotUpdate = 3027;
inline constexpr int kNotADatabase = 3049;
inline constexpr int kUndefinedName = 3061;
inline constexpr int kSyntaxError = 3075;
inline constexpr int kTableNotFound = 3078;
inline constexpr int kEngineError = 3146;
inline constexpr int kFieldTooSmall = 3163;
inline constexpr int kItemNotFound = 3265;
inline constexpr int kNullNotAllowed = 3314;
inline constexpr int kObjectInvalid = 3420;
inline constexpr int kConversionError = 3421;
}  // namespace err

class Error : public std::runtime_error {
 public:
  Error(int number, std::string description)
      : std::runtime_error(std::move(description)), number_(number) {}

  int number() const { return number_; }
  std::string description() const { return what(); }

 private:
  int number_;
};

}  // namespace relamor
