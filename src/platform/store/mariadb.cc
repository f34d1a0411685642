// The MariaDB/MySQL store, on the client library Debian ships
// (libmariadb). A connection keeps each statement prepared once on the
// server, binds values in their own kinds and reads each column in the kind
// of its type; every result is taken whole to the client before it is read.
#include <fcntl.h>
#include <mysql.h>

#include <charconv>
#include <map>
#include <stdexcept>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/store/stores.h"

namespace tavikuser::store {
namespace {

// The client's own codes for a connection that is gone (CR_SERVER_GONE_ERROR,
// CR_SERVER_LOST, CR_SERVER_LOST_EXTENDED), and the server's for a statement
// that must be prepared again (ER_NEED_REPREPARE).
constexpr unsigned kServerGone = 2006;
constexpr unsigned kServerLost = 2013;
constexpr unsigned kServerLostExtended = 2055;
constexpr unsigned kNeedReprepare = 1615;

// How much longer than the Command Timeout the client waits for an answer:
// the server ends a statement at the Command Timeout itself, with its own
// text, unless its process has stopped or the network is gone.
constexpr unsigned kGraceSeconds = 2;

using Link = std::unique_ptr<MYSQL, decltype(&mysql_close)>;

struct StatementCloser {
  void operator()(MYSQL_STMT* statement) const { mysql_stmt_close(statement); }
};
using Statement = std::unique_ptr<MYSQL_STMT, StatementCloser>;

struct Prepared {
  Statement statement;
  std::size_t parameters = 0;
};

// The parts of a target's parameters, in this order, each ended by a NUL
// (which no connection-string value holds).
enum Part { kHost, kPort, kDatabase, kUser, kPassword, kSocket, kParts };

// How a column is read, from the type the server gives it.
enum class Reading { kInteger, kReal, kDecimal, kDate, kText };

Reading ReadingOf(const MYSQL_FIELD& field) {
  switch (field.type) {
    case MYSQL_TYPE_TINY:
    case MYSQL_TYPE_SHORT:
    case MYSQL_TYPE_INT24:
    case MYSQL_TYPE_LONG:
    case MYSQL_TYPE_YEAR:
      return Reading::kInteger;
    case MYSQL_TYPE_LONGLONG:
      // One above the signed range would not fit.
      return field.flags & UNSIGNED_FLAG ? Reading::kDecimal
                                         : Reading::kInteger;
    case MYSQL_TYPE_FLOAT:
    case MYSQL_TYPE_DOUBLE:
      return Reading::kReal;
    case MYSQL_TYPE_DECIMAL:
    case MYSQL_TYPE_NEWDECIMAL:
      return Reading::kDecimal;
    case MYSQL_TYPE_DATE:
    case MYSQL_TYPE_DATETIME:
    case MYSQL_TYPE_TIMESTAMP:
      return Reading::kDate;
    default:
      return Reading::kText;
  }
}

// Where one column of the current row is fetched to.
struct Cell {
  Reading reading;
  std::int64_t integer = 0;
  double real = 0;
  MYSQL_TIME time{};
  std::string text;
  unsigned long length = 0;
  my_bool null = 0;
  my_bool error = 0;
};

class MariaDBConnection final : public Connection {
 public:
  explicit MariaDBConnection(Link link) : link_(std::move(link)) {}

  Rows Query(std::string_view sql, const Values& values) override {
    Rows rows;
    Run(sql, values, &rows);
    return rows;
  }

  std::int64_t Execute(std::string_view sql, const Values& values) override {
    return Run(sql, values, nullptr);
  }

  void Begin() override { Command("START TRANSACTION"); }
  void Commit() override { Command("COMMIT"); }

  void Rollback() override {
    if (!broken_ && !InTransaction()) return;
    try {
      Command("ROLLBACK");
    } catch (const DataAccessError&) {
      broken_ = true;
      throw;
    }
  }

