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

}  // namespace

struct IdleSessions {
  std::vector<std::unique_ptr<Session>> sessions;
};

namespace {

class Pool {
 public:
  // The most recently returned idle session of the store `key` names that
  // is still usable, or null; and the store's idle sessions, kept for good,
  // so that a lease gives its session back without looking them up again.
  std::unique_ptr<Session> Take(const std::string& key, IdleSessions*& idle) {
    idle = nullptr;
    for (;;) {
      std::unique_ptr<Session> session;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!idle) idle = &stores_[key];
        if (idle->sessions.empty()) return nullptr;
        session = std::move(idle->sessions.back());
        idle->sessions.pop_back();
      }
      // Checked and, when unusable, closed outside the lock.
      if (session->Usable()) return session;
    }
  }

  void Give(IdleSessions& idle, std::unique_ptr<Session> session) {
    // The full check waits for Take: the session may go bad while idle.
    if (!session->Reusable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (idle.sessions.size() < kMaxIdlePerStore) {
        idle.sessions.push_back(std::move(session));
        return;
      }
    }
    // Enough are idle already: this one is closed, outside the lock.
  }

 private:
  std::mutex mutex_;
  // Node-based: an entry stays where it is while others are added.
  std::unordered_map<std::string, IdleSessions> stores_;
};

Pool& ThePool() {
  // Never destroyed: sessions may still be given back while the program
  // ends, and closing connections then gains nothing.
  static Pool* pool = new Pool;
  return *pool;
}

}  // namespace

Lease::Lease(IdleSessions& idle, std::unique_ptr<Session> session)
    : idle_(&idle), session_(std::move(session)) {}

Lease::Lease(Lease&& other) noexcept = default;

Lease& Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    Lease previous(std::move(*this));  // gives its session back on leaving
    idle_ = other.idle_;
    session_ = std::move(other.session_);
  }
  return *this;
}

Lease::~Lease() {
  if (!session_) return;
  try {
    ThePool().Give(*idle_, std::move(session_));
  } catch (...) {
    // Giving back only fails for want of memory; the connection is then
    // closed instead, which loses nothing.
  }
}

void Lease::Discard() { session_.reset(); }

Lease Borrow(const ConnectionTarget& target) {
  IdleSessions* idle;
  std::unique_ptr<Session> session = ThePool().Take(target.pool_key, idle);
  if (!session) session = Session::Open(target);
  return Lease(*idle, std::move(session));
}

}  // namespace tavikuser::adodb
