#include "toolkit/db/dialect.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "toolkit/error.h"

namespace relamor::db {
namespace {

struct Case {
  const char* input;
  const char* expected;
};

// Looks up no table: the rowid-ordered union is never formed.
std::vector<std::string> NoTables(std::string_view) { return {}; }

std::vector<std::string> ExportColumns(std::string_view table) {
  if (table == "export") {
    return {"sno",        "oldtablename",  "olddbfieldname", "newtablename", "newdbfieldname",
            "autonumber", "releaseversion"};
  }
  if (table == "odd") return {"rowid", "x"};
  return {};
}

void ExpectTranslations(const std::vector<Case>& cases, const ColumnLookup& lookup) {
  for (const Case& c : cases) {
    EXPECT_EQ(TranslateStatement(c.input, lookup).sql, c.expected) << "input: " << c.input;
  }
}

TEST(DialectTest, NamesInBracketsAndQuotes) {
  ExpectTranslations(
      {
          {"select [no] from [qorreleases]", R"(select "no" from "qorreleases")"},
          {"select max(cmdid) from [some table]", R"(select max(cmdid) from "some table")"},
          {R"(select max(cmdid) from "some table")", R"(select max(cmdid) from "some table")"},
          {"select [a\"b], \"c\"\"d\", `e` from t", R"(select "a""b", "c""d", "e" from t)"},
          {"select [a][b] from t", R"(select "a" "b" from t)"},
          {"select 'it''s [x]' from t where 1", "select 'it''s [x]' from t where 1"},
          {"select  a,\n\tb  from t ;", "select a, b from t"},
          {"select a -- note\nfrom t /* more */", "select a from t"},
          {"create table [index] (key long)", R"(create table "index" (key long))"},
      },
      NoTables);
}

TEST(DialectTest, SqliteKeywordsStandingAsNamesAreQuoted) {
  ExpectTranslations(
      {
          {"select index, name from boards", R"(select "index", name from boards)"},
          {"select key, no, first, last, offset, replace, view from t",
           R"(select "key", "no", "first", "last", "offset", "replace", "view" from t)"},
          {"select t.index, index.a from t as index",
           R"(select t."index", "index".a from t as "index")"},
          {"insert into t(index, action) values (?, ?)",
           R"(insert into t("index", "action") values (?, ?))"},
          {"select replace(name, 'a', 'b') from t", R"(select "replace"(name, 'a', 'b') from t)"},
          // SQLite's own constructs keep their keywords.
          {"insert or replace into t(a) values (1)", "insert or replace into t(a) values (1)"},
          {"update or ignore t set a = 1", "update or ignore t set a = 1"},
          {"select a from t indexed by ix", "select a from t indexed by ix"},
          {"select a from t not indexed", "select a from t not indexed"},
          {"select a from t order by a desc nulls first",
           "select a from t order by a desc nulls first"},
          {"select a from t limit 5 offset 2", "select a from t limit 5 offset 2"},
          {"select count(*) over (partition by a rows between unbounded preceding and current row) "
           "from t",
           "select count(*) over (partition by a rows between unbounded preceding and current row) "
           "from t"},
          {"select a from t where not exists (select 1 from u) order by a",
           "select a from t where not exists (select 1 from u) order by a"},
      },
      NoTables);
}

TEST(DialectTest, DistinctrowBecomesDistinct) {
  ExpectTranslations(
      {
          {"select distinctrow g.* from t as g", "select distinct g.* from t as g"},
          {"SELECT DISTINCTROW * FROM t", "SELECT distinct * FROM t"},
      },
      NoTables);
}

TEST(DialectTest, DuplicateRowsCompareTextWithoutCase) {
  ExpectTranslations(
      {
          {"select distinct(id) from customers",
           R"(select distinct(id) COLLATE NOCASE AS "id" from customers)"},
          {"SELECT DISTINCTROW a, t.[b], c + 1, d AS e, f g, h collate binary FROM t",
           R"(SELECT distinct a COLLATE NOCASE AS "a", t."b" COLLATE NOCASE AS "b", c + 1, )"
           R"(d AS e, f g, h collate binary FROM t)"},
          {"select a from t union select [b] from u",
           R"(select a COLLATE NOCASE AS "a" from t union select "b" COLLATE NOCASE AS "b" from u)"},
          {"select a from t union all select b from u",
           "select a from t union all select b from u"},
          {"select a from t", "select a from t"},
      },
      NoTables);
}

TEST(DialectTest, ComparisonsInConditionsIgnoreCase) {
  ExpectTranslations(
      {
          {"select * from EXCCS where CAT = ?", "select * from EXCCS where CAT = ? COLLATE NOCASE"},
          {"select * from export where sno=?", "select * from export where sno=? COLLATE NOCASE"},
          {"select [no] from [qorreleases] where [productname] = '3.5' and [servicepack] = 0",
           R"(select "no" from "qorreleases" where "productname" = '3.5' COLLATE NOCASE and "servicepack" = 0)"},
          {"select a from t where a <> b.c or a != 'x' or a < ? or a > f(x, 'y') or a <= (b) or a "
           ">= -c",
           "select a from t where a <> b.c COLLATE NOCASE or a != 'x' COLLATE NOCASE or a < ? "
           "COLLATE NOCASE or a > f(x, 'y') COLLATE NOCASE or a <= (b) COLLATE NOCASE or a >= -c "
           "COLLATE NOCASE"},
          {"select a from t where a = case when b = 1 then 'x' else 'y' end",
           "select a from t where a = case when b = 1 then 'x' else 'y' end COLLATE NOCASE"},
          {"select a from t where a = b collate binary",
           "select a from t where a = b collate binary"},
          {"select a from t where a = null or a = -5 or a > 2.5",
           "select a from t where a = null or a = -5 or a > 2.5"},
          {"select a from t where a between 'a' and 'm'",
           "select a from t where a between 'a' COLLATE NOCASE and 'm' COLLATE NOCASE"},
          {"select * from t inner join u on t.a = u.b where t.c<>?",
           "select * from t inner join u on t.a = u.b COLLATE NOCASE where t.c<>? COLLATE NOCASE"},
          {"select a, count(*) from t group by a having a = 'x' order by a",
           "select a, count(*) from t group by a having a = 'x' COLLATE NOCASE order by a"},
          {"select a from t where left(a, 2) = 'ab'",
           "select a from t where left(a, 2) = 'ab' COLLATE NOCASE"},
          {"select a from t where b in (select c from u where d = e)",
           "select a from t where b in (select c from u where d = e COLLATE NOCASE)"},
          // Not in select lists, SET clauses or ORDER BY.
          {"select a = b, (c = d) from t", "select a = b, (c = d) from t"},
          {"update boards set boardtype = boardtype-1 where boardtype > 18",
           "update boards set boardtype = boardtype-1 where boardtype > 18"},
          {"Update Boards Set Name = ? where BoardType = ?",
           "Update Boards Set Name = ? where BoardType = ? COLLATE NOCASE"},
          {"delete from t where a = 'x'", "delete from t where a = 'x' COLLATE NOCASE"},
          {"Insert into modemConnection(channelID ,modemID) values ( ?,?)",
           "Insert into modemConnection(channelID ,modemID) values ( ?,?)"},
          // like becomes REGEXP, which the database layer runs as JetLike.
          {"select a from t where a not like 'x*'", "select a from t where a not REGEXP 'x*'"},
      },
      NoTables);
}

TEST(DialectTest, StatementsOfTheConverters) {
  ExpectTranslations(
      {
          {"SELECT a.[productname], a.[servicepack], a.[buildno] FROM QORRELEASES as a WHERE "
           "a.[no] = (select max(b.[no]) from qorreleases as b)",
           R"(SELECT a."productname", a."servicepack", a."buildno" FROM QORRELEASES as a WHERE )"
           R"(a."no" = (select max(b."no") from qorreleases as b) COLLATE NOCASE)"},
          {"select distinct(a.[sno]),a.[oldtablename],a.[newtablename] from export as a where "
           "a.[releaseversion] <= 4 and a.oldtablename = a.newtablename  and not exists (select "
           "b.[newtablename] from export as b where b.[oldtablename] = a.[oldtablename] and "
           "b.newtablename = 'DeletedTable') order by a.[sno]  Union select "
           "distinct(a.[sno]),a.[oldtablename],a.[newtablename] from export as a where "
           "a.oldtablename not like a.newtablename and a.releaseversion = 4 and newtablename not "
           "like 'DeletedTable' order by a.[sno]",
           R"(select distinct(a."sno") COLLATE NOCASE AS "sno",a."oldtablename" COLLATE NOCASE AS )"
           R"("oldtablename",a."newtablename" COLLATE NOCASE AS "newtablename" from export as a where )"
           R"(a."releaseversion" <= 4 and a.oldtablename = a.newtablename COLLATE NOCASE and not )"
           R"(exists (select b."newtablename" from export as b where b."oldtablename" = )"
           R"(a."oldtablename" COLLATE NOCASE and b.newtablename = 'DeletedTable' COLLATE NOCASE) )"
           R"(Union select distinct(a."sno") COLLATE NOCASE AS "sno",a."oldtablename" COLLATE NOCASE )"
           R"(AS "oldtablename",a."newtablename" COLLATE NOCASE AS "newtablename" from export as a )"
           R"(where a.oldtablename not REGEXP a.newtablename and a.releaseversion = 4 and )"
           R"(newtablename not REGEXP 'DeletedTable' order by 1)"},
          {"select max(b.[releaseversion]) from export b where b.[sno] = 3 and b.[releaseversion] "
           "<= 4",
           R"(select max(b."releaseversion") from export b where b."sno" = 3 and b."releaseversion" <= 4)"},
      },
      ExportColumns);
}

TEST(DialectTest, CompoundOrderBy) {
  ExpectTranslations(
      {
          {"select a from t order by a union all select a from u order by a",
           "select a from t union all select a from u order by a"},
          {"select a.x from t a union all select b.x from u b order by b.x",
           "select a.x from t a union all select b.x from u b order by 1"},
          {"select a.x as y, (a.z) from t a union all select b.x, b.z from u b order by a.z desc, "
           "y",
           "select a.x as y, (a.z) from t a union all select b.x, b.z from u b order by 2 desc, y"},
          {"select a.X from t a union all select a.x from u a order by (A.[x])",
           "select a.X from t a union all select a.x from u a order by 1"},
          // After a `*` the positions are unknown: left to SQLite.
          {"select *, a.z from t a union all select * from u order by a.z",
           "select *, a.z from t a union all select * from u order by a.z"},
          {"select a from t union all select b from u order by 1",
           "select a from t union all select b from u order by 1"},
          {"select a.x from t a union select a.y from t a order by a.y",
           R"(select a.x COLLATE NOCASE AS "x" from t a union select a.y COLLATE NOCASE AS "y" from t a order by 1)"},
      },
      NoTables);
}

TEST(DialectTest, UnionOfOneTableKeepsRowidOrder) {
  const char* mapping_rows =
      "select a.* from [export] as a where a.[sno] = 3 and a.[releaseversion] = 3 Union select "
      "distinctrow g.* from [export] as g where g.[sno] = 3 and g.[releaseversion] < 3 and "
      "g.[newtablename] = g.[oldtablename] and g.[newdbfieldname] = g.[olddbfieldname] ";
  std::vector<std::string> asked;
  const ColumnLookup lookup = [&](std::string_view table) {
    asked.emplace_back(table);
    return ExportColumns(table);
  };
  const Translation tr = TranslateStatement(mapping_rows, lookup);
  EXPECT_EQ(
      tr.sql,
      R"(SELECT * FROM "export" WHERE rowid IN (SELECT min(rowid) FROM "export" WHERE rowid IN )"
      R"((SELECT a.rowid FROM "export" AS a WHERE a."sno" = 3 and a."releaseversion" = 3 )"
      R"(UNION ALL SELECT g.rowid FROM "export" AS g WHERE g."sno" = 3 and )"
      R"(g."releaseversion" < 3 and g."newtablename" = g."oldtablename" COLLATE NOCASE and )"
      R"(g."newdbfieldname" = g."olddbfieldname" COLLATE NOCASE) GROUP BY "sno" COLLATE )"
      R"(NOCASE, "oldtablename" COLLATE NOCASE, "olddbfieldname" COLLATE NOCASE, )"
      R"("newtablename" COLLATE NOCASE, "newdbfieldname" COLLATE NOCASE, "autonumber" )"
      R"(COLLATE NOCASE, "releaseversion" COLLATE NOCASE) ORDER BY rowid)");
  EXPECT_EQ(asked, std::vector<std::string>{"export"});
  EXPECT_TRUE(tr.single_table.empty());

  ExpectTranslations(
      {
          // Plain `*`, no alias, no WHERE; table names compared without case.
          {"select * from export union select * from [EXPORT] where sno = 2",
           R"(SELECT * FROM "export" WHERE rowid IN (SELECT min(rowid) FROM "export" WHERE )"
           R"(rowid IN (SELECT rowid FROM "export" UNION ALL SELECT rowid FROM "export" WHERE )"
           R"(sno = 2) GROUP BY "sno" COLLATE NOCASE, "oldtablename" COLLATE NOCASE, )"
           R"("olddbfieldname" COLLATE NOCASE, "newtablename" COLLATE NOCASE, "newdbfieldname" )"
           R"(COLLATE NOCASE, "autonumber" COLLATE NOCASE, "releaseversion" COLLATE NOCASE) )"
           R"(ORDER BY rowid)"},
          // A column named rowid hides the rowid under that name.
          {"select * from odd union select * from odd",
           R"(SELECT * FROM "odd" WHERE _rowid_ IN (SELECT min(_rowid_) FROM "odd" WHERE )"
           R"(_rowid_ IN (SELECT _rowid_ FROM "odd" UNION ALL SELECT _rowid_ FROM "odd") GROUP )"
           R"(BY "rowid" COLLATE NOCASE, "x" COLLATE NOCASE) ORDER BY _rowid_)"},
          // Not of that form: left as a compound select.
          {"select a.* from export as a union all select g.* from export as g",
           "select a.* from export as a union all select g.* from export as g"},
          {"select a.* from export as a union select g.* from other as g",
           "select a.* from export as a union select g.* from other as g"},
          {"select a.* from export as a union select g.sno from export as g",
           R"(select a.* from export as a union select g.sno COLLATE NOCASE AS "sno" from export as g)"},
          {"select b.* from export as a union select g.* from export as g",
           "select b.* from export as a union select g.* from export as g"},
          {"select a.* from missing as a union select g.* from missing as g",
           "select a.* from missing as a union select g.* from missing as g"},
      },
      ExportColumns);
}

TEST(DialectTest, SingleTableOfPlainSelect) {
  struct TableCase {
    const char* input;
    const char* table;
    const char* alias;
  };
  const std::vector<TableCase> cases = {
      {"select * from EXCCS where CAT = ?", "EXCCS", "EXCCS"},
      {"select x from t as a where y = 1", "t", "a"},
      {"select x from [some table] b order by x", "some table", "b"},
      {"select * from export where sno=?", "export", "export"},
      {"select a.* from [index] as a", "index", "a"},
      {"select max(x) from t", "", ""},
      {"select count (*) from t", "", ""},
      {"select distinct(id) from customers", "", ""},
      {"select distinctrow a from t", "", ""},
      {"select a from t, u", "", ""},
      {"select a from t join u on t.a = u.a", "", ""},
      {"select a from t group by a", "", ""},
      {"select a from (select a from t)", "", ""},
      {"select a from t union select a from t", "", ""},
      {"update t set a = 1", "", ""},
      {"select 1", "", ""},
  };
  for (const TableCase& c : cases) {
    const Translation tr = TranslateStatement(c.input, NoTables);
    EXPECT_EQ(tr.single_table, c.table) << "input: " << c.input;
    EXPECT_EQ(tr.single_table_alias, c.alias) << "input: " << c.input;
  }
}

TEST(DialectTest, UnterminatedTextsAndNamesAreSyntaxErrors) {
  struct FailCase {
    const char* input;
    const char* missing;
  };
  const std::vector<FailCase> cases = {
      {"select 'abc from t", "'"}, {"select a from t where b = 'x''", "'"},
      {"select [abc from t", "]"}, {"select \"abc from t", "\""},
      {"select `abc from t", "`"},
  };
  for (const FailCase& c : cases) {
    try {
      TranslateStatement(c.input, NoTables);
      ADD_FAILURE() << "no error for input: " << c.input;
    } catch (const Error& e) {
      EXPECT_EQ(e.number(), err::kSyntaxError) << "input: " << c.input;
      EXPECT_EQ(e.description(), std::string("Syntax error (missing closing ") + c.missing +
                                     ") in statement: " + c.input)
          << "input: " << c.input;
    }
  }
}

TEST(DialectTest, JetLikePatterns) {
  struct LikeCase {
    const char* text;
    const char* pattern;
    bool match;
  };
  const std::vector<LikeCase> cases = {
      {"abc", "abc", true},
      {"ABC", "abc", true},
      {"DeletedTable", "deletedtable", true},
      {"abc", "abd", false},
      {"abc", "ab", false},
      {"", "", true},
      {"a", "", false},
      {"", "*", true},
      {"abc", "a*", true},
      {"abc", "*c", true},
      {"abc", "*b*", true},
      {"abc", "*d*", false},
      {"aXbXc", "a*b*c", true},
      {"mississippi", "*iss*ppi", true},
      {"abc", "a?c", true},
      {"ac", "a?c", false},
      {"a1c", "a#c", true},
      {"abc", "a#c", false},
      {"b", "[abc]", true},
      {"B", "[abc]", true},
      {"d", "[abc]", false},
      {"D", "[a-f]", true},
      {"d", "[A-F]", true},
      {"g", "[a-f]", false},
      {"d", "[!abc]", true},
      {"A", "[!abc]", false},
      {"-", "[a-]", true},
      {"-", "[-a]", true},
      {"b", "[a-]", false},
      {"*", "[*]", true},
      {"x", "[*]", false},
      {"a?c", "a[?]c", true},
      {"abc", "a[?]c", false},
      {"[", "[[]", true},
      {"]", "]", true},
      {"abc", "a[]bc", true},
      {"a_c", "a_c", true},
      {"abc", "a_c", false},
      {"abc", "a%", false},
      {"b", "[abc", false},
      {"[abc", "[abc", false},
      {"abc", "*[", false},
      {"\xc3\xa9", "?", true},
      {"a\xc3\xa9", "a?", true},
      {"\xc3\xa9\xc3\xa9x", "*\xc3\xa9?", true},
      {"\xc3\xa9", "[\xc3\xa8-\xc3\xaa]", true},
      {"\xff\xfe", "??", true},
      {"\xc3", "?", true},
      {"a\xe2\x82", "a??", true},
  };
  for (const LikeCase& c : cases) {
    EXPECT_EQ(JetLike(c.text, c.pattern), c.match)
        << "text: " << c.text << " pattern: " << c.pattern;
  }
}

TEST(DialectTest, JetLikeManyStarsOnLongTextFinishes) {
  const std::string text = std::string(20000, 'a') + "b";
  EXPECT_FALSE(JetLike(text, "*a*a*a*a*a*a*a*a*a*a*c"));
  EXPECT_TRUE(JetLike(text, "*a*a*a*a*a*a*a*a*a*a*b"));
}

// Every prefix of a set of statements either translates or fails with a
// syntax error; none crashes or reads past the tokens.
TEST(DialectTest, StatementsCutAtEveryLengthDoNotCrash) {
  const std::vector<std::string> statements = {
      "select distinct(a.[sno]),a.[oldtablename] from export as a where a.[releaseversion] <= 4 "
      "and not exists (select b.[x] from export as b where b.[y] = a.[y] and b.z = 'Deleted''s') "
      "order by a.[sno] Union select distinct(a.[sno]),a.[oldtablename] from export as a where "
      "a.x not like a.y and a = case when b then (c) end order by a.[sno] desc",
      "select a.* from [export] as a where a.[sno] = 3 Union select distinctrow g.* from "
      "[export] as g where g.[sno] between -1 and f(2) and g.\"x\"\"y\" = ?",
      "select count(*) over (partition by a) from t where x = (y) limit 1 offset 2",
      "insert or replace into t(index, key) values (?, 'a')",
      "update t set a = (select max(b) from u where c = d) where e >= all",
  };
  for (const std::string& statement : statements) {
    for (std::size_t length = 0; length <= statement.size(); ++length) {
      const std::string prefix = statement.substr(0, length);
      try {
        TranslateStatement(prefix, ExportColumns);
      } catch (const Error& e) {
        EXPECT_EQ(e.number(), err::kSyntaxError) << "input: " << prefix;
      }
    }
  }
}

}  // namespace
}  // namespace relamor::db
