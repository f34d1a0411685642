// The pool of idle physical connections, per store. Opening a connection
// costs many times what a statement on an open one does, and a pooled
// connection brings its prepared statements with it.
//
// A host runs for weeks, so idle connections must not hold descriptors,
// server sessions (which keep a server's smart shutdown waiting) or the
// space of deleted files for ever: one is closed once idle for longer than
// its store's Idle Timeout, once its store is gone (its SQLite file deleted
// or replaced, its server session ended), and beyond a bound per store and
// in all. No thread of the library's does this: the pool sweeps itself when
// a connection is borrowed or given back, at most once a second. A process
// that stops calling keeps what was idle at its last call until it calls
// again or ends.
//
// A process made by fork() starts with an empty pool. The connections it
// inherited are its parent's: closing one would end the parent's session
// (libpq says goodbye to the server) or let SQLite checkpoint and remove a
// log its parent still writes, so the child leaves them open, untouched,
// until it ends or runs exec (SQLite and libpq open their descriptors
// close-on-exec).
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/store/connection_string.h"
#include "platform/store/store.h"
#include "platform/store/stores.h"

namespace tavikuser::store {
namespace {

using Clock = std::chrono::steady_clock;

// Idle connections kept per store, and in all.
constexpr std::size_t kMaxIdlePerStore = 8;
constexpr std::size_t kMaxIdle = 64;
constexpr std::chrono::seconds kSweepEvery{1};

// Moves on in every process that fork() makes: a lease borrowed in an
// earlier generation holds a connection of an ancestor process.
std::atomic<unsigned> generation{0};

std::unique_ptr<Connection> Open(const ConnectionTarget& target) {
  switch (target.provider) {
    case Provider::kSQLite:
      return OpenSQLite(target);
    case Provider::kPostgreSQL:
      return OpenPostgreSQL(target);
    case Provider::kMariaDB:
      return OpenMariaDB(target);
    case Provider::kODBC:
      return OpenODBC(target);
  }
  throw DataAccessError("Unknown provider.");
}

}  // namespace

struct IdleConnections {
  struct Idle {
    std::unique_ptr<Connection> connection;
    Clock::time_point since;
  };
  std::vector<Idle> connections;  // the longest idle first
  Clock::duration limit{};
  // Leases out on this store: while there are any, the entry stays.
  std::size_t leased = 0;
  const std::string* key = nullptr;
};

namespace {

// Closed when it goes, after the pool's lock is let go of.
using Closing = std::vector<std::unique_ptr<Connection>>;

class Pool {
 public:
  Pool() {
    pthread_atfork([] { ThePool().mutex_.lock(); },
                   [] { ThePool().mutex_.unlock(); },
                   [] { ThePool().StartInChild(); });
  }

  static Pool& ThePool() {
    // Never destroyed: connections may still be given back while the
    // program ends, and closing connections then gains nothing.
    static Pool* pool = new Pool;
    return *pool;
  }

  // The most recently returned idle connection to `target` that is still
  // usable, or null; and the store's idle connections, which stay for as
  // long as the lease does.
  std::unique_ptr<Connection> Take(const ConnectionTarget& target,
                                   IdleConnections*& idle) {
    Closing closing;
    for (bool first = true;; first = false) {
      std::unique_ptr<Connection> connection;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (first) {
          Sweep(closing);
          auto [entry, added] = stores_.try_emplace(target.pool_key);
          idle = &entry->second;
          idle->key = &entry->first;
          idle->limit = target.limits.idle;
          ++idle->leased;
        }
        if (idle->connections.empty()) return nullptr;
        connection = std::move(idle->connections.back().connection);
        idle->connections.pop_back();
        --idle_count_;
      }
      // Checked outside the lock: it may ask the file system or the socket.
      if (connection->Usable()) return connection;
      closing.push_back(std::move(connection));
    }
  }

  // Ends a lease of `idle` made in this process, keeping `connection` when
  // it is reusable.
  void Give(IdleConnections& idle, std::unique_ptr<Connection> connection) {
    // Only the connection's own state: the full check waits for Take, as
    // the connection may go bad while idle.
    const bool reusable = connection && connection->Reusable();
    Closing closing;
    std::lock_guard<std::mutex> lock(mutex_);
    Sweep(closing);  // before the lease ends, so that the entry stays
    --idle.leased;
    if (reusable && idle.connections.size() < kMaxIdlePerStore) {
      idle.connections.push_back({std::move(connection), Clock::now()});
      if (++idle_count_ > kMaxIdle) closing.push_back(TakeLongestIdle());
    } else {
      closing.push_back(std::move(connection));
    }
    if (idle.connections.empty() && idle.leased == 0) {
      stores_.erase(stores_.find(*idle.key));
    }
  }

