// The PostgreSQL store, on libpq. A connection keeps each statement
// prepared once on the server under a name of its own, binds values as text
// and reads them back by the type the server gives each column.
#include <libpq-fe.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/automation/text.h"
#include "platform/store/stores.h"

namespace tavikuser::store {
namespace {

// The server's type identifiers (pg_type.oid) of the columns read as
// something other than text.
enum : Oid {
  kBool = 16,
  kInt8 = 20,
  kInt2 = 21,
  kInt4 = 23,
  kFloat4 = 700,
  kFloat8 = 701,
  kDate = 1082,
  kTimestamp = 1114,
  kTimestampTz = 1184,
  kNumeric = 1700,
};

// What the server answers "cached plan must not change result type" with.
constexpr std::string_view kFeatureNotSupported = "0A000";

// How much longer than the Command Timeout the library waits for an answer:
// the server ends a statement at the Command Timeout itself, with its own
// text, unless its process has stopped or the network is gone.
constexpr std::chrono::seconds kGrace{1};

using Clock = std::chrono::steady_clock;

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;
using Link = std::unique_ptr<PGconn, decltype(&PQfinish)>;

// A statement prepared on the server.
struct Prepared {
  std::string name;
  // The statement as the server takes it: '?' numbered $1, $2, ...
  std::string numbered;
  std::size_t parameters = 0;
};

// A timestamptz as the server writes it, without its offset from UTC: the
// wall time of the session's time zone.
std::string_view WithoutOffset(std::string_view text) {
  const std::size_t sign = text.find_last_of("+-");
  return sign > 10 && sign != std::string_view::npos ? text.substr(0, sign)
                                                     : text;
}

// The value of `text`, as the server wrote a value of type `type`. A value
// that does not read as its type's kind (a date outside years 100 to 9999,
// infinity) stays text.
Value FieldValue(std::string_view text, Oid type) {
  const char* first = text.data();
  const char* last = first + text.size();
  switch (type) {
    case kInt2:
    case kInt4:
    case kInt8: {
      std::int64_t integer;
      if (std::from_chars(first, last, integer).ptr == last) return integer;
      break;
    }
    case kFloat4:
    case kFloat8:
    case kNumeric: {
      double real;
      if (std::from_chars(first, last, real).ptr == last) return real;
      break;
    }
    case kBool:
      return std::int64_t{text == "t"};
    case kDate:
    case kTimestamp:
    case kTimestampTz:
      if (std::optional<DateTime> date = DateTime::FromIsoText(
              type == kTimestampTz ? WithoutOffset(text) : text)) {
        return *date;
      }
      break;
  }
  return std::string(text);
}

// The values as the text parameters libpq sends: Null as a null pointer, a
// date-time as ISO text, a real in the fewest digits that read back exactly.
class TextParameters {
 public:
  explicit TextParameters(const Values& values) : texts_(values.size()) {
    pointers_.reserve(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      const Value& value = values[i];
      if (value.is_null()) {
        pointers_.push_back(nullptr);
        continue;
      }
      if (const std::string* text = value.text()) {
        pointers_.push_back(text->c_str());
        continue;
      }
      if (const std::int64_t* integer = value.integer()) {
        texts_[i] = std::to_string(*integer);
      } else if (const double* real = value.real()) {
        char digits[32];
        texts_[i].assign(
            digits, std::to_chars(digits, digits + sizeof digits, *real).ptr);
      } else {
        texts_[i] = value.date()->ToIsoText();
      }
      pointers_.push_back(texts_[i].c_str());
    }
  }

  int count() const { return static_cast<int>(pointers_.size()); }
  const char* const* pointers() const { return pointers_.data(); }

 private:
  std::vector<std::string> texts_;
  std::vector<const char*> pointers_;
};

// What a connection string's Target Session Attrs asks its server to be.
enum class Kind { kAny, kWritable, kReadOnly, kPrimary, kStandby };

// The kind asked of `link`'s server, as libpq read it.
Kind AskedKind(PGconn* link) {
  std::unique_ptr<PQconninfoOption, decltype(&PQconninfoFree)> options(
      PQconninfo(link), &PQconninfoFree);
  for (PQconninfoOption* option = options.get(); option && option->keyword;
       ++option) {
    if (std::string_view(option->keyword) != "target_session_attrs" ||
        !option->val) {
      continue;
    }
    const std::string_view asked = option->val;
    if (asked == "read-write") return Kind::kWritable;
    if (asked == "read-only") return Kind::kReadOnly;
    if (asked == "primary") return Kind::kPrimary;
    if (asked == "standby") return Kind::kStandby;
  }
  // prefer-standby takes a primary when no standby answers; a connection
  // it made stays good whichever the server becomes.
  return Kind::kAny;
}

class PostgreSQLConnection final : public Connection {
 public:
  PostgreSQLConnection(Link link, const Limits& limits)
      : link_(std::move(link)),
        limits_(limits),
        asked_(AskedKind(link_.get())) {}

