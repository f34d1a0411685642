// Connection strings in the familiar Key=Value; form. The reader here splits
// a string into its settings and picks the store; each store reads what its
// own keys mean (stores.h).
#ifndef TAVIKUSER_PLATFORM_STORE_CONNECTION_STRING_H_
#define TAVIKUSER_PLATFORM_STORE_CONNECTION_STRING_H_

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tavikuser::store {

enum class Provider { kSQLite, kPostgreSQL, kMariaDB, kODBC };

// How long a connection may wait or stay idle, from keys that every store
// takes, each a whole number of seconds: a host loading the library must
// never find a call of it waiting without end.
struct Limits {
  // Idle Timeout: a pooled connection idle for longer is closed.
  std::chrono::seconds idle{60};
  // Connect Timeout: establishing a connection to a server.
  std::chrono::seconds connect{15};
  // Command Timeout: one statement, from sending it to its last row.
  std::chrono::seconds command{30};
  // Lock Timeout: waiting for a lock that another session holds (SQLite's
  // busy timeout).
  std::chrono::seconds lock{10};
};

// Longer connection strings are refused: a host never writes one, and the
// pool keeps the strings it has read.
inline constexpr std::size_t kMostConnectionStringLength = 64 * 1024;

struct ConnectionTarget {
  Provider provider;
  // What the store is opened with: SQLite's database file, made absolute;
  // libpq's keyword string; the ODBC string as written.
  std::string parameters;
  // Identifies the physical store: equal keys may share pooled connections.
  std::string pool_key;
  // SQLite with a relative Data Source: the same string names another file
  // once the host changes its working folder.
  bool follows_working_folder = false;
  Limits limits = {};
};

// A string's settings other than Provider, by key in lower case; a later key
// replaces an earlier one.
using Settings = std::map<std::string, std::string>;

// Keys whose values a printed connection string hides; the stores that take
// a password read it under these.
inline constexpr const char* kPasswordKeys[] = {"password", "pwd"};

// For the stores reading their keys: the value of the first of `keys`
// present (each in lower case), removing every one of them from `settings`,
// so that what is left over is what the store does not understand.
template <std::size_t N>
std::optional<std::string> Take(Settings& settings,
                                const char* const (&keys)[N]) {
  std::optional<std::string> value;
  for (const char* key : keys) {
    auto found = settings.find(key);
    if (found == settings.end()) continue;
    if (!value) value = std::move(found->second);
    settings.erase(found);
  }
  return value;
}

// Throws DataAccessError naming the first key left in `settings` when any
// is, with the keys `provider` knows.
void RefuseLeftovers(const Settings& settings, const char* provider,
                     const char* known);

// Throws DataAccessError with a clear text for an empty or malformed string,
// an unknown provider, or a key that the store does not understand or needs
// and misses.
ConnectionTarget ParseConnectionString(std::string_view connection_string);

// ParseConnectionString for the few strings that a process uses again and
// again: the reading of each is kept, so that borrowing a pooled connection
// does not read its string anew. A string that follows the working folder is
// read afresh every time. Thread-safe; throws as ParseConnectionString.
std::shared_ptr<const ConnectionTarget> ParsedConnectionString(
    const std::string& connection_string);

}  // namespace tavikuser::store

#endif  // TAVIKUSER_PLATFORM_STORE_CONNECTION_STRING_H_
