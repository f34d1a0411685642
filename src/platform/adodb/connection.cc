#include "tavikuser/connection.h"

#include "platform/adodb/connection_state.h"
#include "platform/adodb/connection_string.h"
#include "tavikuser/errors.h"

namespace tavikuser {
namespace adodb {

Session& ConnectionState::OpenSession() const {
  if (!lease) throw DataAccessError("The connection is closed.");
  return lease->session();
}

}  // namespace adodb

Connection::Connection() : state_(std::make_shared<adodb::ConnectionState>()) {}

void Connection::ConnectionString(std::string connection_string) {
  if (state_->lease) {
    throw DataAccessError(
        "The connection string cannot be changed while the connection is "
        "open.");
  }
  state_->connection_string = std::move(connection_string);
}

std::string Connection::ConnectionString() const {
  return state_->connection_string;
}

void Connection::Open() {
  if (state_->lease) throw DataAccessError("The connection is already open.");
  state_->lease =
      adodb::Borrow(*adodb::ParsedConnectionString(state_->connection_string));
}

void Connection::Close() {
  if (!state_->lease)
    throw DataAccessError("The connection is already closed.");
  if (state_->in_transaction) {
    state_->in_transaction = false;
    try {
      state_->lease->session().Rollback();
    } catch (const DataAccessError&) {
      // The transaction's fate is unknown: the connection must not serve
      // anyone else. Closing it ends the transaction on the store's side.
      state_->lease->Discard();
    }
  }
  state_->lease.reset();
}

Connection::State Connection::state() const {
  return state_->lease ? kStateOpen : kStateClosed;
}

void Connection::BeginTrans() {
  adodb::Session& session = state_->OpenSession();
  if (state_->in_transaction) {
    throw DataAccessError(
        "A transaction has already begun on this connection.");
  }
  session.Begin();
  state_->in_transaction = true;
}

void Connection::CommitTrans() {
  adodb::Session& session = state_->OpenSession();
  if (!state_->in_transaction) {
    throw DataAccessError("No transaction has begun on this connection.");
  }
  session.Commit();
  state_->in_transaction = false;
}

void Connection::RollbackTrans() {
  adodb::Session& session = state_->OpenSession();
  if (!state_->in_transaction) {
    throw DataAccessError("No transaction has begun on this connection.");
  }
  session.Rollback();
  state_->in_transaction = false;
}

void Connection::Execute(const std::string& sql) {
  state_->OpenSession().Execute(sql, {});
}

const automation::ClassInfo& Connection::Class() {
  static const automation::ClassInfo info =
      automation::MemberTable<Connection>("ADODB.Connection")
          .Get("ConnectionString", &Connection::ConnectionString)
          .Let("ConnectionString", &Connection::ConnectionString)
          .Function("Open", &Connection::Open)
          .Function("Close", &Connection::Close)
          .Get("State", &Connection::state)
          .Function("BeginTrans", &Connection::BeginTrans)
          .Function("CommitTrans", &Connection::CommitTrans)
          .Function("RollbackTrans", &Connection::RollbackTrans)
          .Function("Execute", &Connection::Execute)
          .Build();
  return info;
}

namespace automation {

Connection Marshal<Connection>::From(const Variant& v) {
  auto* instance = dynamic_cast<Instance<Connection>*>(v.ToObject().get());
  if (!instance) {
    throw AutomationError(kTypeMismatch,
                          "The value is not an ADODB.Connection object.");
  }
  return instance->value();
}

Variant Marshal<Connection>::To(Connection v) {
  return Variant(
      ObjectRef(new Instance<Connection>(Connection::Class(), std::move(v))));
}

}  // namespace automation
}  // namespace tavikuser
