#include "test_store.h"

#include <libpq-fe.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "mariadb_server.h"
#include "postgres_server.h"

namespace tavikuser::testing {
namespace {

namespace fs = std::filesystem;

// The folder that holds this program's SQLite stores; removed when the
// program ends.
class SQLiteFolder {
 public:
  static const std::string& Path() {
    static SQLiteFolder folder;
    return folder.path_;
  }
  ~SQLiteFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }

 private:
  SQLiteFolder() {
    char path[] = "/tmp/tavik-sqlite-XXXXXX";
    if (!mkdtemp(path)) throw std::runtime_error("Cannot create a folder.");
    path_ = path;
  }
  std::string path_;
};

// The ODBC data sources of the tests, in an odbc.ini of their own that
// unixODBC reads instead of the user's.
class ODBCSources {
 public:
  // The name of the DSN for the SQLite driver, which a connection string
  // completes with the Database.
  static const char* SQLite() {
    static const bool written = [] {
      const std::string ini = SQLiteFolder::Path() + "/odbc.ini";
      std::ofstream(ini) << "[TavikSQLite]\nDriver=SQLite3\n";
      setenv("ODBCINI", ini.c_str(), 1);
      return true;
    }();
    static_cast<void>(written);
    return "TavikSQLite";
  }
};

// A store through its ODBC driver: arranged and inspected natively.
class ODBCRoute final : public TestStore {
 public:
  ODBCRoute(Backend backend, std::unique_ptr<TestStore> native)
      : TestStore(backend, native->odbc_connection_string(),
                  native->odbc_connection_string()),
        native_(std::move(native)) {}

  void Exec(const std::string& sql) override { native_->Exec(sql); }
  Rows Query(const std::string& sql) override { return native_->Query(sql); }

 private:
  std::unique_ptr<TestStore> native_;
};

class SQLiteStore final : public TestStore {
 public:
  explicit SQLiteStore(std::string path)
      : TestStore(
            Backend::kSQLite, "Provider=SQLite;Data Source=" + path,
            "DSN=" + std::string(ODBCSources::SQLite()) + ";Database=" + path),
        path_(std::move(path)) {}

  void Exec(const std::string& sql) override { Run(sql, nullptr); }

  Rows Query(const std::string& sql) override {
    Rows rows;
    Run(sql, &rows);
    return rows;
  }

 private:
  void Run(const std::string& sql, Rows* rows) {
    sqlite3* database = nullptr;
    sqlite3_open(path_.c_str(), &database);
    // The library's own connections may hold the write lock for a while.
    sqlite3_busy_timeout(database, 10000);
    char* error = nullptr;
    const auto collect = [](void* rows, int count, char** values, char**) {
      auto& row = static_cast<Rows*>(rows)->emplace_back();
      for (int i = 0; i < count; ++i) {
        row.push_back(values[i] ? std::optional<std::string>(values[i])
                                : std::nullopt);
      }
      return 0;
    };
    const int status = sqlite3_exec(database, sql.c_str(),
                                    rows ? +collect : nullptr, rows, &error);
    const std::string text = error ? error : sqlite3_errmsg(database);
    sqlite3_free(error);
    sqlite3_close(database);
    if (status != SQLITE_OK) throw std::runtime_error(text + " in " + sql);
  }

  std::string path_;
};

class PostgreSQLStore final : public TestStore {
 public:
  PostgreSQLStore(PostgresServer& server, std::string database)
      : TestStore(Backend::kPostgreSQL, server.ConnectionString(database),
                  server.ODBCConnectionString(database)),
        server_(server),
        database_(std::move(database)),
        connection_(PQconnectdb(server.ConnInfo(database_).c_str()),
                    &PQfinish) {
    if (PQstatus(connection_.get()) != CONNECTION_OK) {
      throw std::runtime_error(PQerrorMessage(connection_.get()));
    }
  }

  ~PostgreSQLStore() override {
    connection_.reset();
    server_.DropDatabase(database_);
  }

  void Exec(const std::string& sql) override { Run(sql); }

