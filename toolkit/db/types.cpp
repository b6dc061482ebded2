// Declared column types and the conversion of stored values.
//
// A declared type is read as its name (letter case and blanks ignored) and an
// optional "(n)" or "(p, s)" part. Only the text types use the number: it is
// their largest length in characters. Dates are stored as ISO 8601 text:
// "YYYY-MM-DD" for a date alone, "YYYY-MM-DD HH:MM:SS" (with any fraction of
// a second kept) when it has a time of day. A number stored into a date
// column counts days since 1899-12-30 with the time as its fraction, as the
// original engine's date values did; a text must be a date itself.
#include "toolkit/db/types.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "toolkit/error.h"

namespace relamor::db {
namespace {

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string FieldName(std::string_view table, std::string_view column) {
  return "'" + std::string(table) + "." + std::string(column) + "'";
}

[[noreturn]] void Refuse(const Value& v, std::string_view expected, std::string_view table,
                         std::string_view column) {
  throw Error(err::kConversionError, "Data type conversion error: the field " +
                                         FieldName(table, column) + " takes " +
                                         std::string(expected) + ", not " + Describe(v));
}

// A number (whole or real) from a value, or Null when it is not one.
Value NumberOf(const Value& v) {
  if (IsNumber(v)) return v;
  if (const auto* text = std::get_if<std::string>(&v)) return ParseNumber(*text);
  return Null();
}

Value ToWholeInRange(const Value& v, std::int64_t lo, std::int64_t hi, std::string_view table,
                     std::string_view column) {
  const Value number = NumberOf(v);
  if (IsNull(number)) Refuse(v, "a whole number", table, column);
  std::int64_t whole = 0;
  bool fits = false;
  if (const auto* i = std::get_if<std::int64_t>(&number)) {
    whole = *i;
    fits = whole >= lo && whole <= hi;
  } else {
    const double rounded = RoundHalfEven(std::get<double>(number));
    fits = rounded >= static_cast<double>(lo) && rounded <= static_cast<double>(hi);
    if (fits) whole = static_cast<std::int64_t>(rounded);
  }
  if (!fits) {
    throw Error(err::kOverflow, "Overflow: " + Describe(v) + " does not fit the field " +
                                    FieldName(table, column) + " (" + std::to_string(lo) + " to " +
                                    std::to_string(hi) + ")");
  }
  return Value{whole};
}

// Days since 1970-01-01 of a civil date, and back (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}


unsigned DaysInMonth(std::int64_t y, unsigned m) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  return (m == 2 && leap) ? 29 : kDays[m - 1];
}

// Reads 1 to `max_digits` digits at `pos`; false when there are none.
bool ReadNumber(std::string_view s, std::size_t& pos, std::size_t min_digits,
                std::size_t max_digits, unsigned& out) {
  std::size_t n = 0;
  out = 0;
  while (pos < s.size() && IsDigit(s[pos]) && n < max_digits) {
    out = out * 10 + static_cast<unsigned>(s[pos] - '0');
    ++pos;
    ++n;
  }
  return n >= min_digits && !(pos < s.size() && IsDigit(s[pos]));
}

// Parses "HH:MM[:SS[.fff]]" at `pos` to its normalised form.
bool ParseTime(std::string_view s, std::size_t& pos, std::string& out) {
  unsigned h = 0, mi = 0, sec = 0;
  if (!ReadNumber(s, pos, 1, 2, h) || pos >= s.size() || s[pos] != ':') return false;
  ++pos;
  if (!ReadNumber(s, pos, 2, 2, mi)) return false;
  std::string fraction;
  if (pos < s.size() && s[pos] == ':') {
    ++pos;
    if (!ReadNumber(s, pos, 2, 2, sec)) return false;
    if (pos < s.size() && s[pos] == '.') {
      const std::size_t start = pos++;
      while (pos < s.size() && IsDigit(s[pos])) ++pos;
      if (pos == start + 1) return false;
      fraction = std::string(s.substr(start, pos - start));
    }
  }
  if (h > 23 || mi > 59 || sec > 59) return false;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", h, mi, sec);
  out = buf + fraction;
  return true;
}

// An ISO 8601 date, date and time, or time of day; empty when not a date.
std::string NormaliseDateText(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  std::size_t pos = 0;
  std::string time;
  if (s.size() >= 3 && (s[1] == ':' || s[2] == ':')) {  // a time of day alone
    if (!ParseTime(s, pos, time) || pos != s.size()) return {};
    return "1899-12-30 " + time;
  }
  unsigned y = 0, m = 0, d = 0;
  if (!ReadNumber(s, pos, 4, 4, y) || pos >= s.size() || s[pos] != '-') return {};
  ++pos;
  if (!ReadNumber(s, pos, 1, 2, m) || pos >= s.size() || s[pos] != '-') return {};
  ++pos;
  if (!ReadNumber(s, pos, 1, 2, d)) return {};
  if (y < 100 || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m)) return {};
  if (pos < s.size()) {
    if (s[pos] != ' ' && s[pos] != 'T') return {};
    ++pos;
    if (!ParseTime(s, pos, time) || pos != s.size()) return {};
  }
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04u-%02u-%02u", y, m, d);
  return time.empty() ? std::string(buf) : std::string(buf) + " " + time;
}

