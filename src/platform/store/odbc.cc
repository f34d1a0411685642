// The ODBC store, on unixODBC's own API. The driver manager reads the
// connection string itself; statements take ODBC's own '?' placeholders.
// Values are bound and read in their own kinds, and every cursor is read to
// its end and closed, also after a failure. The driver manager keeps the
// transaction state to itself, so this connection follows its own.
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/store/stores.h"
#include "tavikuser/date_time.h"
#include "tavikuser/errors.h"

namespace tavikuser::store {
namespace {

// One ODBC handle, freed with its owner.
class Handle {
 public:
  // Allocates a handle of `type` under `parent` (none for an environment).
  // Throws DataAccessError with the parent's diagnostics, or a text of its
  // own when there is no parent to hold any.
  Handle(SQLSMALLINT type, SQLHANDLE parent);
  Handle(Handle&& other) noexcept
      : type_(other.type_), handle_(std::exchange(other.handle_, nullptr)) {}
  Handle& operator=(Handle&& other) noexcept {
    std::swap(type_, other.type_);
    std::swap(handle_, other.handle_);
    return *this;
  }
  ~Handle() {
    if (handle_) SQLFreeHandle(type_, handle_);
  }

  SQLSMALLINT type() const { return type_; }
  SQLHANDLE get() const { return handle_; }

 private:
  SQLSMALLINT type_;
  SQLHANDLE handle_ = nullptr;
};

// What the diagnostic records of a failed call say.
struct Diagnostics {
  // The records' texts as the driver words them, joined.
  std::string text;
  // A record in class 08: the connection itself failed.
  bool connection_lost = false;
};

Diagnostics Diagnose(SQLSMALLINT type, SQLHANDLE handle) {
  Diagnostics diagnostics;
  for (SQLSMALLINT record = 1;; ++record) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    std::string message(512, '\0');
    SQLRETURN status =
        SQLGetDiagRec(type, handle, record, state, &native,
                      reinterpret_cast<SQLCHAR*>(message.data()),
                      static_cast<SQLSMALLINT>(message.size()), &length);
    if (status == SQL_SUCCESS_WITH_INFO && length >= 0 &&
        static_cast<std::size_t>(length) >= message.size()) {
      // A long message comes truncated: ask again with room for all of it.
      message.assign(static_cast<std::size_t>(length) + 1, '\0');
      status = SQLGetDiagRec(type, handle, record, state, &native,
                             reinterpret_cast<SQLCHAR*>(message.data()),
                             static_cast<SQLSMALLINT>(message.size()), &length);
    }
    if (!SQL_SUCCEEDED(status)) break;
    message.resize(std::min<std::size_t>(std::max<SQLSMALLINT>(length, 0),
                                         message.size() - 1));
    if (!diagnostics.text.empty()) diagnostics.text += "; ";
    diagnostics.text += StoreText(message);
    if (state[0] == '0' && state[1] == '8') diagnostics.connection_lost = true;
  }
  if (diagnostics.text.empty()) {
    diagnostics.text = "The ODBC driver failed without saying why.";
  }
  return diagnostics;
}

Handle::Handle(SQLSMALLINT type, SQLHANDLE parent) : type_(type) {
  if (SQL_SUCCEEDED(SQLAllocHandle(type, parent, &handle_))) return;
  handle_ = nullptr;
  if (!parent) {
    throw DataAccessError("The ODBC driver manager cannot allocate a handle.");
  }
  const SQLSMALLINT parent_type =
      type == SQL_HANDLE_DBC ? SQL_HANDLE_ENV : SQL_HANDLE_DBC;
  throw DataAccessError(Diagnose(parent_type, parent).text);
}

// A statement prepared once and kept by its text.
struct Prepared {
  Handle statement;
  // How many '?' placeholders the driver counted.
  SQLSMALLINT placeholders = 0;
};

// Closes a statement's cursor and unbinds its values however its run ends,
// so that no cursor holds a read transaction and no value stays bound to
// buffers that are gone.
class CursorCloser {
 public:
  explicit CursorCloser(SQLHSTMT statement) : statement_(statement) {}
  CursorCloser(const CursorCloser&) = delete;
  CursorCloser& operator=(const CursorCloser&) = delete;
  ~CursorCloser() {
    SQLFreeStmt(statement_, SQL_CLOSE);
    SQLFreeStmt(statement_, SQL_RESET_PARAMS);
  }

