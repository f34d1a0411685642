// The connection object as hosts drive it, and the pool behind it: a pooled
// connection that went bad while idle is never handed out again, an idle
// one ends in time, and a process made by fork() never touches its
// parent's.
#include "tavikuser/connection.h"

#include <gtest/gtest.h>
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
#include "tavikuser/check_access_rights.h"
#include "tavikuser/errors.h"

namespace tavikuser {
namespace {

using testing::Backend;
using testing::TestStore;

// The description of the DataAccessError that `step` throws.
std::string Failure(const std::function<void()>& step) {
  try {
    step();
  } catch (const DataAccessError& error) {
    return error.what();
  }
  return "no DataAccessError";
}

// The first value that `sql` reads, through a pooled connection.
std::string First(const std::string& connection_string,
                  const std::string& sql) {
  return store::Borrow(connection_string)->Query(sql, {}).at(0).at(0).ToText();
}

std::string SQLiteFile(const TestStore& store) {
  return store::ParseConnectionString(store.connection_string()).parameters;
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

  const ObjectRef object = connection.AsObject();
  object->Let("connectionstring", Variant(store->connection_string()));
  object->Call("Open");
  EXPECT_EQ(connection.state(), Connection::kStateOpen);
  EXPECT_EQ(Failure([&] { connection.Open(); }),
            "The connection is already open.");
  EXPECT_EQ(Failure([&] { connection.ConnectionString("x"); }),
            "The connection string cannot be changed while the connection is "
            "open.");
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

  try {
    Connection(Variant("not a connection").ToObject());
    ADD_FAILURE() << "a text became a connection";
  } catch (const AutomationError& error) {
    EXPECT_EQ(error.status(), automation::kTypeMismatch);
  }
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

TEST(ConnectionPoolTest, APostgreSQLConnectionEndedWhileIdleIsDropped) {
  auto store = TestStore::Create(Backend::kPostgreSQL);
  const std::string pid = "SELECT pg_backend_pid()";
  const std::string pooled = First(store->connection_string(), pid);
  store->Exec("SELECT pg_terminate_backend(" + pooled + ")");
  EXPECT_TRUE(SessionEnds(*store, pooled));
  EXPECT_NE(First(store->connection_string(), pid), pooled);
}

// The file moved away and another put at its path; then the folder that
// holds it swapped for another: each time the path names another file, and
// a pooled connection to the first must not serve it.
TEST(ConnectionPoolTest, AnSQLiteConnectionFollowsFilesAndFoldersMoved) {
  namespace fs = std::filesystem;
  char temporary[] = "/tmp/tavik-moves-XXXXXX";
  ASSERT_NE(mkdtemp(temporary), nullptr);
  const fs::path root = temporary;
  const fs::path books = root / "books";
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
  fs::rename(books / "ledger.db", books / "ledger-old.db");
  place("second", books / "ledger.db");
  EXPECT_EQ(First(ledger, marker), "second");
  fs::create_directory(root / "new-books");
  place("third", root / "new-books" / "ledger.db");
  fs::rename(books, root / "old-books");
  fs::rename(root / "new-books", books);
  EXPECT_EQ(First(ledger, marker), "third");
  fs::remove_all(root);
}

// A child process shares its parent's queue of folder notices: when the
// child replaces the file and reads, it must find the new file without
// taking the notice of the replacement away from its parent.
TEST(ConnectionPoolTest, AParentAndItsChildBothSeeAReplacedFile) {
  auto store = TestStore::Create(Backend::kSQLite, false);
  store->Exec(
      "CREATE TABLE Marker (Value text); INSERT INTO Marker VALUES "
      "('old')");
  const std::string marker = "SELECT Value FROM Marker";
  // A connection to the old file is pooled.
  EXPECT_EQ(First(store->connection_string(), marker), "old");
  auto replacement = TestStore::Create(Backend::kSQLite, false);
  replacement->Exec(
      "CREATE TABLE Marker (Value text); INSERT INTO Marker VALUES ('new')");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::rename(SQLiteFile(*replacement).c_str(), SQLiteFile(*store).c_str());
    // No destructors: nothing of the parent's.
    _exit(First(store->connection_string(), marker) == "new" ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(First(store->connection_string(), marker), "new");
}

// How many descriptors this process has open.
int OpenDescriptors() {
  const std::filesystem::directory_iterator entries("/proc/self/fd");
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
    std::filesystem::remove(SQLiteFile(*store));
    most = std::max(most, OpenDescriptors());
  }
  EXPECT_LE(most - start, 64);  // the pool's bound on idle connections
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  First(kept->connection_string(), select);  // a call sweeps the pool
  EXPECT_LE(OpenDescriptors(), start);
}

// A session idle past its Idle Timeout ends at the next call of any store,
// so that it holds up neither the server's resources nor its shutdown.
TEST(ConnectionPoolTest, AServerSessionEndsAfterItsIdleTimeout) {
  auto store = TestStore::Create(Backend::kPostgreSQL, false);
  const std::string pid = First(store->connection_string() + ";Idle Timeout=1",
                                "SELECT pg_backend_pid()");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  auto other = TestStore::Create(Backend::kSQLite, false);
  First(other->connection_string(), "SELECT 1");
  EXPECT_TRUE(SessionEnds(*store, pid));
}

class PoolAcrossForkTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    store_->Exec(
        "INSERT INTO Rights_Master (Rights_No) VALUES ('R-POST');"
        "INSERT INTO Access_Control_Rights (User_No, Rights_No) VALUES "
        "('U-ANN', 'R-POST')");
  }