// A date value of the original engine (days since 1899-12-30, the time as the
// fraction's absolute value) as ISO 8601 text; empty when out of range.
std::string DateFromNumber(double days) {
  if (!std::isfinite(days) || days < -657434.0 || days >= 2958466.0) return {};  // 100 .. 9999
  const double whole = std::trunc(days);
  std::int64_t seconds = std::llround(std::fabs(days - whole) * 86400.0);
  std::int64_t day = static_cast<std::int64_t>(whole);
  if (seconds >= 86400) {  // the fraction rounded up to midnight
    seconds -= 86400;
    day += days < 0 ? -1 : 1;
  }
  std::int64_t y = 0;
  unsigned m = 0, d = 0;
  CivilFromDays(day + DaysFromCivil(1899, 12, 30), y, m, d);
  char buf[96];
  if (seconds == 0) {
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u", static_cast<long long>(y), m, d);
  } else {
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u %02lld:%02lld:%02lld",
                  static_cast<long long>(y), m, d, static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  }
  return buf;
}

}  // namespace

long CharacterCount(std::string_view text) {
  // The bytes less the continuation bytes (10xxxxxx), sixteen or eight bytes
  // at a time: the fit check of a set-based copy counts every long text this
  // way.
  constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;
  std::size_t continuation = 0;
  std::size_t i = 0;
#if defined(__SSE2__)
  // A continuation byte is below -64 as a signed byte; each compare gives
  // -1 per such byte, subtracted into per-byte counters that the sum of
  // absolute differences adds up every 255 blocks at most.
  const __m128i below = _mm_set1_epi8(-64);
  while (i + 16 <= text.size()) {
    __m128i counts = _mm_setzero_si128();
    for (int block = 0; block < 255 && i + 16 <= text.size(); ++block, i += 16) {
      const __m128i bytes =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i));
      counts = _mm_sub_epi8(counts, _mm_cmpgt_epi8(below, bytes));
    }
    // The last bytes short of a block: the last sixteen bytes, of which the
    // compares of those already counted are masked off.
    if (i + 16 > text.size() && i < text.size()) {
      alignas(16) static constexpr unsigned char kLast[32] = {
          0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
          0,    0,    0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
          0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
      const __m128i bytes =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + text.size() - 16));
      const __m128i uncounted =
          _mm_loadu_si128(reinterpret_cast<const __m128i*>(kLast + (text.size() - i)));
      // A lane that holds 255 already takes no more: the tail goes into a
      // sum of its own.
      const __m128i tail = _mm_sad_epu8(
          _mm_sub_epi8(_mm_setzero_si128(),
                       _mm_and_si128(_mm_cmpgt_epi8(below, bytes), uncounted)),
          _mm_setzero_si128());
      continuation += static_cast<std::size_t>(_mm_cvtsi128_si32(tail)) +
                      static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(tail, 8)));
      i = text.size();
    }
    const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
    continuation += static_cast<std::size_t>(_mm_cvtsi128_si32(sums)) +
                    static_cast<std::size_t>(_mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
  }
#endif
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word = 0;
    std::memcpy(&word, text.data() + i, sizeof word);
    // One bit per continuation byte, moved to the byte's lowest bit; the
    // multiplication sums the eight bytes into the highest one.
    const std::uint64_t marks = (word & ~(word << 1) & kHighBits) >> 7;
    continuation += static_cast<std::size_t>((marks * 0x0101010101010101ULL) >> 56);
  }
  for (; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++continuation;
  }
  return static_cast<long>(text.size() - continuation);
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

namespace {

// The two digits at `p` as a number; false when either is not a digit. (The
// fit check of a set-based copy asks this of every date: inlined.)
[[gnu::always_inline]] inline bool TwoDigits(const char* p, unsigned& out) {
  const unsigned tens = static_cast<unsigned>(static_cast<unsigned char>(p[0])) - unsigned{'0'};
  const unsigned ones = static_cast<unsigned>(static_cast<unsigned char>(p[1])) - unsigned{'0'};
  out = tens * 10 + ones;
  return tens <= 9 && ones <= 9;
}

}  // namespace

bool IsCanonicalDate(std::string_view s) {
  // A fraction of a second: a point and at least one digit after the seconds.
  if (s.size() > 19) {
    if (s.size() == 20 || s[19] != '.') return false;
    for (std::size_t i = 20; i < s.size(); ++i) {
      if (!IsDigit(s[i])) return false;
    }
    s = s.substr(0, 19);
  }
  if (s.size() != 10 && s.size() != 19) return false;
  unsigned century = 0, year = 0, m = 0, d = 0;
  const char* p = s.data();
  if (!TwoDigits(p, century) || !TwoDigits(p + 2, year) || s[4] != '-' || !TwoDigits(p + 5, m) ||
      s[7] != '-' || !TwoDigits(p + 8, d)) {
    return false;
  }
  const unsigned y = century * 100 + year;
  if (y < 100 || m < 1 || m > 12 || d < 1 || (d > 28 && d > DaysInMonth(y, m))) return false;
  if (s.size() == 10) return true;
  unsigned h = 0, mi = 0, sec = 0;
  return s[10] == ' ' && TwoDigits(p + 11, h) && s[13] == ':' && TwoDigits(p + 14, mi) &&
         s[16] == ':' && TwoDigits(p + 17, sec) && h <= 23 && mi <= 59 && sec <= 59;
}

