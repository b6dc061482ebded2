#include "toolkit/db/types.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/test_db.h"
#include "toolkit/error.h"

namespace relamor::db {
namespace {

using namespace relamor::testing;

TEST(TypesTest, DeclaredTypesAreReadWithoutRegardToCaseOrBlanks) {
  struct Case {
    const char* declared;
    TypeKind kind;
    long max_length;
    bool counter;
  };
  const std::vector<Case> cases = {
      {"BYTE", TypeKind::kByte, 0, false},
      {"short", TypeKind::kShort, 0, false},
      {"SmallInt", TypeKind::kShort, 0, false},
      {"LONG", TypeKind::kLong, 0, false},
      {"int", TypeKind::kLong, 0, false},
      {"INTEGER", TypeKind::kLong, 0, false},
      {"COUNTER", TypeKind::kLong, 0, true},
      {"AutoIncrement", TypeKind::kLong, 0, true},
      {"SINGLE", TypeKind::kReal, 0, false},
      {"double", TypeKind::kReal, 0, false},
      {"FLOAT", TypeKind::kReal, 0, false},
      {"REAL", TypeKind::kReal, 0, false},
      {"CURRENCY", TypeKind::kReal, 0, false},
      {"NUMERIC(10, 2)", TypeKind::kReal, 0, false},
      {"YESNO", TypeKind::kYesNo, 0, false},
      {"bit", TypeKind::kYesNo, 0, false},
      {"BOOLEAN", TypeKind::kYesNo, 0, false},
      {"TEXT(50)", TypeKind::kText, 50, false},
      {"varchar (20)", TypeKind::kText, 20, false},
      {"CHAR(1)", TypeKind::kText, 1, false},
      {"TEXT", TypeKind::kText, 0, false},
      {"MEMO", TypeKind::kText, 0, false},
      {"LONGTEXT", TypeKind::kText, 0, false},
      {"VARCHAR", TypeKind::kText, 0, false},
      {"DATETIME", TypeKind::kDateTime, 0, false},
      {"date", TypeKind::kDateTime, 0, false},
      {"", TypeKind::kAsGiven, 0, false},
      {"BLOB", TypeKind::kAsGiven, 0, false},
      {"UNSIGNED BIG INT", TypeKind::kAsGiven, 0, false},
  };
  for (const Case& c : cases) {
    const ColumnType type = ParseDeclaredType(c.declared);
    EXPECT_EQ(type.kind, c.kind) << c.declared;
    EXPECT_EQ(type.max_length, c.max_length) << c.declared;
    EXPECT_EQ(type.counter, c.counter) << c.declared;
  }
}

// Each row of the types table: accepted values and their stored form.
TEST(TypesTest, ValuesAreConvertedToTheColumnType) {
  struct Case {
    const char* declared;
    Value given;
    Value stored;
  };
  const std::vector<Case> cases = {
      {"BYTE", T("255"), I(255)},
      {"BYTE", R(2.5), I(2)},
      {"SHORT", T(" -32768 "), I(-32768)},
      {"SHORT", R(3.5), I(4)},
      {"LONG", T("2147483647"), I(2147483647)},
      {"LONG", R(-1.5), I(-2)},
      {"COUNTER", T("12"), I(12)},
      {"DOUBLE", T("2.5"), R(2.5)},
      {"CURRENCY", I(3), R(3.0)},
      {"YESNO", I(1), I(-1)},
      {"YESNO", T("-1"), I(-1)},
      {"BIT", R(0.0), I(0)},
      {"BOOLEAN", T("0"), I(0)},
      {"TEXT(3)", T("abc"), T("abc")},
      {"TEXT(2)", T("\xc3\xa4\xc3\xb6"), T("\xc3\xa4\xc3\xb6")},  // two characters, four bytes
      {"TEXT", I(42), T("42")},
      {"MEMO", R(2.5), T("2.5")},
      {"DATETIME", T("2024-02-29"), T("2024-02-29")},
      {"DATETIME", T("2024-3-5 7:08"), T("2024-03-05 07:08:00")},
      {"DATE", T("2024-03-05T07:08:09.250"), T("2024-03-05 07:08:09.250")},
      {"DATETIME", T("13:45:00"), T("1899-12-30 13:45:00")},
      {"DATETIME", R(45000.5), T("2023-03-15 12:00:00")},
      {"DATETIME", I(2), T("1900-01-01")},
      {"WHATEVER", T("abc"), T("abc")},
      {"WHATEVER", I(5), I(5)},
      {"LONG", Null(), Null()},
      {"TEXT(1)", Null(), Null()},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ConvertForColumn(c.given, ParseDeclaredType(c.declared), "t", "c"), c.stored)
        << c.declared << " " << Describe(c.given);
  }
}

TEST(TypesTest, RefusalsNameTableColumnAndValue) {
  struct Case {
    const char* declared;
    Value given;
    int number;
  };
  const std::vector<Case> cases = {
      {"BYTE", T("x"), err::kConversionError},
      {"BYTE", I(256), err::kOverflow},
      {"BYTE", I(-1), err::kOverflow},
      {"SHORT", T("1a"), err::kConversionError},
      {"SHORT", I(32768), err::kOverflow},
      {"SMALLINT", R(-32768.6), err::kOverflow},
      {"LONG", T("abc"), err::kConversionError},
      {"INTEGER", R(3e9), err::kOverflow},
      {"COUNTER", T(""), err::kConversionError},
      {"DOUBLE", T("1,5"), err::kConversionError},
      {"REAL", Value{Blob{{1}}}, err::kConversionError},
      {"YESNO", T("True"), err::kConversionError},
      {"TEXT(3)", T("abcd"), err::kFieldTooSmall},
      {"CHAR(1)", I(10), err::kFieldTooSmall},
      {"DATETIME", T("yesterday"), err::kConversionError},
      {"DATETIME", T("2023-02-29"), err::kConversionError},
      {"DATETIME", T("2024-01-01 24:00"), err::kConversionError},
      {"DATETIME", T("45000"), err::kConversionError},
  };
  for (const Case& c : cases) {
    const Error e = ErrorOf(
        [&] { ConvertForColumn(c.given, ParseDeclaredType(c.declared), "sites", "siteID"); });
    EXPECT_EQ(e.number(), c.number) << c.declared << " " << Describe(c.given);
    EXPECT_NE(e.description().find("'sites.siteID'"), std::string::npos) << e.description();
  }

  EXPECT_EQ(ErrorOf([] {
              ConvertForColumn(T("abc"), ParseDeclaredType("LONG"), "sites", "siteID");
            }).description(),
            "Data type conversion error: the field 'sites.siteID' takes a whole number, not 'abc'");
  EXPECT_EQ(ErrorOf([] {
              ConvertForColumn(I(300), ParseDeclaredType("BYTE"), "boards", "kind");
            }).description(),
            "Overflow: 300 does not fit the field 'boards.kind' (0 to 255)");
  EXPECT_EQ(ErrorOf([] {
              ConvertForColumn(T("abcd"), ParseDeclaredType("TEXT(3)"), "t", "c");
            }).description(),
            "Field too small: the field 't.c' takes at most 3 characters, not 4 in 'abcd'");
}

}  // namespace
}  // namespace relamor::db
