#include "toolkit/db/hardening.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace relamor::db::detail {
namespace {

TEST(HardeningTest, DefaultsEvaluateOnlyWithFunctionsSchemaTextMayCall) {
  struct Case {
    std::string expression;
    bool evaluates;
    std::string text;  // ToText of the value
  };
  for (const Case& c : std::vector<Case>{
           {"'dflt'", true, "dflt"},
           {"(1 + 2)", true, "3"},
           {"(upper('a') || abs(-2))", true, "A2"},
           {"('note 1' LIKE 'note%')", true, "1"},
           {"(length(CURRENT_TIMESTAMP))", true, "19"},
           {"(fts3_tokenizer('simple'))", false, ""},
           {"(fts3_tokenizer('simple', x'4141414141414141'))", false, ""},
           {"(load_extension('x'))", false, ""},
           {"((SELECT count(*) FROM sqlite_master))", false, ""},
           {"(no_such_function())", false, ""},
           {"1; DROP TABLE t", false, ""},
       }) {
    Value v = std::string("unchanged");
    EXPECT_EQ(EvaluateDefault(c.expression, v), c.evaluates) << c.expression;
    EXPECT_EQ(ToText(v), c.evaluates ? c.text : "unchanged") << c.expression;
  }
}

TEST(HardeningTest, FileUrisNameTheAbsolutePathAndNothingElse) {
  EXPECT_EQ(FileUri("/data/old/qorsite.mdb"), "file:///data/old/qorsite.mdb");
  EXPECT_EQ(FileUri("//host/x?mode=memory#f%"), "file:////host/x%3Fmode=memory%23f%25");
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  EXPECT_EQ(FileUri("file:a b"), "file://" + std::string(cwd) + "/file:a%20b");
}

}  // namespace
}  // namespace relamor::db::detail