  // How many of `checks` answers, alternately for a user who holds the
  // right and for one who does not, were not the right one.
  int WrongAnswers(int checks) const {
    CheckAccessRights check;
    check.ADOConnectionString(store_->connection_string());
    check.RightsNo("R-POST");
    int wrong = 0;
    for (int i = 0; i < checks; ++i) {
      const bool holds = i % 2 == 0;
      check.UserNo(holds ? "U-ANN" : "U-BOB");
      const bool granted = check.Check_Access_Rights();
      wrong +=
          granted != holds || (!granted && check.ErrDesc() != "Access Denied");
    }
    return wrong;
  }

  const std::unique_ptr<TestStore> store_ = TestStore::Create(GetParam());
};

// Parent and child check at once after the parent pooled a connection and
// while it holds another open: every answer on both sides is right, the
// child can use neither of its parent's connections, and closing the one it
// inherited leaves the parent's session alone.
TEST_P(PoolAcrossForkTest, ParentAndChildEachAnswerRightOnTheirOwnConnections) {
  Connection held;
  held.ConnectionString(store_->connection_string());
  held.Open();
  ASSERT_EQ(WrongAnswers(2), 0);  // pools a second connection
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
    int wrong = WrongAnswers(400);
    wrong += Failure([&] { held.Execute("SELECT 1"); }).find("parent") ==
             std::string::npos;
    held.Close();
    _exit(std::min(wrong, 100));
  }
  EXPECT_EQ(WrongAnswers(400), 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "wrong answers in the child: " << WEXITSTATUS(status);
  EXPECT_EQ(session(), before);
}

// A program that a child runs takes none of the connections along.
TEST_P(PoolAcrossForkTest, AProgramRunByAChildInheritsNoConnection) {
  ASSERT_EQ(WrongAnswers(2), 0);
  int output[2];
  ASSERT_EQ(pipe(output), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    dup2(output[1], STDOUT_FILENO);
    execl("/bin/sh", "sh", "-c", "ls -l /proc/$$/fd", nullptr);
    _exit(127);
  }
  close(output[1]);
  std::string listing;
  char buffer[4096];
  for (ssize_t got; (got = read(output[0], buffer, sizeof buffer)) > 0;) {
    listing.append(buffer, got);
  }
  close(output[0]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_NE(listing.find("pipe:"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("socket:"), std::string::npos) << listing;
  EXPECT_EQ(listing.find(".db"), std::string::npos) << listing;
}

TAVIK_ON_EVERY_STORE(Stores, PoolAcrossForkTest);

}  // namespace
}  // namespace tavikuser
