// The tokenizer is a single left-to-right scan. Quoted names and text
// literals are read up to their closing quote (a doubled quote stands for one
// inside "name" and 'text'; [name] has no escape and ends at the first `]`).
// Comments (-- to the end of the line, /* ... */) count as whitespace.
#include "toolkit/db/sql_tokens.h"

#include <cstddef>

#include "toolkit/error.h"
#include "toolkit/text.h"

namespace relamor::db::sql {
namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
// Letters, `_` and every byte of a multi-byte UTF-8 character start a word.
bool IsWordStart(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' ||
         static_cast<unsigned char>(c) >= 0x80;
}
bool IsWordPart(char c) { return IsWordStart(c) || IsDigit(c) || c == '$'; }

[[noreturn]] void ThrowUnterminated(std::string_view what, std::string_view statement) {
  throw Error(err::kSyntaxError, "Syntax error (missing closing " + std::string(what) +
                                     ") in statement: " + std::string(statement));
}

// Reads a quoted run starting at s[pos] (the opening quote) and returns the
// position after the closing quote. `doubled` lets two closing quotes stand
// for one inside. The unquoted content goes to `content`.
std::size_t ReadQuoted(std::string_view s, std::size_t pos, char close, bool doubled,
                       std::string& content) {
  std::size_t i = pos + 1;
  while (i < s.size()) {
    if (s[i] == close) {
      if (doubled && i + 1 < s.size() && s[i + 1] == close) {
        content += close;
        i += 2;
        continue;
      }
      return i + 1;
    }
    content += s[i++];
  }
  return std::string_view::npos;
}

std::size_t ReadNumber(std::string_view s, std::size_t i) {
  if (s[i] == '0' && i + 2 < s.size() && (s[i + 1] == 'x' || s[i + 1] == 'X') &&
      IsHexDigit(s[i + 2])) {
    i += 2;
    while (i < s.size() && IsHexDigit(s[i])) ++i;
    return i;
  }
  while (i < s.size() && IsDigit(s[i])) ++i;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && IsDigit(s[i])) ++i;
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
    if (j < s.size() && IsDigit(s[j])) {
      i = j;
      while (i < s.size() && IsDigit(s[i])) ++i;
    }
  }
  return i;
}

}  // namespace

std::vector<Token> Tokenize(std::string_view s) {
  std::vector<Token> tokens;
  bool space = false;
  std::size_t i = 0;
  while (i < s.size()) {
    const char c = s[i];
    if (IsSpace(c)) {
      space = true;
      ++i;
      continue;
    }
    if (c == '-' && i + 1 < s.size() && s[i + 1] == '-') {
      while (i < s.size() && s[i] != '\n') ++i;
      space = true;
      continue;
    }
    if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
      const std::size_t close = s.find("*/", i + 2);
      i = close == std::string_view::npos ? s.size() : close + 2;
      space = true;
      continue;
    }

    Token token;
    token.space_before = space;
    space = false;
    std::size_t next = i + 1;
    if (c == '\'') {
      std::string ignored;
      next = ReadQuoted(s, i, '\'', true, ignored);
      if (next == std::string_view::npos) ThrowUnterminated("'", s);
      token.kind = TokenKind::kText;
      token.text = std::string(s.substr(i, next - i));
    } else if (c == '"' || c == '`' || c == '[') {
      const char close = c == '[' ? ']' : c;
      next = ReadQuoted(s, i, close, c != '[', token.text);
      if (next == std::string_view::npos) ThrowUnterminated(std::string(1, close), s);
      token.kind = TokenKind::kName;
    } else if (IsDigit(c) || (c == '.' && i + 1 < s.size() && IsDigit(s[i + 1]))) {
      next = ReadNumber(s, i);
      token.kind = TokenKind::kNumber;
      token.text = std::string(s.substr(i, next - i));
    } else if (IsWordStart(c)) {
      while (next < s.size() && IsWordPart(s[next])) ++next;
      token.kind = TokenKind::kWord;
      token.text = std::string(s.substr(i, next - i));
    } else if (c == '?') {
      while (next < s.size() && IsDigit(s[next])) ++next;
      token.kind = TokenKind::kParam;
      token.text = std::string(s.substr(i, next - i));
    } else if ((c == ':' || c == '@' || c == '$') && next < s.size() && IsWordPart(s[next])) {
      while (next < s.size() && IsWordPart(s[next])) ++next;
      token.kind = TokenKind::kParam;
      token.text = std::string(s.substr(i, next - i));
    } else if (c == '(') {
      token.kind = TokenKind::kLeftParen;
      token.text = "(";
    } else if (c == ')') {
      token.kind = TokenKind::kRightParen;
      token.text = ")";
    } else if (c == ',') {
      token.kind = TokenKind::kComma;
      token.text = ",";
    } else if (c == ';') {
      token.kind = TokenKind::kSemicolon;
      token.text = ";";
    } else {
      static constexpr std::string_view kTwoCharOperators[] = {
          "<=", ">=", "<>", "!=", "==", "||", "<<", ">>"};
      token.kind = TokenKind::kOperator;
      for (std::string_view op : kTwoCharOperators) {
        if (s.substr(i, 2) == op) {
          next = i + 2;
          break;
        }
      }
      token.text = std::string(s.substr(i, next - i));
    }
    tokens.push_back(std::move(token));
    i = next;
  }
  return tokens;
}

void AppendToken(std::string& out, const Token& token) {
  if (token.kind == TokenKind::kRemoved) return;
  const bool quoted = token.kind == TokenKind::kName;
  if (!out.empty() && (token.space_before || (quoted && out.back() == '"'))) out += ' ';
  if (quoted) {
    out += QuoteName(token.text);
  } else {
    out += token.text;
  }
  out += token.after;
}

void AppendTokens(std::string& out, const Token* begin, const Token* end) {
  for (const Token* t = begin; t != end; ++t) AppendToken(out, *t);
}

bool IsWord(const Token& token, std::string_view keyword) {
  return token.kind == TokenKind::kWord && EqualsNoCase(token.text, keyword);
}

}  // namespace relamor::db::sql
