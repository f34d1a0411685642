#include "tavikuser/role.h"

namespace tavikuser {

void Role::RoleNumber(std::string vNewRoleNo) {
  role_number_ = std::move(vNewRoleNo);
}
std::string Role::RoleName() const { return role_name_; }
void Role::RoleName(std::string vNewRoleName) {
  role_name_ = std::move(vNewRoleName);
}

const automation::ClassInfo& Role::Class() {
  static const automation::ClassInfo info =
      automation::MemberTable<Role>("TavikUser.Role")
          .Let("ADOConnectionString", &Role::ADOConnectionString)
          .Let("RoleNumber", &Role::RoleNumber)
          .Get("RoleName", &Role::RoleName)
          .Let("RoleName", &Role::RoleName)
          .Get("CompanyPrefix", &Role::CompanyPrefix)
          .Let("CompanyPrefix", &Role::CompanyPrefix)
          .Get("BranchPrefix", &Role::BranchPrefix)
          .Let("BranchPrefix", &Role::BranchPrefix)
          .Get("DocumentPrefix", &Role::DocumentPrefix)
          .Let("DocumentPrefix", &Role::DocumentPrefix)
          .Get("ErrDesc", &Role::ErrDesc)
          .Build();
  return info;
}

}  // namespace tavikuser
