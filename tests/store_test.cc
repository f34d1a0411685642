// The seam to the stores, on each store, and the pool behind it; the
// connection object as hosts drive it, and the host's tables as hosts keep
// them.
#include "platform/store/store.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <limits>
#include <thread>

#include "platform/store/connection_object.h"
#include "platform/store/connection_string.h"
#include "support/test_store.h"
#include "tavikuser/automation.h"
#include "tavikuser/connection.h"
#include "tavikuser/errors.h"
#include "tavikuser/rights.h"
#include "tavikuser/user_group.h"

namespace tavikuser {
namespace {

namespace fs = std::filesystem;
using testing::Backend;
using ::testing::HasSubstr;
using testing::TestStore;

// The description of the DataAccessError that `step` throws, within far less
// than the waits of a second or two that the tests allow.
std::string Failure(const std::function<void()>& step) {
  const auto started = std::chrono::steady_clock::now();
  std::string text = "no DataAccessError";
  try {
    step();
  } catch (const DataAccessError& error) {
    text = error.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(6))
      << text;
  return text;
}

// The first value that `sql` reads on `connection`, or through a pooled
// connection.
std::string First(store::Connection& connection, const std::string& sql) {
  return connection.Query(sql, {}).at(0).at(0).ToText();
}
std::string First(const std::string& connection_string,
                  const std::string& sql) {
  return First(*store::Borrow(connection_string), sql);
}

// The wait status of `child` once it ended: 0 when it exited with 0.
int Ended(pid_t child) {
  int status = -1;
  waitpid(child, &status, 0);
  return status;
}

TEST(ConnectionTest, RefusesMisuseAndIsDrivenLateBoundByMemberName) {
  auto store = TestStore::Create(Backend::kSQLite);
  Connection connection;
  EXPECT_EQ(Failure([&] { connection.Close(); }),
            "The connection is already closed.");
  EXPECT_EQ(Failure([&] { connection.BeginTrans(); }),
            "The connection is closed.");

  // Member names in any letter case, as late-bound hosts write them.
  const ObjectRef object = connection.AsObject();
  object->Let("connectionstring", Variant(store->connection_string()));
  object->Call("Open");
  EXPECT_EQ(Failure([&] { connection.Open(); }),
            "The connection is already open.");
  EXPECT_EQ(Failure([&] { connection.CommitTrans(); }),
            "No transaction has begun on this connection.");
  object->Call("BeginTrans");
  std::vector<Variant> insert{
      Variant("INSERT INTO Rights_Master (Rights_No) VALUES ('late')")};
  object->Call("Execute", insert);
  object->Call("CommitTrans");
  connection.BeginTrans();
  connection.Execute("DELETE FROM Rights_Master");
  connection.Close();  // rolls back what is still open
  EXPECT_EQ(object->Get("State").ToI4(), Connection::kStateClosed);
  EXPECT_EQ(store->Scalar("SELECT Rights_No FROM Rights_Master"), "late");
  // Another class's object is no connection.
  EXPECT_THAT([] { Connection(automation::CreateObject("TavikUser.Rights")); },
              ::testing::Throws<AutomationError>(::testing::Property(
                  &AutomationError::status, automation::kTypeMismatch)));
}

// Whether the PostgreSQL session `pid` is gone within two seconds.
bool SessionEnds(TestStore& store, const std::string& pid) {
  const std::string sessions =
      "SELECT COUNT(*) FROM pg_stat_activity WHERE pid = " + pid;
  for (int wait = 0; wait < 100; ++wait) {
    if (store.Scalar(sessions) == "0") return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

// Stops a server process, and continues it when it goes, so that no test
// leaves one stopped.
struct Stopped {
  explicit Stopped(const std::string& id) : pid(std::stoi(id)) {
    kill(pid, SIGSTOP);
  }
  ~Stopped() { kill(pid, SIGCONT); }
  const pid_t pid;
};

// A pooled session that the server ended is not handed out again. One whose
// server process stopped: a call ends at the Command Timeout and a grace,
// its connection is given up, and once the process runs again the next call
// works on a fresh one; stopped inside a transaction, the transaction counts
// as rolled back (its connection is closed before anything else is sent),
// unless the commit was awaited. One idle past its Idle Timeout ends at the
// next call of any store, so that it holds up neither the server's
// resources nor its shutdown.
TEST(ServerSessionTest, ASessionEndedStoppedOrIdleTooLongIsGivenUp) {
  auto store = TestStore::Create(Backend::kPostgreSQL);
  store->Exec("INSERT INTO Rights_Master (Rights_No) VALUES ('R1')");
  const std::string pid = "SELECT pg_backend_pid()";
  const std::string ended = First(store->connection_string(), pid);
  store->Exec("SELECT pg_terminate_backend(" + ended + ")");
  EXPECT_TRUE(SessionEnds(*store, ended));
  EXPECT_NE(First(store->connection_string(), pid), ended);

  const std::string limited = store->connection_string() + ";Command Timeout=1";
  const std::string pooled = First(limited, pid);
  {
    const Stopped stopped(pooled);
    EXPECT_THAT(Failure([&] { First(limited, pid); }),
                HasSubstr("no answer within the Command Timeout of 1 s"));
  }
  EXPECT_NE(First(limited, pid), pooled);
  for (const bool at_commit : {false, true}) {
    store::Lease lease = store::Borrow(limited);
    lease->Begin();
    const Stopped stopped(First(*lease, pid));
    Failure([&] {
      if (at_commit) {
        lease->Commit();
      } else {
        lease->Execute("DELETE FROM Rights_Master", {});
      }
    });
    EXPECT_EQ(Failure([&] { lease->Rollback(); }) == "no DataAccessError",
              !at_commit);
    EXPECT_FALSE(lease->Reusable());
  }
  EXPECT_EQ(store->Scalar("SELECT COUNT(*) FROM Rights_Master"), "1");

  const std::string idle =
      First(store->connection_string() + ";Idle Timeout=1", pid);
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  First(store->connection_string(), "SELECT 1");  // any call sweeps the pool
  EXPECT_TRUE(SessionEnds(*store, idle));
}

// A server that accepts the connection and never answers: opening ends at
// the Connect Timeout (libpq waits two seconds at the least).
TEST(ServerSessionTest, OpeningAnUnansweringServerEndsAtTheConnectTimeout) {
  // The kernel accepts into the listening queue; nobody ever answers.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  auto* named = reinterpret_cast<sockaddr*>(&address);
  ASSERT_FALSE(bind(listener, named, length) || listen(listener, 4) ||
               getsockname(listener, named, &length));
  EXPECT_THAT(
      Failure([&] {
        store::Borrow("Provider=PostgreSQL;Host=127.0.0.1;Port=" +
                      std::to_string(ntohs(address.sin_port)) +
                      ";Database=books;User ID=clerk;Connect Timeout=1");
      }),
      HasSubstr("the Connect Timeout of 1 s"));
  close(listener);
}

// A file that is not there is a failure, and is not made. The file
// replaced, by a child process; then the folder that holds it swapped for
// another: each time the path names another file, and a pooled connection to
// the first must not serve it. The child shares its parent's queue of folder
// notices: it must find the new file without taking the notice of the
// replacement away from its parent.
TEST(ConnectionPoolTest, AnSQLiteConnectionFollowsFilesAndFoldersReplaced) {
  char temporary[] = "/tmp/tavik-moves-XXXXXX";
  ASSERT_NE(mkdtemp(temporary), nullptr);
  const fs::path root = temporary, books = root / "books";
  fs::create_directories(root / "new-books");
  fs::create_directory(books);
  const std::string ledger_file = (books / "ledger.db").string();
  const std::string ledger = "Provider=SQLite;Data Source=" + ledger_file;
  EXPECT_THAT(Failure([&] { store::Borrow(ledger); }), HasSubstr(ledger_file));
  EXPECT_FALSE(fs::exists(ledger_file));
  // Moves a fresh store holding `marker` to `to`.
  std::vector<std::unique_ptr<TestStore>> stores;
  const auto place = [&stores](const std::string& marker, const fs::path& to) {
    auto& store =
        stores.emplace_back(TestStore::Create(Backend::kSQLite, false));
    store->Exec(
        "CREATE TABLE Marker (Value text); INSERT INTO Marker VALUES ('" +
        marker + "')");
    fs::rename(
        store::ParseConnectionString(store->connection_string()).parameters,
        to);
  };
  const std::string marker = "SELECT Value FROM Marker";

  place("first", books / "ledger.db");
  EXPECT_EQ(First(ledger, marker), "first");
  place("second", root / "second.db");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    fs::rename(books / "ledger.db", books / "ledger-old.db");
    fs::rename(root / "second.db", books / "ledger.db");
    // No destructors: nothing of the parent's.
    _exit(First(ledger, marker) == "second" ? 0 : 1);
  }
  EXPECT_EQ(Ended(child), 0);
  EXPECT_EQ(First(ledger, marker), "second");

  place("third", root / "new-books" / "ledger.db");
  fs::rename(books, root / "old-books");
  fs::rename(root / "new-books", books);
  EXPECT_EQ(First(ledger, marker), "third");
  fs::remove_all(root);
}

int OpenDescriptors() {
  const fs::directory_iterator entries("/proc/self/fd");
  return static_cast<int>(std::distance(begin(entries), end(entries)));
}

// SQLite stores used one after another and then deleted, as a host that
// makes a store per period does: the pool keeps a bounded number of them
// open, and once it has swept, none.
TEST(ConnectionPoolTest, ManyStoresInTurnGiveTheirDescriptorsBack) {
  const std::string select = "SELECT 1";
  auto kept = TestStore::Create(Backend::kSQLite, false);
  First(kept->connection_string(), select);
  const int start = OpenDescriptors();
  int most = start;
  for (int i = 0; i < 300; ++i) {
    auto store = TestStore::Create(Backend::kSQLite, false);
    First(store->connection_string(), select);
    fs::remove(
        store::ParseConnectionString(store->connection_string()).parameters);
    most = std::max(most, OpenDescriptors());
  }
  EXPECT_LE(most - start, 64);  // the pool's bound on idle connections
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  First(kept->connection_string(), select);  // a call sweeps the pool
  EXPECT_LE(OpenDescriptors(), start);
}

// How many of `reads` through pooled connections, alternately of a count of
// none and of one, were not the right count.
int WrongAnswers(const std::string& connection_string, int reads) {
  int wrong = 0;
  for (int i = 0; i < reads; ++i) {
    const std::string count = std::to_string(i % 2);  // R1 is there, R0 not
    wrong += First(connection_string,
                   "SELECT COUNT(*) FROM Rights_Master WHERE Rights_No = 'R" +
                       count + "'") != count;
  }
  return wrong;
}

class StoreTest : public ::testing::TestWithParam<Backend> {
 protected:
  const testing::BackendTraits& traits() const {
    return testing::Traits(GetParam());
  }
  store::Lease Borrowed(const std::string& limits = "") const {
    return store::Borrow(store_->connection_string() + limits);
  }

  const std::unique_ptr<TestStore> store_ = TestStore::Create(GetParam());
};

// Parent and child check at once after the parent pooled a connection and
// while it holds another open: every answer on both sides is right, the
// child can use neither of its parent's connections, and closing the one it
// inherited leaves the parent's session alone. A program that a child runs
// takes none of the connections along.
TEST_P(StoreTest, ChildrenAndTheirProgramsNeverUseTheParents) {
  const std::string& pooled = store_->connection_string();
  store_->Exec("INSERT INTO Rights_Master (Rights_No) VALUES ('R1')");
  Connection held;
  held.ConnectionString(pooled);
  held.Open();
  ASSERT_EQ(WrongAnswers(pooled, 2), 0);  // pools a second connection
  const auto session = [&] {
    return First(store::ConnectionObject::Of(held).Opened(), traits().session);
  };
  const std::string before = session();
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int wrong = WrongAnswers(pooled, 400);
    wrong += Failure([&] { held.Execute("SELECT 1"); }).find("parent") ==
             std::string::npos;
    held.Close();
    _exit(std::min(wrong, 100));
  }
  EXPECT_EQ(WrongAnswers(pooled, 400), 0);
  EXPECT_EQ(Ended(child), 0) << "wrong answers in the child";
  EXPECT_EQ(session(), before);

  // system() runs its shell in a child that it makes without fork(). The
  // listing is that of a program the shell runs: its output is a pipe, and
  // it holds no socket and no store file.
  EXPECT_EQ(std::system("ls -l /proc/self/fd | awk '/pipe:/ { pipe = 1 } "
                        "/socket:|[.]db/ { held = 1 } END { exit !pipe || "
                        "held }'"),
            0);
}

// SQLite keeps what it is given in columns of no declared type: a value
// bound in another kind would come back in that kind.
TEST_P(StoreTest, ValuesComeBackInTheirKinds) {
  store_->Exec(traits().typeless
                   ? "CREATE TABLE V (i, r, t, n, d DATETIME)"
                   : std::string("CREATE TABLE V (i bigint, r double "
                                 "precision, t text, n text, d ") +
                         traits().date_time + ")");
  const std::int64_t wide = (std::int64_t{1} << 40) + 3;
  const DateTime date = DateTime::FromCalendar({2024, 2, 29, 23, 59, 59, 999});
  // Longer than one piece a driver hands over at a time.
  const std::string text = "it's " + std::string(5000, 'x') + " «茶»";
  store::Lease lease = Borrowed();
  const char* insert = "INSERT INTO V VALUES (?, ?, ?, ?, ?)";
  EXPECT_EQ(lease->Execute(insert, {wide, 0.1, text, store::Value(), date}), 1);
  EXPECT_EQ(lease->Query("SELECT i, r, t, n FROM V", {}),
            (store::Rows{{wide, 0.1, text, store::Value()}}));

  // SQLite keeps the date as ISO text, and where a host's date belongs
  // whatever it was given: a day number, ISO text with or without the time.
  // A server keeps its own date-time, with a fraction only when it has one.
  store_->Exec(std::string("INSERT INTO V (d) VALUES ") +
               (traits().typeless ? "(45000.25), (45000.1234567890123), "
                                    "('2023-03-15'), ('2023-03-15T06:00:00')"
                                  : "('2023-03-15 06:00:00')"));
  std::vector<double> days{date.oadate(), 45000.25};
  if (traits().typeless)
    days.insert(days.end(), {45000.1234567890123, 45000, 45000.25});
  std::vector<double> read;
  for (const store::Row& row : lease->Query("SELECT d FROM V", {})) {
    read.push_back(row.at(0).ToDate().oadate());
  }
  // To well within a millisecond: the SQLite ODBC driver hands a real over
  // as text of 15 digits.
  EXPECT_THAT(read, ::testing::Pointwise(::testing::DoubleNear(1e-10), days));
  // A truth comes back as 1, an empty text is not Null, and a '?' in a
  // quoted name is no placeholder.
  EXPECT_EQ(lease->Query("SELECT 1 = 1 AS \"true?\", ?", {std::string()}),
            (store::Rows{{store::Value(1), store::Value(std::string())}}));
}

// The pool hands out the same connection, which runs its statement without
// preparing it again, until another connection rebuilds the table with its
// columns in another order: the statement then reads the new table (on the
// server, by preparing again what it will not run as prepared).
TEST_P(StoreTest, APooledStatementFollowsATableRebuiltElsewhere) {
  store_->Exec(
      "CREATE TABLE T (a INTEGER, b TEXT); INSERT INTO T VALUES "
      "(1, 'x')");
  const store::Connection* pooled;
  std::size_t prepared;
  {
    store::Lease lease = Borrowed();
    pooled = &*lease;
    EXPECT_EQ(lease->Query("SELECT * FROM T", {}), (store::Rows{{1, "x"}}));
    prepared = lease->statements_prepared();
  }
  store::Lease lease = Borrowed();
  ASSERT_EQ(&*lease, pooled);
  EXPECT_EQ(lease->Query("SELECT * FROM T", {}), (store::Rows{{1, "x"}}));
  EXPECT_EQ(lease->statements_prepared(), prepared);

  store_->Exec(
      "DROP TABLE T; CREATE TABLE T (b TEXT, a INTEGER); INSERT INTO T "
      "VALUES ('y', 2)");
  if (!traits().follows_rebuilt_tables) return;
  EXPECT_EQ(lease->Query("SELECT * FROM T", {}), (store::Rows{{"y", 2}}));

  // Inside a transaction the server's refusal spoils the transaction and
  // goes to the caller; the next transaction reads the table.
  store_->Exec(
      "ALTER TABLE T RENAME TO Old; CREATE TABLE T (a INTEGER, b TEXT); "
      "INSERT INTO T VALUES (3, 'z')");
  lease->Begin();
  if (traits().prepares_again_in_transaction) {
    EXPECT_EQ(lease->Query("SELECT * FROM T", {}), (store::Rows{{3, "z"}}));
  } else {
    EXPECT_THROW(lease->Query("SELECT * FROM T", {}), DataAccessError);
  }
  lease->Rollback();
  lease->Begin();
  EXPECT_EQ(lease->Query("SELECT * FROM T", {}), (store::Rows{{3, "z"}}));
  lease->Commit();
}

// Two creators never read the same number: the second waits for the first
// to commit (SQLite at its Begin, the server at the counter row); one that
// may wait a second only fails at its Lock Timeout, saying so.
TEST_P(StoreTest, ASecondWriterWaitsForTheFirst) {
  store::Lease first = Borrowed();
  store::Lease second = Borrowed();
  first->Begin();
  const bool row = first->LockCounter("C", "B", "D").has_value();
  EXPECT_EQ(row, traits().lock_makes_counter_row);
  first->Execute(row ? "UPDATE Document_Counter SET Last_No = 7"
                     : "INSERT INTO Document_Counter VALUES ('C', 'B', 'D', 7)",
                 {});
  if (traits().bounds_waits) {
    store::Lease hasty = Borrowed(";Lock Timeout=1");
    EXPECT_THAT(Failure([&] {
                  hasty->Begin();
                  hasty->LockCounter("C", "B", "D");
                }),
                HasSubstr(traits().lock_timeout_text));
  }
  std::future<std::optional<store::Value>> waiting = std::async([&] {
    second->Begin();
    std::optional<store::Value> last_no = second->LockCounter("C", "B", "D");
    second->Commit();
    return last_no;
  });
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(300)),
            std::future_status::timeout);
  first->Commit();
  EXPECT_EQ(waiting.get(), store::Value(7));
}

