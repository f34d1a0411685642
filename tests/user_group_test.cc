// User groups created under counter-issued numbers, updated, deleted and read
// back, on real stores: the record key and where GroupNumber stands after
// each path, the description an update never clears, the users that keep a
// group, and what a lookup takes from a row and what it leaves.
#include "tavikuser/user_group.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/test_store.h"
#include "tavikuser/automation.h"

namespace tavikuser {
namespace {

using testing::Backend;
using testing::Rows;
using testing::TestStore;

constexpr char kGroupHasUsers[] =
    "Group could not be deleted, due to user existence!";

DateTime At(const char* iso_text) { return *DateTime::FromIsoText(iso_text); }

class UserGroupTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    store_ = TestStore::Create(GetParam());
    store_->Exec("INSERT INTO Document_Counter VALUES ('01', 'HQ', 'UG', 6)");
    group_.ADOConnectionString(store_->connection_string());
    group_.CompanyPrefix("01");
    group_.BranchPrefix("HQ");
    group_.DocumentPrefix("UG");
    group_.GroupName("Payables clerks");
  }

  // Two groups as a host keeps them; G2 has a Null description.
  void StoreTwoGroups() {
    store_->Exec(
        "INSERT INTO User_Group (User_Group_No, User_Group_Name, "
        "User_Group_Desc, Last_Update) VALUES "
        "('G1', 'Cashiers', 'Till and banking', '2024-06-30 17:45:01.257'), "
        "('G2', 'Auditors', NULL, '2025-01-02 03:04:05.006')");
  }

  Rows Groups() {
    return store_->Query(
        "SELECT User_Group_No, User_Group_Name, User_Group_Desc FROM "
        "User_Group ORDER BY User_Group_No");
  }
  std::string LastNo() {
    return store_->Scalar("SELECT Last_No FROM Document_Counter").value();
  }
  std::string ErrDesc() const { return group_.ErrDesc(); }

  std::unique_ptr<TestStore> store_;
  UserGroup group_;
};

TEST_P(UserGroupTest, CreatesUnderTheNextNumberAndSetsGroupNumber) {
  group_.GroupNumber("ignored");
  ASSERT_TRUE(group_.Create_Group()) << ErrDesc();
  EXPECT_EQ(group_.GroupNumber(), "01HQUG7");
  const Rows rows = store_->Query(
      "SELECT User_Group_No, User_Group_Identity, Company_Prefix, "
      "Branch_Prefix, Document_Prefix, User_Group_Name, User_Group_Desc "
      "FROM User_Group");
  EXPECT_EQ(rows, (Rows{{"01HQUG7", "7", "01", "HQ", "UG", "Payables clerks",
                         ""}}));  // an unset description is empty, not Null
  EXPECT_EQ(store_->Scalar("SELECT Last_Update FROM User_Group")->substr(0, 19),
            "1899-12-30 00:00:00");
  EXPECT_EQ(LastNo(), "7");
  EXPECT_EQ(ErrDesc(), "");
}

TEST_P(UserGroupTest, CreationValidatesInOrderBeforeTouchingTheStore) {
  UserGroup group;
  group.GroupNumber("kept");
  // Each message, then the value that gets past it; a blank is present.
  const std::vector<std::pair<std::string, std::function<void()>>> steps = {
      {"Invalid Connection string Property.",
       [&] { group.ADOConnectionString(store_->connection_string()); }},
      {"Invalid Group Name.", [&] { group.GroupName(" "); }},
      {"Invalid Company Prefix.", [&] { group.CompanyPrefix("01"); }},
      {"Invalid Branch Prefix.", [&] { group.BranchPrefix("HQ"); }},
      {"Invalid Document Prefix.", [] {}}};
  for (const auto& [message, get_past_it] : steps) {
    EXPECT_FALSE(group.Create_Group());
    EXPECT_EQ(group.ErrDesc(), message);
    get_past_it();
  }
  EXPECT_EQ(group.GroupNumber(), "kept");
  EXPECT_EQ(Groups(), Rows{});
  EXPECT_EQ(LastNo(), "6");
}

// The number was issued, the row was refused: GroupNumber names a group that
// is not there, and the number is issued again once the store accepts rows.
TEST_P(UserGroupTest, AFailedCreationKeepsTheIssuedKeyInGroupNumber) {
  store_->Exec(testing::Traits(GetParam())
                   .failing_trigger("no_groups", "BEFORE INSERT", "User_Group",
                                    "no groups today"));
  EXPECT_FALSE(group_.Create_Group());
  EXPECT_NE(ErrDesc().find("no groups today"), std::string::npos) << ErrDesc();
  EXPECT_EQ(group_.GroupNumber(), "01HQUG7");
  EXPECT_EQ(Groups(), Rows{});
  EXPECT_EQ(LastNo(), "6");

  store_->Exec(
      testing::Traits(GetParam()).drop_trigger("no_groups", "User_Group"));
  ASSERT_TRUE(group_.Create_Group()) << ErrDesc();
  EXPECT_EQ(Groups(), (Rows{{"01HQUG7", "Payables clerks", ""}}));
}

