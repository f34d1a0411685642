#include "servers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <thread>

namespace tavikuser::testing {

// How one kind of server is run and ended at once, and its databases made;
// the library's connection strings (native, ODBC) lack the port and database.
struct ServerKind {
  const char *name, *user;  // user: the one to run as when run as root
  int stop_signal;
  const char *schema, *drop_options, *native, *odbc;
};

namespace {

// A TCP port on 127.0.0.1 that nothing listens on right now.
std::string FreePort() {
  const int probe = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  const bool found =
      bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  close(probe);
  if (!found) throw std::runtime_error("No free TCP port for a test server.");
  return std::to_string(ntohs(address.sin_port));
}

// SIGQUIT: the immediate shutdown, which ends the server's sessions too.
// BoolsAsChar=0: a truth value is read as a number, as natively.
constexpr ServerKind kPostgreSQL(
    "PostgreSQL", "postgres", SIGQUIT,
    TAVIK_SOURCE_DIR "/schema/postgresql.sql", " WITH (FORCE)",
    "Provider=PostgreSQL;Host=127.0.0.1;User ID=postgres",
    "Driver={PostgreSQL Unicode};BoolsAsChar=0;Server=127.0.0.1;UID=postgres");

// The PostgreSQL programs of the newest version installed the Debian way,
// or whatever PATH finds.
std::string Binaries() {
  std::map<int, std::string> installed{{0, ""}};  // by version
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator("/usr/lib/postgresql", error)) {
    if (exists(entry.path() / "bin/initdb")) {
      installed[std::atoi(entry.path().filename().c_str())] =
          entry.path() / "bin/";
    }
  }
  return installed.rbegin()->second;
}

Client Connect(const std::string& conninfo) {
  const std::shared_ptr<PGconn> connection(PQconnectdb(conninfo.c_str()),
                                           &PQfinish);
  if (PQstatus(connection.get()) != CONNECTION_OK) {
    throw std::runtime_error("Cannot connect to PostgreSQL: " +
                             std::string(PQerrorMessage(connection.get())));
  }
  // "does not exist, skipping" and the like are expected here.
  PQsetNoticeProcessor(
      connection.get(), [](void*, const char*) {}, nullptr);
  return [connection](const std::string& sql) {
    const std::unique_ptr<PGresult, decltype(&PQclear)> result(
        PQexec(connection.get(), sql.c_str()), &PQclear);
    PGresult* const got = result.get();
    if (PQresultStatus(got) != PGRES_COMMAND_OK &&
        PQresultStatus(got) != PGRES_TUPLES_OK) {
      throw std::runtime_error(PQerrorMessage(connection.get()) +
                               std::string(" in ") + sql);
    }
    Rows rows(PQntuples(got));
    for (int r = 0; r < PQntuples(got); ++r) {
      for (int c = 0; c < PQnfields(got); ++c) {
        rows[r].push_back(PQgetisnull(got, r, c) ? std::nullopt
                                                 : std::optional<std::string>(
                                                       PQgetvalue(got, r, c)));
      }
    }
    return rows;
  };
}

// The tests and the library connect as tavik, over TCP. OPTION=2 (found
// rows): an update counts the rows it matched, as the native store asks for.
constexpr ServerKind kMariaDB(
    "MariaDB", "mysql", SIGKILL, TAVIK_SOURCE_DIR "/schema/mariadb.sql", "",
    "Provider=MariaDB;Server=127.0.0.1;User ID=tavik;Password=tavik-pass",
    "Driver={MariaDB Unicode};Server=127.0.0.1;User=tavik;Password=tavik-pass;"
    "OPTION=2");

}  // namespace

std::string ReadFile(const std::string& path) {
  std::ifstream file(path);
  return {std::istreambuf_iterator<char>(file), {}};
}