  Rows Query(const std::string& sql) override {
    std::unique_ptr<PGresult, decltype(&PQclear)> result = Run(sql);
    Rows rows(PQntuples(result.get()));
    for (int r = 0; r < PQntuples(result.get()); ++r) {
      for (int c = 0; c < PQnfields(result.get()); ++c) {
        rows[r].push_back(
            PQgetisnull(result.get(), r, c)
                ? std::nullopt
                : std::optional<std::string>(PQgetvalue(result.get(), r, c)));
      }
    }
    return rows;
  }

 private:
  std::unique_ptr<PGresult, decltype(&PQclear)> Run(const std::string& sql) {
    std::unique_ptr<PGresult, decltype(&PQclear)> result(
        PQexec(connection_.get(), sql.c_str()), &PQclear);
    const ExecStatusType status = PQresultStatus(result.get());
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      throw std::runtime_error(PQerrorMessage(connection_.get()) +
                               std::string(" in ") + sql);
    }
    return result;
  }

  PostgresServer& server_;
  std::string database_;
  std::unique_ptr<PGconn, decltype(&PQfinish)> connection_;
};

class MariaDBStore final : public TestStore {
 public:
  MariaDBStore(MariaDBServer& server, std::string database)
      : TestStore(Backend::kMariaDB, server.ConnectionString(database),
                  server.ODBCConnectionString(database)),
        server_(server),
        database_(std::move(database)),
        link_(server.Connect(database_)) {}

  ~MariaDBStore() override {
    link_.reset();
    server_.DropDatabase(database_);
  }

  void Exec(const std::string& sql) override { MariaDBExec(link_.get(), sql); }

  Rows Query(const std::string& sql) override {
    if (mysql_real_query(link_.get(), sql.data(), sql.size())) {
      throw std::runtime_error(mysql_error(link_.get()) + std::string(" in ") +
                               sql);
    }
    std::unique_ptr<MYSQL_RES, decltype(&mysql_free_result)> result(
        mysql_store_result(link_.get()), &mysql_free_result);
    Rows rows;
    const unsigned count = result ? mysql_num_fields(result.get()) : 0;
    while (MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr) {
      const unsigned long* lengths = mysql_fetch_lengths(result.get());
      auto& values = rows.emplace_back();
      for (unsigned i = 0; i < count; ++i) {
        values.push_back(
            row[i] ? std::optional<std::string>(std::string(row[i], lengths[i]))
                   : std::nullopt);
      }
    }
    return rows;
  }

 private:
  MariaDBServer& server_;
  std::string database_;
  MariaDBLink link_;
};

constexpr BackendTraits kSQLiteTraits{
    "SQLite",
    true,
    "TEXT",
    "DATETIME",
    true,
    false,
    true,
    nullptr,  // nothing to change: any column keeps text
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT "
    "COUNT(*) FROM n",
    "past the Lock Timeout of 1 s",
    "past the Command Timeout of 1 s",
    "SELECT 1",  // no sessions: a file
    [](const std::string& name, const std::string& event,
       const std::string& table, const std::string& message) {
      return "CREATE TRIGGER " + name + " " + event + " ON " + table +
             " BEGIN SELECT RAISE(ABORT, '" + message + "'); END";
    },
    [](const std::string& name, const std::string&) {
      return "DROP TRIGGER " + name;
    }};

constexpr BackendTraits kPostgreSQLTraits{
    "PostgreSQL",
    false,
    "text",
    "timestamp(3)",
    true,
    true,
    false,
    "ALTER TABLE Document_Counter ALTER COLUMN Last_No TYPE text",
    "SELECT pg_sleep(60)",
    "lock timeout",
    "statement timeout",
    "SELECT pg_backend_pid()",
    [](const std::string& name, const std::string& event,
       const std::string& table, const std::string& message) {
      return "CREATE FUNCTION " + name +
             "() RETURNS trigger LANGUAGE plpgsql AS $$BEGIN RAISE "
             "EXCEPTION '" +
             message + "'; END$$; CREATE TRIGGER " + name + " " + event +
             " ON " + table + " FOR EACH ROW EXECUTE FUNCTION " + name + "()";
    },
    [](const std::string& name, const std::string& table) {
      return "DROP TRIGGER " + name + " ON " + table;
    }};