// A statement that fails after SQLite has handed out some of its rows, or
// that runs on past its Command Timeout, is ended all the same, so that its
// connection runs the next statement and holds nothing open.
TEST_P(StoreTest, AFailedStatementLeavesNothingOpen) {
  store_->Exec("CREATE TABLE F (x BIGINT)");
  store::Lease lease = Borrowed(";Command Timeout=1");
  if (traits().bounds_waits) {
    EXPECT_THAT(Failure([&] { lease->Query(traits().endless, {}); }),
                HasSubstr(traits().command_timeout_text));
  }
  for (std::int64_t x : {std::int64_t{1}, std::int64_t{2},
                         std::numeric_limits<std::int64_t>::min()}) {
    lease->Execute("INSERT INTO F VALUES (?)", {x});
  }
  // abs() overflows on the third row.
  const char* absolute = "SELECT abs(x) FROM F WHERE x <> ?";
  EXPECT_THROW(lease->Query(absolute, {0}), DataAccessError);
  EXPECT_THROW(lease->Query("SELECT nothing FROM F", {}), DataAccessError);
  EXPECT_TRUE(lease->Reusable());
  store_->Exec("DELETE FROM F WHERE x < 0");
  EXPECT_EQ(lease->Query(absolute, {0}), (store::Rows{{1}, {2}}));
}

