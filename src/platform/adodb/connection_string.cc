#include "platform/adodb/connection_string.h"

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "platform/automation/text.h"
#include "tavikuser/connection.h"
#include "tavikuser/errors.h"

namespace tavikuser::adodb {
namespace {

using automation::AsciiLower;
using automation::EqualsIgnoringCase;

// Seconds an SQLite connection waits for another writer's lock before it
// gives up; long enough for concurrent numbered creations to queue.
constexpr int kSQLiteBusySeconds = 10;

constexpr std::string_view kBlanks = " \t\r\n";

// Keys whose values a printed connection string hides.
constexpr const char* kPasswordKeys[] = {"password", "pwd"};

std::string_view Trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

[[noreturn]] void Malformed(const std::string& why) {
  throw DataAccessError("The connection string is malformed: " + why);
}

// Reads a value from `pos` to the `;` that ends it. A value may be enclosed
// in double quotes or braces, so that it can hold `;`; inside, the closing
// character is written twice to stand for itself.
std::string ReadValue(std::string_view text, std::size_t& pos) {
  while (pos < text.size() && kBlanks.find(text[pos]) != std::string::npos) {
    ++pos;
  }
  if (pos < text.size() && (text[pos] == '"' || text[pos] == '{')) {
    const char open = text[pos];
    const char close = open == '"' ? '"' : '}';
    std::string value;
    for (++pos;; ++pos) {
      if (pos >= text.size()) {
        Malformed(std::string("a value opened with ") + open +
                  " is never closed.");
      }
      if (text[pos] != close) {
        value += text[pos];
      } else if (pos + 1 < text.size() && text[pos + 1] == close) {
        value += close;
        ++pos;
      } else {
        break;
      }
    }
    ++pos;
    const std::size_t end = std::min(text.find(';', pos), text.size());
    if (!Trimmed(text.substr(pos, end - pos)).empty()) {
      Malformed("text follows the closing " + std::string(1, close) +
                " of a quoted value.");
    }
    pos = end;
    return value;
  }
  const std::size_t end = std::min(text.find(';', pos), text.size());
  std::string value(Trimmed(text.substr(pos, end - pos)));
  pos = end;
  return value;
}

// One Key=Value setting, both as read and as written.
struct Setting {
  std::string key;  // in lower case
  std::string value;
  std::string_view written_key;
  std::string_view written;  // "Key=Value", without the blanks around it
};

// The settings in the order written.
std::vector<Setting> ReadSettings(std::string_view text) {
  if (Trimmed(text).empty()) {
    throw DataAccessError("The connection string is empty.");
  }
  // The providers read their parameters as C strings: a NUL would cut them
  // short inside a value, and SQLite would open another file than named.
  if (text.find('\0') != std::string_view::npos) {
    throw DataAccessError("The connection string contains a NUL character.");
  }
  std::vector<Setting> settings;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = std::min(text.find(';', pos), text.size());
    const std::size_t equals = text.find('=', pos);
    if (equals >= end) {
      const std::string_view segment = Trimmed(text.substr(pos, end - pos));
      if (!segment.empty()) {
        // Appended rather than added up: GCC 12 at -O3 warns, wrongly, that
        // "'" + std::string(...) may copy overlapping memory.
        std::string why(1, '\'');
        why += segment;
        why += "' is not of the form Key=Value.";
        Malformed(why);
      }
      pos = end + 1;
      continue;
    }
    const std::size_t start = pos;
    const std::string_view key = Trimmed(text.substr(pos, equals - pos));
    if (key.empty()) Malformed("a value is given without its key.");
    pos = equals + 1;
    std::string value = ReadValue(text, pos);
    settings.push_back({AsciiLower(key), std::move(value), key,
                        Trimmed(text.substr(start, pos - start))});
    ++pos;  // past the ';'
  }
  return settings;
}

// The value of the first of `keys` present, removing every one of them.
template <std::size_t N>
std::optional<std::string> Take(std::map<std::string, std::string>& pairs,
                                const char* const (&keys)[N]) {
  std::optional<std::string> value;
  for (const char* key : keys) {
    auto found = pairs.find(key);
    if (found == pairs.end()) continue;
    if (!value) value = std::move(found->second);
    pairs.erase(found);
  }
  return value;
}

void RefuseLeftovers(const std::map<std::string, std::string>& pairs,
                     const char* provider, const char* known) {
  if (pairs.empty()) return;
  throw DataAccessError("The connection string key '" + pairs.begin()->first +
                        "' is not understood for " + provider +
                        " (known: " + known + ").");
}

ConnectionTarget SQLiteTarget(std::map<std::string, std::string> pairs) {
  const std::optional<std::string> path = Take(pairs, {"data source"});
  RefuseLeftovers(pairs, "SQLite", "Provider, Data Source");
  if (!path || path->empty()) {
    throw DataAccessError(
        "The SQLite connection string names no database file (Data "
        "Source=...).");
  }
  if (path->find('"') != std::string::npos) {
    throw DataAccessError("The SQLite database path " + *path +
                          " contains a double quote, which cannot be opened.");
  }
  // Absolute, so that pooled connections keep meaning the same file when
  // the host changes its working folder.
  std::error_code error;
  const std::string absolute =
      std::filesystem::absolute(*path, error).lexically_normal().string();
  if (error) {
    throw DataAccessError("The SQLite database path " + *path +
                          " cannot be resolved: " + error.message());
  }
  return {
      Provider::kSQLite,
      "db=\"" + absolute + "\" timeout=" + std::to_string(kSQLiteBusySeconds),
      absolute, "sqlite:" + absolute,
      !std::filesystem::path(*path).is_absolute()};
}

// A libpq keyword value in single quotes, so that no value can end early
// and smuggle in another keyword.
std::string LibpqQuoted(std::string_view value) {
  std::string quoted = "'";
  for (char c : value) {
    if (c == '\'' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "'";
}

ConnectionTarget PostgreSQLTarget(std::map<std::string, std::string> pairs) {
  // In the order they appear in the libpq parameters, which also makes the
  // pool key independent of the order and spelling of the keys.
  const std::pair<const char*, std::optional<std::string>> keywords[] = {
      {"host", Take(pairs, {"host", "server"})},
      {"port", Take(pairs, {"port"})},
      {"dbname", Take(pairs, {"database", "initial catalog"})},
      {"user", Take(pairs, {"user id", "uid"})},
      {"password", Take(pairs, kPasswordKeys)},
  };
  RefuseLeftovers(pairs, "PostgreSQL",
                  "Provider, Host or Server, Port, Database or Initial "
                  "Catalog, User ID or UID, Password or PWD");
  std::string parameters;
  for (const auto& [keyword, value] : keywords) {
    if (!value) continue;
    if (!parameters.empty()) parameters += ' ';
    parameters += keyword;
    parameters += '=';
    parameters += LibpqQuoted(*value);
  }
  return {Provider::kPostgreSQL, parameters, {}, "postgresql:" + parameters};
}

// How the library reads `connection_string`, whose settings are `settings`.
ConnectionTarget Target(std::string_view connection_string,
                        const std::vector<Setting>& settings) {
  // A later key replaces an earlier one.
  std::map<std::string, std::string> pairs;
  for (const Setting& setting : settings) pairs[setting.key] = setting.value;
  const std::optional<std::string> provider = Take(pairs, {"provider"});
  if (provider) {
    if (EqualsIgnoringCase(*provider, "SQLite")) {
      return SQLiteTarget(std::move(pairs));
    }
    if (EqualsIgnoringCase(*provider, "PostgreSQL")) {
      return PostgreSQLTarget(std::move(pairs));
    }
    throw DataAccessError("The provider '" + *provider +
                          "' is not supported: use Provider=SQLite, "
                          "Provider=PostgreSQL, or an ODBC Driver or DSN.");
  }
  if (pairs.count("driver") || pairs.count("dsn")) {
    // The ODBC driver manager reads the string itself.
    std::string passed(connection_string);
    return {Provider::kODBC, passed, {}, "odbc:" + passed};
  }
  throw DataAccessError(
      "The connection string names no provider: give Provider=SQLite, "
      "Provider=PostgreSQL, or an ODBC Driver or DSN.");
}

const char* ProviderName(Provider provider) {
  switch (provider) {
    case Provider::kSQLite:
      return "SQLite";
    case Provider::kPostgreSQL:
      return "PostgreSQL";
    case Provider::kODBC:
      return "ODBC";
  }
  return "";
}

// The settings as written, each password replaced by ***. Read as the
// library reads them, so that a quoted password holding ';' is hidden whole.
std::string Printable(const std::vector<Setting>& settings) {
  std::string printable;
  for (const Setting& setting : settings) {
    if (!printable.empty()) printable += ';';
    if (std::ranges::find(kPasswordKeys, setting.key) ==
        std::end(kPasswordKeys)) {
      printable += setting.written;
    } else {
      printable += setting.written_key;
      printable += "=***";
    }
  }
  return printable;
}

}  // namespace

ConnectionTarget ParseConnectionString(std::string_view connection_string) {
  return Target(connection_string, ReadSettings(connection_string));
}

std::shared_ptr<const ConnectionTarget> ParsedConnectionString(
    const std::string& connection_string) {
  // A host uses a handful of strings; one that makes up a new string for
  // every call must not make this grow without end.
  constexpr std::size_t kMostKept = 64;
  static std::mutex mutex;
  static auto& kept =
      *new std::unordered_map<std::string,
                              std::shared_ptr<const ConnectionTarget>>;
  {
    std::lock_guard<std::mutex> lock(mutex);
    auto found = kept.find(connection_string);
    if (found != kept.end()) return found->second;
  }
  auto target = std::make_shared<const ConnectionTarget>(
      ParseConnectionString(connection_string));
  if (!target->follows_working_folder) {
    std::lock_guard<std::mutex> lock(mutex);
    if (kept.size() >= kMostKept) kept.clear();
    kept.emplace(connection_string, target);
  }
  return target;
}

}  // namespace tavikuser::adodb

namespace tavikuser {

ConnectionStringInfo DescribeConnectionString(
    std::string_view connection_string) {
  const std::vector<adodb::Setting> settings =
      adodb::ReadSettings(connection_string);
  adodb::ConnectionTarget target = adodb::Target(connection_string, settings);
  return {adodb::ProviderName(target.provider), std::move(target.sqlite_path),
          adodb::Printable(settings)};
}

}  // namespace tavikuser
