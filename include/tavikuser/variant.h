// The automation variant: the one value type of late binding. Conversions
// follow the automation rules that hosts expect (a number Let into a text
// property becomes its decimal text; a Null converts to nothing and is a type
// mismatch).
#ifndef TAVIKUSER_VARIANT_H_
#define TAVIKUSER_VARIANT_H_

#include <cstdint>
#include <string>
#include <variant>

#include "tavikuser/date_time.h"
#include "tavikuser/export.h"

namespace tavikuser {

namespace automation {
class Object;
}

// A counted reference to an automation object, like the platform's interface
// pointer: copying adds a reference, destruction releases one.
class TAVIK_EXPORT ObjectRef {
 public:
  ObjectRef() = default;
  // Takes a new reference to `object` (null allowed).
  explicit ObjectRef(automation::Object* object);
  ObjectRef(const ObjectRef& other);
  ObjectRef(ObjectRef&& other) noexcept;
  ObjectRef& operator=(ObjectRef other) noexcept;
  ~ObjectRef();

  automation::Object* get() const { return object_; }
  automation::Object* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  friend bool operator==(const ObjectRef& a, const ObjectRef& b) {
    return a.object_ == b.object_;
  }

 private:
  automation::Object* object_ = nullptr;
};

// Values match the C entry points' tavik_vartype.
enum class VarType {
  kEmpty = 0,
  kNull = 1,
  kI4 = 3,
  kDouble = 5,
  kDate = 7,
  kText = 8,
  kObject = 9,
  kBool = 11,
  kVariant = 12,  // a member's declared type only: "any value"
};

class TAVIK_EXPORT Variant {
 public:
  Variant() = default;  // Empty
  static Variant Null();
  Variant(std::string text);
  Variant(const char* text);
  Variant(bool value);
  Variant(std::int32_t value);
  Variant(double value);
  Variant(DateTime value);
  Variant(ObjectRef object);

  VarType type() const;
  bool is_empty() const { return type() == VarType::kEmpty; }
  bool is_null() const { return type() == VarType::kNull; }

  // Coercions. Each throws AutomationError(TAVIK_E_TYPE_MISMATCH) when the
  // value cannot be converted; Empty converts to "", 0, false and the zero
  // date, Null converts to nothing.
  std::string ToText() const;
  std::int32_t ToI4() const;
  double ToDouble() const;
  bool ToBool() const;
  DateTime ToDate() const;
  ObjectRef ToObject() const;

  // The text held, without conversion; null when the value is not text.
  const std::string* text() const;

 private:
  struct NullTag {
    friend bool operator==(NullTag, NullTag) { return true; }
  };
  std::variant<std::monostate, NullTag, std::string, bool, std::int32_t, double,
               DateTime, ObjectRef>
      value_;
};

}  // namespace tavikuser

#endif  // TAVIKUSER_VARIANT_H_
