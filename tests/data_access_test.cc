// The data-access layer against real stores: rows, types, row identity,
// optimistic updates, transactions, the pool and the providers' own texts.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "platform/adodb/connection_state.h"
#include "platform/adodb/connection_string.h"
#include "platform/adodb/recordset.h"
#include "platform/adodb/session.h"
#include "support/test_store.h"
#include "tavikuser/connection.h"
#include "tavikuser/errors.h"

namespace tavikuser::adodb {
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
  ADD_FAILURE() << "no DataAccessError";
  return {};
}

#define EXPECT_CONTAINS(text, part) \
  EXPECT_NE(std::string(text).find(part), std::string::npos) << (text)

Statement RightByNumber(const std::string& rights_no) {
  return Statement::Compose({"Select * From Rights_Master where Rights_No='",
                             Quoted{rights_no}, "'"});
}

class DataAccessTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override { store_ = TestStore::Create(GetParam()); }

  bool sqlite() const { return GetParam() == Backend::kSQLite; }
  const std::string& connection_string() const {
    return store_->connection_string();
  }

  Connection OpenConnection() {
    Connection connection;
    connection.ConnectionString(connection_string());
    connection.Open();
    return connection;
  }

  void AddRight(const std::string& rights_no, const std::string& name) {
    store_->Exec(
        "INSERT INTO Rights_Master (Rights_No, Rights_Name) VALUES ('" +
        rights_no + "', '" + name + "')");
  }

  std::unique_ptr<TestStore> store_;
};

TAVIK_ON_EVERY_STORE(Backends, DataAccessTest);

TEST_P(DataAccessTest, RowsAreCountedAndWalkedToTheEnd) {
  AddRight("R1", "one");
  AddRight("R2", "two");
  AddRight("R3", "three");

  Recordset all;
  all.Open(Statement("Select * From Rights_Master"), connection_string());
  EXPECT_EQ(all.RecordCount(), 3);
  std::set<std::string> names;
  for (; !all.EndOfFile(); all.MoveNext()) {
    names.insert(all.Field("rights_name").ToText());
  }
  EXPECT_EQ(names, (std::set<std::string>{"one", "two", "three"}));
  EXPECT_EQ(Failure([&] { all.Field("Rights_Name"); }),
            "No current row: the recordset is empty or positioned past its "
            "last row.");
  EXPECT_CONTAINS(Failure([&] { all.MoveNext(); }), "No current row");
  all.Close();
  EXPECT_EQ(Failure([&] { all.RecordCount(); }), "The recordset is closed.");

  Recordset one;
  one.Open(RightByNumber("R2"), connection_string());
  EXPECT_EQ(one.RecordCount(), 1);
  EXPECT_EQ(one.Field("RIGHTS_NAME").ToText(), "two");

  Recordset none;
  none.Open(RightByNumber("R4"), connection_string());
  EXPECT_EQ(none.RecordCount(), 0);
  EXPECT_TRUE(none.EndOfFile());
  EXPECT_CONTAINS(Failure([&] { none.Field("Rights_Name"); }),
                  "No current row");
}

