// The one seam between the library and the stores it works on. Each store
// (SQLite, PostgreSQL, ODBC) is one file behind this seam, on the store's own
// client library: it owns how it connects and what its connection-string
// keys mean, its placeholder form, how it begins a transaction, how it locks
// and reads the counter row, how it names a row, how it tells a broken
// connection, and how it reads values in their own kinds. Nothing above the
// seam asks which store it talks to.
#ifndef TAVIKUSER_PLATFORM_STORE_STORE_H_
#define TAVIKUSER_PLATFORM_STORE_STORE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/store/value.h"

namespace tavikuser::store {

// How a store names one row of a table for as long as the row is unchanged:
// SQLite's rowid (the primary key of a WITHOUT ROWID table), PostgreSQL's
// ctid, an ODBC driver's best row identifier.
struct RowIdentity {
  // The select-list that reads the identity, e.g. "rowid" or "Key1, Key2".
  std::string columns;
  // How many values `columns` yields.
  std::size_t width = 1;
  // The condition that finds the row again from those values, in order,
  // e.g. "rowid = ?" or "Key1 = ? AND Key2 = ?".
  std::string condition;
};

// One physical connection to a store. Used by one thread at a time; a
// connection is never shared between processes.
class Connection {
 public:
  virtual ~Connection() = default;

  // Runs `sql`, whose values stand as '?' placeholders, with `values` bound
  // in order in their own kinds: no value ever becomes SQL text. Every row is
  // read before it returns, so that no statement stays open and holds a read
  // transaction. A statement is prepared once per connection and kept; one
  // prepared against a schema that has changed since is prepared again.
  // Throws DataAccessError carrying the store's own text.
  virtual Rows Query(std::string_view sql, const Values& values) = 0;
  // As Query, for a statement that returns no rows; returns how many rows it
  // changed.
  virtual std::int64_t Execute(std::string_view sql, const Values& values) = 0;

  // SQLite begins with the write lock taken, waiting up to the Lock
  // Timeout, so that concurrent writers queue at the start instead of
  // failing later. Rollback ends quietly a transaction that the store ended
  // itself already (a full disk, a failed commit): it is rolled back. Each
  // throws DataAccessError, Rollback only when the transaction's fate is
  // unknown.
  virtual void Begin() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;

  // Inside the caller's transaction: reads Last_No of the Document_Counter
  // row of `company`, `branch` and `document` prefix, holding the row so that
  // no other creator reads it before this transaction ends. Nothing when the
  // store has no such row (a store may create it, with Last_No 0, to hold
  // it). The value is returned as stored, unchecked. Throws DataAccessError.
  virtual std::optional<Value> LockCounter(const std::string& company,
                                           const std::string& branch,
                                           const std::string& document) = 0;

  // How this store names a row of `table`, or nothing where it has no way
  // that every table has (a row is then found by its key). Throws
  // DataAccessError, e.g. for a table that is not there.
  virtual std::optional<RowIdentity> IdentityOf(std::string_view table) = 0;

  // The database product that answers: "SQLite", "PostgreSQL", "MariaDB",
  // or what an ODBC driver calls its database.
  virtual std::string DatabaseProduct() const = 0;

  // How many statements this connection has prepared in its life: one run
  // again is taken from its own cache.
  virtual std::size_t statements_prepared() const = 0;

  // False when the connection is known to be broken, is inside a
  // transaction, or its server is known to be no longer of the kind that
  // the connection string asks for (a standby since promoted): the pool
  // closes it instead of keeping it idle. Asks neither the store nor the
  // file system.
  virtual bool Reusable() const = 0;
  // Reusable, and still connected to the same store: a SQLite file was not
  // replaced, moved or removed; a server has not ended the connection while
  // it was idle. Asked each time the pool hands the connection out.
  virtual bool Usable() const = 0;
};

// What the pool keeps for one store.
struct IdleConnections;

// A connection borrowed from the pool, given back when the lease ends unless
// it is no longer reusable or was discarded. A lease that a process made by
// fork() inherited is its parent's: the child can neither use it nor close
// its connection, and leaves it open when the lease ends.
class Lease {
 public:
  Lease(IdleConnections& idle, std::unique_ptr<Connection> connection);
  Lease(Lease&&) noexcept;
  Lease& operator=(Lease&&) noexcept;
  ~Lease();

  // Throws DataAccessError in a process that inherited the lease.
  Connection& operator*() const;
  Connection* operator->() const { return &**this; }
  // False once discarded.
  explicit operator bool() const { return connection_ != nullptr; }
  // Closes the physical connection instead of giving it back (after a
  // failure that left it in an unknown state).
  void Discard();

 private:
  // Borrowed by an ancestor process.
  bool Inherited() const;

  IdleConnections* idle_;  // null once moved from
  std::unique_ptr<Connection> connection_;
  // The generation of processes it was borrowed in (pool.cc).
  unsigned generation_;
};

// Borrows an idle usable connection to the store that `connection_string`
// names, or opens one. Opening never creates a store: a missing SQLite file
// is a failure. Thread-safe, and safe in a child process made by fork(),
// which starts with no pooled connections. Throws DataAccessError with a
// clear text for an empty or malformed string, an unknown provider or key, a
// missing file, an unreachable server, or a limit run out.
Lease Borrow(const std::string& connection_string);

}  // namespace tavikuser::store

#endif  // TAVIKUSER_PLATFORM_STORE_STORE_H_
