// What a Connection handle refers to: its connection string and, while open,
// the physical connection it borrowed.
#ifndef TAVIKUSER_PLATFORM_ADODB_CONNECTION_STATE_H_
#define TAVIKUSER_PLATFORM_ADODB_CONNECTION_STATE_H_

#include <optional>
#include <string>

#include "platform/adodb/session.h"

namespace tavikuser::adodb {

class ConnectionState {
 public:
  std::string connection_string;
  std::optional<Lease> lease;  // present while open
  bool in_transaction = false;

  // The open session; throws DataAccessError when the connection is closed.
  Session& OpenSession() const;
};

}  // namespace tavikuser::adodb

#endif  // TAVIKUSER_PLATFORM_ADODB_CONNECTION_STATE_H_
