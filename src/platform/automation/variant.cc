#include "tavikuser/variant.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string_view>

#include "platform/automation/text.h"
#include "tavikuser/automation.h"
#include "tavikuser/errors.h"

namespace tavikuser {
namespace {

const char* TypeName(VarType type) {
  switch (type) {
    case VarType::kEmpty:
      return "Empty";
    case VarType::kNull:
      return "Null";
    case VarType::kI4:
      return "an integer";
    case VarType::kDouble:
      return "a number";
    case VarType::kDate:
      return "a date-time";
    case VarType::kText:
      return "text";
    case VarType::kObject:
      return "an object";
    case VarType::kBool:
      return "a Boolean";
    case VarType::kVariant:
      break;
  }
  return "a variant";
}

[[noreturn]] void Mismatch(const Variant& from, const char* to) {
  std::string description = "Type mismatch: ";
  description += TypeName(from.type());
  description += " cannot be converted to ";
  description += to;
  if (const std::string* text = from.text()) {
    description += " (\"" + *text + "\")";
  }
  description += ".";
  throw AutomationError(automation::kTypeMismatch, description);
}

std::string_view TrimBlanks(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::optional<double> ParseNumber(std::string_view text) {
  text = TrimBlanks(text);
  if (text.empty()) return std::nullopt;
  double value = 0;
  const auto [end, error] =
      std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

}  // namespace

Variant Variant::Null() {
  Variant v;
  v.value_ = NullTag{};
  return v;
}
Variant::Variant(std::string text) : value_(std::move(text)) {}
Variant::Variant(const char* text) : value_(std::string(text)) {}
Variant::Variant(bool value) : value_(value) {}
Variant::Variant(std::int32_t value) : value_(value) {}
Variant::Variant(double value) : value_(value) {}
Variant::Variant(DateTime value) : value_(value) {}
Variant::Variant(ObjectRef object) : value_(std::move(object)) {}

VarType Variant::type() const {
  static constexpr VarType kByIndex[] = {
      VarType::kEmpty, VarType::kNull,   VarType::kText, VarType::kBool,
      VarType::kI4,    VarType::kDouble, VarType::kDate, VarType::kObject};
  return kByIndex[value_.index()];
}

const std::string* Variant::text() const {
  return std::get_if<std::string>(&value_);
}

std::string Variant::ToText() const {
  switch (type()) {
    case VarType::kEmpty:
      return {};
    case VarType::kText:
      return std::get<std::string>(value_);
    case VarType::kBool:
      return std::get<bool>(value_) ? "True" : "False";
    case VarType::kI4:
      return std::to_string(std::get<std::int32_t>(value_));
    case VarType::kDouble: {
      char buffer[32];
      std::snprintf(buffer, sizeof buffer, "%.15g", std::get<double>(value_));
      return buffer;
    }
    case VarType::kDate:
      return std::get<DateTime>(value_).ToIsoText();
    default:
      Mismatch(*this, "text");
  }
}

double Variant::ToDouble() const {
  switch (type()) {
    case VarType::kEmpty:
      return 0;
    case VarType::kBool:
      return std::get<bool>(value_) ? -1 : 0;
    case VarType::kI4:
      return std::get<std::int32_t>(value_);
    case VarType::kDouble:
      return std::get<double>(value_);
    case VarType::kDate:
      return std::get<DateTime>(value_).oadate();
    case VarType::kText:
      if (auto number = ParseNumber(std::get<std::string>(value_))) {
        return *number;
      }
      [[fallthrough]];
    default:
      Mismatch(*this, "a number");
  }
}

std::int32_t Variant::ToI4() const {
  if (type() == VarType::kI4) return std::get<std::int32_t>(value_);
  // Automation rounds half to even when it narrows a number.
  const double rounded = std::nearbyint(ToDouble());
  if (!(rounded >= std::numeric_limits<std::int32_t>::min() &&
        rounded <= std::numeric_limits<std::int32_t>::max())) {
    Mismatch(*this, "a 32-bit integer");
  }
  return static_cast<std::int32_t>(rounded);
}

bool Variant::ToBool() const {
  if (type() == VarType::kBool) return std::get<bool>(value_);
  if (const std::string* t = text()) {
    const std::string_view trimmed = TrimBlanks(*t);
    if (automation::EqualsIgnoringCase(trimmed, "True")) return true;
    if (automation::EqualsIgnoringCase(trimmed, "False")) return false;
  }
  return ToDouble() != 0;
}

DateTime Variant::ToDate() const {
  switch (type()) {
    case VarType::kEmpty:
      return DateTime();
    case VarType::kDate:
      return std::get<DateTime>(value_);
    case VarType::kI4:
    case VarType::kDouble:
      return DateTime(ToDouble());
    case VarType::kText:
      if (auto date = DateTime::FromIsoText(
              TrimBlanks(std::get<std::string>(value_)))) {
        return *date;
      }
      [[fallthrough]];
    default:
      Mismatch(*this, "a date-time");
  }
}

ObjectRef Variant::ToObject() const {
  if (type() == VarType::kObject) return std::get<ObjectRef>(value_);
  if (type() == VarType::kEmpty) return ObjectRef();
  Mismatch(*this, "an object");
}

}  // namespace tavikuser
