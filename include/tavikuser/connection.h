// The data-store connection object ("ADODB.Connection" late-bound). A
// Connection is a handle to one automation object: copies refer to the same
// connection, as references to one automation object do. The connection
// string selects the store:
//
//   Provider=SQLite;Data Source=tavik.db
//   Provider=PostgreSQL;Host=h;Port=5432;Database=d;User ID=u;Password=p
//   Provider=MariaDB;Server=h;Port=3306;Database=d;User ID=u;Password=p
//   Driver={...};...   or   DSN=...        (ODBC, passed through)
//
// Keys are matched without regard to letter case; Server, Initial Catalog,
// UID and PWD are accepted as aliases. Physical connections are pooled per
// connection string and keep their prepared statements.
//
// Thread-safety: a connection object is used by one thread at a time.
#ifndef TAVIKUSER_CONNECTION_H_
#define TAVIKUSER_CONNECTION_H_

#include <string>
#include <string_view>

#include "tavikuser/automation.h"
#include "tavikuser/export.h"
#include "tavikuser/variant.h"

namespace tavikuser {

class TAVIK_EXPORT Connection {
 public:
  enum State { kStateClosed = 0, kStateOpen = 1 };

  // A new, closed connection object with an empty connection string.
  Connection();
  // The connection object that `object` is. Throws AutomationError (a type
  // mismatch) when it is not an "ADODB.Connection" of this library.
  explicit Connection(ObjectRef object);

  // Settable only while closed; otherwise throws DataAccessError.
  void ConnectionString(std::string connection_string);
  std::string ConnectionString() const;

  // Borrows a physical connection from the pool for the connection string.
  // Never creates a store. Throws DataAccessError for an empty or malformed
  // string, a missing SQLite file, an unreachable store, or a connection
  // that is already open.
  void Open();

  // Gives the physical connection back to the pool. A transaction still open
  // is rolled back first. Throws DataAccessError when already closed.
  void Close();

  State state() const;

  // SQLite takes the write lock at once (with a busy timeout), so concurrent
  // writers queue instead of failing on an upgrade. Each throws
  // DataAccessError when the connection is closed, when a transaction is
  // already open (BeginTrans) or none is (CommitTrans, RollbackTrans). A
  // commit or rollback that fails ends the transaction all the same and
  // closes the connection: its transaction's fate is unknown.
  void BeginTrans();
  void CommitTrans();
  void RollbackTrans();

  // Runs a statement that returns no rows. The text is the caller's own: no
  // values are bound.
  void Execute(const std::string& sql);

  // The database product the open connection reaches: "SQLite",
  // "PostgreSQL", "MariaDB", or what an ODBC driver calls its database (the
  // SQLite, PostgreSQL and MariaDB drivers give those same names). Throws
  // DataAccessError when the connection is closed.
  std::string DatabaseProduct() const;

  // The "ADODB.Connection" automation object this handle refers to, for
  // late binding (e.g. a User's AdoConnectionObject).
  const ObjectRef& AsObject() const { return object_; }

  // The member table of "ADODB.Connection".
  static const automation::ClassInfo& Class();

 private:
  ObjectRef object_;
};

// How the library reads a connection string, for tools that show, create or
// remove the store it names.
struct ConnectionStringInfo {
  std::string provider;     // "SQLite", "PostgreSQL", "MariaDB" or "ODBC"
  std::string sqlite_file;  // SQLite only: the database file that Open opens
  std::string printable;    // the string with every password value hidden
};

// Throws DataAccessError, with the text that Open would give, for a string
// that Open refuses before reaching the store: empty or malformed, an unknown
// provider or key, or no SQLite file.
TAVIK_EXPORT ConnectionStringInfo
DescribeConnectionString(std::string_view connection_string);

namespace automation {
// A Connection crosses late binding as its "ADODB.Connection" object.
template <>
struct Marshal<Connection> {
  static constexpr VarType kType = VarType::kObject;
  static Connection From(const Variant& v) { return Connection(v.ToObject()); }
  static Variant To(Connection v) { return Variant(v.AsObject()); }
};
}  // namespace automation

}  // namespace tavikuser

#endif  // TAVIKUSER_CONNECTION_H_
