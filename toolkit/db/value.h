// The value of one field: Null, a whole number, a real number, a text or a
// byte string. Values own their data, so a value read from a recordset stays
// valid after the recordset moves on or closes.
//
// The conversions below are the ones the converters apply to values read from
// a database (site numbers, slot codes, counters). They throw `Error` with the
// original run-time numbers: 94 for Null, 13 for text that is not a number,
// 6 for a number out of range. `what` names the value's origin in the message.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace relamor {

struct Blob {
  std::vector<unsigned char> bytes;
  bool operator==(const Blob&) const = default;
};

using Value = std::variant<std::monostate, std::int64_t, double, std::string, Blob>;

inline Value Null() { return Value{}; }
inline bool IsNull(const Value& v) { return std::holds_alternative<std::monostate>(v); }
inline bool IsNumber(const Value& v) {
  return std::holds_alternative<std::int64_t>(v) || std::holds_alternative<double>(v);
}

// Text form of a value: numbers in plain decimal ("7", "2.5"), Null as the
// empty text, a blob as its bytes.
std::string ToText(const Value& v);

// Readable form for error messages and logs: texts quoted, Null as "Null".
std::string Describe(const Value& v);

// Numeric conversions with the run-time's rules: Null is refused (94), a
// number in text form is accepted, any other text is refused (13); reals
// are rounded half to even; a result outside the range is refused (6).
std::int16_t ToInt16(const Value& v, std::string_view what = {});
std::int32_t ToInt32(const Value& v, std::string_view what = {});
double ToDouble(const Value& v, std::string_view what = {});

// Rounds half to even (2.5 -> 2, 3.5 -> 4), as the run-time's conversions do.
double RoundHalfEven(double x);

// Parses a whole text as a number (leading and trailing blanks allowed).
// Returns Null when the text is not a number.
Value ParseNumber(std::string_view text);

// Equality of two values as the statements of the engine compare them:
// Null equals nothing, numbers compare by value, texts without regard to
// letter case, a number and a numeric text by value.
bool ValuesEqual(const Value& a, const Value& b);

}  // namespace relamor
