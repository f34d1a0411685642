// Physical connections and their pool. A physical connection (Session) keeps
// the statements prepared on it, so a borrowed connection runs a statement it
// has seen before without preparing it again.
#ifndef TAVIKUSER_PLATFORM_ADODB_SESSION_H_
#define TAVIKUSER_PLATFORM_ADODB_SESSION_H_

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/adodb/connection_string.h"
#include "platform/adodb/statement.h"
#include "tavikuser/variant.h"

namespace tavikuser::adodb {

struct Column {
  std::string name;
  VarType type;  // kText, kI4, kDouble or kDate, as the store describes it
};

// Rows read to their end, so that no statement stays open and holds a read
// transaction. Values are the store's text; nothing is Null.
struct ResultSet {
  std::vector<Column> columns;
  std::vector<std::vector<std::optional<std::string>>> rows;
};

class Session {
 public:
  virtual ~Session() = default;

  // Throws DataAccessError with the provider's text.
  static std::unique_ptr<Session> Open(const ConnectionTarget& target);

  virtual Provider provider() const = 0;

  // Each throws DataAccessError carrying the provider's text; after a
  // failure the statement is rebuilt on its next use.
  virtual ResultSet Query(const std::string& sql,
                          const std::vector<BoundValue>& values) = 0;
  // Returns the number of rows affected.
  virtual long long Execute(const std::string& sql,
                            const std::vector<BoundValue>& values) = 0;

  // SQLite begins with the write lock taken (waiting up to its busy
  // timeout), so that writers queue at the start instead of failing later.
  virtual void Begin() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;

  // How many statements this session has prepared in its life: a statement
  // run again is taken from the session's own cache.
  virtual std::size_t statements_prepared() const = 0;

  // False when the connection is known to be broken or is inside a
  // transaction: such a session is closed when given back instead of being
  // kept idle. Asks neither the store nor the file system, so that giving a
  // session back costs no system call.
  virtual bool Reusable() const = 0;

  // Reusable, and still connected to the same store: for SQLite, the path
  // still names the database file it opened (no file was put in its place,
  // and neither the file nor its folder was moved or removed; a folder
  // further up being swapped goes unnoticed); for a server, the server has
  // not ended the connection while it was idle.
  // Checked each time a session is handed out; a session that fails it is
  // never handed out again.
  virtual bool Usable() const = 0;
};

// The idle connections that the pool keeps for one store.
struct IdleSessions;

// A physical connection borrowed from the pool; given back on destruction
// unless it is no longer usable or was discarded.
class Lease {
 public:
  Lease(IdleSessions& idle, std::unique_ptr<Session> session);
  Lease(Lease&&) noexcept;
  Lease& operator=(Lease&&) noexcept;
  ~Lease();

  Session& session() const { return *session_; }
  // Drops the physical connection instead of giving it back (for example
  // after a failure that left a transaction in an unknown state).
  void Discard();

 private:
  IdleSessions* idle_;  // where the session goes back to
  std::unique_ptr<Session> session_;
};

// Borrows an idle usable connection to `target`'s store, or opens one.
// Thread-safe. Throws DataAccessError.
Lease Borrow(const ConnectionTarget& target);

}  // namespace tavikuser::adodb

#endif  // TAVIKUSER_PLATFORM_ADODB_SESSION_H_