  std::optional<Value> LockCounter(const std::string& company,
                                   const std::string& branch,
                                   const std::string& document) override {
    const Values key{company, branch, document};
    Rows rows = Query(kMariaDBLockCounter, key);
    if (rows.empty()) {
      // The first number of these prefixes: the row is made (or, made by a
      // creator that went first, waited for) and then held.
      Execute(kMariaDBEnsureCounter, key);
      rows = Query(kMariaDBLockCounter, key);
    }
    if (rows.empty()) return std::nullopt;
    return std::move(rows.front().front());
  }

  // The primary key: the server has no row identity of its own.
  std::optional<RowIdentity> IdentityOf(std::string_view table) override {
    auto known = identities_.find(table);
    if (known != identities_.end()) return known->second;
    const Rows key = Query(
        "SELECT COLUMN_NAME FROM information_schema.KEY_COLUMN_USAGE WHERE "
        "TABLE_SCHEMA = DATABASE() AND TABLE_NAME = ? AND CONSTRAINT_NAME = "
        "'PRIMARY' ORDER BY ORDINAL_POSITION",
        {std::string(table)});
    std::vector<std::string> columns;
    for (const Row& row : key) columns.push_back(row.front().ToText());
    const std::optional<RowIdentity> identity = KeyIdentity(columns);
    if (!identity &&
        Query("SELECT 1 FROM information_schema.TABLES WHERE TABLE_SCHEMA = "
              "DATABASE() AND TABLE_NAME = ?",
              {std::string(table)})
            .empty()) {
      throw DataAccessError("Table '" + std::string(table) + "' doesn't exist");
    }
    identities_.emplace(table, identity);
    return identity;
  }

  std::string DatabaseProduct() const override { return "MariaDB"; }
  std::size_t statements_prepared() const override {
    return statements_.prepared();
  }

  // The client keeps the server's transaction flag from its last answer.
  bool Reusable() const override { return !broken_ && !InTransaction(); }

  bool Usable() const override {
    return Reusable() && IdleSocketOpen(mysql_get_socket(link_.get()));
  }

 private:
  bool InTransaction() const {
    unsigned int status = 0;
    mariadb_get_infov(link_.get(), MARIADB_CONNECTION_SERVER_STATUS, &status);
    return status & SERVER_STATUS_IN_TRANS;
  }

  [[noreturn]] void Fail(unsigned code, const char* text) {
    if (code == kServerGone || code == kServerLost ||
        code == kServerLostExtended) {
      broken_ = true;
    }
    throw DataAccessError(StoreText(text));
  }
  [[noreturn]] void Fail() {
    Fail(mysql_errno(link_.get()), mysql_error(link_.get()));
  }
  [[noreturn]] void Fail(MYSQL_STMT* statement) {
    Fail(mysql_stmt_errno(statement), mysql_stmt_error(statement));
  }

  void Command(std::string_view sql) {
    if (mysql_real_query(link_.get(), sql.data(), sql.size())) Fail();
  }

  Prepared& Prepare(std::string_view sql) {
    if (statements_.full()) statements_.Clear();
    Statement statement(mysql_stmt_init(link_.get()));
    if (!statement) Fail();
    // So that each text column's longest value is known before it is read.
    const my_bool update_max_length = 1;
    mysql_stmt_attr_set(statement.get(), STMT_ATTR_UPDATE_MAX_LENGTH,
                        &update_max_length);
    if (mysql_stmt_prepare(statement.get(), sql.data(), sql.size())) {
      Fail(statement.get());
    }
    const std::size_t parameters = mysql_stmt_param_count(statement.get());
    return statements_.Keep(sql, {std::move(statement), parameters});
  }