 private:
  SQLHSTMT statement_;
};

// How a column is read, from its SQL type.
enum class Reading { kInteger, kReal, kDecimal, kTimestamp, kText };

Reading ReadingOf(SQLSMALLINT sql_type) {
  switch (sql_type) {
    case SQL_BIT:
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT:
      return Reading::kInteger;
    case SQL_REAL:
    case SQL_FLOAT:
    case SQL_DOUBLE:
      return Reading::kReal;
    case SQL_DECIMAL:
    case SQL_NUMERIC:
      return Reading::kDecimal;
    case SQL_TYPE_DATE:
    case SQL_TYPE_TIMESTAMP:
      return Reading::kTimestamp;
    default:
      return Reading::kText;
  }
}

// What a driver's database needs beyond what ODBC says, found by the name
// the driver gives it once connected: each driver's quirks, stated once.
struct Dialect {
  // The statements that bound lock waits (ODBC has no portable lock
  // timeout) and set the session up as the native store does.
  std::vector<std::string> (*session)(const Limits& limits);
  // Begins a transaction by this statement, with the driver left in
  // autocommit, instead of by turning autocommit off: the SQLite driver
  // begins lazily (a deferred BEGIN), so that two creators could both read
  // and then fail to take the write lock.
  const char* begin = nullptr;
  // Reads a date-time column as the text or number it holds: the SQLite
  // driver reads a number there (an automation date) as Null.
  bool dates_as_stored = false;
  // What the driver reports for a rollback when the database has already
  // rolled the transaction back itself (SQLite does on a full disk, or at a
  // trigger's RAISE(ROLLBACK)): the rollback then has nothing left to undo.
  const char* rolled_back_already = nullptr;
  // Makes the counter row when missing and holds it (before `lock`), and
  // reads Last_No holding the row; each takes the three prefixes. Without
  // one, the row is written unchanged, which takes its write lock on engines
  // that lock rows, and then read: ODBC has no portable locking read.
  const char* ensure = nullptr;
  const char* lock =
      "SELECT Last_No FROM Document_Counter WHERE Company_Prefix = ? AND "
      "Branch_Prefix = ? AND Document_Prefix = ?";
};

constexpr char kTouchCounter[] =
    "UPDATE Document_Counter SET Last_No = Last_No WHERE Company_Prefix = ? "
    "AND Branch_Prefix = ? AND Document_Prefix = ?";

std::string Milliseconds(std::chrono::seconds limit) {
  return std::to_string(limit.count() * 1000);
}

const Dialect& DialectOf(std::string_view dbms) {
  static const Dialect kSQLite{
      .session =
          [](const Limits& limits) {
            return std::vector<std::string>{"PRAGMA busy_timeout = " +
                                            Milliseconds(limits.lock)};
          },
      .begin = "BEGIN IMMEDIATE",
      .dates_as_stored = true,
      .rolled_back_already = "no transaction is active"};
  static const Dialect kPostgreSQL{
      .session =
          [](const Limits& limits) {
            return std::vector<std::string>{"SET lock_timeout = " +
                                            Milliseconds(limits.lock)};
          },
      .lock = kPostgreSQLLockCounter};
  static const Dialect kMariaDB{
      .session =
          [](const Limits& limits) {
            return std::vector<std::string>{
                "SET SESSION TRANSACTION ISOLATION LEVEL READ COMMITTED",
                "SET SESSION innodb_lock_wait_timeout = " +
                    std::to_string(limits.lock.count()),
                // The driver ends no statement at its query timeout.
                "SET SESSION max_statement_time = " +
                    std::to_string(limits.command.count())};
          },
      .ensure = kMariaDBEnsureCounter,
      .lock = kMariaDBLockCounter};
  static const Dialect kOther{
      .session = [](const Limits&) { return std::vector<std::string>{}; },
      .ensure = kTouchCounter};
  const auto is = [dbms](std::string_view name) {
    return dbms.size() >= name.size() &&
           std::equal(name.begin(), name.end(), dbms.begin(),
                      [](char a, char b) {
                        return std::tolower(static_cast<unsigned char>(a)) ==
                               std::tolower(static_cast<unsigned char>(b));
                      });
  };
  if (is("SQLite")) return kSQLite;
  if (is("PostgreSQL")) return kPostgreSQL;
  if (is("MariaDB") || is("MySQL")) return kMariaDB;
  return kOther;
}

// The process's open descriptors, in order, without the one this listing
// reads them through (the next descriptor a driver opens may take its number).
std::vector<int> OpenDescriptors() {
  std::vector<int> descriptors;
  DIR* listing = opendir("/proc/self/fd");
  if (listing == nullptr) return descriptors;
  while (const dirent* entry = readdir(listing)) {
    const int descriptor = std::atoi(entry->d_name);
    if (entry->d_name[0] != '.' && descriptor != dirfd(listing)) {
      descriptors.push_back(descriptor);
    }
  }
  closedir(listing);
  std::sort(descriptors.begin(), descriptors.end());
  return descriptors;
}

// A calendar time read from a store as a DateTime. Throws DataAccessError
// for one the automation date cannot hold.
DateTime FromStoreCalendar(const DateTime::Calendar& calendar) {
  try {
    return DateTime::FromCalendar(calendar);
  } catch (const std::out_of_range&) {
    throw DataAccessError(
        "The store holds a date-time outside years 100 to 9999.");
  }
}

// Taken for making and ending connections, one at a time in the process:
// the driver manager fills shared buffers while it allocates and frees their
// handles, a driver may set the process's locale while it connects (the
// PostgreSQL driver does), and what a connect opened is told apart by the
// descriptors open before it. Held across fork(), so that a child never
// starts with it held by a thread that the child does not have.
std::mutex& DriverManagerLock() {
  static std::mutex lock;
  static const int held_across_fork = pthread_atfork(
      [] { lock.lock(); }, [] { lock.unlock(); }, [] { lock.unlock(); });
  static_cast<void>(held_across_fork);
  return lock;
}

class ODBCConnection final : public Connection {
 public:
  // Connects with the ODBC string as written. Throws DataAccessError with
  // the driver manager's or the driver's text.
  ODBCConnection(const std::string& connection_string, const Limits& limits)
      : environment_(SQL_HANDLE_ENV, SQL_NULL_HANDLE),
        connection_(AllocateConnection(environment_)),
        command_timeout_(static_cast<SQLULEN>(limits.command.count())) {
    // Where the driver can bound them; it has no portable lock timeout.
    SQLSetConnectAttr(connection_.get(), SQL_ATTR_LOGIN_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(
                          static_cast<SQLULEN>(limits.connect.count())),
                      0);
    const std::vector<int> before = OpenDescriptors();
    const SQLRETURN connected = SQLDriverConnect(
        connection_.get(), nullptr,
        reinterpret_cast<SQLCHAR*>(const_cast<char*>(connection_string.data())),
        static_cast<SQLSMALLINT>(connection_string.size()), nullptr, 0, nullptr,
        SQL_DRIVER_NOPROMPT);
    // Drivers open their sockets and files without close-on-exec: a program
    // that a child of the host runs must not take them along. A descriptor
    // that another thread of the host opens meanwhile is marked too; the
    // host's own inheritance goes through dup2, which clears the mark.
    for (int descriptor : OpenDescriptors()) {
      if (!std::binary_search(before.begin(), before.end(), descriptor)) {
        fcntl(descriptor, F_SETFD, fcntl(descriptor, F_GETFD) | FD_CLOEXEC);
      }
    }
    driver_manager_.unlock();
    Check(connected, connection_);
    // A driver that cannot tell keeps names as they are written.
    SQLGetInfo(connection_.get(), SQL_IDENTIFIER_CASE, &identifier_case_, 0,
               nullptr);
    char dbms[64] = {};
    SQLGetInfo(connection_.get(), SQL_DBMS_NAME, dbms, sizeof dbms, nullptr);
    database_product_ = dbms;
    dialect_ = &DialectOf(database_product_);
    for (const std::string& sql : dialect_->session(limits)) Command(sql);
  }