TEST_P(UserGroupTest, UpdateNeverClearsADescription) {
  StoreTwoGroups();
  group_.GroupNumber("G1");
  group_.GroupName("Cashiers and tellers");
  group_.LastUpdate(At("2026-03-04 05:06:07.891"));
  ASSERT_TRUE(group_.Update_Group()) << ErrDesc();
  group_.GroupNumber("G2");
  group_.GroupDescription("Read only");
  ASSERT_TRUE(group_.Update_Group()) << ErrDesc();
  EXPECT_EQ(Groups(), (Rows{{"G1", "Cashiers and tellers", "Till and banking"},
                            {"G2", "Cashiers and tellers", "Read only"}}));
  EXPECT_EQ(store_->Query("SELECT Last_Update FROM User_Group"),
            (Rows{{"2026-03-04 05:06:07.891"}, {"2026-03-04 05:06:07.891"}}));
}

TEST_P(UserGroupTest, UpdateValidatesOnlyConnectionAndNameThenNeedsARow) {
  UserGroup group;
  EXPECT_FALSE(group.Update_Group());
  EXPECT_EQ(group.ErrDesc(), "Invalid Connection string Property.");
  group.ADOConnectionString(store_->connection_string());
  EXPECT_FALSE(group.Update_Group());
  EXPECT_EQ(group.ErrDesc(), "Invalid Group Name.");

  StoreTwoGroups();
  group.GroupName("Nobody");
  for (const char* missing : {"G9", ""}) {
    group.GroupNumber(missing);
    EXPECT_FALSE(group.Update_Group());
    EXPECT_NE(group.ErrDesc().find("No current row"), std::string::npos)
        << group.ErrDesc();
  }
  group.GroupNumber("G'1");
  EXPECT_FALSE(group.Update_Group());
  EXPECT_NE(group.ErrDesc().find("single quote"), std::string::npos);
  EXPECT_EQ(Groups(), (Rows{{"G1", "Cashiers", "Till and banking"},
                            {"G2", "Auditors", std::nullopt}}));
}

TEST_P(UserGroupTest, DeletionIsRefusedWhileTheGroupHasUsers) {
  StoreTwoGroups();
  store_->Exec(
      "INSERT INTO Group_Detail (User_Group_No, Rights_No) VALUES "
      "('G1', 'R1')");
  group_.GroupNumber("G1");
  EXPECT_FALSE(group_.Delete_Group());
  EXPECT_EQ(ErrDesc(), kGroupHasUsers);

  store_->Exec("DELETE FROM Group_Detail");
  EXPECT_TRUE(group_.Delete_Group()) << ErrDesc();
  group_.GroupNumber("G9");
  EXPECT_TRUE(group_.Delete_Group());
  EXPECT_EQ(ErrDesc(), kGroupHasUsers);  // never cleared
  EXPECT_EQ(Groups(), (Rows{{"G2", "Auditors", std::nullopt}}));
}

TEST_P(UserGroupTest, DeletionValidatesConnectionThenNumber) {
  UserGroup group;
  group.GroupNumber("G1");
  EXPECT_FALSE(group.Delete_Group());
  EXPECT_EQ(group.ErrDesc(), "Invalid Connection string Property.");
  group.ADOConnectionString(store_->connection_string());
  group.GroupNumber("");
  EXPECT_FALSE(group.Delete_Group());
  EXPECT_EQ(group.ErrDesc(), "Invalid Group No.");
}

// Without a key on the table: deletion wants exactly one row, an update and
// a lookup take the first.
TEST_P(UserGroupTest, TwoRowsUnderOneNumber) {
  store_->Exec("DROP TABLE User_Group");
  store_->Exec(
      std::string(
          "CREATE TABLE User_Group (User_Group_No text, "
          "User_Group_Identity "
          "integer, Company_Prefix text, Branch_Prefix text, Document_Prefix "
          "text, User_Group_Name text, User_Group_Desc text, Last_Update ") +
      testing::Traits(GetParam()).date_time + ")");
  store_->Exec(
      "INSERT INTO User_Group (User_Group_No, User_Group_Name, Last_Update) "
      "VALUES ('G1', 'first', '2024-01-01'), ('G1', 'second', '2024-01-01')");
  group_.GroupNumber("G1");
  EXPECT_TRUE(group_.Delete_Group());
  if (!testing::Traits(GetParam()).names_rows_without_key) {
    EXPECT_FALSE(group_.Update_Group());
    EXPECT_NE(ErrDesc().find("cannot tell apart the 2 rows"), std::string::npos)
        << ErrDesc();
    return;
  }
  ASSERT_TRUE(group_.Update_Group()) << ErrDesc();
  EXPECT_EQ(store_->Scalar("SELECT COUNT(*) FROM User_Group WHERE "
                           "User_Group_Name = 'Payables clerks'"),
            "1");
  EXPECT_TRUE(group_.Get_UserGroup("G1"));
  EXPECT_EQ(store_->Scalar("SELECT COUNT(*) FROM User_Group"), "2");
}