constexpr BackendTraits kMariaDBTraits{
    "MariaDB",
    false,
    "varchar(255)",
    "datetime(3)",
    false,
    true,
    true,
    "ALTER TABLE Document_Counter MODIFY Last_No text NOT NULL",
    "SELECT SLEEP(60)",
    "Lock wait timeout exceeded",
    "max_statement_time exceeded",
    "SELECT CONNECTION_ID()",
    [](const std::string& name, const std::string& event,
       const std::string& table, const std::string& message) {
      return "CREATE TRIGGER " + name + " " + event + " ON " + table +
             " FOR EACH ROW SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = '" +
             message + "'";
    },
    [](const std::string& name, const std::string&) {
      return "DROP TRIGGER " + name;
    }};

// A native store's traits, for the route through its ODBC driver.
constexpr BackendTraits Through(BackendTraits traits, const char* name) {
  traits.name = name;
  return traits;
}

constexpr BackendTraits kODBCSQLiteTraits = [] {
  BackendTraits traits = Through(kSQLiteTraits, "ODBC_SQLite");
  traits.follows_rebuilt_tables = false;
  traits.bounds_waits = false;
  return traits;
}();
constexpr BackendTraits kODBCPostgreSQLTraits = [] {
  BackendTraits traits = Through(kPostgreSQLTraits, "ODBC_PostgreSQL");
  traits.names_keyed_rows = false;
  traits.names_rows_without_key = false;
  return traits;
}();
constexpr BackendTraits kODBCMariaDBTraits =
    Through(kMariaDBTraits, "ODBC_MariaDB");

}  // namespace

const BackendTraits& Traits(Backend backend) {
  switch (backend) {
    case Backend::kSQLite:
      return kSQLiteTraits;
    case Backend::kPostgreSQL:
      return kPostgreSQLTraits;
    case Backend::kMariaDB:
      return kMariaDBTraits;
    case Backend::kODBCSQLite:
      return kODBCSQLiteTraits;
    case Backend::kODBCPostgreSQL:
      return kODBCPostgreSQLTraits;
    case Backend::kODBCMariaDB:
      return kODBCMariaDBTraits;
  }
  throw std::logic_error("Unknown backend.");
}

std::string BackendName(Backend backend) { return Traits(backend).name; }

std::unique_ptr<TestStore> TestStore::Create(Backend backend,
                                             bool with_schema) {
  if (backend == Backend::kPostgreSQL) {
    PostgresServer& server = PostgresServer::Instance();
    return std::make_unique<PostgreSQLStore>(
        server, server.CreateDatabase(with_schema));
  }
  switch (backend) {
    case Backend::kODBCSQLite:
      return std::make_unique<ODBCRoute>(backend,
                                         Create(Backend::kSQLite, with_schema));
    case Backend::kODBCPostgreSQL:
      return std::make_unique<ODBCRoute>(
          backend, Create(Backend::kPostgreSQL, with_schema));
    case Backend::kODBCMariaDB:
      return std::make_unique<ODBCRoute>(
          backend, Create(Backend::kMariaDB, with_schema));
    default:
      break;
  }
  if (backend == Backend::kMariaDB) {
    MariaDBServer& server = MariaDBServer::Instance();
    return std::make_unique<MariaDBStore>(server,
                                          server.CreateDatabase(with_schema));
  }
  static int stores_created = 0;
  auto store =
      std::make_unique<SQLiteStore>(SQLiteFolder::Path() + "/store-" +
                                    std::to_string(++stores_created) + ".db");
  // The library never creates a store: the file is made here, empty or
  // with the host tables.
  store->Exec(with_schema ? ReadFile(TAVIK_SOURCE_DIR "/schema/sqlite.sql")
                          : "SELECT 1");
  return store;
}

std::optional<std::string> TestStore::Scalar(const std::string& sql) {
  const Rows rows = Query(sql);
  if (rows.empty() || rows.front().empty()) return std::nullopt;
  return rows.front().front();
}

}  // namespace tavikuser::testing
