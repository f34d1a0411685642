// A value as a store holds it: Null, a whole number, a real, text or a
// date-time. Values are bound to statements in their own kinds and read back
// in the kinds the store keeps, so that nothing goes through text to be
// compared or written.
#ifndef TAVIKUSER_PLATFORM_STORE_VALUE_H_
#define TAVIKUSER_PLATFORM_STORE_VALUE_H_

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "tavikuser/date_time.h"
#include "tavikuser/variant.h"

namespace tavikuser::store {

class Value {
 public:
  Value() = default;  // Null
  Value(std::int64_t integer) : value_(integer) {}
  Value(std::int32_t integer) : value_(std::int64_t{integer}) {}
  Value(double real) : value_(real) {}
  Value(std::string text) : value_(std::move(text)) {}
  Value(const char* text) : value_(std::string(text)) {}
  Value(DateTime date) : value_(date) {}

  bool is_null() const { return value_.index() == 0; }
  // The value held in that kind, or null when it holds another.
  const std::int64_t* integer() const {
    return std::get_if<std::int64_t>(&value_);
  }
  const double* real() const { return std::get_if<double>(&value_); }
  const std::string* text() const { return std::get_if<std::string>(&value_); }
  const DateTime* date() const { return std::get_if<DateTime>(&value_); }

  // Conversions by the automation rules, for properties. Each throws
  // AutomationError (a type mismatch) for a value that cannot be converted:
  // Null always, text that is no date for ToDate, a number outside the
  // automation date's range.
  std::string ToText() const;
  DateTime ToDate() const;
  // Null, a 32-bit or wider whole number (a number when it does not fit),
  // a real, text or a date-time.
  Variant ToVariant() const;

  friend bool operator==(const Value&, const Value&) = default;

 private:
  std::variant<std::monostate, std::int64_t, double, std::string, DateTime>
      value_;
};

using Values = std::vector<Value>;
using Row = std::vector<Value>;
using Rows = std::vector<Row>;

}  // namespace tavikuser::store

#endif  // TAVIKUSER_PLATFORM_STORE_VALUE_H_
