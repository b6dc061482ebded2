// Tokens of an SQL statement, for the dialect translation (dialect.h).
//
// Tokenize splits a statement into words (identifiers and keywords), quoted
// names ([name], "name", `name`), text literals ('it''s'), numbers,
// parameters (?, ?3, :name), operators and punctuation. Whitespace and
// comments are not tokens; each token remembers whether whitespace preceded
// it, so that AppendTokens writes the statement back with its spacing (runs of
// blanks become one blank). Throws Error 3075 for an unterminated text, quoted
// name or bracketed name; the description quotes the statement.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace relamor::db::sql {

enum class TokenKind {
  kWord,  // identifier or keyword, as written
  kName,  // a quoted name; `text` holds the name without its quotes
  kText,  // a text literal, quotes included, as written
  kNumber,
  kParam,     // ?, ?NNN, :name, @name, $name
  kOperator,  // = <> <= || . * and the like
  kLeftParen,
  kRightParen,
  kComma,
  kSemicolon,
  kRemoved,  // dropped by a rewrite; never written
};

struct Token {
  TokenKind kind = TokenKind::kOperator;
  std::string text;
  bool space_before = false;
  std::string after;  // text a rewrite adds right after the token
};

std::vector<Token> Tokenize(std::string_view statement);

// Appends tokens to `out` in SQLite's dialect: names double-quoted (with `"`
// doubled inside), a blank where the input had whitespace, and a blank
// between two quoted names that would otherwise merge. Removed tokens are
// skipped.
void AppendTokens(std::string& out, const Token* begin, const Token* end);
void AppendToken(std::string& out, const Token& token);


// True for a word token spelling `keyword` (given in lower case).
bool IsWord(const Token& token, std::string_view keyword);
// True for a word or a quoted name: something that can stand as a name.
inline bool IsNameLike(const Token& token) {
  return token.kind == TokenKind::kWord || token.kind == TokenKind::kName;
}
inline bool IsOperator(const Token& token, std::string_view op) {
  return token.kind == TokenKind::kOperator && token.text == op;
}

}  // namespace relamor::db::sql
