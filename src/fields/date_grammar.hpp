// Dates and timestamps as ISO 8601 writes them, in the proleptic Gregorian
// calendar:
//
//   date       YYYY-MM-DD
//   timestamp  YYYY-MM-DD[T| ]HH:MM[:SS[.F]][Z|+HH:MM|-HH:MM], or a date
//
// Years are 0001 to 9999 (four digits, no sign), months 01 to 12, days up
// to the month's length (February has 29 in years divisible by 4, except
// those divisible by 100 but not by 400); hours 00 to 23, minutes and
// seconds 00 to 59 (no leap second); F is 1 to 9 digits, and those after the
// sixth must be 0, since values are kept in microseconds. An offset is at
// most 23:59 either way and is subtracted to give UTC; the result must still
// lie in years 0001 to 9999. A date alone in a timestamp is its midnight.
// Nothing else is accepted: no whitespace, no lower-case 't' or 'z', no
// week or ordinal dates, no offsets without their colon.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace fields {

inline constexpr int64_t kMicrosPerSecond = 1'000'000;
inline constexpr int64_t kSecondsPerDay = 86'400;
inline constexpr int64_t kMicrosPerDay = kSecondsPerDay * kMicrosPerSecond;

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar,
// counted in 400-year eras that start on 1 March, so that a leap day ends
// its year.
constexpr int64_t days_from_civil(int64_t year, unsigned month, unsigned day) noexcept {
  year -= month <= 2 ? 1 : 0;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto year_of_era = static_cast<unsigned>(year - era * 400);
  const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + static_cast<int64_t>(day_of_era) - 719468;
}

struct CivilDate {
  int64_t year;
  unsigned month;
  unsigned day;
};

