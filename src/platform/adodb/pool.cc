// The pool of idle physical connections, per store. Opening a connection
// costs many times what a statement on an open one does, and a pooled
// connection brings its prepared statements with it.
#include <mutex>
#include <unordered_map>

#include "platform/adodb/session.h"

namespace tavikuser::adodb {
namespace {

// Idle connections kept per store; more are closed when given back.
constexpr std::size_t kMaxIdlePerStore = 8;

class Pool {
 public:
  // The most recently returned idle session that is still usable, or null.
  std::unique_ptr<Session> Take(const std::string& key) {
    for (;;) {
      std::unique_ptr<Session> session;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        auto idle = idle_.find(key);
        if (idle == idle_.end() || idle->second.empty()) return nullptr;
        session = std::move(idle->second.back());
        idle->second.pop_back();
      }
      // Checked and, when unusable, closed outside the lock.
      if (session->Usable()) return session;
    }
  }

  void Give(const std::string& key, std::unique_ptr<Session> session) {
    // The full check waits for Take: the session may go bad while idle.
    if (!session->Reusable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      std::vector<std::unique_ptr<Session>>& idle = idle_[key];
      if (idle.size() < kMaxIdlePerStore) {
        idle.push_back(std::move(session));
        return;
      }
    }
    // Enough are idle already: this one is closed, outside the lock.
  }

 private:
  std::mutex mutex_;
  std::unordered_map<std::string, std::vector<std::unique_ptr<Session>>> idle_;
};

Pool& ThePool() {
  // Never destroyed: sessions may still be given back while the program
  // ends, and closing connections then gains nothing.
  static Pool* pool = new Pool;
  return *pool;
}

}  // namespace

Lease::Lease(std::string pool_key, std::unique_ptr<Session> session)
    : pool_key_(std::move(pool_key)), session_(std::move(session)) {}

Lease::Lease(Lease&& other) noexcept = default;

Lease& Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    Lease previous(std::move(*this));  // gives its session back on leaving
    pool_key_ = std::move(other.pool_key_);
    session_ = std::move(other.session_);
  }
  return *this;
}

Lease::~Lease() {
  if (!session_) return;
  try {
    ThePool().Give(pool_key_, std::move(session_));
  } catch (...) {
    // Giving back only fails for want of memory; the connection is then
    // closed instead, which loses nothing.
  }
}

void Lease::Discard() { session_.reset(); }

Lease Borrow(const ConnectionTarget& target) {
  std::unique_ptr<Session> session = ThePool().Take(target.pool_key);
  if (!session) session = Session::Open(target);
  return Lease(target.pool_key, std::move(session));
}

}  // namespace tavikuser::adodb
