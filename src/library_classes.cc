// The classes that the library registers under their programmatic
// identifiers, for creation by name and late binding.
#include "platform/automation/registry.h"
#include "platform/counter/counter_transaction.h"
#include "platform/store/connection_object.h"
#include "tavikuser/check_access_rights.h"
#include "tavikuser/rights.h"
#include "tavikuser/role.h"
#include "tavikuser/user.h"
#include "tavikuser/user_group.h"

namespace tavikuser::automation {
namespace {

template <class T>
std::pair<const ClassInfo*, Factory> Entry(const ClassInfo& info) {
  return {&info, &CreateInstance<T>};
}

}  // namespace

std::vector<std::pair<const ClassInfo*, Factory>> LibraryClasses() {
  return {
      Entry<Rights>(Rights::Class()),
      Entry<Role>(Role::Class()),
      Entry<UserGroup>(UserGroup::Class()),
      Entry<CheckAccessRights>(CheckAccessRights::Class()),
      Entry<User>(User::Class()),
      Entry<store::ConnectionObject>(Connection::Class()),
      Entry<counter::CounterTransaction>(counter::CounterTransaction::Class()),
  };
}

}  // namespace tavikuser::automation
