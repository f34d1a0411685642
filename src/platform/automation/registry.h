// The classes the registry holds from its start. The library's own list is
// kept above the platform, where the classes are.
#ifndef TAVIKUSER_PLATFORM_AUTOMATION_REGISTRY_H_
#define TAVIKUSER_PLATFORM_AUTOMATION_REGISTRY_H_

#include <string>
#include <utility>
#include <vector>

#include "tavikuser/automation.h"

namespace tavikuser::automation {

// The library's own classes, each under its programmatic identifier.
std::vector<std::pair<std::string, Factory>> LibraryClasses();

}  // namespace tavikuser::automation

#endif  // TAVIKUSER_PLATFORM_AUTOMATION_REGISTRY_H_
