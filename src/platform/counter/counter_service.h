// The document counter service as numbered creations call it, its members
// in the order they are called. The service is whatever class is registered
// under "TavikSystem.CounterTransaction": the built-in one, called directly,
// or a host's own, called late-bound by member name.
#ifndef TAVIKUSER_PLATFORM_COUNTER_COUNTER_SERVICE_H_
#define TAVIKUSER_PLATFORM_COUNTER_COUNTER_SERVICE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "tavikuser/connection.h"

namespace tavikuser::counter {

inline constexpr char kCounterProgId[] = "TavikSystem.CounterTransaction";

class CounterService {
 public:
  virtual ~CounterService() = default;

  // The scope of the counter, set in this order.
  virtual void CompanyPrefix(std::string value) = 0;
  virtual void BranchPrefix(std::string value) = 0;
  virtual void DocumentPrefix(std::string value) = 0;

  // `connection` is the caller's open connection object, its transaction
  // begun; it is passed by reference, and the service may leave another one
  // there, which the caller goes on with. True when a number is ready.
  virtual bool Get_Last_Counter(Connection& connection) = 0;

  // The number ready to be issued. Throws AutomationError when the service
  // gives something that is no number or exceeds 32 bits.
  virtual std::int32_t NextDocumentNo() const = 0;

  // True when the counter has moved on, inside the caller's transaction.
  virtual bool Increase_Counter() = 0;

  // The service's failure text, after a false result.
  virtual std::string ErrDesc() const = 0;
};

// A new object of the service registered under kCounterProgId. Throws
// AutomationError when none can be created.
std::shared_ptr<CounterService> CreateCounterService();

}  // namespace tavikuser::counter

#endif  // TAVIKUSER_PLATFORM_COUNTER_COUNTER_SERVICE_H_