  Rows Query(std::string_view sql, const Values& values) override {
    const Result result = Run(sql, values);
    const int fields = PQnfields(result.get());
    std::vector<Oid> types(fields);
    for (int field = 0; field < fields; ++field) {
      types[field] = PQftype(result.get(), field);
    }
    Rows rows(PQntuples(result.get()));
    for (int r = 0; r < static_cast<int>(rows.size()); ++r) {
      rows[r].reserve(fields);
      for (int field = 0; field < fields; ++field) {
        if (PQgetisnull(result.get(), r, field)) {
          rows[r].emplace_back();
        } else {
          rows[r].push_back(FieldValue(
              {PQgetvalue(result.get(), r, field),
               static_cast<std::size_t>(PQgetlength(result.get(), r, field))},
              types[field]));
        }
      }
    }
    return rows;
  }

  std::int64_t Execute(std::string_view sql, const Values& values) override {
    const Result result = Run(sql, values);
    const std::string_view affected = PQcmdTuples(result.get());
    std::int64_t count = 0;
    std::from_chars(affected.data(), affected.data() + affected.size(), count);
    return count;
  }

  void Begin() override { Command("BEGIN"); }

  void Commit() override {
    const Result result = Command("COMMIT", true);
    // The server ends a transaction in which a statement failed with a
    // rollback, even when asked to commit it.
    if (std::string_view(PQcmdStatus(result.get())) == "ROLLBACK") {
      throw DataAccessError(
          "The transaction was rolled back, not committed: a statement in it "
          "failed.");
    }
  }

  // A transaction the server ended already is rolled back. One on a
  // connection given up while a statement was awaited can never commit, as
  // the connection is closed before any other use; but one given up while
  // its commit was awaited may have committed.
  void Rollback() override {
    if (given_up_) {
      if (!commit_given_up_) return;
      throw DataAccessError(*given_up_ +
                            " Whether the transaction committed is not known.");
    }
    if (PQstatus(link_.get()) == CONNECTION_OK &&
        PQtransactionStatus(link_.get()) == PQTRANS_IDLE) {
      return;
    }
    Command("ROLLBACK");
  }

  std::optional<Value> LockCounter(const std::string& company,
                                   const std::string& branch,
                                   const std::string& document) override {
    Rows rows = Query(kPostgreSQLLockCounter, {company, branch, document});
    if (rows.empty()) return std::nullopt;
    return std::move(rows.front().front());
  }

  std::optional<RowIdentity> IdentityOf(std::string_view) override {
    return RowIdentity{"CAST(ctid AS text)", 1, "ctid = CAST(? AS tid)"};
  }

  std::string DatabaseProduct() const override { return "PostgreSQL"; }
  std::size_t statements_prepared() const override {
    return statements_.prepared();
  }

  bool Reusable() const override {
    return !given_up_ && PQstatus(link_.get()) == CONNECTION_OK &&
           PQtransactionStatus(link_.get()) == PQTRANS_IDLE && OfAskedKind();
  }

  bool Usable() const override {
    return Reusable() && IdleSocketOpen(PQsocket(link_.get()));
  }

 private:
  // False once the server is no longer of the kind the connection string
  // asked for: a standby promoted, or made read-only. A server from version
  // 14 on reports both settings whenever they change, but only with its
  // answer to a statement: a connection idle across a promotion is found
  // out after its next statement, which the promoted server answers with
  // the newest data there is. A primary never becomes a standby while its
  // connections live. An older server reports neither: libpq checked its
  // kind when connecting.
  bool OfAskedKind() const {
    if (asked_ == Kind::kAny) return true;
    const auto on = [&](const char* setting) {
      const char* value = PQparameterStatus(link_.get(), setting);
      return value && std::string_view(value) == "on";
    };
    if (!PQparameterStatus(link_.get(), "in_hot_standby")) return true;
    const bool standby = on("in_hot_standby");
    const bool writable = !standby && !on("default_transaction_read_only");
    switch (asked_) {
      case Kind::kWritable:
        return writable;
      case Kind::kReadOnly:
        return !writable;
      case Kind::kPrimary:
        return !standby;
      case Kind::kStandby:
        return standby;
      case Kind::kAny:
        break;
    }
    return true;
  }

