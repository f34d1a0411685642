// Real stores for tests: a fresh SQLite file or a fresh PostgreSQL database
// per test, on a server that the test run starts itself and stops again.
#ifndef TAVIKUSER_TESTS_SUPPORT_TEST_STORE_H_
#define TAVIKUSER_TESTS_SUPPORT_TEST_STORE_H_

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tavikuser::testing {

enum class Backend { kSQLite, kPostgreSQL };

// "SQLite" or "PostgreSQL", for test names.
std::string BackendName(Backend backend);

using Rows = std::vector<std::vector<std::optional<std::string>>>;

class TestStore {
 public:
  // A fresh store, with the host tables of schema/<backend>.sql when
  // `with_schema`. PostgreSQL: the first call starts a server (initdb and
  // pg_ctl on 127.0.0.1, a free port, a temporary folder, as the postgres
  // user when run as root); it is stopped when the test program ends. A
  // failure to start is a test failure, never a skip.
  static std::unique_ptr<TestStore> Create(Backend backend,
                                           bool with_schema = true);
  virtual ~TestStore() = default;

  Backend backend() const { return backend_; }
  // A connection string for the library.
  const std::string& connection_string() const { return connection_string_; }

  // Arrange and inspect through the store's own client library, not through
  // the code under test. Each fails the test (throws) on a store error.
  virtual void Exec(const std::string& sql) = 0;
  virtual Rows Query(const std::string& sql) = 0;
  // The first column of the first row, or nothing for Null / no row.
  std::optional<std::string> Scalar(const std::string& sql);

 protected:
  TestStore(Backend backend, std::string connection_string)
      : backend_(backend), connection_string_(std::move(connection_string)) {}

 private:
  Backend backend_;
  std::string connection_string_;
};

}  // namespace tavikuser::testing

// Instantiates the parameterised suite `suite` once on each backend, each
// instance named after its backend.
#define TAVIK_ON_EVERY_STORE(prefix, suite)                          \
  INSTANTIATE_TEST_SUITE_P(                                          \
      prefix, suite,                                                 \
      ::testing::Values(::tavikuser::testing::Backend::kSQLite,      \
                        ::tavikuser::testing::Backend::kPostgreSQL), \
      [](const auto& info) {                                         \
        return ::tavikuser::testing::BackendName(info.param);        \
      })

#endif  // TAVIKUSER_TESTS_SUPPORT_TEST_STORE_H_
