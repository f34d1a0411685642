// Whether anything happened to the entries of a folder: a file created,
// removed or renamed there, or the folder itself moved or removed. A pooled
// SQLite connection asks before it is handed out, and looks its file up by
// path again only after a change, so that the common case costs one cheap
// read of the kernel's notices instead of a path lookup.
#ifndef TAVIKUSER_PLATFORM_STORE_FOLDER_WATCH_H_
#define TAVIKUSER_PLATFORM_STORE_FOLDER_WATCH_H_

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace tavikuser::store {

class FolderWatch {
 public:
  // The one watch of this process. Thread-safe.
  static FolderWatch& Instance();

  // Starts watching `folder` (or goes on watching it) and returns its
  // watch, or -1 when the system cannot watch it.
  int Watch(const std::string& folder);

  // A count that moves on with every change to the folder of `watch` (and
  // with every notice that may have been lost), read after taking in what
  // the kernel has queued: a change made before the call is always counted.
  // Nothing in a child process after fork(): it shares its parent's queue
  // of notices and must not take them away from it.
  std::optional<long long> Changes(int watch);

 private:
  FolderWatch();
  void TakeNotices();

  // The inotify descriptor, or -1; set to -1 in a child after fork(),
  // before anything in the child can take the lock.
  std::atomic<int> notices_;
  std::mutex mutex_;
  std::unordered_map<int, long long> changes_;
};

}  // namespace tavikuser::store

#endif  // TAVIKUSER_PLATFORM_STORE_FOLDER_WATCH_H_