  // `result`, or its failure as a DataAccessError with the server's text.
  Result Checked(PGresult* answer) const {
    Result result(answer, &PQclear);
    const ExecStatusType status = PQresultStatus(answer);
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return result;
    std::string text = StoreText(answer ? PQresultErrorMessage(answer) : "");
    if (text.empty()) text = StoreText(PQerrorMessage(link_.get()));
    if (text.empty()) text = PQresStatus(status);
    throw DataAccessError(text);
  }

  Result Command(const char* sql, bool commit = false) {
    return Checked(
        Exchange([&] { return PQsendQuery(link_.get(), sql); }, commit));
  }

  // Sends what `send` does (a PQsend... call) and awaits the answer: the
  // first result that failed, or else the last; null when it cannot be
  // sent. Throws DataAccessError once the answer has taken longer than the
  // Command Timeout and its grace: the connection's state is then unknown,
  // and it is given up for good.
  template <class Send>
  PGresult* Exchange(Send send, bool commit = false) {
    if (given_up_) throw DataAccessError(*given_up_);
    if (!send()) return nullptr;
    const Clock::time_point deadline = Clock::now() + limits_.command + kGrace;
    PGresult* kept = nullptr;
    for (;;) {
      // Until a result can be taken without waiting.
      for (int unsent;
           (unsent = PQflush(link_.get())) != 0 || PQisBusy(link_.get());) {
        if (unsent < 0) break;
        if (!WaitFor(unsent ? POLLIN | POLLOUT : POLLIN, deadline)) {
          PQclear(kept);
          GiveUp(commit);
        }
        if (!PQconsumeInput(link_.get())) break;
      }
      PGresult* next = PQgetResult(link_.get());
      if (!next) return kept;
      if (kept && PQresultStatus(kept) != PGRES_COMMAND_OK &&
          PQresultStatus(kept) != PGRES_TUPLES_OK) {
        PQclear(next);
      } else {
        PQclear(kept);
        kept = next;
      }
    }
  }

  // False once `deadline` has passed before the socket was ready for
  // `events`.
  bool WaitFor(short events, Clock::time_point deadline) const {
    pollfd socket{PQsocket(link_.get()), events, 0};
    if (socket.fd < 0) return true;  // lost: libpq reports it
    for (;;) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now())
              .count();
      if (left <= 0) return false;
      const int ready = poll(
          &socket, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
      if (ready > 0 || (ready < 0 && errno != EINTR)) return true;
    }
  }

  [[noreturn]] void GiveUp(bool commit) {
    given_up_ = "The server sent no answer within " +
                LimitText("Command Timeout", limits_.command) +
                " (its process may have stopped, or the network is gone); "
                "the connection was given up.";
    commit_given_up_ = commit;
    // So that closing it does not wait either.
    PQsetnonblocking(link_.get(), 1);
    throw DataAccessError(*given_up_);
  }

  Prepared& Prepare(std::string_view sql, Prepared prepared) {
    if (statements_.full()) {
      // Fails only inside a failed transaction: the names then stay on the
      // server until the connection ends, and new names never meet them.
      PQclear(
          Exchange([&] { return PQsendQuery(link_.get(), "DEALLOCATE ALL"); }));
      statements_.Clear();
    }
    prepared.name = "tavik_" + std::to_string(++statements_named_);
    Checked(Exchange([&] {
      return PQsendPrepare(link_.get(), prepared.name.c_str(),
                           prepared.numbered.c_str(), 0, nullptr);
    }));
    return statements_.Keep(sql, std::move(prepared));
  }

  PGresult* RunPrepared(const Prepared& prepared,
                        const TextParameters& parameters) {
    return Exchange([&] {
      return PQsendQueryPrepared(link_.get(), prepared.name.c_str(),
                                 parameters.count(), parameters.pointers(),
                                 nullptr, nullptr, 0);
    });
  }

