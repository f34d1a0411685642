// The automation date: days since 1899-12-30 00:00 as a double, the time of
// day as the fraction. A never-set date is that zero value; the library never
// reads the clock.
#ifndef TAVIKUSER_DATE_TIME_H_
#define TAVIKUSER_DATE_TIME_H_

#include <optional>
#include <string>
#include <string_view>

#include "tavikuser/export.h"

namespace tavikuser {

class TAVIK_EXPORT DateTime {
 public:
  struct Calendar {
    int year = 1899, month = 12, day = 30;
    int hour = 0, minute = 0, second = 0, millisecond = 0;
  };

  constexpr DateTime() = default;
  // Throws AutomationError (a type mismatch) for a value that is not a number
  // or lies outside years 100 to 9999: such a date cannot be written to a
  // store or read back as a calendar date.
  explicit DateTime(double oadate);

  // Throws std::out_of_range for a date outside years 100..9999 or a field
  // outside its range.
  static DateTime FromCalendar(const Calendar& calendar);

  // Accepts "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS[.fff]]", with 'T' or a blank
  // between date and time. Returns nothing for any other text.
  static std::optional<DateTime> FromIsoText(std::string_view text);

  constexpr double oadate() const { return oadate_; }

  // Rounded to the millisecond.
  Calendar ToCalendar() const;

  // "YYYY-MM-DD HH:MM:SS.SSS", the form the stores keep.
  std::string ToIsoText() const;

  friend constexpr bool operator==(DateTime a, DateTime b) {
    return a.oadate_ == b.oadate_;
  }

 private:
  double oadate_ = 0.0;
};

}  // namespace tavikuser

#endif  // TAVIKUSER_DATE_TIME_H_
