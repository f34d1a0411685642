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

// How the host keeps its tables.
enum class Schema { kAsShipped, kNoCatalogueKey, kCaseInsensitive, kNumeric };
constexpr const char* kSchemaNames[] = {"AsShipped", "NoCatalogueKey",
                                        "CaseInsensitive", "Numeric"};

struct Pools {
  std::vector<std::string> users, rights, groups;
};
const Pools kTextKeys{{"U1", "u1", "U1 ", " U1", "U2", "É2", "é2"},
                      {"R1", "r1", "R1 ", "R1  ", "R2", "R 2", "R3"},
                      {"G1", "g1", "G1 ", "G2"}};
const Pools kNumericKeys{{"1", "01", "1.0", " 1", "2", "x"},
                         {"7", "07", "7.0", "7 ", "8", "y"},
                         {"3", "03", "4"}};

// "granted" or "refused" as `ask` answers, or "failed" when it throws.
template <class Ask>
std::string Answer(Ask ask) {
  try {
    return ask() ? "granted" : "refused";
  } catch (const std::exception&) {
    return "failed";
  }
}

class AccessCheckEquivalenceTest
    : public ::testing::TestWithParam<std::tuple<Backend, Schema>> {
 protected:
  void SetUp() override {
    const auto [backend, schema] = GetParam();
    store_ = testing::TestStore::Create(backend);
    if (schema == Schema::kNoCatalogueKey) {
      // A catalogue without a key may hold a number twice, or Null.
      store_->Exec(
          "DROP TABLE Rights_Master;"
          "CREATE TABLE Rights_Master (Rights_No text, Rights_Name text)");
    } else if (schema != Schema::kAsShipped) {
      std::string type = "integer";
      if (schema == Schema::kCaseInsensitive) {
        type = backend == Backend::kSQLite ? "text COLLATE NOCASE"
                                           : "text COLLATE ci";
        if (backend == Backend::kPostgreSQL) {
          store_->Exec(
              "CREATE COLLATION ci (provider = icu, locale = "
              "'und-u-ks-level2', deterministic = false)");
        }
      }
      store_->Exec(
          "DROP TABLE Access_Control_Rights; DROP TABLE Access_Control_Groups;"
          "DROP TABLE Group_Detail; CREATE TABLE Access_Control_Rights "
          "(User_No " +
          type + ", Rights_No " + type +
          "); CREATE TABLE Access_Control_Groups (User_No " + type +
          ", User_Group_No " + type +
          "); CREATE TABLE Group_Detail "
          "(User_Group_No " +
          type + ", Rights_No " + type + ")");
    }
  }

  Schema schema() const { return std::get<1>(GetParam()); }
  const Pools& pools() const {
    return schema() == Schema::kNumeric ? kNumericKeys : kTextKeys;
  }

  // Draws new rows into the four tables; returns them as SQL, for the
  // failure message.
  std::string DrawRows() {
    std::string sql =
        "DELETE FROM Rights_Master; DELETE FROM Access_Control_Rights; "
        "DELETE FROM Access_Control_Groups; DELETE FROM Group_Detail;";
    for (const std::string& right : pools().rights) {
      for (int copies = Draw(schema() == Schema::kNoCatalogueKey ? 3 : 2);
           copies > 0; --copies) {
        sql += "INSERT INTO Rights_Master (Rights_No, Rights_Name) VALUES ('" +
               right + "', 'a right');";
      }
    }
    sql += Links("Access_Control_Rights (User_No, Rights_No)", pools().users,
                 pools().rights, 14);
    sql += Links("Access_Control_Groups (User_No, User_Group_No)",
                 pools().users, pools().groups, 10);
    sql += Links("Group_Detail (User_Group_No, Rights_No)", pools().groups,
                 pools().rights, 10);
    // A numeric column refuses what is no number; such rows are left out.
    for (size_t start = 0, end; start < sql.size(); start = end + 1) {
      end = sql.find(';', start);
      try {
        store_->Exec(sql.substr(start, end - start));
      } catch (const std::exception&) {
        if (schema() != Schema::kNumeric) throw;
      }
    }
    return sql;
  }

  std::unique_ptr<testing::TestStore> store_;

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

  std::mt19937 random_{20240601};
};

// The check, and the explanation beside it, answer as the listed statement
// does; the effective rights of a user are the catalogue rows that the
// listed statement finds for that user, over every right asked.
TEST_P(AccessCheckEquivalenceTest, AnswersAsTheListedStatementDoes) {
  int granted = 0;
  for (int round = 0; round < 12; ++round) {
    const std::string rows = DrawRows();
    for (const std::string& user : pools().users) {
      std::set<std::string> found;
      bool listed_failed = false;
      for (const std::string& right : pools().rights) {
        const std::string listed = Answer([&] {
          const testing::Rows catalogue =
              store_->Query(ListedStatement(user, right));
          for (const auto& row : catalogue) found.insert(row.at(0).value());
          return !catalogue.empty();
        });
        listed_failed |= listed == "failed";
        CheckAccessRights check;
        check.ADOConnectionString(store_->connection_string());
        check.UserNo(user);
        check.RightsNo(right);
        const std::string checked = Answer([&] {
          if (check.Check_Access_Rights()) return true;
          if (check.ErrDesc() != "Access Denied") throw Error(check.ErrDesc());
          return false;
        });
        const std::string explained = Answer([&] {
          return ExplainAccess(store_->connection_string(), user, right)
              .granted;
        });
        ASSERT_TRUE(checked == listed && explained == checked)
            << "user '" << user << "', right '" << right << "': listed "
            << listed << ", checked " << checked << ", explained " << explained
            << ", over:\n"
            << rows;
        granted += listed == "granted";
      }
      std::string listed_rights, held;
      for (const std::string& number : found) listed_rights += number + ";";
      const std::string effective = Answer([&] {
        for (const HeldRight& right :
             EffectiveRights(store_->connection_string(), user)) {
          held += right.rights_no + ";";
        }
        return true;
      });
      ASSERT_EQ(effective == "failed" ? effective : held,
                listed_failed ? "failed" : listed_rights)
          << "user '" << user << "' over:\n"
          << rows;
    }
  }
  // PostgreSQL compares no text with a number: every answer is its failure.
  const bool all_fail = std::get<0>(GetParam()) == Backend::kPostgreSQL &&
                        schema() == Schema::kNumeric;
  EXPECT_EQ(granted > 0, !all_fail) << granted << " grants drawn";
}

INSTANTIATE_TEST_SUITE_P(
    Stores, AccessCheckEquivalenceTest,
    ::testing::Combine(
        ::testing::Values(Backend::kSQLite, Backend::kPostgreSQL),
        ::testing::Values(Schema::kAsShipped, Schema::kNoCatalogueKey,
                          Schema::kCaseInsensitive, Schema::kNumeric)),
    [](const auto& info) {
      return testing::BackendName(std::get<0>(info.param)) +
             kSchemaNames[static_cast<int>(std::get<1>(info.param))];
    });

}  // namespace
}  // namespace tavikuser
