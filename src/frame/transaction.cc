#include "frame/transaction.h"

namespace tavikuser::frame {

bool InTransaction(Operation& operation, std::optional<Connection>& connection,
                   const std::string& connection_string,
                   TransactionConduct conduct,
                   const std::function<bool()>& work) {
  const bool releases = conduct == TransactionConduct::kReleasesConnection;
  if (!connection) connection.emplace();

  // Both endings close the connection; only some classes let go of it.
  const auto close = [&] {
    connection->Close();
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
    connection->RollbackTrans();
    close();
  };
  return operation.TrappedInTransaction(steps);
}

}  // namespace tavikuser::frame
