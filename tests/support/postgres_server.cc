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

std::string LibpqQuoted(const std::string& value) {
  std::string quoted = "'";
  for (char c : value) {
    if (c == '\'' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "'";
}

}  // namespace

std::vector<std::vector<std::string>> RunSql(const std::string& conninfo,
                                             const std::string& sql) {
  const Connection connection = Connect(conninfo);
  std::unique_ptr<PGresult, decltype(&PQclear)> result(
      PQexec(connection.get(), sql.c_str()), &PQclear);
  const ExecStatusType status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    throw std::runtime_error(PQerrorMessage(connection.get()) +
                             std::string(" in ") + sql);
  }
  std::vector<std::vector<std::string>> rows(PQntuples(result.get()));
  for (int r = 0; r < PQntuples(result.get()); ++r) {
    for (int c = 0; c < PQnfields(result.get()); ++c) {
      rows[r].emplace_back(PQgetvalue(result.get(), r, c));
    }
  }
  return rows;
}

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
    own_ = OwnServer::Initialised();
    own_->Start();
    host_ = "127.0.0.1";
    port_ = own_->port();
    user_ = "postgres";
  }
  // Per program, so that runs sharing an existing server keep apart.
  template_ = "tavik_template_" + std::to_string(getpid());
  Admin("DROP DATABASE IF EXISTS " + template_);
  Admin("CREATE DATABASE " + template_);
  RunSql(ConnInfo(template_),
         ReadFile(TAVIK_SOURCE_DIR "/schema/postgresql.sql"));
}

OwnServer::OwnServer() {
  char folder[] = "/tmp/tavik-pg-XXXXXX";
  if (!mkdtemp(folder)) throw std::runtime_error("Cannot create a folder.");
  folder_ = folder;
  if (RunningAsRoot()) {
    const passwd* postgres = getpwnam("postgres");
    if (!postgres || chown(folder, postgres->pw_uid, postgres->pw_gid) != 0) {
      throw std::runtime_error(
          "Running as root, the PostgreSQL test server needs a postgres "
          "user to run as.");
    }
  }
  binaries_ = FindBinaries();
}

std::unique_ptr<OwnServer> OwnServer::Initialised() {
  std::unique_ptr<OwnServer> server(new OwnServer);
  if (!Run({server->binaries_ + "initdb", "-A", "trust", "-U", "postgres", "-E",
            "UTF8", "--no-sync", "-D", server->Data()},
           server->SetupLog(), kUser)) {
    throw std::runtime_error("initdb failed:\n" + ReadFile(server->SetupLog()));
  }
  return server;
}

std::unique_ptr<OwnServer> OwnServer::StandbyOf(const OwnServer& primary) {
  std::unique_ptr<OwnServer> server(new OwnServer);
  if (!Run({server->binaries_ + "pg_basebackup", "-h", "127.0.0.1", "-p",
            primary.port_, "-U", "postgres", "-D", server->Data(), "-R", "-X",
            "stream", "-c", "fast", "--no-sync"},
           server->SetupLog(), kUser)) {
    throw std::runtime_error("pg_basebackup failed:\n" +
                             ReadFile(server->SetupLog()));
  }
  return server;
}

void OwnServer::Start(const std::string& settings) {
  // Another program may take the free port first: try a few.
  for (int attempt = 0; attempt < 5 && !started_; ++attempt) {
    port_ = std::to_string(FreePort("PostgreSQL"));
    started_ = PgCtl({"-l", folder_ + "/server.log", "-w", "-o",
                      "-p " + port_ + " -k " + folder_ +
                          " -c listen_addresses=127.0.0.1 -c fsync=off"
                          " -c full_page_writes=off " +
                          settings,
                      "start"},
                     SetupLog());
  }
  if (!started_) {
    throw std::runtime_error("The PostgreSQL test server did not start:\n" +
                             ReadFile(folder_ + "/server.log"));
  }
}

bool OwnServer::PgCtl(std::vector<std::string> arguments,
                      const std::string& log) const {
  arguments.insert(arguments.begin(), {binaries_ + "pg_ctl", "-D", Data()});
  return Run(std::move(arguments), log, kUser);
}

void OwnServer::Crash() {
  started_ = false;
  if (!PgCtl({"-m", "immediate", "-w", "stop"}, SetupLog())) {
    throw std::runtime_error("The PostgreSQL test server did not stop:\n" +
                             ReadFile(SetupLog()));
  }
}

void OwnServer::Promote() {
  if (!PgCtl({"-w", "promote"}, SetupLog())) {
    throw std::runtime_error("The PostgreSQL standby was not promoted:\n" +
                             ReadFile(SetupLog()));
  }
}

OwnServer::~OwnServer() {
  if (started_) PgCtl({"-m", "immediate", "-w", "stop"}, "/dev/null");
  std::error_code ignored;
  if (!folder_.empty()) fs::remove_all(folder_, ignored);
}

std::string OwnServer::ConnInfo(const std::string& database) const {
  return "host=127.0.0.1 port=" + port_ +
         " user=postgres dbname=" + LibpqQuoted(database);
}

PostgresServer::~PostgresServer() {
  if (!own_) DropDatabase(template_);
}

void PostgresServer::Admin(const std::string& sql) const {
  RunSql(ConnInfo("postgres"), sql);
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

std::string PostgresServer::ODBCConnectionString(
    const std::string& database) const {
  // BoolsAsChar=0: a truth value is read as a number, as natively.
  std::string odbc =
      "Driver={PostgreSQL Unicode};BoolsAsChar=0;Database=" + database;
  if (!host_.empty()) odbc += ";Server=" + host_;
  if (!port_.empty()) odbc += ";Port=" + port_;
  if (!user_.empty()) odbc += ";UID=" + user_;
  if (!password_.empty()) odbc += ";PWD=" + password_;
  return odbc;
}

}  // namespace tavikuser::testing
