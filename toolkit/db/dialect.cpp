// How the translation works. The statement is split into tokens
// (sql_tokens.h) and rewritten in passes over the token list; writing the
// tokens back turns every [name] into a "name".
//   1. Names. Words that SQLite reserves but the original dialect does not
//      (index, key, no, ...) become quoted names, unless they stand in one of
//      SQLite's own constructs (INSERT OR REPLACE, NOT INDEXED, NULLS FIRST,
//      LIMIT .. OFFSET, a window after a function call). `distinctrow`
//      becomes `distinct`.
//   2. Comparisons. In WHERE, ON and HAVING clauses the right operand of a
//      comparison (and the bounds of BETWEEN) gets COLLATE NOCASE, so that
//      SQLite compares texts without letter case as the original engine did.
//      Numbers and NULL are left alone: a collation cannot change how they
//      compare.
//   3. Selects. A member's ORDER BY followed by UNION is dropped; the last
//      member's ORDER BY orders the whole result, and a term of it that is
//      not a plain name or position is replaced by the position of the
//      matching result column. A UNION of `alias.*` selections from one table
//      is rebuilt as a selection of that table by rowid (RowidOrderedUnion).
//      Where DISTINCT or UNION removes duplicate rows, result columns that
//      are column references get COLLATE NOCASE (DeduplicateWithoutCase).
//   4. The single table of a plain SELECT is noted for the recordset.
// Only SELECT, INSERT, UPDATE and DELETE statements go through passes 1 to
// 4; other statements get their bracketed names quoted and nothing else.
// Every pass is linear in the number of tokens, except the ORDER BY matching
// of pass 3 (terms times result columns).
#include "toolkit/db/dialect.h"

#include <algorithm>
#include <cstddef>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "toolkit/db/sql_tokens.h"
#include "toolkit/text.h"

