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

#include <random>
#include <set>
#include <string_view>
#include <tuple>

#include "support/test_store.h"
#include "tavikuser/access_report.h"
#include "tavikuser/check_access_rights.h"
#include "tavikuser/errors.h"

namespace tavikuser {
namespace {

using testing::Backend;

// The statement joined from the system's own pieces; @ is the user, # the
// right.
constexpr char kListedStatement[] =
    "SELECT * FROM Rights_Master Where Rights_No In (Select Rights_No From "
    "Access_Control_Rights Where User_No='@' and Rights_No='#') or Rights_No "
    "In (Select Rights_No From Group_Detail  Where  Rights_No='#' and "
    "User_Group_No In(Select User_Group_No from Access_Control_Groups  Where "
    "USer_No ='@'))";

struct Pools {
  std::vector<std::string> users, rights, groups;
};
const Pools kTextKeys{{"U1", "u1", "U1 ", " U1", "U2", "É2", "é2"},
                      {"R1", "r1", "R1 ", "R1  ", "R2", "R 2", "R3"},
                      {"G1", "g1", "G1 ", "G2"}};
const Pools kNumericKeys{{"1", "01", "1.0", " 1", "2", "x"},
                         {"7", "07", "7.0", "7 ", "8", "y"},
                         {"3", "03", "4"}};

// "granted" or "refused" as `ask` answers, or "failed" when it throws; the
// failure's text is added to `failures`, for the message of a mismatch.
template <class Ask>
std::string Answer(std::string& failures, Ask ask) {
  try {
    return ask() ? "granted" : "refused";
  } catch (const std::exception& error) {
    failures += std::string(error.what()) + "\n";
    return "failed";
  }
}

class AccessCheckEquivalenceTest
    : public ::testing::TestWithParam<std::tuple<Backend, const char*>> {};

// The check, and the explanation beside it, answer as the listed statement
// does; the effective rights of a user are the catalogue rows that the
// listed statement finds for that user, over every right asked.
TEST_P(AccessCheckEquivalenceTest, AnswersAsTheListedStatementDoes) {
  const auto [backend, schema_name] = GetParam();
  const std::string schema = schema_name;  // how the host keeps its tables
  const std::string route = testing::BackendName(backend);
  const bool postgresql = route.ends_with("PostgreSQL");
  const auto store = testing::TestStore::Create(backend);
  const std::string& db = store->connection_string();
  if (schema == "NoCatalogueKey") {
    // A catalogue without a key may hold a number twice, or Null.
    store->Exec(
        "DROP TABLE Rights_Master;"
        "CREATE TABLE Rights_Master (Rights_No text, Rights_Name text)");
  } else if (schema != "AsShipped") {
    std::string type = "integer";
    if (schema == "CaseInsensitive") {
      type = postgresql                   ? "text COLLATE ci"
             : route.ends_with("MariaDB") ? "varchar(255) CHARACTER SET "
                                            "utf8mb4 COLLATE utf8mb4_general_ci"
                                          : "text COLLATE NOCASE";
      if (postgresql) {
        store->Exec(
            "CREATE COLLATION ci (provider = icu, locale = "
            "'und-u-ks-level2', deterministic = false)");
      }
    }
    const std::string t = " " + type;
    store->Exec(
        "DROP TABLE Access_Control_Rights; DROP TABLE Access_Control_Groups;"
        "DROP TABLE Group_Detail; CREATE TABLE Access_Control_Rights (User_No" +
        t + ", Rights_No" + t +
        "); CREATE TABLE Access_Control_Groups (User_No" + t +
        ", User_Group_No" + t + "); CREATE TABLE Group_Detail (User_Group_No" +
        t + ", Rights_No" + t + ")");
  }
  const Pools& pools = schema == "Numeric" ? kNumericKeys : kTextKeys;

  std::mt19937 random(20240601);
  const auto draw = [&](int n) {
    return std::uniform_int_distribution<>(0, n - 1)(random);
  };
  std::string drawn;  // the rows as SQL, for the failure message
  // A numeric column refuses what is no number; such rows are left out.
  const auto run = [&](const std::string& sql) {
    drawn += sql + ";\n";
    try {
      store->Exec(sql);
    } catch (const std::exception&) {
      if (schema != "Numeric") throw;
    }
  };
  // Up to `most` links between keys of two pools, now and then Null, now
  // and then the same twice.
  const auto links = [&](const std::string& table_and_columns,
                         const std::vector<std::string>& first,
                         const std::vector<std::string>& second, int most) {
    const auto key_or_null = [&](const std::vector<std::string>& pool) {
      if (draw(10) == 0) return std::string("NULL");
      return "'" + pool[draw(static_cast<int>(pool.size()))] + "'";
    };
    for (int rows = draw(most + 1); rows > 0; --rows) {
      const std::string values =
          key_or_null(first) + ", " + key_or_null(second);
      for (int copy = draw(4) == 0 ? 2 : 1; copy > 0; --copy) {
        run("INSERT INTO " + table_and_columns + " VALUES (" + values + ")");
      }
    }
  };

  int granted = 0;
  for (int round = 0; round < 12; ++round) {
    drawn.clear();
    for (const char* table : {"Rights_Master", "Access_Control_Rights",
                              "Access_Control_Groups", "Group_Detail"}) {
      run(std::string("DELETE FROM ") + table);
    }
    for (const std::string& right : pools.rights) {
      for (int copies = draw(schema == "NoCatalogueKey" ? 3 : 2); copies > 0;
           --copies) {
        run("INSERT INTO Rights_Master (Rights_No, Rights_Name) VALUES ('" +
            right + "', 'a right')");
      }
    }
    links("Access_Control_Rights (User_No, Rights_No)", pools.users,
          pools.rights, 14);
    links("Access_Control_Groups (User_No, User_Group_No)", pools.users,
          pools.groups, 10);
    links("Group_Detail (User_Group_No, Rights_No)", pools.groups, pools.rights,
          10);

    for (const std::string& user : pools.users) {
      std::string found_rights, held_rights, failures;
      std::set<std::string> found;
      bool listed_failed = false;
      for (const std::string& right : pools.rights) {
        const std::string listed = Answer(failures, [&] {
          std::string sql;
          for (const char c : std::string_view(kListedStatement)) {
            sql += c == '@' ? user : c == '#' ? right : std::string(1, c);
          }
          const testing::Rows catalogue = store->Query(sql);
          for (const auto& row : catalogue) found.insert(row.at(0).value());
          return !catalogue.empty();
        });
        listed_failed |= listed == "failed";
        CheckAccessRights check;
        check.ADOConnectionString(db);
        check.UserNo(user);
        check.RightsNo(right);
        const std::string checked = Answer(failures, [&] {
          if (check.Check_Access_Rights()) return true;
          if (check.ErrDesc() != "Access Denied") throw Error(check.ErrDesc());
          return false;
        });
        const std::string explained = Answer(
            failures, [&] { return ExplainAccess(db, user, right).granted; });
        ASSERT_TRUE(checked == listed && explained == checked)
            << "user '" << user << "', right '" << right << "': listed "
            << listed << ", checked " << checked << ", explained " << explained
            << ", failing with:\n"
            << failures << "over:\n"
            << drawn;
        granted += listed == "granted";
      }
      for (const std::string& number : found) found_rights += number + ";";
      const std::string effective = Answer(failures, [&] {
        for (const HeldRight& right : EffectiveRights(db, user)) {
          held_rights += right.rights_no + ";";
        }
        return true;
      });
      ASSERT_EQ(effective == "failed" ? effective : held_rights,
                listed_failed ? "failed" : found_rights)
          << "user '" << user << "', failing with:\n"
          << failures << "over:\n"
          << drawn;
    }
  }
  // PostgreSQL compares no text with a number: every answer is its failure.
  EXPECT_EQ(granted > 0, !(postgresql && schema == "Numeric"))
      << granted << " grants drawn";
}

INSTANTIATE_TEST_SUITE_P(
    Stores, AccessCheckEquivalenceTest,
    ::testing::Combine(::testing::ValuesIn(testing::kEveryBackend),
                       ::testing::Values("AsShipped", "NoCatalogueKey",
                                         "CaseInsensitive", "Numeric")),
    [](const auto& info) {
      return testing::BackendName(std::get<0>(info.param)) +
             std::get<1>(info.param);
    });

}  // namespace
}  // namespace tavikuser
