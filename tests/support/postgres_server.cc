#include "postgres_server.h"

#include <libpq-fe.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "server_process.h"

namespace tavikuser::testing {
namespace {

namespace fs = std::filesystem;

// The PostgreSQL programs of the newest version installed the Debian way,
// or whatever PATH finds.
std::string FindBinaries() {
  std::string newest;
  int newest_version = 0;
  std::error_code error;
  for (const auto& entry :
       fs::directory_iterator("/usr/lib/postgresql", error)) {
    const int version = std::atoi(entry.path().filename().c_str());
    if (version > newest_version && fs::exists(entry.path() / "bin/initdb")) {
      newest_version = version;
      newest = (entry.path() / "bin/").string();
    }
  }
  return newest;
}

constexpr char kUser[] = "postgres";

using Connection = std::unique_ptr<PGconn, decltype(&PQfinish)>;

Connection Connect(const std::string& conninfo) {
  Connection connection(PQconnectdb(conninfo.c_str()), &PQfinish);
  if (PQstatus(connection.get()) != CONNECTION_OK) {
    throw std::runtime_error("Cannot connect to the PostgreSQL test server: " +
                             std::string(PQerrorMessage(connection.get())));
  }
  // "does not exist, skipping" and the like are expected here.
  PQsetNoticeProcessor(
      connection.get(), [](void*, const char*) {}, nullptr);
  return connection;
}

void Exec(PGconn* connection, const std::string& sql) {
  std::unique_ptr<PGresult, decltype(&PQclear)> result(
      PQexec(connection, sql.c_str()), &PQclear);
  const ExecStatusType status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    throw std::runtime_error(PQerrorMessage(connection));
  }
}

std::string LibpqQuoted(const std::string& value) {
  std::string quoted = "'";
  for (char c : value) {
    if (c == '\'' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "'";
}

}  // namespace

std::string ReadFile(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

PostgresServer& PostgresServer::Instance() {
  static std::string failure;
  if (!failure.empty()) throw std::runtime_error(failure);
  try {
    static PostgresServer server;
    return server;
  } catch (const std::exception& error) {
    failure = error.what();
    throw;
  }
}

PostgresServer::PostgresServer() {
  if (const char* existing = std::getenv("TAVIK_TEST_PG_CONNECTION")) {
    char* error = nullptr;
    PQconninfoOption* options = PQconninfoParse(existing, &error);
    if (!options) {
      std::string text = error ? error : "out of memory";
      PQfreemem(error);
      throw std::runtime_error("TAVIK_TEST_PG_CONNECTION: " + text);
    }
    for (PQconninfoOption* option = options; option->keyword; ++option) {
      if (!option->val) continue;
      const std::string keyword = option->keyword;
      if (keyword == "host") host_ = option->val;
      if (keyword == "port") port_ = option->val;
      if (keyword == "user") user_ = option->val;
      if (keyword == "password") password_ = option->val;
    }
    PQconninfoFree(options);
  } else {
    StartOwnServer();
  }
  // Per program, so that runs sharing an existing server keep apart.
  template_ = "tavik_template_" + std::to_string(getpid());
  Admin("DROP DATABASE IF EXISTS " + template_);
  Admin("CREATE DATABASE " + template_);
  Connection schema = Connect(ConnInfo(template_));
  Exec(schema.get(), ReadFile(TAVIK_SOURCE_DIR "/schema/postgresql.sql"));
}

void PostgresServer::StartOwnServer() {
  char folder[] = "/tmp/tavik-pg-XXXXXX";
  if (!mkdtemp(folder)) throw std::runtime_error("Cannot create a folder.");
  own_.folder = folder;
  if (RunningAsRoot()) {
    const passwd* postgres = getpwnam("postgres");
    if (!postgres || chown(folder, postgres->pw_uid, postgres->pw_gid) != 0) {
      throw std::runtime_error(
          "Running as root, the PostgreSQL test server needs a postgres "
          "user to run as.");
    }
  }
  own_.binaries = FindBinaries();
  const std::string data = own_.folder + "/data";
  const std::string setup_log = own_.folder + "/setup.log";
  if (!Run({own_.binaries + "initdb", "-A", "trust", "-U", "postgres", "-E",
            "UTF8", "--no-sync", "-D", data},
           setup_log, kUser)) {
    throw std::runtime_error("initdb failed:\n" + ReadFile(setup_log));
  }
  // Another program may take the free port first: try a few.
  for (int attempt = 0; attempt < 5 && !own_.started; ++attempt) {
    port_ = std::to_string(FreePort("PostgreSQL"));
    own_.started = Run({own_.binaries + "pg_ctl", "-D", data, "-l",
                        own_.folder + "/server.log", "-w", "-o",
                        "-p " + port_ + " -k " + own_.folder +
                            " -c listen_addresses=127.0.0.1 -c fsync=off"
                            " -c full_page_writes=off",
                        "start"},
                       setup_log, kUser);
  }
  if (!own_.started) {
    throw std::runtime_error("The PostgreSQL test server did not start:\n" +
                             ReadFile(own_.folder + "/server.log"));
  }
  host_ = "127.0.0.1";
  user_ = "postgres";
}

PostgresServer::OwnServer::~OwnServer() {
  if (started) {
    Run({binaries + "pg_ctl", "-D", folder + "/data", "-m", "immediate", "-w",
         "stop"},
        "/dev/null", kUser);
  }
  std::error_code ignored;
  if (!folder.empty()) fs::remove_all(folder, ignored);
}

PostgresServer::~PostgresServer() {
  if (!own_.started) DropDatabase(template_);
}

void PostgresServer::Admin(const std::string& sql) const {
  Exec(Connect(ConnInfo("postgres")).get(), sql);
}

std::string PostgresServer::CreateDatabase(bool with_schema) {
  const std::string name = "tavik_" + std::to_string(getpid()) + "_" +
                           std::to_string(++databases_created_);
  Admin("CREATE DATABASE " + name +
        (with_schema ? " TEMPLATE " + template_ : std::string()));
  return name;
}

void PostgresServer::DropDatabase(const std::string& database) noexcept {
  try {
    Admin("DROP DATABASE IF EXISTS " + database + " WITH (FORCE)");
  } catch (const std::exception&) {
    // Left behind on a server that will be stopped and removed anyway.
  }
}

std::string PostgresServer::ConnInfo(const std::string& database) const {
  std::string conninfo = "dbname=" + LibpqQuoted(database);
  if (!host_.empty()) conninfo += " host=" + LibpqQuoted(host_);
  if (!port_.empty()) conninfo += " port=" + LibpqQuoted(port_);
  if (!user_.empty()) conninfo += " user=" + LibpqQuoted(user_);
  if (!password_.empty()) conninfo += " password=" + LibpqQuoted(password_);
  return conninfo;
}

std::string PostgresServer::ConnectionString(
    const std::string& database) const {
  std::string connection = "Provider=PostgreSQL;Database=" + database;
  if (!host_.empty()) connection += ";Host=" + host_;
  if (!port_.empty()) connection += ";Port=" + port_;
  if (!user_.empty()) connection += ";User ID=" + user_;
  if (!password_.empty()) {
    std::string quoted;
    for (char c : password_)
      quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    connection += ";Password=\"" + quoted + "\"";
  }
  return connection;
}

}  // namespace tavikuser::testing
