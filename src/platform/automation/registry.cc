#include "platform/automation/registry.h"

#include <map>
#include <mutex>

#include "platform/automation/text.h"
#include "tavikuser/automation.h"

namespace tavikuser::automation {
namespace {

class Registry {
 public:
  // The library's own classes are there from the start; a host may replace
  // any of them.
  Registry() {
    for (const auto& [info, factory] : LibraryClasses()) {
      classes_[AsciiLower(info->progid())] = {info, factory};
    }
  }

  void Register(const ClassInfo& info, Factory factory) {
    std::lock_guard lock(mutex_);
    classes_[AsciiLower(info.progid())] = {&info, factory};
  }

  ObjectRef Create(std::string_view progid) {
    std::pair<const ClassInfo*, Factory> found_class;
    {
      std::lock_guard lock(mutex_);
      const auto found = classes_.find(AsciiLower(progid));
      if (found == classes_.end()) {
        throw AutomationError(kUnknownClass, "No class is registered as " +
                                                 std::string(progid) + ".");
      }
      found_class = found->second;
    }
    return found_class.second(*found_class.first);
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::pair<const ClassInfo*, Factory>> classes_;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace

void RegisterClass(const ClassInfo& info, Factory factory) {
  TheRegistry().Register(info, factory);
}

ObjectRef CreateObject(std::string_view progid) {
  return TheRegistry().Create(progid);
}

}  // namespace tavikuser::automation
