// The access check against real stores: the grant paths, the count rule, the
// validation order and what reaches ErrDesc; and the reports beside it, on
// the same rows.
#include "tavikuser/check_access_rights.h"

#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "support/test_store.h"
#include "tavikuser/access_report.h"
#include "tavikuser/errors.h"

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

TEST_P(CheckAccessRightsTest, EffectiveRightsTellHowEachIsHeld) {
  const std::vector<HeldRight> held =
      EffectiveRights(store_->connection_string(), "U-ANN");
  ASSERT_EQ(held.size(), 3u);  // R-GONE has no catalogue row
  const std::vector<std::string> clerks = {"G-CLERKS"};
  EXPECT_EQ(held[0].rights_no, "R-BOTH");
  EXPECT_EQ(held[0].rights_name, "Close period");
  EXPECT_TRUE(held[0].direct);
  EXPECT_EQ(held[0].groups, clerks);
  EXPECT_EQ(held[1].rights_no, "R-POST");
  EXPECT_TRUE(held[1].direct);
  EXPECT_TRUE(held[1].groups.empty());
  EXPECT_EQ(held[2].rights_no, "R-VIEW");
  EXPECT_FALSE(held[2].direct);
  EXPECT_EQ(held[2].groups, clerks);
  EXPECT_TRUE(EffectiveRights(store_->connection_string(), "U-NOBODY").empty());
}

TEST_P(CheckAccessRightsTest, ExplanationsNameTheMissingLink) {
  store_->Exec(
      "INSERT INTO User_Master (User_No) VALUES ('U-ANN'), ('U-BOB'), "
      "('U-CAROL')");
  const std::vector<std::string> clerks = {"G-CLERKS"}, none;
  struct Case {
    const char* user;
    const char* right;
    MissingLink missing;
    std::vector<std::string> granting, groups;
  };
  const Case cases[] = {
      {"U-BOB", "R-VIEW", MissingLink::kNone, clerks, clerks},
      {"U-BOB", "R-POST", MissingLink::kGrant, none, clerks},
      {"U-CAROL", "R-VIEW", MissingLink::kGrant, none, none},
      {"U-ANN", "R-GONE", MissingLink::kCatalogueRow, none, clerks},
      {"U-NEW", "R-VIEW", MissingLink::kUser, none, none},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.user) + " " + c.right);
    const AccessExplanation why =
        ExplainAccess(store_->connection_string(), c.user, c.right);
    EXPECT_EQ(why.granted, Check(c.user, c.right));
    EXPECT_EQ(why.missing, c.missing);
    EXPECT_EQ(why.granting_groups, c.granting);
    EXPECT_EQ(why.user_groups, c.groups);
  }
  const AccessExplanation both =
      ExplainAccess(store_->connection_string(), "U-ANN", "R-BOTH");
  EXPECT_TRUE(both.direct && both.in_catalogue && both.user_known);
  EXPECT_EQ(both.rights_name, "Close period");
  // Failures carry the texts that the check leaves in ErrDesc.
  EXPECT_THROW(ExplainAccess(store_->connection_string(), "U-ANN", ""),
               DataAccessError);
  EXPECT_THROW(EffectiveRights(store_->connection_string(), "U' OR '1'='1"),
               DataAccessError);
}

TAVIK_ON_EVERY_STORE(Stores, CheckAccessRightsTest);

}  // namespace
}  // namespace tavikuser
