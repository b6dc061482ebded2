#include "toolkit/db/value.h"

#include <gtest/gtest.h>

#include "tests/support/test_db.h"
#include "toolkit/error.h"

namespace relamor {
namespace {

using testing::ErrorOf;

TEST(ValueTest, TextFormsOfNumbersAndOtherValues) {
  EXPECT_EQ(ToText(Value{std::int64_t{7}}), "7");
  EXPECT_EQ(ToText(Value{std::int64_t{-12}}), "-12");
  EXPECT_EQ(ToText(Value{2.5}), "2.5");
  EXPECT_EQ(ToText(Value{3.0}), "3");
  EXPECT_EQ(ToText(Value{-0.0}), "0");
  EXPECT_EQ(ToText(Value{0.1}), "0.1");
  EXPECT_EQ(ToText(Value{1234567.125}), "1234567.125");
  EXPECT_EQ(ToText(Value{0.0001}), "0.0001");
  EXPECT_EQ(ToText(Value{1e20}), "1e+20");
  EXPECT_EQ(ToText(Null()), "");
  EXPECT_EQ(ToText(Value{std::string("abc")}), "abc");
  EXPECT_EQ(ToText(Value{Blob{{'h', 'i'}}}), "hi");

  EXPECT_EQ(Describe(Null()), "Null");
  EXPECT_EQ(Describe(Value{std::string("abc")}), "'abc'");
  EXPECT_EQ(Describe(Value{2.5}), "2.5");
}

TEST(ValueTest, WholeNumberConversionsRoundHalfToEvenAndCheckRange) {
  EXPECT_EQ(ToInt16(Value{std::string(" 12 ")}), 12);
  EXPECT_EQ(ToInt16(Value{2.5}), 2);
  EXPECT_EQ(ToInt16(Value{3.5}), 4);
  EXPECT_EQ(ToInt16(Value{-2.5}), -2);
  EXPECT_EQ(ToInt16(Value{std::string("2.6")}), 3);
  EXPECT_EQ(ToInt16(Value{std::int64_t{32767}}), 32767);
  EXPECT_EQ(ToInt16(Value{std::int64_t{-32768}}), -32768);
  EXPECT_EQ(ToInt32(Value{std::int64_t{2147483647}}), 2147483647);
  EXPECT_EQ(ToInt32(Value{std::string("-2147483648")}), -2147483647 - 1);

  Error e = ErrorOf([] { ToInt16(Value{std::int64_t{32768}}, "site number"); });
  EXPECT_EQ(e.number(), err::kOverflow);
  EXPECT_EQ(e.description(), "Overflow: 32768 is outside -32768 to 32767 (site number)");
  EXPECT_EQ(ErrorOf([] { ToInt16(Value{32767.5}); }).number(), err::kOverflow);
  EXPECT_EQ(ErrorOf([] { ToInt32(Value{std::int64_t{2147483648}}); }).number(), err::kOverflow);

  e = ErrorOf([] { ToInt16(Null(), "sites.siteID"); });
  EXPECT_EQ(e.number(), err::kInvalidUseOfNull);
  EXPECT_EQ(e.description(), "Invalid use of Null (sites.siteID)");

  e = ErrorOf([] { ToInt32(Value{std::string("abc")}, "boards.Index"); });
  EXPECT_EQ(e.number(), err::kTypeMismatch);
  EXPECT_EQ(e.description(), "Type mismatch: 'abc' is not a number (boards.Index)");
  EXPECT_EQ(ErrorOf([] { ToInt32(Value{std::string("")}); }).number(), err::kTypeMismatch);

  EXPECT_DOUBLE_EQ(ToDouble(Value{std::string("1.5")}), 1.5);
  EXPECT_DOUBLE_EQ(ToDouble(Value{std::int64_t{3}}), 3.0);
  EXPECT_EQ(ErrorOf([] { ToDouble(Null()); }).number(), err::kInvalidUseOfNull);
  EXPECT_EQ(ErrorOf([] { ToDouble(Value{std::string("x")}); }).number(), err::kTypeMismatch);
}

TEST(ValueTest, ParseNumberAcceptsWholeTextsOnly) {
  EXPECT_EQ(ParseNumber("12"), Value{std::int64_t{12}});
  EXPECT_EQ(ParseNumber("  -7\t"), Value{std::int64_t{-7}});
  EXPECT_EQ(ParseNumber("+4"), Value{std::int64_t{4}});
  EXPECT_EQ(ParseNumber("-3.5"), Value{-3.5});
  EXPECT_EQ(ParseNumber(".5"), Value{0.5});
  EXPECT_EQ(ParseNumber("5."), Value{5.0});
  EXPECT_EQ(ParseNumber("1e3"), Value{1000.0});
  EXPECT_EQ(ParseNumber("99999999999999999999"), Value{1e20});
  for (const char* text : {"", " ", "abc", "12abc", "1e", "0x10", "-", ".", "1 2", "nan", "inf"}) {
    EXPECT_TRUE(IsNull(ParseNumber(text))) << text;
  }
}

TEST(ValueTest, EqualityAsTheEngineComparesValues) {
  const Value seven{std::int64_t{7}};
  EXPECT_FALSE(ValuesEqual(Null(), Null()));
  EXPECT_FALSE(ValuesEqual(seven, Null()));
  EXPECT_TRUE(ValuesEqual(seven, Value{7.0}));
  EXPECT_FALSE(ValuesEqual(seven, Value{7.5}));
  EXPECT_TRUE(ValuesEqual(seven, Value{std::string("7")}));
  EXPECT_TRUE(ValuesEqual(Value{std::string(" 7.0")}, seven));
  EXPECT_FALSE(ValuesEqual(Value{std::string("seven")}, seven));
  EXPECT_TRUE(ValuesEqual(Value{std::string("Sites")}, Value{std::string("SITES")}));
  EXPECT_FALSE(ValuesEqual(Value{std::string("Sites")}, Value{std::string("Site")}));
  EXPECT_TRUE(ValuesEqual(Value{Blob{{1, 2}}}, Value{Blob{{1, 2}}}));
  EXPECT_FALSE(ValuesEqual(Value{Blob{{1, 2}}}, Value{std::string("\x01\x02")}));
}

}  // namespace
}  // namespace relamor
