// The host's tables as hosts really keep them, on every store: rebuilt by
// another process with their columns in another order, dates kept as
// numbers or without a fraction, tables without a rowid, and counters that
// hold no number.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "support/test_store.h"
#include "tavikuser/automation.h"
#include "tavikuser/rights.h"
#include "tavikuser/role.h"
#include "tavikuser/user.h"
#include "tavikuser/user_group.h"

namespace tavikuser {
namespace {

using testing::Backend;
using testing::TestStore;

// An object of class T working on `store`.
template <class T>
T On(const TestStore& store) {
  T object;
  object.ADOConnectionString(store.connection_string());
  return object;
}

class HostTablesTest : public ::testing::TestWithParam<Backend> {
 protected:
  bool sqlite() const { return testing::Traits(GetParam()).typeless; }

  const std::unique_ptr<TestStore> store_ = TestStore::Create(GetParam());
};

TEST_P(HostTablesTest, ATableRebuiltWithItsColumnsReorderedIsReadRight) {
  store_->Exec(
      "INSERT INTO User_Group (User_Group_No, User_Group_Name, "
      "User_Group_Desc, Last_Update) VALUES ('G1', 'Cashiers', 'Tills', "
      "'2024-06-30 17:45:01.257');"
      "INSERT INTO Rights_Master (Rights_No, Rights_Name) VALUES ('R1', 'x')");
  UserGroup group = On<UserGroup>(*store_);
  Rights right = On<Rights>(*store_);
  right.RightsNo("R1");
  right.RightsName("Post");
  ASSERT_TRUE(group.Get_UserGroup("G1"));
  ASSERT_TRUE(right.Update_Rights());

  // Another connection migrates both tables the usual way: a new table, the
  // rows copied, the old one dropped, the new one renamed.
  for (const auto& [table, columns] :
       {std::pair{"User_Group",
                  "User_Group_Desc, User_Group_Name, "
                  "User_Group_No"},
        std::pair{"Rights_Master", "Rights_Parent, Rights_Name, Rights_No"}}) {
    store_->Exec(std::string("CREATE TABLE Migrated AS SELECT Last_Update, ") +
                 columns + " FROM " + table + "; DROP TABLE " + table +
                 "; ALTER TABLE Migrated RENAME TO " + table);
  }

  group.GroupName("");
  ASSERT_TRUE(group.Get_UserGroup("G1")) << group.ErrDesc();
  EXPECT_EQ(group.GroupName() + "|" + group.GroupDescription(),
            "Cashiers|Tills");
  right.RightsName("Post again");
  EXPECT_TRUE(right.Update_Rights()) << right.ErrDesc();
  EXPECT_EQ(store_->Scalar("SELECT Rights_Name FROM Rights_Master"),
            "Post again");
}

TEST_P(HostTablesTest, DatesAreReadInTheKindsTheStoreKeeps) {
  // SQLite keeps whatever it is given; a server keeps its own date types.
  using Stored = std::vector<std::pair<std::string, DateTime>>;
  const Stored stored =
      sqlite() ? Stored{{"45000.25", DateTime(45000.25)},
                        {"45000.1234567890123", DateTime(45000.1234567890123)},
                        {"'2023-03-15'", *DateTime::FromIsoText("2023-03-15")},
                        {"'2023-03-15T06:00:00'", DateTime(45000.25)}}
               : Stored{{"'2023-03-15 06:00:00'", DateTime(45000.25)},
                        {"'2023-03-15 06:00:00.123'",
                         *DateTime::FromIsoText("2023-03-15 06:00:00.123")}};
  for (const auto& [value, date] : stored) {
    store_->Exec(
        "DELETE FROM User_Group; DELETE FROM User_Master;"
        "INSERT INTO User_Group (User_Group_No, User_Group_Name, Last_Update) "
        "VALUES ('G1', 'Cashiers', " +
        value +
        ");"
        "INSERT INTO User_Master (User_No, User_ID, User_Name, Last_Update) "
        "VALUES ('U1', 'jdoe', 'Jane', " +
        value + ")");
    UserGroup group = On<UserGroup>(*store_);
    ASSERT_TRUE(group.Get_UserGroup("G1")) << value << ": " << group.ErrDesc();
    // To well within a millisecond: the SQLite ODBC driver hands a real
    // over as text of 15 digits.
    EXPECT_NEAR(group.LastUpdate().oadate(), date.oadate(), 1e-10) << value;
    // Nothing compares what was read with what is there before writing.
    EXPECT_TRUE(group.Update_Group()) << group.ErrDesc();
    User user = On<User>(*store_);
    user.UserNo("U1");
    EXPECT_TRUE(user.Update_User()) << user.ErrDesc();
  }
}

TEST_P(HostTablesTest, ACounterThatHoldsNoNumberIssuesNothing) {
  if (!sqlite()) store_->Exec(testing::Traits(GetParam()).counter_as_text);
  for (const char* last_no : {"'abc'", "'12abc'", "1e20", "2.5"}) {
    store_->Exec(std::string("DELETE FROM Document_Counter;"
                             "INSERT INTO Document_Counter VALUES "
                             "('C1', 'B1', 'RG', ") +
                 last_no + ")");
    Rights right = On<Rights>(*store_);
    right.CompanyPrefix("C1");
    right.BranchPrefix("B1");
    right.DocumentPrefix("RG");
    right.RightsName("Post");
    EXPECT_FALSE(right.Create_Rights()) << last_no;
    EXPECT_NE(right.ErrDesc().find("no number was issued"), std::string::npos)
        << right.ErrDesc();
    EXPECT_EQ(store_->Scalar("SELECT COUNT(*) FROM Rights_Master"), "0");
  }
}

TEST(HostTablesSQLiteTest, TablesWithoutRowidAreUpdatedRowByRow) {
  auto store = TestStore::Create(Backend::kSQLite);
  store->Exec(
      "DROP TABLE User_Group; DROP TABLE Role_Master; DROP TABLE User_Master;"
      "DROP TABLE Branch_Master;"
      "CREATE TABLE User_Group (User_Group_No TEXT, Seq INTEGER, "
      "User_Group_Name TEXT, User_Group_Desc TEXT, Last_Update DATETIME, "
      "PRIMARY KEY (User_Group_No, Seq)) WITHOUT ROWID;"
      "CREATE TABLE Role_Master (Role_No TEXT PRIMARY KEY, Role_Name TEXT) "
      "WITHOUT ROWID;"
      "CREATE TABLE User_Master (User_No TEXT PRIMARY KEY, User_ID TEXT, "
      "User_Password TEXT) WITHOUT ROWID;"
      "CREATE TABLE Branch_Master (Company_Prefix TEXT, Branch_Prefix TEXT, "
      "System_Password TEXT, PRIMARY KEY (Company_Prefix, Branch_Prefix)) "
      "WITHOUT ROWID;"
      "INSERT INTO User_Group VALUES ('G1', 1, 'a', 'd', NULL), "
      "('G1', 2, 'b', 'd', NULL);"
      "INSERT INTO Role_Master VALUES ('R1', 'Clerk');"
      "INSERT INTO User_Master VALUES ('U1', 'jdoe', 'old');"
      "INSERT INTO Branch_Master VALUES ('C1', 'B1', 'sys')");

  UserGroup group = On<UserGroup>(*store);
  group.GroupNumber("G1");
  group.GroupName("Renamed");
  EXPECT_TRUE(group.Update_Group()) << group.ErrDesc();
  Role role = On<Role>(*store);
  role.RoleNumber("R1");
  role.RoleName("Senior clerk");
  EXPECT_TRUE(role.Update_Role()) << role.ErrDesc();
  User user = On<User>(*store);
  user.UserID("jdoe");
  user.UserPassword("OLD");
  user.NewPassword("new");
  EXPECT_TRUE(user.Change_Password()) << user.ErrDesc();
  user.CompanyPrefix("C1");
  user.BranchPrefix("B1");
  user.UserID("system");
  user.UserPassword("SYS");
  EXPECT_TRUE(user.Change_Password()) << user.ErrDesc();
  // Of two rows under the group's number, only the first is changed.
  EXPECT_EQ(store->Query("SELECT User_Group_Name, Role_Name, User_Password, "
                         "System_Password FROM User_Group, Role_Master, "
                         "User_Master, Branch_Master ORDER BY Seq"),
            (testing::Rows{{"Renamed", "Senior clerk", "new", "new"},
                           {"b", "Senior clerk", "new", "new"}}));
}

TEST(HostTablesDateTest, ADateOutsideTheCalendarIsRefusedWhenLet) {
  Rights right;
  for (double day : {std::nan(""), 1e12, -1e12, 2958466.0, -657435.0}) {
    EXPECT_THROW(right.LastUpdate(DateTime(day)), AutomationError) << day;
  }
  const ObjectRef late = automation::CreateObject("TavikUser.Rights");
  EXPECT_THAT([&] { late->Let("LastUpdate", Variant(1e12)); },
              ::testing::Throws<AutomationError>(::testing::Property(
                  &AutomationError::status, automation::kTypeMismatch)));
  EXPECT_EQ(right.LastUpdate(), DateTime());
}

TAVIK_ON_EVERY_STORE(Stores, HostTablesTest);

}  // namespace
}  // namespace tavikuser