  // Runs `sql`, prepared on its first run, with `values`; reads its rows
  // into `rows` when given, and otherwise returns how many rows it matched.
  std::int64_t Run(std::string_view sql, const Values& values, Rows* rows) {
    if (broken_) {
      throw DataAccessError("The connection to the server was lost.");
    }
    RefuseNul(values);
    Prepared* prepared = statements_.Find(sql);
    if (!prepared) prepared = &Prepare(sql);
    RequireValueCount(sql, prepared->parameters, values.size());
    if (!Executed(prepared->statement.get(), values)) {
      MYSQL_STMT* failed = prepared->statement.get();
      // A table changed under the statement so that the server will not run
      // it as prepared: outside a transaction the failed run changed
      // nothing, and the statement is prepared and run again, once.
      if (mysql_stmt_errno(failed) != kNeedReprepare || InTransaction()) {
        Fail(failed);
      }
      statements_.Forget(sql);
      prepared = &Prepare(sql);
      if (!Executed(prepared->statement.get(), values)) {
        Fail(prepared->statement.get());
      }
    }
    MYSQL_STMT* statement = prepared->statement.get();
    if (!rows) {
      const my_ulonglong changed = mysql_stmt_affected_rows(statement);
      mysql_stmt_free_result(statement);
      return changed == static_cast<my_ulonglong>(-1)
                 ? 0
                 : static_cast<std::int64_t>(changed);
    }
    *rows = ReadRows(statement);
    return 0;
  }

  // Binds `values` and runs `statement`, its result taken whole to the
  // client; false when the server refused it.
  bool Executed(MYSQL_STMT* statement, const Values& values) {
    std::vector<MYSQL_BIND> binds(values.size());
    std::vector<MYSQL_TIME> times(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      MYSQL_BIND& bind = binds[i];
      const Value& value = values[i];
      if (const std::int64_t* integer = value.integer()) {
        bind.buffer_type = MYSQL_TYPE_LONGLONG;
        bind.buffer = const_cast<std::int64_t*>(integer);
      } else if (const double* real = value.real()) {
        bind.buffer_type = MYSQL_TYPE_DOUBLE;
        bind.buffer = const_cast<double*>(real);
      } else if (const std::string* text = value.text()) {
        bind.buffer_type = MYSQL_TYPE_STRING;
        bind.buffer = const_cast<char*>(text->data());
        bind.buffer_length = text->size();
      } else if (const DateTime* date = value.date()) {
        const DateTime::Calendar calendar = date->ToCalendar();
        MYSQL_TIME& time = times[i];
        time.year = calendar.year;
        time.month = calendar.month;
        time.day = calendar.day;
        time.hour = calendar.hour;
        time.minute = calendar.minute;
        time.second = calendar.second;
        time.second_part = calendar.millisecond * 1000ul;
        time.time_type = MYSQL_TIMESTAMP_DATETIME;
        bind.buffer_type = MYSQL_TYPE_DATETIME;
        bind.buffer = &time;
      } else {
        bind.buffer_type = MYSQL_TYPE_NULL;
      }
    }
    if (!binds.empty() && mysql_stmt_bind_param(statement, binds.data())) {
      return false;
    }
    return !mysql_stmt_execute(statement) &&
           !mysql_stmt_store_result(statement);
  }

