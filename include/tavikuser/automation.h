// Late binding: objects created by programmatic identifier and driven by
// member name, as an automation client drives them. Each class describes its
// members once, in interface order, with MemberTable; the dispatch identifier
// of a member is its position plus one.
#ifndef TAVIKUSER_AUTOMATION_H_
#define TAVIKUSER_AUTOMATION_H_

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "tavikuser/date_time.h"
#include "tavikuser/errors.h"
#include "tavikuser/export.h"
#include "tavikuser/variant.h"

namespace tavikuser::automation {

// Mirrors tavik_status of the C entry points.
enum Status {
  kOk = 0,
  kInvalidArg = -1,
  kUnknownClass = -2,
  kUnknownMember = -3,
  kWrongKind = -4,
  kTypeMismatch = -5,
  kCall = -6,
  kNoMemory = -7,
};

// Mirrors tavik_member_kind.
enum class MemberKind { kGet = 1, kLet = 2, kSet = 3, kFunction = 4 };

class Object;

struct Member {
  std::string name;
  MemberKind kind;
  VarType type;  // of the property, or of the function's result
  std::size_t required_args = 0;
  std::size_t optional_args = 0;
  // Arguments arrive by reference: a callee may replace one (a by-reference
  // parameter), and the caller sees the replacement.
  std::function<Variant(Object& self, std::vector<Variant>& args)> invoke;
};

class TAVIK_EXPORT ClassInfo {
 public:
  ClassInfo(std::string progid, std::vector<Member> members);

  const std::string& progid() const { return progid_; }
  const std::vector<Member>& members() const { return members_; }

  // The member of that name (without regard to letter case) and kind, or
  // null. A property's getter and setter are two members of one name.
  const Member* Find(std::string_view name, MemberKind kind) const;
  bool HasMember(std::string_view name) const;

 private:
  std::string progid_;
  std::vector<Member> members_;
};

// An automation object. Reference counted through ObjectRef; counts towards
// LiveObjects() from construction to destruction.
class TAVIK_EXPORT Object {
 public:
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
  virtual ~Object();

  virtual const ClassInfo& Class() const = 0;

  void AddRef() noexcept;
  void Release() noexcept;

  // Late-bound access by member name, without regard to letter case. Each
  // throws AutomationError with kUnknownMember, kWrongKind (a write-only
  // property read, a property called) or kTypeMismatch; an operation that
  // raises to its caller throws CallError.
  Variant Get(std::string_view member);
  void Let(std::string_view member, const Variant& value);
  void Set(std::string_view member, const ObjectRef& value);
  Variant Call(std::string_view member, std::vector<Variant>& args);
  Variant Call(std::string_view member);

 protected:
  Object();

 private:
  const Member& Resolve(std::string_view member, MemberKind kind) const;
  std::atomic<long> references_{0};
};

// The automation object for a C++ class T: the early-bound instance, driven
// late-bound through `info`.
template <class T>
class Instance final : public Object {
 public:
  explicit Instance(const ClassInfo& info) : info_(info) {}
  Instance(const ClassInfo& info, T value)
      : info_(info), value_(std::move(value)) {}
  const ClassInfo& Class() const override { return info_; }
  T& value() { return value_; }

 private:
  const ClassInfo& info_;
  T value_;
};

// How a C++ parameter or result type crosses a member table. Specialised for
// the types that the library's interfaces use; a host may add its own.
template <class V>
struct Marshal;

template <>
struct Marshal<std::string> {
  static constexpr VarType kType = VarType::kText;
  static std::string From(const Variant& v) { return v.ToText(); }
  static Variant To(std::string v) { return Variant(std::move(v)); }
};
template <>
struct Marshal<DateTime> {
  static constexpr VarType kType = VarType::kDate;
  static DateTime From(const Variant& v) { return v.ToDate(); }
  static Variant To(DateTime v) { return Variant(v); }
};
template <>
struct Marshal<bool> {
  static constexpr VarType kType = VarType::kBool;
  static bool From(const Variant& v) { return v.ToBool(); }
  static Variant To(bool v) { return Variant(v); }
};
template <>
struct Marshal<std::int32_t> {
  static constexpr VarType kType = VarType::kI4;
  static std::int32_t From(const Variant& v) { return v.ToI4(); }
  static Variant To(std::int32_t v) { return Variant(v); }
};
template <>
struct Marshal<Variant> {
  static constexpr VarType kType = VarType::kVariant;
  static Variant From(const Variant& v) { return v; }
  static Variant To(Variant v) { return v; }
};
// An enumeration crosses as its 32-bit value.
template <class E>
requires std::is_enum_v<E>
struct Marshal<E> {
  static constexpr VarType kType = VarType::kI4;
  static E From(const Variant& v) { return static_cast<E>(v.ToI4()); }
  static Variant To(E v) { return Variant(static_cast<std::int32_t>(v)); }
};
// A procedure's missing result is Empty.
template <>
struct Marshal<void> {
  static constexpr VarType kType = VarType::kEmpty;
};
template <>
struct Marshal<ObjectRef> {
  static constexpr VarType kType = VarType::kObject;
  static ObjectRef From(const Variant& v) { return v.ToObject(); }
  static Variant To(ObjectRef v) { return Variant(std::move(v)); }
};

// Builds a ClassInfo from T's own member functions, in interface order, so
// that the late-bound table cannot name a member that T does not have.
template <class T>
class MemberTable {
 public:
  explicit MemberTable(std::string progid) : progid_(std::move(progid)) {}

