// User accounts on real stores: the numbered creation and its connection
// object, update and delete under exactly one number, the two lookups, and
// the password change for ordinary users and the built-in accounts.
#include "tavikuser/user.h"

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

class UserTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    store_ = TestStore::Create(GetParam());
    store_->Exec("INSERT INTO Document_Counter VALUES ('C1', 'B2', 'US', 7)");
    user_.ADOConnectionString(store_->connection_string());
    user_.CompanyPrefix("C1");
    user_.BranchPrefix("B2");
    user_.DocumentPrefix("US");
    user_.UserID("jdoe");
    user_.UserName("Jane Doe");
  }

  // Rows as (User_No, User_ID, User_Name, User_Description, User_Password,
  // Company_Prefix, Branch_Prefix, Default_Flag), SQL literals each.
  void AddAccounts(const std::string& values) {
    store_->Exec(
        "INSERT INTO User_Master (User_No, User_ID, User_Name, "
        "User_Description, User_Password, Company_Prefix, Branch_Prefix, "
        "Default_Flag) VALUES " +
        values);
  }

  // Two rows may then share a User_No.
  void DropTheKeyOfUserMaster() {
    store_->Exec("DROP TABLE User_Master");
    store_->Exec(
        "CREATE TABLE User_Master (User_No text, User_Identity integer, "
        "Company_Prefix text, Branch_Prefix text, Document_Prefix text, "
        "User_ID text, User_Name text, User_Description text, "
        "User_Password text, Last_Update text, "
        "Default_Flag integer NOT NULL DEFAULT 0)");
  }

  Rows Accounts() {
    return store_->Query(
        "SELECT User_No, User_ID, User_Name, User_Description, User_Password "
        "FROM User_Master ORDER BY User_No, User_Name");
  }
  std::string Password(const std::string& user_no) {
    return store_
        ->Scalar("SELECT User_Password FROM User_Master WHERE User_No = '" +
                 user_no + "'")
        .value_or("Null");
  }
  std::string LastNo() {
    return store_
        ->Scalar(
            "SELECT Last_No FROM Document_Counter WHERE "
            "Document_Prefix = 'US'")
        .value_or("none");
  }
  std::string ErrDesc() const { return user_.ErrDesc(); }

  std::unique_ptr<TestStore> store_;
  User user_;
};

// ---------------------------------------------------------------------------
// Create_User

TEST_P(UserTest, CreatesTheTenColumnsAndLeavesUserNoAsItWas) {
  user_.UserNo("kept");
  ASSERT_TRUE(user_.Create_User()) << ErrDesc();
  const Rows row = store_->Query(
      "SELECT Company_Prefix, Branch_Prefix, Document_Prefix, User_No, "
      "User_Identity, User_ID, User_Name, User_Description, User_Password, "
      "Default_Flag, Last_Update FROM User_Master");
  ASSERT_EQ(row.size(), 1u);
  const std::vector<std::optional<std::string>> columns(row[0].begin(),
                                                        row[0].end() - 1);
  // Empty description and password are empty text, not Null; Default_Flag
  // is the store's default.
  EXPECT_EQ(columns, (std::vector<std::optional<std::string>>{
                         "C1", "B2", "US", "C1B2US8", "8", "jdoe", "Jane Doe",
                         "", "", "0"}));
  EXPECT_EQ(row[0].back()->substr(0, 19), "1899-12-30 00:00:00");
  EXPECT_EQ(user_.UserNo(), "kept");
  EXPECT_EQ(LastNo(), "8");
  EXPECT_EQ(ErrDesc(), "");
}

TEST_P(UserTest, CreatesAgainOnAHandedInConnectionAndWithoutOne) {
  Connection handed_in;
  user_.AdoConnectionObject(handed_in);
  user_.UserName("");
  EXPECT_FALSE(user_.Create_User());  // validation keeps the handed-in one
  EXPECT_EQ(ErrDesc(), "Invalid UserID or Name.");
  user_.UserName("Jane Doe");
  ASSERT_TRUE(user_.Create_User()) << ErrDesc();
  EXPECT_EQ(handed_in.ConnectionString(), store_->connection_string());
  EXPECT_EQ(handed_in.state(), Connection::kStateClosed);

  // The creation released it: the next one takes a fresh connection object.
  user_.UserID("second");
  ASSERT_TRUE(user_.Create_User()) << ErrDesc();

  Connection another;
  user_.AdoConnectionObject(another);
  user_.UserID("third");
  ASSERT_TRUE(user_.Create_User()) << ErrDesc();
  EXPECT_EQ(another.ConnectionString(), store_->connection_string());

  EXPECT_EQ(
      store_->Query("SELECT User_No, User_ID FROM User_Master ORDER BY "
                    "User_Identity"),
      (Rows{
          {"C1B2US8", "jdoe"}, {"C1B2US9", "second"}, {"C1B2US10", "third"}}));
  EXPECT_EQ(LastNo(), "10");
  EXPECT_EQ(ErrDesc(), "Invalid UserID or Name.");
}