  ~ODBCConnection() override {
    // Released after the handles are freed, as the last member to go.
    driver_manager_.lock();
    // A driver refuses to disconnect inside a transaction, and statements
    // must go before their connection.
    statements_.Clear();
    if (in_transaction_) {
      SQLEndTran(SQL_HANDLE_DBC, connection_.get(), SQL_ROLLBACK);
    }
    SQLDisconnect(connection_.get());
  }

  Rows Query(std::string_view sql, const Values& values) override {
    Rows rows;
    Run(sql, values, &rows);
    return rows;
  }

  std::int64_t Execute(std::string_view sql, const Values& values) override {
    return Run(sql, values, nullptr);
  }

  void Begin() override {
    if (in_transaction_) {
      throw DataAccessError(
          "A transaction is already open on this connection.");
    }
    if (dialect_->begin) {
      Command(dialect_->begin);
    } else {
      SetAutocommit(SQL_AUTOCOMMIT_OFF);
    }
    in_transaction_ = true;
  }

  void Commit() override { EndTransaction(SQL_COMMIT); }

  void Rollback() override {
    try {
      EndTransaction(SQL_ROLLBACK);
    } catch (const DataAccessError&) {
      // The transaction's fate is unknown: this connection must not be
      // handed out again.
      broken_ = true;
      throw;
    }
  }

