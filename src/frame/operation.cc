#include "frame/operation.h"

namespace tavikuser::frame {

void Operation::Recover(const std::function<void()>& recovery) {
  try {
    recovery();
  } catch (const std::exception& failure) {
    throw CallError(failure.what());
  }
}

bool Operation::TrappedInTransaction(const TransactionSteps& steps) {
  try {
    steps.begin();
  } catch (const std::exception& failure) {
    err_desc_ = failure.what();
    Recover(steps.after_begin_failed);
    return result_;
  }
  bool completed = false;
  try {
    completed = steps.work();
  } catch (const std::exception& failure) {
    if (steps.rollback_before_storing_text) {
      // Copy the text first: the rollback may destroy what carried it.
      std::string text = failure.what();
      Recover(steps.rollback_ending);
      err_desc_ = std::move(text);
    } else {
      err_desc_ = failure.what();
      Recover(steps.rollback_ending);
    }
    return result_;
  }
  if (!completed) Recover(steps.rollback_ending);
  return result_;
}

}  // namespace tavikuser::frame
