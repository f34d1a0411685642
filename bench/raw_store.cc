#include "raw_store.h"

#include <libpq-fe.h>
#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "platform/store/stores.h"

namespace tavikuser::bench {
namespace {

// The library's SQLite provider waits this long for another writer's lock.
constexpr int kBusyMilliseconds = 10000;

// "INSERT INTO T (a, b, ...) VALUES (?, ?, ...)".
std::string InsertText(const RecordShape& shape) {
  std::string columns = std::string(shape.key_column) + ", " +
                        shape.identity_column +
                        ", Company_Prefix, Branch_Prefix, Document_Prefix";
  for (const auto& [column, value] : shape.columns) {
    columns += std::string(", ") + column;
  }
  std::string values = "?, ?, ?, ?, ?";
  for (std::size_t i = 0; i < shape.columns.size(); ++i) values += ", ?";
  return std::string("INSERT INTO ") + shape.table + " (" + columns +
         ") VALUES (" + values + ")";
}

constexpr char kReadCounter[] =
    "SELECT Last_No FROM Document_Counter WHERE Company_Prefix = ? AND "
    "Branch_Prefix = ? AND Document_Prefix = ?";
constexpr char kMoveCounter[] =
    "UPDATE Document_Counter SET Last_No = ? WHERE Company_Prefix = ? AND "
    "Branch_Prefix = ? AND Document_Prefix = ?";
constexpr char kFirstCounter[] =
    "INSERT INTO Document_Counter (Company_Prefix, Branch_Prefix, "
    "Document_Prefix, Last_No) VALUES (?, ?, ?, 0) ON CONFLICT DO NOTHING";

// The number, key and row values of the next record.
struct NextRecord {
  std::string number;
  std::vector<std::string> row;

  NextRecord(const RecordShape& shape, const std::vector<std::string>& prefixes,
             long long last_no) {
    number = std::to_string(last_no + 1);
    row = {prefixes[0] + prefixes[1] + prefixes[2] + number, number,
           prefixes[0], prefixes[1], prefixes[2]};
    for (const auto& [column, value] : shape.columns) row.push_back(value);
  }

  std::vector<const char*> values() const {
    std::vector<const char*> pointers;
    for (const std::string& value : row) pointers.push_back(value.c_str());
    return pointers;
  }
};

// The values of the counter statements that name the row by its prefixes.
std::vector<const char*> PrefixValues(
    const std::vector<std::string>& prefixes) {
  return {prefixes[0].c_str(), prefixes[1].c_str(), prefixes[2].c_str()};
}

// The values of kMoveCounter, once `record` is in.
std::vector<const char*> MovedCounter(const std::vector<std::string>& prefixes,
                                      const NextRecord& record) {
  std::vector<const char*> values{record.number.c_str()};
  for (const char* prefix : PrefixValues(prefixes)) values.push_back(prefix);
  return values;
}

class SQLiteStatement final : public RawStatement {
 public:
  SQLiteStatement(sqlite3* database, const std::string& sql)
      : statement_(nullptr, &sqlite3_finalize) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(database, sql.c_str(), static_cast<int>(sql.size()),
                           &statement, nullptr) != SQLITE_OK) {
      throw std::runtime_error(sqlite3_errmsg(database) + std::string(" in ") +
                               sql);
    }
    statement_.reset(statement);
  }

  int Rows(const std::vector<const char*>& values) override {
    int rows = 0;
    Step(values, [&rows](sqlite3_stmt*) { ++rows; });
    return rows;
  }

  long long Scalar(const std::vector<const char*>& values) override {
    long long value = -1;
    Step(values, [&value](sqlite3_stmt* statement) {
      if (value == -1) value = sqlite3_column_int64(statement, 0);
    });
    return value;
  }

 private:
  // Binds `values`, steps through every row, handing each to `row`, and
  // resets the statement for its next run.
  template <class RowReader>
  void Step(const std::vector<const char*>& values, RowReader row) {
    sqlite3_stmt* statement = statement_.get();
    for (std::size_t i = 0; i < values.size(); ++i) {
      sqlite3_bind_text(statement, static_cast<int>(i) + 1, values[i], -1,
                        SQLITE_STATIC);
    }
    int status;
    while ((status = sqlite3_step(statement)) == SQLITE_ROW) row(statement);
    sqlite3_reset(statement);
    if (status != SQLITE_DONE) {
      throw std::runtime_error(sqlite3_errmsg(sqlite3_db_handle(statement)));
    }
  }

  std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> statement_;
};

