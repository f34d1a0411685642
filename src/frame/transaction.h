// An operation's transaction on its entity's connection object, under the
// paired traps: the connection string is set, the connection opened and the
// transaction begun under the first trap; the work, the commit and the
// success ending run under the second, whose recovery is the rollback ending.
#ifndef TAVIKUSER_FRAME_TRANSACTION_H_
#define TAVIKUSER_FRAME_TRANSACTION_H_

#include <functional>

#include "frame/operation.h"
#include "frame/state.h"

namespace tavikuser::frame {

// How a class conducts the transactions on its connection object.
enum class TransactionConduct {
  // The numbered creations of Rights, UserGroup and User: every ending
  // releases the connection object, closing it first where the transaction
  // had begun; the second trap stores the failure's text, then rolls back.
  kReleasesConnection,
  // Role: every ending closes the connection and keeps the object, so one
  // object serves any number of operations; the second trap rolls back,
  // then stores the failure's text.
  kKeepsConnection,
};

// Runs `work` in a transaction on `entity`'s connection object, opened from
// its connection string. A connection object that an earlier operation
// released is made afresh, so one object can run the operation again.
// `work` returns true to commit, or false to take the rollback ending after
// storing its own reason with operation.Reject. Returns the operation's
// result; throws CallError when a trap's recovery fails.
bool InTransaction(EntityState& entity, TransactionConduct conduct,
                   Operation& operation, const std::function<bool()>& work);

}  // namespace tavikuser::frame

#endif  // TAVIKUSER_FRAME_TRANSACTION_H_