namespace relamor::db {
namespace {

using relamor::EqualsNoCase;
using sql::IsNameLike;
using sql::IsOperator;
using sql::IsWord;
using sql::Token;
using sql::TokenKind;

constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// Words that SQLite reserves or gives a meaning to but that the original
// dialect reads as plain names. Sorted for binary search.
constexpr std::string_view kSqliteOnlyKeywords[] = {
    "abort",     "action",       "after",     "always",    "analyze",   "attach",     "before",
    "cascade",   "commit",       "conflict",  "current",   "database",  "deferrable", "deferred",
    "detach",    "do",           "each",      "exclude",   "exclusive", "explain",    "fail",
    "filter",    "first",        "following", "generated", "glob",      "groups",     "ignore",
    "immediate", "index",        "indexed",   "initially", "instead",   "key",        "last",
    "match",     "materialized", "no",        "nothing",   "notnull",   "nulls",      "offset",
    "others",    "over",         "plan",      "pragma",    "preceding", "query",      "raise",
    "range",     "recursive",    "regexp",    "reindex",   "release",   "rename",     "replace",
    "restrict",  "returning",    "row",       "rows",      "savepoint", "temp",       "temporary",
    "ties",      "transaction",  "trigger",   "unbounded", "vacuum",    "view",       "virtual",
    "window",    "without",
};

static_assert(std::is_sorted(std::begin(kSqliteOnlyKeywords), std::end(kSqliteOnlyKeywords)));

bool IsSqliteOnlyKeyword(std::string_view word) {
  char lower[12];  // the longest of them: "materialized"
  if (word.size() > sizeof lower) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    const char c = word[i];
    lower[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return std::binary_search(std::begin(kSqliteOnlyKeywords), std::end(kSqliteOnlyKeywords),
                            std::string_view(lower, word.size()));
}

template <std::size_t N>
bool IsAnyWord(const Token& token, const std::string_view (&words)[N]) {
  if (token.kind != TokenKind::kWord) return false;
  for (std::string_view w : words) {
    if (EqualsNoCase(token.text, w)) return true;
  }
  return false;
}

bool IsComparison(const Token& token) {
  if (token.kind != TokenKind::kOperator) return false;
  const std::string& op = token.text;
  return op == "=" || op == "==" || op == "<>" || op == "!=" || op == "<" || op == ">" ||
         op == "<=" || op == ">=";
}

// Parenthesis structure: the partner of each parenthesis (kNone when it has
// none) and the nesting depth of each token (a parenthesis has the depth of
// the text around it).
struct Shape {
  std::vector<std::size_t> match;
  std::vector<int> depth;
};

Shape ShapeOf(const std::vector<Token>& t) {
  Shape shape;
  shape.match.assign(t.size(), kNone);
  shape.depth.assign(t.size(), 0);
  std::vector<std::size_t> open;
  for (std::size_t i = 0; i < t.size(); ++i) {
    shape.depth[i] = static_cast<int>(open.size());
    if (t[i].kind == TokenKind::kLeftParen) {
      open.push_back(i);
    } else if (t[i].kind == TokenKind::kRightParen && !open.empty()) {
      shape.match[i] = open.back();
      shape.match[open.back()] = i;
      open.pop_back();
      shape.depth[i] = static_cast<int>(open.size());
    }
  }
  return shape;
}

bool IsDmlStatement(const std::vector<Token>& t) {
  static constexpr std::string_view kDml[] = {"select", "insert", "update", "delete"};
  return !t.empty() && IsAnyWord(t[0], kDml);
}

// Pass 1 -------------------------------------------------------------------

// Whether the SQLite-only keyword at t[i] is used in one of SQLite's own
// constructs rather than as a name.
bool UsedAsSqliteKeyword(const std::vector<Token>& t, const Shape& shape, std::size_t i) {
  const std::size_t n = t.size();
  const Token* prev = i > 0 ? &t[i - 1] : nullptr;
  const Token* next = i + 1 < n ? &t[i + 1] : nullptr;
  if ((prev && IsOperator(*prev, ".")) || (next && IsOperator(*next, "."))) return false;
  const std::string word = Lower(t[i].text);
  if (word == "abort" || word == "fail" || word == "ignore" || word == "replace") {
    return i == 2 && IsWord(t[1], "or") && (IsWord(t[0], "insert") || IsWord(t[0], "update"));
  }
  if (word == "indexed") {
    return (next && IsWord(*next, "by")) || (prev && IsWord(*prev, "not"));
  }
  if (word == "nulls") return next && (IsWord(*next, "first") || IsWord(*next, "last"));
  if (word == "first" || word == "last") return prev && IsWord(*prev, "nulls");
  if (word == "over" || word == "filter") {
    return prev && prev->kind == TokenKind::kRightParen && next &&
           next->kind == TokenKind::kLeftParen;
  }
  if (word == "offset") {
    const int depth = shape.depth[i];
    for (std::size_t k = i; k-- > 0 && shape.depth[k] >= depth;) {
      if (shape.depth[k] == depth && IsWord(t[k], "limit")) return true;
    }
  }
  return false;
}

void QuoteSqliteKeywords(std::vector<Token>& t) {
  const Shape shape = ShapeOf(t);
  for (std::size_t i = 0; i < t.size(); ++i) {
    Token& token = t[i];
    if (token.kind != TokenKind::kWord) continue;
    if (EqualsNoCase(token.text, "distinctrow")) {
      token.text = "distinct";
      continue;
    }
    if (!IsSqliteOnlyKeyword(token.text)) continue;
    if (!UsedAsSqliteKeyword(t, shape, i)) {
      token.kind = TokenKind::kName;
    } else if ((IsWord(token, "over") || IsWord(token, "filter")) && shape.match[i + 1] != kNone) {
      i = shape.match[i + 1];  // a window definition is SQLite's own syntax
    }
  }
}

// The `like` operator keeps the original engine's pattern characters: it is
// written as REGEXP, which SQLite runs as the function regexp(pattern, text),
// installed on every connection as JetLike (database.cpp) and usable only
// from the program's own statements. SQLite's like() is left alone, so LIKE
// in a database's schema (an index, a CHECK) keeps the meaning SQLite gave
// it when the database was written.
void LikeAsJetPattern(std::vector<Token>& t) {
  for (Token& token : t) {
    if (IsWord(token, "like")) token.text = "REGEXP";
  }
}

// Pass 2 -------------------------------------------------------------------

// One past the primary expression that starts at t[i] (a name, qualified
// name, literal, parameter, parenthesised group, function call or CASE, with
// an optional sign), or kNone. `constant` tells a number or NULL.
std::size_t PrimaryEnd(const std::vector<Token>& t, const Shape& shape, std::size_t i,
                       bool& constant) {
  static constexpr std::string_view kNotAnOperand[] = {
      "all",  "and",  "as",        "between", "by",     "collate", "distinct",
      "else", "end",  "escape",    "except",  "from",   "group",   "having",
      "in",   "into", "intersect", "is",      "join",   "like",    "limit",
      "not",  "on",   "or",        "order",   "select", "where"};
  const std::size_t n = t.size();
  constant = false;
  while (i < n && (IsOperator(t[i], "-") || IsOperator(t[i], "+") || IsOperator(t[i], "~"))) {
    ++i;
  }
  if (i >= n) return kNone;
  const Token& token = t[i];
  switch (token.kind) {
    case TokenKind::kNumber:
      constant = true;
      return i + 1;
    case TokenKind::kText:
    case TokenKind::kParam:
      return i + 1;
    case TokenKind::kLeftParen:
      return shape.match[i] == kNone ? kNone : shape.match[i] + 1;
    case TokenKind::kWord:
      if (IsWord(token, "null")) {
        constant = true;
        return i + 1;
      }
      if (IsWord(token, "case")) {
        int nesting = 0;
        for (std::size_t k = i; k < n; ++k) {
          if (IsWord(t[k], "case")) ++nesting;
          if (IsWord(t[k], "end") && --nesting == 0) return k + 1;
        }
        return kNone;
      }
      if (IsAnyWord(token, kNotAnOperand)) return kNone;
      [[fallthrough]];
    case TokenKind::kName: {
      std::size_t j = i + 1;
      while (j + 1 < n && IsOperator(t[j], ".") && IsNameLike(t[j + 1])) j += 2;
      if (j < n && t[j].kind == TokenKind::kLeftParen) {
        return shape.match[j] == kNone ? kNone : shape.match[j] + 1;
      }
      return j;
    }
    default:
      return kNone;
  }
}

enum class Clause { kOther, kSelectList, kFrom, kCondition };

Clause ClauseStartedBy(const Token& token, Clause current) {
  static constexpr std::string_view kCondition[] = {"where", "on", "having"};
  static constexpr std::string_view kFrom[] = {"from", "join"};
  static constexpr std::string_view kOther[] = {"set",   "group",     "order",  "limit", "values",
                                                "union", "intersect", "except", "into",  "using"};
  if (IsWord(token, "select")) return Clause::kSelectList;
  if (IsAnyWord(token, kCondition)) return Clause::kCondition;
  if (IsAnyWord(token, kFrom)) return Clause::kFrom;
  if (IsAnyWord(token, kOther)) return Clause::kOther;
  return current;
}

// For every token, whether it is a parameter that holds a number, numbering
// the parameters as SQLite does: "?NNN" is NNN, a name keeps the number it
// got first, anything else is one past the largest number so far.
std::vector<char> NumericParameters(const std::vector<Token>& t, const std::vector<bool>& numeric) {
  std::vector<char> out(t.size(), 0);
  if (std::find(numeric.begin(), numeric.end(), true) == numeric.end()) return out;
  std::size_t largest = 0;
  std::vector<std::pair<std::string, std::size_t>> names;
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (t[i].kind != TokenKind::kParam) continue;
    const std::string& text = t[i].text;
    std::size_t number = 0;
    if (text[0] == '?' && text.size() > 1) {
      for (std::size_t k = 1; k < text.size() && number <= numeric.size(); ++k) {
        number = number * 10 + static_cast<std::size_t>(text[k] - '0');
      }
    } else if (text[0] != '?') {
      for (const auto& [name, n] : names) {
        if (name == text) number = n;
      }
      if (number == 0) names.emplace_back(text, number = largest + 1);
    } else {
      number = largest + 1;
    }
    largest = std::max(largest, std::min(number, numeric.size() + 1));
    out[i] = number >= 1 && number <= numeric.size() && numeric[number - 1];
  }
  return out;
}

std::vector<Token> CompareWithoutCase(const std::vector<Token>& t,
                                      const std::vector<bool>& numeric_parameters) {
  const Shape shape = ShapeOf(t);
  const std::size_t n = t.size();
  const std::vector<char> numeric = NumericParameters(t, numeric_parameters);
  std::vector<char> collate_after(n, 0);
  // Marks the operand starting at t[i]; returns one past it (kNone if none).
  // An operand ending in a parameter that holds a number is left alone.
  auto mark_operand = [&](std::size_t i) {
    bool constant = false;
    const std::size_t end = PrimaryEnd(t, shape, i, constant);
    if (end != kNone && !constant && !(end < n && IsWord(t[end], "collate")) &&
        !numeric[end - 1]) {
      collate_after[end - 1] = 1;
    }
    return end;
  };

  std::vector<Clause> clause{Clause::kOther};
  for (std::size_t i = 0; i < n; ++i) {
    const Token& token = t[i];
    if (token.kind == TokenKind::kLeftParen) {
      clause.push_back(clause.back());
    } else if (token.kind == TokenKind::kRightParen) {
      if (clause.size() > 1) clause.pop_back();
    } else if (token.kind == TokenKind::kWord) {
      clause.back() = ClauseStartedBy(token, clause.back());
      if (clause.back() == Clause::kCondition && IsWord(token, "between")) {
        const std::size_t end = mark_operand(i + 1);
        if (end != kNone && end < n && IsWord(t[end], "and")) mark_operand(end + 1);
      }
    } else if (clause.back() == Clause::kCondition && IsComparison(token)) {
      mark_operand(i + 1);
    }
  }

  std::vector<Token> out;
  out.reserve(n + 8);
  for (std::size_t i = 0; i < n; ++i) {
    out.push_back(t[i]);
    if (collate_after[i]) {
      out.push_back(Token{TokenKind::kWord, "COLLATE", true, {}});
      out.push_back(Token{TokenKind::kWord, "NOCASE", true, {}});
    }
  }
  return out;
}

// Pass 3 and 4 ---------------------------------------------------------------

// The clauses of one SELECT (a member of a compound select), as token ranges.
struct Member {
  std::size_t begin = 0, end = 0;  // from the SELECT word to one past the member
  bool distinct = false;
  std::size_t list_begin = 0, list_end = 0;
  std::size_t from_begin = kNone, from_end = kNone;
  std::size_t where_begin = kNone, where_end = kNone;
  std::size_t order = kNone, order_list = kNone, order_end = kNone;  // ORDER word, terms
  bool grouped = false;                                              // GROUP BY or HAVING
  bool other_tail = false;                                           // LIMIT or WINDOW
};

Member ParseMember(const std::vector<Token>& t, const Shape& shape, std::size_t begin,
                   std::size_t end) {
  Member m;
  m.begin = begin;
  m.end = end;
  const int depth = shape.depth[begin];
  std::size_t i = begin + 1;
  if (i < end && IsWord(t[i], "distinct")) {
    m.distinct = true;
    ++i;
  } else if (i < end && IsWord(t[i], "all")) {
    ++i;
  }
  m.list_begin = i;
  std::size_t ignored = 0;
  std::size_t* open_end = &m.list_end;  // the end of the clause being read
  for (; i < end; ++i) {
    if (shape.depth[i] != depth || t[i].kind != TokenKind::kWord) continue;
    if (IsWord(t[i], "from")) {
      *open_end = i;
      m.from_begin = i + 1;
      open_end = &m.from_end;
    } else if (IsWord(t[i], "where")) {
      *open_end = i;
      m.where_begin = i + 1;
      open_end = &m.where_end;
    } else if (IsWord(t[i], "group") || IsWord(t[i], "having")) {
      *open_end = i;
      m.grouped = true;
      open_end = &ignored;
    } else if (IsWord(t[i], "order") && i + 1 < end && IsWord(t[i + 1], "by")) {
      *open_end = i;
      m.order = i;
      m.order_list = i + 2;
      open_end = &m.order_end;
    } else if (IsWord(t[i], "limit") || IsWord(t[i], "window")) {
      *open_end = i;
      m.other_tail = true;
      open_end = &ignored;
    }
  }
  *open_end = end;
  return m;
}

// Splits [begin, end) at the commas of depth `depth`.
std::vector<std::pair<std::size_t, std::size_t>> SplitAtCommas(const std::vector<Token>& t,
                                                               const Shape& shape,
                                                               std::size_t begin, std::size_t end) {
  std::vector<std::pair<std::size_t, std::size_t>> parts;
  if (begin >= end) return parts;
  const int depth = shape.depth[begin];
  std::size_t start = begin;
  for (std::size_t i = begin; i < end; ++i) {
    if (t[i].kind == TokenKind::kComma && shape.depth[i] == depth) {
      parts.emplace_back(start, i);
      start = i + 1;
    }
  }
  parts.emplace_back(start, end);
  return parts;
}

// A comparable form of an expression: letter case of names ignored, quoted
// and plain names alike, parentheses around the whole left out.
std::string NormalizedExpression(const std::vector<Token>& t, const Shape& shape, std::size_t begin,
                                 std::size_t end) {
  while (end - begin >= 2 && t[begin].kind == TokenKind::kLeftParen &&
         shape.match[begin] == end - 1) {
    ++begin;
    --end;
  }
  std::string key;
  for (std::size_t i = begin; i < end; ++i) {
    if (t[i].kind == TokenKind::kRemoved) continue;
    key += IsNameLike(t[i]) ? Lower(t[i].text) : t[i].text;
    key += '\x1f';
  }
  return key;
}

// The position (1-based) of the result column of `m` whose expression is
// `key`, or 0.
std::size_t ResultColumnPosition(const std::vector<Token>& t, const Shape& shape, const Member& m,
                                 const std::string& key) {
  const auto columns = SplitAtCommas(t, shape, m.list_begin, m.list_end);
  for (std::size_t c = 0; c < columns.size(); ++c) {
    auto [begin, end] = columns[c];
    if (begin == end || IsOperator(t[end - 1], "*")) return 0;  // later positions unknown
    // Leave out an alias: `expr AS name` or `expr name`.
    if (end - begin >= 3 && IsWord(t[end - 2], "as") && IsNameLike(t[end - 1])) {
      end -= 2;
    } else if (end - begin >= 2 && IsNameLike(t[end - 1]) && !IsWord(t[end - 1], "end") &&
               !IsWord(t[end - 2], "collate") &&
               (IsNameLike(t[end - 2]) || t[end - 2].kind == TokenKind::kRightParen ||
                t[end - 2].kind == TokenKind::kText || t[end - 2].kind == TokenKind::kNumber)) {
      end -= 1;
    }
    if (NormalizedExpression(t, shape, begin, end) == key) return c + 1;
  }
  return 0;
}

// Replaces ORDER BY terms of the last member that are expressions (such as
// a.[sno]) by the position of the matching result column.
void OrderByPositions(std::vector<Token>& t, const Shape& shape,
                      const std::vector<Member>& members) {
  const Member& last = members.back();
  if (last.order == kNone) return;
  for (auto [begin, end] : SplitAtCommas(t, shape, last.order_list, last.order_end)) {
    while (end - begin >= 2) {
      if (IsWord(t[end - 1], "asc") || IsWord(t[end - 1], "desc")) {
        end -= 1;
      } else if (end - begin >= 3 &&
                 (IsWord(t[end - 2], "collate") || IsWord(t[end - 2], "nulls"))) {
        end -= 2;
      } else {
        break;
      }
    }
    if (begin >= end) continue;
    if (end - begin == 1 && (t[begin].kind == TokenKind::kNumber || IsNameLike(t[begin]))) {
      continue;  // a position, or a name SQLite matches against the result columns itself
    }
    const std::string key = NormalizedExpression(t, shape, begin, end);
    for (const Member& m : members) {
      const std::size_t position = ResultColumnPosition(t, shape, m, key);
      if (position == 0) continue;
      t[begin] = Token{TokenKind::kNumber, std::to_string(position), t[begin].space_before, {}};
      for (std::size_t i = begin + 1; i < end; ++i) t[i].kind = TokenKind::kRemoved;
      break;
    }
  }
}

// A select that removes duplicate rows (DISTINCT, UNION) compares texts
// without letter case, as the original engine did: a result column that is a
// column reference gets COLLATE NOCASE and keeps its name.
void DeduplicateWithoutCase(std::vector<Token>& t, const Shape& shape, const Member& m) {
  for (auto [begin, end] : SplitAtCommas(t, shape, m.list_begin, m.list_end)) {
    std::size_t b = begin;
    std::size_t e = end;
    while (e - b >= 2 && t[b].kind == TokenKind::kLeftParen && shape.match[b] == e - 1) {
      ++b;
      --e;
    }
    const Token* name = nullptr;
    if (e - b == 1 && IsNameLike(t[b])) {
      name = &t[b];
    } else if (e - b == 3 && IsNameLike(t[b]) && IsOperator(t[b + 1], ".") &&
               IsNameLike(t[b + 2])) {
      name = &t[b + 2];
    }
    if (name) t[end - 1].after = " COLLATE NOCASE AS " + QuoteName(name->text);
  }
}

// The table of a FROM clause that names exactly one table, with its alias
// (null when it has none).
struct FromTable {
  const Token* table = nullptr;
  const Token* alias = nullptr;
};

std::optional<FromTable> SingleFromTable(const std::vector<Token>& t, const Member& m) {
  if (m.from_begin == kNone) return std::nullopt;
  const std::size_t b = m.from_begin;
  const std::size_t count = m.from_end - b;
  if (count == 0 || !IsNameLike(t[b])) return std::nullopt;
  if (count == 1) return FromTable{&t[b], nullptr};
  if (count == 2 && IsNameLike(t[b + 1])) return FromTable{&t[b], &t[b + 1]};
  if (count == 3 && IsWord(t[b + 1], "as") && IsNameLike(t[b + 2])) {
    return FromTable{&t[b], &t[b + 2]};
  }
  return std::nullopt;
}

std::string TokenText(const Token& token) {
  return token.kind == TokenKind::kName ? QuoteName(token.text) : token.text;
}

// A UNION whose members all select `alias.*` (or `*`) from one table T keeps
// the original engine's result: T's rows in rowid order, rows equal in every
// column (texts compared without letter case) once, the first of them kept:
//   SELECT * FROM T WHERE rowid IN (SELECT min(rowid) FROM T WHERE rowid IN
//     (SELECT a.rowid FROM T AS a WHERE c1 UNION ALL SELECT ...)
//     GROUP BY c1 COLLATE NOCASE, ...) ORDER BY rowid
// Returns nothing when the statement is not of that form.
std::optional<std::string> RowidOrderedUnion(const std::vector<Token>& t,
                                             const std::vector<Member>& members,
                                             const ColumnLookup& columns) {
  std::vector<FromTable> sources;
  for (const Member& m : members) {
    if (m.grouped || m.other_tail) return std::nullopt;
    if (&m == &members.back() && m.order != kNone) return std::nullopt;
    const std::optional<FromTable> from = SingleFromTable(t, m);
    if (!from) return std::nullopt;
    if (!sources.empty() && !EqualsNoCase(from->table->text, sources[0].table->text)) {
      return std::nullopt;
    }
    const std::size_t list = m.list_end - m.list_begin;
    const Token* first = &t[m.list_begin];
    if (list == 3 && IsNameLike(first[0]) && IsOperator(first[1], ".") &&
        IsOperator(first[2], "*")) {
      const Token& qualifier = from->alias ? *from->alias : *from->table;
      if (!EqualsNoCase(first[0].text, qualifier.text)) return std::nullopt;
    } else if (!(list == 1 && IsOperator(first[0], "*"))) {
      return std::nullopt;
    }
    sources.push_back(*from);
  }
  if (!columns) return std::nullopt;
  const std::string& table_name = sources[0].table->text;
  const std::vector<std::string> names = columns(table_name);
  if (names.empty()) return std::nullopt;

  // The rowid under a name that no column hides.
  std::string rowid;
  for (std::string_view candidate : {"rowid", "_rowid_", "oid"}) {
    if (std::none_of(names.begin(), names.end(),
                     [&](const std::string& c) { return EqualsNoCase(c, candidate); })) {
      rowid = candidate;
      break;
    }
  }
  if (rowid.empty()) return std::nullopt;

  const std::string table = QuoteName(table_name);
  std::string out = "SELECT * FROM " + table + " WHERE " + rowid + " IN (SELECT min(" + rowid +
                    ") FROM " + table + " WHERE " + rowid + " IN (";
  for (std::size_t k = 0; k < members.size(); ++k) {
    const Member& m = members[k];
    if (k > 0) out += " UNION ALL ";
    out += "SELECT ";
    if (sources[k].alias) out += TokenText(*sources[k].alias) + ".";
    out += rowid + " FROM " + table;
    if (sources[k].alias) out += " AS " + TokenText(*sources[k].alias);
    if (m.where_begin != kNone) {
      out += " WHERE";
      if (m.where_begin < m.where_end && !t[m.where_begin].space_before) out += ' ';
      sql::AppendTokens(out, t.data() + m.where_begin, t.data() + m.where_end);
    }
  }
  out += ") GROUP BY ";
  for (std::size_t c = 0; c < names.size(); ++c) {
    if (c > 0) out += ", ";
    out += QuoteName(names[c]) + " COLLATE NOCASE";
  }
  out += ") ORDER BY " + rowid;
  return out;
}

// Fills the single table of a plain SELECT: one table, no join, grouping,
// distinct or aggregate function in the select list.
void NoteSingleTable(const std::vector<Token>& t, const Member& m, Translation& result) {
  static constexpr std::string_view kAggregates[] = {
      "avg",   "count",  "first", "group_concat", "last", "max", "min",
      "stdev", "stdevp", "sum",   "total",        "var",  "varp"};
  if (m.distinct || m.grouped || m.list_begin == m.list_end) return;
  const std::optional<FromTable> from = SingleFromTable(t, m);
  if (!from) return;
  for (std::size_t i = m.list_begin; i + 1 < m.list_end; ++i) {
    if (IsNameLike(t[i]) && t[i + 1].kind == TokenKind::kLeftParen) {
      for (std::string_view aggregate : kAggregates) {
        if (EqualsNoCase(t[i].text, aggregate)) return;
      }
    }
  }
  result.single_table = from->table->text;
  result.single_table_alias = from->alias ? from->alias->text : from->table->text;
}

// A SELECT statement split into the members of its compound.
struct Compound {
  std::vector<Member> members;  // empty when a member does not start with SELECT
  bool all_plain_union = true;  // every operator is UNION (not UNION ALL)
  bool removes_duplicates = false;
};

Compound SplitCompound(const std::vector<Token>& t, const Shape& shape) {
  static constexpr std::string_view kOperators[] = {"union", "intersect", "except"};
  Compound c;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= t.size(); ++i) {
    const bool at_end = i == t.size();
    if (!at_end && !(shape.depth[i] == 0 && IsAnyWord(t[i], kOperators))) continue;
    if (start >= t.size() || !IsWord(t[start], "select")) return {};
    c.members.push_back(ParseMember(t, shape, start, i));
    if (c.members.back().distinct) c.removes_duplicates = true;
    if (at_end) break;
    start = i + 1;
    if (!IsWord(t[i], "union")) c.all_plain_union = false;
    if (start < t.size() && IsWord(t[start], "all")) {
      c.all_plain_union = false;
      ++start;
    } else {
      c.removes_duplicates = true;
    }
  }
  return c;
}

// Passes 3 and 4 on a SELECT statement. Returns the whole translation when
// the statement was rebuilt, else nothing (the tokens are then written back).
std::optional<std::string> TranslateSelect(std::vector<Token>& tokens, const ColumnLookup& columns,
                                           Translation& result) {
  const Shape shape = ShapeOf(tokens);
  const Compound compound = SplitCompound(tokens, shape);
  const std::vector<Member>& members = compound.members;
  if (members.empty()) return std::nullopt;
  if (members.size() == 1) {
    if (compound.removes_duplicates) DeduplicateWithoutCase(tokens, shape, members[0]);
    NoteSingleTable(tokens, members[0], result);
    return std::nullopt;
  }
  for (std::size_t k = 0; k + 1 < members.size(); ++k) {
    const Member& m = members[k];
    if (m.order == kNone) continue;
    for (std::size_t i = m.order; i < m.order_end; ++i) tokens[i].kind = TokenKind::kRemoved;
  }
  if (compound.all_plain_union) {
    if (std::optional<std::string> sql = RowidOrderedUnion(tokens, members, columns)) return sql;
  }
  if (compound.removes_duplicates) {
    for (const Member& m : members) DeduplicateWithoutCase(tokens, shape, m);
  }
  OrderByPositions(tokens, shape, members);
  return std::nullopt;
}

}  // namespace

