// The store that the subcommands work on: which one the command line names,
// which schema fits it, and running statements on it all or none.
#ifndef TAVIKUSER_CLI_STORE_H_
#define TAVIKUSER_CLI_STORE_H_

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "tavikuser/connection.h"

namespace tavikuser::cli {

// The SQLite store in `file`.
std::string SqliteConnectionString(std::string_view file);

// A connection string, or a bare file path (no '=') for a SQLite store.
std::string ConnectionStringOf(std::string_view argument);

// The one optional argument of `init` and `demo`: a connection string, or a
// bare file path (no '=') for a SQLite store; without it, the SQLite store in
// `default_file`. Throws UsageError for anything more.
std::string ConnectionStringFromArguments(
    std::span<const std::string_view> args, std::string_view default_file);

// A store named on the command line, as the library reads its connection
// string.
struct Store {
  // Throws DataAccessError for a string that the library cannot use.
  explicit Store(std::string connection_string);

  std::string connection_string;
  ConnectionStringInfo described;
};

// Creates the host tables from the embedded schema for the database the
// store is (through ODBC too), in one transaction, and returns how many
// statements that took. Throws the store's failure, or std::runtime_error
// naming the built-in schemas when none fits.
std::size_t CreateTables(const Store& store);

}  // namespace tavikuser::cli

#endif  // TAVIKUSER_CLI_STORE_H_
