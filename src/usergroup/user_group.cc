#include "tavikuser/user_group.h"

namespace tavikuser {

void UserGroup::GroupNumber(std::string vNewGroupNo) {
  group_number_ = std::move(vNewGroupNo);
}
std::string UserGroup::GroupNumber() const { return group_number_; }
std::string UserGroup::GroupName() const { return group_name_; }
void UserGroup::GroupName(std::string vNewGroupName) {
  group_name_ = std::move(vNewGroupName);
}
std::string UserGroup::GroupDescription() const { return group_description_; }
void UserGroup::GroupDescription(std::string vNewGroupDescription) {
  group_description_ = std::move(vNewGroupDescription);
}
DateTime UserGroup::LastUpdate() const { return last_update_; }
void UserGroup::LastUpdate(DateTime NewDateTime) { last_update_ = NewDateTime; }

const automation::ClassInfo& UserGroup::Class() {
  static const automation::ClassInfo info =
      automation::MemberTable<UserGroup>("TavikUser.UserGroup")
          .Let("ADOConnectionString", &UserGroup::ADOConnectionString)
          .Let("GroupNumber", &UserGroup::GroupNumber)
          .Get("GroupNumber", &UserGroup::GroupNumber)
          .Get("GroupName", &UserGroup::GroupName)
          .Let("GroupName", &UserGroup::GroupName)
          .Get("GroupDescription", &UserGroup::GroupDescription)
          .Let("GroupDescription", &UserGroup::GroupDescription)
          .Get("CompanyPrefix", &UserGroup::CompanyPrefix)
          .Let("CompanyPrefix", &UserGroup::CompanyPrefix)
          .Get("BranchPrefix", &UserGroup::BranchPrefix)
          .Let("BranchPrefix", &UserGroup::BranchPrefix)
          .Get("DocumentPrefix", &UserGroup::DocumentPrefix)
          .Let("DocumentPrefix", &UserGroup::DocumentPrefix)
          .Get("LastUpdate", &UserGroup::LastUpdate)
          .Let("LastUpdate", &UserGroup::LastUpdate)
          .Get("ErrDesc", &UserGroup::ErrDesc)
          .Build();
  return info;
}

}  // namespace tavikuser
