// TavikUser.UserGroup: groups of users (User_Group).
#ifndef TAVIKUSER_USER_GROUP_H_
#define TAVIKUSER_USER_GROUP_H_

#include <memory>
#include <string>

#include "tavikuser/automation.h"
#include "tavikuser/common_properties.h"
#include "tavikuser/date_time.h"
#include "tavikuser/export.h"

namespace tavikuser {

// One user group. An object owns its values and its connection object; it
// may be moved, not copied. Not thread-safe: use one object per thread.
class TAVIK_EXPORT UserGroup : public EntityProperties {
 public:
  UserGroup();
  ~UserGroup();
  UserGroup(UserGroup&&) noexcept;
  UserGroup& operator=(UserGroup&&) noexcept;

  void GroupNumber(std::string vNewGroupNo);
  std::string GroupNumber() const;
  std::string GroupName() const;
  void GroupName(std::string vNewGroupName);
  std::string GroupDescription() const;
  void GroupDescription(std::string vNewGroupDescription);
  DateTime LastUpdate() const;
  void LastUpdate(DateTime NewDateTime);

  // Adds a group under a number issued by the document counter service: the
  // record key CompanyPrefix & BranchPrefix & DocumentPrefix & number, stored
  // with name, description and LastUpdate in one transaction with the
  // counter. GroupNumber takes the key as soon as the number is issued and
  // keeps it even when the creation then fails. The object can create again:
  // each creation opens a connection object of its own.
  bool Create_Group();

  // Rewrites name and time stamp of the first group whose User_Group_No is
  // GroupNumber, and its description unless GroupDescription is empty (an
  // update never clears a description). No such group: false, with the
  // missing current row's text. Runs without a transaction.
  bool Update_Group();

  // Deletes the group GroupNumber unless a Group_Detail row says it has
  // users. True also when no row, or more than one, carries the number:
  // nothing is deleted then. Runs without a transaction.
  bool Delete_Group();

  // Reads the first group whose User_Group_No is `User_Group_No` into the
  // properties. GroupNumber takes the argument before anything is tested;
  // a Null or empty name or description keeps the property's value; a Null
  // Last_Update fails after name and description were taken.
  bool Get_UserGroup(std::string User_Group_No);

  // The member table of "TavikUser.UserGroup", in interface order.
  static const automation::ClassInfo& Class();

 private:
  struct Impl;
  explicit UserGroup(std::unique_ptr<Impl> impl);
  bool Validate_Group();

  std::unique_ptr<Impl> impl_;
};

}  // namespace tavikuser

#endif  // TAVIKUSER_USER_GROUP_H_