  // Runs `sql`, prepared on its first run, with `values`.
  Result Run(std::string_view sql, const Values& values) {
    RefuseNul(values);
    Prepared* prepared = statements_.Find(sql);
    if (!prepared) {
      auto [numbered, parameters] = Numbered(sql);
      prepared = &Prepare(sql, {{}, std::move(numbered), parameters});
    }
    RequireValueCount(sql, prepared->parameters, values.size());
    const TextParameters parameters(values);
    PGresult* answer = RunPrepared(*prepared, parameters);
    const char* state = PQresultErrorField(answer, PG_DIAG_SQLSTATE);
    if (state && state == kFeatureNotSupported) {
      // A table changed under the statement so that it yields other
      // columns: the server will not run it again as prepared. It is
      // prepared afresh, under a new name (the old one cannot be freed
      // inside a failed transaction, and stays until the connection ends).
      // Outside a transaction the failed run changed nothing and is run
      // again, once; inside one the failure has spoilt the transaction and
      // goes to the caller.
      Prepared again{{}, std::move(prepared->numbered), prepared->parameters};
      statements_.Forget(sql);
      if (PQtransactionStatus(link_.get()) == PQTRANS_IDLE) {
        PQclear(answer);
        answer = RunPrepared(Prepare(sql, std::move(again)), parameters);
      }
    }
    return Checked(answer);
  }

