// The SQLite store, on SQLite's own API. A connection keeps each statement
// prepared once, reads every result to its end and resets the statement
// however its run ends: one left unreset holds a read transaction that
// blocks writers, or pins a stale snapshot in WAL mode.
#include <sqlite3.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/store/folder_watch.h"
#include "platform/store/stores.h"

namespace tavikuser::store {
namespace {

// BEGIN IMMEDIATE holds the write lock already: no other creator reads the
// counter before this transaction ends.
constexpr char kSelectLastNo[] =
    "SELECT Last_No FROM Document_Counter WHERE Company_Prefix = ? AND "
    "Branch_Prefix = ? AND Document_Prefix = ?";

using Database = std::unique_ptr<sqlite3, decltype(&sqlite3_close_v2)>;
using Statement = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

// Resets its statement when the run ends, by a return or a throw alike.
class ResetAtEnd {
 public:
  explicit ResetAtEnd(sqlite3_stmt* statement) : statement_(statement) {}
  ResetAtEnd(const ResetAtEnd&) = delete;
  ResetAtEnd& operator=(const ResetAtEnd&) = delete;
  ~ResetAtEnd() { sqlite3_reset(statement_); }

 private:
  sqlite3_stmt* statement_;
};

// The value in the kind SQLite keeps it in, whatever the column's declared
// type; a blob's bytes as text.
Value ColumnValue(sqlite3_stmt* statement, int column) {
  switch (sqlite3_column_type(statement, column)) {
    case SQLITE_NULL:
      return Value();
    case SQLITE_INTEGER:
      return Value(
          static_cast<std::int64_t>(sqlite3_column_int64(statement, column)));
    case SQLITE_FLOAT:
      return Value(sqlite3_column_double(statement, column));
    case SQLITE_BLOB: {
      // Null for an empty blob.
      const auto* bytes =
          static_cast<const char*>(sqlite3_column_blob(statement, column));
      return Value(std::string(bytes ? bytes : "",
                               sqlite3_column_bytes(statement, column)));
    }
    default: {
      const auto* text =
          reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
      return Value(std::string(text ? text : "",
                               sqlite3_column_bytes(statement, column)));
    }
  }
}

// `name` as an identifier, whatever it holds.
std::string QuotedName(std::string_view name) {
  std::string quoted = "\"";
  for (char c : name) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

class SQLiteConnection final : public Connection {
 public:
  SQLiteConnection(Database database, std::string path, const Limits& limits)
      : database_(std::move(database)),
        limits_(limits),
        path_(std::move(path)),
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
    // Waiting for another writer's lock is bounded by the Lock Timeout (its
    // default lets concurrent numbered creations queue); running a
    // statement, by the Command Timeout, checked every few thousand steps.
    sqlite3_busy_timeout(database_.get(),
                         static_cast<int>(limits_.lock.count() * 1000));
    sqlite3_progress_handler(
        database_.get(), 4096,
        [](void* self) -> int {
          return std::chrono::steady_clock::now() >
                 static_cast<SQLiteConnection*>(self)->deadline_;
        },
        this);
  }

  Rows Query(std::string_view sql, const Values& values) override {
    Rows rows;
    Run(sql, values, &rows);
    return rows;
  }

  std::int64_t Execute(std::string_view sql, const Values& values) override {
    Run(sql, values, nullptr);
    return sqlite3_changes64(database_.get());
  }

  void Begin() override { Execute("BEGIN IMMEDIATE", {}); }
  void Commit() override { Execute("COMMIT", {}); }

  // A failed statement may have ended the transaction already (a full disk,
  // a trigger's RAISE(ROLLBACK), an interrupt): it is then rolled back.
  void Rollback() override {
    if (!sqlite3_get_autocommit(database_.get())) Execute("ROLLBACK", {});
  }

  std::optional<Value> LockCounter(const std::string& company,
                                   const std::string& branch,
                                   const std::string& document) override {
    Rows rows = Query(kSelectLastNo, {company, branch, document});
    if (rows.empty()) return std::nullopt;
    return std::move(rows.front().front());
  }

  std::optional<RowIdentity> IdentityOf(std::string_view table) override {
    const Rows found = Query("SELECT type, wr FROM pragma_table_list(?)",
                             {std::string(table)});
    if (found.empty()) {
      throw DataAccessError("no such table: " + std::string(table));
    }
    if (found[0][0] == Value("view")) return std::nullopt;
    if (found[0][1] != Value(1)) return RowIdentity{"rowid", 1, "rowid = ?"};
    // A WITHOUT ROWID table is named by its primary key.
    RowIdentity identity{{}, 0, {}};
    for (const Row& key :
         Query("SELECT name FROM pragma_table_info(?) WHERE pk > 0 ORDER BY pk",
               {std::string(table)})) {
      const std::string column = QuotedName(*key[0].text());
      if (identity.width++ > 0) {
        identity.columns += ", ";
        identity.condition += " AND ";
      }
      identity.columns += column;
      identity.condition += column + " = ?";
    }
    return identity;
  }

  std::string DatabaseProduct() const override { return "SQLite"; }
  std::size_t statements_prepared() const override {
    return statements_.prepared();
  }

  bool Reusable() const override {
    return sqlite3_get_autocommit(database_.get()) != 0;
  }

  // The file is looked up by its path again only when something happened
  // to the entries of its folder since the last look; that lookup costs
  // several times what the folder watch does. A folder further up being
  // swapped goes unnoticed.
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

  // SQLite's own text, and for a limit run out the limit.
  [[noreturn]] void Fail() const {
    std::string text = StoreText(sqlite3_errmsg(database_.get()));
    switch (sqlite3_extended_errcode(database_.get())) {
      case SQLITE_BUSY:
        text += " (another connection held its lock past " +
                LimitText("Lock Timeout", limits_.lock) + ")";
        break;
      case SQLITE_INTERRUPT:
        text += " (the statement ran past " +
                LimitText("Command Timeout", limits_.command) + ")";
        break;
    }
    throw DataAccessError(text);
  }

  // The statement kept for `sql`, prepared on its first run. SQLite
  // prepares it again by itself when the schema has changed since.
  sqlite3_stmt* Prepared(std::string_view sql) {
    if (Statement* kept = statements_.Find(sql)) return kept->get();
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(database_.get(), sql.data(),
                           static_cast<int>(sql.size()), &statement,
                           nullptr) != SQLITE_OK) {
      Fail();
    }
    if (!statement) throw DataAccessError("The statement is empty.");
    Statement owned(statement, &sqlite3_finalize);
    if (statements_.full()) statements_.Clear();
    return statements_.Keep(sql, std::move(owned)).get();
  }

