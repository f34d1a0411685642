// The data-store connection object ("ADODB.Connection" late-bound). A
// Connection is a handle: copies refer to the same connection, as references
// to one automation object do. The connection string selects the store:
//
//   Provider=SQLite;Data Source=tavik.db
//   Provider=PostgreSQL;Host=h;Port=5432;Database=d;User ID=u;Password=p
//   Driver={...};...   or   DSN=...        (ODBC, passed through)
//
// Keys are matched without regard to letter case; Server, Initial Catalog,
// UID and PWD are accepted as aliases. Physical connections are pooled per
// connection string and keep their prepared statements.
#ifndef TAVIKUSER_CONNECTION_H_
#define TAVIKUSER_CONNECTION_H_

#include <memory>
#include <string>
#include <string_view>

#include "tavikuser/automation.h"
#include "tavikuser/export.h"

namespace tavikuser {

namespace adodb {
class ConnectionState;
}

class TAVIK_EXPORT Connection {
 public:
  enum State { kStateClosed = 0, kStateOpen = 1 };

  // A new, closed connection object with an empty connection string.
  Connection();

  // Settable only while closed; otherwise throws DataAccessError.
  void ConnectionString(std::string connection_string);
  std::string ConnectionString() const;

  // Opens a physical connection (borrowed from the pool) from the connection
  // string. Throws DataAccessError for an empty or malformed string, an
  // unreachable store, or a connection that is already open.
  void Open();

  // Gives the physical connection back to the pool. A transaction still open
  // is rolled back first. Throws DataAccessError when already closed.
  void Close();

  State state() const;

  // SQLite takes the write lock at once (BEGIN IMMEDIATE, with a busy
  // timeout), so concurrent writers queue instead of failing on an upgrade.
  // Each throws DataAccessError when the connection is closed, when a
  // transaction is already open (BeginTrans) or none is (Commit/Rollback).
  void BeginTrans();
  void CommitTrans();
  void RollbackTrans();

  // Runs a statement that returns no rows. The text is the caller's own: no
  // values are bound.
  void Execute(const std::string& sql);

  // The member table of "ADODB.Connection".
  static const automation::ClassInfo& Class();

  // For the library's own data-access layer.
  adodb::ConnectionState& internals() const { return *state_; }

 private:
  std::shared_ptr<adodb::ConnectionState> state_;
};

// How the library reads a connection string, for tools that show, create or
// remove the store it names.
struct ConnectionStringInfo {
  std::string provider;     // "SQLite", "PostgreSQL" or "ODBC"
  std::string sqlite_file;  // SQLite only: the database file that Open opens
  std::string printable;    // the string with every password value hidden
};

// Throws DataAccessError, with the text that Open would give, for a string
// that Open refuses before reaching the store: empty or malformed, an unknown
// provider or key, or no SQLite file.
TAVIK_EXPORT ConnectionStringInfo
DescribeConnectionString(std::string_view connection_string);

namespace automation {
// A Connection crosses late binding as an "ADODB.Connection" object.
template <>
struct Marshal<Connection> {
  static constexpr VarType kType = VarType::kObject;
  TAVIK_EXPORT static Connection From(const Variant& v);
  TAVIK_EXPORT static Variant To(Connection v);
};
}  // namespace automation

}  // namespace tavikuser

#endif  // TAVIKUSER_CONNECTION_H_
