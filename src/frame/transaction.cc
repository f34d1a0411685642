#include "frame/transaction.h"

namespace tavikuser::frame {
namespace {

// Both endings close the connection; only some classes let go of it. A
// connection already closed underneath (by a host's counter service) is let
// go of all the same.
void CloseEnding(EntityState& entity, TransactionConduct conduct) {
  if (entity.connection->state() == Connection::kStateOpen) {
    entity.connection->Close();
  }
  if (conduct == TransactionConduct::kReleasesConnection) {
    entity.connection.reset();
  }
}

void RollbackEnding(EntityState& entity, TransactionConduct conduct) {
  try {
    entity.connection->RollbackTrans();
  } catch (const Error&) {
    // The call ends as CallError, but the dead connection is closed first,
    // so that the object's next operation opens a fresh one.
    CloseEnding(entity, conduct);
    throw;
  }
  CloseEnding(entity, conduct);
}

}  // namespace

bool InTransaction(EntityState& entity, TransactionConduct conduct,
                   Operation& operation, const std::function<bool()>& work) {
  const bool releases = conduct == TransactionConduct::kReleasesConnection;
  if (!entity.connection) entity.connection.emplace();

  // First trap: nothing has begun, so nothing is rolled back.
  try {
    entity.connection->ConnectionString(entity.connection_string);
    entity.connection->Open();
    entity.connection->BeginTrans();
  } catch (const std::exception& failure) {
    operation.Reject(failure.what());
    Recover([&] {
      if (releases) {
        entity.connection.reset();
      } else if (entity.connection->state() == Connection::kStateOpen) {
        entity.connection->Close();
      }
    });
    return operation.result();
  }

  // Second trap: the work, the commit and the success ending.
  std::string failure_text;
  try {
    if (work()) {
      entity.connection->CommitTrans();
      CloseEnding(entity, conduct);
      operation.Succeed();
      return operation.result();
    }
    // A refusal whose text the work stored: the rollback ending.
    Recover([&] { RollbackEnding(entity, conduct); });
    return operation.result();
  } catch (const CallError&) {
    throw;
  } catch (const std::exception& failure) {
    // Copied first: the rollback may destroy what carried the text.
    failure_text = failure.what();
  }
  // Whether the text is stored before or after the rollback matters when
  // the rollback itself fails: the call then ends as CallError with or
  // without the text stored.
  if (releases) operation.Reject(failure_text);
  Recover([&] { RollbackEnding(entity, conduct); });
  if (!releases) operation.Reject(failure_text);
  return operation.result();
}

}  // namespace tavikuser::frame
