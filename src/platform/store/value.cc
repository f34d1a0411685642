#include "platform/store/value.h"

#include <limits>

namespace tavikuser::store {

std::string Value::ToText() const {
  // A whole number keeps every digit, also beyond 32 bits.
  if (const std::int64_t* whole = integer()) return std::to_string(*whole);
  return ToVariant().ToText();
}

DateTime Value::ToDate() const { return ToVariant().ToDate(); }

Variant Value::ToVariant() const {
  switch (value_.index()) {
    case 0:
      return Variant::Null();
    case 1: {
      const std::int64_t whole = *integer();
      if (whole >= std::numeric_limits<std::int32_t>::min() &&
          whole <= std::numeric_limits<std::int32_t>::max()) {
        return Variant(static_cast<std::int32_t>(whole));
      }
      return Variant(static_cast<double>(whole));
    }
    case 2:
      return Variant(*real());
    case 3:
      return Variant(*text());
    default:
      return Variant(*date());
  }
}

}  // namespace tavikuser::store
