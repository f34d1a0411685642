#include "test_store.h"

#include <libpq-fe.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <filesystem>
#include <stdexcept>

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

class SQLiteStore final : public TestStore {
 public:
  explicit SQLiteStore(std::string path)
      : TestStore(Backend::kSQLite, "Provider=SQLite;Data Source=" + path),
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
      : TestStore(Backend::kPostgreSQL, server.ConnectionString(database)),
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

}  // namespace

std::string BackendName(Backend backend) {
  return backend == Backend::kSQLite ? "SQLite" : "PostgreSQL";
}

std::unique_ptr<TestStore> TestStore::Create(Backend backend,
                                             bool with_schema) {
  if (backend == Backend::kPostgreSQL) {
    PostgresServer& server = PostgresServer::Instance();
    return std::make_unique<PostgreSQLStore>(
        server, server.CreateDatabase(with_schema));
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
