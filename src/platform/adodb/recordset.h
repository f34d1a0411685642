// The recordset: the rows of one statement over one connection, with a
// current row that can be read, changed, stored or deleted. Every recordset
// of the library is a keyset cursor with optimistic locking.
#ifndef TAVIKUSER_PLATFORM_ADODB_RECORDSET_H_
#define TAVIKUSER_PLATFORM_ADODB_RECORDSET_H_

#include <memory>
#include <string>
#include <string_view>

#include "platform/adodb/statement.h"
#include "tavikuser/connection.h"
#include "tavikuser/variant.h"

namespace tavikuser::adodb {

enum CursorType { kOpenKeyset = 1 };
enum LockType { kLockOptimistic = 3 };
inline constexpr int kOptionsUnspecified = -1;

class Recordset {
 public:
  Recordset();
  // Releases the recordset without closing it explicitly: a connection it
  // borrowed goes back to the pool (or is dropped when broken), a pending
  // new row is discarded. Never throws.
  ~Recordset();
  Recordset(const Recordset&) = delete;
  Recordset& operator=(const Recordset&) = delete;

  // Opens on the connection object's open connection, inside whatever
  // transaction it has begun.
  void Open(Statement source, const Connection& active_connection,
            CursorType cursor = kOpenKeyset, LockType lock = kLockOptimistic,
            int options = kOptionsUnspecified);
  // Opens on a connection of its own, borrowed from the pool for the
  // connection string and given back on Close.
  void Open(Statement source, const std::string& connection_string,
            CursorType cursor = kOpenKeyset, LockType lock = kLockOptimistic,
            int options = kOptionsUnspecified);

  // Rows are read lazily, on the first call that needs them: appending a row
  // through a whole-table statement never reads the table.
  long RecordCount();
  bool EndOfFile();
  void MoveNext();

  // The current row's value of `name` (letter case ignored); Null included.
  // Throws DataAccessError when there is no current row or no such column.
  Variant Field(std::string_view name);

  // Writes one column of the current row (or of the new row after AddNew).
  void Collect(std::string_view name, Variant value);

  // Starts a new row with no values; Update stores it. Like MoveNext, it
  // first stores what was written to the current row.
  void AddNew();

  // Stores the new or changed current row. A changed row is found by the
  // store's own row identity and only when its changed columns still hold
  // what was read; otherwise it throws instead of overwriting. After a new
  // row is stored, the rows are read afresh when next needed.
  void Update();

  // Deletes the current row only, by its row identity.
  void Delete();

  void Close();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

// Runs a statement that returns no rows on the connection object's open
// connection (Connection.Execute with bound values).
void Execute(const Connection& connection, const Statement& statement);

}  // namespace tavikuser::adodb

#endif  // TAVIKUSER_PLATFORM_ADODB_RECORDSET_H_
