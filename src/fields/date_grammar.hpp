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

constexpr bool is_leap_year(unsigned year) noexcept {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

constexpr unsigned days_in_month(unsigned year, unsigned month) noexcept {
  constexpr unsigned char kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && is_leap_year(year) ? 29 : kDays[month - 1];
}

// HH:MM at `p` as minutes, hours 00-23 and minutes 00-59.
inline bool hours_minutes(const char* p, int64_t& minutes) noexcept {
  unsigned hours, mins;
  const bool ok = digits(p, 2, hours) && digits(p + 3, 2, mins);
  minutes = hours * 60 + mins;
  return ok && p[2] == ':' && hours <= 23 && mins <= 59;
}

}  // namespace date_detail

// The first ten bytes of `text` as a date, in days since 1970-01-01.
inline bool parse_date_prefix(std::string_view text, int64_t& days) noexcept {
  if (text.size() < 10) return false;
  const char* p = text.data();
  unsigned year, month, day;
  const bool ok = date_detail::digits(p, 4, year) && date_detail::digits(p + 5, 2, month) &&
                  date_detail::digits(p + 8, 2, day);
  if (!ok || p[4] != '-' || p[7] != '-' || year == 0 || month - 1 > 11 || day == 0 ||
      day > date_detail::days_in_month(year, month)) {
    return false;
  }
  days = days_from_civil(year, month, day);
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
  int64_t minutes;
  if (size < 16 || (p[10] != 'T' && p[10] != ' ') || !date_detail::hours_minutes(p + 11, minutes)) return false;
  int64_t time = minutes * 60 * kMicrosPerSecond;
  size_t at = 16;
  if (at < size && p[at] == ':') {
    unsigned second;
    if (size < at + 3 || !digits(p + at + 1, 2, second) || second > 59) return false;
    time += second * kMicrosPerSecond;
    at += 3;
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
