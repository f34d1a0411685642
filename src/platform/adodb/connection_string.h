// Connection strings in the familiar Key=Value; form, turned into what a
// provider needs to open a physical connection.
#ifndef TAVIKUSER_PLATFORM_ADODB_CONNECTION_STRING_H_
#define TAVIKUSER_PLATFORM_ADODB_CONNECTION_STRING_H_

#include <memory>
#include <string>
#include <string_view>

namespace tavikuser::adodb {

enum class Provider { kSQLite, kPostgreSQL, kODBC };

struct ConnectionTarget {
  Provider provider;
  // What the provider's backend is opened with (SOCI connect string).
  std::string backend_parameters;
  // SQLite only: the database file, made absolute.
  std::string sqlite_path;
  // Identifies the physical store: equal keys may share pooled connections.
  std::string pool_key;
  // SQLite with a relative Data Source: the same string names another file
  // once the host changes its working folder.
  bool follows_working_folder = false;
};

// Throws DataAccessError with a clear text for an empty or malformed string,
// an unknown provider, or a missing required key (Data Source for SQLite).
ConnectionTarget ParseConnectionString(std::string_view connection_string);

// ParseConnectionString for the few strings that a process uses again and
// again: the reading of each is kept, so that a check on a pooled connection
// does not read its string anew. A string that follows the working folder is
// read afresh every time. Thread-safe; throws as ParseConnectionString.
std::shared_ptr<const ConnectionTarget> ParsedConnectionString(
    const std::string& connection_string);

}  // namespace tavikuser::adodb

#endif  // TAVIKUSER_PLATFORM_ADODB_CONNECTION_STRING_H_
