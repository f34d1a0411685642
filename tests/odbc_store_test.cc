// The ODBC store on a real driver: the SQLite ODBC driver as registered in
// the system's driver list, on a file made with schema/sqlite.sql.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/store/store.h"
#include "tavikuser/date_time.h"
#include "tavikuser/errors.h"

namespace tavikuser::store {
namespace {

class ODBCStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/tavik-odbc-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
    const std::string path = folder_ + "/store.db";
    std::ifstream schema(TAVIK_SOURCE_DIR "/schema/sqlite.sql");
    std::stringstream sql;
    sql << schema.rdbuf();
    sqlite3* database = nullptr;
    sqlite3_open(path.c_str(), &database);
    const int status =
        sqlite3_exec(database, sql.str().c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(database);
    ASSERT_EQ(status, SQLITE_OK);
    connection_string_ = "Driver={SQLite3};Database=" + path;
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  Lease Borrow() { return store::Borrow(connection_string_); }

  std::string folder_;
  std::string connection_string_;
};

TEST_F(ODBCStoreTest, ValuesRoundTripInTheirKinds) {
  Lease store = Borrow();
  const DateTime date = DateTime::FromCalendar({2024, 2, 29, 13, 14, 15, 678});
  const std::string text = "Çay şekeri 茶 — «ü»";
  store->Execute(
      "INSERT INTO Rights_Master (Rights_No, Rights_Identity, Rights_Name, "
      "Rights_Parent, Last_Update) VALUES (?, ?, ?, ?, ?)",
      {"R1", std::int64_t{1} << 40, text, Value(), date});
  store->Execute("INSERT INTO Document_Counter VALUES (?, ?, ?, ?)",
                 {"C", "B", "D", 2.5});
  EXPECT_EQ(store->Query("SELECT Rights_Identity, Rights_Name, Rights_Parent, "
                         "Last_Update FROM Rights_Master WHERE Rights_No = ?",
                         {"R1"}),
            (Rows{{std::int64_t{1} << 40, text, Value(), date}}));
  // A fraction in a whole-number column is read as stored, not cut off.
  EXPECT_EQ(store->LockCounter("C", "B", "D"), Value(2.5));
  // The driver reads reals back through 15 significant digits of text.
  EXPECT_EQ(store->Query("SELECT ? + 0.0", {1234.56789012345}),
            (Rows{{1234.56789012345}}));
  EXPECT_EQ(store->LockCounter("C", "B", "none"), std::nullopt);

  // A text longer than one piece read from the driver comes back whole.
  const std::string long_text(5000, 'x');
  store->Execute("UPDATE Rights_Master SET Rights_Name = ?", {long_text});
  EXPECT_EQ(store->Query("SELECT Rights_Name FROM Rights_Master", {}),
            (Rows{{long_text}}));

  // Prepared once, taken from the cache after.
  const std::size_t prepared = store->statements_prepared();
  store->Query("SELECT Rights_Name FROM Rights_Master", {});
  EXPECT_EQ(store->statements_prepared(), prepared);
}

TEST_F(ODBCStoreTest, FailuresCarryTheDriversTextAndLeaveTheConnection) {
  Lease store = Borrow();
  try {
    store->Query("SELECT * FROM No_Such_Table", {});
    FAIL() << "no failure";
  } catch (const DataAccessError& error) {
    EXPECT_NE(std::string(error.what()).find("no such table: No_Such_Table"),
              std::string::npos)
        << error.what();
  }
  EXPECT_THROW(store->Execute("INSERT INTO Role_Detail VALUES (?, ?)",
                              {std::string("a\0b", 3), "x"}),
               DataAccessError);
  EXPECT_THROW(store->Execute("INSERT INTO Role_Detail VALUES (?, ?)", {"a"}),
               DataAccessError);
  EXPECT_TRUE(store->Usable());
  EXPECT_EQ(store->Execute("INSERT INTO Role_Detail VALUES (?, ?)", {"a", "b"}),
            1);
  EXPECT_EQ(store->Query("SELECT COUNT(*) FROM Role_Detail", {}),
            (Rows{{std::int64_t{1}}}));
}

TEST_F(ODBCStoreTest, RollbackDiscardsAndCommitKeeps) {
  Lease store = Borrow();
  store->Begin();
  EXPECT_FALSE(store->Reusable());
  store->Execute("INSERT INTO Role_Detail VALUES ('dropped', 'x')", {});
  store->Rollback();
  store->Begin();
  store->Execute("INSERT INTO Role_Detail VALUES ('kept', 'x')", {});
  store->Commit();
  EXPECT_TRUE(store->Reusable());
  // Back to autocommit: this change is seen by another connection at once.
  store->Execute("INSERT INTO Role_Detail VALUES ('auto', 'x')", {});
  EXPECT_EQ(Borrow()->Query("SELECT Role_No FROM Role_Detail ORDER BY 1", {}),
            (Rows{{"auto"}, {"kept"}}));
}

TEST_F(ODBCStoreTest, IdentityOfFindsOneOfTwoRowsThatShareAKey) {
  Lease store = Borrow();
  store->Execute("INSERT INTO Role_Detail VALUES ('R', 'X')", {});
  store->Execute("INSERT INTO Role_Detail VALUES ('R', 'X')", {});
  const std::optional<RowIdentity> identity = store->IdentityOf("Role_Detail");
  ASSERT_TRUE(identity) << "the driver names no best row identifier";
  const Rows rows = store->Query(
      "SELECT " + identity->columns + " FROM Role_Detail WHERE Role_No = 'R'",
      {});
  ASSERT_EQ(rows.size(), 2u);
  ASSERT_EQ(rows[0].size(), identity->width);
  EXPECT_EQ(
      store->Execute("DELETE FROM Role_Detail WHERE " + identity->condition,
                     rows[0]),
      1);
  EXPECT_EQ(store->Query("SELECT COUNT(*) FROM Role_Detail", {}),
            (Rows{{std::int64_t{1}}}));

  // A composite key names the row by all of its columns.
  const std::optional<RowIdentity> counter =
      store->IdentityOf("Document_Counter");
  ASSERT_TRUE(counter);
  EXPECT_EQ(counter->condition,
            "Company_Prefix = ? AND Branch_Prefix = ? AND Document_Prefix = ?");
}

}  // namespace
}  // namespace tavikuser::store
