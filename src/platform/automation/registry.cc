#include <map>
#include <mutex>

#include "platform/automation/text.h"
#include "platform/counter/counter_transaction.h"
#include "tavikuser/automation.h"
#include "tavikuser/check_access_rights.h"
#include "tavikuser/connection.h"
#include "tavikuser/rights.h"
#include "tavikuser/role.h"
#include "tavikuser/user.h"
#include "tavikuser/user_group.h"

namespace tavikuser::automation {
namespace {

class Registry {
 public:
  // The library's own classes are there from the start; a host may replace
  // any of them.
  Registry() {
    Add<Rights>(Rights::Class());
    Add<Role>(Role::Class());
    Add<UserGroup>(UserGroup::Class());
    Add<CheckAccessRights>(CheckAccessRights::Class());
    Add<User>(User::Class());
    Add<Connection>(Connection::Class());
    Add<counter::CounterTransaction>(counter::CounterTransaction::Class());
  }

  void Register(std::string progid, Factory factory) {
    std::lock_guard lock(mutex_);
    factories_[AsciiLower(progid)] = std::move(factory);
  }

  ObjectRef Create(std::string_view progid) {
    Factory factory;
    {
      std::lock_guard lock(mutex_);
      const auto found = factories_.find(AsciiLower(progid));
      if (found == factories_.end()) {
        throw AutomationError(kUnknownClass, "No class is registered as " +
                                                 std::string(progid) + ".");
      }
      factory = found->second;
    }
    return factory();
  }

 private:
  template <class T>
  void Add(const ClassInfo& info) {
    factories_[AsciiLower(info.progid())] = InstanceFactory<T>(info);
  }

  std::mutex mutex_;
  std::map<std::string, Factory> factories_;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace

void RegisterClass(std::string progid, Factory factory) {
  TheRegistry().Register(std::move(progid), std::move(factory));
}

ObjectRef CreateObject(std::string_view progid) {
  return TheRegistry().Create(progid);
}

}  // namespace tavikuser::automation