TEST_P(UserGroupTest, LookupKeepsWhatANullOrEmptyColumnCannotGive) {
  StoreTwoGroups();
  store_->Exec(
      "INSERT INTO User_Group (User_Group_No, User_Group_Name, "
      "User_Group_Desc, Last_Update) VALUES "
      "('G3', '', ' ', '2025-01-02 03:04:05.006')");
  ASSERT_TRUE(group_.Get_UserGroup("G1")) << ErrDesc();
  EXPECT_EQ(group_.GroupName(), "Cashiers");
  EXPECT_EQ(group_.GroupDescription(), "Till and banking");
  EXPECT_EQ(group_.LastUpdate(), At("2024-06-30 17:45:01.257"));

  ASSERT_TRUE(group_.Get_UserGroup("G2")) << ErrDesc();
  EXPECT_EQ(group_.GroupNumber(), "G2");
  EXPECT_EQ(group_.GroupName(), "Auditors");
  EXPECT_EQ(group_.GroupDescription(), "Till and banking");  // Null: kept
  EXPECT_EQ(group_.LastUpdate(), At("2025-01-02 03:04:05.006"));

  ASSERT_TRUE(group_.Get_UserGroup("G3")) << ErrDesc();
  EXPECT_EQ(group_.GroupName(), "Auditors");  // empty: kept
  EXPECT_EQ(group_.GroupDescription(), " ");  // blanks: taken
}

TEST_P(UserGroupTest, LookupOfAMissingOrEmptyNumber) {
  StoreTwoGroups();
  ASSERT_TRUE(group_.Get_UserGroup("G1")) << ErrDesc();

  EXPECT_FALSE(group_.Get_UserGroup("G9"));
  EXPECT_EQ(ErrDesc(), "Invalid User Group Number");
  EXPECT_EQ(group_.GroupNumber(), "G9");

  EXPECT_FALSE(group_.Get_UserGroup(""));
  EXPECT_EQ(ErrDesc(), "Invalid User Group Number.");
  EXPECT_EQ(group_.GroupNumber(), "");

  EXPECT_EQ(group_.GroupName(), "Cashiers");
  EXPECT_EQ(group_.GroupDescription(), "Till and banking");
  EXPECT_EQ(group_.LastUpdate(), At("2024-06-30 17:45:01.257"));

  UserGroup without_connection;
  EXPECT_FALSE(without_connection.Get_UserGroup("G1"));
  EXPECT_NE(without_connection.ErrDesc(), "");
  EXPECT_NE(without_connection.ErrDesc(),
            "Invalid Connection string Property.");
}

TEST_P(UserGroupTest, LookupFailsOnANullLastUpdateAfterTakingTheTexts) {
  store_->Exec(
      "INSERT INTO User_Group (User_Group_No, User_Group_Name, "
      "User_Group_Desc) VALUES ('G4', 'Undated', 'No time stamp')");
  group_.LastUpdate(At("2024-06-30 17:45:01.257"));
  EXPECT_FALSE(group_.Get_UserGroup("G4"));
  EXPECT_NE(ErrDesc().find("Null"), std::string::npos) << ErrDesc();
  EXPECT_EQ(group_.GroupName(), "Undated");
  EXPECT_EQ(group_.GroupDescription(), "No time stamp");
  EXPECT_EQ(group_.LastUpdate(), At("2024-06-30 17:45:01.257"));
}

TEST_P(UserGroupTest, OneObjectCreatesUpdatesReadsAndDeletes) {
  group_.GroupDescription("Supplier invoices");
  group_.LastUpdate(At("2024-06-30 17:45:01.257"));
  ASSERT_TRUE(group_.Create_Group()) << ErrDesc();
  ASSERT_TRUE(group_.Create_Group()) << ErrDesc();
  EXPECT_EQ(group_.GroupNumber(), "01HQUG8");

  group_.GroupName("Payables");
  group_.GroupDescription("");
  group_.LastUpdate(At("2025-01-02 03:04:05.006"));
  ASSERT_TRUE(group_.Update_Group()) << ErrDesc();

  UserGroup reader;
  reader.ADOConnectionString(store_->connection_string());
  ASSERT_TRUE(reader.Get_UserGroup("01HQUG8")) << reader.ErrDesc();
  EXPECT_EQ(reader.GroupName(), "Payables");
  EXPECT_EQ(reader.GroupDescription(), "Supplier invoices");
  EXPECT_EQ(reader.LastUpdate(), At("2025-01-02 03:04:05.006"));

  ASSERT_TRUE(group_.Delete_Group()) << ErrDesc();
  EXPECT_FALSE(group_.Get_UserGroup("01HQUG8"));
  ASSERT_TRUE(group_.Get_UserGroup("01HQUG7")) << ErrDesc();
  EXPECT_EQ(group_.GroupName(), "Payables clerks");
  EXPECT_EQ(ErrDesc(), "Invalid User Group Number");
}

TAVIK_ON_EVERY_STORE(Stores, UserGroupTest);

}  // namespace
}  // namespace tavikuser
