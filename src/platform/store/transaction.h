// A transaction on a borrowed connection: begun when made, rolled back when
// it ends without a commit. The rollback in the destructor never throws; a
// connection whose rollback failed there is closed instead of going back to
// the pool, since its transaction's fate is unknown.
#ifndef TAVIKUSER_PLATFORM_STORE_TRANSACTION_H_
#define TAVIKUSER_PLATFORM_STORE_TRANSACTION_H_

#include "platform/store/store.h"
#include "tavikuser/errors.h"

namespace tavikuser::store {

class Transaction {
 public:
  // Begins on `lease`, which must outlive the transaction. Throws
  // DataAccessError when the store refuses to begin.
  explicit Transaction(Lease& lease) : lease_(lease) { lease_->Begin(); }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  ~Transaction() {
    if (ended_) return;
    try {
      lease_->Rollback();
    } catch (...) {
      lease_.Discard();
    }
  }

  // Throws DataAccessError; a transaction whose commit failed is still
  // there to be rolled back.
  void Commit() {
    lease_->Commit();
    ended_ = true;
  }

  // Ends the transaction, also when it throws DataAccessError: its fate is
  // then unknown, so its connection is closed rather than given back.
  void Rollback() {
    ended_ = true;
    try {
      lease_->Rollback();
    } catch (const Error&) {
      lease_.Discard();
      throw;
    }
  }

 private:
  Lease& lease_;
  bool ended_ = false;
};

}  // namespace tavikuser::store

#endif  // TAVIKUSER_PLATFORM_STORE_TRANSACTION_H_
