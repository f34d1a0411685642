// The pool of idle physical connections, per store. Opening a connection
// costs many times what a statement on an open one does, and a pooled
// connection brings its prepared statements with it.
#include <mutex>
#include <unordered_map>
#include <vector>

#include "platform/store/connection_string.h"
#include "platform/store/store.h"
#include "platform/store/stores.h"

namespace tavikuser::store {
namespace {

// Idle connections kept per store; more are closed when given back.
constexpr std::size_t kMaxIdlePerStore = 8;

std::unique_ptr<Connection> Open(const ConnectionTarget& target) {
  switch (target.provider) {
    case Provider::kSQLite:
      return OpenSQLite(target);
    case Provider::kPostgreSQL:
      return OpenPostgreSQL(target);
    case Provider::kODBC:
      return OpenODBC(target);
  }
  throw DataAccessError("Unknown provider.");
}

}  // namespace

struct IdleConnections {
  std::vector<std::unique_ptr<Connection>> connections;
};

namespace {

class Pool {
 public:
  // The most recently returned idle connection of the store `key` names that
  // is still usable, or null; and the store's idle connections, kept for good,
  // so that a lease gives its connection back without looking them up again.
  std::unique_ptr<Connection> Take(const std::string& key,
                                   IdleConnections*& idle) {
    idle = nullptr;
    for (;;) {
      std::unique_ptr<Connection> connection;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!idle) idle = &stores_[key];
        if (idle->connections.empty()) return nullptr;
        connection = std::move(idle->connections.back());
        idle->connections.pop_back();
      }
      // Checked and, when unusable, closed outside the lock.
      if (connection->Usable()) return connection;
    }
  }

  void Give(IdleConnections& idle, std::unique_ptr<Connection> connection) {
    // The full check waits for Take: the connection may go bad while idle.
    if (!connection->Reusable()) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (idle.connections.size() < kMaxIdlePerStore) {
        idle.connections.push_back(std::move(connection));
        return;
      }
    }
    // Enough are idle already: this one is closed, outside the lock.
  }

 private:
  std::mutex mutex_;
  // Node-based: an entry stays where it is while others are added.
  std::unordered_map<std::string, IdleConnections> stores_;
};

Pool& ThePool() {
  // Never destroyed: connections may still be given back while the program
  // ends, and closing connections then gains nothing.
  static Pool* pool = new Pool;
  return *pool;
}

}  // namespace

Lease::Lease(IdleConnections& idle, std::unique_ptr<Connection> connection)
    : idle_(&idle), connection_(std::move(connection)) {}

Lease::Lease(Lease&& other) noexcept = default;

Lease& Lease::operator=(Lease&& other) noexcept {
  if (this != &other) {
    Lease previous(std::move(*this));  // gives its connection back on leaving
    idle_ = other.idle_;
    connection_ = std::move(other.connection_);
  }
  return *this;
}

Lease::~Lease() {
  if (!connection_) return;
  try {
    ThePool().Give(*idle_, std::move(connection_));
  } catch (...) {
    // Giving back only fails for want of memory; the connection is then
    // closed instead, which loses nothing.
  }
}

void Lease::Discard() { connection_.reset(); }

Lease Borrow(const std::string& connection_string) {
  const std::shared_ptr<const ConnectionTarget> target =
      ParsedConnectionString(connection_string);
  IdleConnections* idle;
  std::unique_ptr<Connection> connection =
      ThePool().Take(target->pool_key, idle);
  if (!connection) connection = Open(*target);
  return Lease(*idle, std::move(connection));
}

}  // namespace tavikuser::store
