// Translation of statements from the original engine's dialect to SQLite's.
//
// The converters write their statements as the original engine understood
// them; this translation keeps their meaning on SQLite:
//   - names in square brackets, and names that are keywords to SQLite but not
//     to the original dialect (for example `index`), become quoted names;
//   - `distinctrow` becomes `distinct`; `distinct(x)` is kept;
//   - in a compound select (`Union`), an `order by` of a member other than the
//     last is dropped; the last one orders the whole result;
//   - a `Union` whose members all select `alias.*` from one and the same table
//     returns its rows in that table's rowid order, duplicates (rows equal in
//     every column) removed, the first of them kept;
//   - comparisons (=, <>, <, >, <=, >=) in WHERE clauses ignore letter case;
//   - `like` keeps the original pattern characters: it is written as REGEXP,
//     which runs JetLike (below), installed on every connection as the
//     function regexp(), callable from the program's statements only;
//   - "?" stays a bound parameter; text literals stay as they are. A
//     parameter that will hold a number gets no COLLATE NOCASE (StatementUse);
//   - an UPDATE that is run skips the rows a constraint refuses (UPDATE OR
//     IGNORE), as the original engine did without a failure option;
//   - for a recordset that may update its rows, a plain SELECT from one table
//     is also written with that table's rowid as its first column.
// The translation writes each final statement text at once; nothing rewrites
// it afterwards.
//
// Throws Error 3075 (syntax error) for an unterminated text or bracket; the
// description quotes the statement. Everything else is left to SQLite, whose
// errors the database layer reports.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace relamor::db {

// Column names of a table in column order, or an empty list when the table
// does not exist. The translation asks for it only for the rowid-ordered
// union.
using ColumnLookup = std::function<std::vector<std::string>(std::string_view table)>;

// What a statement is translated for.
struct StatementUse {
  // Executed (not read through a recordset): an UPDATE skips refused rows.
  bool executed = false;
  // Read by a recordset that may update its rows: see Translation::
  // sql_with_rowid.
  bool updatable = false;
  // Whether each parameter, in SQLite's numbering (element 0 is ?1), holds a
  // number. Parameters past the end hold texts or Null.
  std::vector<bool> numeric_parameters;
};

struct Translation {
  std::string sql;  // the statement in SQLite's dialect
  // For a plain SELECT from one table (no join, union, grouping, distinct or
  // aggregate): the table's name and the name the statement gives it (its
  // alias, or the table name). Empty otherwise. The recordset uses it to
  // select the rowid as well and make the rows updatable.
  std::string single_table;
  std::string single_table_alias;
  // For an updatable use and a single table with a free rowid name: the
  // statement selecting "<alias>".<rowid> first; empty otherwise.
  std::string sql_with_rowid;
};

Translation TranslateStatement(std::string_view statement, const ColumnLookup& columns,
                               const StatementUse& use = {});

// The original engine's pattern match, letter case ignored: `*` any text,
// `?` one character, `#` one digit, `[abc]` `[a-z]` one of a list, `[!abc]`
// one not in it. Other characters match themselves.
bool JetLike(std::string_view text, std::string_view pattern);

}  // namespace relamor::db
