// The floor: what the same work costs on the providers' own C APIs, with
// nothing of the library in between.
#ifndef TAVIKUSER_BENCH_RAW_STORE_H_
#define TAVIKUSER_BENCH_RAW_STORE_H_

#include <libpq-fe.h>
#include <sqlite3.h>

#include <memory>
#include <string>
#include <vector>

#include "dataset.h"

namespace tavikuser::bench {

// An access statement as a raw client runs it: its text, with the '?'
// placeholders that the library's statements use, and for each placeholder
// whether it takes the user number or the rights number.
struct CheckShape {
  std::string sql;
  std::vector<bool> takes_user;

  // The values for `question`, in placeholder order, into `values`, whose
  // room is used again from one check to the next.
  void Fill(const Question& question, std::vector<const char*>& values) const;
};

class SQLiteStatement;

class SQLiteConnection {
 public:
  // Opens as the library's SQLite provider opens: read-write, with a busy
  // timeout, nothing else changed.
  explicit SQLiteConnection(const std::string& path);
  sqlite3* get() const { return database_.get(); }
  void Exec(const std::string& sql);

 private:
  std::unique_ptr<sqlite3, decltype(&sqlite3_close)> database_;
};

// A statement prepared once and run again with new values.
class SQLiteStatement {
 public:
  SQLiteStatement(const SQLiteConnection& connection, const std::string& sql);
  // Runs with `values` bound in order and reads every row; returns how many.
  int Rows(const std::vector<const char*>& values);
  // The first column of the first row, or -1 when there is none.
  long long Scalar(const std::vector<const char*>& values);

 private:
  sqlite3_stmt* Bound(const std::vector<const char*>& values);
  std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> statement_;
};

class PostgreSQLStatement;

class PostgreSQLConnection {
 public:
  explicit PostgreSQLConnection(const std::string& conninfo);
  PGconn* get() const { return connection_.get(); }
  void Exec(const std::string& sql);

 private:
  std::unique_ptr<PGconn, decltype(&PQfinish)> connection_;
};

using PostgreSQLResult = std::unique_ptr<PGresult, decltype(&PQclear)>;

// Throws with the server's text unless `result` succeeded.
PostgreSQLResult Checked(PGconn* connection, PGresult* result);

class PostgreSQLStatement {
 public:
  // Prepares `sql` on the server once, its '?' placeholders numbered as
  // the server takes them.
  PostgreSQLStatement(const PostgreSQLConnection& connection,
                      const std::string& sql);
  PostgreSQLResult Run(const std::vector<const char*>& values);

 private:
  PGconn* connection_;
  std::string name_;
};

// One physical connection per check, opened, used for one statement and
// closed again: what every check would cost without the pool.
int SQLiteCheckOnNewConnection(const std::string& path, const CheckShape& shape,
                               const Question& question);
int PostgreSQLCheckOnNewConnection(const std::string& conninfo,
                                   const CheckShape& shape,
                                   const Question& question);

// The columns of a numbered record, beyond its key, identity and prefixes.
struct RecordShape {
  const char* table;
  const char* key_column;
  const char* identity_column;
  std::vector<std::pair<const char*, std::string>> columns;
};

// The raw work of a numbered creation: in one transaction, read and lock the
// counter row of the prefixes, insert the record under the next number, and
// move the counter on.
class CreationFloor {
 public:
  virtual ~CreationFloor() = default;
  virtual void Create() = 0;

  static std::unique_ptr<CreationFloor> SQLite(const std::string& path,
                                               RecordShape shape,
                                               const std::string& prefix);
  static std::unique_ptr<CreationFloor> PostgreSQL(const std::string& conninfo,
                                                   RecordShape shape,
                                                   const std::string& prefix);
};

}  // namespace tavikuser::bench

#endif  // TAVIKUSER_BENCH_RAW_STORE_H_
