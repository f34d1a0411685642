// Check_Access_Rights against the access statement as the system lists it,
// run on the store's own client over the same randomly drawn rows: every
// answer must agree, on every store and on host schemas whose link tables
// compare keys otherwise than the catalogue (a case-insensitive collation, a
// numeric column). Keys are drawn from a small pool so that paths cross
// often, and the pool holds keys that differ only in letter case, blanks,
// accents or leading zeros; rows repeat, link columns hold Nulls, and grants
// name rights that the catalogue lacks. The reports beside the check must
// agree with it over the same rows.
#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "support/test_store.h"
#include "tavikuser/access_report.h"
#include "tavikuser/check_access_rights.h"
#include "tavikuser/errors.h"

namespace tavikuser {
namespace {

using testing::Backend;
using testing::TestStore;

// The statement joined from the system's own pieces, values spliced in.
std::string ListedStatement(const std::string& user_no,
                            const std::string& rights_no) {
  return "SELECT * FROM Rights_Master Where Rights_No In (Select Rights_No "
         "From Access_Control_Rights Where User_No='" +
         user_no + "' and Rights_No='" + rights_no +
         "') or Rights_No In (Select Rights_No From Group_Detail  Where  "
         "Rights_No='" +
         rights_no +
         "' and User_Group_No In(Select User_Group_No from "
         "Access_Control_Groups  Where USer_No ='" +
         user_no + "'))";
}

// How the host keeps its link tables.
enum class LinkColumns {
  kAsShipped,
  kNoCatalogueKey,
  kCaseInsensitive,
  kNumeric
};

struct Pools {
  std::vector<std::string> users, rights, groups;
};

const Pools kTextKeys{{"U1", "u1", "U1 ", " U1", "U2", "É2", "é2"},
                      {"R1", "r1", "R1 ", "R1  ", "R2", "R 2", "R3"},
                      {"G1", "g1", "G1 ", "G2"}};
const Pools kNumericKeys{{"1", "01", "1.0", " 1", "2", "x"},
                         {"7", "07", "7.0", "7 ", "8", "y"},
                         {"3", "03", "4"}};

class AccessCheckEquivalenceTest
    : public ::testing::TestWithParam<std::tuple<Backend, LinkColumns>> {
 protected:
  void SetUp() override {
    store_ = TestStore::Create(std::get<0>(GetParam()));
    const bool sqlite = std::get<0>(GetParam()) == Backend::kSQLite;
    switch (std::get<1>(GetParam())) {
      case LinkColumns::kAsShipped:
        break;
      case LinkColumns::kNoCatalogueKey:
        // A catalogue without a key may hold a number twice, or Null.
        store_->Exec(
            "DROP TABLE Rights_Master;"
            "CREATE TABLE Rights_Master (Rights_No text, Rights_Name text)");
        catalogue_has_key_ = false;
        break;
      case LinkColumns::kCaseInsensitive:
        RecreateLinks(sqlite ? "text COLLATE NOCASE" : "text COLLATE ci");
        break;
      case LinkColumns::kNumeric:
        RecreateLinks("integer");
        pools_ = &kNumericKeys;
        break;
    }
  }

  void RecreateLinks(const std::string& type) {
    if (std::get<0>(GetParam()) == Backend::kPostgreSQL &&
        type.find("ci") != std::string::npos) {
      store_->Exec(
          "CREATE COLLATION ci (provider = icu, locale = "
          "'und-u-ks-level2', deterministic = false)");
    }
    store_->Exec(
        "DROP TABLE Access_Control_Rights; DROP TABLE Access_Control_Groups;"
        "DROP TABLE Group_Detail;"
        "CREATE TABLE Access_Control_Rights (User_No " +
        type + ", Rights_No " + type +
        ");"
        "CREATE TABLE Access_Control_Groups (User_No " +
        type + ", User_Group_No " + type +
        ");"
        "CREATE TABLE Group_Detail (User_Group_No " +
        type + ", Rights_No " + type + ")");
  }

  // Draws new rows into the four tables; returns them as SQL, for the
  // failure message.
  std::string DrawRows() {
    std::string sql =
        "DELETE FROM Rights_Master; DELETE FROM Access_Control_Rights; "
        "DELETE FROM Access_Control_Groups; DELETE FROM Group_Detail;";
    for (const std::string& right : pools_->rights) {
      for (int copies = Draw(catalogue_has_key_ ? 2 : 3); copies > 0;
           --copies) {
        sql += "INSERT INTO Rights_Master (Rights_No, Rights_Name) VALUES ('" +
               right + "', 'a right');";
      }
    }
    sql += Links("Access_Control_Rights (User_No, Rights_No)", pools_->users,
                 pools_->rights, 14);
    sql += Links("Access_Control_Groups (User_No, User_Group_No)",
                 pools_->users, pools_->groups, 10);
    sql += Links("Group_Detail (User_Group_No, Rights_No)", pools_->groups,
                 pools_->rights, 10);
    // A numeric column refuses what is no number; such rows are left out.
    for (size_t start = 0, end; start < sql.size(); start = end + 1) {
      end = sql.find(';', start);
      const std::string statement = sql.substr(start, end - start);
      try {
        store_->Exec(statement);
      } catch (const std::exception&) {
        if (std::get<1>(GetParam()) != LinkColumns::kNumeric) throw;
      }
    }
    return sql;
  }

  // The listed statement's answer: granted, refused, or the store's failure.
  std::string Listed(const std::string& user, const std::string& right) {
    try {
      return store_->Query(ListedStatement(user, right)).empty() ? "refused"
                                                                 : "granted";
    } catch (const std::exception&) {
      return "failed";
    }
  }

  std::string Library(const std::string& user, const std::string& right) {
    CheckAccessRights check;
    check.ADOConnectionString(store_->connection_string());
    check.UserNo(user);
    check.RightsNo(right);
    if (check.Check_Access_Rights()) return "granted";
    return check.ErrDesc() == "Access Denied" ? "refused" : "failed";
  }

  std::unique_ptr<TestStore> store_;
  const Pools* pools_ = &kTextKeys;
  bool catalogue_has_key_ = true;
  std::mt19937 random_{20240601};

 private:
  int Draw(int n) { return std::uniform_int_distribution<>(0, n - 1)(random_); }

  std::string KeyOrNull(const std::vector<std::string>& pool) {
    if (Draw(10) == 0) return "NULL";
    return "'" + pool[Draw(static_cast<int>(pool.size()))] + "'";
  }

  std::string Links(const std::string& table_and_columns,
                    const std::vector<std::string>& first,
                    const std::vector<std::string>& second, int most) {
    std::string sql;
    for (int rows = Draw(most + 1); rows > 0; --rows) {
      const std::string values = KeyOrNull(first) + ", " + KeyOrNull(second);
      // Now and then the same grant twice.
      for (int copy = Draw(4) == 0 ? 2 : 1; copy > 0; --copy) {
        sql += "INSERT INTO " + table_and_columns + " VALUES (" + values + ");";
      }
    }
    return sql;
  }
};

TEST_P(AccessCheckEquivalenceTest, AnswersAsTheListedStatementDoes) {
  int granted = 0;
  for (int round = 0; round < 12; ++round) {
    const std::string rows = DrawRows();
    for (const std::string& user : pools_->users) {
      for (const std::string& right : pools_->rights) {
        const std::string listed = Listed(user, right);
        ASSERT_EQ(Library(user, right), listed)
            << "user '" << user << "', right '" << right << "' over:\n"
            << rows;
        granted += listed == "granted";
      }
    }
  }
  // PostgreSQL compares no text with a number: every answer is its failure.
  const bool all_fail = std::get<0>(GetParam()) == Backend::kPostgreSQL &&
                        std::get<1>(GetParam()) == LinkColumns::kNumeric;
  EXPECT_EQ(granted > 0, !all_fail) << granted << " grants drawn";
}

// Explanations answer as the check does; the effective rights of a user are
// the catalogue rows that the listed statement finds for that user, over
// every right asked.
TEST_P(AccessCheckEquivalenceTest, ReportsAgreeWithTheCheck) {
  const std::string& store = store_->connection_string();
  for (int round = 0; round < 6; ++round) {
    const std::string rows = DrawRows();
    for (const std::string& user : pools_->users) {
      std::set<std::string> found;
      bool listed_failed = false;
      for (const std::string& right : pools_->rights) {
        std::string explained = "failed";
        try {
          explained =
              ExplainAccess(store, user, right).granted ? "granted" : "refused";
        } catch (const DataAccessError&) {
        }
        ASSERT_EQ(explained, Library(user, right))
            << "user '" << user << "', right '" << right << "' over:\n"
            << rows;
        try {
          for (const auto& row : store_->Query(ListedStatement(user, right))) {
            found.insert(row.at(0).value());
          }
        } catch (const std::exception&) {
          listed_failed = true;
        }
      }
      std::string expected = listed_failed ? "failed" : "";
      if (!listed_failed) {
        for (const std::string& number : found) expected += number + ";";
      }
      std::string held;
      try {
        for (const HeldRight& right : EffectiveRights(store, user)) {
          held += right.rights_no + ";";
        }
      } catch (const DataAccessError&) {
        held = "failed";
      }
      ASSERT_EQ(held, expected) << "user '" << user << "' over:\n" << rows;
    }
  }
}

std::string CaseName(
    const ::testing::TestParamInfo<std::tuple<Backend, LinkColumns>>& info) {
  constexpr const char* kLinks[] = {"AsShipped", "NoCatalogueKey",
                                    "CaseInsensitive", "Numeric"};
  return testing::BackendName(std::get<0>(info.param)) +
         kLinks[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(
    Stores, AccessCheckEquivalenceTest,
    ::testing::Combine(
        ::testing::Values(Backend::kSQLite, Backend::kPostgreSQL),
        ::testing::Values(LinkColumns::kAsShipped, LinkColumns::kNoCatalogueKey,
                          LinkColumns::kCaseInsensitive,
                          LinkColumns::kNumeric)),
    CaseName);

}  // namespace
}  // namespace tavikuser