  Rows ReadRows(MYSQL_STMT* statement) {
    // Freed however reading ends, so that the next run starts clean.
    struct Freer {
      MYSQL_STMT* statement;
      ~Freer() { mysql_stmt_free_result(statement); }
    } freer{statement};
    std::unique_ptr<MYSQL_RES, decltype(&mysql_free_result)> metadata(
        mysql_stmt_result_metadata(statement), &mysql_free_result);
    if (!metadata) return {};
    const unsigned count = mysql_num_fields(metadata.get());
    const MYSQL_FIELD* fields = mysql_fetch_fields(metadata.get());
    std::vector<Cell> cells(count);
    std::vector<MYSQL_BIND> binds(count);
    for (unsigned i = 0; i < count; ++i) {
      Cell& cell = cells[i];
      MYSQL_BIND& bind = binds[i];
      cell.reading = ReadingOf(fields[i]);
      bind.is_null = &cell.null;
      bind.error = &cell.error;
      bind.length = &cell.length;
      switch (cell.reading) {
        case Reading::kInteger:
          bind.buffer_type = MYSQL_TYPE_LONGLONG;
          bind.buffer = &cell.integer;
          break;
        case Reading::kReal:
          bind.buffer_type = MYSQL_TYPE_DOUBLE;
          bind.buffer = &cell.real;
          break;
        case Reading::kDate:
          bind.buffer_type = MYSQL_TYPE_DATETIME;
          bind.buffer = &cell.time;
          break;
        case Reading::kDecimal:
        case Reading::kText:
          cell.text.resize(fields[i].max_length + 1);
          bind.buffer_type = MYSQL_TYPE_STRING;
          bind.buffer = cell.text.data();
          bind.buffer_length = cell.text.size();
          break;
      }
    }
    if (count && mysql_stmt_bind_result(statement, binds.data())) {
      Fail(statement);
    }
    Rows rows;
    for (;;) {
      const int status = mysql_stmt_fetch(statement);
      if (status == MYSQL_NO_DATA) break;
      if (status == 1) Fail(statement);
      Row& row = rows.emplace_back();
      row.reserve(count);
      for (Cell& cell : cells) row.push_back(Read(cell));
    }
    return rows;
  }

  static Value Read(const Cell& cell) {
    if (cell.null) return {};
    switch (cell.reading) {
      case Reading::kInteger:
        return cell.integer;
      case Reading::kReal:
        return cell.real;
      case Reading::kDate: {
        const MYSQL_TIME& time = cell.time;
        try {
          return DateTime::FromCalendar(
              {static_cast<int>(time.year), static_cast<int>(time.month),
               static_cast<int>(time.day), static_cast<int>(time.hour),
               static_cast<int>(time.minute), static_cast<int>(time.second),
               // Rounded to the millisecond, as dates read from text are.
               static_cast<int>(std::min<unsigned long>(
                   (time.second_part + 500) / 1000, 999))});
        } catch (const std::out_of_range&) {
          throw DataAccessError(
              "The store holds a date-time outside years 100 to 9999.");
        }
      }
      case Reading::kDecimal:
        return NumberFromText(cell.text.substr(0, cell.length), true);
      case Reading::kText:
        return cell.text.substr(0, cell.length);
    }
    return {};
  }

