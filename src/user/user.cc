#include "tavikuser/user.h"

#include <string_view>

#include "frame/letter_case.h"
#include "frame/numbered_creation.h"
#include "frame/statements.h"
#include "frame/validation.h"

namespace tavikuser {
namespace {

constexpr char kInvalidUserIdOrName[] = "Invalid UserID or Name.";
constexpr char kInvalidUser[] = "Invalid User";
constexpr char kInvalidUserIdOrUserNo[] = "Invalid User ID or User No.";
constexpr char kInvalidUserId[] = "Invalid User ID";
constexpr char kInvalidOldPassword[] = "Invalid old password.";

// The built-in accounts of a branch and the Branch_Master column that holds
// each one's password, by upper-cased user ID.
struct BuiltInAccount {
  std::string_view user_id;
  std::string_view password_column;
};
constexpr BuiltInAccount kBuiltInAccounts[] = {
    {"SYSTEM", "System_Password"},
    {"ADMINISTRATOR", "Admin_Password"},
    {"MANAGER", "Manager_Password"},
};

// The password column of the built-in account that `user_id` names apart
// from letter case (blanks count), or nothing for an ordinary user.
std::optional<std::string_view> BuiltInPasswordColumn(
    const std::string& user_id) {
  const std::string account = frame::UpperCase(user_id);
  for (const BuiltInAccount& built_in : kBuiltInAccounts) {
    if (account == built_in.user_id) return built_in.password_column;
  }
  return std::nullopt;
}

bool SameIgnoringLetterCase(const std::string& a, const std::string& b) {
  return frame::UpperCase(a) == frame::UpperCase(b);
}

}  // namespace

struct User::Impl : frame::EntityState {
  std::string new_password;
  std::string user_no;
  std::string user_id;
  std::string user_name;
  std::string user_description;
  std::string user_password;
  DateTime last_update;
};

User::User() : User(std::make_unique<Impl>()) {}
User::User(std::unique_ptr<Impl> impl)
    : EntityProperties(*impl), impl_(std::move(impl)) {}
User::~User() = default;
User::User(User&&) noexcept = default;
User& User::operator=(User&&) noexcept = default;

void User::NewPassword(std::string vData) {
  impl_->new_password = std::move(vData);
}
std::string User::NewPassword() const { return impl_->new_password; }
void User::AdoConnectionObject(Connection vNewConnection) {
  impl_->connection = std::move(vNewConnection);
}
std::string User::UserNo() const { return impl_->user_no; }
void User::UserNo(std::string vNewUserNo) {
  impl_->user_no = std::move(vNewUserNo);
}
std::string User::UserID() const { return impl_->user_id; }
void User::UserID(std::string vNewUserID) {
  impl_->user_id = std::move(vNewUserID);
}
std::string User::UserName() const { return impl_->user_name; }
void User::UserName(std::string vNewUserName) {
  impl_->user_name = std::move(vNewUserName);
}
std::string User::UserDescription() const { return impl_->user_description; }
void User::UserDescription(std::string vNewUserDescription) {
  impl_->user_description = std::move(vNewUserDescription);
}
std::string User::UserPassword() const { return impl_->user_password; }
void User::UserPassword(std::string vNewUserPassword) {
  impl_->user_password = std::move(vNewUserPassword);
}
DateTime User::LastUpdate() const { return impl_->last_update; }
void User::LastUpdate(DateTime NewDateTime) {
  impl_->last_update = NewDateTime;
}

bool User::Validate_User() {
  const Impl& user = *impl_;
  frame::Operation validation(impl_->err_desc);
  if (user.connection_string.empty()) {
    return validation.Reject(frame::kInvalidConnectionString);
  }
  if (user.user_id.empty() || user.user_name.empty()) {
    return validation.Reject(kInvalidUserIdOrName);
  }
  return frame::ValidatePrefixes(user, validation);
}

bool User::Create_User() {
  if (!Validate_User()) return false;
  Impl& user = *impl_;
  return frame::CreateNumbered(
      user, frame::TransactionConduct::kReleasesConnection,
      [&](store::Connection& db, const frame::NewRecord& record) {
        // Default_Flag is left to the store's default.
        db.Execute(
            "INSERT INTO User_Master (Company_Prefix, Branch_Prefix, "
            "Document_Prefix, User_No, User_Identity, User_ID, User_Name, "
            "User_Description, User_Password, Last_Update) VALUES (?, ?, ?, "
            "?, ?, ?, ?, ?, ?, ?)",
            {user.company_prefix, user.branch_prefix, user.document_prefix,
             record.key, record.number, user.user_id, user.user_name,
             user.user_description, user.user_password, user.last_update});
      });
}

bool User::Update_User() {
  Impl& user = *impl_;
  frame::Operation operation(user.err_desc);
  if (user.connection_string.empty()) {
    return operation.Reject(frame::kInvalidConnectionString);
  }
  if (user.user_no.empty()) return operation.Reject(kInvalidUserIdOrName);

  return operation.Trapped([&] {
    const std::string& user_no = frame::Quoted(user.user_no);
    store::Lease db = store::Borrow(user.connection_string);
    // Every row under the number counts, whatever its Default_Flag and
    // prefixes; only a number that names exactly one account is rewritten.
    const store::Rows accounts = db->Query(
        "SELECT COUNT(*) FROM User_Master WHERE User_No = ?", {user_no});
    if (frame::CountOf(accounts) != 1) {
      operation.Reject(kInvalidUser);
      return;
    }
    db->Execute(
        "UPDATE User_Master SET User_ID = ?, User_Name = ?, User_Description "
        "= ?, User_Password = ?, Last_Update = ? WHERE User_No = ?",
        {user.user_id, user.user_name, user.user_description,
         user.user_password, user.last_update, user_no});
    operation.Succeed();
  });
}

bool User::Delete_User() {
  Impl& user = *impl_;
  frame::Operation operation(user.err_desc);
  if (user.connection_string.empty()) {
    return operation.Reject(frame::kInvalidConnectionString);
  }
  if (user.user_no.empty()) return operation.Reject(frame::kInvalidUserNo);

  return operation.Trapped([&] {
    const std::string& user_no = frame::Quoted(user.user_no);
    store::Lease db = store::Borrow(user.connection_string);
    const store::Rows accounts = db->Query(
        "SELECT COUNT(*) FROM User_Master WHERE User_No = ?", {user_no});
    if (frame::CountOf(accounts) != 1) {
      operation.Reject(kInvalidUser);
      return;
    }
    // The account's own row only: rows of other tables that carry the
    // number stay.
    db->Execute("DELETE FROM User_Master WHERE User_No = ?", {user_no});
    operation.Succeed();
  });
}

bool User::Get_User(std::optional<std::string> User_ID) {
  return ReadAccount(std::move(User_ID), false);
}

bool User::Get_User_Unique(std::optional<std::string> User_ID) {
  return ReadAccount(std::move(User_ID), true);
}

bool User::ReadAccount(std::optional<std::string> User_ID, bool within_branch) {
  Impl& user = *impl_;
  frame::Operation operation(user.err_desc);
  // The argument replaces UserID before anything is tested.
  user.user_id = std::move(User_ID).value_or("");
  if (user.user_id.empty() && user.user_no.empty()) {
    return operation.Reject(kInvalidUserIdOrUserNo);
  }

  return operation.Trapped([&] {
    // By number the search is never confined to a company or branch.
    std::string condition =
        user.user_id.empty() ? "User_No = ?" : "User_ID = ?";
    store::Values values{
        frame::Quoted(user.user_id.empty() ? user.user_no : user.user_id)};
    condition += " AND Default_Flag = 0";
    if (within_branch && !user.user_id.empty()) {
      condition += " AND company_prefix = ? AND branch_prefix = ?";
      values.push_back(frame::Quoted(user.company_prefix));
      values.push_back(frame::Quoted(user.branch_prefix));
    }
    const store::Rows accounts =
        store::Borrow(user.connection_string)
            ->Query(
                "SELECT User_No, User_ID, User_Name, User_Description, "
                "User_Password FROM User_Master WHERE " +
                    condition,
                values);
    if (accounts.empty()) {
      operation.Reject(kInvalidUserId);
      return;
    }
    // The first row, as the store returns it. A Null in one of the first
    // three fails the conversion, leaving the ones already taken.
    const store::Row& account = accounts.front();
    user.user_no = account[0].ToText();
    user.user_id = account[1].ToText();
    user.user_name = account[2].ToText();
    frame::TakeUnlessNullOrEmpty(account[3], user.user_description);
    frame::TakeUnlessNullOrEmpty(account[4], user.user_password);
    operation.Succeed();
  });
}

bool User::Change_Password() {
  Impl& user = *impl_;
  frame::Operation operation(user.err_desc);
  if (user.user_id.empty() && user.user_no.empty()) {
    return operation.Reject(kInvalidUserIdOrUserNo);
  }
  if (user.new_password.empty()) {
    return operation.Reject("Invalid new password.");
  }

  return operation.Trapped([&] {
    // Stores the new password, as given, in the row that was read, when the
    // old one matched.
    const auto replace_password = [&](bool old_password_matches,
                                      frame::CurrentRow& row,
                                      std::string_view column) {
      if (!old_password_matches) {
        operation.Reject(kInvalidOldPassword);
        return;
      }
      row.Update(std::string(column) + " = ?", {user.new_password});
      operation.Succeed();
    };

    if (const auto column = BuiltInPasswordColumn(user.user_id)) {
      const std::string& branch = frame::Quoted(user.branch_prefix);
      const std::string& company = frame::Quoted(user.company_prefix);
      store::Lease db = store::Borrow(user.connection_string);
      std::optional<frame::CurrentRow> branch_row = frame::CurrentRow::First(
          *db, "Branch_Master", *column,
          "Branch_Prefix = ? AND Company_Prefix = ?", {branch, company});
      // No branch: nothing to say beyond the false result.
      if (!branch_row) return;
      const store::Value& stored = (*branch_row)[0];
      replace_password(
          !stored.is_null() &&
              SameIgnoringLetterCase(stored.ToText(), user.user_password),
          *branch_row, *column);
      return;
    }

    // Found by user ID, or by number without one; never narrowed by
    // company, branch or Default_Flag.
    const bool by_user_id = !user.user_id.empty();
    const std::string& key =
        frame::Quoted(by_user_id ? user.user_id : user.user_no);
    store::Lease db = store::Borrow(user.connection_string);
    std::optional<frame::CurrentRow> account = frame::CurrentRow::First(
        *db, "User_Master", "User_Password",
        by_user_id ? "User_ID = ?" : "User_No = ?", {key});
    if (!account) {
      operation.Reject(kInvalidUserId);
      return;
    }
    // An account without a password is opened with an empty one.
    const store::Value& stored = (*account)[0];
    replace_password(
        stored.is_null()
            ? user.user_password.empty()
            : SameIgnoringLetterCase(stored.ToText(), user.user_password),
        *account, "User_Password");
  });
}

const automation::ClassInfo& User::Class() {
  static const automation::ClassInfo info =
      automation::MemberTable<User>("TavikUser.User")
          .Function("Change_Password", &User::Change_Password)
          .Let("NewPassword", &User::NewPassword)
          .Get("NewPassword", &User::NewPassword)
          .Let("ADOConnectionString", &User::ADOConnectionString)
          .Set("AdoConnectionObject", &User::AdoConnectionObject)
          .Get("CompanyPrefix", &User::CompanyPrefix)
          .Let("CompanyPrefix", &User::CompanyPrefix)
          .Get("BranchPrefix", &User::BranchPrefix)
          .Let("BranchPrefix", &User::BranchPrefix)
          .Get("DocumentPrefix", &User::DocumentPrefix)
          .Let("DocumentPrefix", &User::DocumentPrefix)
          .Get("UserNo", &User::UserNo)
          .Let("UserNo", &User::UserNo)
          .Get("UserID", &User::UserID)
          .Let("UserID", &User::UserID)
          .Get("UserName", &User::UserName)
          .Let("UserName", &User::UserName)
          .Get("UserDescription", &User::UserDescription)
          .Let("UserDescription", &User::UserDescription)
          .Get("UserPassword", &User::UserPassword)
          .Let("UserPassword", &User::UserPassword)
          .Get("LastUpdate", &User::LastUpdate)
          .Let("LastUpdate", &User::LastUpdate)
          .Function("Create_User", &User::Create_User)
          .Function("Update_User", &User::Update_User)
          .Function("Delete_User", &User::Delete_User)
          .Get("ErrDesc", &User::ErrDesc)
          .Function("Get_User", &User::Get_User)
          .Function("Get_User_Unique", &User::Get_User_Unique)
          .Build();
  return info;
}

}  // namespace tavikuser
