// Text forms and numeric conversions of field values.
//
// Reals print in the shortest form that reads back to the same number, in
// plain decimal notation for magnitudes from 1e-5 up to 1e15 and in exponent
// notation outside that range. Conversions to whole numbers round half to
// even, as the original run-time did.
#include "toolkit/db/value.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "toolkit/error.h"
#include "toolkit/text.h"

namespace relamor {
namespace {

std::string FormatReal(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
  if (d == 0) return "0";  // also -0
  char buf[64];
  const double magnitude = std::fabs(d);
  const std::chars_format format = (magnitude >= 1e-5 && magnitude < 1e15)
                                       ? std::chars_format::fixed
                                       : std::chars_format::general;
  std::to_chars_result result = std::to_chars(buf, buf + sizeof buf, d, format);
  if (result.ec != std::errc()) result = std::to_chars(buf, buf + sizeof buf, d);
  return std::string(buf, result.ptr);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string Origin(std::string_view what) {
  return what.empty() ? std::string() : " (" + std::string(what) + ")";
}

// The value as a whole number within [lo, hi], with the run-time's errors.
std::int64_t ToWhole(const Value& v, std::string_view what, std::int64_t lo, std::int64_t hi) {
  if (IsNull(v)) throw Error(err::kInvalidUseOfNull, "Invalid use of Null" + Origin(what));
  if (const auto* text = std::get_if<std::string>(&v)) {
    const Value number = ParseNumber(*text);
    if (IsNull(number)) {
      throw Error(err::kTypeMismatch,
                  "Type mismatch: " + Describe(v) + " is not a number" + Origin(what));
    }
    return ToWhole(number, what, lo, hi);
  }
  if (std::holds_alternative<Blob>(v)) {
    throw Error(err::kTypeMismatch, "Type mismatch: binary data is not a number" + Origin(what));
  }
  const auto overflow = [&] {
    return Error(err::kOverflow, "Overflow: " + Describe(v) + " is outside " + std::to_string(lo) +
                                     " to " + std::to_string(hi) + Origin(what));
  };
  if (const auto* whole = std::get_if<std::int64_t>(&v)) {
    if (*whole < lo || *whole > hi) throw overflow();
    return *whole;
  }
  const double rounded = RoundHalfEven(std::get<double>(v));
  if (!(rounded >= static_cast<double>(lo) && rounded <= static_cast<double>(hi))) {
    throw overflow();  // also NaN
  }
  return static_cast<std::int64_t>(rounded);
}

}  // namespace

std::string ToText(const Value& v) {
  switch (v.index()) {
    case 0:
      return std::string();
    case 1:
      return std::to_string(std::get<std::int64_t>(v));
    case 2:
      return FormatReal(std::get<double>(v));
    case 3:
      return std::get<std::string>(v);
    default: {
      const auto& bytes = std::get<Blob>(v).bytes;
      return std::string(bytes.begin(), bytes.end());
    }
  }
}

std::string Describe(const Value& v) {
  switch (v.index()) {
    case 0:
      return "Null";
    case 3:
      return "'" + std::get<std::string>(v) + "'";
    case 4:
      return "binary data of " + std::to_string(std::get<Blob>(v).bytes.size()) + " bytes";
    default:
      return ToText(v);
  }
}

std::int16_t ToInt16(const Value& v, std::string_view what) {
  return static_cast<std::int16_t>(ToWhole(v, what, std::numeric_limits<std::int16_t>::min(),
                                           std::numeric_limits<std::int16_t>::max()));
}

std::int32_t ToInt32(const Value& v, std::string_view what) {
  return static_cast<std::int32_t>(ToWhole(v, what, std::numeric_limits<std::int32_t>::min(),
                                           std::numeric_limits<std::int32_t>::max()));
}

double ToDouble(const Value& v, std::string_view what) {
  switch (v.index()) {
    case 0:
      throw Error(err::kInvalidUseOfNull, "Invalid use of Null" + Origin(what));
    case 1:
      return static_cast<double>(std::get<std::int64_t>(v));
    case 2:
      return std::get<double>(v);
    case 3: {
      const Value number = ParseNumber(std::get<std::string>(v));
      if (IsNull(number)) {
        throw Error(err::kTypeMismatch,
                    "Type mismatch: " + Describe(v) + " is not a number" + Origin(what));
      }
      return ToDouble(number, what);
    }
    default:
      throw Error(err::kTypeMismatch, "Type mismatch: binary data is not a number" + Origin(what));
  }
}

Value ParseNumber(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  if (text.empty()) return Null();

  // Check the shape: [sign] digits [. digits] [e [sign] digits], with at
  // least one digit in the mantissa.
  std::size_t i = 0;
  const bool negative = text[0] == '-';
  if (text[0] == '+' || text[0] == '-') ++i;
  const std::size_t body = i;
  std::size_t mantissa_digits = 0;
  bool whole = true;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++mantissa_digits;
  if (i < text.size() && text[i] == '.') {
    whole = false;
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++mantissa_digits;
  }
  if (mantissa_digits == 0) return Null();
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    whole = false;
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t exponent_digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++exponent_digits;
    if (exponent_digits == 0) return Null();
  }
  if (i != text.size()) return Null();

  // from_chars takes no leading '+'; keep a '-' for it.
  const std::string_view digits = negative ? text.substr(body - 1) : text.substr(body);
  if (whole) {
    std::int64_t n = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), n);
    if (ec == std::errc() && end == digits.data() + digits.size()) return Value{n};
    // Too large for 64 bits: fall through to a real.
  }
  double d = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), d);
  if (ec != std::errc() || end != digits.data() + digits.size() || !std::isfinite(d)) {
    return Null();
  }
  return Value{d};
}

bool ValuesEqual(const Value& a, const Value& b) {
  if (IsNull(a) || IsNull(b)) return false;
  if (IsNumber(a) && IsNumber(b)) {
    const auto* ia = std::get_if<std::int64_t>(&a);
    const auto* ib = std::get_if<std::int64_t>(&b);
    if (ia && ib) return *ia == *ib;
    if (!ia && !ib) return std::get<double>(a) == std::get<double>(b);
    const std::int64_t whole = ia ? *ia : *ib;
    const double real = ia ? std::get<double>(b) : std::get<double>(a);
    // Compare exactly: the real must be integral and equal to the whole number.
    if (real != std::floor(real) || real < -9.2e18 || real > 9.2e18) return false;
    return static_cast<double>(whole) == real && static_cast<std::int64_t>(real) == whole;
  }
  const auto* ta = std::get_if<std::string>(&a);
  const auto* tb = std::get_if<std::string>(&b);
  if (ta && tb) return EqualsNoCase(*ta, *tb);
  if (ta && IsNumber(b)) {
    const Value n = ParseNumber(*ta);
    return !IsNull(n) && ValuesEqual(n, b);
  }
  if (tb && IsNumber(a)) {
    const Value n = ParseNumber(*tb);
    return !IsNull(n) && ValuesEqual(a, n);
  }
  const auto* ba = std::get_if<Blob>(&a);
  const auto* bb = std::get_if<Blob>(&b);
  return ba && bb && *ba == *bb;
}

// Independent of the floating-point rounding mode.
double RoundHalfEven(double x) {
  const double floor = std::floor(x);
  const double diff = x - floor;
  if (diff < 0.5) return floor;
  if (diff > 0.5) return floor + 1;
  return std::fmod(floor, 2.0) == 0 ? floor : floor + 1;
}

}  // namespace relamor