  // Each member pointer may name a member of T or of a base class of T (the
  // common property block).
  template <class R, class C>
  MemberTable& Get(std::string name, R (C::*getter)() const) {
    static_assert(std::is_base_of_v<C, T>);
    return Add(std::move(name), MemberKind::kGet, Marshal<R>::kType, 0, 0,
               [getter](T& self, std::vector<Variant>&) {
                 return Marshal<R>::To((self.*getter)());
               });
  }

  template <class V, class C>
  MemberTable& Let(std::string name, void (C::*setter)(V)) {
    static_assert(std::is_base_of_v<C, T>);
    return Add(std::move(name), MemberKind::kLet, Marshal<V>::kType, 1, 0,
               [setter](T& self, std::vector<Variant>& args) {
                 (self.*setter)(Marshal<V>::From(args[0]));
                 return Variant();
               });
  }

  // An object-reference setter (Set): the value is an automation object.
  template <class V, class C>
  MemberTable& Set(std::string name, void (C::*setter)(V)) {
    static_assert(std::is_base_of_v<C, T>);
    return Add(std::move(name), MemberKind::kSet, VarType::kObject, 1, 0,
               [setter](T& self, std::vector<Variant>& args) {
                 (self.*setter)(Marshal<V>::From(args[0]));
                 return Variant();
               });
  }

  // A Function with required arguments, each marshalled by value.
  template <class R, class... A>
  MemberTable& Function(std::string name, R (T::*function)(A...)) {
    return Add(
        std::move(name), MemberKind::kFunction, Marshal<R>::kType, sizeof...(A),
        0, [function](T& self, std::vector<Variant>& args) {
          return Invoke(self, function, args, std::index_sequence_for<A...>());
        });
  }

  // A Function with one optional text argument; an omitted argument arrives
  // as nothing.
  template <class R>
  MemberTable& Function(std::string name,
                        R (T::*function)(std::optional<std::string>)) {
    return Add(std::move(name), MemberKind::kFunction, Marshal<R>::kType, 0, 1,
               [function](T& self, std::vector<Variant>& args) {
                 std::optional<std::string> argument;
                 if (!args.empty())
                   argument = Marshal<std::string>::From(args[0]);
                 return Marshal<R>::To((self.*function)(std::move(argument)));
               });
  }

  // A Function that takes its arguments as variants by reference, so that it
  // can hand a replacement back (a by-reference parameter).
  MemberTable& ByRefFunction(std::string name, VarType result,
                             std::size_t args_count,
                             Variant (T::*function)(std::vector<Variant>&)) {
    return Add(std::move(name), MemberKind::kFunction, result, args_count, 0,
               [function](T& self, std::vector<Variant>& args) {
                 return (self.*function)(args);
               });
  }

  ClassInfo Build() { return ClassInfo(progid_, std::move(members_)); }

 private:
  template <class R, class... A, std::size_t... I>
  static Variant Invoke(T& self, R (T::*function)(A...),
                        std::vector<Variant>& args, std::index_sequence<I...>) {
    if constexpr (std::is_void_v<R>) {
      (self.*function)(Marshal<std::decay_t<A>>::From(args[I])...);
      return Variant();
    } else {
      return Marshal<R>::To(
          (self.*function)(Marshal<std::decay_t<A>>::From(args[I])...));
    }
  }

  template <class F>
  MemberTable& Add(std::string name, MemberKind kind, VarType type,
                   std::size_t required, std::size_t optional, F call) {
    members_.push_back(
        Member{std::move(name), kind, type, required, optional,
               [call](Object& self, std::vector<Variant>& args) {
                 return call(static_cast<Instance<T>&>(self).value(), args);
               }});
    return *this;
  }

  std::string progid_;
  std::vector<Member> members_;
};

// Makes a new object of the class that `info` describes.
using Factory = ObjectRef (*)(const ClassInfo& info);

// Makes the class that `info` describes creatable under its programmatic
// identifier (matched without regard to letter case) through `factory`,
// replacing any class registered under it before, the library's own
// included. `info` must outlive the registration. Thread-safe.
TAVIK_EXPORT void RegisterClass(const ClassInfo& info, Factory factory);

// A new object of the class registered under `progid`. Throws
// AutomationError(kUnknownClass) when there is none.
TAVIK_EXPORT ObjectRef CreateObject(std::string_view progid);

// The factory of default-constructed T's, e.g.
// RegisterClass(HostCounter::Class(), &CreateInstance<HostCounter>).
template <class T>
ObjectRef CreateInstance(const ClassInfo& info) {
  return ObjectRef(new Instance<T>(info));
}

// Automation objects alive now, in this process.
TAVIK_EXPORT std::size_t LiveObjects() noexcept;

}  // namespace tavikuser::automation

#endif  // TAVIKUSER_AUTOMATION_H_
