#include "tavikuser/common_properties.h"

#include "frame/messages.h"
#include "frame/operation.h"
#include "platform/adodb/recordset.h"

namespace tavikuser {

void CommonProperties::ADOConnectionString(std::string vNewConnectionString) {
  connection_string_ = std::move(vNewConnectionString);
}

Variant CommonProperties::ErrDesc() const { return Variant(err_desc_); }

EntityProperties::EntityProperties() : connection_(Connection()) {}

std::string EntityProperties::CompanyPrefix() const { return company_prefix_; }
void EntityProperties::CompanyPrefix(std::string vNewCompanyPrefix) {
  company_prefix_ = std::move(vNewCompanyPrefix);
}
std::string EntityProperties::BranchPrefix() const { return branch_prefix_; }
void EntityProperties::BranchPrefix(std::string vNewBranchPrefix) {
  branch_prefix_ = std::move(vNewBranchPrefix);
}
std::string EntityProperties::DocumentPrefix() const {
  return document_prefix_;
}
void EntityProperties::DocumentPrefix(std::string vNewDocumentPrefix) {
  document_prefix_ = std::move(vNewDocumentPrefix);
}

bool EntityProperties::ValidatePrefixes(frame::Operation& validation) const {
  if (company_prefix_.empty()) {
    return validation.Reject(frame::kInvalidCompanyPrefix);
  }
  if (branch_prefix_.empty()) {
    return validation.Reject(frame::kInvalidBranchPrefix);
  }
  if (document_prefix_.empty()) {
    return validation.Reject(frame::kInvalidDocumentPrefix);
  }
  return true;
}

void EntityProperties::CollectPrefixes(adodb::Recordset& row) const {
  row.Collect("Company_Prefix", Variant(company_prefix_));
  row.Collect("Branch_Prefix", Variant(branch_prefix_));
  row.Collect("Document_Prefix", Variant(document_prefix_));
}

}  // namespace tavikuser