TEST_P(DataAccessTest, AddedRowReadsBackWithItsTypesWithoutReadingTheTable) {
  const DateTime last_update =
      *DateTime::FromIsoText("2024-02-29 13:45:56.789");
  Connection connection = OpenConnection();
  Session& session = connection.internals().OpenSession();
  const std::size_t prepared_before = session.statements_prepared();

  Recordset added;
  added.Open(Statement("Select * From Rights_Master"), connection);
  added.AddNew();
  added.Collect("Rights_No", "R9");
  added.Collect("Rights_Identity", std::int32_t{42});
  added.Collect("Rights_Name", Variant::Null());
  added.Collect("Rights_Parent", "P");
  added.Collect("Last_Update", last_update);
  added.Update();
  added.Close();
  // Only the insert was prepared: appending never read the table.
  EXPECT_EQ(session.statements_prepared(), prepared_before + 1);
  connection.Close();

  EXPECT_EQ(store_->Query("SELECT Rights_Identity, Rights_Name, Last_Update "
                          "FROM Rights_Master WHERE Rights_No = 'R9'"),
            (testing::Rows{{"42", std::nullopt, "2024-02-29 13:45:56.789"}}));

  Recordset read;
  read.Open(RightByNumber("R9"), connection_string());
  const Variant identity = read.Field("Rights_Identity");
  ASSERT_EQ(identity.type(), VarType::kI4);
  EXPECT_EQ(identity.ToI4(), 42);
  const Variant date = read.Field("Last_Update");
  ASSERT_EQ(date.type(), VarType::kDate);
  EXPECT_EQ(date.ToDate().ToIsoText(), "2024-02-29 13:45:56.789");
  EXPECT_TRUE(read.Field("Rights_Name").is_null());
  EXPECT_EQ(read.Field("Rights_Parent").type(), VarType::kText);
  EXPECT_EQ(read.Field("Rights_Parent").ToText(), "P");
}

TEST_P(DataAccessTest, UpdateAndDeleteTouchOnlyTheCurrentOfTwoEqualRows) {
  store_->Exec("CREATE TABLE Twin (Twin_Key text, Twin_Value text)");
  store_->Exec("INSERT INTO Twin VALUES ('K', 'same'), ('K', 'same')");
  const std::string values = "SELECT Twin_Value FROM Twin ORDER BY Twin_Value";

  Recordset twins;
  twins.Open(Statement::Compose(
                 {"select * from Twin where Twin_Key='", Quoted{"K"}, "'"}),
             connection_string());
  ASSERT_EQ(twins.RecordCount(), 2);
  twins.Collect("Twin_Value", "changed");
  EXPECT_EQ(twins.Field("Twin_Value").ToText(), "changed");
  twins.Update();
  EXPECT_EQ(store_->Query(values), (testing::Rows{{"changed"}, {"same"}}));

  // Stored rows can be changed again: each update finds its row anew.
  twins.Collect("Twin_Value", "changed again");
  twins.Update();
  EXPECT_EQ(store_->Query(values),
            (testing::Rows{{"changed again"}, {"same"}}));

  twins.MoveNext();
  twins.Delete();
  EXPECT_EQ(store_->Query(values), (testing::Rows{{"changed again"}}));
  EXPECT_EQ(twins.RecordCount(), 1);
  EXPECT_EQ(Failure([&] { twins.Field("Twin_Value"); }),
            "No current row: the current row was deleted.");
}

TEST_P(DataAccessTest, RowChangedOrDeletedUnderneathIsNotOverwritten) {
  AddRight("R1", "original");
  AddRight("R2", "original");
  const std::string changed =
      "The row was changed or deleted by someone else since it was read; "
      "nothing was stored.";

  Recordset stale;
  stale.Open(RightByNumber("R1"), connection_string());
  ASSERT_EQ(stale.RecordCount(), 1);
  store_->Exec(
      "UPDATE Rights_Master SET Rights_Name = 'theirs' "
      "WHERE Rights_No = 'R1'");
  stale.Collect("Rights_Name", "ours");
  EXPECT_EQ(Failure([&] { stale.Update(); }), changed);
  EXPECT_EQ(store_->Scalar(
                "SELECT Rights_Name FROM Rights_Master WHERE Rights_No = 'R1'"),
            "theirs");

  Recordset gone;
  gone.Open(RightByNumber("R2"), connection_string());
  ASSERT_EQ(gone.RecordCount(), 1);
  store_->Exec("DELETE FROM Rights_Master WHERE Rights_No = 'R2'");
  gone.Collect("Rights_Name", "ours");
  EXPECT_EQ(Failure([&] { gone.Update(); }), changed);
  EXPECT_EQ(Failure([&] { gone.Delete(); }),
            "The row was changed or deleted by someone else since it was "
            "read; nothing was deleted.");
  EXPECT_EQ(store_->Scalar("SELECT COUNT(*) FROM Rights_Master"), "1");
}

