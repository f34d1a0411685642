// The classes the registry holds from its start. The library's own list is
// kept above the platform, where the classes are.
#ifndef TAVIKUSER_PLATFORM_AUTOMATION_REGISTRY_H_
#define TAVIKUSER_PLATFORM_AUTOMATION_REGISTRY_H_

#include <utility>
#include <vector>

#include "tavikuser/automation.h"

namespace tavikuser::automation {

// The library's own classes and how each is made.
std::vector<std::pair<const ClassInfo*, Factory>> LibraryClasses();

}  // namespace tavikuser::automation

#endif  // TAVIKUSER_PLATFORM_AUTOMATION_REGISTRY_H_
