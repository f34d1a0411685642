// The connection object as hosts drive it, and the pool behind it: a pooled
// connection that went bad is never handed out again, an idle one ends in
// time, every wait on a server ends at its limit with a text that says what
// was waited for, and a process made by fork() never touches its parent's.
#include "tavikuser/connection.h"

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
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

#include "platform/store/connection_object.h"
#include "platform/store/connection_string.h"
#include "platform/store/store.h"
#include "support/test_store.h"
#include "tavikuser/errors.h"

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

// The first value that `sql` reads, through a pooled connection.
std::string First(const std::string& connection_string,
                  const std::string& sql) {
  return store::Borrow(connection_string)->Query(sql, {}).at(0).at(0).ToText();
}

std::string SQLiteFile(const TestStore& store) {
  return store::ParseConnectionString(store.connection_string()).parameters;
}

// The exit status of `child`, or -1 when it did not exit.
int ExitStatus(pid_t child) {
  int status = 0;
  if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(ConnectionTest, RefusesMisuseAndIsDrivenLateBoundByMemberName) {
  auto store = TestStore::Create(Backend::kSQLite);
  Connection connection;
  EXPECT_EQ(Failure([&] { connection.Open(); }),
            "The connection string is empty.");
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
  EXPECT_THAT([] { Connection(Variant("not a connection").ToObject()); },
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

// Continues a stopped process when it goes, so that no test leaves a server
// process stopped.
class Stopped {
 public:
  explicit Stopped(const std::string& pid) : pid_(std::stoi(pid)) {
    kill(pid_, SIGSTOP);
  }
  ~Stopped() { kill(pid_, SIGCONT); }

 private:
  pid_t pid_;
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
    const std::string session = lease->Query(pid, {}).at(0).at(0).ToText();
    lease->Begin();
    const Stopped stopped(session);
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
  auto other = TestStore::Create(Backend::kSQLite, false);
  First(other->connection_string(), "SELECT 1");
  EXPECT_TRUE(SessionEnds(*store, idle));
}

// A server that accepts the connection and never answers: opening ends at
// the Connect Timeout (libpq waits two seconds at the least).
TEST(ServerSessionTest, OpeningAnUnansweringServerEndsAtTheConnectTimeout) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  ASSERT_EQ(
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  EXPECT_THAT(
      Failure([&] {
        store::Borrow("Provider=PostgreSQL;Host=127.0.0.1;Port=" +
                      std::to_string(ntohs(address.sin_port)) +
                      ";Database=books;User ID=clerk;Connect Timeout=1");
      }),
      HasSubstr("the Connect Timeout of 1 s"));
  close(listener);
}

// The file replaced, by a child process; then the folder that holds it
// swapped for another: each time the path names another file, and a pooled
// connection to the first must not serve it. The child shares its parent's
// queue of folder notices: it must find the new file without taking the
// notice of the replacement away from its parent.
TEST(ConnectionPoolTest, AnSQLiteConnectionFollowsFilesAndFoldersReplaced) {
  char temporary[] = "/tmp/tavik-moves-XXXXXX";
  ASSERT_NE(mkdtemp(temporary), nullptr);
  const fs::path root = temporary, books = root / "books";
  fs::create_directories(root / "new-books");
  fs::create_directory(books);
  // Moves a fresh store holding `marker` to `to`.
  std::vector<std::unique_ptr<TestStore>> stores;
  const auto place = [&stores](const std::string& marker, const fs::path& to) {
    auto& store =
        stores.emplace_back(TestStore::Create(Backend::kSQLite, false));
    store->Exec(
        "CREATE TABLE Marker (Value text); INSERT INTO Marker VALUES ('" +
        marker + "')");
    fs::rename(SQLiteFile(*store), to);
  };
  const std::string ledger =
      "Provider=SQLite;Data Source=" + (books / "ledger.db").string();
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
  EXPECT_EQ(ExitStatus(child), 0);
  EXPECT_EQ(First(ledger, marker), "second");

  place("third", root / "new-books" / "ledger.db");
  fs::rename(books, root / "old-books");
  fs::rename(root / "new-books", books);
  EXPECT_EQ(First(ledger, marker), "third");
  fs::remove_all(root);
}

// How many descriptors this process has open.
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
    fs::remove(SQLiteFile(*store));
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

class PoolAcrossForkTest : public ::testing::TestWithParam<Backend> {};

// Parent and child check at once after the parent pooled a connection and
// while it holds another open: every answer on both sides is right, the
// child can use neither of its parent's connections, and closing the one it
// inherited leaves the parent's session alone. A program that a child runs
// takes none of the connections along.
TEST_P(PoolAcrossForkTest, ChildrenAndTheirProgramsNeverUseTheParents) {
  const auto store = TestStore::Create(GetParam());
  const std::string& pooled = store->connection_string();
  store->Exec("INSERT INTO Rights_Master (Rights_No) VALUES ('R1')");
  Connection held;
  held.ConnectionString(pooled);
  held.Open();
  ASSERT_EQ(WrongAnswers(pooled, 2), 0);  // pools a second connection
  const auto session = [&] {
    return store::ConnectionObject::Of(held)
        .Opened()
        .Query(testing::Traits(GetParam()).session, {})
        .at(0)
        .at(0)
        .ToText();
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
  EXPECT_EQ(ExitStatus(child), 0) << "wrong answers in the child";
  EXPECT_EQ(session(), before);

  // popen() runs its program in a child that it makes without fork().
  FILE* program = popen("ls -l /proc/self/fd", "r");
  ASSERT_NE(program, nullptr);
  std::string listing;
  char buffer[4096];
  for (std::size_t got; (got = fread(buffer, 1, sizeof buffer, program)) > 0;) {
    listing.append(buffer, got);
  }
  EXPECT_EQ(pclose(program), 0);
  EXPECT_NE(listing.find("pipe:"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("socket:"), std::string::npos) << listing;
  EXPECT_EQ(listing.find(".db"), std::string::npos) << listing;
}

TAVIK_ON_EVERY_STORE(Stores, PoolAcrossForkTest);

}  // namespace
}  // namespace tavikuser
