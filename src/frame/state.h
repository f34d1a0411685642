// The values that the shared property blocks stand for, held inside each
// object's own implementation.
#ifndef TAVIKUSER_FRAME_STATE_H_
#define TAVIKUSER_FRAME_STATE_H_

#include <cstdint>
#include <optional>
#include <string>

#include "tavikuser/connection.h"

namespace tavikuser::frame {

struct CommonState {
  std::string err_desc;
  std::string connection_string;
};

struct EntityState : CommonState {
  std::string company_prefix;
  std::string branch_prefix;
  std::string document_prefix;
  // Made, closed, with the object; absent once an operation released it.
  std::optional<Connection> connection{Connection()};
  // The counter value issued to the object's last numbered creation.
  std::int32_t document_number = 0;
};

}  // namespace tavikuser::frame

#endif  // TAVIKUSER_FRAME_STATE_H_
