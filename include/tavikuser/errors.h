// The run-time failures of the library. Operations never let them reach the
// caller in normal use: their traps turn a failure into a false result and its
// description into ErrDesc. Only CallError leaves an operation.
#ifndef TAVIKUSER_ERRORS_H_
#define TAVIKUSER_ERRORS_H_

#include <stdexcept>
#include <string>

#include "tavikuser/export.h"

namespace tavikuser {

// Base of every run-time failure; what() is the description that ends up in
// ErrDesc, verbatim.
class TAVIK_EXPORT Error : public std::runtime_error {
 public:
  explicit Error(const std::string& description);
};

// A failing data-access call: bad connection string, unreachable store, the
// store's own error text, a missing current row, a refused value.
class TAVIK_EXPORT DataAccessError : public Error {
 public:
  using Error::Error;
};

// Late binding went wrong: unknown class or member, wrong member kind, a value
// that cannot be converted. `status` is the matching TAVIK_E_* code.
class TAVIK_EXPORT AutomationError : public Error {
 public:
  AutomationError(int status, const std::string& description);
  int status() const noexcept { return status_; }

 private:
  int status_;
};

// A failure inside an error trap's own recovery (for example a rollback that
// fails because the connection was lost). The operation returns no result;
// the exception carries that failure's description.
class TAVIK_EXPORT CallError : public Error {
 public:
  using Error::Error;
};

}  // namespace tavikuser

#endif  // TAVIKUSER_ERRORS_H_
