#include "csv_output/date_text.hpp"

#include "fields/date_grammar.hpp"

namespace csv_output {

namespace {

char* put_digits(char* out, unsigned value, int count) {
  for (int i = count - 1; i >= 0; --i) {
    out[i] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  return out + count;
}

char* put_date(char* out, int64_t days) {
  const fields::CivilDate date = fields::civil_from_days(days);
  out = put_digits(out, static_cast<unsigned>(date.year), 4);
  *out++ = '-';
  out = put_digits(out, date.month, 2);
  *out++ = '-';
  return put_digits(out, date.day, 2);
}

// Floor division: the day of an instant before 1970 begins before it.
int64_t floor_divide(int64_t value, int64_t divisor) {
  const int64_t quotient = value / divisor;
  return quotient - ((value % divisor != 0) && ((value < 0) != (divisor < 0)) ? 1 : 0);
}

}  // namespace

std::string_view date_text(char (&buffer)[64], int64_t days) {
  if (days < fields::kFirstDay || days >= fields::kDayAfterLast) return {};
  return {buffer, static_cast<size_t>(put_date(buffer, days) - buffer)};
}

std::string_view timestamp_text(char (&buffer)[64], int64_t micros, bool utc) {
  const int64_t days = floor_divide(micros, fields::kMicrosPerDay);
  if (days < fields::kFirstDay || days >= fields::kDayAfterLast) return {};
  const int64_t time = micros - days * fields::kMicrosPerDay;
  const auto seconds = static_cast<unsigned>(time / fields::kMicrosPerSecond);
  auto fraction = static_cast<unsigned>(time % fields::kMicrosPerSecond);
  char* out = put_date(buffer, days);
  *out++ = 'T';
  out = put_digits(out, seconds / 3600, 2);
  *out++ = ':';
  out = put_digits(out, seconds / 60 % 60, 2);
  *out++ = ':';
  out = put_digits(out, seconds % 60, 2);
  if (fraction != 0) {
    int digits = 6;
    for (; fraction % 10 == 0; fraction /= 10) --digits;
    *out++ = '.';
    out = put_digits(out, fraction, digits);
  }
  if (utc) *out++ = 'Z';
  return {buffer, static_cast<size_t>(out - buffer)};
}

}  // namespace csv_output
