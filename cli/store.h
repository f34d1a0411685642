// The store that `init` and `demo` work on: which one the command line names,
// which schema fits it, and running statements on it all or none.
#ifndef TAVIKUSER_CLI_STORE_H_
#define TAVIKUSER_CLI_STORE_H_

#include <cstddef>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tavikuser::cli {

// The SQLite store in `file`.
std::string SqliteConnectionString(std::string_view file);

// The one optional argument of `init` and `demo`: a connection string, or a
// bare file path (no '=') for a SQLite store; without it, the SQLite store in
// `default_file`. Throws UsageError for anything more.
std::string ConnectionStringFromArguments(
    std::span<const std::string_view> args, std::string_view default_file);

// The database file of a SQLite connection string; nothing for another
// provider.
std::optional<std::filesystem::path> SqliteFile(
    std::string_view connection_string);

// The connection string with its password hidden, fit to print.
std::string Printable(std::string_view connection_string);

// Runs `statements` on one connection in one transaction, so that a failure
// leaves the store as it was. Throws the first failure.
void ExecuteAllOrNone(const std::string& connection_string,
                      std::span<const std::string> statements);

// Creates the host tables from the embedded schema named after the store's
// provider, all or none, and returns how many statements that took. Throws
// the store's failure, or std::runtime_error naming the known providers when
// no schema fits.
std::size_t CreateTables(const std::string& connection_string);

}  // namespace tavikuser::cli

#endif  // TAVIKUSER_CLI_STORE_H_
