// What the stores behind the seam have in common, and each store's entry
// points: sqlite.cc, postgresql.cc, mariadb.cc and odbc.cc each define their
// own, and nothing outside src/platform/store includes this but the
// benchmark, whose raw floor numbers its placeholders as PostgreSQL does.
#ifndef TAVIKUSER_PLATFORM_STORE_STORES_H_
#define TAVIKUSER_PLATFORM_STORE_STORES_H_

#include <poll.h>

#include <charconv>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/store/connection_string.h"
#include "platform/store/store.h"
#include "platform/store/value.h"
#include "tavikuser/errors.h"

namespace tavikuser::store {

// Each reads the keys its store understands from `settings` (Provider taken
// out already) and throws DataAccessError, as ParseConnectionString does,
// for a key it does not understand or a value it cannot use.
ConnectionTarget SQLiteTarget(Settings settings);
ConnectionTarget PostgreSQLTarget(Settings settings);
ConnectionTarget MariaDBTarget(Settings settings);

// Each opens a physical connection to `target`, which names its store.
// Throws DataAccessError with the store's own text, and never creates a
// store.
std::unique_ptr<Connection> OpenSQLite(const ConnectionTarget& target);
std::unique_ptr<Connection> OpenPostgreSQL(const ConnectionTarget& target);

// `sql` with each '?' outside quoted text and comments numbered $1, $2, ...
// in the order they appear, as libpq takes placeholders; and how many there
// are. The benchmark's raw floor prepares its statements with it too.
std::pair<std::string, std::size_t> Numbered(std::string_view sql);
std::unique_ptr<Connection> OpenMariaDB(const ConnectionTarget& target);
std::unique_ptr<Connection> OpenODBC(const ConnectionTarget& target);

// A store's message without the line ends it closes with.
inline std::string StoreText(std::string_view text) {
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.remove_suffix(1);
  }
  return std::string(text);
}

// How a failure that a limit ended names it, e.g. "the Lock Timeout of 10 s".
inline std::string LimitText(const char* key, std::chrono::seconds limit) {
  return std::string("the ") + key + " of " + std::to_string(limit.count()) +
         " s";
}

// How the server stores lock the counter row, natively and through their
// ODBC drivers. Two creators that find no row must not both insert one: the
// first to insert makes the second wait for its transaction, and the row
// lock then queues every later creator behind it. PostgreSQL makes sure of
// the row, locks it and reads it in one statement; MariaDB in two.
inline constexpr char kPostgreSQLLockCounter[] =
    "INSERT INTO Document_Counter (Company_Prefix, Branch_Prefix, "
    "Document_Prefix, Last_No) VALUES (?, ?, ?, 0) ON CONFLICT "
    "(Company_Prefix, Branch_Prefix, Document_Prefix) DO UPDATE SET Last_No "
    "= Document_Counter.Last_No RETURNING Last_No";
inline constexpr char kMariaDBEnsureCounter[] =
    "INSERT INTO Document_Counter (Company_Prefix, Branch_Prefix, "
    "Document_Prefix, Last_No) VALUES (?, ?, ?, 0) ON DUPLICATE KEY UPDATE "
    "Last_No = Last_No";
inline constexpr char kMariaDBLockCounter[] =
    "SELECT Last_No FROM Document_Counter WHERE Company_Prefix = ? AND "
    "Branch_Prefix = ? AND Document_Prefix = ? FOR UPDATE";

// Whether a server's idle connection on `socket` is still open: the server
// sends an idle connection nothing unasked, so anything to read means that
// it is ending it (killed, timed out, shut down).
inline bool IdleSocketOpen(int socket) {
  pollfd idle{socket, POLLIN, 0};
  return poll(&idle, 1, 0) == 0;
}

// Throws DataAccessError when a text value holds a NUL. Client libraries
// take some values as C strings: a value holding a NUL would reach the store
// cut short, and could find or overwrite another row than the one it names.
inline void RefuseNul(const Values& values) {
  for (const Value& value : values) {
    const std::string* text = value.text();
    if (text && text->find('\0') != std::string::npos) {
      throw DataAccessError(
          "A value contains a NUL character, at which the store would cut it "
          "short; the statement was not run.");
    }
  }
}

// A number as a client library writes it: a whole number when `whole` and it is
// one, else a real; text that is no number is kept as stored.
inline Value NumberFromText(std::string text, bool whole) {
  const char* begin = text.data();
  const char* end = begin + text.size();
  if (whole) {
    std::int64_t integer = 0;
    const auto [stop, error] = std::from_chars(begin, end, integer);
    if (error == std::errc() && stop == end) return Value(integer);
  }
  double real = 0;
  const auto [stop, error] = std::from_chars(begin, end, real);
  if (error == std::errc() && stop == end) return Value(real);
  return Value(std::move(text));
}

// The identity that names a row by `columns` (a key), in order; nothing for
// no columns.
inline std::optional<RowIdentity> KeyIdentity(
    const std::vector<std::string>& columns) {
  if (columns.empty()) return std::nullopt;
  RowIdentity identity{{}, columns.size(), {}};
  for (const std::string& column : columns) {
    if (!identity.columns.empty()) {
      identity.columns += ", ";
      identity.condition += " AND ";
    }
    identity.columns += column;
    identity.condition += column + " = ?";
  }
  return identity;
}

// Throws DataAccessError unless `sql` takes `expected` values.
inline void RequireValueCount(std::string_view sql, std::size_t expected,
                              std::size_t given) {
  if (expected == given) return;
  throw DataAccessError("The statement " + std::string(sql) + " takes " +
                        std::to_string(expected) + " values, not " +
                        std::to_string(given) + ".");
}

// The statements one connection has prepared, by their text, so that a
// statement run again is taken from here instead of being prepared again.
template <class Prepared>
class StatementCache {
 public:
  // The statement kept for `sql`, or null.
  Prepared* Find(std::string_view sql) {
    auto found = kept_.find(sql);
    return found == kept_.end() ? nullptr : &found->second;
  }

  // Keeps `prepared`, just prepared for `sql`, and counts it.
  Prepared& Keep(std::string_view sql, Prepared prepared) {
    ++prepared_;
    return kept_.insert_or_assign(std::string(sql), std::move(prepared))
        .first->second;
  }

  void Forget(std::string_view sql) {
    auto found = kept_.find(sql);
    if (found != kept_.end()) kept_.erase(found);
  }

  // True when a store should forget every statement before it keeps
  // another: the library runs a few dozen, and a host that makes up a new
  // statement for every call must not make this grow without end.
  bool full() const { return kept_.size() >= kMostKept; }
  void Clear() { kept_.clear(); }

  // How many statements were kept in this cache's life.
  std::size_t prepared() const { return prepared_; }

 private:
  static constexpr std::size_t kMostKept = 256;

  // Looked up by a view of the text, which costs no copy of it.
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
      return std::hash<std::string_view>{}(text);
    }
  };

  std::unordered_map<std::string, Prepared, Hash, std::equal_to<>> kept_;
  std::size_t prepared_ = 0;
};

}  // namespace tavikuser::store

#endif  // TAVIKUSER_PLATFORM_STORE_STORES_H_