// A counter that holds no number, as a host may have left it: text, a
// fraction, or a number beyond what a document number holds.
TEST_P(StoreTest, ACounterThatHoldsNoNumberIssuesNothing) {
  if (!traits().typeless) store_->Exec(traits().counter_as_text);
  for (const char* last_no : {"'abc'", "'12abc'", "1e20", "2.5"}) {
    store_->Exec(std::string("DELETE FROM Document_Counter;"
                             "INSERT INTO Document_Counter VALUES "
                             "('C1', 'B1', 'RG', ") +
                 last_no + ")");
    Rights right;
    right.ADOConnectionString(store_->connection_string());
    right.CompanyPrefix("C1");
    right.BranchPrefix("B1");
    right.DocumentPrefix("RG");
    right.RightsName("Post");
    EXPECT_FALSE(right.Create_Rights()) << last_no;
    EXPECT_NE(right.ErrDesc().find("no number was issued"), std::string::npos)
        << right.ErrDesc();
  }
}

// A table without a rowid: SQLite names its rows by their primary key.
TEST(HostTablesSQLiteTest, ATableWithoutRowidIsUpdatedRowByRow) {
  auto store = TestStore::Create(Backend::kSQLite);
  store->Exec(
      "DROP TABLE User_Group;"
      "CREATE TABLE User_Group (User_Group_No TEXT, Seq INTEGER, "
      "User_Group_Name TEXT, User_Group_Desc TEXT, Last_Update DATETIME, "
      "PRIMARY KEY (User_Group_No, Seq)) WITHOUT ROWID;"
      "INSERT INTO User_Group VALUES ('G1', 1, 'a', 'd', NULL), "
      "('G1', 2, 'b', 'd', NULL)");
  UserGroup group;
  group.ADOConnectionString(store->connection_string());
  group.GroupNumber("G1");
  group.GroupName("Renamed");
  EXPECT_TRUE(group.Update_Group()) << group.ErrDesc();
  // Of two rows under the group's number, only the first is changed.
  EXPECT_EQ(store->Query("SELECT User_Group_Name FROM User_Group ORDER BY Seq"),
            (testing::Rows{{"Renamed"}, {"b"}}));
}

TAVIK_ON_EVERY_STORE(Stores, StoreTest);

}  // namespace
}  // namespace tavikuser