  // Declared first: ended after everything that uses it.
  Link link_;
  StatementCache<Prepared> statements_;
  std::size_t statements_named_ = 0;
  Limits limits_;
  Kind asked_;
  // Why the connection was given up, if it was; and whether a commit was
  // awaited then.
  std::optional<std::string> given_up_;
  bool commit_given_up_ = false;
};

// A libpq keyword value in single quotes, so that no value can end early
// and smuggle in another keyword.
std::string LibpqQuoted(std::string_view value) {
  std::string quoted = "'";
  for (char c : value) {
    if (c == '\'' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "'";
}

// "a, b" as libpq takes a list: "a,b".
std::string TrimmedList(std::string_view list) {
  std::string trimmed;
  for (std::size_t start = 0;;) {
    const std::size_t comma = std::min(list.find(',', start), list.size());
    std::string_view item = list.substr(start, comma - start);
    item.remove_prefix(std::min(item.find_first_not_of(' '), item.size()));
    item.remove_suffix(item.size() - item.find_last_not_of(' ') - 1);
    trimmed += item;
    if (comma == list.size()) return trimmed;
    trimmed += ',';
    start = comma + 1;
  }
}

std::size_t ListLength(std::string_view list) {
  return std::ranges::count(list, ',') + 1;
}

// A value that a connection string key may take, and the first libpq
// version that honours it: a value that the libpq this process runs would
// ignore or misread is refused, never passed on.
struct Choice {
  const char* value;
  int since;  // PQlibVersion()
};

constexpr Choice kSessionKinds[] = {
    {"any", 100000},     {"read-write", 100000}, {"read-only", 140000},
    {"primary", 140000}, {"standby", 140000},    {"prefer-standby", 140000}};
constexpr Choice kBalancing[] = {{"disable", 160000}, {"random", 160000}};

// The value of the connection string's `key`, in lower case, when it is one
// of `choices` that this process's libpq honours.
std::optional<std::string> OneOf(const std::string& key,
                                 std::optional<std::string> value,
                                 std::span<const Choice> choices) {
  if (!value) return value;
  std::string known;
  for (const Choice& choice : choices) {
    if (!automation::EqualsIgnoringCase(*value, choice.value)) {
      known += known.empty() ? "" : ", ";
      known += choice.value;
      continue;
    }
    const int running = PQlibVersion();
    if (running < choice.since) {
      throw DataAccessError(
          "The connection string's " + key + "=" + choice.value +
          " needs libpq " + std::to_string(choice.since / 10000) +
          " or later; this process runs libpq " +
          std::to_string(running / 10000) + "." +
          std::to_string(running % 10000) + ", which would not honour it.");
    }
    return choice.value;
  }
  throw DataAccessError("The connection string's " + key + " must be one of " +
                        known + ", not '" + *value + "'.");
}

}  // namespace

std::pair<std::string, std::size_t> Numbered(std::string_view sql) {
  std::string numbered;
  numbered.reserve(sql.size() + 8);
  std::size_t placeholders = 0;
  for (std::size_t i = 0; i < sql.size(); ++i) {
    const char c = sql[i];
    // The last character of a quote or comment; one left open runs to the
    // end of the statement.
    std::size_t end = i;
    if (c == '\'' || c == '"') {
      end = std::min(sql.find(c, i + 1), sql.size() - 1);
    } else if (sql.substr(i, 2) == "--") {
      end = std::min(sql.find('\n', i), sql.size() - 1);
    } else if (sql.substr(i, 2) == "/*") {
      const std::size_t close = sql.find("*/", i + 2);
      end = close == std::string_view::npos ? sql.size() - 1 : close + 1;
    } else if (c == '?') {
      numbered += '$' + std::to_string(++placeholders);
      continue;
    }
    numbered.append(sql.substr(i, end - i + 1));
    i = end;
  }
  return {std::move(numbered), placeholders};
}

ConnectionTarget PostgreSQLTarget(Settings settings) {
  std::optional<std::string> hosts = Take(settings, {"host", "server"});
  std::optional<std::string> ports = Take(settings, {"port"});
  if (hosts) hosts = TrimmedList(*hosts);
  if (ports) {
    ports = TrimmedList(*ports);
    const std::size_t port_count = ListLength(*ports);
    const std::size_t host_count = hosts ? ListLength(*hosts) : 1;
    if (port_count != 1 && port_count != host_count) {
      throw DataAccessError("The connection string gives " +
                            std::to_string(port_count) + " ports for " +
                            std::to_string(host_count) +
                            " hosts: give one port for all, or one per host.");
    }
  }
  // In the order they appear in the libpq parameters, which also makes the
  // pool key independent of the order and spelling of the keys.
  const std::pair<const char*, std::optional<std::string>> keywords[] = {
      {"host", std::move(hosts)},
      {"port", std::move(ports)},
      {"dbname", Take(settings, {"database", "initial catalog"})},
      {"user", Take(settings, {"user id", "uid"})},
      {"password", Take(settings, kPasswordKeys)},
      {"target_session_attrs",
       OneOf("Target Session Attrs", Take(settings, {"target session attrs"}),
             kSessionKinds)},
      {"load_balance_hosts",
       OneOf("Load Balance Hosts", Take(settings, {"load balance hosts"}),
             kBalancing)},
  };
  RefuseLeftovers(settings, "PostgreSQL",
                  "Provider, Host or Server, Port, Database or Initial "
                  "Catalog, User ID or UID, Password or PWD, Target Session "
                  "Attrs, Load Balance Hosts");
  std::string parameters;
  for (const auto& [keyword, value] : keywords) {
    if (!value) continue;
    if (!parameters.empty()) parameters += ' ';
    parameters += keyword;
    parameters += '=';
    parameters += LibpqQuoted(*value);
  }
  std::string pool_key = "postgresql:" + parameters;
  return {Provider::kPostgreSQL, std::move(parameters), std::move(pool_key)};
}

std::unique_ptr<Connection> OpenPostgreSQL(const ConnectionTarget& target) {
  const Limits& limits = target.limits;
  const auto milliseconds = [](std::chrono::seconds limit) {
    return std::to_string(limit.count() * 1000);
  };
  // Dates are written and read as ISO text, whatever the server's default.
  // The server ends a statement at the Command Timeout and a lock wait at
  // the Lock Timeout itself, with its own text; keepalives find a server
  // that vanished while the connection was idle.
  const std::string conninfo =
      target.parameters +
      " connect_timeout=" + std::to_string(limits.connect.count()) +
      " keepalives=1 keepalives_idle=30 keepalives_interval=10 "
      "keepalives_count=3 options='-c DateStyle=ISO -c statement_timeout=" +
      milliseconds(limits.command) +
      " -c lock_timeout=" + milliseconds(limits.lock) + "'";
  Link link(PQconnectdb(conninfo.c_str()), &PQfinish);
  if (!link) throw DataAccessError("libpq cannot allocate a connection.");
  if (PQstatus(link.get()) != CONNECTION_OK) {
    std::string text = StoreText(PQerrorMessage(link.get()));
    if (text.find("timeout expired") != std::string::npos) {
      text += " (" + LimitText("Connect Timeout", limits.connect) + ")";
    }
    throw DataAccessError(text);
  }
  // Every wait on the server is the library's own, bounded by a deadline.
  PQsetnonblocking(link.get(), 1);
  // The server's notices (for example a rollback with no transaction left
  // to roll back) would otherwise go to the host's standard error: the
  // library writes nothing of its own anywhere.
  PQsetNoticeProcessor(
      link.get(), [](void*, const char*) {}, nullptr);
  return std::make_unique<PostgreSQLConnection>(std::move(link), limits);
}

}  // namespace tavikuser::store
