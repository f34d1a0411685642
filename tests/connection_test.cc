// The connection object as hosts drive it, and the pool behind it: a pooled
// connection that went bad while idle is never handed out again.
#include "tavikuser/connection.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <thread>

#include "platform/store/connection_string.h"
#include "platform/store/store.h"
#include "support/test_store.h"
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

TEST(ConnectionPoolTest, APostgreSQLConnectionEndedWhileIdleIsDropped) {
  auto store = TestStore::Create(Backend::kPostgreSQL);
  const std::string pid = "SELECT pg_backend_pid()";
  const std::string pooled = First(store->connection_string(), pid);
  store->Exec("SELECT pg_terminate_backend(" + pooled + ")");
  for (int wait = 0;
       wait < 100 && store->Scalar("SELECT COUNT(*) FROM pg_stat_activity "
                                   "WHERE pid = " +
                                   pooled) != "0";
       ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
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

}  // namespace
}  // namespace tavikuser