  // Runs `sql` to its end, keeping its rows in `rows` when given. Text
  // values are bound without a copy: they outlive the run, and the next run
  // binds every value anew.
  void Run(std::string_view sql, const Values& values, Rows* rows) {
    RefuseNul(values);
    deadline_ = std::chrono::steady_clock::now() + limits_.command;
    sqlite3_stmt* statement = Prepared(sql);
    RequireValueCount(sql, sqlite3_bind_parameter_count(statement),
                      values.size());
    const ResetAtEnd reset(statement);
    for (int i = 0; i < static_cast<int>(values.size()); ++i) {
      const Value& value = values[i];
      int status;
      if (const std::int64_t* integer = value.integer()) {
        status = sqlite3_bind_int64(statement, i + 1, *integer);
      } else if (const double* real = value.real()) {
        status = sqlite3_bind_double(statement, i + 1, *real);
      } else if (const std::string* text = value.text()) {
        status = sqlite3_bind_text64(statement, i + 1, text->data(),
                                     text->size(), SQLITE_STATIC, SQLITE_UTF8);
      } else if (const DateTime* date = value.date()) {
        const std::string iso = date->ToIsoText();
        status = sqlite3_bind_text64(statement, i + 1, iso.data(), iso.size(),
                                     SQLITE_TRANSIENT, SQLITE_UTF8);
      } else {
        status = sqlite3_bind_null(statement, i + 1);
      }
      if (status != SQLITE_OK) Fail();
    }
    int status;
    while ((status = sqlite3_step(statement)) == SQLITE_ROW) {
      if (!rows) continue;
      // Counted per row: a statement prepared again after a change of
      // schema may yield other columns than before.
      const int columns = sqlite3_data_count(statement);
      Row& row = rows->emplace_back();
      row.reserve(columns);
      for (int column = 0; column < columns; ++column) {
        row.push_back(ColumnValue(statement, column));
      }
    }
    if (status != SQLITE_DONE) Fail();
  }

  // Declared first: closed after the statements prepared on it.
  Database database_;
  StatementCache<Statement> statements_;
  Limits limits_;
  // When the statement running now has run past the Command Timeout.
  std::chrono::steady_clock::time_point deadline_;
  std::string path_;
  // The database file this connection opened; a file put in its place is
  // another store.
  std::optional<FileIdentity> file_identity_;
  // The watch on the file's folder (-1: none to be had, so every check
  // looks the file up), and its count of changes when the file was last
  // found in place. A connection serves one thread at a time.
  int folder_watch_;
  mutable long long folder_changes_seen_ = -1;
};

}  // namespace

ConnectionTarget SQLiteTarget(Settings settings) {
  const std::optional<std::string> path = Take(settings, {"data source"});
  RefuseLeftovers(settings, "SQLite", "Provider, Data Source");
  if (!path || path->empty()) {
    throw DataAccessError(
        "The SQLite connection string names no database file (Data "
        "Source=...).");
  }
  // Absolute, so that pooled connections keep meaning the same file when
  // the host changes its working folder.
  std::error_code error;
  std::string absolute =
      std::filesystem::absolute(*path, error).lexically_normal().string();
  if (error) {
    throw DataAccessError("The SQLite database path " + *path +
                          " cannot be resolved: " + error.message());
  }
  std::string pool_key = "sqlite:" + absolute;
  return {Provider::kSQLite, std::move(absolute), std::move(pool_key),
          !std::filesystem::path(*path).is_absolute()};
}

std::unique_ptr<Connection> OpenSQLite(const ConnectionTarget& target) {
  const std::string& path = target.parameters;
  sqlite3* opened = nullptr;
  // Without SQLITE_OPEN_CREATE: a missing file is a failure, never a new,
  // empty store.
  const int status =
      sqlite3_open_v2(path.c_str(), &opened,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  Database database(opened, &sqlite3_close_v2);
  if (status != SQLITE_OK) {
    throw DataAccessError(
        "The SQLite database " + path + " cannot be opened: " +
        StoreText(opened ? sqlite3_errmsg(opened) : sqlite3_errstr(status)));
  }
  return std::make_unique<SQLiteConnection>(std::move(database), path,
                                            target.limits);
}

}  // namespace tavikuser::store
