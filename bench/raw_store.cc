#include "raw_store.h"

#include <cstdlib>
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

// The values of kReadCounter and kFirstCounter.
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

class SQLiteCreationFloor final : public CreationFloor {
 public:
  SQLiteCreationFloor(const std::string& path, RecordShape shape,
                      const std::string& prefix)
      : shape_(std::move(shape)),
        prefixes_{"C1", "B1", prefix},
        connection_(path),
        begin_(connection_, "BEGIN IMMEDIATE"),
        read_counter_(connection_, kReadCounter),
        insert_(connection_, InsertText(shape_)),
        move_counter_(connection_, kMoveCounter),
        commit_(connection_, "COMMIT") {
    SQLiteStatement(connection_, kFirstCounter).Rows(PrefixValues(prefixes_));
  }

  void Create() override {
    begin_.Rows({});
    const NextRecord record(shape_, prefixes_,
                            read_counter_.Scalar(PrefixValues(prefixes_)));
    insert_.Rows(record.values());
    move_counter_.Rows(MovedCounter(prefixes_, record));
    commit_.Rows({});
  }

 private:
  RecordShape shape_;
  std::vector<std::string> prefixes_;
  SQLiteConnection connection_;
  SQLiteStatement begin_, read_counter_, insert_, move_counter_, commit_;
};

class PostgreSQLCreationFloor final : public CreationFloor {
 public:
  PostgreSQLCreationFloor(const std::string& conninfo, RecordShape shape,
                          const std::string& prefix)
      : shape_(std::move(shape)),
        prefixes_{"C1", "B1", prefix},
        connection_(conninfo),
        read_counter_(connection_, std::string(kReadCounter) + " FOR UPDATE"),
        insert_(connection_, InsertText(shape_)),
        move_counter_(connection_, kMoveCounter) {
    PostgreSQLStatement(connection_, kFirstCounter)
        .Run(PrefixValues(prefixes_));
  }

  void Create() override {
    connection_.Exec("BEGIN");
    const PostgreSQLResult counter = read_counter_.Run(PrefixValues(prefixes_));
    const NextRecord record(shape_, prefixes_,
                            std::atoll(PQgetvalue(counter.get(), 0, 0)));
    insert_.Run(record.values());
    move_counter_.Run(MovedCounter(prefixes_, record));
    connection_.Exec("COMMIT");
  }

 private:
  RecordShape shape_;
  std::vector<std::string> prefixes_;
  PostgreSQLConnection connection_;
  PostgreSQLStatement read_counter_, insert_, move_counter_;
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

SQLiteConnection::SQLiteConnection(const std::string& path)
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

void SQLiteConnection::Exec(const std::string& sql) {
  SQLiteStatement(*this, sql).Rows({});
}

SQLiteStatement::SQLiteStatement(const SQLiteConnection& connection,
                                 const std::string& sql)
    : statement_(nullptr, &sqlite3_finalize) {
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(connection.get(), sql.c_str(),
                         static_cast<int>(sql.size()), &statement,
                         nullptr) != SQLITE_OK) {
    throw std::runtime_error(sqlite3_errmsg(connection.get()) +
                             std::string(" in ") + sql);
  }
  statement_.reset(statement);
}

sqlite3_stmt* SQLiteStatement::Bound(const std::vector<const char*>& values) {
  sqlite3_stmt* statement = statement_.get();
  for (std::size_t i = 0; i < values.size(); ++i) {
    sqlite3_bind_text(statement, static_cast<int>(i) + 1, values[i], -1,
                      SQLITE_STATIC);
  }
  return statement;
}

int SQLiteStatement::Rows(const std::vector<const char*>& values) {
  sqlite3_stmt* statement = Bound(values);
  int rows = 0;
  int status;
  while ((status = sqlite3_step(statement)) == SQLITE_ROW) ++rows;
  sqlite3_reset(statement);
  if (status != SQLITE_DONE) {
    throw std::runtime_error(sqlite3_errmsg(sqlite3_db_handle(statement)));
  }
  return rows;
}

long long SQLiteStatement::Scalar(const std::vector<const char*>& values) {
  sqlite3_stmt* statement = Bound(values);
  long long value = -1;
  int status;
  while ((status = sqlite3_step(statement)) == SQLITE_ROW) {
    if (value == -1) value = sqlite3_column_int64(statement, 0);
  }
  sqlite3_reset(statement);
  if (status != SQLITE_DONE) {
    throw std::runtime_error(sqlite3_errmsg(sqlite3_db_handle(statement)));
  }
  return value;
}

PostgreSQLConnection::PostgreSQLConnection(const std::string& conninfo)
    : connection_(PQconnectdb(conninfo.c_str()), &PQfinish) {
  if (PQstatus(connection_.get()) != CONNECTION_OK) {
    throw std::runtime_error(PQerrorMessage(connection_.get()));
  }
}

void PostgreSQLConnection::Exec(const std::string& sql) {
  Checked(connection_.get(), PQexec(connection_.get(), sql.c_str()));
}

PostgreSQLResult Checked(PGconn* connection, PGresult* result) {
  PostgreSQLResult owned(result, &PQclear);
  const ExecStatusType status = PQresultStatus(result);
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    throw std::runtime_error(PQerrorMessage(connection));
  }
  return owned;
}

PostgreSQLStatement::PostgreSQLStatement(const PostgreSQLConnection& connection,
                                         const std::string& sql)
    : connection_(connection.get()) {
  static int prepared = 0;
  name_ = "bench_" + std::to_string(++prepared);
  Checked(connection_,
          PQprepare(connection_, name_.c_str(),
                    store::Numbered(sql).first.c_str(), 0, nullptr));
}

PostgreSQLResult PostgreSQLStatement::Run(
    const std::vector<const char*>& values) {
  return Checked(connection_,
                 PQexecPrepared(connection_, name_.c_str(),
                                static_cast<int>(values.size()), values.data(),
                                nullptr, nullptr, 0));
}

int SQLiteCheckOnNewConnection(const std::string& path, const CheckShape& shape,
                               const Question& question) {
  const SQLiteConnection connection(path);
  std::vector<const char*> values;
  shape.Fill(question, values);
  return SQLiteStatement(connection, shape.sql).Rows(values);
}

int PostgreSQLCheckOnNewConnection(const std::string& conninfo,
                                   const CheckShape& shape,
                                   const Question& question) {
  const PostgreSQLConnection connection(conninfo);
  std::vector<const char*> values;
  shape.Fill(question, values);
  return PQntuples(
      Checked(connection.get(),
              PQexecParams(connection.get(),
                           store::Numbered(shape.sql).first.c_str(),
                           static_cast<int>(values.size()), nullptr,
                           values.data(), nullptr, nullptr, 0))
          .get());
}

std::unique_ptr<CreationFloor> CreationFloor::SQLite(
    const std::string& path, RecordShape shape, const std::string& prefix) {
  return std::make_unique<SQLiteCreationFloor>(path, std::move(shape), prefix);
}

std::unique_ptr<CreationFloor> CreationFloor::PostgreSQL(
    const std::string& conninfo, RecordShape shape, const std::string& prefix) {
  return std::make_unique<PostgreSQLCreationFloor>(conninfo, std::move(shape),
                                                   prefix);
}

}  // namespace tavikuser::bench