  // Declared first: closed after the statements prepared on it.
  Link link_;
  StatementCache<Prepared> statements_;
  std::map<std::string, std::optional<RowIdentity>, std::less<>> identities_;
  // The connection was lost, or a rollback failed.
  bool broken_ = false;
};

// `parameters`, split into its parts.
std::vector<std::string> Parts(const std::string& parameters) {
  std::vector<std::string> parts;
  for (std::size_t start = 0; parts.size() < kParts;) {
    const std::size_t end = parameters.find('\0', start);
    parts.push_back(parameters.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

}  // namespace

ConnectionTarget MariaDBTarget(Settings settings) {
  std::optional<std::string> values[kParts];
  values[kHost] = Take(settings, {"server", "host"});
  values[kPort] = Take(settings, {"port"});
  values[kDatabase] = Take(settings, {"database", "initial catalog"});
  values[kUser] = Take(settings, {"user id", "uid", "user"});
  values[kPassword] = Take(settings, kPasswordKeys);
  values[kSocket] = Take(settings, {"socket", "unix socket"});
  RefuseLeftovers(settings, "MariaDB",
                  "Provider, Server or Host, Port, Database or Initial "
                  "Catalog, User ID or UID, Password or PWD, Socket");
  if (values[kPort]) {
    const std::string& text = *values[kPort];
    unsigned port = 0;
    const auto [end, error] =
        std::from_chars(text.data(), text.data() + text.size(), port);
    if (error != std::errc() || end != text.data() + text.size() || port < 1 ||
        port > 65535) {
      throw DataAccessError(
          "The connection string's Port must be a whole number from 1 to "
          "65535, not '" +
          text + "'.");
    }
  }
  std::string parameters;
  for (const std::optional<std::string>& value : values) {
    parameters += value.value_or("");
    parameters += '\0';
  }
  std::string pool_key = "mariadb:" + parameters;
  return {Provider::kMariaDB, std::move(parameters), std::move(pool_key)};
}

std::unique_ptr<Connection> OpenMariaDB(const ConnectionTarget& target) {
  const std::vector<std::string> parts = Parts(target.parameters);
  const Limits& limits = target.limits;
  Link link(mysql_init(nullptr), &mysql_close);
  if (!link) throw DataAccessError("libmariadb cannot allocate a connection.");
  const unsigned connect = static_cast<unsigned>(limits.connect.count());
  const unsigned answer =
      static_cast<unsigned>(limits.command.count()) + kGraceSeconds;
  mysql_optionsv(link.get(), MYSQL_OPT_CONNECT_TIMEOUT, &connect);
  mysql_optionsv(link.get(), MYSQL_OPT_READ_TIMEOUT, &answer);
  mysql_optionsv(link.get(), MYSQL_OPT_WRITE_TIMEOUT, &answer);
  mysql_optionsv(link.get(), MYSQL_SET_CHARSET_NAME, "utf8mb4");
  const auto part = [&parts](Part which) {
    return parts[which].empty() ? nullptr : parts[which].c_str();
  };
  // CLIENT_FOUND_ROWS: an update counts the rows it matched, as on the other
  // stores, not only those whose values it changed.
  if (!mysql_real_connect(link.get(), part(kHost), part(kUser), part(kPassword),
                          part(kDatabase),
                          parts[kPort].empty() ? 0 : std::stoul(parts[kPort]),
                          part(kSocket), CLIENT_FOUND_ROWS)) {
    std::string text = StoreText(mysql_error(link.get()));
    if (mysql_errno(link.get()) == 2002 || mysql_errno(link.get()) == 2003) {
      text += " (" + LimitText("Connect Timeout", limits.connect) + ")";
    }
    throw DataAccessError(text);
  }
  // A program that a child of the host runs must not take the server's
  // socket along: the client library opens it without close-on-exec.
  const int socket = mysql_get_socket(link.get());
  fcntl(socket, F_SETFD, fcntl(socket, F_GETFD) | FD_CLOEXEC);
  // Read committed, as on the other server: a read inside a transaction sees
  // what others committed before it, and numbered creation, which locks the
  // counter row, takes no gap locks that would make creators deadlock. The
  // server ends a lock wait at the Lock Timeout and a statement at the
  // Command Timeout itself, with its own text (MySQL knows the latter under
  // another name). Keys are compared exactly: see schema/mariadb.sql.
  const std::string session =
      "SET SESSION TRANSACTION ISOLATION LEVEL READ COMMITTED";
  const std::string lock = "SET SESSION innodb_lock_wait_timeout = " +
                           std::to_string(limits.lock.count());
  const std::string mariadb_command = "SET SESSION max_statement_time = " +
                                      std::to_string(limits.command.count());
  const std::string mysql_command =
      "SET SESSION max_execution_time = " +
      std::to_string(limits.command.count() * 1000);
  for (const std::string* sql : {&session, &lock}) {
    if (mysql_real_query(link.get(), sql->data(), sql->size())) {
      throw DataAccessError(StoreText(mysql_error(link.get())));
    }
  }
  if (mysql_real_query(link.get(), mariadb_command.data(),
                       mariadb_command.size()) &&
      mysql_real_query(link.get(), mysql_command.data(),
                       mysql_command.size())) {
    throw DataAccessError(StoreText(mysql_error(link.get())));
  }
  return std::make_unique<MariaDBConnection>(std::move(link));
}

}  // namespace tavikuser::store
