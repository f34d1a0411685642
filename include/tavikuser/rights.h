// TavikUser.Rights: the catalogue of access rights (Rights_Master).
#ifndef TAVIKUSER_RIGHTS_H_
#define TAVIKUSER_RIGHTS_H_

#include <string>

#include "tavikuser/automation.h"
#include "tavikuser/common_properties.h"
#include "tavikuser/date_time.h"
#include "tavikuser/export.h"

namespace tavikuser {

// One right of the catalogue. Not thread-safe: use one object per thread.
class TAVIK_EXPORT Rights : public EntityProperties {
 public:
  std::string RightsNo() const;
  void RightsNo(std::string vNewRightsNo);
  std::string RightsName() const;
  void RightsName(std::string vNewRightsName);
  std::string RightsParent() const;
  void RightsParent(std::string vNewRightsParent);
  DateTime LastUpdate() const;
  void LastUpdate(DateTime NewDateTime);

  // The member table of "TavikUser.Rights", in interface order.
  static const automation::ClassInfo& Class();

 private:
  std::string rights_no_;
  std::string rights_name_;
  std::string rights_parent_;
  DateTime last_update_;
};

}  // namespace tavikuser

#endif  // TAVIKUSER_RIGHTS_H_
