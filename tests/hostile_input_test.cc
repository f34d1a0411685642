// Hostile keys and values through every operation, on every backend: quotes,
// backslashes, semicolons, comment markers, placeholders, NUL bytes, invalid
// UTF-8 and very long texts. A value is always a value: a key finds exactly
// the row that holds it and never a neighbour, a written value reads back
// byte for byte, and a value that cannot be taken is refused with a clear
// text while the store stays as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <tuple>

#include "support/late_bound.h"

namespace tavikuser {
namespace {

using testing::Backend;

struct Hostile {
  const char* name;
  std::string value;
  bool utf8 = true;  // PostgreSQL's text takes nothing else
};

// Each begins with the decoy's key, K1, so that a statement whose meaning
// changed (cut at a NUL, a comment, a quote) would reach the decoy.
const Hostile kHostileValues[] = {
    {"Quote", "K1' OR '1'='1"},
    {"BackslashQuote", "K1\\' OR 1=1 --"},
    {"Backslash", "K1\\"},
    {"Semicolon", "K1'; DELETE FROM User_Master; --"},
    {"StatementAfterSemicolon", "K1; DELETE FROM User_Master"},
    {"LineComment", "K1 -- "},
    {"BlockComment", "K1 /* */"},
    {"Placeholders", "K1 :p1 ? $1 %s"},
    {"Nul", std::string("K1\0 OR 1=1", 10)},
    {"InvalidUtf8", "K1\xff\xfe\xc0\xaf", false},
    // Long, yet within what PostgreSQL indexes once it has compressed it.
    {"Long", "K1" + std::string(50000, 'x')},
};

// "*" stands for the hostile value. An operation that creates, or names
// the decoy K1, writes the value into as many columns of one row as it has
// "*" properties (a creation's key is then its three prefixes and its first
// number); the others find a row by the value, "?Property" marking a lookup
// that reads "hit" there once it found the row.
constexpr const char* kOperations[] = {
    "Rights.Update_Rights RightsNo=* RightsName=changed",
    "Role.Update_Role RoleNumber=* RoleName=changed",
    "Role.Delete_Role RoleNumber=*",
    "UserGroup.Update_Group GroupNumber=* GroupName=changed",
    "UserGroup.Delete_Group GroupNumber=*",
    "UserGroup.Get_UserGroup (*) ?GroupName",
    "User.Update_User UserNo=* UserName=changed",
    "User.Delete_User UserNo=*",
    "User.Get_User (*) ?UserName",
    "User.Get_User UserNo=* ?UserName",
    "User.Get_User_Unique CompanyPrefix=* BranchPrefix=* (*) ?UserName",
    "User.Change_Password UserID=* UserPassword=old NewPassword=new",
    "User.Change_Password UserNo=* UserPassword=old NewPassword=new",
    "User.Change_Password UserID=system CompanyPrefix=* BranchPrefix=* "
    "UserPassword=old NewPassword=new",
    "CheckAccessRights.Check_Access_Rights RightsNo=* UserNo=* ?",
    "Rights.Create_Rights CompanyPrefix=* BranchPrefix=* DocumentPrefix=* "
    "RightsName=* RightsParent=*",
    "Role.Create_Role CompanyPrefix=* BranchPrefix=* DocumentPrefix=* "
    "RoleName=*",
    "UserGroup.Create_Group CompanyPrefix=* BranchPrefix=* DocumentPrefix=* "
    "GroupName=* GroupDescription=*",
    "User.Create_User CompanyPrefix=* BranchPrefix=* DocumentPrefix=* "
    "UserID=* UserName=* UserDescription=* UserPassword=*",
    "Rights.Update_Rights RightsNo=K1 RightsName=* RightsParent=*",
    "Role.Update_Role RoleNumber=K1 RoleName=*",
    "UserGroup.Update_Group GroupNumber=K1 GroupName=* GroupDescription=*",
    "User.Update_User UserNo=K1 UserID=* UserName=* UserDescription=* "
    "UserPassword=*",
    "User.Change_Password UserNo=K1 UserPassword=OLD NewPassword=*",
};

class HostileInputTest
    : public ::testing::TestWithParam<std::tuple<Backend, Hostile>> {};

TEST_P(HostileInputTest, AValueIsAlwaysAValue) {
  const auto& [backend, hostile] = GetParam();
  const std::string& value = hostile.value;
  const bool nul = value.find('\0') != std::string::npos;
  // PostgreSQL's text is UTF-8 without NUL; SQLite keeps any bytes but NUL.
  const bool storable =
      !nul &&
      (testing::BackendName(backend).ends_with("SQLite") || hostile.utf8);
  const auto store = testing::TestStore::Create(backend);
  const auto holding = [&](const std::string& text) {
    long count = 0;
    for (const auto& row : Contents(*store)) {
      count += std::count(row.begin(), row.end(), text);
    }
    return count;
  };
  for (const std::string line : kOperations) {
    SCOPED_TRACE(line);
    const bool creation = line.find(".Create_") != std::string::npos;
    const bool keyed = !creation && line.find("=K1 ") == std::string::npos;
    // The decoys' rows alone, and for a key the same rows under the value.
    std::string sql = "BEGIN;";
    for (const char* table : kHostTables) {
      sql += std::string("DELETE FROM ") + table + ";";
    }
    sql += RowsUnder("K1", "'decoy'");
    if (keyed && storable) sql += RowsUnder(value, "'hit'");
    store->Exec(sql + "COMMIT");
    const testing::Rows before = Contents(*store);
    const std::size_t lookup = line.find(" ?");
    LateBoundCall call =
        Prepared(line.substr(0, lookup), store->connection_string(), value);
    // A key is refused where a quote would end its literal early; a value
    // the store cannot hold, with the store's own text.
    if (!storable || (keyed && value.find('\'') != std::string::npos)) {
      EXPECT_EQ(call.Run(), "false");
      const std::string err_desc = call.ErrDesc();
      EXPECT_TRUE(!err_desc.empty() &&
                  err_desc.find(nul        ? "NUL"
                                : storable ? "single quote"
                                           : "") != std::string::npos)
          << err_desc;
      EXPECT_TRUE(Contents(*store) == before) << "the store changed";
      continue;
    }
    EXPECT_EQ(call.Run(), "true") << call.ErrDesc();
    if (keyed) {
      const testing::Rows after = Contents(*store);
      if (lookup != std::string::npos && lookup + 2 < line.size()) {
        EXPECT_EQ(call.object->Get(line.substr(lookup + 2)).ToText(), "hit");
      }
      EXPECT_EQ(after != before, lookup == std::string::npos);
      for (const auto& row : before) {
        if (std::count(row.begin(), row.end(), "K1") > 0) {
          EXPECT_NE(std::find(after.begin(), after.end(), row), after.end())
              << "a decoy changed";
        }
      }
    } else {
      // As many times as given, and in a creation's counter row.
      EXPECT_EQ(holding(value),
                std::count(line.begin(), line.end(), '*') + (creation ? 3 : 0));
      EXPECT_EQ(holding(value + value + value + "1"), creation ? 1 : 0);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryBackend, HostileInputTest,
    ::testing::Combine(::testing::Values(Backend::kSQLite, Backend::kPostgreSQL,
                                         Backend::kODBCSQLite,
                                         Backend::kODBCPostgreSQL),
                       ::testing::ValuesIn(kHostileValues)),
    [](const auto& info) {
      return testing::BackendName(std::get<0>(info.param)) + "_" +
             std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace tavikuser