ColumnType ParseDeclaredType(std::string_view declared) {
  // The name: upper case, runs of blanks made one blank.
  std::string name;
  std::size_t i = 0;
  for (; i < declared.size() && declared[i] != '('; ++i) {
    const char c = declared[i];
    if (IsBlank(c)) {
      if (!name.empty() && name.back() != ' ') name += ' ';
    } else {
      name += Upper(c);
    }
  }
  if (!name.empty() && name.back() == ' ') name.pop_back();

  // The first number in parentheses, if any.
  long size = 0;
  bool has_size = false;
  if (i < declared.size()) {
    ++i;
    while (i < declared.size() && IsBlank(declared[i])) ++i;
    while (i < declared.size() && IsDigit(declared[i]) && size < 1000000000) {
      size = size * 10 + (declared[i] - '0');
      has_size = true;
      ++i;
    }
  }

  ColumnType type;
  if (name == "BYTE") {
    type.kind = TypeKind::kByte;
  } else if (name == "SHORT" || name == "SMALLINT") {
    type.kind = TypeKind::kShort;
  } else if (name == "LONG" || name == "INT" || name == "INTEGER") {
    type.kind = TypeKind::kLong;
  } else if (name == "COUNTER" || name == "AUTOINCREMENT") {
    type.kind = TypeKind::kLong;
    type.counter = true;
  } else if (name == "SINGLE" || name == "DOUBLE" || name == "FLOAT" || name == "REAL" ||
             name == "CURRENCY" || name == "NUMERIC") {
    type.kind = TypeKind::kReal;
  } else if (name == "YESNO" || name == "BIT" || name == "BOOLEAN") {
    type.kind = TypeKind::kYesNo;
  } else if (name == "TEXT" || name == "VARCHAR" || name == "CHAR") {
    type.kind = TypeKind::kText;
    if (has_size && size > 0) type.max_length = size;
  } else if (name == "MEMO" || name == "LONGTEXT") {
    type.kind = TypeKind::kText;
  } else if (name == "DATETIME" || name == "DATE") {
    type.kind = TypeKind::kDateTime;
  }
  return type;
}

Value ConvertForColumn(const Value& v, const ColumnType& type, std::string_view table,
                       std::string_view column) {
  if (IsNull(v)) return v;
  switch (type.kind) {
    case TypeKind::kAsGiven:
      return v;
    case TypeKind::kByte:
      return ToWholeInRange(v, 0, 255, table, column);
    case TypeKind::kShort:
      return ToWholeInRange(v, std::numeric_limits<std::int16_t>::min(),
                            std::numeric_limits<std::int16_t>::max(), table, column);
    case TypeKind::kLong:
      return ToWholeInRange(v, std::numeric_limits<std::int32_t>::min(),
                            std::numeric_limits<std::int32_t>::max(), table, column);
    case TypeKind::kReal: {
      const Value number = NumberOf(v);
      if (IsNull(number)) Refuse(v, "a number", table, column);
      if (const auto* i = std::get_if<std::int64_t>(&number)) {
        return Value{static_cast<double>(*i)};
      }
      return number;
    }
    case TypeKind::kYesNo: {
      const Value number = NumberOf(v);
      if (IsNull(number)) Refuse(v, "a Yes/No value (a number)", table, column);
      const bool yes = std::holds_alternative<std::int64_t>(number)
                           ? std::get<std::int64_t>(number) != 0
                           : std::get<double>(number) != 0;
      return Value{std::int64_t{yes ? -1 : 0}};
    }
    case TypeKind::kText: {
      Value text = std::holds_alternative<std::string>(v) ? v : Value{ToText(v)};
      if (type.max_length > 0) {
        const long length = CharacterCount(std::get<std::string>(text));
        if (length > type.max_length) {
          throw Error(err::kFieldTooSmall,
                      "Field too small: the field " + FieldName(table, column) + " takes at most " +
                          std::to_string(type.max_length) + " characters, not " +
                          std::to_string(length) + " in " + Describe(text));
        }
      }
      return text;
    }
    case TypeKind::kDateTime: {
      std::string date;
      if (const auto* text = std::get_if<std::string>(&v)) {
        if (IsCanonicalDate(*text)) return v;
        date = NormaliseDateText(*text);
      } else if (IsNumber(v)) {
        date = DateFromNumber(ToDouble(v));
      }
      if (date.empty()) Refuse(v, "a date", table, column);
      return Value{std::move(date)};
    }
  }
  return v;
}

}  // namespace relamor::db
