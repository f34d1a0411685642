#include "tavikuser/errors.h"

namespace tavikuser {

Error::Error(const std::string& description)
    : std::runtime_error(description) {}

AutomationError::AutomationError(int status, const std::string& description)
    : Error(description), status_(status) {}

}  // namespace tavikuser
