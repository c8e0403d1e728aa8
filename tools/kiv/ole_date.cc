#include "tools/kiv/ole_date.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace kiv::cli {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's
// days_from_civil).
constexpr std::int64_t DaysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

// The inverse of DaysFromCivil (H. Hinnant's civil_from_days).
constexpr CivilDate CivilFromDays(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
  const unsigned month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  return {static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0), month,
          dayOfYear - (153 * monthIndex + 2) / 5 + 1};
}

constexpr std::int64_t kDateEpoch = DaysFromCivil(1899, 12, 30);
static_assert(DaysFromCivil(2000, 1, 1) - kDateEpoch == 36526);

bool IsLeapYear(int year) {
  return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Reads exactly `width` decimal digits at text[pos], advancing pos.
bool ReadDigits(std::string_view text, std::size_t& pos, std::size_t width, int& value) {
  if (text.size() - pos < width) return false;
  value = 0;
  for (std::size_t end = pos + width; pos < end; ++pos) {
    if (text[pos] < '0' || text[pos] > '9') return false;
    value = value * 10 + (text[pos] - '0');
  }
  return true;
}

bool Expect(std::string_view text, std::size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

}  // namespace

std::optional<DATE> DateFromIso8601(std::string_view text) {
  std::size_t pos = 0;
  int year, month, day, hour, minute, second;
  if (!ReadDigits(text, pos, 4, year) || !Expect(text, pos, '-') ||
      !ReadDigits(text, pos, 2, month) || !Expect(text, pos, '-') ||
      !ReadDigits(text, pos, 2, day) || !Expect(text, pos, 'T') ||
      !ReadDigits(text, pos, 2, hour) || !Expect(text, pos, ':') ||
      !ReadDigits(text, pos, 2, minute) || !Expect(text, pos, ':') ||
      !ReadDigits(text, pos, 2, second)) {
    return std::nullopt;
  }
  int milliseconds = 0;
  if (Expect(text, pos, '.')) {
    int scale = 100;
    std::size_t digits = 0;
    for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos, ++digits) {
      milliseconds += (text[pos] - '0') * scale;
      scale /= 10;
    }
    if (digits < 1 || digits > 3) return std::nullopt;
  }
  if (!Expect(text, pos, 'Z') || pos != text.size()) return std::nullopt;
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return std::nullopt;
  }

  const std::int64_t days =
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) - kDateEpoch;
  const std::int64_t msOfDay = ((hour * 60 + minute) * 60 + second) * 1000LL + milliseconds;
  const double fraction = static_cast<double>(msOfDay) / 86'400'000.0;
  const auto whole = static_cast<double>(days);
  return days < 0 ? whole - fraction : whole + fraction;
}

std::optional<std::string> DateToIso8601(DATE date) {
  // Beyond +-3,000,000 days lies no year from 0000 to 9999; the bound also
  // keeps the conversions below in range.
  if (!std::isfinite(date) || std::fabs(date) > 3e6) return std::nullopt;
  // The whole days count towards zero; the fraction is the time of day on
  // both sides of the epoch (see DateFromIso8601).
  const double whole = std::trunc(date);
  const std::int64_t msOfDay = std::llround(std::fabs(date - whole) * 86'400'000.0);
  if (msOfDay >= 86'400'000) return std::nullopt;
  const CivilDate civil = CivilFromDays(static_cast<std::int64_t>(whole) + kDateEpoch);
  if (civil.year < 0 || civil.year > 9999) return std::nullopt;
  const auto seconds = msOfDay / 1000;
  char text[32];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02uT%02lld:%02lld:%02lld",
                static_cast<long long>(civil.year), civil.month, civil.day,
                static_cast<long long>(seconds / 3600), static_cast<long long>(seconds / 60 % 60),
                static_cast<long long>(seconds % 60));
  std::string iso = text;
  if (msOfDay % 1000 != 0) {
    std::snprintf(text, sizeof text, ".%03lld", static_cast<long long>(msOfDay % 1000));
    iso += text;
  }
  iso += 'Z';
  // Only a text that means exactly these bits: a DATE between two
  // milliseconds, or -0.25 (which the text would give back as 0.25), stays
  // a number.
  const auto back = DateFromIso8601(iso);
  if (!back || std::bit_cast<std::uint64_t>(*back) != std::bit_cast<std::uint64_t>(date)) {
    return std::nullopt;
  }
  return iso;
}

}  // namespace kiv::cli
