// The MariaDB server that the tests of one program share: started on first
// use (mariadb-install-db and mariadbd in a temporary folder, on 127.0.0.1
// and a free port, as the mysql user when run as root), and stopped, with
// its folder removed, when the program ends.
#ifndef TAVIKUSER_TESTS_SUPPORT_MARIADB_SERVER_H_
#define TAVIKUSER_TESTS_SUPPORT_MARIADB_SERVER_H_

#include <mysql.h>
#include <sys/types.h>
#include <unistd.h>

#include <memory>
#include <string>

namespace tavikuser::testing {

using MariaDBLink = std::unique_ptr<MYSQL, decltype(&mysql_close)>;

class MariaDBServer {
 public:
  // Starts the server on the first call. Throws std::runtime_error, with the
  // server's own log, when it cannot be started; later calls throw again.
  static MariaDBServer& Instance();

  // A new database, holding schema/mariadb.sql when `with_schema`; returns
  // its name.
  std::string CreateDatabase(bool with_schema);
  // Never throws.
  void DropDatabase(const std::string& database) noexcept;

  // The test's own client connection, which takes several statements at
  // once. Throws std::runtime_error.
  MariaDBLink Connect(const std::string& database) const;
  // For the library.
  std::string ConnectionString(const std::string& database) const;

 private:
  MariaDBServer();

  // The server: stopped, and its folder removed, when this goes, also after
  // a start that failed half-way.
  struct OwnServer {
    std::string folder;
    pid_t process = -1;
    // The program that started it: a child made by fork() that ends the
    // normal way leaves it running.
    pid_t owner = getpid();
    ~OwnServer();
  };

  OwnServer own_;
  int port_ = 0;
  int databases_created_ = 0;
};

// Runs `sql`, which may hold several statements, reading and dropping any
// rows; throws std::runtime_error with the server's text.
void MariaDBExec(MYSQL* link, const std::string& sql);

}  // namespace tavikuser::testing

#endif  // TAVIKUSER_TESTS_SUPPORT_MARIADB_SERVER_H_
