#include "platform/store/connection_object.h"

#include "tavikuser/errors.h"

namespace tavikuser {
namespace store {
namespace {

using Instance = automation::Instance<ConnectionObject>;

}  // namespace

void ConnectionObject::ConnectionString(std::string connection_string) {
  if (open()) {
    throw DataAccessError(
        "The connection string cannot be changed while the connection is "
        "open.");
  }
  connection_string_ = std::move(connection_string);
}

std::string ConnectionObject::ConnectionString() const {
  return connection_string_;
}

void ConnectionObject::Open() {
  if (open()) throw DataAccessError("The connection is already open.");
  transaction_.reset();
  lease_.reset();
  lease_.emplace(Borrow(connection_string_));
}

void ConnectionObject::Close() {
  if (!open()) throw DataAccessError("The connection is already closed.");
  transaction_.reset();  // rolls back what is still open
  lease_.reset();
}

tavikuser::Connection::State ConnectionObject::state() const {
  return open() ? tavikuser::Connection::kStateOpen
                : tavikuser::Connection::kStateClosed;
}

void ConnectionObject::BeginTrans() {
  Opened();
  if (transaction_) {
    throw DataAccessError(
        "A transaction has already begun on this connection.");
  }
  transaction_.emplace(*lease_);
}

void ConnectionObject::CommitTrans() {
  OpenTransaction().Commit();
  transaction_.reset();
}

void ConnectionObject::RollbackTrans() {
  Transaction& transaction = OpenTransaction();
  try {
    transaction.Rollback();
  } catch (const Error&) {
    transaction_.reset();
    throw;
  }
  transaction_.reset();
}

Transaction& ConnectionObject::OpenTransaction() {
  Opened();
  if (!transaction_) {
    throw DataAccessError("No transaction has begun on this connection.");
  }
  return *transaction_;
}

void ConnectionObject::Execute(const std::string& sql) {
  Opened().Execute(sql, {});
}

store::Connection& ConnectionObject::Opened() {
  if (!open()) throw DataAccessError("The connection is closed.");
  return **lease_;
}

ConnectionObject& ConnectionObject::Of(
    const tavikuser::Connection& connection) {
  return static_cast<Instance&>(*connection.AsObject().get()).value();
}

}  // namespace store

Connection::Connection() : object_(new store::Instance(Connection::Class())) {}

Connection::Connection(ObjectRef object) : object_(std::move(object)) {
  if (!dynamic_cast<store::Instance*>(object_.get())) {
    throw AutomationError(automation::kTypeMismatch,
                          "The value is not an ADODB.Connection object.");
  }
}

void Connection::ConnectionString(std::string connection_string) {
  store::ConnectionObject::Of(*this).ConnectionString(
      std::move(connection_string));
}
std::string Connection::ConnectionString() const {
  return store::ConnectionObject::Of(*this).ConnectionString();
}
void Connection::Open() { store::ConnectionObject::Of(*this).Open(); }
void Connection::Close() { store::ConnectionObject::Of(*this).Close(); }
Connection::State Connection::state() const {
  return store::ConnectionObject::Of(*this).state();
}
void Connection::BeginTrans() {
  store::ConnectionObject::Of(*this).BeginTrans();
}
void Connection::CommitTrans() {
  store::ConnectionObject::Of(*this).CommitTrans();
}
void Connection::RollbackTrans() {
  store::ConnectionObject::Of(*this).RollbackTrans();
}
void Connection::Execute(const std::string& sql) {
  store::ConnectionObject::Of(*this).Execute(sql);
}
std::string Connection::DatabaseProduct() const {
  return store::ConnectionObject::Of(*this).Opened().DatabaseProduct();
}

const automation::ClassInfo& Connection::Class() {
  using store::ConnectionObject;
  static const automation::ClassInfo info =
      automation::MemberTable<ConnectionObject>("ADODB.Connection")
          .Get("ConnectionString", &ConnectionObject::ConnectionString)
          .Let("ConnectionString", &ConnectionObject::ConnectionString)
          .Function("Open", &ConnectionObject::Open)
          .Function("Close", &ConnectionObject::Close)
          .Get("State", &ConnectionObject::state)
          .Function("BeginTrans", &ConnectionObject::BeginTrans)
          .Function("CommitTrans", &ConnectionObject::CommitTrans)
          .Function("RollbackTrans", &ConnectionObject::RollbackTrans)
          .Function("Execute", &ConnectionObject::Execute)
          .Build();
  return info;
}

}  // namespace tavikuser
