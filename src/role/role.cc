#include "tavikuser/role.h"

#include "frame/messages.h"
#include "frame/numbered_creation.h"
#include "frame/operation.h"
#include "frame/transaction.h"
#include "platform/adodb/recordset.h"

namespace tavikuser {
namespace {

using adodb::Quoted;
using frame::TransactionConduct;

constexpr char kInvalidRoleName[] = "Invalid Role Name.";

}  // namespace

void Role::RoleNumber(std::string vNewRoleNo) {
  role_number_ = std::move(vNewRoleNo);
}
std::string Role::RoleName() const { return role_name_; }
void Role::RoleName(std::string vNewRoleName) {
  role_name_ = std::move(vNewRoleName);
}

bool Role::Create_Role() {
  frame::Operation validation(err_desc_);
  if (connection_string_.empty()) {
    return validation.Reject(frame::kInvalidConnectionString);
  }
  if (role_name_.empty()) return validation.Reject(kInvalidRoleName);
  if (!ValidatePrefixes(validation)) return false;
  return frame::NumberedCreation::Run(
      *this, TransactionConduct::kKeepsConnection, "Select * From Role_Master",
      [this](adodb::Recordset& row, const std::string& record_key,
             std::int32_t document_number) {
        row.Collect("Role_No", Variant(record_key));
        row.Collect("Role_Identity", Variant(document_number));
        CollectPrefixes(row);
        row.Collect("Role_Name", Variant(role_name_));
      });
}

bool Role::Update_Role() {
  frame::Operation operation(err_desc_);
  if (connection_string_.empty()) {
    return operation.Reject(frame::kInvalidConnectionString);
  }
  if (role_name_.empty()) return operation.Reject(kInvalidRoleName);
  return frame::InTransaction(
      operation, connection_, connection_string_,
      TransactionConduct::kKeepsConnection, [&] {
        adodb::Recordset role;
        role.Open(adodb::Statement::Compose(
                      {"Select * From Role_Master where Role_No='",
                       Quoted{role_number_}, "'"}),
                  *connection_, adodb::kOpenKeyset, adodb::kLockOptimistic,
                  adodb::kOptionsUnspecified);
        // No count test: a missing row fails at the write for want of a
        // current row, and of several only the first is renamed.
        role.Collect("Role_Name", Variant(role_name_));
        role.Update();
        role.Close();
        return true;
      });
}

bool Role::Delete_Role() {
  frame::Operation operation(err_desc_);
  if (connection_string_.empty()) {
    return operation.Reject(frame::kInvalidConnectionString);
  }
  if (role_number_.empty()) return operation.Reject("Invalid Role No.");
  return frame::InTransaction(
      operation, connection_, connection_string_,
      TransactionConduct::kKeepsConnection, [&] {
        // The role's own row first, then its link rows: all or none.
        adodb::Execute(*connection_,
                       adodb::Statement::Compose(
                           {"Delete from Role_Master where Role_No='",
                            Quoted{role_number_}, "'"}));
        adodb::Execute(*connection_,
                       adodb::Statement::Compose(
                           {"Delete from Role_Detail where Role_No='",
                            Quoted{role_number_}, "'"}));
        adodb::Execute(*connection_,
                       adodb::Statement::Compose(
                           {"Delete from Access_Control where Role_No='",
                            Quoted{role_number_}, "'"}));
        return true;
      });
}

const automation::ClassInfo& Role::Class() {
  static const automation::ClassInfo info =
      automation::MemberTable<Role>("TavikUser.Role")
          .Let("ADOConnectionString", &Role::ADOConnectionString)
          .Let("RoleNumber", &Role::RoleNumber)
          .Get("RoleName", &Role::RoleName)
          .Let("RoleName", &Role::RoleName)
          .Get("CompanyPrefix", &Role::CompanyPrefix)
          .Let("CompanyPrefix", &Role::CompanyPrefix)
          .Get("BranchPrefix", &Role::BranchPrefix)
          .Let("BranchPrefix", &Role::BranchPrefix)
          .Get("DocumentPrefix", &Role::DocumentPrefix)
          .Let("DocumentPrefix", &Role::DocumentPrefix)
          .Function("Create_Role", &Role::Create_Role)
          .Function("Update_Role", &Role::Update_Role)
          .Function("Delete_Role", &Role::Delete_Role)
          .Get("ErrDesc", &Role::ErrDesc)
          .Build();
  return info;
}

}  // namespace tavikuser
