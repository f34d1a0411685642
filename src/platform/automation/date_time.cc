#include "tavikuser/date_time.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "tavikuser/automation.h"
#include "tavikuser/errors.h"

namespace tavikuser {
namespace {

constexpr std::int64_t kMillisecondsPerDay = 86'400'000;

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's
// civil-day algorithm).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 +
                          (month <= 2));
}

const std::int64_t kEpochDays = DaysFromCivil(1899, 12, 30);

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30,
                                  31, 31, 30, 31, 30, 31};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

bool ValidCalendar(const DateTime::Calendar& c) {
  return c.year >= 100 && c.year <= 9999 && c.month >= 1 && c.month <= 12 &&
         c.day >= 1 && c.day <= DaysInMonth(c.year, c.month) && c.hour >= 0 &&
         c.hour <= 23 && c.minute >= 0 && c.minute <= 59 && c.second >= 0 &&
         c.second <= 59 && c.millisecond >= 0 && c.millisecond <= 999;
}

// Reads exactly `width` digits at `pos`.
bool ReadDigits(std::string_view text, std::size_t& pos, std::size_t width,
                int& out) {
  if (pos + width > text.size()) return false;
  const char* first = text.data() + pos;
  for (std::size_t i = 0; i < width; ++i) {
    if (first[i] < '0' || first[i] > '9') return false;
  }
  std::from_chars(first, first + width, out);
  pos += width;
  return true;
}

bool Expect(std::string_view text, std::size_t& pos, char c) {
  if (pos >= text.size() || text[pos] != c) return false;
  ++pos;
  return true;
}

// The automation date's own range: 100-01-01 00:00 to 9999-12-31 23:59:59.999.
// Before the zero date the time of day counts forwards from the whole day,
// so the first day spans (-657435, -657434].
constexpr double kFirstDay = -657435.0;
constexpr double kPastLastDay = 2958466.0;

}  // namespace

DateTime::DateTime(double oadate) : oadate_(oadate) {
  if (!(oadate > kFirstDay && oadate < kPastLastDay)) {
    char text[40];
    std::snprintf(text, sizeof text, "%g", oadate);
    throw AutomationError(automation::kTypeMismatch,
                          std::string("The date-time ") + text +
                              " is not a date of the years 100 to 9999.");
  }
}

DateTime DateTime::FromCalendar(const Calendar& c) {
  if (!ValidCalendar(c)) throw std::out_of_range("date-time out of range");
  const std::int64_t days =
      DaysFromCivil(c.year, static_cast<unsigned>(c.month),
                    static_cast<unsigned>(c.day)) -
      kEpochDays;
  const double fraction =
      static_cast<double>(((c.hour * 60 + c.minute) * 60 + c.second) * 1000 +
                          c.millisecond) /
      kMillisecondsPerDay;
  // Before the zero date the day counts backwards but the time of day still
  // counts forwards: -1.25 is 1899-12-29 06:00.
  return DateTime(days >= 0 ? static_cast<double>(days) + fraction
                            : static_cast<double>(days) - fraction);
}

std::optional<DateTime> DateTime::FromIsoText(std::string_view text) {
  Calendar c{};
  std::size_t pos = 0;
  if (!ReadDigits(text, pos, 4, c.year) || !Expect(text, pos, '-') ||
      !ReadDigits(text, pos, 2, c.month) || !Expect(text, pos, '-') ||
      !ReadDigits(text, pos, 2, c.day)) {
    return std::nullopt;
  }
  if (pos < text.size()) {
    if (text[pos] != ' ' && text[pos] != 'T') return std::nullopt;
    ++pos;
    if (!ReadDigits(text, pos, 2, c.hour) || !Expect(text, pos, ':') ||
        !ReadDigits(text, pos, 2, c.minute)) {
      return std::nullopt;
    }
    if (pos < text.size() && text[pos] == ':') {
      ++pos;
      if (!ReadDigits(text, pos, 2, c.second)) return std::nullopt;
      if (pos < text.size() && text[pos] == '.') {
        ++pos;
        // Any number of fraction digits; rounded to the millisecond.
        double fraction = 0, scale = 0.1;
        const std::size_t start = pos;
        for (; pos < text.size() && text[pos] >= '0' && text[pos] <= '9';
             ++pos, scale /= 10) {
          fraction += (text[pos] - '0') * scale;
        }
        if (pos == start) return std::nullopt;
        c.millisecond = static_cast<int>(std::lround(fraction * 1000));
        if (c.millisecond == 1000) c.millisecond = 999;
      }
    }
  }
  if (pos != text.size() || !ValidCalendar(c)) return std::nullopt;
  return FromCalendar(c);
}

DateTime::Calendar DateTime::ToCalendar() const {
  double whole_days;
  const double fraction = std::fabs(std::modf(oadate_, &whole_days));
  auto days = static_cast<std::int64_t>(whole_days);
  auto ms = static_cast<std::int64_t>(
      std::llround(fraction * static_cast<double>(kMillisecondsPerDay)));
  if (ms == kMillisecondsPerDay) {
    ms = 0;
    ++days;
  }
  Calendar c;
  CivilFromDays(days + kEpochDays, c.year, c.month, c.day);
  c.millisecond = static_cast<int>(ms % 1000);
  c.second = static_cast<int>(ms / 1000 % 60);
  c.minute = static_cast<int>(ms / 60000 % 60);
  c.hour = static_cast<int>(ms / 3600000);
  return c;
}

std::string DateTime::ToIsoText() const {
  const Calendar c = ToCalendar();
  if (c.year < 0 || c.year > 9999) {
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d",
                  c.year, c.month, c.day, c.hour, c.minute, c.second,
                  c.millisecond);
    return text;
  }
  // Digit by digit where the year has four: every numbered creation writes
  // a date, and formatting it through printf cost it as much as an insert's
  // binding.
  std::string text = "0000-00-00 00:00:00.000";
  const auto put = [&text](std::size_t last, int value) {
    for (; value > 0; value /= 10)
      text[last--] = static_cast<char>('0' + value % 10);
  };
  put(3, c.year);
  put(6, c.month);
  put(9, c.day);
  put(12, c.hour);
  put(15, c.minute);
  put(18, c.second);
  put(22, c.millisecond);
  return text;
}

}  // namespace tavikuser
