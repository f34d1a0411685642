// Sessions: SOCI opens the connection and conducts its transactions; each
// statement is prepared once per session on the provider's own API (SOCI's
// for ODBC), and every result is read to its end so that no statement stays
// open and holds a read transaction. The providers differ in how they
// prepare and run a statement and in how a session tells whether it may be
// reused.
#include "platform/adodb/session.h"

#include <libpq-fe.h>
#include <poll.h>
#include <soci/postgresql/soci-postgresql.h>
#include <soci/soci.h>
// Declares SQLite's own API in namespace sqlite_api.
#include <soci/sqlite3/soci-sqlite3.h>
#include <sys/stat.h>

#include <cctype>
#include <cstdlib>
#include <regex>
#include <string_view>
#include <unordered_map>
#include <utility>

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

// The outcome of one run of a statement.
struct Outcome {
  ResultSet rows;
  long long affected = 0;
};

// A session over SOCI, which opens the connection and conducts its
// transactions. Statements go to the provider's own API where there is one
// (SQLite, PostgreSQL): through SOCI a run cost a tenth more than the same
// run on the provider's API, which the access check could not afford.
class SociSession : public Session {
 public:
  void Begin() override {
    Translated([&] { session_.begin(); });
  }
  void Commit() override {
    Translated([&] { session_.commit(); });
  }
  void Rollback() override {
    Translated([&] { session_.rollback(); });
  }

 protected:
  SociSession(const soci::backend_factory& factory,
              const std::string& parameters)
      : session_(
            Translated([&] { return soci::session(factory, parameters); })) {}

  soci::session session_;
};

// Keeps each statement prepared once per session, by its text, and runs
// it. `Prepared` is a provider's prepared statement: it knows the columns
// the statement yields and how many values it takes.
template <class Prepared>
class StatementSession : public SociSession {
 public:
  ResultSet Query(const std::string& sql,
                  const std::vector<BoundValue>& values) override {
    return Run(sql, values).rows;
  }

  long long Execute(const std::string& sql,
                    const std::vector<BoundValue>& values) override {
    return Run(sql, values).affected;
  }

  std::size_t statements_prepared() const override {
    return statements_prepared_;
  }

 protected:
  using SociSession::SociSession;

  // Each throws DataAccessError carrying the provider's text.
  virtual std::unique_ptr<Prepared> Prepare(const std::string& sql,
                                            std::size_t value_count) = 0;
  // Reads every row, so that no statement stays open and holds a read
  // transaction.
  virtual Outcome RunPrepared(Prepared& prepared,
                              const std::vector<BoundValue>& values) = 0;
  // Frees what the store keeps for a statement that is forgotten.
  virtual void Forget(Prepared&) {}

 private:
  Outcome Run(const std::string& sql, const std::vector<BoundValue>& values) {
    RefuseNul(values);
    Prepared& prepared = Statement(sql, values.size());
    try {
      return RunPrepared(prepared, values);
    } catch (const DataAccessError&) {
      // A statement that failed may be left half-run: build it afresh.
      Forget(prepared);
      statements_.erase(sql);
      throw;
    }
  }

  Prepared& Statement(const std::string& sql, std::size_t value_count) {
    auto cached = statements_.find(sql);
    if (cached == statements_.end()) {
      std::unique_ptr<Prepared> prepared = Prepare(sql, value_count);
      ++statements_prepared_;
      if (statements_.size() >= kMaxPreparedStatements) {
        for (auto& [text, statement] : statements_) Forget(*statement);
        statements_.clear();
      }
      cached = statements_.emplace(sql, std::move(prepared)).first;
    }
    if (cached->second->parameters != value_count) {
      throw DataAccessError("The statement " + sql + " takes " +
                            std::to_string(cached->second->parameters) +
                            " values, not " + std::to_string(value_count) +
                            ".");
    }
    return *cached->second;
  }

