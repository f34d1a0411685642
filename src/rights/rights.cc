#include "tavikuser/rights.h"

namespace tavikuser {

std::string Rights::RightsNo() const { return rights_no_; }
void Rights::RightsNo(std::string vNewRightsNo) {
  rights_no_ = std::move(vNewRightsNo);
}
std::string Rights::RightsName() const { return rights_name_; }
void Rights::RightsName(std::string vNewRightsName) {
  rights_name_ = std::move(vNewRightsName);
}
std::string Rights::RightsParent() const { return rights_parent_; }
void Rights::RightsParent(std::string vNewRightsParent) {
  rights_parent_ = std::move(vNewRightsParent);
}
DateTime Rights::LastUpdate() const { return last_update_; }
void Rights::LastUpdate(DateTime NewDateTime) { last_update_ = NewDateTime; }

const automation::ClassInfo& Rights::Class() {
  static const automation::ClassInfo info =
      automation::MemberTable<Rights>("TavikUser.Rights")
          .Let("ADOConnectionString", &Rights::ADOConnectionString)
          .Get("CompanyPrefix", &Rights::CompanyPrefix)
          .Let("CompanyPrefix", &Rights::CompanyPrefix)
          .Get("BranchPrefix", &Rights::BranchPrefix)
          .Let("BranchPrefix", &Rights::BranchPrefix)
          .Get("DocumentPrefix", &Rights::DocumentPrefix)
          .Let("DocumentPrefix", &Rights::DocumentPrefix)
          .Get("RightsNo", &Rights::RightsNo)
          .Let("RightsNo", &Rights::RightsNo)
          .Get("RightsName", &Rights::RightsName)
          .Let("RightsName", &Rights::RightsName)
          .Get("RightsParent", &Rights::RightsParent)
          .Let("RightsParent", &Rights::RightsParent)
          .Get("LastUpdate", &Rights::LastUpdate)
          .Let("LastUpdate", &Rights::LastUpdate)
          .Get("ErrDesc", &Rights::ErrDesc)
          .Build();
  return info;
}

}  // namespace tavikuser
