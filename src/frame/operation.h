// The frame that every operation runs in: its result starts false and is set
// on the success path; validation and the operation's own tests store fixed
// messages in ErrDesc; run-time failures are trapped into ErrDesc. A trap
// never changes the result, and nothing ever clears ErrDesc.
#ifndef TAVIKUSER_FRAME_OPERATION_H_
#define TAVIKUSER_FRAME_OPERATION_H_

#include <exception>
#include <string>

#include "tavikuser/errors.h"

namespace tavikuser::frame {

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
  // description in ErrDesc. What `steps` holds (a borrowed connection) is
  // released by its destructor.
  template <class Steps>
  bool Trapped(Steps&& steps) {
    try {
      steps();
    } catch (const std::exception& failure) {
      err_desc_ = failure.what();
    }
    return result_;
  }

 private:
  std::string& err_desc_;
  bool result_ = false;
};

// Runs a trap's own recovery step. Its failure is not trapped again: it
// leaves the operation as CallError, carrying that failure's description.
template <class Step>
void Recover(Step&& step) {
  try {
    step();
  } catch (const std::exception& failure) {
    throw CallError(failure.what());
  }
}

}  // namespace tavikuser::frame

#endif  // TAVIKUSER_FRAME_OPERATION_H_
