// Small text helpers shared by the converters.
#pragma once

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

namespace relamor {

// Upper-cased copy (ASCII letters; other bytes unchanged).
inline std::string Upper(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return out;
}

// Equality ignoring ASCII letter case, as the table-list searches compare.
inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::toupper(x) == std::toupper(y);
         });
}

// A name from the data, quoted for use in a statement: "name" with any
// double quote doubled.
inline std::string QuoteName(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

}  // namespace relamor