  std::unordered_map<std::string, std::unique_ptr<Prepared>> statements_;
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

// A statement prepared on SQLite's own API.
struct SQLitePrepared {
  std::unique_ptr<sqlite_api::sqlite3_stmt,
                  decltype(&sqlite_api::sqlite3_finalize)>
      statement{nullptr, &sqlite_api::sqlite3_finalize};
  std::vector<Column> columns;
  std::size_t parameters = 0;
};

class SQLiteSession final : public StatementSession<SQLitePrepared> {
 public:
  explicit SQLiteSession(const ConnectionTarget& target)
      : StatementSession(soci::sqlite3, target.backend_parameters),
        database_(
            static_cast<soci::sqlite3_session_backend*>(session_.get_backend())
                ->conn_),
        path_(target.sqlite_path),
        folder_watch_(FolderWatch::Instance().Watch(
            path_.substr(0, path_.find_last_of('/') + 1))) {
    // Counted before the file is looked up: a change after this is seen.
    if (folder_watch_ >= 0) {
      folder_changes_seen_ =
          FolderWatch::Instance().Changes(folder_watch_).value_or(-1);
    }
    struct stat file;
    if (stat(path_.c_str(), &file) == 0) {
      file_identity_ = FileIdentity{file.st_dev, file.st_ino};
    }
  }

  Provider provider() const override { return Provider::kSQLite; }

  // Prepared once like any other statement: through SOCI, SQLite would
  // parse COMMIT anew for every transaction.
  void Begin() override { Execute("BEGIN IMMEDIATE", {}); }
  void Commit() override { Execute("COMMIT", {}); }
  void Rollback() override { Execute("ROLLBACK", {}); }

  bool Reusable() const override {
    return sqlite_api::sqlite3_get_autocommit(database_) != 0;
  }

  // The file is looked up by its path again only when something happened
  // to the entries of its folder since the last look; that lookup costs
  // several times what the folder watch does.
  bool Usable() const override {
    if (!Reusable() || !file_identity_) return false;
    if (folder_watch_ < 0) return IsTheFileAtPath();
    const std::optional<long long> changes =
        FolderWatch::Instance().Changes(folder_watch_);
    if (changes == folder_changes_seen_) return true;
    if (!IsTheFileAtPath()) return false;
    if (changes) folder_changes_seen_ = *changes;
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

  std::unique_ptr<SQLitePrepared> Prepare(const std::string& sql,
                                          std::size_t) override {
    using namespace sqlite_api;
    auto prepared = std::make_unique<SQLitePrepared>();
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(database_, sql.c_str(), static_cast<int>(sql.size()),
                           &statement, nullptr) != SQLITE_OK) {
      throw DataAccessError(ProviderText(sqlite3_errmsg(database_)));
    }
    if (!statement) throw DataAccessError("The statement is empty.");
    prepared->statement.reset(statement);
    prepared->columns.resize(sqlite3_column_count(statement));
    for (std::size_t i = 0; i < prepared->columns.size(); ++i) {
      const int column = static_cast<int>(i);
      prepared->columns[i].name = sqlite3_column_name(statement, column);
      prepared->columns[i].type =
          FromSQLiteDeclaration(sqlite3_column_decltype(statement, column));
    }
    prepared->parameters = sqlite3_bind_parameter_count(statement);
    return prepared;
  }

