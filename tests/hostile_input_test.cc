// Hostile keys and values through every operation, on every backend: quotes,
// backslashes, semicolons, comment markers, placeholders, NUL bytes, invalid
// UTF-8 and very long texts. A value is always a value: a key finds exactly
// the row that holds it and never a neighbour, a written value reads back
// byte for byte, and a value that cannot be taken is refused with a clear
// text while the store stays as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <ostream>
#include <span>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "support/snapshot.h"
#include "support/test_store.h"
#include "tavikuser/automation.h"

namespace tavikuser {
namespace {

using testing::Backend;
using testing::TestStore;

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

void PrintTo(const Hostile& hostile, std::ostream* out) {
  *out << hostile.name;
}

// Operations as "Class.Member Property=Value ...": "*" stands for the
// hostile value, "(*)" passes it as the argument, and "?Property" marks a
// lookup, which reads "hit" there once it found the row.
constexpr const char* kKeyedOperations[] = {
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
};

// Each writes the hostile value into as many columns of one row as it has
// "*" properties: a creation into a new row, whose key is then its three
// prefixes and its first number; an update into the decoy.
constexpr const char* kWritingOperations[] = {
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

// Every table that operations find rows in, and its key.
constexpr std::pair<const char*, const char*> kKeyedTables[] = {
    {"Rights_Master", "Rights_No"},       {"Role_Master", "Role_No"},
    {"Role_Detail", "Role_No"},           {"Access_Control", "Role_No"},
    {"User_Group", "User_Group_No"},      {"User_Master", "User_No"},
    {"Access_Control_Rights", "User_No"}, {"Branch_Master", "Company_Prefix"}};

// One row under the key @k in every table that operations find rows in, as a
// host keeps them; @n names the row.
constexpr char kRowsUnderAKey[] =
    "INSERT INTO Rights_Master (Rights_No, Rights_Name) VALUES (@k, @n);"
    "INSERT INTO Role_Master (Role_No, Role_Name) VALUES (@k, @n);"
    "INSERT INTO Role_Detail VALUES (@k, 'A');"
    "INSERT INTO Access_Control VALUES (@k, 'G');"
    "INSERT INTO User_Group (User_Group_No, User_Group_Name, Last_Update) "
    "VALUES (@k, @n, '2024-06-30 17:45:01');"
    "INSERT INTO User_Master (User_No, User_ID, User_Name, User_Password, "
    "Company_Prefix, Branch_Prefix) VALUES (@k, @k, @n, 'old', @k, @k);"
    "INSERT INTO Access_Control_Rights VALUES (@k, @k);"
    "INSERT INTO Branch_Master VALUES (@k, @k, 'old', 'old', 'old');";

std::string ReplaceAll(std::string text, const std::string& from,
                       const std::string& to) {
  for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos;
       at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// An operation's object on the store, its properties set.
struct PreparedCall {
  ObjectRef object;
  std::string member, found;
  std::vector<Variant> arguments;
  bool lookup = false;
  long values = 0;  // properties given the hostile value

  bool Run() { return object->Call(member, arguments).ToBool(); }
  std::string ErrDesc() const { return object->Get("ErrDesc").ToText(); }
};

class HostileInputTest
    : public ::testing::TestWithParam<std::tuple<Backend, Hostile>> {
 protected:
  void SetUp() override { store_ = TestStore::Create(backend()); }

  Backend backend() const { return std::get<0>(GetParam()); }
  const std::string& value() const { return std::get<1>(GetParam()).value; }
  bool HasNul() const { return value().find('\0') != std::string::npos; }

  // Whether the store can hold the value at all (PostgreSQL's text is UTF-8
  // without NUL; SQLite keeps any bytes but NUL).
  bool Storable() const {
    return !HasNul() &&
           (backend() == Backend::kSQLite || std::get<1>(GetParam()).utf8);
  }

  // Only the decoys' rows and, when `with_value_rows` and the store can
  // hold them, the same rows under the hostile value: in one transaction.
  void Reset(bool with_value_rows) {
    std::string sql = "BEGIN; DELETE FROM Document_Counter;";
    for (const auto& [table, key] : kKeyedTables) {
      sql += std::string("DELETE FROM ") + table + ";";
    }
    const auto rows_under = [](const std::string& key, const char* name) {
      return ReplaceAll(ReplaceAll(kRowsUnderAKey, "@k",
                                   "'" + ReplaceAll(key, "'", "''") + "'"),
                        "@n", name);
    };
    sql += rows_under("K1", "'decoy'");
    if (with_value_rows && Storable()) sql += rows_under(value(), "'hit'");
    store_->Exec(sql + "COMMIT");
  }

  // Every row of the tables that operations find rows in, those under the
  // decoy's key alone when `decoys_only`.
  testing::Rows Rows(bool decoys_only) {
    testing::Rows rows;
    for (const auto& [table, key] : kKeyedTables) {
      const testing::Rows found = store_->Query(
          std::string("SELECT * FROM ") + table +
          (decoys_only ? std::string(" WHERE ") + key + " = 'K1'" : ""));
      rows.insert(rows.end(), found.begin(), found.end());
    }
    return rows;
  }

  long Holding(const std::string& text) {
    long count = 0;
    for (const auto& row : Rows(false)) {
      count += std::count(row.begin(), row.end(), text);
    }
    return count;
  }

  PreparedCall Prepare(const std::string& operation) {
    std::istringstream words(operation);
    std::string word;
    words >> word;
    PreparedCall call;
    call.object =
        automation::CreateObject("TavikUser." + word.substr(0, word.find('.')));
    call.member = word.substr(word.find('.') + 1);
    call.object->Let("ADOConnectionString", store_->connection_string());
    while (words >> word) {
      const std::string given = word.substr(word.find('=') + 1);
      if (word == "(*)") {
        call.arguments.emplace_back(value());
      } else if (word[0] == '?') {
        call.lookup = true;
        call.found = word.substr(1);
      } else {
        call.object->Let(word.substr(0, word.find('=')),
                         given == "*" ? value() : given);
        call.values += given == "*";
      }
    }
    return call;
  }

  std::unique_ptr<TestStore> store_;
};

// A key finds exactly the row that holds it; a written value lands in as
// many places as it was given, and a creation's key is its three prefixes
// and its first number; a value refused leaves a text that says why, and
// the store as it was.
TEST_P(HostileInputTest, AValueIsAlwaysAValue) {
  for (const bool keyed : {true, false}) {
    for (const char* operation :
         keyed ? std::span<const char* const>(kKeyedOperations)
               : std::span<const char* const>(kWritingOperations)) {
      SCOPED_TRACE(operation);
      Reset(keyed);
      const testing::Rows decoys = Rows(true);
      const std::string before = testing::Snapshot(*store_);
      PreparedCall call = Prepare(operation);
      // A key is refused where a quote would end its literal early.
      if (!Storable() || (keyed && value().find('\'') != std::string::npos)) {
        EXPECT_FALSE(call.Run());
        const std::string err_desc = call.ErrDesc();
        EXPECT_NE(err_desc.find(HasNul()     ? "NUL"
                                : Storable() ? "single quote"
                                             : ""),  // the store's own text
                  std::string::npos)
            << err_desc;
        EXPECT_NE(err_desc, "");
        EXPECT_TRUE(testing::Snapshot(*store_) == before)
            << "the store changed";
        continue;
      }
      EXPECT_TRUE(call.Run()) << call.ErrDesc();
      if (keyed) {
        if (!call.found.empty()) {
          EXPECT_EQ(call.object->Get(call.found).ToText(), "hit");
        }
        EXPECT_EQ(testing::Snapshot(*store_) != before, !call.lookup);
        EXPECT_EQ(Rows(true), decoys) << "a decoy changed";
      } else {
        EXPECT_EQ(Holding(value()), call.values);
        EXPECT_EQ(Holding(value() + value() + value() + "1"),
                  call.member.starts_with("Create_") ? 1 : 0);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryBackend, HostileInputTest,
    ::testing::Combine(::testing::Values(Backend::kSQLite,
                                         Backend::kPostgreSQL),
                       ::testing::ValuesIn(kHostileValues)),
    [](const auto& info) {
      return testing::BackendName(std::get<0>(info.param)) + "_" +
             std::get<1>(info.param).name;
    });

}  // namespace
}  // namespace tavikuser