ServerProcess::ServerProcess(const ServerKind& kind) : kind_(kind) {
  std::string folder = "/tmp/tavik-" + std::string(kind.name) + "-XXXXXX";
  if (!mkdtemp(folder.data())) throw std::runtime_error("No folder.");
  folder_ = folder;
  log_ = folder_ + "/server.log";
  if (geteuid() != 0) return;
  const passwd* user = getpwnam(kind.user);
  if (!user || chown(folder_.c_str(), user->pw_uid, user->pw_gid) != 0) {
    std::filesystem::remove(folder_);
    throw std::runtime_error(std::string("Running as root, the ") + kind.name +
                             " test server needs a " + kind.user +
                             " user to run as.");
  }
  uid_ = user->pw_uid;
  gid_ = user->pw_gid;
}

ServerProcess::~ServerProcess() {
  if (getpid() != owner_) return;
  Crash();
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

void ServerProcess::Crash() {
  if (process_ > 0 && kill(process_, kind_.stop_signal) == 0) {
    waitpid(process_, nullptr, 0);
  }
  process_ = -1;
}

pid_t ServerProcess::Spawn(std::vector<std::string> arguments) const {
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t child = fork();
  if (child != 0) return child;
  // Only calls that are safe in the child of a program with threads. A test
  // program that is killed takes its server along (asked for after the
  // change of user, which forgets it), rather than leaving it running.
  const int log = open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (log < 0 || dup2(log, STDOUT_FILENO) < 0 || dup2(log, STDERR_FILENO) < 0 ||
      chdir(folder_.c_str()) != 0 ||
      (uid_ != 0 && (setgroups(0, nullptr) != 0 || setgid(gid_) != 0 ||
                     setuid(uid_) != 0)) ||
      prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent) {
    _exit(126);
  }
  execvp(argv[0], argv.data());
  _exit(127);
}

void ServerProcess::Run(std::vector<std::string> arguments) const {
  const std::string program = arguments.front();
  const pid_t child = Spawn(std::move(arguments));
  int status = -1;
  if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    throw std::runtime_error(program + " failed:\n" + ReadFile(log_));
  }
}

void ServerProcess::Start(std::vector<std::string> arguments) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::minutes(1);
  const std::string last = arguments.back();
  // Another program may take the free port first: a server that ends at
  // once is tried again on another.
  for (int attempt = 0; attempt < 3 && process_ < 0; ++attempt) {
    port_ = FreePort();
    arguments.back() = last + port_;
    process_ = Spawn(arguments);
    while (process_ > 0 && std::chrono::steady_clock::now() < deadline) {
      try {
        Open("");
        return;
      } catch (const std::exception&) {
        if (waitpid(process_, nullptr, WNOHANG) == process_) process_ = -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
    }
  }
  throw std::runtime_error(std::string("The ") + kind_.name +
                           " test server did not start:\n" + ReadFile(log_));
}

std::string ServerProcess::CreateDatabase(bool with_schema) {
  const std::string name = "tavik_" + std::to_string(++databases_created_);
  Open("")("CREATE DATABASE " + name);
  if (with_schema) Open(name)(ReadFile(kind_.schema));
  return name;
}

void ServerProcess::DropDatabase(const std::string& database) noexcept {
  try {
    Open("")("DROP DATABASE IF EXISTS " + database + kind_.drop_options);
  } catch (const std::exception&) {
    // Left behind on a server that will be stopped and removed anyway.
  }
}

std::string ServerProcess::ConnectionString(const std::string& database) const {
  return kind_.native + (";Port=" + port_ + ";Database=" + database);
}

std::string ServerProcess::ODBCConnectionString(
    const std::string& database) const {
  return kind_.odbc + (";Port=" + port_ + ";Database=" + database);
}

Rows RunSql(const std::string& conninfo, const std::string& sql) {
  return Connect(conninfo)(sql);
}

PostgresServer::PostgresServer(const PostgresServer* primary)
    : ServerProcess(kPostgreSQL) {
  const std::string binaries = Binaries(), data = folder_ + "/data";
  if (primary) {
    Run({binaries + "pg_basebackup", "-h", "127.0.0.1", "-p", primary->port(),
         "-U", "postgres", "-D", data, "-R", "-X", "stream", "-c", "fast",
         "--no-sync"});
  } else {
    Run({binaries + "initdb", "-A", "trust", "-U", "postgres", "-E", "UTF8",
         "--no-sync", "-D", data});
  }
  // Durability is of no use to a test, and costs time at every commit.
  Start({binaries + "postgres", "-D", data, "-k", folder_, "-c",
         "listen_addresses=127.0.0.1", "-c", "fsync=off", "-c",
         "full_page_writes=off", "-p"});
}