class SQLiteConnection final : public RawConnection {
 public:
  explicit SQLiteConnection(const std::string& path)
      : database_(nullptr, &sqlite3_close) {
    sqlite3* database = nullptr;
    const int status =
        sqlite3_open_v2(path.c_str(), &database,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    database_.reset(database);
    if (status != SQLITE_OK) {
      throw std::runtime_error("Cannot open " + path + ": " +
                               sqlite3_errmsg(database));
    }
    sqlite3_busy_timeout(database, kBusyMilliseconds);
  }

  std::unique_ptr<RawStatement> Prepare(const std::string& sql) override {
    return std::make_unique<SQLiteStatement>(database_.get(), sql);
  }

  // Prepared once, on first use, like every other statement.
  void Begin() override { Kept(begin_, "BEGIN IMMEDIATE").Rows({}); }
  void Commit() override { Kept(commit_, "COMMIT").Rows({}); }

  std::string EnsureCounterText() const override { return kFirstCounter; }
  // The write lock that BEGIN IMMEDIATE takes covers the whole file.
  std::string LockCounterText() const override { return kReadCounter; }

 private:
  RawStatement& Kept(std::unique_ptr<RawStatement>& statement,
                     const std::string& sql) {
    if (!statement) statement = Prepare(sql);
    return *statement;
  }

  std::unique_ptr<sqlite3, decltype(&sqlite3_close)> database_;
  std::unique_ptr<RawStatement> begin_, commit_;
};

using PostgreSQLResult = std::unique_ptr<PGresult, decltype(&PQclear)>;

// Throws with the server's text unless `result` succeeded.
PostgreSQLResult Checked(PGconn* connection, PGresult* result) {
  PostgreSQLResult owned(result, &PQclear);
  const ExecStatusType status = PQresultStatus(result);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    throw std::runtime_error(PQerrorMessage(connection));
  }
  return owned;
}

class PostgreSQLStatement final : public RawStatement {
 public:
  // Prepares `sql` on the server once, its '?' placeholders numbered as
  // the server takes them.
  PostgreSQLStatement(PGconn* connection, const std::string& sql)
      : connection_(connection) {
    static int prepared = 0;
    name_ = "bench_" + std::to_string(++prepared);
    Checked(connection_,
            PQprepare(connection_, name_.c_str(),
                      store::Numbered(sql).first.c_str(), 0, nullptr));
  }

  int Rows(const std::vector<const char*>& values) override {
    return PQntuples(Run(values).get());
  }

  long long Scalar(const std::vector<const char*>& values) override {
    const PostgreSQLResult result = Run(values);
    return PQntuples(result.get()) ? std::atoll(PQgetvalue(result.get(), 0, 0))
                                   : -1;
  }

 private:
  PostgreSQLResult Run(const std::vector<const char*>& values) {
    return Checked(connection_,
                   PQexecPrepared(connection_, name_.c_str(),
                                  static_cast<int>(values.size()),
                                  values.data(), nullptr, nullptr, 0));
  }

  PGconn* connection_;
  std::string name_;
};

class PostgreSQLConnection final : public RawConnection {
 public:
  explicit PostgreSQLConnection(const std::string& conninfo)
      : connection_(PQconnectdb(conninfo.c_str()), &PQfinish) {
    if (PQstatus(connection_.get()) != CONNECTION_OK) {
      throw std::runtime_error(PQerrorMessage(connection_.get()));
    }
  }

  std::unique_ptr<RawStatement> Prepare(const std::string& sql) override {
    return std::make_unique<PostgreSQLStatement>(connection_.get(), sql);
  }

  void Begin() override { Exec("BEGIN"); }
  void Commit() override { Exec("COMMIT"); }

  std::string EnsureCounterText() const override { return kFirstCounter; }
  std::string LockCounterText() const override {
    return std::string(kReadCounter) + " FOR UPDATE";
  }

 private:
  void Exec(const char* sql) {
    Checked(connection_.get(), PQexec(connection_.get(), sql));
  }

  std::unique_ptr<PGconn, decltype(&PQfinish)> connection_;
};

class MariaDBStatement final : public RawStatement {
 public:
  // Prepares `sql` on the server once.
  MariaDBStatement(MYSQL* link, const std::string& sql)
      : statement_(mysql_stmt_init(link), &mysql_stmt_close) {
    if (!statement_) throw std::runtime_error(mysql_error(link));
    if (mysql_stmt_prepare(statement_.get(), sql.data(), sql.size())) Fail();
  }

  int Rows(const std::vector<const char*>& values) override {
    Run(values);
    const auto rows = static_cast<int>(mysql_stmt_num_rows(statement_.get()));
    mysql_stmt_free_result(statement_.get());
    return rows;
  }

