// The floor: what the same work costs on the stores' own C APIs, with
// nothing of the library in between.
#ifndef TAVIKUSER_BENCH_RAW_STORE_H_
#define TAVIKUSER_BENCH_RAW_STORE_H_

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dataset.h"
#include "support/servers.h"

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

// A statement prepared once on a store's own API and run again with new
// values, each bound as text.
class RawStatement {
 public:
  virtual ~RawStatement() = default;
  // Runs with `values` bound in order and takes every row to the client;
  // returns how many.
  virtual int Rows(const std::vector<const char*>& values) = 0;
  // The first column of the first row as a number, or -1 when there is none.
  virtual long long Scalar(const std::vector<const char*>& values) = 0;
};

// One physical connection on a store's own API.
class RawConnection {
 public:
  virtual ~RawConnection() = default;
  virtual std::unique_ptr<RawStatement> Prepare(const std::string& sql) = 0;
  // A write transaction, begun and ended as a raw client of the store would.
  virtual void Begin() = 0;
  virtual void Commit() = 0;
  // How the store's raw client makes sure of the counter row of three
  // prefixes, once, and reads it locked within a transaction.
  virtual std::string EnsureCounterText() const = 0;
  virtual std::string LockCounterText() const = 0;

  // Opens as the library's SQLite store opens: read-write, with a busy
  // timeout, nothing else changed.
  static std::unique_ptr<RawConnection> SQLite(const std::string& path);
  static std::unique_ptr<RawConnection> PostgreSQL(const std::string& conninfo);
  // On `link`, in the isolation level that the library's connections take.
  static std::unique_ptr<RawConnection> MariaDB(testing::MariaDBLink link);
};

// Opens a new physical connection to one store.
using RawOpener = std::function<std::unique_ptr<RawConnection>()>;

// One physical connection per check, opened, used for one statement and
// closed again: what every check would cost without the pool.
int CheckOnNewConnection(const RawOpener& open, const CheckShape& shape,
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
  CreationFloor(std::unique_ptr<RawConnection> connection, RecordShape shape,
                const std::string& prefix);
  void Create();

 private:
  RecordShape shape_;
  std::vector<std::string> prefixes_;
  std::unique_ptr<RawConnection> connection_;
  std::unique_ptr<RawStatement> lock_counter_, insert_, move_counter_;
};

}  // namespace tavikuser::bench

#endif  // TAVIKUSER_BENCH_RAW_STORE_H_
