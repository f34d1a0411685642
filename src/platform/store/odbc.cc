// The ODBC store, on unixODBC's own API. The driver manager reads the
// connection string itself; statements take ODBC's own '?' placeholders.
// Values are bound and read in their own kinds, and every cursor is read to
// its end and closed, also after a failure. The driver manager keeps the
// transaction state to itself, so this connection follows its own.
#include <sql.h>
#include <sqlext.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <map>
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
    Check(SQLDriverConnect(connection_.get(), nullptr,
                           reinterpret_cast<SQLCHAR*>(
                               const_cast<char*>(connection_string.data())),
                           static_cast<SQLSMALLINT>(connection_string.size()),
                           nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT),
          connection_);
    // A driver that cannot tell keeps names as they are written.
    SQLGetInfo(connection_.get(), SQL_IDENTIFIER_CASE, &identifier_case_, 0,
               nullptr);
  }

  ~ODBCConnection() override {
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
    SetAutocommit(SQL_AUTOCOMMIT_OFF);
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
    // Writing the row unchanged takes its write lock on engines that lock
    // rows, which a plain read would not; ODBC has no portable locking read.
    Execute(
        "UPDATE Document_Counter SET Last_No = Last_No WHERE Company_Prefix "
        "= ? AND Branch_Prefix = ? AND Document_Prefix = ?",
        key);
    Rows rows = Query(
        "SELECT Last_No FROM Document_Counter WHERE Company_Prefix = ? AND "
        "Branch_Prefix = ? AND Document_Prefix = ?",
        key);
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
    return RunPrepared(statements_.Keep(sql, Prepare(sql)), sql, values, rows);
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
  StatementCache<Prepared> statements_;
  std::map<std::string, std::optional<RowIdentity>, std::less<>> identities_;
};

}  // namespace

std::unique_ptr<Connection> OpenODBC(const ConnectionTarget& target) {
  return std::make_unique<ODBCConnection>(target.parameters, target.limits);
}

}  // namespace tavikuser::store
