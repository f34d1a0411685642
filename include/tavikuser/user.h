// TavikUser.User: user accounts (User_Master).
#ifndef TAVIKUSER_USER_H_
#define TAVIKUSER_USER_H_

#include <string>

#include "tavikuser/automation.h"
#include "tavikuser/common_properties.h"
#include "tavikuser/connection.h"
#include "tavikuser/date_time.h"
#include "tavikuser/export.h"

namespace tavikuser {

// One user account. Not thread-safe: use one object per thread.
class TAVIK_EXPORT User : public EntityProperties {
 public:
  void NewPassword(std::string vData);
  std::string NewPassword() const;
  // Write only: makes `vNewConnection` this object's connection object,
  // releasing the one held before.
  void AdoConnectionObject(Connection vNewConnection);
  std::string UserNo() const;
  void UserNo(std::string vNewUserNo);
  std::string UserID() const;
  void UserID(std::string vNewUserID);
  std::string UserName() const;
  void UserName(std::string vNewUserName);
  std::string UserDescription() const;
  void UserDescription(std::string vNewUserDescription);
  // Passwords are the host's plain text, stored and returned as such.
  std::string UserPassword() const;
  void UserPassword(std::string vNewUserPassword);
  DateTime LastUpdate() const;
  void LastUpdate(DateTime NewDateTime);

  // The member table of "TavikUser.User", in interface order.
  static const automation::ClassInfo& Class();

 private:
  std::string new_password_;
  std::string user_no_;
  std::string user_id_;
  std::string user_name_;
  std::string user_description_;
  std::string user_password_;
  DateTime last_update_;
};

}  // namespace tavikuser

#endif  // TAVIKUSER_USER_H_
