#include "tavikuser/rights.h"

#include "frame/numbered_creation.h"
#include "frame/operation.h"
#include "frame/state.h"
#include "frame/statements.h"
#include "frame/validation.h"

namespace tavikuser {
namespace {
constexpr char kInvalidRightsName[] = "Invalid Rights Name";
}  // namespace

struct Rights::Impl : frame::EntityState {
  std::string rights_no;
  std::string rights_name;
  std::string rights_parent;
  DateTime last_update;
};

Rights::Rights() : Rights(std::make_unique<Impl>()) {}
Rights::Rights(std::unique_ptr<Impl> impl)
    : EntityProperties(*impl), impl_(std::move(impl)) {}
Rights::~Rights() = default;
Rights::Rights(Rights&&) noexcept = default;
Rights& Rights::operator=(Rights&&) noexcept = default;

std::string Rights::RightsNo() const { return impl_->rights_no; }
void Rights::RightsNo(std::string vNewRightsNo) {
  impl_->rights_no = std::move(vNewRightsNo);
}
std::string Rights::RightsName() const { return impl_->rights_name; }
void Rights::RightsName(std::string vNewRightsName) {
  impl_->rights_name = std::move(vNewRightsName);
}
std::string Rights::RightsParent() const { return impl_->rights_parent; }
void Rights::RightsParent(std::string vNewRightsParent) {
  impl_->rights_parent = std::move(vNewRightsParent);
}
DateTime Rights::LastUpdate() const { return impl_->last_update; }
void Rights::LastUpdate(DateTime NewDateTime) {
  impl_->last_update = NewDateTime;
}

bool Rights::Validate_Rights() {
  frame::Operation validation(impl_->err_desc);
  if (impl_->connection_string.empty()) {
    return validation.Reject(frame::kInvalidConnectionString);
  }
  if (!frame::ValidatePrefixes(*impl_, validation)) return false;
  if (impl_->rights_name.empty()) {
    return validation.Reject(kInvalidRightsName);
  }
  return true;
}

bool Rights::Create_Rights() {
  if (!Validate_Rights()) return false;
  Impl& right = *impl_;
  return frame::CreateNumbered(
      right, frame::TransactionConduct::kReleasesConnection,
      [&](store::Connection& db, const frame::NewRecord& record) {
        db.Execute(
            "INSERT INTO Rights_Master (Company_Prefix, Branch_Prefix, "
            "Document_Prefix, Rights_No, Rights_Identity, Rights_Name, "
            "Rights_Parent, Last_Update) VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
            {right.company_prefix, right.branch_prefix, right.document_prefix,
             record.key, record.number, right.rights_name, right.rights_parent,
             right.last_update});
      });
}

bool Rights::Update_Rights() {
  Impl& right = *impl_;
  frame::Operation operation(right.err_desc);
  if (right.connection_string.empty()) {
    return operation.Reject(frame::kInvalidConnectionString);
  }
  if (right.rights_no.empty() || right.rights_name.empty()) {
    return operation.Reject(kInvalidRightsName);
  }
  return operation.Trapped([&] {
    const std::string& rights_no = frame::Quoted(right.rights_no);
    store::Lease db = store::Borrow(right.connection_string);
    // Only a key that names exactly one right is rewritten.
    const store::Rows rows = db->Query(
        "SELECT COUNT(*) FROM Rights_Master WHERE Rights_No = ?", {rights_no});
    if (frame::CountOf(rows) == 1) {
      db->Execute(
          "UPDATE Rights_Master SET Rights_Name = ?, Rights_Parent = ?, "
          "Last_Update = ? WHERE Rights_No = ?",
          {right.rights_name, right.rights_parent, right.last_update,
           rights_no});
    }
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
