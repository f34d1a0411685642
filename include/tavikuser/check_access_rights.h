// TavikUser.CheckAccessRights: may this user do this?
#ifndef TAVIKUSER_CHECK_ACCESS_RIGHTS_H_
#define TAVIKUSER_CHECK_ACCESS_RIGHTS_H_

#include <memory>
#include <string>

#include "tavikuser/automation.h"
#include "tavikuser/common_properties.h"
#include "tavikuser/export.h"

namespace tavikuser {

// Answers whether the user with a user number holds the right with a rights
// number, directly or through a user group. Reads only; owns no connection
// object; may be moved, not copied. Not thread-safe: use one object per
// thread (objects on different threads never interfere).
//
//   CheckAccessRights check;
//   check.ADOConnectionString("Provider=SQLite;Data Source=tavik.db");
//   check.RightsNo("C1B2RG45");
//   check.UserNo("C1B2US7");
//   if (!check.Check_Access_Rights()) show(check.ErrDesc());
class TAVIK_EXPORT CheckAccessRights : public CommonProperties {
 public:
  CheckAccessRights();
  ~CheckAccessRights();
  CheckAccessRights(CheckAccessRights&&) noexcept;
  CheckAccessRights& operator=(CheckAccessRights&&) noexcept;

  // Write only, stored unchanged; validated when the check runs.
  void RightsNo(std::string vNewRightsNo);
  void UserNo(std::string vNewUserNo);

  // True when the rights catalogue has a row for RightsNo that a direct or
  // group grant leads UserNo to. False with ErrDesc set otherwise: a
  // validation message, "Access Denied", or the store's failure text. On
  // true ErrDesc is left as it was.
  bool Check_Access_Rights();

  // The member table of "TavikUser.CheckAccessRights", in interface order.
  static const automation::ClassInfo& Class();

 private:
  struct Impl;
  explicit CheckAccessRights(std::unique_ptr<Impl> impl);

  std::unique_ptr<Impl> impl_;
};

}  // namespace tavikuser

#endif  // TAVIKUSER_CHECK_ACCESS_RIGHTS_H_
