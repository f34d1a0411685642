// The indexed form of the access statement against the listed form, on the
// same randomly drawn rows: every count must agree, on every store. The keys
// are drawn from a small pool so that paths cross often, and the pool holds
// keys that differ only in letter case, blanks or accents; rows repeat, link
// columns hold Nulls, and grants name rights that the catalogue lacks.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "access/access_statement.h"
#include "platform/adodb/recordset.h"
#include "support/test_store.h"
#include "tavikuser/errors.h"

namespace tavikuser::access {
namespace {

using testing::Backend;
using testing::TestStore;

const std::vector<std::string> kUsers{"U1", "u1", "U1 ", " U1",
                                      "U2", "É2", "é2"};
const std::vector<std::string> kRights{"R1", "r1",  "R1 ", "R1  ",
                                       "R2", "R 2", "R3"};
const std::vector<std::string> kGroups{"G1", "g1", "G1 ", "G2"};

class AccessStatementEquivalenceTest
    : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override { store_ = TestStore::Create(GetParam()); }

  // Lets the catalogue hold a rights number twice, or none, as a host's
  // catalogue without a key may.
  void DropCatalogueKey() {
    store_->Exec(
        "DROP TABLE Rights_Master;"
        "CREATE TABLE Rights_Master (Rights_No text, Rights_Name text);"
        "CREATE INDEX Rights_Master_Rights_No ON Rights_Master (Rights_No)");
    catalogue_has_key_ = false;
  }

  // Draws new rows into the four tables and returns them as SQL, for the
  // failure message.
  std::string DrawRows() {
    std::string sql =
        "DELETE FROM Rights_Master; DELETE FROM Access_Control_Rights; "
        "DELETE FROM Access_Control_Groups; DELETE FROM Group_Detail;";
    std::vector<std::string> catalogue;
    for (const std::string& right : kRights) {
      // A right may have no catalogue row; without the key, several.
      const int copies = Draw(catalogue_has_key_ ? 2 : 3);
      for (int i = 0; i < copies; ++i) catalogue.push_back(Literal(right));
    }
    if (!catalogue_has_key_ && Draw(3) == 0) catalogue.push_back("NULL");
    for (const std::string& key : catalogue) {
      sql += "INSERT INTO Rights_Master (Rights_No, Rights_Name) VALUES (" +
             key + ", 'a right');";
    }
    sql += Links("Access_Control_Rights", "User_No", kUsers, "Rights_No",
                 kRights, 14);
    sql += Links("Access_Control_Groups", "User_No", kUsers, "User_Group_No",
                 kGroups, 10);
    sql += Links("Group_Detail", "User_Group_No", kGroups, "Rights_No", kRights,
                 10);
    store_->Exec(sql);
    return sql;
  }

  long Count(const adodb::Statement& statement) {
    adodb::Recordset rows;
    rows.Open(statement, store_->connection_string());
    return rows.RecordCount();
  }

  // Both forms over the rows as they stand, for every user and right.
  void CompareEveryQuestion(const std::string& rows) {
    for (const std::string& user : kUsers) {
      for (const std::string& right : kRights) {
        const long listed = Count(ListedStatement(user, right));
        const long indexed = Count(IndexedStatement(user, right));
        ASSERT_EQ(listed, indexed)
            << "user '" << user << "', right '" << right << "' over:\n"
            << rows;
        granted_ += listed > 0;
        repeated_ += listed > 1;
      }
    }
  }

  void CompareOverRandomRows() {
    for (int round = 0; round < 25; ++round) {
      CompareEveryQuestion(DrawRows());
      if (HasFatalFailure()) return;
    }
    // The draw reaches both answers, and counts above one without the key.
    EXPECT_GT(granted_, 0);
    if (!catalogue_has_key_) {
      EXPECT_GT(repeated_, 0);
    }
  }

  std::unique_ptr<TestStore> store_;

 private:
  int Draw(int n) { return std::uniform_int_distribution<>(0, n - 1)(random_); }

  std::string Literal(const std::string& key) { return "'" + key + "'"; }

  // A key from `pool`, now and then Null.
  std::string KeyOrNull(const std::vector<std::string>& pool) {
    if (Draw(10) == 0) return "NULL";
    return Literal(pool[Draw(static_cast<int>(pool.size()))]);
  }

  std::string Links(const char* table, const char* first,
                    const std::vector<std::string>& first_pool,
                    const char* second,
                    const std::vector<std::string>& second_pool, int most) {
    std::string sql;
    const int rows = Draw(most + 1);
    for (int i = 0; i < rows; ++i) {
      const std::string values =
          KeyOrNull(first_pool) + ", " + KeyOrNull(second_pool);
      // Now and then the same grant twice.
      for (int copy = Draw(4) == 0 ? 2 : 1; copy > 0; --copy) {
        sql += std::string("INSERT INTO ") + table + " (" + first + ", " +
               second + ") VALUES (" + values + ");";
      }
    }
    return sql;
  }

  std::mt19937 random_{20240601};
  bool catalogue_has_key_ = true;
  int granted_ = 0;
  int repeated_ = 0;
};

TEST_P(AccessStatementEquivalenceTest, AgreeOverTheKeyedCatalogue) {
  CompareOverRandomRows();
}

TEST_P(AccessStatementEquivalenceTest, AgreeOverACatalogueWithRepeatsAndNulls) {
  DropCatalogueKey();
  CompareOverRandomRows();
}

TAVIK_ON_EVERY_STORE(Stores, AccessStatementEquivalenceTest);

// A single quote is refused before any store is touched, naming the same
// value in both forms: the user number when both hold one.
TEST(AccessStatementRefusalTest, RefusesTheSameQuotedValueInBothForms) {
  const auto refusal = [](auto compose, const char* user, const char* right) {
    try {
      compose(user, right);
    } catch (const DataAccessError& error) {
      return std::string(error.what());
    }
    return std::string("no refusal");
  };
  for (const auto& [user, right] :
       {std::pair{"U'1", "R1"}, std::pair{"U1", "R'1"},
        std::pair{"U'1", "R'1"}}) {
    const std::string listed = refusal(ListedStatement, user, right);
    EXPECT_NE(listed.find("single quote"), std::string::npos) << listed;
    EXPECT_EQ(refusal(IndexedStatement, user, right), listed);
  }
}

}  // namespace
}  // namespace tavikuser::access