TEST_P(DataAccessTest, ProviderAndLayerTextsReachTheCaller) {
  AddRight("R1", "one");
  Recordset missing_table;
  missing_table.Open(Statement("select * from No_Such_Table"),
                     connection_string());
  const std::string missing = Failure([&] { missing_table.RecordCount(); });
  if (sqlite()) {
    EXPECT_EQ(missing, "no such table: No_Such_Table");
  } else {
    EXPECT_CONTAINS(missing, "relation \"no_such_table\" does not exist");
  }

  Recordset row;
  row.Open(RightByNumber("R1"), connection_string());
  EXPECT_EQ(Failure([&] { row.Field("No_Such_Column"); }),
            "The recordset has no column named No_Such_Column.");
  EXPECT_EQ(Failure([&] { row.Collect("No_Such_Column", "x"); }),
            "The recordset has no column named No_Such_Column.");

  Recordset added;
  added.Open(Statement("Select * From Rights_Master"), connection_string());
  added.AddNew();
  added.Collect("No_Such_Column", "x");
  EXPECT_CONTAINS(Failure([&] { added.Update(); }),
                  sqlite() ? "table Rights_Master has no column named "
                             "No_Such_Column"
                           : "column \"no_such_column\" of relation "
                             "\"rights_master\" does not exist");

  Recordset joined;
  joined.Open(Statement("select * from Rights_Master, Role_Master"),
              connection_string());
  EXPECT_EQ(joined.RecordCount(), 0);
  EXPECT_CONTAINS(Failure([&] { joined.AddNew(); }),
                  "only through select * from one table");
}

TEST_P(DataAccessTest, AFailedStatementLeavesTheConnectionWorking) {
  Connection connection = OpenConnection();
  EXPECT_FALSE(Failure([&] {
                 Execute(connection, Statement("DELETE FROM No_Such_Table"));
               }).empty());
  Execute(connection,
          Statement::Compose({"DELETE FROM Rights_Master WHERE Rights_No='",
                              Quoted{"R1"}, "'"}));
  connection.Close();
}

TEST_P(DataAccessTest, CommitKeepsRollbackAndCloseDiscard) {
  const auto insert = [](const std::string& rights_no) {
    return Statement::Compose(
        {"INSERT INTO Rights_Master (Rights_No) VALUES ('", Quoted{rights_no},
         "')"});
  };
  Connection connection = OpenConnection();
  EXPECT_EQ(Failure([&] { connection.CommitTrans(); }),
            "No transaction has begun on this connection.");

  connection.BeginTrans();
  EXPECT_EQ(Failure([&] { connection.BeginTrans(); }),
            "A transaction has already begun on this connection.");
  Execute(connection, insert("rolled back"));
  connection.RollbackTrans();

  connection.BeginTrans();
  Execute(connection, insert("committed"));
  connection.CommitTrans();

  connection.BeginTrans();
  Execute(connection, insert("closed"));
  connection.Close();

  EXPECT_EQ(store_->Query("SELECT Rights_No FROM Rights_Master"),
            (testing::Rows{{"committed"}}));
}

