#include "tavikuser/user_group.h"

#include <cstdint>
#include <string>
#include <utility>

#include "frame/fields.h"
#include "frame/messages.h"
#include "frame/numbered_creation.h"
#include "frame/operation.h"
#include "platform/adodb/recordset.h"

namespace tavikuser {
namespace {

constexpr char kInvalidGroupName[] = "Invalid Group Name.";
constexpr char kInvalidGroupNo[] = "Invalid Group No.";
constexpr char kGroupHasUsers[] =
    "Group could not be deleted, due to user existence!";
// The lookup's two texts differ only in the full stop: with it for an empty
// number, without it for a number that no row carries.
constexpr char kEmptyUserGroupNumber[] = "Invalid User Group Number.";
constexpr char kUnknownUserGroupNumber[] = "Invalid User Group Number";

adodb::Statement GroupRows(const std::string& group_number) {
  return adodb::Statement::Compose(
      {"Select * From User_Group where User_Group_No='",
       adodb::Quoted{group_number}, "'"});
}

// A group with any of these rows counts as having users.
adodb::Statement GroupDetailRows(const std::string& group_number) {
  return adodb::Statement::Compose(
      {"Select * from Group_Detail where User_Group_No='",
       adodb::Quoted{group_number}, "'"});
}

// Outside a creation the recordsets open a connection of their own from the
// connection string; there is no transaction.
void OpenOnOwnConnection(adodb::Recordset& rows,
                         const adodb::Statement& statement,
                         const std::string& connection_string) {
  rows.Open(statement, connection_string, adodb::kOpenKeyset,
            adodb::kLockOptimistic, adodb::kOptionsUnspecified);
}

}  // namespace

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

bool UserGroup::Validate_Group() {
  frame::Operation validation(err_desc_);
  if (connection_string_.empty()) {
    return validation.Reject(frame::kInvalidConnectionString);
  }
  if (group_name_.empty()) return validation.Reject(kInvalidGroupName);
  if (!ValidatePrefixes(validation)) return false;
  return true;
}

bool UserGroup::Create_Group() {
  if (!Validate_Group()) return false;
  return frame::NumberedCreation::Run(
      *this, frame::TransactionConduct::kReleasesConnection,
      "Select * From User_Group",
      [this](adodb::Recordset& row, const std::string& record_key,
             std::int32_t document_number) {
        row.Collect("User_Group_No", Variant(record_key));
        row.Collect("User_Group_Identity", Variant(document_number));
        CollectPrefixes(row);
        row.Collect("User_Group_Name", Variant(group_name_));
        row.Collect("User_Group_Desc", Variant(group_description_));
        row.Collect("Last_Update", Variant(last_update_));
      },
      [this](const std::string& record_key) { group_number_ = record_key; });
}

bool UserGroup::Update_Group() {
  frame::Operation operation(err_desc_);
  if (connection_string_.empty()) {
    return operation.Reject(frame::kInvalidConnectionString);
  }
  if (group_name_.empty()) return operation.Reject(kInvalidGroupName);

  return operation.Trapped([&] {
    adodb::Recordset group;
    OpenOnOwnConnection(group, GroupRows(group_number_), connection_string_);
    // The count is not asked: the first row found is changed, and with none
    // the first write fails for want of a current row.
    group.Collect("User_Group_Name", Variant(group_name_));
    if (!group_description_.empty()) {
      group.Collect("User_Group_Desc", Variant(group_description_));
    }
    group.Collect("Last_Update", Variant(last_update_));
    group.Update();
    group.Close();
    operation.Succeed();
  });
}

bool UserGroup::Delete_Group() {
  frame::Operation operation(err_desc_);
  if (connection_string_.empty()) {
    return operation.Reject(frame::kInvalidConnectionString);
  }
  if (group_number_.empty()) return operation.Reject(kInvalidGroupNo);

  return operation.Trapped([&] {
    long member_count = 0;
    {
      adodb::Recordset members;
      OpenOnOwnConnection(members, GroupDetailRows(group_number_),
                          connection_string_);
      member_count = members.RecordCount();
      members.Close();
    }
    if (member_count > 0) {
      operation.Reject(kGroupHasUsers);
      return;
    }

    adodb::Recordset group;
    OpenOnOwnConnection(group, GroupRows(group_number_), connection_string_);
    if (group.RecordCount() == 1) group.Delete();
    group.Close();
    operation.Succeed();
  });
}

bool UserGroup::Get_UserGroup(std::string User_Group_No) {
  frame::Operation operation(err_desc_);
  group_number_ = std::move(User_Group_No);
  if (group_number_.empty()) return operation.Reject(kEmptyUserGroupNumber);

  return operation.Trapped([&] {
    adodb::Recordset group;
    OpenOnOwnConnection(group, GroupRows(group_number_), connection_string_);
    if (group.RecordCount() > 0) {
      frame::TakeUnlessNullOrEmpty(group.Field("User_Group_Name"), group_name_);
      frame::TakeUnlessNullOrEmpty(group.Field("User_Group_Desc"),
                                   group_description_);
      // Read without a Null guard: a Null fails the conversion, after name
      // and description were taken.
      last_update_ = group.Field("Last_Update").ToDate();
      operation.Succeed();
    } else {
      operation.Reject(kUnknownUserGroupNumber);
    }
    group.Close();
  });
}

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
          .Function("Create_Group", &UserGroup::Create_Group)
          .Function("Update_Group", &UserGroup::Update_Group)
          .Function("Delete_Group", &UserGroup::Delete_Group)
          .Get("ErrDesc", &UserGroup::ErrDesc)
          .Function("Get_UserGroup", &UserGroup::Get_UserGroup)
          .Build();
  return info;
}

}  // namespace tavikuser
