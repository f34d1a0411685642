// The link rows an operator writes and the registers an operator reads, on
// real stores.
#include "tavikuser/administration.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/test_store.h"
#include "tavikuser/errors.h"

namespace tavikuser {
namespace {

using testing::TestStore;

class AdministrationTest : public ::testing::TestWithParam<testing::Backend> {
 protected:
  void SetUp() override {
    store_ = TestStore::Create(GetParam());
    store_->Exec(
        "INSERT INTO User_Master (User_No, User_ID, User_Name, "
        "Company_Prefix, Branch_Prefix) VALUES ('U1', 'ann', 'Ann', 'C1', "
        "'B1'), ('U2', 'bob', NULL, 'C1', 'B2');"
        "INSERT INTO User_Group (User_Group_No) VALUES ('G1');"
        "INSERT INTO Role_Master (Role_No) VALUES ('L1');"
        "INSERT INTO Rights_Master (Rights_No) VALUES ('R1')");
  }

  std::string Count(const std::string& table) {
    return store_->Scalar("SELECT COUNT(*) FROM " + table).value();
  }

  std::unique_ptr<TestStore> store_;
};

TEST_P(AdministrationTest, AddsOnceRemovesAndRefusesUnknownNumbers) {
  struct Case {
    Link link;
    const char* table;
    const char* first;
    const char* second;
  };
  const Case cases[] = {
      {Link::kUserRight, "Access_Control_Rights", "U1", "R1"},
      {Link::kGroupRight, "Group_Detail", "G1", "R1"},
      {Link::kRoleRight, "Role_Detail", "L1", "R1"},
      {Link::kUserGroup, "Access_Control_Groups", "U1", "G1"},
      {Link::kRoleGroup, "Access_Control", "L1", "G1"},
  };
  const std::string& db = store_->connection_string();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.table);
    EXPECT_EQ(AddLink(db, c.link, "X9", c.second), LinkChange::kUnknownFirst);
    EXPECT_EQ(AddLink(db, c.link, c.first, "X9"), LinkChange::kUnknownSecond);
    EXPECT_EQ(AddLink(db, c.link, c.first, c.second), LinkChange::kMade);
    EXPECT_EQ(AddLink(db, c.link, c.first, c.second), LinkChange::kUnchanged);
    EXPECT_EQ(Count(c.table), "1");
    // A host may have written the row twice: removing takes every copy.
    store_->Exec(std::string("INSERT INTO ") + c.table + " VALUES ('" +
                 c.first + "', '" + c.second + "')");
    EXPECT_EQ(RemoveLink(db, c.link, c.first, c.second), LinkChange::kMade);
    EXPECT_EQ(Count(c.table), "0");
    EXPECT_EQ(RemoveLink(db, c.link, c.first, c.second), LinkChange::kNotFound);
    EXPECT_EQ(RemoveLink(db, c.link, "X9", c.second),
              LinkChange::kUnknownFirst);
  }
  EXPECT_THROW(AddLink(db, Link::kUserRight, "U1' --", "R1"), DataAccessError);
}

TEST_P(AdministrationTest, ListsARegisterByPrefixes) {
  const std::string& db = store_->connection_string();
  const auto users = ListRegister(db, Register::kUsers, "", "");
  ASSERT_EQ(users.size(), 2u);
  EXPECT_EQ(users[0].number + users[0].user_id + users[0].name, "U1annAnn");
  EXPECT_EQ(users[1].name, "");  // Null
  EXPECT_EQ(ListRegister(db, Register::kUsers, "C1", "B2").size(), 1u);
  EXPECT_TRUE(ListRegister(db, Register::kUsers, "C2", "").empty());
  EXPECT_EQ(ListRegister(db, Register::kRoles, "", "").at(0).number, "L1");
}

TAVIK_ON_EVERY_STORE(Stores, AdministrationTest);

}  // namespace
}  // namespace tavikuser
