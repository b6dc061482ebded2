// The table plan, driven by the mode table of the field-mapped copy: flags,
// mapping count and positions 2/4 in, mode, condition and field moves out.
#include "toolkit/copy/table_plan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace relamor {
namespace {

const Value kTrue{std::int64_t{-1}};
const Value kFalse{std::int64_t{0}};
const Value kNull{};

// Mapping rows of table t: row i maps old field o<i> to new field n<i>, with
// the given flags; positions 2 and 4 equal unless `differ`.
std::vector<MappingRow> Rows(const std::vector<Value>& flags, const std::string& table = "t",
                             bool differ = false) {
  std::vector<MappingRow> rows;
  for (std::size_t i = 0; i < flags.size(); ++i) {
    MappingRow r;
    r.flag = flags[i];
    r.pos2 = Value{std::string("o") + std::to_string(i)};
    r.pos4 = differ ? Value{std::string("x")} : r.pos2;
    r.old_field = "o" + std::to_string(i);
    r.new_field = "n" + std::to_string(i);
    r.old_table = table == "cmdidguid" ? "CmdIdGuid" : table;
    r.new_table = table;
    rows.push_back(std::move(r));
  }
  return rows;
}

TableColumns Columns(const std::string& name, std::vector<std::string> columns) {
  return {name, "/db/" + name + ".mdb", true, std::move(columns)};
}

// "mode B if-empty | c:o0>n0@0>0 n:>n1@-1 | fill" -- kind, condition, moves
// (c copied, n numbered, s customer link, w written by a special writer;
// source>destination@indexes).
std::string Summary(const TablePlan& p) {
  static const char* const kConditions[] = {"", " if-empty", " if-counts-equal-or-empty"};
  std::string out = p.Describe() + kConditions[static_cast<int>(p.condition)];
  if (p.renumber_command_ids) out += " renumber";
  if (p.failure) out += " fails";
  auto moves = [&](const std::vector<FieldMove>& list) {
    std::string s;
    for (const FieldMove& m : list) {
      static const char* const kKinds[] = {" c:", " n:", " s:", " w:"};
      s += kKinds[static_cast<int>(m.kind)];
      s += m.source + ">" + m.destination + "@" + std::to_string(m.source_index) + ">" +
           std::to_string(m.destination_index);
    }
    return s;
  };
  if (!p.moves.empty()) out += " |" + moves(p.moves);
  if (!p.fill.empty()) out += " | fill" + moves(p.fill);
  return out;
}

struct Case {
  const char* name;
  std::vector<MappingRow> rows;
  PlanRules rules;
  std::string expected;
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class ModeTable : public ::testing::TestWithParam<Case> {};

TEST_P(ModeTable, PlansTheModeItsFlagsAndCountChoose) {
  const Case& c = GetParam();
  // Old columns o0..o2, new columns n0..n2 (in another order: positions come
  // from the columns, not from the mapping).
  const TablePlan plan = PlanTable(c.rows, Columns("old", {"o0", "O1", "o2"}),
                                   Columns("new", {"n2", "n0", "n1"}), c.rules);
  EXPECT_EQ(Summary(plan), c.expected);
}

const PlanRules kGeneral{CopyRules::kGeneral, false, false};
const PlanRules kGeneralSite{CopyRules::kGeneral, false, true};
const PlanRules kFixed{CopyRules::kFixedPath, false, false};
const PlanRules kWriters{CopyRules::kFixedPath, true, false};

INSTANTIATE_TEST_SUITE_P(
    Plans, ModeTable,
    ::testing::Values(
        Case{"A", Rows({kFalse, kFalse, kFalse}), kGeneral,
             "mode A | c:o0>n0@0>1 c:o1>n1@1>2 c:o2>n2@2>0"},
        Case{"AIntoEXCCS", Rows({kFalse, kFalse}, "EXCCS"), kGeneral,
             "mode A, by category | c:o0>n0@0>1 c:o1>n1@1>2"},
        Case{"AIntoLowerCaseExccs", Rows({kFalse, kFalse}, "exccs"), kGeneral,
             "mode A | c:o0>n0@0>1 c:o1>n1@1>2"},
        Case{"B", Rows({kFalse, kTrue, kFalse}), kGeneral,
             "mode B | c:o0>n0@0>1 n:>n1@-1>2 c:o2>n2@2>0"},
        Case{"BSites", Rows({kFalse, kTrue}, "Sites"), kGeneral,
             "mode B | c:o0>n0@0>1 s:>n1@-1>2"},
        Case{"SecondFlagNull", Rows({kFalse, kNull}), kGeneral,
             "nothing: the numbering flag of the second mapping row is neither True nor False"},
        Case{"C", Rows({kTrue, kFalse, kFalse}), kGeneral,
             "mode C if-empty | n:>n0@-1>1 c:o1>n1@1>2 c:o2>n2@2>0"},
        Case{"D", Rows({kTrue, kTrue, kFalse}), kGeneral,
             "mode D if-empty | n:>n0@-1>1 n:>n1@-1>2 | fill c:o2>n2@2>0"},
        Case{"E", Rows({kTrue, kTrue}), kGeneral, "mode E if-empty | n:>n0@-1>1 n:>n1@-1>2"},
        Case{"FirstTrueAlone", Rows({kTrue}), kGeneral,
             "nothing: the first numbering flag is True but there is no second mapping row "
             "if-empty fails"},
        Case{"FirstTrueSecondOther", Rows({kTrue, Value{std::int64_t{1}}}), kGeneral,
             "nothing: the numbering flag of the second mapping row is neither True nor False"},
        Case{"FGeneral", Rows({kFalse}), kGeneral,
             "mode F if-counts-equal-or-empty | c:o0>n0@0>1"},
        Case{"FCommandIds", Rows({kFalse}, "cmdidguid"), kGeneralSite,
             "mode F if-counts-equal-or-empty renumber | c:o0>n0@0>1"},
        Case{"FFixedPath", Rows({kFalse}, "cmdidguid"), kFixed, "mode F if-empty | c:o0>n0@0>1"},
        Case{"G", Rows({kFalse}, "t", true), kGeneral, "mode G | c:o0>n0@0>1"},
        Case{"FirstFlagNull", Rows({kNull, kFalse}), kGeneral,
             "nothing: the numbering flag of the first mapping row is neither True nor False"},
        Case{"FlagAsNumericText", Rows({Value{std::string("-1")}, Value{std::string(" 0")}}),
             kGeneral, "mode C if-empty | n:>n0@-1>1 c:o1>n1@1>2"},
        Case{"Writer", Rows({kFalse, kFalse, kFalse, kFalse}, "channel"), kWriters,
             "writer channel | n:>n0@-1>1 c:o1>n1@1>2 w:>n2@-1>0 w:>n3@-1>-1"},
        Case{"WriterMappingTooShort", Rows({kFalse, kFalse}, "ipconnection"), kWriters,
             "writer ipconnection fails"},
        Case{"WriterNameIsExact", Rows({kFalse, kFalse}, "Channel"), kWriters,
             "mode A | c:o0>n0@0>1 c:o1>n1@1>2"}),
    [](const ::testing::TestParamInfo<Case>& p) { return std::string(p.param.name); });

TEST(TablePlan, FieldsTheTablesLackStayUnresolvedAndSitesCreateCustomersFirst) {
  std::vector<MappingRow> rows = Rows({kFalse, kFalse}, "Sites");
  rows[1].old_field = "";  // a name that began with "[": no such field
  const TablePlan plan = PlanTable(rows, Columns("sites", {"o0"}), Columns("Sites", {"n0"}),
                                   kWriters);
  EXPECT_EQ(Summary(plan), "mode A | c:o0>n0@0>0 c:>n1@-1>-1");
  EXPECT_TRUE(plan.customers_from_sites_first);
  rows[0].old_table = "systemMarket";
  EXPECT_FALSE(PlanTable(rows, Columns("sites", {}), Columns("Sites", {}), kWriters)
                   .customers_from_sites_first);
}

}  // namespace
}  // namespace relamor
