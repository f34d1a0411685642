// The frame that every operation runs in: its result starts false and is set
// on the success path; validation and the operation's own tests store fixed
// messages in ErrDesc; run-time failures are trapped into ErrDesc. A trap
// never changes the result, and nothing ever clears ErrDesc.
#ifndef TAVIKUSER_FRAME_OPERATION_H_
#define TAVIKUSER_FRAME_OPERATION_H_

#include <exception>
#include <functional>
#include <string>

#include "tavikuser/errors.h"

namespace tavikuser::frame {

// The steps of an operation that runs a transaction on a connection object,
// each under the trap that covers it.
struct TransactionSteps {
  // First trap: setting the connection string, opening, beginning.
  std::function<void()> begin;
  // What the first trap does after storing the failure's text.
  std::function<void()> after_begin_failed;
  // Second trap: everything after the transaction has begun, its success
  // ending included. Returns false to take the rollback ending without a
  // run-time failure (a refusal whose text the work has stored).
  std::function<bool()> work;
  // The second trap's recovery: the rollback ending of the operation.
  std::function<void()> rollback_ending;
  // Whether the second trap rolls back before storing the failure's text
  // (otherwise it stores the text first). It matters when the rollback itself
  // fails: the call then ends in CallError with or without the text stored.
  bool rollback_before_storing_text = false;
};

class Operation {
 public:
  // `err_desc` is the object's ErrDesc text; it must outlive the operation.
  explicit Operation(std::string& err_desc) : err_desc_(err_desc) {}

  // Stores a fixed message (a validation's, or a test on what was read) and
  // returns the result as it stands, so a validation reads
  // `return operation.Reject("Invalid ...");`.
  bool Reject(std::string message) {
    err_desc_ = std::move(message);
    return result_;
  }

  void Succeed() { result_ = true; }
  bool result() const { return result_; }

  // The single trap: a run-time failure in `steps` ends them and leaves its
  // description in ErrDesc. Resources that `steps` holds are released by
  // their destructors, without an explicit close.
  template <class Steps>
  bool Trapped(Steps&& steps) {
    try {
      steps();
    } catch (const std::exception& failure) {
      err_desc_ = failure.what();
    }
    return result_;
  }

  // The paired traps. A failure inside a trap's own recovery is not trapped
  // again: it leaves the operation as CallError.
  bool TrappedInTransaction(const TransactionSteps& steps);

  // Runs a trap's recovery; its failure becomes CallError.
  static void Recover(const std::function<void()>& recovery);

 private:
  std::string& err_desc_;
  bool result_ = false;
};

}  // namespace tavikuser::frame

#endif  // TAVIKUSER_FRAME_OPERATION_H_
