#include "store.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <utility>

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

// Reads the value that starts at `pos`, up to the ';' that ends it, leaving
// `pos` there. A value in double quotes or braces may hold ';', its closing
// character written twice to stand for itself. This is how the library reads
// a connection string, so both see the same values.
std::string ReadValue(std::string_view text, std::size_t& pos) {
  pos = std::min(text.find_first_not_of(" \t", pos), text.size());
  std::string value;
  if (pos < text.size() && (text[pos] == '"' || text[pos] == '{')) {
    const char close = text[pos] == '"' ? '"' : '}';
    for (++pos; pos < text.size(); ++pos) {
      if (text[pos] != close) {
        value += text[pos];
      } else if (pos + 1 < text.size() && text[pos + 1] == close) {
        value += close;
        ++pos;
      } else {
        break;
      }
    }
    pos = std::min(text.find(';', pos), text.size());
    return value;
  }
  const std::size_t end = std::min(text.find(';', pos), text.size());
  value = Trimmed(text.substr(pos, end - pos));
  pos = end;
  return value;
}

struct Setting {
  std::string key;        // lowercase, trimmed
  std::string_view text;  // "Key=Value" as written
  std::string value;
};

std::vector<Setting> Settings(std::string_view connection_string) {
  std::vector<Setting> settings;
  for (std::size_t pos = 0; pos < connection_string.size(); ++pos) {
    const std::size_t start = pos;
    const std::size_t key_end = std::min(
        connection_string.find_first_of("=;", pos), connection_string.size());
    pos = key_end;
    std::string value;
    if (pos < connection_string.size() && connection_string[pos] == '=') {
      value = ReadValue(connection_string, ++pos);
    }
    const std::string_view text = connection_string.substr(start, pos - start);
    if (Trimmed(text).empty()) continue;
    settings.push_back({Lowercase(Trimmed(text.substr(0, key_end - start))),
                        text, std::move(value)});
  }
  return settings;
}

// As the library does, a later key replaces an earlier one.
std::optional<std::string> ValueOf(std::string_view connection_string,
                                   std::string_view key) {
  std::optional<std::string> value;
  for (Setting& setting : Settings(connection_string)) {
    if (setting.key == key) value = std::move(setting.value);
  }
  return value;
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

std::vector<std::string> SchemaStatements(std::string_view connection_string) {
  const std::string provider =
      Lowercase(ValueOf(connection_string, "provider").value_or(""));
  std::string known;
  for (const EmbeddedSchema& schema : EmbeddedSchemas()) {
    if (schema.dialect == provider) return SplitStatements(schema.script);
    known += known.empty() ? "" : ", ";
    known += schema.dialect;
  }
  throw std::runtime_error(
      "no schema for this store: the connection string's Provider must be "
      "one of " +
      known +
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
  if (args[0].find('=') == std::string_view::npos) {
    return SqliteConnectionString(args[0]);
  }
  return std::string(args[0]);
}

std::optional<std::filesystem::path> SqliteFile(
    std::string_view connection_string) {
  const auto provider = ValueOf(connection_string, "provider");
  if (!provider || Lowercase(*provider) != "sqlite") return std::nullopt;
  const auto file = ValueOf(connection_string, "data source");
  if (!file || file->empty()) return std::nullopt;
  return std::filesystem::path(*file);
}

std::string Printable(std::string_view connection_string) {
  std::string printable;
  for (const Setting& setting : Settings(connection_string)) {
    if (!printable.empty()) printable += ';';
    if (setting.key == "password" || setting.key == "pwd") {
      printable +=
          std::string(Trimmed(setting.text.substr(0, setting.text.find('=')))) +
          "=***";
    } else {
      printable += Trimmed(setting.text);
    }
  }
  return printable;
}

void ExecuteAllOrNone(const std::string& connection_string,
                      std::span<const std::string> statements) {
  Connection connection;
  connection.ConnectionString(connection_string);
  connection.Open();
  ClosedOnExit closer(connection);
  connection.BeginTrans();
  for (const std::string& statement : statements) {
    connection.Execute(statement);
  }
  connection.CommitTrans();
}

std::size_t CreateTables(const std::string& connection_string) {
  const std::vector<std::string> statements =
      SchemaStatements(connection_string);
  ExecuteAllOrNone(connection_string, statements);
  return statements.size();
}

}  // namespace tavikuser::cli
