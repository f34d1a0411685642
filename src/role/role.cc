#include "tavikuser/role.h"

#include "frame/numbered_creation.h"
#include "frame/statements.h"
#include "frame/transaction.h"
#include "frame/validation.h"
#include "platform/store/connection_object.h"

namespace tavikuser {
namespace {

using frame::TransactionConduct;

constexpr char kInvalidRoleName[] = "Invalid Role Name.";

// The connection that the role's transaction runs on.
store::Connection& Opened(const frame::EntityState& role) {
  return store::ConnectionObject::Of(*role.connection).Opened();
}

}  // namespace

struct Role::Impl : frame::EntityState {
  std::string role_number;
  std::string role_name;
};

Role::Role() : Role(std::make_unique<Impl>()) {}
Role::Role(std::unique_ptr<Impl> impl)
    : EntityProperties(*impl), impl_(std::move(impl)) {}
Role::~Role() = default;
Role::Role(Role&&) noexcept = default;
Role& Role::operator=(Role&&) noexcept = default;

void Role::RoleNumber(std::string vNewRoleNo) {
  impl_->role_number = std::move(vNewRoleNo);
}
std::string Role::RoleName() const { return impl_->role_name; }
void Role::RoleName(std::string vNewRoleName) {
  impl_->role_name = std::move(vNewRoleName);
}

bool Role::Create_Role() {
  Impl& role = *impl_;
  frame::Operation validation(role.err_desc);
  if (role.connection_string.empty()) {
    return validation.Reject(frame::kInvalidConnectionString);
  }
  if (role.role_name.empty()) return validation.Reject(kInvalidRoleName);
  if (!frame::ValidatePrefixes(role, validation)) return false;
  return frame::CreateNumbered(
      role, TransactionConduct::kKeepsConnection,
      [&](store::Connection& db, const frame::NewRecord& record) {
        db.Execute(
            "INSERT INTO Role_Master (Role_No, Role_Identity, Company_Prefix, "
            "Branch_Prefix, Document_Prefix, Role_Name) VALUES (?, ?, ?, ?, "
            "?, ?)",
            {record.key, record.number, role.company_prefix, role.branch_prefix,
             role.document_prefix, role.role_name});
      });
}

bool Role::Update_Role() {
  Impl& role = *impl_;
  frame::Operation operation(role.err_desc);
  if (role.connection_string.empty()) {
    return operation.Reject(frame::kInvalidConnectionString);
  }
  if (role.role_name.empty()) return operation.Reject(kInvalidRoleName);
  return frame::InTransaction(
      role, TransactionConduct::kKeepsConnection, operation, [&] {
        // No count test: of several rows only the first is renamed, and
        // with none the write fails for want of a current row.
        std::optional<frame::CurrentRow> first = frame::CurrentRow::First(
            Opened(role), "Role_Master", "", "Role_No = ?",
            {frame::Quoted(role.role_number)});
        if (!first) throw DataAccessError(frame::kNoCurrentRow);
        first->Update("Role_Name = ?", {role.role_name});
        return true;
      });
}

bool Role::Delete_Role() {
  Impl& role = *impl_;
  frame::Operation operation(role.err_desc);
  if (role.connection_string.empty()) {
    return operation.Reject(frame::kInvalidConnectionString);
  }
  if (role.role_number.empty()) return operation.Reject("Invalid Role No.");
  return frame::InTransaction(
      role, TransactionConduct::kKeepsConnection, operation, [&] {
        const std::string& role_number = frame::Quoted(role.role_number);
        store::Connection& db = Opened(role);
        // The role's own row first, then its link rows: all or none.
        db.Execute("DELETE FROM Role_Master WHERE Role_No = ?", {role_number});
        db.Execute("DELETE FROM Role_Detail WHERE Role_No = ?", {role_number});
        db.Execute("DELETE FROM Access_Control WHERE Role_No = ?",
                   {role_number});
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
