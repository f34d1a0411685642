#include "store.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "embedded_schemas.h"
#include "subcommand.h"
#include "tavikuser/connection.h"
#include "tavikuser/errors.h"

namespace tavikuser::cli {
namespace {

std::string_view Trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

std::string Lowercase(std::string_view text) {
  std::string lower(text);
  std::ranges::transform(lower, lower.begin(), [](unsigned char c) {
    return static_cast<char>(std::tolower(c));
  });
  return lower;
}

// Returns the connection to the pool even when the work failed half way;
// closing rolls back a transaction that is still open.
class ClosedOnExit {
 public:
  explicit ClosedOnExit(Connection& connection) : connection_(connection) {}
  ClosedOnExit(const ClosedOnExit&) = delete;
  ClosedOnExit& operator=(const ClosedOnExit&) = delete;
  ~ClosedOnExit() {
    if (connection_.state() != Connection::kStateOpen) return;
    try {
      connection_.Close();
    } catch (const Error&) {
      // The failure that ended the work is the one to report, not this.
    }
  }

 private:
  Connection& connection_;
};

// The statements of a script: each ends with ';' at the end of a line, and
// lines that begin with "--" are comments.
std::vector<std::string> SplitStatements(std::string_view script) {
  std::vector<std::string> statements;
  std::string statement;
  auto finish = [&] {
    if (!Trimmed(statement).empty()) {
      statements.emplace_back(Trimmed(statement));
    }
    statement.clear();
  };
  while (!script.empty()) {
    const auto line_end = script.find('\n');
    const std::string_view line = Trimmed(script.substr(0, line_end));
    script.remove_prefix(line_end == std::string_view::npos ? script.size()
                                                            : line_end + 1);
    if (line.starts_with("--")) continue;
    if (line.ends_with(';')) {
      statement += line.substr(0, line.size() - 1);
      finish();
    } else {
      statement += line;
      statement += '\n';
    }
  }
  finish();
  return statements;
}

// The statements of the embedded schema for the database `product` (as the
// open connection names it; "MySQL" takes the MariaDB schema).
std::vector<std::string> SchemaStatements(std::string_view product) {
  std::string dialect = Lowercase(product);
  if (dialect == "mysql") dialect = "mariadb";
  std::string known;
  for (const EmbeddedSchema& schema : EmbeddedSchemas()) {
    if (schema.dialect == dialect) return SplitStatements(schema.script);
    known += known.empty() ? "" : ", ";
    known += schema.dialect;
  }
  throw std::runtime_error(
      "no schema for this store: it is " + std::string(product) +
      ", and the built-in schemas are for " + known +
      " (for another database, create the tables with its own tools from "
      "schema/)");
}

}  // namespace

std::string SqliteConnectionString(std::string_view file) {
  return "Provider=SQLite;Data Source=" + std::string(file);
}

std::string ConnectionStringFromArguments(
    std::span<const std::string_view> args, std::string_view default_file) {
  if (args.size() > 1) throw UsageError("too many arguments");
  if (args.empty()) return SqliteConnectionString(default_file);
  if (args[0].starts_with("-")) {
    throw UsageError("unknown option " + std::string(args[0]));
  }
  return ConnectionStringOf(args[0]);
}

std::string ConnectionStringOf(std::string_view argument) {
  if (argument.find('=') == std::string_view::npos) {
    return SqliteConnectionString(argument);
  }
  return std::string(argument);
}

Store::Store(std::string connection_string)
    : connection_string(std::move(connection_string)),
      described(DescribeConnectionString(this->connection_string)) {}

std::size_t CreateTables(const Store& store) {
  // The library never creates a store; this command makes the SQLite file
  // it names, and takes it away again when the tables cannot be made.
  const std::string& file = store.described.sqlite_file;
  const bool made_file = !file.empty() && !std::filesystem::exists(file);
  if (made_file && !std::ofstream(file)) {
    throw std::runtime_error("cannot create the database file " + file);
  }
  try {
    Connection connection;
    connection.ConnectionString(store.connection_string);
    connection.Open();
    ClosedOnExit closer(connection);
    // Through ODBC only the open connection tells which database it is.
    const std::vector<std::string> statements =
        SchemaStatements(connection.DatabaseProduct());
    connection.BeginTrans();
    for (const std::string& statement : statements) {
      connection.Execute(statement);
    }
    connection.CommitTrans();
    return statements.size();
  } catch (...) {
    std::error_code ignored;
    if (made_file) std::filesystem::remove(file, ignored);
    throw;
  }
}

}  // namespace tavikuser::cli
