// The PostgreSQL server that the tests of one program share: started on
// first use (or an existing one named by TAVIK_TEST_PG_CONNECTION, libpq
// style: "host=... port=... user=... [password=...]"), and stopped, with its
// folder removed, when the program ends.
#ifndef TAVIKUSER_TESTS_SUPPORT_POSTGRES_SERVER_H_
#define TAVIKUSER_TESTS_SUPPORT_POSTGRES_SERVER_H_

#include <memory>
#include <string>
#include <vector>

namespace tavikuser::testing {

// The whole text of a file (a schema, a server log); empty when unreadable.
std::string ReadFile(const std::string& path);

// Runs `sql` on a connection of its own to `conninfo`; the rows, each value
// as text (Null as empty). Throws std::runtime_error with the server's text.
std::vector<std::vector<std::string>> RunSql(const std::string& conninfo,
                                             const std::string& sql);

// A PostgreSQL server of this program's own, in a temporary folder, on
// 127.0.0.1 and a free port, run as the postgres user when run as root. Its
// user is postgres, trusted without a password, also for replication. Each
// call throws std::runtime_error, with the tools' output, on failure.
// Stopped, and its folder removed, when it goes, also after a start that
// failed half-way.
class OwnServer {
 public:
  // A new cluster (initdb).
  static std::unique_ptr<OwnServer> Initialised();
  // A streaming standby of `primary`, from its base backup (pg_basebackup
  // -R).
  static std::unique_ptr<OwnServer> StandbyOf(const OwnServer& primary);
  ~OwnServer();

  // Starts the server, with `settings` ("-c name=value ...") beyond the
  // tests' own, and waits until it takes connections.
  void Start(const std::string& settings = "");
  // Stops it at once (pg_ctl stop -m immediate), as a crash would.
  void Crash();
  // Promotes a standby, and waits until it takes writes.
  void Promote();

  const std::string& port() const { return port_; }
  std::string ConnInfo(const std::string& database) const;

 private:
  OwnServer();
  std::string Data() const { return folder_ + "/data"; }
  std::string SetupLog() const { return folder_ + "/setup.log"; }
  // Runs pg_ctl on the server's data with `arguments`; true when it
  // succeeds.
  bool PgCtl(std::vector<std::string> arguments, const std::string& log) const;

  std::string folder_;
  std::string binaries_;  // initdb, pg_ctl ..., with a trailing '/'
  std::string port_;
  bool started_ = false;
};

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
  // For the library: natively, and through the ODBC driver.
  std::string ConnectionString(const std::string& database) const;
  std::string ODBCConnectionString(const std::string& database) const;

  ~PostgresServer();

 private:
  PostgresServer();
  void Admin(const std::string& sql) const;

  std::unique_ptr<OwnServer> own_;
  std::string host_, port_, user_, password_;
  std::string template_;  // database holding the schema
  int databases_created_ = 0;
};

}  // namespace tavikuser::testing

#endif  // TAVIKUSER_TESTS_SUPPORT_POSTGRES_SERVER_H_
