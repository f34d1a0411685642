#include "tavikuser/common_properties.h"

#include "frame/state.h"

namespace tavikuser {

void CommonProperties::ADOConnectionString(std::string vNewConnectionString) {
  common_->connection_string = std::move(vNewConnectionString);
}

std::string CommonProperties::ErrDesc() const { return common_->err_desc; }

EntityProperties::EntityProperties(frame::EntityState& state)
    : CommonProperties(state), entity_(&state) {}

std::string EntityProperties::CompanyPrefix() const {
  return entity_->company_prefix;
}
void EntityProperties::CompanyPrefix(std::string vNewCompanyPrefix) {
  entity_->company_prefix = std::move(vNewCompanyPrefix);
}
std::string EntityProperties::BranchPrefix() const {
  return entity_->branch_prefix;
}
void EntityProperties::BranchPrefix(std::string vNewBranchPrefix) {
  entity_->branch_prefix = std::move(vNewBranchPrefix);
}
std::string EntityProperties::DocumentPrefix() const {
  return entity_->document_prefix;
}
void EntityProperties::DocumentPrefix(std::string vNewDocumentPrefix) {
  entity_->document_prefix = std::move(vNewDocumentPrefix);
}

}  // namespace tavikuser
