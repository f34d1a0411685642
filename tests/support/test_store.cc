#include "test_store.h"

#include <sqlite3.h>
#include <stdlib.h>

#include <array>
#include <filesystem>
#include <fstream>

namespace tavikuser::testing {
namespace {

// The folder that holds this program's SQLite stores, and the odbc.ini of
// their DSN, which unixODBC reads instead of the user's; removed when the
// program ends.
const std::string& SQLiteFolder() {
  static const struct Folder {
    Folder() {
      char made[] = "/tmp/tavik-sqlite-XXXXXX";
      if (!mkdtemp(made)) throw std::runtime_error("No folder.");
      path = made;
      std::ofstream(path + "/odbc.ini") << "[TavikSQLite]\nDriver=SQLite3\n";
      setenv("ODBCINI", (path + "/odbc.ini").c_str(), 1);
    }
    ~Folder() {
      std::error_code ignored;
      std::filesystem::remove_all(path, ignored);
    }
    std::string path;
  } folder;
  return folder.path;
}

// A SQLite file, opened anew for each statement, waiting while the
// library's own connections hold the write lock.
Client SQLiteClient(const std::string& path) {
  return [path](const std::string& sql) {
    sqlite3* database = nullptr;
    sqlite3_open(path.c_str(), &database);
    sqlite3_busy_timeout(database, 10000);
    char* error = nullptr;
    Rows rows;
    const auto collect = [](void* rows, int count, char** values, char**) {
      auto& row = static_cast<Rows*>(rows)->emplace_back();
      for (int i = 0; i < count; ++i) {
        row.push_back(values[i] ? std::optional<std::string>(values[i])
                                : std::nullopt);
      }
      return 0;
    };
    const int status =
        sqlite3_exec(database, sql.c_str(), collect, &rows, &error);
    const std::string text = error ? error : sqlite3_errmsg(database);
    sqlite3_free(error);
    sqlite3_close(database);
    if (status != SQLITE_OK) throw std::runtime_error(text + " in " + sql);
    return rows;
  };
}

std::string SQLiteTrigger(Text name, Text event, Text table, Text message) {
  return "CREATE TRIGGER " + name + " " + event + " ON " + table +
         " BEGIN SELECT RAISE(ABORT, '" + message + "'); END";
}

std::string PostgreSQLTrigger(Text name, Text event, Text table, Text message) {
  return "CREATE FUNCTION " + name +
         "() RETURNS trigger LANGUAGE plpgsql AS $$BEGIN RAISE EXCEPTION '" +
         message + "'; END$$; CREATE TRIGGER " + name + " " + event + " ON " +
         table + " FOR EACH ROW EXECUTE FUNCTION " + name + "()";
}

std::string MariaDBTrigger(Text name, Text event, Text table, Text message) {
  return "CREATE TRIGGER " + name + " " + event + " ON " + table +
         " FOR EACH ROW SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = '" +
         message + "'";
}

std::string DropTrigger(Text name, Text) { return "DROP TRIGGER " + name; }

std::string DropTriggerOn(Text name, Text table) {
  return "DROP TRIGGER " + name + " ON " + table;
}

// Each in the order of BackendTraits' fields, its truths named. SQLite: any
// column keeps text, so the counter needs no change; a file has no sessions.
constexpr BackendTraits kSQLiteTraits(
    "SQLite", /*typeless=*/true, "DATETIME", /*names_rows_without_key=*/true,
    /*lock_makes_counter_row=*/false, /*prepares_again_in_transaction=*/true,
    /*counter_as_text=*/nullptr,
    "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n) SELECT "
    "COUNT(*) FROM n",
    "past the Lock Timeout of 1 s", "past the Command Timeout of 1 s",
    "SELECT 1", SQLiteTrigger, DropTrigger);

constexpr BackendTraits kPostgreSQLTraits(
    "PostgreSQL", /*typeless=*/false, "timestamp(3)",
    /*names_rows_without_key=*/true, /*lock_makes_counter_row=*/true,
    /*prepares_again_in_transaction=*/false,
    "ALTER TABLE Document_Counter ALTER COLUMN Last_No TYPE text",
    "SELECT pg_sleep(60)", "lock timeout", "statement timeout",
    "SELECT pg_backend_pid()", PostgreSQLTrigger, DropTriggerOn);

constexpr BackendTraits kMariaDBTraits(
    "MariaDB", /*typeless=*/false, "datetime(3)",
    /*names_rows_without_key=*/false, /*lock_makes_counter_row=*/true,
    /*prepares_again_in_transaction=*/true,
    "ALTER TABLE Document_Counter MODIFY Last_No text NOT NULL",
    "SELECT SLEEP(60)", "Lock wait timeout exceeded",
    "max_statement_time exceeded", "SELECT CONNECTION_ID()", MariaDBTrigger,
    DropTrigger);

}  // namespace

const BackendTraits& Traits(Backend backend) {
  // Each route through an ODBC driver as its native store, but for where
  // the driver differs.
  static const auto kTraits = [] {
    std::array<BackendTraits, 6> traits{kSQLiteTraits,     kPostgreSQLTraits,
                                        kMariaDBTraits,    kSQLiteTraits,
                                        kPostgreSQLTraits, kMariaDBTraits};
    traits[3].name = "ODBC_SQLite";
    traits[3].follows_rebuilt_tables = traits[3].bounds_waits = false;
    traits[4].name = "ODBC_PostgreSQL";
    traits[4].names_rows_without_key = false;
    traits[5].name = "ODBC_MariaDB";
    return traits;
  }();
  return kTraits[static_cast<int>(backend)];
}

std::string BackendName(Backend backend) { return Traits(backend).name; }

std::unique_ptr<TestStore> TestStore::Create(Backend backend,
                                             bool with_schema) {
  std::unique_ptr<TestStore> store(new TestStore);
  const Backend native = static_cast<Backend>(static_cast<int>(backend) % 3);
  // Through its ODBC driver, arranged and inspected natively all the same.
  const bool odbc = backend != native;
  if (native == Backend::kSQLite) {
    static int stores_created = 0;
    const std::string path =
        SQLiteFolder() + "/store-" + std::to_string(++stores_created) + ".db";
    store->connection_string_ =
        (odbc ? "DSN=TavikSQLite;Database=" : "Provider=SQLite;Data Source=") +
        path;
    store->client_ = SQLiteClient(path);
    // The library never creates a store: the file is made here, empty or
    // with the host tables.
    store->Exec(with_schema ? ReadFile(TAVIK_SOURCE_DIR "/schema/sqlite.sql")
                            : "SELECT 1");
  } else {
    ServerProcess& server =
        native == Backend::kPostgreSQL
            ? static_cast<ServerProcess&>(PostgresServer::Instance())
            : MariaDBServer::Instance();
    store->database_ = server.CreateDatabase(with_schema);
    store->server_ = &server;
    store->connection_string_ =
        odbc ? server.ODBCConnectionString(store->database_)
             : server.ConnectionString(store->database_);
    store->client_ = server.Open(store->database_);
  }
  return store;
}

TestStore::~TestStore() {
  client_ = nullptr;
  if (server_) server_->DropDatabase(database_);
}

std::optional<std::string> TestStore::Scalar(const std::string& sql) {
  const Rows rows = Query(sql);
  if (rows.empty() || rows.front().empty()) return std::nullopt;
  return rows.front().front();
}

}  // namespace tavikuser::testing