  std::optional<Value> LockCounter(const std::string& company,
                                   const std::string& branch,
                                   const std::string& document) override {
    const Values key{company, branch, document};
    if (dialect_->ensure) Execute(dialect_->ensure, key);
    Rows rows = Query(dialect_->lock, key);
    if (rows.empty() || rows.front().empty()) return std::nullopt;
    return std::move(rows.front().front());
  }

  std::optional<RowIdentity> IdentityOf(std::string_view table) override {
    // A table's best row identifier does not change while the host runs,
    // and asking costs a catalogue query on a server.
    auto known = identities_.find(table);
    if (known != identities_.end()) return known->second;

    Handle statement(SQL_HANDLE_STMT, connection_.get());
    // The catalogue keeps an unquoted name in the store's own letter case,
    // and the driver looks it up as given.
    std::string name(table);
    for (char& letter : name) {
      if (identifier_case_ == SQL_IC_LOWER && letter >= 'A' && letter <= 'Z') {
        letter = static_cast<char>(letter + ('a' - 'A'));
      } else if (identifier_case_ == SQL_IC_UPPER && letter >= 'a' &&
                 letter <= 'z') {
        letter = static_cast<char>(letter - ('a' - 'A'));
      }
    }
    Check(SQLSpecialColumns(statement.get(), SQL_BEST_ROWID, nullptr, 0,
                            nullptr, 0, reinterpret_cast<SQLCHAR*>(name.data()),
                            static_cast<SQLSMALLINT>(name.size()),
                            SQL_SCOPE_SESSION, SQL_NULLABLE),
          statement);
    std::vector<std::string> columns;
    for (const Row& row : ReadRows(statement)) {
      // The second column is COLUMN_NAME.
      const std::string* column = row.size() > 1 ? row[1].text() : nullptr;
      if (!column || column->empty()) {
        columns.clear();
        break;
      }
      columns.push_back(*column);
    }
    const std::optional<RowIdentity> identity = KeyIdentity(columns);
    identities_.emplace(table, identity);
    return identity;
  }

  std::string DatabaseProduct() const override { return database_product_; }
  std::size_t statements_prepared() const override {
    return statements_.prepared();
  }

  bool Reusable() const override { return !broken_ && !in_transaction_; }

  bool Usable() const override {
    if (!Reusable()) return false;
    SQLUINTEGER dead = SQL_CD_FALSE;
    // A driver that cannot answer is taken at its word that it is alive.
    return !SQL_SUCCEEDED(SQLGetConnectAttr(connection_.get(),
                                            SQL_ATTR_CONNECTION_DEAD, &dead, 0,
                                            nullptr)) ||
           dead != SQL_CD_TRUE;
  }

 private:
  // Values bound for one run, where the driver reads them from.
  struct Bound {
    std::vector<SQLLEN> lengths;
    std::vector<SQL_TIMESTAMP_STRUCT> timestamps;
  };

