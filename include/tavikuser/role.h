// TavikUser.Role: named bundles of rights (Role_Master).
#ifndef TAVIKUSER_ROLE_H_
#define TAVIKUSER_ROLE_H_

#include <string>

#include "tavikuser/automation.h"
#include "tavikuser/common_properties.h"
#include "tavikuser/export.h"

namespace tavikuser {

// One role. Not thread-safe: use one object per thread.
class TAVIK_EXPORT Role : public EntityProperties {
 public:
  // Write only: the Role_No that the update and deletion act on.
  void RoleNumber(std::string vNewRoleNo);
  std::string RoleName() const;
  void RoleName(std::string vNewRoleName);

  // The member table of "TavikUser.Role", in interface order.
  static const automation::ClassInfo& Class();

 private:
  std::string role_number_;
  std::string role_name_;
};

}  // namespace tavikuser

#endif  // TAVIKUSER_ROLE_H_