  long long Scalar(const std::vector<const char*>& values) override {
    Run(values);
    long long value = -1;
    MYSQL_BIND column{};
    column.buffer_type = MYSQL_TYPE_LONGLONG;
    column.buffer = &value;
    if (mysql_stmt_bind_result(statement_.get(), &column) ||
        mysql_stmt_fetch(statement_.get()) == 1) {
      Fail();
    }
    mysql_stmt_free_result(statement_.get());
    return value;
  }

 private:
  [[noreturn]] void Fail() {
    throw std::runtime_error(mysql_stmt_error(statement_.get()));
  }

  // Binds `values` as text and runs the statement, its rows taken whole to
  // the client.
  void Run(const std::vector<const char*>& values) {
    binds_.assign(values.size(), MYSQL_BIND{});
    for (std::size_t i = 0; i < values.size(); ++i) {
      binds_[i].buffer_type = MYSQL_TYPE_STRING;
      binds_[i].buffer = const_cast<char*>(values[i]);
      binds_[i].buffer_length = std::strlen(values[i]);
    }
    if ((!binds_.empty() &&
         mysql_stmt_bind_param(statement_.get(), binds_.data())) ||
        mysql_stmt_execute(statement_.get()) ||
        mysql_stmt_store_result(statement_.get())) {
      Fail();
    }
  }

  std::unique_ptr<MYSQL_STMT, decltype(&mysql_stmt_close)> statement_;
  std::vector<MYSQL_BIND> binds_;
};

class MariaDBConnection final : public RawConnection {
 public:
  // Read committed, as the library's connections read: a creation locks the
  // counter row and takes no gap locks.
  explicit MariaDBConnection(testing::MariaDBLink link)
      : link_(std::move(link)) {
    testing::MariaDBExec(
        link_.get(), "SET SESSION TRANSACTION ISOLATION LEVEL READ COMMITTED");
  }

  std::unique_ptr<RawStatement> Prepare(const std::string& sql) override {
    return std::make_unique<MariaDBStatement>(link_.get(), sql);
  }

  // As the library's store sends them: plain statements, not prepared.
  void Begin() override { Exec("START TRANSACTION"); }
  void Commit() override { Exec("COMMIT"); }

  // The library's own statements.
  std::string EnsureCounterText() const override {
    return store::kMariaDBEnsureCounter;
  }
  std::string LockCounterText() const override {
    return store::kMariaDBLockCounter;
  }

 private:
  void Exec(const char* sql) {
    if (mysql_real_query(link_.get(), sql, std::strlen(sql))) {
      throw std::runtime_error(mysql_error(link_.get()));
    }
  }

  testing::MariaDBLink link_;
};

}  // namespace

void CheckShape::Fill(const Question& question,
                      std::vector<const char*>& values) const {
  values.clear();
  for (bool user : takes_user) {
    values.push_back(user ? question.user_no.c_str()
                          : question.rights_no.c_str());
  }
}

std::unique_ptr<RawConnection> RawConnection::SQLite(const std::string& path) {
  return std::make_unique<SQLiteConnection>(path);
}

std::unique_ptr<RawConnection> RawConnection::PostgreSQL(
    const std::string& conninfo) {
  return std::make_unique<PostgreSQLConnection>(conninfo);
}

std::unique_ptr<RawConnection> RawConnection::MariaDB(
    testing::MariaDBLink link) {
  return std::make_unique<MariaDBConnection>(std::move(link));
}

int CheckOnNewConnection(const RawOpener& open, const CheckShape& shape,
                         const Question& question) {
  const std::unique_ptr<RawConnection> connection = open();
  std::vector<const char*> values;
  shape.Fill(question, values);
  return connection->Prepare(shape.sql)->Rows(values);
}

CreationFloor::CreationFloor(std::unique_ptr<RawConnection> connection,
                             RecordShape shape, const std::string& prefix)
    : shape_(std::move(shape)),
      prefixes_{"C1", "B1", prefix},
      connection_(std::move(connection)),
      lock_counter_(connection_->Prepare(connection_->LockCounterText())),
      insert_(connection_->Prepare(InsertText(shape_))),
      move_counter_(connection_->Prepare(kMoveCounter)) {
  connection_->Prepare(connection_->EnsureCounterText())
      ->Rows(PrefixValues(prefixes_));
}

void CreationFloor::Create() {
  connection_->Begin();
  const NextRecord record(shape_, prefixes_,
                          lock_counter_->Scalar(PrefixValues(prefixes_)));
  insert_->Rows(record.values());
  move_counter_->Rows(MovedCounter(prefixes_, record));
  connection_->Commit();
}

}  // namespace tavikuser::bench
