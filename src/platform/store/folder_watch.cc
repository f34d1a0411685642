#include "platform/store/folder_watch.h"

#include <pthread.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdint>

namespace tavikuser::store {
namespace {

// Every way an entry can come to name another file, and the folder itself
// moving or going away.
constexpr std::uint32_t kEntryChanges = IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                        IN_MOVED_TO | IN_DELETE_SELF |
                                        IN_MOVE_SELF | IN_ONLYDIR;

}  // namespace

FolderWatch& FolderWatch::Instance() {
  // Never destroyed: connections may still ask while the program ends.
  static FolderWatch* watch = new FolderWatch;
  return *watch;
}

FolderWatch::FolderWatch() : notices_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
  pthread_atfork(nullptr, nullptr, [] { Instance().notices_ = -1; });
}

int FolderWatch::Watch(const std::string& folder) {
  if (notices_ < 0) return -1;
  std::lock_guard<std::mutex> lock(mutex_);
  const int watch = inotify_add_watch(notices_, folder.c_str(), kEntryChanges);
  // A watch number may come back for another folder after the first went
  // away: moving the count on makes those who knew the first look again.
  if (watch >= 0) ++changes_[watch];
  return watch;
}

std::optional<long long> FolderWatch::Changes(int watch) {
  if (notices_ < 0) return std::nullopt;
  std::lock_guard<std::mutex> lock(mutex_);
  TakeNotices();
  return changes_[watch];
}

void FolderWatch::TakeNotices() {
  alignas(inotify_event) char buffer[4096];
  for (;;) {
    const ssize_t length = read(notices_, buffer, sizeof buffer);
    if (length <= 0) return;  // nothing queued (EAGAIN)
    for (ssize_t at = 0; at < length;) {
      const auto* notice = reinterpret_cast<const inotify_event*>(buffer + at);
      if (notice->mask & IN_Q_OVERFLOW) {
        // Notices were lost: every folder may have changed.
        for (auto& [watch, changes] : changes_) ++changes;
      } else {
        ++changes_[notice->wd];
      }
      at += static_cast<ssize_t>(sizeof(inotify_event) + notice->len);
    }
  }
}

}  // namespace tavikuser::store
