// The EXCCS category copy: old rows overwrite the first new row of their
// category (letter case ignored), nothing is appended, and an old category
// without a new row ends the run after the rows before it.
#include <gtest/gtest.h>

#include "tests/relamor/relamor_fixture.h"
#include "tests/support/strategies.h"

namespace relamor::testing {
namespace {

struct ExccsRun {
  int status;
  std::string exccs;
  std::string last_log_line;
};

ExccsRun Convert(const std::string& old_rows, const std::string& new_rows,
            const std::string& mapping = Map(1, "EXCCS", "CAT", "EXCCS", "CAT", 0) +
                                         Map(1, "EXCCS", "level", "EXCCS", "level", 0)) {
  Installation inst;
  inst.Old("qorsite", kOldMain + "CREATE TABLE EXCCS (CAT TEXT(10), level LONG, other TEXT(10));" +
                          old_rows);
  inst.New("qorsite", kNewMain + mapping +
                          "CREATE TABLE EXCCS (CAT TEXT(10), level LONG, note TEXT(10));" +
                          new_rows);
  const ProgramRun run = inst.Run("relamor");
  EXPECT_TRUE(inst.OldUnchanged());
  return {run.exit_status, inst.Dump("new", "qorsite", "EXCCS"), LastLine(inst.Log())};
}

const std::string kNewRows =
    "INSERT INTO EXCCS VALUES ('A', 0, 'a1'); INSERT INTO EXCCS VALUES ('B', 0, 'b');"
    "INSERT INTO EXCCS VALUES ('a', 0, 'a2'); INSERT INTO EXCCS VALUES ('C', 0, 'c');"
    "INSERT INTO EXCCS VALUES ('', 0, 'empty'); INSERT INTO EXCCS VALUES (NULL, 0, 'null');";

class Exccs : public StrategyTest {};
RELAMOR_UNDER_BOTH_STRATEGIES(Exccs);

TEST_P(Exccs, OverwritesTheFirstRowOfEachCategory) {
  const ExccsRun r = Convert(
      "INSERT INTO EXCCS VALUES ('a', 1, 'x'); INSERT INTO EXCCS VALUES ('B', 2, 'x');"
      "INSERT INTO EXCCS VALUES (NULL, 3, 'x');",
      kNewRows);
  EXPECT_EQ(r.status, 0);
  // 'a' matches the first of A and a; C keeps its values; the Null category
  // matches only the empty one (whose CAT then takes the old Null).
  EXPECT_EQ(r.exccs, "a|1|a1\nB|2|b\na|0|a2\nC|0|c\nNULL|3|empty\nNULL|0|null\n");
}

TEST_P(Exccs, FirstRowOfACategoryIsFirstInRowidOrderWhateverTheIndexOnCat) {
  // An index on CAT orders "A" before "a"; the first row of category a is
  // still the first in rowid order.
  const ExccsRun r = Convert("INSERT INTO EXCCS VALUES ('A', 1, 'x');",
                             "CREATE INDEX by_category ON EXCCS (CAT);"
                             "INSERT INTO EXCCS VALUES ('a', 0, 'first');"
                             "INSERT INTO EXCCS VALUES ('A', 0, 'second');");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.exccs, "A|1|first\nA|0|second\n");
}

TEST_P(Exccs, NullCategoryTwiceFindsTheRowsAsTheyAreNow) {
  // The first Null category writes Null into the empty category's CAT; the
  // second finds the next empty one.
  const ExccsRun r = Convert(
      "INSERT INTO EXCCS VALUES (NULL, 1, 'x'); INSERT INTO EXCCS VALUES (NULL, 2, 'x');",
      "INSERT INTO EXCCS VALUES ('', 0, 'e1'); INSERT INTO EXCCS VALUES ('', 0, 'e2');");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.exccs, "NULL|1|e1\nNULL|2|e2\n");
}

TEST_P(Exccs, CategoryWithoutANewRowEndsTheRun) {
  const ExccsRun r = Convert(
      "INSERT INTO EXCCS VALUES ('B', 2, 'x'); INSERT INTO EXCCS VALUES ('Z', 9, 'x');"
      "INSERT INTO EXCCS VALUES ('C', 5, 'x');",
      kNewRows);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.exccs, "A|0|a1\nB|2|b\na|0|a2\nC|0|c\n|0|empty\nNULL|0|null\n");
  EXPECT_NE(r.last_log_line.find("EXCCS"), std::string::npos) << r.last_log_line;
  EXPECT_NE(r.last_log_line.find("'Z'"), std::string::npos) << r.last_log_line;
}

TEST_P(Exccs, CategoryRewrittenFromAnotherFieldStillFindsRowsByTheirCurrentCategory) {
  // Each old row's category is written from its field "other": the first old
  // row turns the new B row into A, so the second old row (category A) finds
  // that row, now the first of category A, and turns it into Q.
  const ExccsRun r = Convert(
      "INSERT INTO EXCCS VALUES ('B', 1, 'A'); INSERT INTO EXCCS VALUES ('A', 2, 'Q');",
      "INSERT INTO EXCCS VALUES ('X', 0, 'x'); INSERT INTO EXCCS VALUES ('B', 0, 'b');"
      "INSERT INTO EXCCS VALUES ('A', 0, 'a');",
      Map(1, "EXCCS", "other", "EXCCS", "CAT", 0) + Map(1, "EXCCS", "level", "EXCCS", "level", 0));
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.exccs, "X|0|x\nQ|2|b\nA|0|a\n");
}

}  // namespace
}  // namespace relamor::testing