  // Keeps a connection of an ancestor process open for good.
  void Leave(Connection* connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
      inherited_.push_back(connection);
    } catch (...) {
      // Left unowned instead, which is all that is asked of it.
    }
  }

 private:
  // Under the lock: every idle connection past its store's Idle Timeout or
  // no longer usable goes to `closing`, as do stores that are left with
  // nothing, at most once per kSweepEvery.
  void Sweep(Closing& closing) {
    const Clock::time_point now = Clock::now();
    if (now < next_sweep_) return;
    next_sweep_ = now + kSweepEvery;
    for (auto entry = stores_.begin(); entry != stores_.end();) {
      IdleConnections& idle = entry->second;
      std::vector<IdleConnections::Idle> kept;
      for (IdleConnections::Idle& one : idle.connections) {
        if (now - one.since <= idle.limit && one.connection->Usable()) {
          kept.push_back(std::move(one));
        } else {
          closing.push_back(std::move(one.connection));
          --idle_count_;
        }
      }
      idle.connections = std::move(kept);
      if (idle.connections.empty() && idle.leased == 0) {
        entry = stores_.erase(entry);
      } else {
        ++entry;
      }
    }
  }

  // Under the lock: the connection idle the longest, of any store.
  std::unique_ptr<Connection> TakeLongestIdle() {
    IdleConnections* longest = nullptr;
    for (auto& [key, idle] : stores_) {
      if (!idle.connections.empty() &&
          (!longest || idle.connections.front().since <
                           longest->connections.front().since)) {
        longest = &idle;
      }
    }
    std::unique_ptr<Connection> connection =
        std::move(longest->connections.front().connection);
    longest->connections.erase(longest->connections.begin());
    --idle_count_;
    return connection;
  }

  // In a child process, under the lock its parent took for the fork: what
  // the parent pooled is left where it is, out of reach.
  void StartInChild() {
    generation.fetch_add(1, std::memory_order_relaxed);
    inherited_stores_.push_back(std::move(stores_));
    stores_.clear();
    idle_count_ = 0;
    mutex_.unlock();
  }

  std::mutex mutex_;
  // Node-based: an entry stays where it is while others come and go.
  std::unordered_map<std::string, IdleConnections> stores_;
  std::size_t idle_count_ = 0;
  Clock::time_point next_sweep_;
  // What ancestor processes left, kept so that nothing closes it.
  std::vector<std::unordered_map<std::string, IdleConnections>>
      inherited_stores_;
  std::vector<Connection*> inherited_;
};

}  // namespace

Lease::Lease(IdleConnections& idle, std::unique_ptr<Connection> connection)
    : idle_(&idle),
      connection_(std::move(connection)),
      generation_(generation.load(std::memory_order_relaxed)) {}

Lease::Lease(Lease&& other) noexcept
    : idle_(std::exchange(other.idle_, nullptr)),
      connection_(std::move(other.connection_)),
      generation_(other.generation_) {}

Lease& Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    Lease previous(std::move(*this));  // gives its connection back on leaving
    idle_ = std::exchange(other.idle_, nullptr);
    connection_ = std::move(other.connection_);
    generation_ = other.generation_;
  }
  return *this;
}

bool Lease::Inherited() const {
  return generation_ != generation.load(std::memory_order_relaxed);
}

Lease::~Lease() {
  if (!idle_) return;  // moved from
  if (Inherited()) {
    if (connection_) Pool::ThePool().Leave(connection_.release());
    return;
  }
  try {
    Pool::ThePool().Give(*idle_, std::move(connection_));
  } catch (...) {
    // Only for want of memory; the connection is then closed, which loses
    // nothing.
  }
}

Connection& Lease::operator*() const {
  if (Inherited()) {
    throw DataAccessError(
        "The connection was opened by a parent process before fork(); this "
        "process cannot use it: close it and open it again.");
  }
  return *connection_;
}

void Lease::Discard() {
  if (Inherited() && connection_) {
    Pool::ThePool().Leave(connection_.release());
  }
  connection_.reset();
}

Lease Borrow(const std::string& connection_string) {
  const std::shared_ptr<const ConnectionTarget> target =
      ParsedConnectionString(connection_string);
  IdleConnections* idle;
  std::unique_ptr<Connection> connection = Pool::ThePool().Take(*target, idle);
  if (!connection) {
    try {
      connection = Open(*target);
    } catch (...) {
      Pool::ThePool().Give(*idle, nullptr);  // ends the store's lease
      throw;
    }
  }
  return Lease(*idle, std::move(connection));
}

}  // namespace tavikuser::store