TEST_P(DataAccessTest, ASecondWriterWaitsForTheFirstInsteadOfFailing) {
  store_->Exec("INSERT INTO Document_Counter VALUES ('C', 'B', 'D', 0)");
  const Statement counter("select * from Document_Counter");
  const Statement increment(
      "UPDATE Document_Counter SET Last_No = Last_No + 1");

  Connection first = OpenConnection();
  first.BeginTrans();
  Execute(first, increment);

  std::atomic<bool> second_done = false;
  std::string second_failure;
  std::thread second_writer([&] {
    try {
      Connection second = OpenConnection();
      second.BeginTrans();
      // Read before writing, as a counter does.
      Recordset read;
      read.Open(counter, second);
      read.RecordCount();
      Execute(second, increment);
      second.CommitTrans();
    } catch (const DataAccessError& error) {
      second_failure = error.what();
    }
    second_done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_FALSE(second_done);
  first.CommitTrans();
  second_writer.join();
  EXPECT_EQ(second_failure, "");
  EXPECT_EQ(store_->Scalar("SELECT Last_No FROM Document_Counter"), "2");
}

TEST_P(DataAccessTest, AnOpenRecordsetDoesNotHoldBackWriters) {
  AddRight("R1", "one");
  Recordset reader;
  reader.Open(Statement("Select * From Rights_Master"), connection_string());
  ASSERT_EQ(reader.RecordCount(), 1);

  const auto started = std::chrono::steady_clock::now();
  Connection writer = OpenConnection();
  writer.BeginTrans();
  writer.Execute("DELETE FROM Rights_Master");
  writer.CommitTrans();
  EXPECT_LT(std::chrono::steady_clock::now() - started,
            std::chrono::seconds(2));
}

TEST_P(DataAccessTest, ASessionPreparesEachStatementOnce) {
  Lease lease = Borrow(ParseConnectionString(connection_string()));
  Session& session = lease.session();
  const std::string sql = "select * from Rights_Master where Rights_No = :p1";
  const std::size_t before = session.statements_prepared();
  session.Query(sql, {"R1"});
  session.Query(sql, {"R2"});
  EXPECT_EQ(session.statements_prepared(), before + 1);
}

TEST_P(DataAccessTest, ConnectionObjectRefusesMisuse) {
  Connection connection;
  EXPECT_EQ(Failure([&] { connection.Open(); }),
            "The connection string is empty.");
  EXPECT_EQ(Failure([&] { connection.Close(); }),
            "The connection is already closed.");
  EXPECT_EQ(Failure([&] { connection.BeginTrans(); }),
            "The connection is closed.");
  Recordset on_closed;
  EXPECT_EQ(Failure([&] { on_closed.Open(Statement("select 1"), connection); }),
            "The connection is closed.");

  connection.ConnectionString(connection_string());
  connection.Open();
  EXPECT_EQ(connection.state(), Connection::kStateOpen);
  EXPECT_EQ(Failure([&] { connection.Open(); }),
            "The connection is already open.");
  EXPECT_EQ(Failure([&] { connection.ConnectionString("x"); }),
            "The connection string cannot be changed while the connection is "
            "open.");
  connection.Close();
  EXPECT_EQ(connection.state(), Connection::kStateClosed);

  Recordset malformed;
  EXPECT_CONTAINS(Failure([&] {
                    malformed.Open(Statement("select 1"), "Provider=SQLite;x");
                  }),
                  "The connection string is malformed");
}

TEST_P(DataAccessTest, TheConnectionIsDrivenLateBoundByMemberName) {
  const Variant late = automation::Marshal<Connection>::To(Connection());
  const ObjectRef object = late.ToObject();
  object->Let("connectionstring", connection_string());
  EXPECT_EQ(object->Get("ConnectionString").ToText(), connection_string());
  object->Call("Open");
  EXPECT_EQ(object->Get("State").ToI4(), Connection::kStateOpen);
  // The early-bound handle refers to the same connection.
  EXPECT_EQ(automation::Marshal<Connection>::From(late).state(),
            Connection::kStateOpen);
  object->Call("BeginTrans");
  std::vector<Variant> insert{
      "INSERT INTO Rights_Master (Rights_No) VALUES ('late')"};
  object->Call("Execute", insert);
  object->Call("CommitTrans");
  object->Call("Close");
  EXPECT_EQ(object->Get("State").ToI4(), Connection::kStateClosed);
  EXPECT_EQ(store_->Scalar("SELECT Rights_No FROM Rights_Master"), "late");

  try {
    automation::Marshal<Connection>::From(Variant("not a connection"));
    ADD_FAILURE() << "a text became a connection";
  } catch (const AutomationError& error) {
    EXPECT_EQ(error.status(), automation::kTypeMismatch);
  }
}

// Pooled connections that went bad while idle are never handed out.

TEST(DataAccessPoolTest, APostgreSQLConnectionEndedWhileIdleIsDropped) {
  auto store = TestStore::Create(Backend::kPostgreSQL);
  const auto backend_pid = [&] {
    Recordset pid;
    pid.Open(Statement("select pg_backend_pid() as pid"),
             store->connection_string());
    return pid.Field("pid").ToText();
  };
  const std::string pooled = backend_pid();
  store->Exec("SELECT pg_terminate_backend(" + pooled + ")");
  for (int wait = 0;
       wait < 100 && store->Scalar("SELECT COUNT(*) FROM pg_stat_activity "
                                   "WHERE pid = " +
                                   pooled) != "0";
       ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_NE(backend_pid(), pooled);
}

TEST(DataAccessPoolTest, AnSQLiteConnectionToAReplacedFileIsDropped) {
  auto store = TestStore::Create(Backend::kSQLite);
  Recordset before;
  before.Open(Statement("Select * From Rights_Master"),
              store->connection_string());
  EXPECT_EQ(before.RecordCount(), 0);
  before.Close();  // its connection goes back to the pool

  auto replacement = TestStore::Create(Backend::kSQLite, false);
  replacement->Exec(
      "CREATE TABLE Replacement (Value text);"
      "INSERT INTO Replacement VALUES ('new')");
  const auto path = [](const TestStore& s) {
    return ParseConnectionString(s.connection_string()).sqlite_path;
  };
  ASSERT_EQ(std::rename(path(*replacement).c_str(), path(*store).c_str()), 0);

  Recordset after;
  after.Open(Statement("select * from Replacement"),
             store->connection_string());
  EXPECT_EQ(after.Field("Value").ToText(), "new");
}

// The file moved away and another put at its path; then the folder that
// holds it swapped for another: each time the path names another file, and
// a pooled connection to the first must not serve it.
TEST(DataAccessPoolTest, AnSQLiteConnectionFollowsFilesAndFoldersMoved) {
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
    fs::rename(ParseConnectionString(store->connection_string()).sqlite_path,
               to);
  };
  const std::string connection_string =
      "Provider=SQLite;Data Source=" + (books / "ledger.db").string();
  const auto marker = [&] {
    Recordset marker;
    marker.Open(Statement("select Value from Marker"), connection_string);
    return marker.Field("Value").ToText();
  };

  place("first", books / "ledger.db");
  EXPECT_EQ(marker(), "first");
  fs::rename(books / "ledger.db", books / "ledger-old.db");
  place("second", books / "ledger.db");
  EXPECT_EQ(marker(), "second");
  fs::create_directory(root / "new-books");
  place("third", root / "new-books" / "ledger.db");
  fs::rename(books, root / "old-books");
  fs::rename(root / "new-books", books);
  EXPECT_EQ(marker(), "third");
  fs::remove_all(root);
}

// A child process shares its parent's queue of folder notices: when the
// child replaces the file and reads, it must find the new file without
// taking the notice of the replacement away from its parent.
TEST(DataAccessPoolTest, AParentAndItsChildBothSeeAReplacedFile) {
  auto store = TestStore::Create(Backend::kSQLite, false);
  store->Exec(
      "CREATE TABLE Marker (Value text); INSERT INTO Marker VALUES "
      "('old')");
  const auto marker = [&] {
    Recordset marker;
    marker.Open(Statement("select Value from Marker"),
                store->connection_string());
    return marker.Field("Value").ToText();
  };
  EXPECT_EQ(marker(), "old");  // a connection to the old file is pooled
  auto replacement = TestStore::Create(Backend::kSQLite, false);
  replacement->Exec(
      "CREATE TABLE Marker (Value text); INSERT INTO Marker VALUES ('new')");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::rename(
        ParseConnectionString(replacement->connection_string())
            .sqlite_path.c_str(),
        ParseConnectionString(store->connection_string()).sqlite_path.c_str());
    _exit(marker() == "new" ? 0
                            : 1);  // no destructors: nothing of the parent's
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(marker(), "new");
}

}  // namespace
}  // namespace tavikuser::adodb