TEST_P(UserTest, AnOpenConnectionHandedInFailsBeforeTheTransaction) {
  Connection open;
  open.ConnectionString(store_->connection_string());
  open.Open();
  user_.AdoConnectionObject(open);
  EXPECT_FALSE(user_.Create_User());
  EXPECT_NE(ErrDesc().find("while the connection is open"), std::string::npos)
      << ErrDesc();
  EXPECT_EQ(Accounts(), Rows{});
  EXPECT_EQ(LastNo(), "7");
  open.Close();

  ASSERT_TRUE(user_.Create_User()) << ErrDesc();
  EXPECT_EQ(LastNo(), "8");
}

TEST_P(UserTest, CreationValidatesInOrderBeforeTouchingTheStore) {
  User user;
  // Each message, then the value that gets past it.
  const std::vector<std::pair<std::string, std::function<void()>>> steps = {
      {"Invalid Connection string Property.",
       [&] { user.ADOConnectionString(store_->connection_string()); }},
      {"Invalid UserID or Name.", [&] { user.UserID("jdoe"); }},
      {"Invalid UserID or Name.", [&] { user.UserName(" "); }},
      {"Invalid Company Prefix.", [&] { user.CompanyPrefix("C1"); }},
      {"Invalid Branch Prefix.", [&] { user.BranchPrefix("B2"); }},
      {"Invalid Document Prefix.", [] {}}};
  for (const auto& [message, get_past_it] : steps) {
    EXPECT_FALSE(user.Create_User());
    EXPECT_EQ(user.ErrDesc(), message);
    get_past_it();
  }
  EXPECT_EQ(Accounts(), Rows{});
  EXPECT_EQ(LastNo(), "7");
}

// ---------------------------------------------------------------------------
// Update_User and Delete_User

TEST_P(UserTest, UpdateRewritesTheAccountsOwnColumnsOnly) {
  store_->Exec(
      "INSERT INTO User_Master (User_No, User_Identity, Company_Prefix, "
      "Branch_Prefix, Document_Prefix, User_ID, User_Name, User_Description, "
      "User_Password, Default_Flag) VALUES "
      "('U1', 5, 'CX', 'BX', 'DX', 'old', 'Old Name', 'desc', 'pw', 1), "
      "('U2', 6, 'C1', 'B2', 'US', 'other', 'Other', 'd', 'p', 0)");
  user_.CompanyPrefix("elsewhere");
  user_.UserNo("U1");
  user_.UserID("");
  user_.UserName("New Name");
  user_.UserPassword("Secret");
  user_.LastUpdate(*DateTime::FromIsoText("2025-01-02 03:04:05.006"));
  ASSERT_TRUE(user_.Update_User()) << ErrDesc();
  EXPECT_EQ(store_->Query(
                "SELECT User_No, User_Identity, Company_Prefix, Branch_Prefix, "
                "Document_Prefix, User_ID, User_Name, User_Description, "
                "User_Password, Default_Flag, Last_Update FROM User_Master "
                "ORDER BY User_No"),
            (Rows{{"U1", "5", "CX", "BX", "DX", "", "New Name", "", "Secret",
                   "1", "2025-01-02 03:04:05.006"},
                  {"U2", "6", "C1", "B2", "US", "other", "Other", "d", "p", "0",
                   std::nullopt}}));

  user_.UserNo("U9");
  EXPECT_FALSE(user_.Update_User());
  EXPECT_EQ(ErrDesc(), "Invalid User");
}