  static Handle AllocateConnection(const Handle& environment) {
    // ODBC 3 behaviour: its SQLSTATEs and its date-time types.
    SQLSetEnvAttr(environment.get(), SQL_ATTR_ODBC_VERSION,
                  reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    return Handle(SQL_HANDLE_DBC, environment.get());
  }

  // Throws DataAccessError with `handle`'s diagnostics unless `status` is a
  // success, and remembers a connection that failed.
  void Check(SQLRETURN status, const Handle& handle) {
    Check(status, handle.type(), handle.get());
  }
  void Check(SQLRETURN status, SQLSMALLINT type, SQLHANDLE handle) {
    if (SQL_SUCCEEDED(status)) return;
    Diagnostics diagnostics = Diagnose(type, handle);
    if (diagnostics.connection_lost) broken_ = true;
    throw DataAccessError(diagnostics.text);
  }

  void SetAutocommit(SQLULEN mode) {
    Check(SQLSetConnectAttr(connection_.get(), SQL_ATTR_AUTOCOMMIT,
                            reinterpret_cast<SQLPOINTER>(mode), 0),
          connection_);
  }

  // Ends the open transaction by `completion` and goes back to autocommit.
  // Throws DataAccessError when there is none or the driver fails to end it;
  // a failed commit leaves the transaction open to be rolled back.
  void EndTransaction(SQLSMALLINT completion) {
    if (!in_transaction_) {
      throw DataAccessError("No transaction is open on this connection.");
    }
    if (dialect_->begin) {
      try {
        Command(completion == SQL_COMMIT ? "COMMIT" : "ROLLBACK");
      } catch (const DataAccessError& failure) {
        const char* done = dialect_->rolled_back_already;
        if (completion == SQL_COMMIT || done == nullptr ||
            std::strstr(failure.what(), done) == nullptr) {
          throw;
        }
      }
      in_transaction_ = false;
      return;
    }
    Check(SQLEndTran(SQL_HANDLE_DBC, connection_.get(), completion),
          connection_);
    in_transaction_ = false;
    // The transaction has ended either way: a connection left out of
    // autocommit is closed by the pool rather than reported as a failure.
    if (!SQL_SUCCEEDED(SQLSetConnectAttr(
            connection_.get(), SQL_ATTR_AUTOCOMMIT,
            reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0))) {
      broken_ = true;
    }
  }

  // Runs `sql` with `values`; reads its rows into `rows` when given, and
  // otherwise returns how many rows it changed.
  std::int64_t Run(std::string_view sql, const Values& values, Rows* rows) {
    RefuseNul(values);
    Prepared* prepared = statements_.Find(sql);
    if (prepared) {
      try {
        return RunPrepared(*prepared, sql, values, rows);
      } catch (const DataAccessError&) {
        // It may have been prepared against a table that has changed since:
        // prepared again, it runs once more where a failed statement cannot
        // have spoilt a transaction.
        statements_.Forget(sql);
        if (in_transaction_ || broken_) throw;
      }
    }
    if (statements_.full()) statements_.Clear();
    try {
      return RunPrepared(statements_.Keep(sql, Prepare(sql)), sql, values,
                         rows);
    } catch (const DataAccessError&) {
      // A statement whose run failed is not kept: MariaDB's driver waits
      // without end when one that failed while its rows were read is run
      // again.
      statements_.Forget(sql);
      throw;
    }
  }

  // Runs `sql` once, unprepared, reading nothing.
  void Command(const std::string& sql) {
    Handle statement(SQL_HANDLE_STMT, connection_.get());
    CursorCloser closer(statement.get());
    const SQLRETURN status =
        SQLExecDirect(statement.get(),
                      reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.data())),
                      static_cast<SQLINTEGER>(sql.size()));
    if (status != SQL_NO_DATA) Check(status, statement);
  }

