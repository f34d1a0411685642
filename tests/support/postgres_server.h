// The PostgreSQL server that the tests of one program share: started on
// first use (or an existing one named by TAVIK_TEST_PG_CONNECTION, libpq
// style: "host=... port=... user=... [password=...]"), and stopped, with its
// folder removed, when the program ends.
#ifndef TAVIKUSER_TESTS_SUPPORT_POSTGRES_SERVER_H_
#define TAVIKUSER_TESTS_SUPPORT_POSTGRES_SERVER_H_

#include <string>

namespace tavikuser::testing {

// The whole text of a file (a schema, a server log); empty when unreadable.
std::string ReadFile(const std::string& path);

class PostgresServer {
 public:
  // Starts the server on the first call. Throws std::runtime_error, with the
  // server's own log, when it cannot be started; later calls throw again.
  static PostgresServer& Instance();

  // A new database, copied from one holding schema/postgresql.sql when
  // `with_schema`; returns its name.
  std::string CreateDatabase(bool with_schema);
  // Drops it, ending any session still connected to it. Never throws.
  void DropDatabase(const std::string& database) noexcept;

  // For the test's own libpq client.
  std::string ConnInfo(const std::string& database) const;
  // For the library.
  std::string ConnectionString(const std::string& database) const;

  ~PostgresServer();

 private:
  // A server this program started: stopped, and its folder removed, when
  // this goes, also after a start that failed half-way.
  struct OwnServer {
    std::string folder;
    std::string binaries;  // initdb and pg_ctl, with a trailing '/'
    bool started = false;
    ~OwnServer();
  };

  PostgresServer();
  void StartOwnServer();
  void Admin(const std::string& sql) const;

  OwnServer own_;
  std::string host_, port_, user_, password_;
  std::string template_;  // database holding the schema
  int databases_created_ = 0;
};

}  // namespace tavikuser::testing

#endif  // TAVIKUSER_TESTS_SUPPORT_POSTGRES_SERVER_H_
