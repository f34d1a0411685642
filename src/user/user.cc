#include "tavikuser/user.h"

#include <string_view>

#include "frame/fields.h"
#include "frame/letter_case.h"
#include "frame/messages.h"
#include "frame/numbered_creation.h"
#include "frame/operation.h"
#include "platform/adodb/recordset.h"

namespace tavikuser {
namespace {

using adodb::Quoted;
using adodb::Statement;

constexpr char kInvalidUserIdOrName[] = "Invalid UserID or Name.";
constexpr char kInvalidUser[] = "Invalid User";
constexpr char kInvalidUserIdOrUserNo[] = "Invalid User ID or User No.";
constexpr char kInvalidUserId[] = "Invalid User ID";
constexpr char kInvalidOldPassword[] = "Invalid old password.";

// The maintenance statement: every row under the number, whatever its
// Default_Flag and prefixes.
Statement RowsUnderUserNo(const std::string& user_no) {
  return Statement::Compose(
      {"Select * From User_Master where User_No='", Quoted{user_no}, "'"});
}

// The Branch_Master row that keeps the built-in accounts' passwords.
Statement BranchRow(const std::string& branch_prefix,
                    const std::string& company_prefix) {
  return Statement::Compose(
      {"Select * From Branch_Master Where Branch_Prefix ='",
       Quoted{branch_prefix}, "' and Company_Prefix ='", Quoted{company_prefix},
       "'"});
}

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

void User::NewPassword(std::string vData) { new_password_ = std::move(vData); }
std::string User::NewPassword() const { return new_password_; }
void User::AdoConnectionObject(Connection vNewConnection) {
  connection_ = std::move(vNewConnection);
}
std::string User::UserNo() const { return user_no_; }
void User::UserNo(std::string vNewUserNo) { user_no_ = std::move(vNewUserNo); }
std::string User::UserID() const { return user_id_; }
void User::UserID(std::string vNewUserID) { user_id_ = std::move(vNewUserID); }
std::string User::UserName() const { return user_name_; }
void User::UserName(std::string vNewUserName) {
  user_name_ = std::move(vNewUserName);
}
std::string User::UserDescription() const { return user_description_; }
void User::UserDescription(std::string vNewUserDescription) {
  user_description_ = std::move(vNewUserDescription);
}
std::string User::UserPassword() const { return user_password_; }
void User::UserPassword(std::string vNewUserPassword) {
  user_password_ = std::move(vNewUserPassword);
}
DateTime User::LastUpdate() const { return last_update_; }
void User::LastUpdate(DateTime NewDateTime) { last_update_ = NewDateTime; }

bool User::Validate_User() {
  frame::Operation validation(err_desc_);
  if (connection_string_.empty()) {
    return validation.Reject(frame::kInvalidConnectionString);
  }
  if (user_id_.empty() || user_name_.empty()) {
    return validation.Reject(kInvalidUserIdOrName);
  }
  if (!ValidatePrefixes(validation)) return false;
  return true;
}

bool User::Create_User() {
  if (!Validate_User()) return false;
  return frame::NumberedCreation::Run(
      *this, frame::TransactionConduct::kReleasesConnection,
      "Select * From User_Master",
      [this](adodb::Recordset& row, const std::string& record_key,
             std::int32_t document_number) {
        CollectPrefixes(row);
        row.Collect("User_No", Variant(record_key));
        row.Collect("User_Identity", Variant(document_number));
        row.Collect("User_ID", Variant(user_id_));
        row.Collect("User_Name", Variant(user_name_));
        row.Collect("User_Description", Variant(user_description_));
        row.Collect("User_Password", Variant(user_password_));
        row.Collect("Last_Update", Variant(last_update_));
      });
}

bool User::Update_User() {
  frame::Operation operation(err_desc_);
  if (connection_string_.empty()) {
    return operation.Reject(frame::kInvalidConnectionString);
  }
  if (user_no_.empty()) return operation.Reject(kInvalidUserIdOrName);

  return operation.Trapped([&] {
    adodb::Recordset account;
    account.Open(RowsUnderUserNo(user_no_), connection_string_,
                 adodb::kOpenKeyset, adodb::kLockOptimistic,
                 adodb::kOptionsUnspecified);
    if (account.RecordCount() == 1) {
      account.Collect("User_ID", Variant(user_id_));
      account.Collect("User_Name", Variant(user_name_));
      account.Collect("User_Description", Variant(user_description_));
      account.Collect("User_Password", Variant(user_password_));
      account.Collect("Last_Update", Variant(last_update_));
      account.Update();
      operation.Succeed();
    } else {
      operation.Reject(kInvalidUser);
    }
    account.Close();
  });
}

bool User::Delete_User() {
  frame::Operation operation(err_desc_);
  if (connection_string_.empty()) {
    return operation.Reject(frame::kInvalidConnectionString);
  }
  if (user_no_.empty()) return operation.Reject(frame::kInvalidUserNo);

  return operation.Trapped([&] {
    adodb::Recordset account;
    account.Open(RowsUnderUserNo(user_no_), connection_string_,
                 adodb::kOpenKeyset, adodb::kLockOptimistic,
                 adodb::kOptionsUnspecified);
    if (account.RecordCount() == 1) {
      account.Delete();
      operation.Succeed();
    } else {
      operation.Reject(kInvalidUser);
    }
    account.Close();
  });
}

bool User::Get_User(std::optional<std::string> User_ID) {
  return ReadAccount(std::move(User_ID), [this] {
    return Statement::Compose({"Select * from User_Master where User_ID='",
                               Quoted{user_id_}, "' and Default_Flag =0"});
  });
}

bool User::Get_User_Unique(std::optional<std::string> User_ID) {
  return ReadAccount(std::move(User_ID), [this] {
    return Statement::Compose(
        {"Select * from User_Master where User_ID='", Quoted{user_id_},
         "' and Default_Flag =0 and company_prefix='", Quoted{company_prefix_},
         "' and branch_prefix='", Quoted{branch_prefix_}, "'"});
  });
}

bool User::ReadAccount(std::optional<std::string> User_ID,
                       const std::function<Statement()>& search_by_user_id) {
  frame::Operation operation(err_desc_);
  // The argument replaces UserID before anything is tested.
  user_id_ = std::move(User_ID).value_or("");
  if (user_id_.empty() && user_no_.empty()) {
    return operation.Reject(kInvalidUserIdOrUserNo);
  }

  return operation.Trapped([&] {
    adodb::Recordset account;
    account.Open(
        user_id_.empty()
            ? Statement::Compose({"Select * from User_Master where User_No='",
                                  Quoted{user_no_}, "' and Default_Flag =0"})
            : search_by_user_id(),
        connection_string_, adodb::kOpenKeyset, adodb::kLockOptimistic,
        adodb::kOptionsUnspecified);
    if (account.RecordCount() > 0) {
      // A Null in one of the first three fails the conversion, leaving the
      // ones already taken.
      user_no_ = account.Field("User_No").ToText();
      user_id_ = account.Field("User_ID").ToText();
      user_name_ = account.Field("User_Name").ToText();
      frame::TakeUnlessNullOrEmpty(account.Field("User_Description"),
                                   user_description_);
      frame::TakeUnlessNullOrEmpty(account.Field("User_Password"),
                                   user_password_);
      operation.Succeed();
    } else {
      operation.Reject(kInvalidUserId);
    }
    account.Close();
  });
}

bool User::Change_Password() {
  frame::Operation operation(err_desc_);
  if (user_id_.empty() && user_no_.empty()) {
    return operation.Reject(kInvalidUserIdOrUserNo);
  }
  if (new_password_.empty()) return operation.Reject("Invalid new password.");

  return operation.Trapped([&] {
    adodb::Recordset account;
    // Stores the new password as given when the old one matched.
    const auto replace_password = [&](bool old_password_matches,
                                      std::string_view column) {
      if (!old_password_matches) {
        operation.Reject(kInvalidOldPassword);
        return;
      }
      account.Collect(column, Variant(new_password_));
      account.Update();
      operation.Succeed();
    };

    if (const auto column = BuiltInPasswordColumn(user_id_)) {
      account.Open(BranchRow(branch_prefix_, company_prefix_),
                   connection_string_, adodb::kOpenKeyset,
                   adodb::kLockOptimistic, adodb::kOptionsUnspecified);
      // No branch: nothing to say beyond the false result.
      if (account.RecordCount() > 0) {
        const Variant stored = account.Field(*column);
        replace_password(
            !stored.is_null() &&
                SameIgnoringLetterCase(stored.ToText(), user_password_),
            *column);
      }
    } else {
      account.Open(
          user_id_.empty()
              ? Statement::Compose({"Select * from User_Master where User_No='",
                                    Quoted{user_no_}, "'"})
              : Statement::Compose({"Select * from User_Master where User_ID='",
                                    Quoted{user_id_}, "'"}),
          connection_string_, adodb::kOpenKeyset, adodb::kLockOptimistic,
          adodb::kOptionsUnspecified);
      if (account.RecordCount() > 0) {
        // An account without a password is opened with an empty one.
        const Variant stored = account.Field("User_Password");
        replace_password(
            stored.is_null()
                ? user_password_.empty()
                : SameIgnoringLetterCase(stored.ToText(), user_password_),
            "User_Password");
      } else {
        operation.Reject(kInvalidUserId);
      }
    }
    account.Close();
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