  Outcome RunPrepared(SQLitePrepared& prepared,
                      const std::vector<BoundValue>& values) override {
    using namespace sqlite_api;
    sqlite3_stmt* statement = prepared.statement.get();
    for (std::size_t i = 0; i < values.size(); ++i) {
      const int parameter = static_cast<int>(i) + 1;
      // The values outlive the run, and every run binds them all anew.
      if (values[i]) {
        sqlite3_bind_text(statement, parameter, values[i]->data(),
                          static_cast<int>(values[i]->size()), SQLITE_STATIC);
      } else {
        sqlite3_bind_null(statement, parameter);
      }
    }
    Outcome outcome;
    outcome.rows.columns = prepared.columns;
    int status;
    while ((status = sqlite3_step(statement)) == SQLITE_ROW) {
      auto& row = outcome.rows.rows.emplace_back();
      row.reserve(prepared.columns.size());
      for (int j = 0; j < static_cast<int>(prepared.columns.size()); ++j) {
        if (sqlite3_column_type(statement, j) == SQLITE_NULL) {
          row.emplace_back();
        } else {
          // Null only for an empty blob.
          const auto* text =
              reinterpret_cast<const char*>(sqlite3_column_text(statement, j));
          row.emplace_back(std::in_place, text ? text : "",
                           sqlite3_column_bytes(statement, j));
        }
      }
    }
    if (status != SQLITE_DONE) {
      const std::string text =
          ProviderText(sqlite3_errmsg(sqlite3_db_handle(statement)));
      sqlite3_reset(statement);
      throw DataAccessError(text);
    }
    outcome.affected = sqlite3_changes(database_);
    sqlite3_reset(statement);
    return outcome;
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

// Placeholders as libpq numbers them: each :name outside quoted text
// becomes $1, $2, ... in the order they appear (a :: cast stays).
std::string NumberedPlaceholders(const std::string& sql) {
  std::string numbered;
  numbered.reserve(sql.size());
  int placeholders = 0;
  char quote = 0;  // the quote of the text or name being read, if any
  for (std::size_t i = 0; i < sql.size(); ++i) {
    const char c = sql[i];
    if (quote) {
      if (c == quote) quote = 0;
    } else if (c == '\'' || c == '"') {
      quote = c;
    } else if (c == ':' && i + 1 < sql.size() && sql[i + 1] == ':') {
      numbered += "::";
      ++i;
      continue;
    } else if (c == ':' && i + 1 < sql.size() &&
               (std::isalpha(static_cast<unsigned char>(sql[i + 1])) ||
                sql[i + 1] == '_')) {
      numbered += '$' + std::to_string(++placeholders);
      while (i + 1 < sql.size() &&
             (std::isalnum(static_cast<unsigned char>(sql[i + 1])) ||
              sql[i + 1] == '_')) {
        ++i;
      }
      continue;
    }
    numbered += c;
  }
  return numbered;
}

using PostgreSQLResult = std::unique_ptr<PGresult, decltype(&PQclear)>;

// A statement prepared on the server under a name of its own.
struct PostgreSQLPrepared {
  std::string name;
  std::vector<Column> columns;
  std::size_t parameters = 0;
};

class PostgreSQLSession final : public StatementSession<PostgreSQLPrepared> {
 public:
  explicit PostgreSQLSession(const ConnectionTarget& target)
      : StatementSession(soci::postgresql, target.backend_parameters),
        connection_(static_cast<soci::postgresql_session_backend*>(
                        session_.get_backend())
                        ->conn_) {
    // The server's notices (for example a rollback with no transaction left
    // to roll back) would otherwise go to the host's standard error: the
    // library writes nothing of its own anywhere.
    PQsetNoticeProcessor(
        connection_, [](void*, const char*) {}, nullptr);
  }

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
  // The server's result, or its failure as a DataAccessError that says
  // what failed, as SOCI's texts have always said it.
  PostgreSQLResult Checked(PGresult* result, const char* what) const {
    PostgreSQLResult owned(result, &PQclear);
    const ExecStatusType status = PQresultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      throw DataAccessError(
          ProviderText(std::string(what) + " " +
                       (result ? PQresultErrorMessage(result)
                               : PQerrorMessage(connection_))));
    }
    return owned;
  }

  std::unique_ptr<PostgreSQLPrepared> Prepare(
      const std::string& sql, std::size_t value_count) override {
    auto prepared = std::make_unique<PostgreSQLPrepared>();
    prepared->name = "tavik_" + std::to_string(++statements_named_);
    // A statement without values is passed as written, casts and all.
    Checked(
        PQprepare(connection_, prepared->name.c_str(),
                  value_count ? NumberedPlaceholders(sql).c_str() : sql.c_str(),
                  0, nullptr),
        "Cannot prepare statement.");
    const PostgreSQLResult description =
        Checked(PQdescribePrepared(connection_, prepared->name.c_str()),
                "Cannot describe statement.");
    prepared->columns.resize(PQnfields(description.get()));
    for (std::size_t i = 0; i < prepared->columns.size(); ++i) {
      const int field = static_cast<int>(i);
      prepared->columns[i].name = PQfname(description.get(), field);
      prepared->columns[i].type =
          FromPostgreSQLType(PQftype(description.get(), field));
    }
    prepared->parameters = PQnparams(description.get());
    return prepared;
  }

  Outcome RunPrepared(PostgreSQLPrepared& prepared,
                      const std::vector<BoundValue>& values) override {
    std::vector<const char*> texts;
    texts.reserve(values.size());
    for (const BoundValue& value : values) {
      texts.push_back(value ? value->c_str() : nullptr);
    }
    const PostgreSQLResult result =
        Checked(PQexecPrepared(connection_, prepared.name.c_str(),
                               static_cast<int>(texts.size()), texts.data(),
                               nullptr, nullptr, 0),
                "Cannot execute query.");
    Outcome outcome;
    outcome.rows.columns = prepared.columns;
    const int rows = PQntuples(result.get());
    const int fields = PQnfields(result.get());
    outcome.rows.rows.resize(rows);
    for (int r = 0; r < rows; ++r) {
      auto& row = outcome.rows.rows[r];
      row.reserve(fields);
      for (int f = 0; f < fields; ++f) {
        if (PQgetisnull(result.get(), r, f)) {
          row.emplace_back();
        } else {
          row.emplace_back(std::in_place, PQgetvalue(result.get(), r, f),
                           PQgetlength(result.get(), r, f));
        }
      }
    }
    const char* affected = PQcmdTuples(result.get());
    outcome.affected = *affected ? std::atoll(affected) : 0;
    return outcome;
  }

  // Where the statement failed inside a transaction, the server refuses
  // this until the transaction ends; the name is then left to the
  // connection's end, which frees it.
  void Forget(PostgreSQLPrepared& prepared) override {
    PQclear(PQexec(connection_, ("DEALLOCATE " + prepared.name).c_str()));
  }

  PGconn* connection_;
  std::size_t statements_named_ = 0;
};

// A statement prepared through SOCI, bound to the buffers that its
// placeholders and columns exchange values through.
struct SociPrepared {
  explicit SociPrepared(soci::session& session) : statement(session) {}
  soci::statement statement;
  std::vector<Column> columns;
  std::size_t parameters = 0;
  std::vector<std::string> parameter_values;
  std::vector<soci::indicator> parameter_indicators;
  std::vector<std::string> values;
  std::vector<soci::indicator> value_indicators;
};

// ODBC has no one API below SOCI's to go to: its statements go through SOCI.
class ODBCSession final : public StatementSession<SociPrepared> {
 public:
  explicit ODBCSession(const ConnectionTarget& target)
      : StatementSession(*factory_odbc(), target.backend_parameters) {}

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
  std::unique_ptr<SociPrepared> Prepare(const std::string& sql,
                                        std::size_t value_count) override {
    return Translated([&] {
      auto prepared = std::make_unique<SociPrepared>(session_);
      soci::statement& statement = prepared->statement;
      statement.alloc();
      statement.prepare(sql, soci::details::st_repeatable_query);
      // ODBC describes a prepared statement's columns without running it.
      soci::details::statement_backend* backend = statement.get_backend();
      prepared->columns.resize(backend->prepare_for_describe());
      for (std::size_t i = 0; i < prepared->columns.size(); ++i) {
        soci::data_type type;
        backend->describe_column(static_cast<int>(i) + 1, type,
                                 prepared->columns[i].name);
        prepared->columns[i].type = FromSociType(type);
      }
      // Sized once: SOCI keeps the addresses of these buffers.
      prepared->values.resize(prepared->columns.size());
      prepared->value_indicators.resize(prepared->columns.size());
      prepared->parameters = value_count;
      prepared->parameter_values.resize(value_count);
      prepared->parameter_indicators.resize(value_count);
      for (std::size_t j = 0; j < prepared->values.size(); ++j) {
        statement.exchange(
            soci::into(prepared->values[j], prepared->value_indicators[j]));
      }
      for (std::size_t i = 0; i < value_count; ++i) {
        statement.exchange(soci::use(prepared->parameter_values[i],
                                     prepared->parameter_indicators[i]));
      }
      statement.define_and_bind();
      return prepared;
    });
  }

  Outcome RunPrepared(SociPrepared& prepared,
                      const std::vector<BoundValue>& values) override {
    return Translated([&] {
      for (std::size_t i = 0; i < values.size(); ++i) {
        prepared.parameter_values[i] = values[i].value_or(std::string());
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
    });
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
