// What an "ADODB.Connection" object holds: its connection string and, while
// open, the physical connection it borrowed and the transaction begun on it.
#ifndef TAVIKUSER_PLATFORM_STORE_CONNECTION_OBJECT_H_
#define TAVIKUSER_PLATFORM_STORE_CONNECTION_OBJECT_H_

#include <optional>
#include <string>

#include "platform/store/store.h"
#include "platform/store/transaction.h"
#include "tavikuser/connection.h"

namespace tavikuser::store {

class ConnectionObject {
 public:
  void ConnectionString(std::string connection_string);
  std::string ConnectionString() const;
  void Open();
  void Close();
  tavikuser::Connection::State state() const;
  void BeginTrans();
  void CommitTrans();
  void RollbackTrans();
  void Execute(const std::string& sql);

  // The open physical connection, inside whatever transaction was begun on
  // it. Throws DataAccessError when the connection is closed.
  store::Connection& Opened();

  // What the handle `connection` refers to.
  static ConnectionObject& Of(const tavikuser::Connection& connection);

 private:
  // A connection whose transaction could not be ended was closed under the
  // lease, which stays until the object is opened again.
  bool open() const { return lease_ && *lease_; }
  // The transaction begun on the open connection; throws DataAccessError
  // when there is none.
  Transaction& OpenTransaction();

  std::string connection_string_;
  std::optional<Lease> lease_;  // present while open
  // Ends before the lease it runs on.
  std::optional<Transaction> transaction_;
};

}  // namespace tavikuser::store

#endif  // TAVIKUSER_PLATFORM_STORE_CONNECTION_OBJECT_H_
