// Conversion of a stored value to its column's declared type.
//
// When a row is stored, each written value is converted to the declared type
// of its column, as the original engine did. Letter case of the type is
// ignored:
//   BYTE                              integer 0..255
//   SHORT, SMALLINT                   16-bit integer
//   LONG, INT, INTEGER, COUNTER,
//   AUTOINCREMENT                     32-bit integer
//   SINGLE, DOUBLE, FLOAT, REAL,
//   CURRENCY, NUMERIC                 real number
//   YESNO, BIT, BOOLEAN               -1 for any non-zero number, else 0
//   TEXT(n), VARCHAR(n), CHAR(n)      text of at most n characters
//   TEXT, MEMO, LONGTEXT, VARCHAR,
//   CHAR                              text
//   DATETIME, DATE                    text, ISO 8601
//   anything else                     the value as given
// Numbers are converted from numeric text and texts from numbers; Null stays
// Null. Refusals throw Error with the number listed in error.h and a
// description naming the table, the column and the value.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "toolkit/db/value.h"

namespace relamor::db {

enum class TypeKind {
  kAsGiven, kByte, kShort, kLong, kReal, kYesNo, kText, kDateTime
};

struct ColumnType {
  TypeKind kind = TypeKind::kAsGiven;
  long max_length = 0;   // for kText: 0 = unlimited
  bool counter = false;  // COUNTER / AUTOINCREMENT: an added row takes the next number
};

ColumnType ParseDeclaredType(std::string_view declared);

// Whether `text` is a valid date already in its stored form, "YYYY-MM-DD" or
// "YYYY-MM-DD HH:MM:SS" with any fraction of a second (".5", ".125"), which
// the conversion keeps as it is.
bool IsCanonicalDate(std::string_view text);

// The number of characters of a UTF-8 text (continuation bytes not counted),
// as a text column's largest length counts them.
long CharacterCount(std::string_view text);

// Converts `v` for a column of type `type`; `table` and `column` name it in the
// error message.
Value ConvertForColumn(const Value& v, const ColumnType& type, std::string_view table,
                       std::string_view column);

// Days since 1970-01-01 to a civil date (proleptic Gregorian calendar).
void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d);

}  // namespace relamor::db
