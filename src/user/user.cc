#include "tavikuser/user.h"

namespace tavikuser {

void User::NewPassword(std::string vData) { new_password_ = std::move(vData); }
std::string User::NewPassword() const { return new_password_; }
void User::AdoConnectionObject(Connection vNewConnection) {
  connection_ = std::move(vNewConnection);
}
std::string User::UserNo() const { return user_no_; }
void User::UserNo(std::string vNewUserNo) { user_no_ = std::move(vNewUserNo); }
std::string User::UserID() const { return user_id_; }
void User::UserID(std::string vNewUserID) { user_id_ = std::move(vNewUserID); }
std::string User::UserName() const { return user_name_; }
void User::UserName(std::string vNewUserName) {
  user_name_ = std::move(vNewUserName);
}
std::string User::UserDescription() const { return user_description_; }
void User::UserDescription(std::string vNewUserDescription) {
  user_description_ = std::move(vNewUserDescription);
}
std::string User::UserPassword() const { return user_password_; }
void User::UserPassword(std::string vNewUserPassword) {
  user_password_ = std::move(vNewUserPassword);
}
DateTime User::LastUpdate() const { return last_update_; }
void User::LastUpdate(DateTime NewDateTime) { last_update_ = NewDateTime; }

const automation::ClassInfo& User::Class() {
  static const automation::ClassInfo info =
      automation::MemberTable<User>("TavikUser.User")
          .Let("NewPassword", &User::NewPassword)
          .Get("NewPassword", &User::NewPassword)
          .Let("ADOConnectionString", &User::ADOConnectionString)
          .Set("AdoConnectionObject", &User::AdoConnectionObject)
          .Get("CompanyPrefix", &User::CompanyPrefix)
          .Let("CompanyPrefix", &User::CompanyPrefix)
          .Get("BranchPrefix", &User::BranchPrefix)
          .Let("BranchPrefix", &User::BranchPrefix)
          .Get("DocumentPrefix", &User::DocumentPrefix)
          .Let("DocumentPrefix", &User::DocumentPrefix)
          .Get("UserNo", &User::UserNo)
          .Let("UserNo", &User::UserNo)
          .Get("UserID", &User::UserID)
          .Let("UserID", &User::UserID)
          .Get("UserName", &User::UserName)
          .Let("UserName", &User::UserName)
          .Get("UserDescription", &User::UserDescription)
          .Let("UserDescription", &User::UserDescription)
          .Get("UserPassword", &User::UserPassword)
          .Let("UserPassword", &User::UserPassword)
          .Get("LastUpdate", &User::LastUpdate)
          .Let("LastUpdate", &User::LastUpdate)
          .Get("ErrDesc", &User::ErrDesc)
          .Build();
  return info;
}

}  // namespace tavikuser
