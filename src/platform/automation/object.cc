#include <atomic>

#include "platform/automation/text.h"
#include "tavikuser/automation.h"

namespace tavikuser {
namespace {
std::atomic<std::size_t> live_objects{0};
}  // namespace

ObjectRef::ObjectRef(automation::Object* object) : object_(object) {
  if (object_) object_->AddRef();
}
ObjectRef::ObjectRef(const ObjectRef& other) : ObjectRef(other.object_) {}
ObjectRef::ObjectRef(ObjectRef&& other) noexcept
    : object_(std::exchange(other.object_, nullptr)) {}
ObjectRef& ObjectRef::operator=(ObjectRef other) noexcept {
  std::swap(object_, other.object_);
  return *this;
}
ObjectRef::~ObjectRef() {
  if (object_) object_->Release();
}

namespace automation {

std::size_t LiveObjects() noexcept { return live_objects.load(); }

ClassInfo::ClassInfo(std::string progid, std::vector<Member> members)
    : progid_(std::move(progid)), members_(std::move(members)) {}

const Member* ClassInfo::Find(std::string_view name, MemberKind kind) const {
  for (const Member& member : members_) {
    if (member.kind == kind && EqualsIgnoringCase(member.name, name)) {
      return &member;
    }
  }
  return nullptr;
}

bool ClassInfo::HasMember(std::string_view name) const {
  for (const Member& member : members_) {
    if (EqualsIgnoringCase(member.name, name)) return true;
  }
  return false;
}

Object::Object() { ++live_objects; }
Object::~Object() { --live_objects; }

void Object::AddRef() noexcept {
  references_.fetch_add(1, std::memory_order_relaxed);
}

void Object::Release() noexcept {
  if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

const Member& Object::Resolve(std::string_view name, MemberKind kind) const {
  const ClassInfo& info = Class();
  if (const Member* member = info.Find(name, kind)) return *member;
  if (info.HasMember(name)) {
    static constexpr const char* kUse[] = {"", "read", "assigned a value",
                                           "assigned an object", "called"};
    throw AutomationError(kWrongKind, "Member " + std::string(name) + " of " +
                                          info.progid() + " cannot be " +
                                          kUse[static_cast<int>(kind)] + ".");
  }
  throw AutomationError(
      kUnknownMember,
      info.progid() + " has no member named " + std::string(name) + ".");
}

Variant Object::Get(std::string_view member) {
  std::vector<Variant> none;
  return Resolve(member, MemberKind::kGet).invoke(*this, none);
}

void Object::Let(std::string_view member, const Variant& value) {
  std::vector<Variant> args{value};
  Resolve(member, MemberKind::kLet).invoke(*this, args);
}

void Object::Set(std::string_view member, const ObjectRef& value) {
  std::vector<Variant> args{Variant(value)};
  Resolve(member, MemberKind::kSet).invoke(*this, args);
}

Variant Object::Call(std::string_view member, std::vector<Variant>& args) {
  const Member& function = Resolve(member, MemberKind::kFunction);
  if (args.size() < function.required_args ||
      args.size() > function.required_args + function.optional_args) {
    throw AutomationError(kInvalidArg, "Wrong number of arguments for " +
                                           function.name + " of " +
                                           Class().progid() + ".");
  }
  return function.invoke(*this, args);
}

Variant Object::Call(std::string_view member) {
  std::vector<Variant> none;
  return Call(member, none);
}

}  // namespace automation
}  // namespace tavikuser
