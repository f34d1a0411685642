// Arbitrary connection strings: the parser answers with a target or refuses
// with a DataAccessError, and no value can reach a provider as anything but
// the value of its own key.
#include <libpq-fe.h>

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "platform/store/connection_string.h"
#include "tavikuser/connection.h"
#include "tavikuser/errors.h"

namespace {

using tavikuser::DataAccessError;
using tavikuser::store::ConnectionTarget;
using tavikuser::store::Provider;

void Require(bool holds) {
  if (!holds) std::abort();
}

// libpq reads the parameters back as the keywords the parser meant, and no
// others.
void CheckPostgreSQL(const ConnectionTarget& target) {
  static const std::set<std::string> kKeywords = {"host", "port", "dbname",
                                                  "user", "password"};
  char* error = nullptr;
  PQconninfoOption* options =
      PQconninfoParse(target.parameters.c_str(), &error);
  Require(options != nullptr);
  for (PQconninfoOption* option = options; option->keyword; ++option) {
    if (option->val) Require(kKeywords.count(option->keyword) == 1);
  }
  PQconninfoFree(options);
}

// The database file is named by an absolute path, whole.
void CheckSQLite(const ConnectionTarget& target) {
  Require(!target.parameters.empty() && target.parameters.front() == '/');
  Require(target.parameters.find('\0') == std::string::npos);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const ConnectionTarget target =
        tavikuser::store::ParseConnectionString(text);
    Require(!target.pool_key.empty());
    if (target.provider == Provider::kPostgreSQL) CheckPostgreSQL(target);
    if (target.provider == Provider::kSQLite) CheckSQLite(target);
    // A string the parser takes can always be described for printing.
    tavikuser::DescribeConnectionString(text);
  } catch (const DataAccessError&) {
  }
  return 0;
}
