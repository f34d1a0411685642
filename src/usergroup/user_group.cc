#include "tavikuser/user_group.h"

#include "frame/numbered_creation.h"
#include "frame/statements.h"
#include "frame/validation.h"

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

}  // namespace

struct UserGroup::Impl : frame::EntityState {
  std::string group_number;
  std::string group_name;
  std::string group_description;
  DateTime last_update;
};

UserGroup::UserGroup() : UserGroup(std::make_unique<Impl>()) {}
UserGroup::UserGroup(std::unique_ptr<Impl> impl)
    : EntityProperties(*impl), impl_(std::move(impl)) {}
UserGroup::~UserGroup() = default;
UserGroup::UserGroup(UserGroup&&) noexcept = default;
UserGroup& UserGroup::operator=(UserGroup&&) noexcept = default;

void UserGroup::GroupNumber(std::string vNewGroupNo) {
  impl_->group_number = std::move(vNewGroupNo);
}
std::string UserGroup::GroupNumber() const { return impl_->group_number; }
std::string UserGroup::GroupName() const { return impl_->group_name; }
void UserGroup::GroupName(std::string vNewGroupName) {
  impl_->group_name = std::move(vNewGroupName);
}
std::string UserGroup::GroupDescription() const {
  return impl_->group_description;
}
void UserGroup::GroupDescription(std::string vNewGroupDescription) {
  impl_->group_description = std::move(vNewGroupDescription);
}
DateTime UserGroup::LastUpdate() const { return impl_->last_update; }
void UserGroup::LastUpdate(DateTime NewDateTime) {
  impl_->last_update = NewDateTime;
}

bool UserGroup::Validate_Group() {
  frame::Operation validation(impl_->err_desc);
  if (impl_->connection_string.empty()) {
    return validation.Reject(frame::kInvalidConnectionString);
  }
  if (impl_->group_name.empty()) return validation.Reject(kInvalidGroupName);
  return frame::ValidatePrefixes(*impl_, validation);
}

bool UserGroup::Create_Group() {
  if (!Validate_Group()) return false;
  Impl& group = *impl_;
  return frame::CreateNumbered(
      group, frame::TransactionConduct::kReleasesConnection,
      [&](store::Connection& db, const frame::NewRecord& record) {
        db.Execute(
            "INSERT INTO User_Group (User_Group_No, User_Group_Identity, "
            "Company_Prefix, Branch_Prefix, Document_Prefix, User_Group_Name, "
            "User_Group_Desc, Last_Update) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
            {record.key, record.number, group.company_prefix,
             group.branch_prefix, group.document_prefix, group.group_name,
             group.group_description, group.last_update});
      },
      // GroupNumber keeps the key even when the creation then fails.
      [&](const std::string& key) { group.group_number = key; });
}

bool UserGroup::Update_Group() {
  Impl& group = *impl_;
  frame::Operation operation(group.err_desc);
  if (group.connection_string.empty()) {
    return operation.Reject(frame::kInvalidConnectionString);
  }
  if (group.group_name.empty()) return operation.Reject(kInvalidGroupName);

  return operation.Trapped([&] {
    const std::string& group_number = frame::Quoted(group.group_number);
    store::Lease db = store::Borrow(group.connection_string);
    // The count is not asked: the first row found is changed, and with none
    // the first write fails for want of a current row.
    std::optional<frame::CurrentRow> first = frame::CurrentRow::First(
        *db, "User_Group", "", "User_Group_No = ?", {group_number});
    if (!first) throw DataAccessError(frame::kNoCurrentRow);
    // An update never clears a description.
    if (group.group_description.empty()) {
      first->Update("User_Group_Name = ?, Last_Update = ?",
                    {group.group_name, group.last_update});
    } else {
      first->Update(
          "User_Group_Name = ?, User_Group_Desc = ?, Last_Update = ?",
          {group.group_name, group.group_description, group.last_update});
    }
    operation.Succeed();
  });
}

bool UserGroup::Delete_Group() {
  Impl& group = *impl_;
  frame::Operation operation(group.err_desc);
  if (group.connection_string.empty()) {
    return operation.Reject(frame::kInvalidConnectionString);
  }
  if (group.group_number.empty()) return operation.Reject(kInvalidGroupNo);

  return operation.Trapped([&] {
    const std::string& group_number = frame::Quoted(group.group_number);
    // Two statements, each on a connection of its own, without a
    // transaction: a member added between them is not seen.
    const store::Rows members = store::Borrow(group.connection_string)
                                    ->Query(
                                        "SELECT COUNT(*) FROM Group_Detail "
                                        "WHERE User_Group_No = ?",
                                        {group_number});
    if (frame::CountOf(members) > 0) {
      operation.Reject(kGroupHasUsers);
      return;
    }
    store::Lease db = store::Borrow(group.connection_string);
    // Only a number that names exactly one group is deleted.
    const store::Rows groups =
        db->Query("SELECT COUNT(*) FROM User_Group WHERE User_Group_No = ?",
                  {group_number});
    if (frame::CountOf(groups) == 1) {
      db->Execute("DELETE FROM User_Group WHERE User_Group_No = ?",
                  {group_number});
    }
    operation.Succeed();
  });
}

bool UserGroup::Get_UserGroup(std::string User_Group_No) {
  Impl& group = *impl_;
  frame::Operation operation(group.err_desc);
  group.group_number = std::move(User_Group_No);
  if (group.group_number.empty()) {
    return operation.Reject(kEmptyUserGroupNumber);
  }

  return operation.Trapped([&] {
    const std::string& group_number = frame::Quoted(group.group_number);
    const store::Rows rows =
        store::Borrow(group.connection_string)
            ->Query(
                "SELECT User_Group_Name, User_Group_Desc, Last_Update FROM "
                "User_Group WHERE User_Group_No = ?",
                {group_number});
    if (rows.empty()) {
      operation.Reject(kUnknownUserGroupNumber);
      return;
    }
    // The first row, as the store returns it.
    const store::Row& first = rows.front();
    frame::TakeUnlessNullOrEmpty(first[0], group.group_name);
    frame::TakeUnlessNullOrEmpty(first[1], group.group_description);
    // Read without a Null guard: a Null fails the conversion, after name
    // and description were taken.
    group.last_update = first[2].ToDate();
    operation.Succeed();
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
