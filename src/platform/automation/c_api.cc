// The C entry points over late binding. A tavik_object is the automation
// Object itself and a tavik_value a heap Variant; every entry point runs its
// body under Guarded, which turns whatever the body throws into a status and
// a description for tavik_last_error.
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "tavikuser/access_report.h"
#include "tavikuser/automation.h"
#include "tavikuser/errors.h"
#include "tavikuser/tavikuser.h"
#include "tavikuser/variant.h"

namespace {

using tavikuser::AutomationError;
using tavikuser::DateTime;
using tavikuser::ObjectRef;
using tavikuser::Variant;
using tavikuser::VarType;
using tavikuser::automation::Member;
using tavikuser::automation::Object;

// The description of the last failed call on this thread. When even copying
// the description runs out of memory, a fixed text stands in for it.
class LastError {
 public:
  const char* text() const noexcept { return text_; }

  void Clear() noexcept {
    description_.clear();
    text_ = description_.c_str();
  }

  void Set(const char* description) noexcept {
    try {
      description_ = description;
      text_ = description_.c_str();
    } catch (...) {
      text_ = kOutOfMemory;
    }
  }

  static constexpr char kOutOfMemory[] = "Out of memory.";

 private:
  std::string description_;
  const char* text_ = "";
};

thread_local LastError last_error;

tavik_status Fail(tavik_status status, const char* description) noexcept {
  last_error.Set(description);
  return status;
}

// Runs `body`, mapping what it throws to a status: late-binding failures keep
// their own, anything else an operation raises is TAVIK_E_CALL.
template <class Body>
tavik_status Guarded(Body&& body) noexcept {
  try {
    body();
    last_error.Clear();
    return TAVIK_OK;
  } catch (const std::bad_alloc&) {
    return Fail(TAVIK_E_NO_MEMORY, LastError::kOutOfMemory);
  } catch (const AutomationError& error) {
    return Fail(static_cast<tavik_status>(error.status()), error.what());
  } catch (const std::exception& error) {
    return Fail(TAVIK_E_CALL, error.what());
  } catch (...) {
    return Fail(TAVIK_E_CALL, "The operation failed with an unknown error.");
  }
}

// For the entry points that return a value instead of a status: `fallback`
// when the body fails.
template <class T, class Body>
T GuardedValue(T fallback, Body&& body) noexcept {
  T result = fallback;
  Guarded([&] { result = body(); });
  return result;
}

template <class T>
T* Required(T* pointer, const char* what) {
  if (pointer == nullptr) {
    throw AutomationError(TAVIK_E_INVALID_ARG, std::string(what) + " is null.");
  }
  return pointer;
}

Object& ObjectOf(tavik_object* handle) {
  return *reinterpret_cast<Object*>(Required(handle, "The object handle"));
}

const Variant& VariantOf(const tavik_value* handle) {
  return *reinterpret_cast<const Variant*>(Required(handle, "The value"));
}

tavik_object* HandleOf(Object* object) {
  return reinterpret_cast<tavik_object*>(object);
}

tavik_value* NewValue(Variant value) {
  return reinterpret_cast<tavik_value*>(new Variant(std::move(value)));
}

char* MallocCopy(const std::string& text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) throw std::bad_alloc();
  std::memcpy(copy, text.c_str(), text.size() + 1);
  return copy;
}

// The text and date shortcuts never convert between the two: a date-time has
// no one text form that every host would agree on, and text that happens to
// parse as a date is not a date-time property.
Variant ReadShortcut(tavik_object* obj, const char* member, bool want_date) {
  Variant value = ObjectOf(obj).Get(Required(member, "The member name"));
  if ((value.type() == VarType::kDate) != want_date) {
    throw AutomationError(
        TAVIK_E_TYPE_MISMATCH,
        std::string("Type mismatch: ") + member +
            (want_date ? " is not a date-time property."
                       : " is a date-time property, not text."));
  }
  return value;
}

// The texts of a list of numbers, borrowed from `numbers`.
std::vector<const char*> Pointers(const std::vector<std::string>& numbers) {
  std::vector<const char*> pointers;
  pointers.reserve(numbers.size());
  for (const std::string& number : numbers) pointers.push_back(number.c_str());
  return pointers;
}

// A result handed out is the C view as the base of what it borrows from, so
// that freeing the view frees the rest.
struct EffectiveRightsResult : tavik_effective_rights {
  explicit EffectiveRightsResult(std::vector<tavikuser::HeldRight> held)
      : rights_(std::move(held)) {
    for (const tavikuser::HeldRight& right : rights_) {
      groups_.push_back(Pointers(right.groups));
      entries_.push_back({right.rights_no.c_str(), right.rights_name.c_str(),
                          right.direct ? 1 : 0, groups_.back().data(),
                          right.groups.size()});
    }
    rights = entries_.data();
    count = entries_.size();
  }