TEST_P(UserTest, DeleteRemovesTheOneAccountRowAndNothingElse) {
  AddAccounts(
      "('U1', 'gone', 'Gone', '', '', 'CX', 'BX', 1), "
      "('U2', 'stays', 'Stays', '', '', 'C1', 'B2', 0)");
  store_->Exec(
      "INSERT INTO Access_Control_Rights VALUES ('U1', 'R1');"
      "INSERT INTO Access_Control_Groups VALUES ('U1', 'G1')");
  user_.UserNo("U1");
  ASSERT_TRUE(user_.Delete_User()) << ErrDesc();
  EXPECT_EQ(Accounts(), (Rows{{"U2", "stays", "Stays", "", ""}}));
  EXPECT_EQ(store_->Scalar("SELECT COUNT(*) FROM Access_Control_Rights"), "1");
  EXPECT_EQ(store_->Scalar("SELECT COUNT(*) FROM Access_Control_Groups"), "1");

  EXPECT_FALSE(user_.Delete_User());
  EXPECT_EQ(ErrDesc(), "Invalid User");
}

TEST_P(UserTest, UpdateAndDeleteRefuseANumberThatTwoRowsShare) {
  DropTheKeyOfUserMaster();
  AddAccounts(
      "('U1', 'a', 'First', '', '', 'C1', 'B2', 0), "
      "('U1', 'b', 'Second', '', '', 'C1', 'B2', 0)");
  const Rows before = Accounts();
  user_.UserNo("U1");
  EXPECT_FALSE(user_.Update_User());
  EXPECT_EQ(ErrDesc(), "Invalid User");
  EXPECT_FALSE(user_.Delete_User());
  EXPECT_EQ(ErrDesc(), "Invalid User");
  EXPECT_EQ(Accounts(), before);
}

TEST_P(UserTest, UpdateAndDeleteSayDifferentThingsOfAnEmptyNumber) {
  User user;
  EXPECT_FALSE(user.Update_User());
  EXPECT_EQ(user.ErrDesc(), "Invalid Connection string Property.");
  EXPECT_FALSE(user.Delete_User());
  EXPECT_EQ(user.ErrDesc(), "Invalid Connection string Property.");
  user.ADOConnectionString(store_->connection_string());
  user.UserID("jdoe");
  user.UserName("Jane Doe");
  EXPECT_FALSE(user.Update_User());
  EXPECT_EQ(user.ErrDesc(), "Invalid UserID or Name.");
  EXPECT_FALSE(user.Delete_User());
  EXPECT_EQ(user.ErrDesc(), "Invalid User No.");
}

// ---------------------------------------------------------------------------
// Get_User and Get_User_Unique

class UserLookupTest : public UserTest {
 protected:
  void SetUp() override {
    UserTest::SetUp();
    AddAccounts(
        "('C1B2US1', 'jdoe', 'Jane Doe', 'Accounts', 'pw1', 'C1', 'B2', 0), "
        "('C1B2US2', 'gone', 'Gone Away', 'x', 'y', 'C1', 'B2', 1), "
        "('C9B9US3', 'max', 'Max Other', NULL, '', 'C9', 'B9', 0), "
        "('US4', 'nobranch', 'No Branch', '', NULL, '', '', 0)");
    lookup_.ADOConnectionString(store_->connection_string());
    lookup_.CompanyPrefix("C1");
    lookup_.BranchPrefix("B2");
  }

  // What the lookup left in the object.
  std::vector<std::string> Read() const {
    return {lookup_.UserNo(), lookup_.UserID(), lookup_.UserName(),
            lookup_.UserDescription(), lookup_.UserPassword()};
  }
  std::string LookupErrDesc() const { return lookup_.ErrDesc(); }

  User lookup_;
};

TEST_P(UserLookupTest, GetUserFindsByIdOrByNumberRowsWhoseFlagIsZero) {
  lookup_.UserNo("C9B9US3");  // another account's: the ID decides
  ASSERT_TRUE(lookup_.Get_User("jdoe")) << LookupErrDesc();
  EXPECT_EQ(Read(), (std::vector<std::string>{"C1B2US1", "jdoe", "Jane Doe",
                                              "Accounts", "pw1"}));

  // By number; a Null description and an empty password keep the values
  // read before.
  lookup_.UserNo("C9B9US3");
  ASSERT_TRUE(lookup_.Get_User()) << LookupErrDesc();
  EXPECT_EQ(Read(), (std::vector<std::string>{"C9B9US3", "max", "Max Other",
                                              "Accounts", "pw1"}));

  EXPECT_FALSE(lookup_.Get_User("gone"));
  EXPECT_EQ(LookupErrDesc(), "Invalid User ID");
  EXPECT_EQ(Read(), (std::vector<std::string>{"C9B9US3", "gone", "Max Other",
                                              "Accounts", "pw1"}));
  lookup_.UserNo("C1B2US2");
  EXPECT_FALSE(lookup_.Get_User());
  EXPECT_EQ(LookupErrDesc(), "Invalid User ID");
}

