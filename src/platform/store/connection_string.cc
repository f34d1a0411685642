#include "platform/store/connection_string.h"

#include <pthread.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "platform/automation/text.h"
#include "platform/store/stores.h"
#include "tavikuser/connection.h"
#include "tavikuser/errors.h"

namespace tavikuser::store {
namespace {

using automation::AsciiLower;
using automation::EqualsIgnoringCase;

constexpr std::string_view kBlanks = " \t\r\n";

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
  if (text.size() > kMostConnectionStringLength) {
    throw DataAccessError(
        "The connection string is " + std::to_string(text.size()) +
        " characters long; at most " +
        std::to_string(kMostConnectionStringLength) + " are taken.");
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
    // Looked for within the segment only: a search to the end of the text
    // for every segment would take time growing with the square of its
    // length.
    const std::size_t equals =
        std::min(text.substr(pos, end - pos).find('='), end - pos) + pos;
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

// The keys of Limits, as a host writes them.
constexpr std::pair<const char*, std::chrono::seconds Limits::*> kLimitKeys[] =
    {{"Idle Timeout", &Limits::idle},
     {"Connect Timeout", &Limits::connect},
     {"Command Timeout", &Limits::command},
     {"Lock Timeout", &Limits::lock}};

bool IsLimitKey(std::string_view key) {
  return std::ranges::any_of(kLimitKeys, [key](const auto& limit) {
    return EqualsIgnoringCase(key, limit.first);
  });
}

// Takes the keys of Limits out of `pairs`.
Limits TakeLimits(Settings& pairs) {
  constexpr int kMostSeconds = 24 * 60 * 60;
  Limits limits;
  for (const auto& [name, member] : kLimitKeys) {
    const auto found = pairs.find(AsciiLower(name));
    if (found == pairs.end()) continue;
    const std::string& text = found->second;
    int seconds = 0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (error != std::errc() || end != text.data() + text.size() ||
        seconds < 1 || seconds > kMostSeconds) {
      throw DataAccessError("The connection string's " + std::string(name) +
                            " must be a whole number of seconds from 1 to " +
                            std::to_string(kMostSeconds) + ", not '" + text +
                            "'.");
    }
    limits.*member = std::chrono::seconds(seconds);
    pairs.erase(found);
  }
  return limits;
}

// How the library reads `connection_string`, whose settings are `settings`,
// before its limits are known.
ConnectionTarget StoreTarget(std::string_view connection_string,
                             const std::vector<Setting>& settings,
                             Settings pairs) {
  const std::optional<std::string> provider = Take(pairs, {"provider"});
  if (provider) {
    if (EqualsIgnoringCase(*provider, "SQLite")) {
      return SQLiteTarget(std::move(pairs));
    }
    if (EqualsIgnoringCase(*provider, "PostgreSQL")) {
      return PostgreSQLTarget(std::move(pairs));
    }
    if (EqualsIgnoringCase(*provider, "MariaDB") ||
        EqualsIgnoringCase(*provider, "MySQL")) {
      return MariaDBTarget(std::move(pairs));
    }
    throw DataAccessError(
        "The provider '" + *provider +
        "' is not supported: use Provider=SQLite, "
        "Provider=PostgreSQL, Provider=MariaDB, or an ODBC Driver "
        "or DSN.");
  }
  if (pairs.count("driver") || pairs.count("dsn")) {
    // The ODBC driver manager reads the string itself, without the
    // library's own keys.
    std::string passed;
    if (std::ranges::none_of(settings, [](const Setting& setting) {
          return IsLimitKey(setting.key);
        })) {
      passed = connection_string;
    } else {
      for (const Setting& setting : settings) {
        if (IsLimitKey(setting.key)) continue;
        passed += setting.written;
        passed += ';';
      }
    }
    return {Provider::kODBC, passed, "odbc:" + passed};
  }
  throw DataAccessError(
      "The connection string names no provider: give Provider=SQLite, "
      "Provider=PostgreSQL, Provider=MariaDB, or an ODBC Driver or DSN.");
}

ConnectionTarget Target(std::string_view connection_string,
                        const std::vector<Setting>& settings) {
  // A later key replaces an earlier one.
  Settings pairs;
  for (const Setting& setting : settings) pairs[setting.key] = setting.value;
  const Limits limits = TakeLimits(pairs);
  ConnectionTarget target =
      StoreTarget(connection_string, settings, std::move(pairs));
  target.limits = limits;
  // Connections opened under other limits are not shared.
  for (const auto& [name, member] : kLimitKeys) {
    target.pool_key += ';' + std::to_string((limits.*member).count());
  }
  return target;
}

const char* ProviderName(Provider provider) {
  switch (provider) {
    case Provider::kSQLite:
      return "SQLite";
    case Provider::kPostgreSQL:
      return "PostgreSQL";
    case Provider::kMariaDB:
      return "MariaDB";
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

void RefuseLeftovers(const Settings& settings, const char* provider,
                     const char* known) {
  if (settings.empty()) return;
  throw DataAccessError("The connection string key '" +
                        settings.begin()->first + "' is not understood for " +
                        provider + " (known: " + known +
                        ", Idle Timeout, Connect Timeout, Command Timeout, "
                        "Lock Timeout).");
}

ConnectionTarget ParseConnectionString(std::string_view connection_string) {
  return Target(connection_string, ReadSettings(connection_string));
}

std::shared_ptr<const ConnectionTarget> ParsedConnectionString(
    const std::string& connection_string) {
  // A host uses a handful of strings; one that makes up a new string for
  // every call must not make this grow without end.
  constexpr std::size_t kMostKept = 64;
  static std::mutex mutex;
  // Held across fork(), so that a child never starts with it held by a
  // thread that the child does not have.
  static const int held_across_fork = pthread_atfork(
      [] { mutex.lock(); }, [] { mutex.unlock(); }, [] { mutex.unlock(); });
  static_cast<void>(held_across_fork);
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

}  // namespace tavikuser::store

namespace tavikuser {

ConnectionStringInfo DescribeConnectionString(
    std::string_view connection_string) {
  const std::vector<store::Setting> settings =
      store::ReadSettings(connection_string);
  store::ConnectionTarget target = store::Target(connection_string, settings);
  std::string sqlite_file;
  if (target.provider == store::Provider::kSQLite) {
    sqlite_file = std::move(target.parameters);
  }
  return {store::ProviderName(target.provider), std::move(sqlite_file),
          store::Printable(settings)};
}

}  // namespace tavikuser