 private:
  std::vector<tavikuser::HeldRight> rights_;
  std::vector<std::vector<const char*>> groups_;
  std::vector<tavik_held_right> entries_;
};

struct ExplanationResult : tavik_access_explanation {
  explicit ExplanationResult(tavikuser::AccessExplanation why)
      : why_(std::move(why)),
        granting_(Pointers(why_.granting_groups)),
        members_(Pointers(why_.user_groups)) {
    granted = why_.granted ? 1 : 0;
    missing = static_cast<tavik_missing_link>(why_.missing);
    in_catalogue = why_.in_catalogue ? 1 : 0;
    rights_name = why_.rights_name.c_str();
    user_known = why_.user_known ? 1 : 0;
    direct = why_.direct ? 1 : 0;
    granting_groups = granting_.data();
    granting_group_count = granting_.size();
    user_groups = members_.data();
    user_group_count = members_.size();
  }

 private:
  tavikuser::AccessExplanation why_;
  std::vector<const char*> granting_;
  std::vector<const char*> members_;
};

}  // namespace

extern "C" {

tavik_status tavik_create(const char* progid, tavik_object** out) {
  return Guarded([&] {
    *Required(out, "The out pointer") = nullptr;
    ObjectRef object =
        tavikuser::automation::CreateObject(Required(progid, "The class name"));
    // The caller's reference outlives `object`'s.
    object->AddRef();
    *out = HandleOf(object.get());
  });
}

void tavik_object_addref(tavik_object* obj) {
  if (obj != nullptr) reinterpret_cast<Object*>(obj)->AddRef();
}

void tavik_object_release(tavik_object* obj) {
  if (obj != nullptr) reinterpret_cast<Object*>(obj)->Release();
}

tavik_status tavik_get(tavik_object* obj, const char* member,
                       tavik_value** out) {
  return Guarded([&] {
    *Required(out, "The out pointer") = nullptr;
    *out = NewValue(ObjectOf(obj).Get(Required(member, "The member name")));
  });
}

tavik_status tavik_let(tavik_object* obj, const char* member,
                       const tavik_value* value) {
  return Guarded([&] {
    ObjectOf(obj).Let(Required(member, "The member name"), VariantOf(value));
  });
}

tavik_status tavik_set(tavik_object* obj, const char* member,
                       tavik_object* value) {
  return Guarded([&] {
    ObjectOf(obj).Set(Required(member, "The member name"),
                      ObjectRef(&ObjectOf(value)));
  });
}

tavik_status tavik_call(tavik_object* obj, const char* member,
                        const tavik_value* const* args, size_t nargs,
                        tavik_value** out) {
  return Guarded([&] {
    *Required(out, "The out pointer") = nullptr;
    if (nargs > 0) Required(args, "The argument array");
    std::vector<Variant> arguments;
    arguments.reserve(nargs);
    for (size_t i = 0; i < nargs; ++i) {
      arguments.push_back(VariantOf(args[i]));
    }
    *out = NewValue(
        ObjectOf(obj).Call(Required(member, "The member name"), arguments));
  });
}

tavik_status tavik_let_text(tavik_object* obj, const char* member,
                            const char* utf8) {
  return Guarded([&] {
    ObjectOf(obj).Let(Required(member, "The member name"),
                      Variant(Required(utf8, "The text")));
  });
}

tavik_status tavik_get_text(tavik_object* obj, const char* member, char** out) {
  return Guarded([&] {
    *Required(out, "The out pointer") = nullptr;
    *out = MallocCopy(ReadShortcut(obj, member, false).ToText());
  });
}

tavik_status tavik_let_date(tavik_object* obj, const char* member,
                            double oadate) {
  return Guarded([&] {
    ObjectOf(obj).Let(Required(member, "The member name"),
                      Variant(DateTime(oadate)));
  });
}

tavik_status tavik_get_date(tavik_object* obj, const char* member,
                            double* out) {
  return Guarded([&] {
    *Required(out, "The out pointer") = 0.0;
    *out = ReadShortcut(obj, member, true).ToDate().oadate();
  });
}

tavik_status tavik_call_bool(tavik_object* obj, const char* member,
                             const char* arg, int* out) {
  return Guarded([&] {
    *Required(out, "The out pointer") = 0;
    std::vector<Variant> arguments;
    if (arg != nullptr) arguments.emplace_back(arg);
    const Variant result =
        ObjectOf(obj).Call(Required(member, "The member name"), arguments);
    *out = result.ToBool() ? 1 : 0;
  });
}

void tavik_free(void* p) { std::free(p); }

const char* tavik_last_error(void) { return last_error.text(); }

tavik_value* tavik_value_empty(void) {
  return GuardedValue<tavik_value*>(nullptr,
                                    [] { return NewValue(Variant()); });
}

tavik_value* tavik_value_text(const char* utf8) {
  return GuardedValue<tavik_value*>(
      nullptr, [&] { return NewValue(Variant(Required(utf8, "The text"))); });
}

tavik_value* tavik_value_bool(int b) {
  return GuardedValue<tavik_value*>(nullptr,
                                    [&] { return NewValue(Variant(b != 0)); });
}

tavik_value* tavik_value_i4(int32_t i) {
  return GuardedValue<tavik_value*>(nullptr,
                                    [&] { return NewValue(Variant(i)); });
}

tavik_value* tavik_value_date(double oadate) {
  return GuardedValue<tavik_value*>(
      nullptr, [&] { return NewValue(Variant(DateTime(oadate))); });
}

tavik_value* tavik_value_object(tavik_object* obj) {
  return GuardedValue<tavik_value*>(
      nullptr, [&] { return NewValue(Variant(ObjectRef(&ObjectOf(obj)))); });
}

tavik_vartype tavik_value_type(const tavik_value* v) {
  if (v == nullptr) return TAVIK_VT_EMPTY;
  return static_cast<tavik_vartype>(VariantOf(v).type());
}

const char* tavik_value_as_text(const tavik_value* v) {
  if (v == nullptr) return nullptr;
  const std::string* text = VariantOf(v).text();
  return text != nullptr ? text->c_str() : nullptr;
}

int tavik_value_as_bool(const tavik_value* v) {
  return GuardedValue(0, [&] { return VariantOf(v).ToBool() ? 1 : 0; });
}

int32_t tavik_value_as_i4(const tavik_value* v) {
  return GuardedValue<int32_t>(0, [&] { return VariantOf(v).ToI4(); });
}

double tavik_value_as_date(const tavik_value* v) {
  return GuardedValue(0.0, [&] { return VariantOf(v).ToDate().oadate(); });
}

tavik_object* tavik_value_as_object(const tavik_value* v) {
  // The value keeps its own reference, so the pointer outlives the copy.
  return GuardedValue<tavik_object*>(
      nullptr, [&] { return HandleOf(VariantOf(v).ToObject().get()); });
}

void tavik_value_destroy(tavik_value* v) {
  delete reinterpret_cast<Variant*>(v);
}

tavik_status tavik_member_count(tavik_object* obj, size_t* out) {
  return Guarded([&] {
    *Required(out, "The out pointer") = ObjectOf(obj).Class().members().size();
  });
}

tavik_status tavik_member_info(tavik_object* obj, size_t index,
                               const char** name, tavik_member_kind* kind) {
  return Guarded([&] {
    Required(name, "The name pointer");
    Required(kind, "The kind pointer");
    const std::vector<Member>& members = ObjectOf(obj).Class().members();
    if (index >= members.size()) {
      throw AutomationError(TAVIK_E_INVALID_ARG,
                            "Member index " + std::to_string(index) +
                                " is past the last member.");
    }
    *name = members[index].name.c_str();
    *kind = static_cast<tavik_member_kind>(members[index].kind);
  });
}

tavik_status tavik_effective_rights_get(const char* connection_string,
                                        const char* user_no,
                                        tavik_effective_rights** out) {
  return Guarded([&] {
    *Required(out, "The out pointer") = nullptr;
    *out = new EffectiveRightsResult(tavikuser::EffectiveRights(
        Required(connection_string, "The connection string"),
        Required(user_no, "The user number")));
  });
}

void tavik_effective_rights_free(tavik_effective_rights* rights) {
  delete static_cast<EffectiveRightsResult*>(rights);
}

tavik_status tavik_access_explain(const char* connection_string,
                                  const char* user_no, const char* rights_no,
                                  tavik_access_explanation** out) {
  return Guarded([&] {
    *Required(out, "The out pointer") = nullptr;
    *out = new ExplanationResult(tavikuser::ExplainAccess(
        Required(connection_string, "The connection string"),
        Required(user_no, "The user number"),
        Required(rights_no, "The rights number")));
  });
}

void tavik_access_explanation_free(tavik_access_explanation* explanation) {
  delete static_cast<ExplanationResult*>(explanation);
}

int tavik_can_unload_now(void) {
  return tavikuser::automation::LiveObjects() == 0 ? 1 : 0;
}

}  // extern "C"