TEST_P(UserLookupTest, GetUserUniqueConfinesOnlyItsSearchByIdToTheBranch) {
  EXPECT_FALSE(lookup_.Get_User_Unique("max"));
  EXPECT_EQ(LookupErrDesc(), "Invalid User ID");
  lookup_.UserNo("C9B9US3");
  EXPECT_TRUE(lookup_.Get_User_Unique()) << LookupErrDesc();
  EXPECT_TRUE(lookup_.Get_User("max")) << LookupErrDesc();
  lookup_.CompanyPrefix("C9");
  lookup_.BranchPrefix("B9");
  EXPECT_TRUE(lookup_.Get_User_Unique("max")) << LookupErrDesc();
  EXPECT_FALSE(lookup_.Get_User_Unique("jdoe"));

  lookup_.CompanyPrefix("");
  lookup_.BranchPrefix("");
  ASSERT_TRUE(lookup_.Get_User_Unique("nobranch")) << LookupErrDesc();
  EXPECT_EQ(lookup_.UserNo(), "US4");
}

TEST_P(UserLookupTest, TheArgumentReplacesUserIdBeforeAnythingIsTested) {
  for (const bool unique : {false, true}) {
    User user;
    user.UserID("jdoe");
    EXPECT_FALSE(unique ? user.Get_User_Unique() : user.Get_User());
    EXPECT_EQ(user.ErrDesc(), "Invalid User ID or User No.");
    EXPECT_EQ(user.UserID(), "");
    // The connection string is not validated: opening the recordset fails.
    EXPECT_FALSE(unique ? user.Get_User_Unique("jdoe") : user.Get_User("jdoe"));
    EXPECT_NE(user.ErrDesc(), "Invalid User ID or User No.");
    EXPECT_NE(user.ErrDesc(), "Invalid Connection string Property.");
    EXPECT_NE(user.ErrDesc(), "");
  }
  EXPECT_FALSE(lookup_.Get_User("o'brien"));
  EXPECT_NE(LookupErrDesc().find("single quote"), std::string::npos)
      << LookupErrDesc();
}

TEST_P(UserLookupTest, ANullNameFailsAfterNumberAndIdWereTaken) {
  AddAccounts("('C1B2US5', 'ghost', NULL, 'd', 'p', 'C1', 'B2', 0)");
  lookup_.UserNo("before");
  lookup_.UserName("kept");
  EXPECT_FALSE(lookup_.Get_User("ghost"));
  EXPECT_EQ(Read(),
            (std::vector<std::string>{"C1B2US5", "ghost", "kept", "", ""}));
  EXPECT_NE(LookupErrDesc(), "");
  EXPECT_NE(LookupErrDesc(), "Invalid User ID");
}

// ---------------------------------------------------------------------------
// Change_Password

class PasswordTest : public UserTest {
 protected:
  void SetUp() override {
    UserTest::SetUp();
    AddAccounts(
        "('C1B2US1', 'jdoe', 'Jane', '', 'Café', 'C1', 'B2', 0), "
        "('C1B2US6', 'nopass', 'No Password', '', NULL, 'C1', 'B2', 0), "
        "('C1B2US7', 'système', 'Le Système', '', 'ЖУК', 'C1', 'B2', 0)");
    store_->Exec(
        "INSERT INTO Branch_Master VALUES ('C1', 'B2', 'sysPw', 'adminPw', "
        "NULL)");
  }

  bool Change(const std::string& user_id, const std::string& old_password,
              const std::string& new_password) {
    user_.UserID(user_id);
    user_.UserPassword(old_password);
    user_.NewPassword(new_password);
    return user_.Change_Password();
  }
  Rows BranchPasswords() {
    return store_->Query(
        "SELECT System_Password, Admin_Password, Manager_Password FROM "
        "Branch_Master");
  }
};

