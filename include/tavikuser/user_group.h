// TavikUser.UserGroup: groups of users (User_Group).
#ifndef TAVIKUSER_USER_GROUP_H_
#define TAVIKUSER_USER_GROUP_H_

#include <string>

#include "tavikuser/automation.h"
#include "tavikuser/common_properties.h"
#include "tavikuser/date_time.h"
#include "tavikuser/export.h"

namespace tavikuser {

// One user group. Not thread-safe: use one object per thread.
class TAVIK_EXPORT UserGroup : public EntityProperties {
 public:
  void GroupNumber(std::string vNewGroupNo);
  std::string GroupNumber() const;
  std::string GroupName() const;
  void GroupName(std::string vNewGroupName);
  std::string GroupDescription() const;
  void GroupDescription(std::string vNewGroupDescription);
  DateTime LastUpdate() const;
  void LastUpdate(DateTime NewDateTime);

  // The member table of "TavikUser.UserGroup", in interface order.
  static const automation::ClassInfo& Class();

 private:
  std::string group_number_;
  std::string group_name_;
  std::string group_description_;
  DateTime last_update_;
};

}  // namespace tavikuser

#endif  // TAVIKUSER_USER_GROUP_H_
