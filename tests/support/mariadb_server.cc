#include "mariadb_server.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <vector>

#include "postgres_server.h"
#include "server_process.h"

namespace tavikuser::testing {
namespace {

namespace fs = std::filesystem;

constexpr char kUser[] = "mysql";
// The account the tests and the library connect with, over TCP.
constexpr char kAccount[] = "tavik";
constexpr char kPassword[] = "tavik-pass";

MariaDBLink Link(const char* host, int port, const char* socket,
                 const char* user, const char* password, const char* database) {
  MariaDBLink link(mysql_init(nullptr), &mysql_close);
  mysql_optionsv(link.get(), MYSQL_SET_CHARSET_NAME, "utf8mb4");
  if (!mysql_real_connect(link.get(), host, user, password, database, port,
                          socket, CLIENT_MULTI_STATEMENTS)) {
    throw std::runtime_error("Cannot connect to the MariaDB test server: " +
                             std::string(mysql_error(link.get())));
  }
  // Not to be taken along by the programs that tests run in a child.
  const int descriptor = mysql_get_socket(link.get());
  fcntl(descriptor, F_SETFD, fcntl(descriptor, F_GETFD) | FD_CLOEXEC);
  return link;
}

}  // namespace

void MariaDBExec(MYSQL* link, const std::string& sql) {
  int status = mysql_real_query(link, sql.data(), sql.size());
  while (status == 0) {
    mysql_free_result(mysql_store_result(link));
    status = mysql_next_result(link);
  }
  if (status > 0) {
    throw std::runtime_error(mysql_error(link) + std::string(" in ") + sql);
  }
}

MariaDBServer& MariaDBServer::Instance() {
  static std::string failure;
  if (!failure.empty()) throw std::runtime_error(failure);
  try {
    static MariaDBServer server;
    return server;
  } catch (const std::exception& error) {
    failure = error.what();
    throw;
  }
}

MariaDBServer::MariaDBServer() {
  char folder[] = "/tmp/tavik-mariadb-XXXXXX";
  if (!mkdtemp(folder)) throw std::runtime_error("Cannot create a folder.");
  own_.folder = folder;
  if (RunningAsRoot()) {
    const passwd* mysql = getpwnam(kUser);
    if (!mysql || chown(folder, mysql->pw_uid, mysql->pw_gid) != 0) {
      throw std::runtime_error(
          "Running as root, the MariaDB test server needs a mysql user to "
          "run as.");
    }
  }
  const std::string data = own_.folder + "/data";
  const std::string socket = own_.folder + "/server.sock";
  const std::string log = own_.folder + "/server.log";
  if (!Run({"mariadb-install-db", "--no-defaults", "--datadir=" + data,
            "--auth-root-authentication-method=normal", "--skip-test-db"},
           log, kUser)) {
    throw std::runtime_error("mariadb-install-db failed:\n" + ReadFile(log));
  }
  port_ = FreePort("MariaDB");
  // Durability is of no use to a test, and costs time at every commit.
  std::vector<std::string> arguments = {"mariadbd",
                                        "--no-defaults",
                                        "--datadir=" + data,
                                        "--socket=" + socket,
                                        "--port=" + std::to_string(port_),
                                        "--bind-address=127.0.0.1",
                                        "--skip-log-bin",
                                        "--innodb-flush-log-at-trx-commit=0",
                                        "--innodb-doublewrite=0",
                                        "--innodb-buffer-pool-size=64M",
                                        "--skip-name-resolve",
                                        "--max-connections=500",
                                        "--log-error=" + log};
  // Started as itself, changing to the mysql user on its own, so that the
  // process that this program ends is the server's.
  if (RunningAsRoot()) arguments.push_back(std::string("--user=") + kUser);
  own_.process = Spawn(std::move(arguments), log, nullptr);
  if (own_.process < 0) throw std::runtime_error("mariadbd did not start.");
  MariaDBLink root(nullptr, &mysql_close);
  for (int wait = 0; !root; ++wait) {
    try {
      root = Link(nullptr, 0, socket.c_str(), "root", "", nullptr);
    } catch (const std::runtime_error&) {
      const bool ended =
          waitpid(own_.process, nullptr, WNOHANG) == own_.process;
      if (ended) own_.process = -1;
      if (ended || wait == 300) {
        throw std::runtime_error("The MariaDB test server did not start:\n" +
                                 ReadFile(log));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  MariaDBExec(root.get(), "CREATE USER '" + std::string(kAccount) +
                              "'@'127.0.0.1' IDENTIFIED BY '" + kPassword +
                              "'; GRANT ALL ON *.* TO '" + kAccount +
                              "'@'127.0.0.1'");
}

MariaDBServer::OwnServer::~OwnServer() {
  if (getpid() != owner) return;
  if (process > 0) {
    kill(process, SIGKILL);
    waitpid(process, nullptr, 0);
  }
  std::error_code ignored;
  if (!folder.empty()) fs::remove_all(folder, ignored);
}

std::string MariaDBServer::CreateDatabase(bool with_schema) {
  const std::string name = "tavik_" + std::to_string(getpid()) + "_" +
                           std::to_string(++databases_created_);
  // Tables a test makes itself hold any text, as the host tables do.
  MariaDBExec(Connect("").get(),
              "CREATE DATABASE " + name + " CHARACTER SET utf8mb4");
  if (with_schema) {
    MariaDBExec(Connect(name).get(),
                ReadFile(TAVIK_SOURCE_DIR "/schema/mariadb.sql"));
  }
  return name;
}

void MariaDBServer::DropDatabase(const std::string& database) noexcept {
  try {
    MariaDBExec(Connect("").get(), "DROP DATABASE IF EXISTS " + database);
  } catch (const std::exception&) {
    // Left behind on a server that will be stopped and removed anyway.
  }
}

MariaDBLink MariaDBServer::Connect(const std::string& database) const {
  return Link("127.0.0.1", port_, nullptr, kAccount, kPassword,
              database.empty() ? nullptr : database.c_str());
}

std::string MariaDBServer::ConnectionString(const std::string& database) const {
  return "Provider=MariaDB;Server=127.0.0.1;Port=" + std::to_string(port_) +
         ";Database=" + database + ";User ID=" + kAccount +
         ";Password=" + kPassword;
}

std::string MariaDBServer::ODBCConnectionString(
    const std::string& database) const {
  // OPTION=2 (found rows): an update counts the rows it matched, as the
  // native store asks for.
  return "Driver={MariaDB Unicode};Server=127.0.0.1;Port=" +
         std::to_string(port_) + ";Database=" + database + ";User=" + kAccount +
         ";Password=" + kPassword + ";OPTION=2";
}

}  // namespace tavikuser::testing