void PostgresServer::Promote() {
  if (Open("")("SELECT pg_promote()").at(0).at(0) != "t") {
    throw std::runtime_error("The PostgreSQL standby was not promoted:\n" +
                             ReadFile(log_));
  }
}

std::string PostgresServer::ConnInfo(const std::string& database) const {
  return "host=127.0.0.1 port=" + port() +
         " user=postgres dbname=" + (database.empty() ? "postgres" : database);
}

Client PostgresServer::Open(const std::string& database) const {
  return Connect(ConnInfo(database));
}

Rows MariaDBExec(MYSQL* link, const std::string& sql) {
  Rows rows;
  int status = mysql_real_query(link, sql.data(), sql.size());
  for (; status == 0; status = mysql_next_result(link)) {
    const std::unique_ptr<MYSQL_RES, decltype(&mysql_free_result)> result(
        mysql_store_result(link), &mysql_free_result);
    if (!result) continue;
    rows.clear();
    while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
      const unsigned long* lengths = mysql_fetch_lengths(result.get());
      auto& values = rows.emplace_back();
      for (unsigned i = 0; i < mysql_num_fields(result.get()); ++i) {
        values.push_back(
            row[i] ? std::optional<std::string>(std::string(row[i], lengths[i]))
                   : std::nullopt);
      }
    }
  }
  if (status > 0) {
    throw std::runtime_error(mysql_error(link) + std::string(" in ") + sql);
  }
  return rows;
}

MariaDBServer::MariaDBServer() : ServerProcess(kMariaDB) {
  const std::string data = folder_ + "/data", init = folder_ + "/init.sql";
  // A server deletes every temporary table file in its tmpdir as it starts:
  // in a shared /tmp, those of another server still running (a test run's,
  // or one of the machine's own).
  Run({"mariadb-install-db", "--no-defaults", "--datadir=" + data,
       "--tmpdir=" + folder_, "--skip-test-db"});
  // One statement a line, as the server reads this file.
  std::ofstream(init)
      << "CREATE USER tavik@'127.0.0.1' IDENTIFIED BY "
         "'tavik-pass';\nGRANT ALL ON *.* TO tavik@'127.0.0.1';\n";
  // As for PostgreSQL, no durability. utf8mb4: tables a test makes itself hold
  // any text, as the host tables do.
  Start({"mariadbd", "--no-defaults", "--datadir=" + data,
         "--tmpdir=" + folder_, "--init-file=" + init,
         "--socket=" + folder_ + "/server.sock", "--bind-address=127.0.0.1",
         "--skip-name-resolve", "--skip-log-bin",
         "--innodb-flush-log-at-trx-commit=0", "--innodb-doublewrite=0",
         "--innodb-buffer-pool-size=64M", "--max-connections=500",
         "--character-set-server=utf8mb4", "--port="});
}

MariaDBLink MariaDBServer::Connect(const std::string& database) const {
  MariaDBLink link(mysql_init(nullptr), &mysql_close);
  mysql_optionsv(link.get(), MYSQL_SET_CHARSET_NAME, "utf8mb4");
  if (!mysql_real_connect(link.get(), "127.0.0.1", "tavik", "tavik-pass",
                          database.empty() ? nullptr : database.c_str(),
                          std::stoi(port()), nullptr,
                          CLIENT_MULTI_STATEMENTS)) {
    throw std::runtime_error("Cannot connect to MariaDB: " +
                             std::string(mysql_error(link.get())));
  }
  // Not to be taken along by the programs that tests run in a child.
  const int descriptor = mysql_get_socket(link.get());
  fcntl(descriptor, F_SETFD, fcntl(descriptor, F_GETFD) | FD_CLOEXEC);
  return link;
}

Client MariaDBServer::Open(const std::string& database) const {
  return [link = std::shared_ptr<MYSQL>(Connect(database))](
             const std::string& sql) { return MariaDBExec(link.get(), sql); };
}

}  // namespace tavikuser::testing
