// The validation step that every creation shares.
#ifndef TAVIKUSER_FRAME_VALIDATION_H_
#define TAVIKUSER_FRAME_VALIDATION_H_

#include "frame/messages.h"
#include "frame/operation.h"
#include "frame/state.h"

namespace tavikuser::frame {

// The checks of the three prefixes, in their order: false after storing the
// first failing one's message.
inline bool ValidatePrefixes(const EntityState& entity, Operation& validation) {
  if (entity.company_prefix.empty()) {
    return validation.Reject(kInvalidCompanyPrefix);
  }
  if (entity.branch_prefix.empty()) {
    return validation.Reject(kInvalidBranchPrefix);
  }
  if (entity.document_prefix.empty()) {
    return validation.Reject(kInvalidDocumentPrefix);
  }
  return true;
}

}  // namespace tavikuser::frame

#endif  // TAVIKUSER_FRAME_VALIDATION_H_
