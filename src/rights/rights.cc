#include "tavikuser/rights.h"

#include "frame/messages.h"
#include "frame/numbered_creation.h"
#include "frame/operation.h"
#include "platform/adodb/recordset.h"

namespace tavikuser {
namespace {
constexpr char kInvalidRightsName[] = "Invalid Rights Name";
}  // namespace

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

bool Rights::Validate_Rights() {
  frame::Operation validation(err_desc_);
  if (connection_string_.empty()) {
    return validation.Reject(frame::kInvalidConnectionString);
  }
  if (!ValidatePrefixes(validation)) return false;
  if (rights_name_.empty()) return validation.Reject(kInvalidRightsName);
  return true;
}

bool Rights::Create_Rights() {
  if (!Validate_Rights()) return false;
  return frame::NumberedCreation::Run(
      *this, frame::TransactionConduct::kReleasesConnection,
      "Select * From Rights_Master",
      [this](adodb::Recordset& row, const std::string& record_key,
             std::int32_t document_number) {
        CollectPrefixes(row);
        row.Collect("Rights_No", Variant(record_key));
        row.Collect("Rights_Identity", Variant(document_number));
        row.Collect("Rights_Name", Variant(rights_name_));
        row.Collect("Rights_Parent", Variant(rights_parent_));
        row.Collect("Last_Update", Variant(last_update_));
      });
}

bool Rights::Update_Rights() {
  frame::Operation operation(err_desc_);
  if (connection_string_.empty()) {
    return operation.Reject(frame::kInvalidConnectionString);
  }
  if (rights_no_.empty() || rights_name_.empty()) {
    return operation.Reject(kInvalidRightsName);
  }
  return operation.Trapped([&] {
    adodb::Recordset right;
    right.Open(adodb::Statement::Compose(
                   {"Select * From Rights_Master where Rights_No='",
                    adodb::Quoted{rights_no_}, "'"}),
               connection_string_, adodb::kOpenKeyset, adodb::kLockOptimistic,
               adodb::kOptionsUnspecified);
    if (right.RecordCount() == 1) {
      right.Collect("Rights_Name", Variant(rights_name_));
      right.Collect("Rights_Parent", Variant(rights_parent_));
      right.Collect("Last_Update", Variant(last_update_));
      right.Update();
    }
    right.Close();
    operation.Succeed();
  });
}

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
          .Function("Create_Rights", &Rights::Create_Rights)
          .Function("Update_Rights", &Rights::Update_Rights)
          .Get("ErrDesc", &Rights::ErrDesc)
          .Build();
  return info;
}

}  // namespace tavikuser
