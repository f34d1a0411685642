#include "frame/transaction.h"

namespace tavikuser::frame {

bool InTransaction(Operation& operation, std::optional<Connection>& connection,
                   const std::string& connection_string,
                   TransactionConduct conduct,
                   const std::function<bool()>& work) {
  const bool releases = conduct == TransactionConduct::kReleasesConnection;
  if (!connection) connection.emplace();

  // Both endings close the connection; only some classes let go of it. A
  // connection already closed underneath (by a host's counter service) is
  // let go of all the same.
  const auto close = [&] {
    if (connection->state() == Connection::kStateOpen) connection->Close();
    if (releases) connection.reset();
  };

  TransactionSteps steps;
  steps.rollback_before_storing_text = !releases;
  steps.begin = [&] {
    connection->ConnectionString(connection_string);
    connection->Open();
    connection->BeginTrans();
  };
  steps.after_begin_failed = [&] {
    if (releases) {
      connection.reset();
    } else if (connection->state() == Connection::kStateOpen) {
      connection->Close();
    }
  };
  steps.work = [&] {
    if (!work()) return false;
    connection->CommitTrans();
    close();
    operation.Succeed();
    return true;
  };
  steps.rollback_ending = [&] {
    try {
      connection->RollbackTrans();
    } catch (const Error&) {
      // The connection was lost. The call still ends as CallError, but the
      // dead connection is closed first (the pool drops it), so that the
      // object's next operation opens a fresh one instead of failing on a
      // connection that still counts as open.
      close();
      throw;
    }
    close();
  };
  return operation.TrappedInTransaction(steps);
}

}  // namespace tavikuser::frame
