// The access check against real stores: the grant paths, the count rule, the
// validation order and what reaches ErrDesc.
#include "tavikuser/check_access_rights.h"

#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>

#include "support/test_store.h"

namespace tavikuser {
namespace {

using testing::Backend;
using testing::TestStore;

class CheckAccessRightsTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    store_ = TestStore::Create(GetParam());
    store_->Exec(
        "INSERT INTO Rights_Master (Rights_No, Rights_Name) VALUES "
        "('R-POST', 'Post journals'), ('R-VIEW', 'View ledger'), "
        "('R-BOTH', 'Close period');"
        "INSERT INTO Access_Control_Rights (User_No, Rights_No) VALUES "
        "('U-ANN', 'R-POST'), ('U-ANN', 'R-BOTH'), ('U-ANN', 'R-BOTH'), "
        "('U-ANN', 'R-GONE');"
        "INSERT INTO Access_Control_Groups (User_No, User_Group_No) VALUES "
        "('U-BOB', 'G-CLERKS'), ('U-ANN', 'G-CLERKS');"
        "INSERT INTO Group_Detail (User_Group_No, Rights_No) VALUES "
        "('G-CLERKS', 'R-VIEW'), ('G-CLERKS', 'R-BOTH'), "
        "('G-AUDIT', 'R-POST');");
  }

  // A check on a fresh object, as most hosts make it.
  bool Check(const std::string& user_no, const std::string& rights_no) {
    check_.ADOConnectionString(store_->connection_string());
    check_.UserNo(user_no);
    check_.RightsNo(rights_no);
    return check_.Check_Access_Rights();
  }

  std::string ErrDesc() const { return check_.ErrDesc(); }
  // Stores spell identifiers in their own letter case in their messages.
  std::string LowerErrDesc() const {
    std::string text = ErrDesc();
    for (char& c : text) c = static_cast<char>(std::tolower(c));
    return text;
  }

  std::unique_ptr<TestStore> store_;
  CheckAccessRights check_;
};

TEST_P(CheckAccessRightsTest, GrantsThroughEitherPathOrBoth) {
  EXPECT_TRUE(Check("U-ANN", "R-POST"));  // direct
  EXPECT_TRUE(Check("U-BOB", "R-VIEW"));  // through G-CLERKS
  EXPECT_TRUE(Check("U-ANN", "R-BOTH"));  // both, and a duplicate grant row
  EXPECT_EQ(ErrDesc(), "");
}

TEST_P(CheckAccessRightsTest, RefusesWhatNoPathLeadsTo) {
  // The group grant needs the right on the group's own row: G-AUDIT carries
  // R-POST, but Bob is only in G-CLERKS.
  EXPECT_FALSE(Check("U-BOB", "R-POST"));
  EXPECT_EQ(ErrDesc(), "Access Denied");
  // A grant whose right has no catalogue row grants nothing.
  EXPECT_FALSE(Check("U-ANN", "R-GONE"));
  EXPECT_EQ(ErrDesc(), "Access Denied");
  EXPECT_FALSE(Check("U-NOBODY", "R-VIEW"));
}

TEST_P(CheckAccessRightsTest, AGrantAfterARefusalLeavesTheRefusalText) {
  EXPECT_FALSE(Check("U-BOB", "R-POST"));
  EXPECT_TRUE(Check("U-BOB", "R-VIEW"));
  EXPECT_EQ(ErrDesc(), "Access Denied");
}

TEST_P(CheckAccessRightsTest, ValidatesInOrderWithoutTouchingTheStore) {
  CheckAccessRights check;
  EXPECT_FALSE(check.Check_Access_Rights());
  EXPECT_EQ(check.ErrDesc(), "Invalid Connection string Property.");
  check.UserNo("U-ANN");
  check.ADOConnectionString("Provider=SQLite;Data Source=/nonexistent/x.db");
  EXPECT_FALSE(check.Check_Access_Rights());
  EXPECT_EQ(check.ErrDesc(), "Invalid Rights Code.");
  check.RightsNo("R-POST");
  check.UserNo("");
  EXPECT_FALSE(check.Check_Access_Rights());
  EXPECT_EQ(check.ErrDesc(), "Invalid User No.");
  // Blanks are a value: they pass validation and simply match nothing.
  EXPECT_FALSE(Check(" ", " "));
  EXPECT_EQ(ErrDesc(), "Access Denied");
}

TEST_P(CheckAccessRightsTest, StoreFailuresArriveInErrDesc) {
  // A single quote would end its literal early: refused, nothing run.
  EXPECT_FALSE(Check("U-ANN' OR '1'='1", "R-POST"));
  EXPECT_NE(ErrDesc().find("single quote"), std::string::npos) << ErrDesc();

  auto bare = TestStore::Create(GetParam(), /*with_schema=*/false);
  check_.ADOConnectionString(bare->connection_string());
  check_.UserNo("U-ANN");
  EXPECT_FALSE(check_.Check_Access_Rights());
  EXPECT_NE(LowerErrDesc().find("rights_master"), std::string::npos)
      << ErrDesc();

  check_.ADOConnectionString("Provider=Nowhere");
  EXPECT_FALSE(check_.Check_Access_Rights());
  EXPECT_FALSE(ErrDesc().empty());
}

TAVIK_ON_EVERY_STORE(Stores, CheckAccessRightsTest);

}  // namespace
}  // namespace tavikuser