  Prepared Prepare(std::string_view sql) {
    Handle statement(SQL_HANDLE_STMT, connection_.get());
    SQLSetStmtAttr(statement.get(), SQL_ATTR_QUERY_TIMEOUT,
                   reinterpret_cast<SQLPOINTER>(command_timeout_), 0);
    Check(SQLPrepare(statement.get(),
                     reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.data())),
                     static_cast<SQLINTEGER>(sql.size())),
          statement);
    SQLSMALLINT placeholders = 0;
    Check(SQLNumParams(statement.get(), &placeholders), statement);
    return Prepared{std::move(statement), placeholders};
  }

  std::int64_t RunPrepared(const Prepared& prepared, std::string_view sql,
                           const Values& values, Rows* rows) {
    RequireValueCount(sql, static_cast<std::size_t>(prepared.placeholders),
                      values.size());
    const Handle& statement = prepared.statement;
    CursorCloser closer(statement.get());
    Bound bound;
    Bind(statement, values, bound);
    const SQLRETURN status = SQLExecute(statement.get());
    // A searched change that touches no row answers SQL_NO_DATA.
    if (status != SQL_NO_DATA) Check(status, statement);
    if (rows) {
      *rows = ReadRows(statement);
      return 0;
    }
    SQLLEN changed = 0;
    if (status != SQL_NO_DATA) {
      Check(SQLRowCount(statement.get(), &changed), statement);
    }
    return changed < 0 ? 0 : changed;
  }

  void Bind(const Handle& statement, const Values& values, Bound& bound) {
    // The driver keeps pointers to these until the run: no reallocation.
    bound.lengths.resize(values.size());
    bound.timestamps.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      const Value& value = values[i];
      const auto number = static_cast<SQLUSMALLINT>(i + 1);
      SQLLEN& length = bound.lengths[i];
      auto bind = [&](SQLSMALLINT c_type, SQLSMALLINT sql_type,
                      SQLULEN column_size, SQLSMALLINT digits, const void* data,
                      SQLLEN size) {
        length = size;
        return SQLBindParameter(statement.get(), number, SQL_PARAM_INPUT,
                                c_type, sql_type, column_size, digits,
                                const_cast<void*>(data),
                                std::max<SQLLEN>(size, 0), &length);
      };
      auto bind_text = [&](const std::string& text) {
        // Drivers cap VARCHAR parameters at 8000 bytes; longer text goes as
        // LONGVARCHAR. An empty text still has a column size of one.
        return bind(SQL_C_CHAR,
                    text.size() > 8000 ? SQL_LONGVARCHAR : SQL_VARCHAR,
                    std::max<std::size_t>(text.size(), 1), 0, text.data(),
                    static_cast<SQLLEN>(text.size()));
      };
      SQLRETURN status;
      if (const std::int64_t* integer = value.integer()) {
        status = bind(SQL_C_SBIGINT, SQL_BIGINT, 0, 0, integer, 0);
      } else if (const double* real = value.real()) {
        status = bind(SQL_C_DOUBLE, SQL_DOUBLE, 0, 0, real, 0);
      } else if (const std::string* text = value.text()) {
        status = bind_text(*text);
      } else if (const DateTime* date = value.date()) {
        const DateTime::Calendar calendar = date->ToCalendar();
        bound.timestamps.push_back(
            {static_cast<SQLSMALLINT>(calendar.year),
             static_cast<SQLUSMALLINT>(calendar.month),
             static_cast<SQLUSMALLINT>(calendar.day),
             static_cast<SQLUSMALLINT>(calendar.hour),
             static_cast<SQLUSMALLINT>(calendar.minute),
             static_cast<SQLUSMALLINT>(calendar.second),
             static_cast<SQLUINTEGER>(calendar.millisecond) * 1000000u});
        // "YYYY-MM-DD HH:MM:SS.SSS": 23 characters, 3 of them fraction.
        status = bind(SQL_C_TYPE_TIMESTAMP, SQL_TYPE_TIMESTAMP, 23, 3,
                      &bound.timestamps.back(), 0);
      } else {
        status = bind(SQL_C_CHAR, SQL_VARCHAR, 1, 0, nullptr, SQL_NULL_DATA);
      }
      Check(status, statement);
    }
  }

  // Every row of the open cursor on `statement`, each value read in the
  // kind of its column's SQL type.
  Rows ReadRows(const Handle& statement) {
    SQLSMALLINT count = 0;
    Check(SQLNumResultCols(statement.get(), &count), statement);
    std::vector<Reading> readings;
    for (SQLUSMALLINT column = 1; column <= count; ++column) {
      SQLSMALLINT sql_type = 0, digits = 0, nullable = 0;
      SQLULEN size = 0;
      Check(SQLDescribeCol(statement.get(), column, nullptr, 0, nullptr,
                           &sql_type, &size, &digits, &nullable),
            statement);
      readings.push_back(ReadingOf(sql_type));
    }
    Rows rows;
    if (count == 0) return rows;
    for (;;) {
      const SQLRETURN status = SQLFetch(statement.get());
      if (status == SQL_NO_DATA) break;
      Check(status, statement);
      Row& row = rows.emplace_back();
      row.reserve(readings.size());
      for (std::size_t i = 0; i < readings.size(); ++i) {
        row.push_back(ReadValue(statement, static_cast<SQLUSMALLINT>(i + 1),
                                readings[i]));
      }
    }
    return rows;
  }

  // Reads a fixed-size value of `c_type` into `target`; false for Null.
  bool ReadFixed(const Handle& statement, SQLUSMALLINT column,
                 SQLSMALLINT c_type, void* target) {
    SQLLEN length = 0;
    Check(SQLGetData(statement.get(), column, c_type, target, 0, &length),
          statement);
    return length != SQL_NULL_DATA;
  }

  Value ReadValue(const Handle& statement, SQLUSMALLINT column,
                  Reading reading) {
    switch (reading) {
      case Reading::kInteger:
      case Reading::kDecimal: {
        // Read as the driver writes them: no digit is lost in the driver's
        // own conversion, and a fraction stored in a whole-number column
        // (SQLite allows it) is not cut off without a word, as the SQLite
        // driver's own conversion does.
        std::optional<std::string> text = ReadText(statement, column);
        if (!text) break;
        return NumberFromText(std::move(*text), reading == Reading::kInteger);
      }
      case Reading::kReal: {
        double real = 0;
        if (!ReadFixed(statement, column, SQL_C_DOUBLE, &real)) break;
        return Value(real);
      }
      case Reading::kTimestamp: {
        if (dialect_->dates_as_stored) {
          std::optional<std::string> text = ReadText(statement, column);
          if (!text) break;
          if (std::optional<DateTime> date = DateTime::FromIsoText(*text)) {
            return *date;
          }
          return NumberFromText(std::move(*text), false);
        }
        SQL_TIMESTAMP_STRUCT stamp{};
        if (!ReadFixed(statement, column, SQL_C_TYPE_TIMESTAMP, &stamp)) {
          break;
        }
        return Value(FromStoreCalendar(
            {stamp.year, stamp.month, stamp.day, stamp.hour, stamp.minute,
             stamp.second,
             // Rounded to the millisecond, as dates read from text are.
             static_cast<int>(std::min<SQLUINTEGER>(
                 (stamp.fraction + 500000u) / 1000000u, 999u))}));
      }
      case Reading::kText: {
        std::optional<std::string> text = ReadText(statement, column);
        if (!text) break;
        return Value(std::move(*text));
      }
    }
    return Value();
  }

  // The whole text of a column, read in pieces so that a long text needs
  // no size known beforehand; nothing for Null.
  std::optional<std::string> ReadText(const Handle& statement,
                                      SQLUSMALLINT column) {
    std::string text;
    char piece[1024];
    for (;;) {
      SQLLEN length = 0;
      const SQLRETURN status = SQLGetData(statement.get(), column, SQL_C_CHAR,
                                          piece, sizeof piece, &length);
      if (status == SQL_NO_DATA) break;
      Check(status, statement);
      if (length == SQL_NULL_DATA) return std::nullopt;
      // A piece that did not hold the rest is full but for its closing NUL.
      const bool whole = length != SQL_NO_TOTAL &&
                         static_cast<std::size_t>(length) < sizeof piece;
      text.append(piece,
                  whole ? static_cast<std::size_t>(length) : sizeof piece - 1);
      if (status == SQL_SUCCESS) break;
    }
    return text;
  }

  // Held while the handles are made and connected, and while they end.
  std::unique_lock<std::mutex> driver_manager_{DriverManagerLock()};
  Handle environment_;
  Handle connection_;
  SQLULEN command_timeout_;  // seconds
  bool in_transaction_ = false;
  // The connection failed, or was left in a state the pool cannot vouch
  // for.
  bool broken_ = false;
  // How the store keeps unquoted identifiers: SQL_IC_UPPER, SQL_IC_LOWER,
  // SQL_IC_SENSITIVE or SQL_IC_MIXED.
  SQLUSMALLINT identifier_case_ = SQL_IC_MIXED;
  std::string database_product_;
  const Dialect* dialect_ = nullptr;
  StatementCache<Prepared> statements_;
  std::map<std::string, std::optional<RowIdentity>, std::less<>> identities_;
};

}  // namespace

std::unique_ptr<Connection> OpenODBC(const ConnectionTarget& target) {
  return std::make_unique<ODBCConnection>(target.parameters, target.limits);
}

}  // namespace tavikuser::store
