// TavikUser.User: user accounts (User_Master), their lookup and the change of
// a password, for ordinary users and the built-in accounts of a branch.
#ifndef TAVIKUSER_USER_H_
#define TAVIKUSER_USER_H_

#include <memory>
#include <optional>
#include <string>

#include "tavikuser/automation.h"
#include "tavikuser/common_properties.h"
#include "tavikuser/connection.h"
#include "tavikuser/date_time.h"
#include "tavikuser/export.h"

namespace tavikuser {

// One user account. An object owns its values and its connection object; it
// may be moved, not copied. Not thread-safe: use one object per thread.
//
//   User user;
//   user.ADOConnectionString("Provider=SQLite;Data Source=tavik.db");
//   if (user.Get_User("jdoe")) show(user.UserNo(), user.UserName());
class TAVIK_EXPORT User : public EntityProperties {
 public:
  User();
  ~User();
  User(User&&) noexcept;
  User& operator=(User&&) noexcept;

  // Replaces the password of the account that UserID (or, without one,
  // UserNo) names, when UserPassword states its old password, compared
  // without regard to letter case; the new password is NewPassword, stored
  // as given. The user IDs SYSTEM, ADMINISTRATOR and MANAGER in any letter
  // case are the built-in accounts of the branch that CompanyPrefix and
  // BranchPrefix name, whose passwords Branch_Master keeps; for them a
  // missing branch answers false and leaves ErrDesc as it was. No property
  // changes: to change again, set UserPassword first.
  bool Change_Password();
  void NewPassword(std::string vData);
  std::string NewPassword() const;
  // Write only: makes `vNewConnection` this object's connection object,
  // releasing the one held before. Create_User sets its connection string
  // and opens it, so it must be closed when handed in.
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

  // Adds an account under a number issued by the document counter service:
  // the record key CompanyPrefix & BranchPrefix & DocumentPrefix & number,
  // with UserID, UserName, UserDescription, UserPassword and LastUpdate, in
  // one transaction with the counter on the connection object. UserNo is
  // neither used nor set: find the new account with Get_User. Every run
  // that passes validation releases the connection object; the next run
  // takes a fresh one unless AdoConnectionObject handed one in.
  bool Create_User();

  // Rewrites UserID, UserName, UserDescription, UserPassword and LastUpdate
  // of the account whose User_No is UserNo, when exactly one row carries it;
  // otherwise "Invalid User" and nothing is written. Runs without a
  // transaction.
  bool Update_User();

  // Deletes the account whose User_No is UserNo, when exactly one row
  // carries it; otherwise "Invalid User" and nothing is deleted. Rows of
  // other tables that carry the number stay.
  bool Delete_User();

  // Reads an account whose Default_Flag is 0 into the properties: by user
  // ID when `User_ID` is given and not empty, otherwise by UserNo. UserID
  // takes the argument first (empty when omitted). A Null or empty
  // description or password keeps the property's value.
  bool Get_User(std::optional<std::string> User_ID = std::nullopt);

  // Get_User, with the search by user ID confined to CompanyPrefix and
  // BranchPrefix.
  bool Get_User_Unique(std::optional<std::string> User_ID = std::nullopt);

  // The member table of "TavikUser.User", in interface order.
  static const automation::ClassInfo& Class();

 private:
  struct Impl;
  explicit User(std::unique_ptr<Impl> impl);
  bool Validate_User();
  // The steps that Get_User and Get_User_Unique share; they differ only in
  // whether the search by user ID is confined to the company and branch.
  bool ReadAccount(std::optional<std::string> User_ID, bool within_branch);

  std::unique_ptr<Impl> impl_;
};

}  // namespace tavikuser

#endif  // TAVIKUSER_USER_H_
