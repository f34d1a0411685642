// Sessions over SOCI. One class does the work for every provider: it keeps
// each statement prepared once, bound to buffers it owns, and reads every
// result to its end so that no statement stays open and holds a read
// transaction. The providers differ only in how a prepared statement
// describes its columns and in how a session tells whether it may be reused.
#include "platform/adodb/session.h"

#include <libpq-fe.h>
#include <poll.h>
#include <soci/postgresql/soci-postgresql.h>
#include <soci/soci.h>
// Declares SQLite's own API in namespace sqlite_api.
#include <soci/sqlite3/soci-sqlite3.h>
#include <sys/stat.h>

#include <regex>
#include <string_view>
#include <unordered_map>

#include "platform/adodb/folder_watch.h"
#include "platform/automation/text.h"
#include "tavikuser/errors.h"

// The ODBC backend's entry point. Its header wants the ODBC development
// headers, which nothing else here needs: the backend is reached only
// through SOCI's generic interface.
extern "C" const soci::backend_factory* factory_odbc();

namespace tavikuser::adodb {
namespace {

// A session that has seen more distinct statements than this forgets them
// all and prepares afresh; the library itself uses a few dozen.
constexpr std::size_t kMaxPreparedStatements = 256;

// A provider's message without the line ends it closes with, and without
// the place in SOCI that some backends put before it (SQLite's come as
// "sqlite3_statement_backend::prepare: no such table: T"), so that ErrDesc
// reads as the store's own text. Only that shape is taken off: a backend's
// sentence before the text (PostgreSQL's "Cannot prepare statement.") says
// what failed and stays.
std::string ProviderText(std::string text) {
  static const std::regex kSociLocation(R"(^[A-Za-z_]\w*::[A-Za-z_]\w*: )");
  text = std::regex_replace(text, kSociLocation, "",
                            std::regex_constants::format_first_only);
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

std::string ProviderText(const soci::soci_error& error) {
  return ProviderText(error.get_error_message());
}

// Some provider paths take text as C strings, which end at a NUL: a value
// holding one would reach the store cut short, and could find or overwrite
// another row than the one it names.
void RefuseNul(const std::vector<BoundValue>& values) {
  for (const BoundValue& value : values) {
    if (value && value->find('\0') != std::string::npos) {
      throw DataAccessError(
          "A value contains a NUL character, at which the store would cut it "
          "short; the statement was not run.");
    }
  }
}

// Runs `step`, turning a provider's failure into the library's.
template <class Step>
auto Translated(Step&& step) {
  try {
    return step();
  } catch (const soci::soci_error& error) {
    throw DataAccessError(ProviderText(error));
  }
}

VarType FromSociType(soci::data_type type) {
  switch (type) {
    case soci::dt_integer:
    case soci::dt_long_long:
    case soci::dt_unsigned_long_long:
      return VarType::kI4;
    case soci::dt_double:
      return VarType::kDouble;
    case soci::dt_date:
      return VarType::kDate;
    default:
      return VarType::kText;
  }
}

// One statement prepared on a session, bound to the buffers that its
// placeholders and columns exchange values through.
struct PreparedStatement {
  explicit PreparedStatement(soci::session& session) : statement(session) {}
  soci::statement statement;
  std::vector<Column> columns;
  std::vector<std::string> parameters;
  std::vector<soci::indicator> parameter_indicators;
  std::vector<std::string> values;
  std::vector<soci::indicator> value_indicators;
};

class SociSession : public Session {
 public:
  ResultSet Query(const std::string& sql,
                  const std::vector<BoundValue>& values) override {
    return Run(sql, values).rows;
  }

  long long Execute(const std::string& sql,
                    const std::vector<BoundValue>& values) override {
    return Run(sql, values).affected;
  }

  void Begin() override {
    Translated([&] { session_.begin(); });
  }
  void Commit() override {
    Translated([&] { session_.commit(); });
  }
  void Rollback() override {
    Translated([&] { session_.rollback(); });
  }

  std::size_t statements_prepared() const override {
    return statements_prepared_;
  }

 protected:
  SociSession(const soci::backend_factory& factory,
              const std::string& parameters)
      : session_(
            Translated([&] { return soci::session(factory, parameters); })) {}

  // The columns that a prepared statement yields, learnt without running
  // it (a statement that changes rows must change them once).
  virtual std::vector<Column> Describe(soci::statement& statement) = 0;

  soci::session session_;

 private:
  struct Outcome {
    ResultSet rows;
    long long affected = 0;
  };

  Outcome Run(const std::string& sql, const std::vector<BoundValue>& values) {
    RefuseNul(values);
    try {
      PreparedStatement& prepared = Prepared(sql, values.size());
      for (std::size_t i = 0; i < values.size(); ++i) {
        prepared.parameters[i] = values[i].value_or(std::string());
        prepared.parameter_indicators[i] =
            values[i] ? soci::i_ok : soci::i_null;
      }
      Outcome outcome;
      outcome.rows.columns = prepared.columns;
      for (bool fetched = prepared.statement.execute(true); fetched;
           fetched = prepared.statement.fetch()) {
        auto& row = outcome.rows.rows.emplace_back();
        row.reserve(prepared.values.size());
        for (std::size_t j = 0; j < prepared.values.size(); ++j) {
          if (prepared.value_indicators[j] == soci::i_null) {
            row.emplace_back();
          } else {
            row.emplace_back(prepared.values[j]);
          }
        }
      }
      outcome.affected = prepared.statement.get_affected_rows();
      return outcome;
    } catch (const soci::soci_error& error) {
      // A statement that failed may be left half-run: build it afresh.
      statements_.erase(sql);
      throw DataAccessError(ProviderText(error));
    }
  }

  PreparedStatement& Prepared(const std::string& sql, std::size_t value_count) {
    auto cached = statements_.find(sql);
    if (cached != statements_.end()) {
      if (cached->second->parameters.size() != value_count) {
        throw DataAccessError(
            "The statement " + sql + " takes " +
            std::to_string(cached->second->parameters.size()) +
            " values, not " + std::to_string(value_count) + ".");
      }
      return *cached->second;
    }
    auto prepared = std::make_unique<PreparedStatement>(session_);
    soci::statement& statement = prepared->statement;
    statement.alloc();
    statement.prepare(sql, soci::details::st_repeatable_query);
    prepared->columns = Describe(statement);
    // Sized once: SOCI keeps the addresses of these buffers.
    prepared->values.resize(prepared->columns.size());
    prepared->value_indicators.resize(prepared->columns.size());
    prepared->parameters.resize(value_count);
    prepared->parameter_indicators.resize(value_count);
    for (std::size_t j = 0; j < prepared->values.size(); ++j) {
      statement.exchange(
          soci::into(prepared->values[j], prepared->value_indicators[j]));
    }
    for (std::size_t i = 0; i < value_count; ++i) {
      statement.exchange(soci::use(prepared->parameters[i],
                                   prepared->parameter_indicators[i]));
    }
    statement.define_and_bind();
    ++statements_prepared_;
    if (statements_.size() >= kMaxPreparedStatements) statements_.clear();
    return *statements_.emplace(sql, std::move(prepared)).first->second;
  }

  std::unordered_map<std::string, std::unique_ptr<PreparedStatement>>
      statements_;
  std::size_t statements_prepared_ = 0;
};

// SQLite keeps date-times as text in columns declared DATETIME, DATE or
// TIMESTAMP; other declarations follow SQLite's own affinity rules.
VarType FromSQLiteDeclaration(const char* declared) {
  if (!declared) return VarType::kText;
  const std::string type = automation::AsciiLower(declared);
  const auto has = [&type](std::string_view part) {
    return type.find(part) != std::string::npos;
  };
  if (has("date") || has("time")) return VarType::kDate;
  if (has("int")) return VarType::kI4;
  if (has("char") || has("clob") || has("text")) return VarType::kText;
  if (has("real") || has("floa") || has("doub") || has("num") || has("dec")) {
    return VarType::kDouble;
  }
  return VarType::kText;
}

class SQLiteSession final : public SociSession {
 public:
  explicit SQLiteSession(const ConnectionTarget& target)
      : SociSession(soci::sqlite3, target.backend_parameters),
        database_(
            static_cast<soci::sqlite3_session_backend*>(session_.get_backend())
                ->conn_),
        path_(target.sqlite_path),
        folder_watch_(FolderWatch::Instance().Watch(
            path_.substr(0, path_.find_last_of('/') + 1))) {
    // Counted before the file is looked up: a change after this is seen.
    if (folder_watch_ >= 0) {
      folder_changes_seen_ = FolderWatch::Instance().Changes(folder_watch_);
    }
    struct stat file;
    if (stat(path_.c_str(), &file) == 0) {
      file_identity_ = FileIdentity{file.st_dev, file.st_ino};
    }
  }

  Provider provider() const override { return Provider::kSQLite; }

  void Begin() override { Execute("BEGIN IMMEDIATE", {}); }

  bool Reusable() const override {
    return sqlite_api::sqlite3_get_autocommit(database_) != 0;
  }

  // The file is looked up by its path again only when something happened
  // to the entries of its folder since the last look; that lookup costs
  // several times what the folder watch does.
  bool Usable() const override {
    if (!Reusable() || !file_identity_) return false;
    if (folder_watch_ < 0) return IsTheFileAtPath();
    const long long changes = FolderWatch::Instance().Changes(folder_watch_);
    if (changes == folder_changes_seen_) return true;
    if (!IsTheFileAtPath()) return false;
    folder_changes_seen_ = changes;
    return true;
  }

 private:
  struct FileIdentity {
    dev_t device;
    ino_t inode;
  };

  bool IsTheFileAtPath() const {
    struct stat file;
    return stat(path_.c_str(), &file) == 0 &&
           file_identity_->device == file.st_dev &&
           file_identity_->inode == file.st_ino;
  }

  std::vector<Column> Describe(soci::statement& statement) override {
    sqlite_api::sqlite3_stmt* prepared =
        static_cast<soci::sqlite3_statement_backend*>(statement.get_backend())
            ->stmt_;
    std::vector<Column> columns(sqlite_api::sqlite3_column_count(prepared));
    for (std::size_t i = 0; i < columns.size(); ++i) {
      columns[i].name =
          sqlite_api::sqlite3_column_name(prepared, static_cast<int>(i));
      columns[i].type = FromSQLiteDeclaration(
          sqlite_api::sqlite3_column_decltype(prepared, static_cast<int>(i)));
    }
    return columns;
  }

  sqlite_api::sqlite3* database_;
  std::string path_;
  // The database file this session opened; a file put in its place is
  // another store.
  std::optional<FileIdentity> file_identity_;
  // The watch on the file's folder (-1: none to be had, so every check
  // looks the file up), and its count of changes when the file was last
  // found in place. A session serves one thread at a time.
  int folder_watch_;
  mutable long long folder_changes_seen_ = -1;
};

VarType FromPostgreSQLType(Oid type) {
  switch (type) {
    case 20:  // int8
    case 21:  // int2
    case 23:  // int4
      return VarType::kI4;
    case 700:   // float4
    case 701:   // float8
    case 1700:  // numeric
      return VarType::kDouble;
    case 1082:  // date
    case 1114:  // timestamp
      return VarType::kDate;
    default:
      return VarType::kText;
  }
}

class PostgreSQLSession final : public SociSession {
 public:
  explicit PostgreSQLSession(const ConnectionTarget& target)
      : SociSession(soci::postgresql, target.backend_parameters),
        connection_(static_cast<soci::postgresql_session_backend*>(
                        session_.get_backend())
                        ->conn_) {}

  Provider provider() const override { return Provider::kPostgreSQL; }

  bool Reusable() const override {
    return PQstatus(connection_) == CONNECTION_OK &&
           PQtransactionStatus(connection_) == PQTRANS_IDLE;
  }

  bool Usable() const override {
    if (!Reusable()) return false;
    // An idle connection is sent nothing unasked: anything to read means
    // that the server is ending it (terminated, timed out, shut down).
    pollfd socket{PQsocket(connection_), POLLIN, 0};
    return poll(&socket, 1, 0) == 0;
  }

 private:
  std::vector<Column> Describe(soci::statement& statement) override {
    const std::string& name = static_cast<soci::postgresql_statement_backend*>(
                                  statement.get_backend())
                                  ->statementName_;
    std::unique_ptr<PGresult, decltype(&PQclear)> description(
        PQdescribePrepared(connection_, name.c_str()), &PQclear);
    if (PQresultStatus(description.get()) != PGRES_COMMAND_OK) {
      throw DataAccessError(ProviderText(PQerrorMessage(connection_)));
    }
    std::vector<Column> columns(PQnfields(description.get()));
    for (std::size_t i = 0; i < columns.size(); ++i) {
      columns[i].name = PQfname(description.get(), static_cast<int>(i));
      columns[i].type =
          FromPostgreSQLType(PQftype(description.get(), static_cast<int>(i)));
    }
    return columns;
  }

  PGconn* connection_;
};

class ODBCSession final : public SociSession {
 public:
  explicit ODBCSession(const ConnectionTarget& target)
      : SociSession(*factory_odbc(), target.backend_parameters) {}

  Provider provider() const override { return Provider::kODBC; }

  // The driver manager keeps the transaction state to itself, so it is
  // followed here.
  void Begin() override {
    SociSession::Begin();
    in_transaction_ = true;
  }
  void Commit() override {
    SociSession::Commit();
    in_transaction_ = false;
  }
  void Rollback() override {
    SociSession::Rollback();
    in_transaction_ = false;
  }

  bool Reusable() const override {
    return !in_transaction_ && session_.is_connected();
  }

  bool Usable() const override { return Reusable(); }

 private:
  // ODBC describes a prepared statement's columns without running it.
  std::vector<Column> Describe(soci::statement& statement) override {
    soci::details::statement_backend* backend = statement.get_backend();
    std::vector<Column> columns(backend->prepare_for_describe());
    for (std::size_t i = 0; i < columns.size(); ++i) {
      soci::data_type type;
      backend->describe_column(static_cast<int>(i) + 1, type, columns[i].name);
      columns[i].type = FromSociType(type);
    }
    return columns;
  }

  bool in_transaction_ = false;
};

}  // namespace

std::unique_ptr<Session> Session::Open(const ConnectionTarget& target) {
  switch (target.provider) {
    case Provider::kSQLite:
      return std::make_unique<SQLiteSession>(target);
    case Provider::kPostgreSQL:
      return std::make_unique<PostgreSQLSession>(target);
    case Provider::kODBC:
      return std::make_unique<ODBCSession>(target);
  }
  throw DataAccessError("Unknown provider.");
}

}  // namespace tavikuser::adodb
