// Real stores for tests, and what differs between them.
#ifndef TAVIKUSER_TESTS_SUPPORT_TEST_STORE_H_
#define TAVIKUSER_TESTS_SUPPORT_TEST_STORE_H_

#include <memory>
#include <optional>
#include <string>

#include "servers.h"

namespace tavikuser::testing {

// The native stores, and each of them again through its Debian ODBC driver
// and unixODBC (SQLite by a DSN, the servers by Driver={...} strings), each
// route three after its native store.
enum class Backend {
  kSQLite,
  kPostgreSQL,
  kMariaDB,
  kODBCSQLite,
  kODBCPostgreSQL,
  kODBCMariaDB
};
inline constexpr Backend kEveryBackend[] = {
    Backend::kSQLite,     Backend::kPostgreSQL,     Backend::kMariaDB,
    Backend::kODBCSQLite, Backend::kODBCPostgreSQL, Backend::kODBCMariaDB};

// "SQLite", "ODBC_PostgreSQL" and the like, for test names.
std::string BackendName(Backend backend);

using Text = const std::string&;

// What differs between the stores, stated here once per backend, so that
// every behaviour suite runs unchanged on each: the tests arrange through
// these what only a store's own SQL can, and expect what each store does
// its own way.
struct BackendTraits {
  const char* name;
  // SQLite: a column keeps each value in the kind it was given, whatever
  // its declared type. A server keeps its column's type.
  bool typeless;
  // The column type of a date-time kept to the millisecond.
  const char* date_time;
  // A row of a table without a primary key can be told apart from another
  // holding the same values (SQLite's rowid, PostgreSQL's ctid); MariaDB
  // has no such name for a row.
  bool names_rows_without_key;
  // Locking the counter makes its row when there is none (the servers).
  bool lock_makes_counter_row;
  // A statement prepared before its table was replaced runs again inside a
  // transaction (SQLite, MariaDB prepare it again themselves); PostgreSQL
  // refuses it and spoils the transaction.
  bool prepares_again_in_transaction;
  // Makes Document_Counter.Last_No a text column.
  const char* counter_as_text;
  // A query that runs for a minute.
  const char* endless;
  // Found in the failure of a lock wait and of a statement that outlived
  // their limits.
  const char* lock_timeout_text;
  const char* command_timeout_text;
  // A query whose answer names the session it runs in.
  const char* session;
  // The SQL that makes `event` (e.g. "BEFORE INSERT") on `table` fail with
  // `message`, by a trigger called `name`; and the SQL that drops it.
  std::string (*failing_trigger)(Text name, Text event, Text table,
                                 Text message);
  std::string (*drop_trigger)(Text name, Text table);
  // A statement prepared before its table was rebuilt with other column
  // types reads the new types (the SQLite driver keeps the old ones).
  bool follows_rebuilt_tables = true;
  // Lock waits and statements end at their limits (the SQLite driver runs
  // a statement past its query timeout).
  bool bounds_waits = true;
};

const BackendTraits& Traits(Backend backend);

class TestStore {
 public:
  // A fresh store, with the host tables of schema/<store>.sql when
  // `with_schema`: a SQLite file, or a database on this program's own server,
  // started on first use: a failure to start fails the test, never skips it.
  static std::unique_ptr<TestStore> Create(Backend backend,
                                           bool with_schema = true);
  ~TestStore();

  // For the library, on the backend's route.
  const std::string& connection_string() const { return connection_string_; }

  // Arrange and inspect through the store's own client library, not through
  // the code under test. Each fails the test (throws) on a store error.
  void Exec(const std::string& sql) { client_(sql); }
  Rows Query(const std::string& sql) { return client_(sql); }
  // The first column of the first row, or nothing for Null / no row.
  std::optional<std::string> Scalar(const std::string& sql);

 private:
  TestStore() = default;

  std::string connection_string_;
  Client client_;
  ServerProcess* server_ = nullptr;  // where `database_` is dropped
  std::string database_;
};

}  // namespace tavikuser::testing

// Instantiates the parameterised suite `suite` once on each backend, each
// instance named after its backend.
#define TAVIK_ON_EVERY_STORE(prefix, suite)                                    \
  INSTANTIATE_TEST_SUITE_P(                                                    \
      prefix, suite, ::testing::ValuesIn(::tavikuser::testing::kEveryBackend), \
      [](const auto& info) {                                                   \
        return ::tavikuser::testing::BackendName(info.param);                  \
      })

#endif  // TAVIKUSER_TESTS_SUPPORT_TEST_STORE_H_
