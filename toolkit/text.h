// The ASCII text helpers of the whole program: letter case and quoted names.
//
// Letter case is folded for the ASCII letters only, never through the locale,
// which is how the engine's case-blind comparison (NOCASE) folds it; other
// bytes, UTF-8 sequences included, compare as they are.
#pragma once

#include <string>
#include <string_view>

namespace relamor {

constexpr char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Upper-cased and lower-cased copies.
inline std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = AsciiUpper(c);
  return out;
}
inline std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

// Equality ignoring letter case.
inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// The key under which the engine's case-blind comparison (NOCASE) finds
// texts equal: such texts have one length and, with the ASCII letters
// folded, the same bytes up to and including the first NUL byte, where that
// comparison stops.
inline void NoCaseKey(std::string_view text, std::string& key) {
  key.assign(std::to_string(text.size()));
  key += ':';
  for (char c : text) {
    key += AsciiLower(c);
    if (c == '\0') break;
  }
}
inline std::string NoCaseKey(std::string_view text) {
  std::string key;
  NoCaseKey(text, key);
  return key;
}

// A name as an SQL name: in double quotes, any inner double quote doubled.
inline std::string QuoteName(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 2);
  out += '"';
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

}  // namespace relamor
