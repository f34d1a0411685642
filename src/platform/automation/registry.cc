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
    for (auto& [progid, factory] : LibraryClasses()) {
      factories_[AsciiLower(progid)] = std::move(factory);
    }
  }

  void Register(std::string progid, Factory factory) {
    std::lock_guard lock(mutex_);
    factories_[AsciiLower(progid)] = std::move(factory);
  }

  ObjectRef Create(std::string_view progid) {
    Factory factory;
    {
      std::lock_guard lock(mutex_);
      const auto found = factories_.find(AsciiLower(progid));
      if (found == factories_.end()) {
        throw AutomationError(kUnknownClass, "No class is registered as " +
                                                 std::string(progid) + ".");
      }
      factory = found->second;
    }
    return factory();
  }

 private:
  std::mutex mutex_;
  std::map<std::string, Factory> factories_;
};

Registry& TheRegistry() {
  static Registry registry;
  return registry;
}

}  // namespace

void RegisterClass(std::string progid, Factory factory) {
  TheRegistry().Register(std::move(progid), std::move(factory));
}

ObjectRef CreateObject(std::string_view progid) {
  return TheRegistry().Create(progid);
}

}  // namespace tavikuser::automation