namespace {

// The name under which a table's rowid can be selected: the first of rowid,
// _rowid_ and oid that no column hides; empty when all are hidden.
std::string FreeRowidName(const std::vector<std::string>& columns) {
  for (const char* rowid : {"rowid", "_rowid_", "oid"}) {
    bool hidden = false;
    for (const std::string& c : columns) hidden = hidden || EqualsNoCase(c, rowid);
    if (!hidden) return rowid;
  }
  return {};
}

}  // namespace

Translation TranslateStatement(std::string_view statement, const ColumnLookup& columns,
                               const StatementUse& use) {
  std::vector<Token> tokens = sql::Tokenize(statement);
  while (!tokens.empty() && tokens.back().kind == TokenKind::kSemicolon) tokens.pop_back();

  Translation result;
  if (IsDmlStatement(tokens)) {
    QuoteSqliteKeywords(tokens);
    tokens = CompareWithoutCase(tokens, use.numeric_parameters);
    LikeAsJetPattern(tokens);
    if (IsWord(tokens[0], "select")) {
      if (std::optional<std::string> sql = TranslateSelect(tokens, columns, result)) {
        result.sql = std::move(*sql);
        return result;
      }
    } else if (use.executed && IsWord(tokens[0], "update") &&
               !(tokens.size() > 1 && IsWord(tokens[1], "or"))) {
      tokens[0].after += " OR IGNORE";
    }
  }
  result.sql.reserve(statement.size() + 32);
  sql::AppendTokens(result.sql, tokens.data(), tokens.data() + tokens.size());
  if (use.updatable && !result.single_table.empty()) {
    const std::string rowid = FreeRowidName(columns(result.single_table));
    if (!rowid.empty()) {
      tokens[0].after += " " + QuoteName(result.single_table_alias) + "." + rowid + ",";
      result.sql_with_rowid.reserve(result.sql.size() + 32);
      sql::AppendTokens(result.sql_with_rowid, tokens.data(), tokens.data() + tokens.size());
    }
  }
  return result;
}

