#include "tavikuser/common_properties.h"

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

}  // namespace tavikuser