// The inverse of days_from_civil.
constexpr CivilDate civil_from_days(int64_t days) noexcept {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto day_of_era = static_cast<unsigned>(days - era * 146097);
  const unsigned year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const unsigned day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const unsigned shifted_month = (5 * day_of_year + 2) / 153;
  const unsigned day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
  const unsigned month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
  return {static_cast<int64_t>(year_of_era) + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

// The range every date and every timestamp in UTC lies in.
inline constexpr int64_t kFirstDay = days_from_civil(1, 1, 1);
inline constexpr int64_t kDayAfterLast = days_from_civil(10000, 1, 1);

namespace date_detail {

// The value of `count` ASCII digits at `p`; false when one is not a digit.
inline bool digits(const char* p, unsigned count, unsigned& value) noexcept {
  value = 0;
  bool ok = true;
  for (unsigned i = 0; i < count; ++i) {
    const unsigned digit = static_cast<unsigned>(static_cast<unsigned char>(p[i])) - unsigned{'0'};
    ok &= digit <= 9;
    value = value * 10 + digit;
  }
  return ok;
}

// Eight bytes, the first in the low byte.
inline uint64_t load8(const char* p) noexcept {
  uint64_t word;
  std::memcpy(&word, p, 8);
  return word;
}

// Whether the eight bytes of `word` are ASCII digits (see grammar.hpp's
// all_eight_digits for why the test is exact).
inline bool eight_digits(uint64_t word) noexcept {
  const uint64_t x = word - 0x3030303030303030;
  return ((x | (x + 0x7676767676767676)) & 0x8080808080808080) == 0;
}

// Byte i of a word of digits as its value.
inline unsigned digit_at(uint64_t word, unsigned i) noexcept {
  return static_cast<unsigned>((word >> (8 * i)) & 0xFF) - unsigned{'0'};
}

// "NN?NN?NN" (the separators at bytes 2 and 5, as in "12:34:56") as the
// three numbers; false unless the separators are `separator` and the rest
// are digits.
inline bool three_pairs(const char* p, char separator, unsigned& a, unsigned& b, unsigned& c) noexcept {
  const uint64_t word = load8(p);
  constexpr uint64_t kSeparators = (uint64_t{0xFF} << 16) | (uint64_t{0xFF} << 40);
  const auto sep = static_cast<uint64_t>(static_cast<unsigned char>(separator));
  const uint64_t digits_only = (word & ~kSeparators) | (uint64_t{'0'} << 16) | (uint64_t{'0'} << 40);
  a = digit_at(word, 0) * 10 + digit_at(word, 1);
  b = digit_at(word, 3) * 10 + digit_at(word, 4);
  c = digit_at(word, 6) * 10 + digit_at(word, 7);
  return (word & kSeparators) == ((sep << 16) | (sep << 40)) && eight_digits(digits_only);
}

inline constexpr uint8_t kDaysInMonth[13] = {0, 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
inline constexpr uint16_t kDaysBeforeMonth[13] = {0, 0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};

// 1 in a leap year, else 0.
constexpr unsigned leap(unsigned year) noexcept {
  return (year % 4 == 0) & ((year % 100 != 0) | (year % 400 == 0));
}

// Days since 1970-01-01 of a valid date of years 1 to 9999: the days of
// the whole years before it, of the months before it, and its own. Unsigned
// division by constants, no branch.
constexpr int64_t days_since_epoch(unsigned year, unsigned month, unsigned day) noexcept {
  const unsigned before = year - 1;
  const unsigned days = 365 * before + before / 4 - before / 100 + before / 400 + kDaysBeforeMonth[month] +
                        (month > 2 ? leap(year) : 0) + day - 1;
  return static_cast<int64_t>(days) - 719162;  // the days from 0001-01-01 to 1970-01-01
}

// HH:MM at `p` as minutes, hours 00-23 and minutes 00-59.
inline bool hours_minutes(const char* p, int64_t& minutes) noexcept {
  unsigned hours = 0, mins = 0;
  const bool ok = digits(p, 2, hours) && digits(p + 3, 2, mins);
  minutes = hours * 60 + mins;
  return ok && p[2] == ':' && hours <= 23 && mins <= 59;
}

}  // namespace date_detail

// The first ten bytes of `text` as a date, in days since 1970-01-01.
inline bool parse_date_prefix(std::string_view text, int64_t& days) noexcept {
  using namespace date_detail;
  if (text.size() < 10) return false;
  const char* p = text.data();
  // "YYYY-MM-" is one word: the two dashes checked, then all eight bytes
  // as digits with '0' in their place.
  const uint64_t word = load8(p);
  constexpr uint64_t kDashes = (uint64_t{0xFF} << 32) | (uint64_t{0xFF} << 56);
  const uint64_t digits_only = (word & ~kDashes) | (uint64_t{'0'} << 32) | (uint64_t{'0'} << 56);
  const unsigned year = digit_at(word, 0) * 1000 + digit_at(word, 1) * 100 + digit_at(word, 2) * 10 + digit_at(word, 3);
  const unsigned month = digit_at(word, 5) * 10 + digit_at(word, 6);
  unsigned day;
  if ((word & kDashes) != ((uint64_t{'-'} << 32) | (uint64_t{'-'} << 56)) || !eight_digits(digits_only) ||
      !digits(p + 8, 2, day) || year == 0 || month - 1 > 11) {
    return false;
  }
  if (day - 1 >= kDaysInMonth[month] + (month == 2 ? leap(year) : 0)) return false;
  days = days_since_epoch(year, month, day);
  return true;
}

// YYYY-MM-DD, in days since 1970-01-01.
inline bool parse_date(std::string_view text, int64_t& days) noexcept {
  return text.size() == 10 && parse_date_prefix(text, days);
}

// A timestamp in microseconds since 1970-01-01T00:00 in UTC, or in wall
// time when it has no offset; `has_offset` tells which.
inline bool parse_timestamp(std::string_view text, int64_t& micros, bool& has_offset) noexcept {
  using date_detail::digits;
  int64_t days;
  if (!parse_date_prefix(text, days)) return false;
  has_offset = false;
  micros = days * kMicrosPerDay;
  const size_t size = text.size();
  if (size == 10) return true;
  const char* p = text.data();
  if (size < 16 || (p[10] != 'T' && p[10] != ' ')) return false;
  int64_t time;
  size_t at;
  unsigned hours, minutes, seconds;
  if (size >= 19 && date_detail::three_pairs(p + 11, ':', hours, minutes, seconds)) {
    // HH:MM:SS, the common spelling, read as one word.
    if (hours > 23 || minutes > 59 || seconds > 59) return false;
    time = ((hours * 60 + minutes) * 60 + seconds) * kMicrosPerSecond;
    at = 19;
  } else {
    int64_t hours_and_minutes;
    if (!date_detail::hours_minutes(p + 11, hours_and_minutes)) return false;
    time = hours_and_minutes * 60 * kMicrosPerSecond;
    at = 16;
    if (at < size && p[at] == ':') return false;  // seconds, but not two digits
  }
  if (at == 19) {
    if (at < size && p[at] == '.') {
      const size_t first = ++at;
      int64_t fraction = 0;
      while (at < size && at - first < 9) {
        const unsigned digit = static_cast<unsigned>(static_cast<unsigned char>(p[at])) - unsigned{'0'};
        if (digit > 9) break;
        if (at - first >= 6 && digit != 0) return false;  // finer than a microsecond
        if (at - first < 6) fraction = fraction * 10 + digit;
        ++at;
      }
      const size_t count = at - first;
      if (count == 0) return false;
      for (size_t i = count; i < 6; ++i) fraction *= 10;
      time += fraction;
    }
  }
  if (at < size) {
    if (p[at] == 'Z') {
      ++at;
    } else if (p[at] == '+' || p[at] == '-') {
      int64_t offset;
      if (size - at != 6 || !date_detail::hours_minutes(p + at + 1, offset)) return false;
      time -= (p[at] == '-' ? -offset : offset) * 60 * kMicrosPerSecond;
      at = size;
    } else {
      return false;
    }
    has_offset = true;
  }
  if (at != size) return false;
  micros += time;
  return micros >= kFirstDay * kMicrosPerDay && micros < kDayAfterLast * kMicrosPerDay;
}

}  // namespace fields