TEST_P(PasswordTest, ChangesByIdOrNumberWithoutRegardToLetterCase) {
  EXPECT_FALSE(Change("jdoe", "wrong", "x"));
  EXPECT_EQ(ErrDesc(), "Invalid old password.");

  user_.UserNo("C1B2US6");  // the ID decides
  ASSERT_TRUE(Change("jdoe", "CAFÉ", "Thé Vert")) << ErrDesc();
  EXPECT_EQ(Password("C1B2US1"), "Thé Vert");
  EXPECT_EQ(user_.UserPassword(), "CAFÉ");
  EXPECT_EQ(ErrDesc(), "Invalid old password.");  // a success leaves it

  user_.UserNo("C1B2US1");
  ASSERT_TRUE(Change("", "thÉ vERT", "next")) << ErrDesc();
  EXPECT_EQ(Password("C1B2US1"), "next");
  EXPECT_EQ(store_->Scalar(
                "SELECT Last_Update FROM User_Master WHERE User_No='C1B2US1'"),
            std::nullopt);

  // Not a built-in account: its upper case is not SYSTEM.
  ASSERT_TRUE(Change("système", "жук", "новый")) << ErrDesc();
  EXPECT_EQ(Password("C1B2US7"), "новый");

  EXPECT_FALSE(Change("nobody", "", "x"));
  EXPECT_EQ(ErrDesc(), "Invalid User ID");
}

TEST_P(PasswordTest, ANullPasswordOpensOnlyToAnEmptyOneAndNeverForBranches) {
  EXPECT_FALSE(Change("nopass", "anything", "x"));
  EXPECT_EQ(ErrDesc(), "Invalid old password.");
  ASSERT_TRUE(Change("nopass", "", "first")) << ErrDesc();
  EXPECT_EQ(Password("C1B2US6"), "first");

  EXPECT_FALSE(Change("MANAGER", "", "x"));
  EXPECT_EQ(ErrDesc(), "Invalid old password.");
  EXPECT_EQ(BranchPasswords(), (Rows{{"sysPw", "adminPw", std::nullopt}}));
}

TEST_P(PasswordTest, BuiltInAccountsChangeTheirBranchColumn) {
  user_.UserNo("C1B2US1");  // ignored for a built-in account
  ASSERT_TRUE(Change("system", "SYSPW", "NewSys")) << ErrDesc();
  ASSERT_TRUE(Change("Administrator", "ADMINpw", "newAdmin")) << ErrDesc();
  EXPECT_EQ(BranchPasswords(), (Rows{{"NewSys", "newAdmin", std::nullopt}}));
  EXPECT_EQ(Password("C1B2US1"), "Café");

  EXPECT_FALSE(Change("SYSTEM", "sysPw", "again"));
  EXPECT_EQ(ErrDesc(), "Invalid old password.");

  // With a blank it is an ordinary user ID, and no user carries it.
  EXPECT_FALSE(Change(" SYSTEM", "NewSys", "again"));
  EXPECT_EQ(ErrDesc(), "Invalid User ID");
  EXPECT_FALSE(Change("Manager ", "", "again"));
  EXPECT_EQ(ErrDesc(), "Invalid User ID");
}

TEST_P(PasswordTest, ABranchThatIsNotThereAnswersFalseAndSaysNothing) {
  EXPECT_FALSE(Change("system", "sysPw", ""));
  EXPECT_EQ(ErrDesc(), "Invalid new password.");
  user_.BranchPrefix("B9");
  EXPECT_FALSE(Change("system", "sysPw", "new"));
  EXPECT_EQ(ErrDesc(), "Invalid new password.");
  EXPECT_EQ(BranchPasswords(), (Rows{{"sysPw", "adminPw", std::nullopt}}));
}

TEST_P(PasswordTest, ValidatesIdOrNumberThenTheNewPasswordOnly) {
  User user;
  EXPECT_FALSE(user.Change_Password());
  EXPECT_EQ(user.ErrDesc(), "Invalid User ID or User No.");
  user.UserNo("C1B2US1");
  EXPECT_FALSE(user.Change_Password());
  EXPECT_EQ(user.ErrDesc(), "Invalid new password.");
  // An empty connection string passes and fails at the store.
  user.NewPassword("new");
  EXPECT_FALSE(user.Change_Password());
  EXPECT_NE(user.ErrDesc(), "Invalid new password.");
  EXPECT_NE(user.ErrDesc(), "");
  EXPECT_EQ(Password("C1B2US1"), "Café");
}

TAVIK_ON_EVERY_STORE(Stores, UserTest);
TAVIK_ON_EVERY_STORE(Stores, UserLookupTest);
TAVIK_ON_EVERY_STORE(Stores, PasswordTest);

}  // namespace
}  // namespace tavikuser
