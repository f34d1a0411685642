// The test servers (PostgreSQL, MariaDB): each runs in a temporary folder,
// on 127.0.0.1 and a free port, as its own user when run as root (neither
// runs as root), with its output in a log that a failure to start shows; it
// is stopped, and its folder removed, when it goes.
#ifndef TAVIKUSER_TESTS_SUPPORT_SERVERS_H_
#define TAVIKUSER_TESTS_SUPPORT_SERVERS_H_

#include <mysql.h>
#include <sys/types.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tavikuser::testing {

using Rows = std::vector<std::vector<std::optional<std::string>>>;

// A connection of the test's own, through the store's client library rather
// than the code under test: runs SQL, which may hold several statements, and
// returns the rows of the last query. Throws std::runtime_error on an error.
using Client = std::function<Rows(const std::string& sql)>;

// The whole text of a file (a schema, a server log); empty when unreadable.
std::string ReadFile(const std::string& path);

struct ServerKind;  // how one kind of server is run (servers.cc)

class ServerProcess {
 public:
  virtual ~ServerProcess();

  const std::string& port() const { return port_; }
  // A client connection to `database`, or to none when it is empty.
  virtual Client Open(const std::string& database) const = 0;
  std::string ConnectionString(const std::string& database) const;
  std::string ODBCConnectionString(const std::string& database) const;
  // A new database, holding the host tables when `with_schema`; its name.
  std::string CreateDatabase(bool with_schema);
  // Drops it, ending any session still connected to it. Never throws.
  void DropDatabase(const std::string& database) noexcept;
  // Stops the server at once, as a crash would.
  void Crash();

 protected:
  explicit ServerProcess(const ServerKind& kind);
  // Runs a setup program to its end; throws with the log when it fails.
  void Run(std::vector<std::string> arguments) const;
  // Starts the server, whose last argument the port completes, and waits
  // until Open("") succeeds. Throws with the log when the server ends (on a
  // few ports) or takes no connection within a minute.
  void Start(std::vector<std::string> arguments);

  std::string folder_, log_;

 private:
  pid_t Spawn(std::vector<std::string> arguments) const;

  const ServerKind& kind_;
  // A child made by fork() that ends the normal way leaves it running.
  const pid_t owner_ = getpid();
  uid_t uid_ = 0;  // the user to run as; 0: this program's own
  gid_t gid_ = 0;
  pid_t process_ = -1;
  std::string port_;
  int databases_created_ = 0;
};

// The `Server` that the tests of one program share, started on the first
// call. When it cannot be started, this and every later call throw.
template <class Server>
Server& Shared() {
  static std::string failure;
  if (!failure.empty()) throw std::runtime_error(failure);
  try {
    static Server server;
    return server;
  } catch (const std::exception& error) {
    failure = error.what();
    throw;
  }
}

// Runs `sql` on a connection of its own to `conninfo`, as a Client does.
Rows RunSql(const std::string& conninfo, const std::string& sql);

// PostgreSQL, whose user postgres is trusted without a password, also for
// replication: the shared server, and those that a test starts for itself.
class PostgresServer final : public ServerProcess {
 public:
  static PostgresServer& Instance() { return Shared<PostgresServer>(); }
  // A new cluster, or a streaming standby of `primary`; started.
  explicit PostgresServer(const PostgresServer* primary = nullptr);
  // Promotes a standby, and waits until it takes writes.
  void Promote();
  // For the test's own libpq client; the database "postgres" when empty.
  std::string ConnInfo(const std::string& database) const;
  Client Open(const std::string& database) const override;
};

using MariaDBLink = std::unique_ptr<MYSQL, decltype(&mysql_close)>;

// Runs `sql` on `link`, as a Client does.
Rows MariaDBExec(MYSQL* link, const std::string& sql);

class MariaDBServer final : public ServerProcess {
 public:
  static MariaDBServer& Instance() { return Shared<MariaDBServer>(); }
  MariaDBServer();
  // The test's own client connection, which takes several statements at
  // once, to `database` or to none when it is empty.
  MariaDBLink Connect(const std::string& database) const;
  Client Open(const std::string& database) const override;
};

}  // namespace tavikuser::testing

#endif  // TAVIKUSER_TESTS_SUPPORT_SERVERS_H_
