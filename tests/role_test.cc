// Roles created, renamed and deleted with their link rows, on real stores;
// one Role object serving operation after operation.
#include "tavikuser/role.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/test_store.h"

namespace tavikuser {
namespace {

using testing::Backend;
using testing::TestStore;

class RoleTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    store_ = TestStore::Create(GetParam());
    store_->Exec("INSERT INTO Document_Counter VALUES ('C1', 'B2', 'RL', 6)");
    role_.ADOConnectionString(store_->connection_string());
    role_.CompanyPrefix("C1");
    role_.BranchPrefix("B2");
    role_.DocumentPrefix("RL");
    role_.RoleName("Clerk");
  }

  // A role R1 with two rights and one group, and a role R2 with links of
  // its own.
  void ArrangeRolesWithLinks() {
    store_->Exec(
        "INSERT INTO Role_Master (Role_No, Role_Name) VALUES ('R1', 'One'), "
        "('R2', 'Two');"
        "INSERT INTO Role_Detail (Role_No, Rights_No) VALUES ('R1', 'A'), "
        "('R1', 'B'), ('R2', 'A');"
        "INSERT INTO Access_Control (Role_No, User_Group_No) VALUES "
        "('R1', 'G'), ('R2', 'G')");
  }

  // Rows per table that carry each role: "master/detail/access" counts.
  std::string Counts(const std::string& role_no) {
    std::string counts;
    for (const char* table : {"Role_Master", "Role_Detail", "Access_Control"}) {
      if (!counts.empty()) counts += "/";
      counts += *store_->Scalar(std::string("SELECT COUNT(*) FROM ") + table +
                                " WHERE Role_No = '" + role_no + "'");
    }
    return counts;
  }

  std::string ErrDesc() const { return role_.ErrDesc(); }

  std::unique_ptr<TestStore> store_;
  Role role_;
};

TEST_P(RoleTest, OneObjectCreatesRenamesAndDeletesInARow) {
  ASSERT_TRUE(role_.Create_Role()) << ErrDesc();
  EXPECT_EQ(store_->Query("SELECT Role_No, Role_Identity, Company_Prefix, "
                          "Branch_Prefix, Document_Prefix, Role_Name FROM "
                          "Role_Master"),
            (testing::Rows{{"C1B2RL7", "7", "C1", "B2", "RL", "Clerk"}}));
  role_.RoleNumber("C1B2RL7");
  role_.RoleName("Senior clerk");
  ASSERT_TRUE(role_.Update_Role()) << ErrDesc();
  EXPECT_EQ(*store_->Scalar("SELECT Role_Name FROM Role_Master"),
            "Senior clerk");
  ASSERT_TRUE(role_.Create_Role()) << ErrDesc();
  ASSERT_TRUE(role_.Delete_Role()) << ErrDesc();
  EXPECT_EQ(store_->Query("SELECT Role_No FROM Role_Master"),
            (testing::Rows{{"C1B2RL8"}}));
  EXPECT_EQ(ErrDesc(), "");
}

TEST_P(RoleTest, DeletionTakesTheLinkRowsAlong) {
  ArrangeRolesWithLinks();
  role_.RoleNumber("R1");
  ASSERT_TRUE(role_.Delete_Role()) << ErrDesc();
  EXPECT_EQ(Counts("R1"), "0/0/0");
  EXPECT_EQ(Counts("R2"), "1/1/1");

  store_->Exec("DELETE FROM Role_Detail; DELETE FROM Access_Control");
  role_.RoleNumber("R2");  // no link rows left
  ASSERT_TRUE(role_.Delete_Role()) << ErrDesc();
  EXPECT_EQ(Counts("R2"), "0/0/0");

  role_.RoleNumber("NO-SUCH-ROLE");
  EXPECT_TRUE(role_.Delete_Role());
  EXPECT_EQ(ErrDesc(), "");
}

TEST_P(RoleTest, AFailingThirdDeleteLeavesEverythingInPlace) {
  ArrangeRolesWithLinks();
  store_->Exec(testing::Traits(GetParam())
                   .failing_trigger("keep_grants", "BEFORE DELETE",
                                    "Access_Control", "grants are audited"));
  role_.RoleNumber("R1");
  EXPECT_FALSE(role_.Delete_Role());
  EXPECT_NE(ErrDesc().find("grants are audited"), std::string::npos)
      << ErrDesc();
  EXPECT_EQ(Counts("R1"), "1/2/1");
  // The connection was closed on the way out: the object works on.
  role_.RoleName("Renamed");
  EXPECT_TRUE(role_.Update_Role()) << ErrDesc();
}

TEST_P(RoleTest, RenamingAMissingRoleRollsBackWithTheNoRowText) {
  ArrangeRolesWithLinks();
  role_.RoleNumber("NO-SUCH-ROLE");
  EXPECT_FALSE(role_.Update_Role());
  EXPECT_NE(ErrDesc().find("No current row"), std::string::npos) << ErrDesc();
  role_.RoleNumber("");  // not validated: fails the same way in the store
  EXPECT_FALSE(role_.Update_Role());
  EXPECT_NE(ErrDesc().find("No current row"), std::string::npos) << ErrDesc();
  EXPECT_EQ(Counts("R1"), "1/2/1");
}

TEST_P(RoleTest, AQuoteInTheNumberIsRefusedAndRolledBack) {
  ArrangeRolesWithLinks();
  role_.RoleNumber("R1' OR '1'='1");
  EXPECT_FALSE(role_.Delete_Role());
  EXPECT_NE(ErrDesc().find("single quote"), std::string::npos) << ErrDesc();
  EXPECT_EQ(Counts("R1"), "1/2/1");
  EXPECT_EQ(Counts("R2"), "1/1/1");
}

TEST_P(RoleTest, EachOperationValidatesInItsOwnOrder) {
  Role role;
  for (auto operation :
       {&Role::Create_Role, &Role::Update_Role, &Role::Delete_Role}) {
    EXPECT_FALSE((role.*operation)());
    EXPECT_EQ(role.ErrDesc(), "Invalid Connection string Property.");
  }
  role.ADOConnectionString(store_->connection_string());
  EXPECT_FALSE(role.Create_Role());  // the name before the prefixes
  EXPECT_EQ(role.ErrDesc(), "Invalid Role Name.");
  EXPECT_FALSE(role.Update_Role());
  EXPECT_EQ(role.ErrDesc(), "Invalid Role Name.");
  EXPECT_FALSE(role.Delete_Role());
  EXPECT_EQ(role.ErrDesc(), "Invalid Role No.");
  role.RoleName("Clerk");
  role.CompanyPrefix("C1");
  role.BranchPrefix("B2");
  EXPECT_FALSE(role.Create_Role());
  EXPECT_EQ(role.ErrDesc(), "Invalid Document Prefix.");
  EXPECT_EQ(*store_->Scalar("SELECT Last_No FROM Document_Counter"), "6");
}

TAVIK_ON_EVERY_STORE(Stores, RoleTest);

}  // namespace
}  // namespace tavikuser