// JetLike --------------------------------------------------------------------
//
// A pattern is a sequence of elements, each matching exactly one character
// (a literal, `?`, `#` or a [list]), plus `*` for any run. Such patterns are
// matched by the classic two-pointer method: on a mismatch, go back to the
// last `*`, let it take one more character, and go on; time is at most
// text length times pattern length. `[]` matches nothing (the empty text) and
// is skipped. Characters are UTF-8 code points; a byte that does not start a
// valid sequence counts as one character.

namespace {

char32_t NextChar(std::string_view s, std::size_t& pos) {
  const auto b0 = static_cast<unsigned char>(s[pos]);
  std::size_t extra = (b0 >= 0xF0 && b0 <= 0xF4)   ? 3
                      : (b0 >= 0xE0 && b0 <= 0xEF) ? 2
                      : (b0 >= 0xC2 && b0 <= 0xDF) ? 1
                                                   : 0;
  if (pos + extra >= s.size()) extra = 0;
  char32_t c = extra == 0 ? b0 : (b0 & (0x3Fu >> extra));
  for (std::size_t k = 1; k <= extra; ++k) {
    const auto b = static_cast<unsigned char>(s[pos + k]);
    if ((b & 0xC0) != 0x80) {
      ++pos;
      return b0;
    }
    c = (c << 6) | (b & 0x3Fu);
  }
  pos += 1 + extra;
  return c;
}

char32_t Lower(char32_t c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }
char32_t Upper(char32_t c) { return c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c; }

// Whether `c` belongs to the list between `[` (or `[!`) and `]`.
bool InList(std::string_view list, char32_t c) {
  const char32_t lower = Lower(c);
  std::size_t pos = 0;
  while (pos < list.size()) {
    const char32_t from = NextChar(list, pos);
    // `-` between two characters makes a range; at the start or end it is itself.
    if (pos + 1 < list.size() && list[pos] == '-') {
      ++pos;
      const char32_t to = NextChar(list, pos);
      if ((c >= from && c <= to) || (lower >= from && lower <= to) ||
          (Upper(c) >= from && Upper(c) <= to)) {
        return true;
      }
    } else if (Lower(from) == lower) {
      return true;
    }
  }
  return false;
}

// Whether `c` matches the element at pattern[p]; advances p past the element.
// Precondition: every `[` has its `]`.
bool MatchElement(std::string_view pattern, std::size_t& p, char32_t c) {
  const char head = pattern[p];
  if (head == '?') {
    ++p;
    return true;
  }
  if (head == '#') {
    ++p;
    return c >= '0' && c <= '9';
  }
  if (head == '[') {
    const std::size_t close = pattern.find(']', p + 1);
    std::string_view list = pattern.substr(p + 1, close - p - 1);
    p = close + 1;
    const bool negated = !list.empty() && list[0] == '!';
    if (negated) list.remove_prefix(1);
    return InList(list, c) != negated;
  }
  return Lower(NextChar(pattern, p)) == Lower(c);
}

bool BracketsClosed(std::string_view pattern) {
  for (std::size_t p = pattern.find('['); p != std::string_view::npos; p = pattern.find('[', p)) {
    p = pattern.find(']', p + 1);
    if (p == std::string_view::npos) return false;
  }
  return true;
}

void SkipEmptyLists(std::string_view pattern, std::size_t& p) {
  while (pattern.substr(p, 2) == "[]") p += 2;
}

}  // namespace

bool JetLike(std::string_view text, std::string_view pattern) {
  if (!BracketsClosed(pattern)) return false;
  std::size_t t = 0;
  std::size_t p = 0;
  std::size_t star_p = kNone;  // pattern position after the last `*`
  std::size_t star_t = 0;      // text position that `*` matched up to
  for (;;) {
    SkipEmptyLists(pattern, p);
    if (p < pattern.size() && pattern[p] == '*') {
      star_p = ++p;
      star_t = t;
      continue;
    }
    if (t == text.size()) break;
    if (p < pattern.size()) {
      std::size_t next_p = p;
      std::size_t next_t = t;
      const char32_t c = NextChar(text, next_t);
      if (MatchElement(pattern, next_p, c)) {
        p = next_p;
        t = next_t;
        continue;
      }
    }
    if (star_p == kNone) return false;
    NextChar(text, star_t);
    p = star_p;
    t = star_t;
  }
  for (;;) {
    SkipEmptyLists(pattern, p);
    if (p < pattern.size() && pattern[p] == '*') {
      ++p;
    } else {
      break;
    }
  }
  return p == pattern.size();
}

}  // namespace relamor::db
