// Hostile keys and values through every operation, on every backend: quotes,
// backslashes, semicolons, comment markers, placeholders, NUL bytes, invalid
// UTF-8 and very long texts. A value is always a value: a key finds exactly
// the row that holds it and never a neighbour, a written value reads back
// byte for byte, and a value that cannot be taken is refused with a clear
// text while the store stays as it was.
#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "support/snapshot.h"
#include "support/test_store.h"
#include "tavikuser/automation.h"

namespace tavikuser {
namespace {

using testing::Backend;
using testing::TestStore;

// Every hostile value begins with the decoy's key, so that a statement whose
// meaning changed (cut at a NUL, a comment, a quote) would reach the decoy.
constexpr char kDecoy[] = "K1";

struct Hostile {
  const char* name;
  std::string value;
  bool utf8 = true;  // PostgreSQL's text takes nothing else
};

std::string LongText() {
  std::string text = kDecoy;
  // Long, yet within what PostgreSQL indexes once it has compressed it.
  while (text.size() < 50000) text += "0123456789abcdef ";
  return text;
}

const std::vector<Hostile>& HostileValues() {
  static const std::vector<Hostile> values = {
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
      {"Long", LongText()},
  };
  return values;
}

bool HasQuote(const std::string& value) {
  return value.find('\'') != std::string::npos;
}
bool HasNul(const std::string& value) {
  return value.find('\0') != std::string::npos;
}
std::string Hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (const unsigned char byte : bytes) {
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0xf];
  }
  return hex;
}

// Stands for the hostile value in the tables below.
constexpr char kValue[] = "<value>";

using Properties = std::vector<std::pair<const char*, std::string>>;

// An operation that finds rows by a key: it must act on exactly the row
// whose key is the hostile value.
struct KeyedOperation {
  const char* progid;
  const char* member;
  Properties properties;
  bool key_as_argument = false;
  // Whether it changes the row it finds.
  bool writes = true;
  // A lookup's property that reads "hit" once it found the row.
  const char* found = nullptr;
};

const std::vector<KeyedOperation>& KeyedOperations() {
  static const std::vector<KeyedOperation> operations = {
      {"TavikUser.Rights",
       "Update_Rights",
       {{"RightsNo", kValue}, {"RightsName", "changed"}}},
      {"TavikUser.Role",
       "Update_Role",
       {{"RoleNumber", kValue}, {"RoleName", "changed"}}},
      {"TavikUser.Role", "Delete_Role", {{"RoleNumber", kValue}}},
      {"TavikUser.UserGroup",
       "Update_Group",
       {{"GroupNumber", kValue}, {"GroupName", "changed"}}},
      {"TavikUser.UserGroup", "Delete_Group", {{"GroupNumber", kValue}}},
      {"TavikUser.UserGroup", "Get_UserGroup", {}, true, false, "GroupName"},
      {"TavikUser.User",
       "Update_User",
       {{"UserNo", kValue}, {"UserName", "changed"}}},
      {"TavikUser.User", "Delete_User", {{"UserNo", kValue}}},
      {"TavikUser.User", "Get_User", {}, true, false, "UserName"},
      {"TavikUser.User",
       "Get_User",
       {{"UserNo", kValue}},
       false,
       false,
       "UserName"},
      {"TavikUser.User",
       "Get_User_Unique",
       {{"CompanyPrefix", kValue}, {"BranchPrefix", kValue}},
       true,
       false,
       "UserName"},
      {"TavikUser.User",
       "Change_Password",
       {{"UserID", kValue}, {"UserPassword", "old"}, {"NewPassword", "new"}}},
      {"TavikUser.User",
       "Change_Password",
       {{"UserNo", kValue}, {"UserPassword", "old"}, {"NewPassword", "new"}}},
      {"TavikUser.User",
       "Change_Password",
       {{"UserID", "system"},
        {"CompanyPrefix", kValue},
        {"BranchPrefix", kValue},
        {"UserPassword", "old"},
        {"NewPassword", "new"}}},
      {"TavikUser.CheckAccessRights",
       "Check_Access_Rights",
       {{"RightsNo", kValue}, {"UserNo", kValue}},
       false,
       false},
  };
  return operations;
}

// An operation that writes values: each column must read back as given.
struct WritingOperation {
  const char* progid;
  const char* member;
  Properties properties;
  const char* table;
  // Finds the row written: the new one, or the decoy that was changed.
  const char* row;
  // Columns and what they must hold; kValue, or kRecordKey for the key that
  // three hostile prefixes and the first number make.
  Properties columns;
};

constexpr char kRecordKey[] = "<record key>";

WritingOperation Creation(const char* progid, const char* member,
                          const char* table, const char* key_column,
                          std::vector<const char*> value_properties,
                          std::vector<const char*> value_columns) {
  WritingOperation creation{
      progid,
      member,
      {{"CompanyPrefix", kValue},
       {"BranchPrefix", kValue},
       {"DocumentPrefix", kValue}},
      table,
      // The decoys carry no prefixes but User_Master's, which is 'K1'.
      "Company_Prefix <> 'K1'",
      {{"Company_Prefix", kValue},
       {"Branch_Prefix", kValue},
       {"Document_Prefix", kValue},
       {key_column, kRecordKey}}};
  for (const char* property : value_properties) {
    creation.properties.emplace_back(property, kValue);
  }
  for (const char* column : value_columns) {
    creation.columns.emplace_back(column, kValue);
  }
  return creation;
}

const std::vector<WritingOperation>& WritingOperations() {
  static const std::vector<WritingOperation> operations = {
      Creation("TavikUser.Rights", "Create_Rights", "Rights_Master",
               "Rights_No", {"RightsName", "RightsParent"},
               {"Rights_Name", "Rights_Parent"}),
      Creation("TavikUser.Role", "Create_Role", "Role_Master", "Role_No",
               {"RoleName"}, {"Role_Name"}),
      Creation("TavikUser.UserGroup", "Create_Group", "User_Group",
               "User_Group_No", {"GroupName", "GroupDescription"},
               {"User_Group_Name", "User_Group_Desc"}),
      Creation("TavikUser.User", "Create_User", "User_Master", "User_No",
               {"UserID", "UserName", "UserDescription", "UserPassword"},
               {"User_ID", "User_Name", "User_Description", "User_Password"}),
      {"TavikUser.Rights",
       "Update_Rights",
       {{"RightsNo", kDecoy}, {"RightsName", kValue}, {"RightsParent", kValue}},
       "Rights_Master",
       "Rights_No = 'K1'",
       {{"Rights_Name", kValue}, {"Rights_Parent", kValue}}},
      {"TavikUser.Role",
       "Update_Role",
       {{"RoleNumber", kDecoy}, {"RoleName", kValue}},
       "Role_Master",
       "Role_No = 'K1'",
       {{"Role_Name", kValue}}},
      {"TavikUser.UserGroup",
       "Update_Group",
       {{"GroupNumber", kDecoy},
        {"GroupName", kValue},
        {"GroupDescription", kValue}},
       "User_Group",
       "User_Group_No = 'K1'",
       {{"User_Group_Name", kValue}, {"User_Group_Desc", kValue}}},
      {"TavikUser.User",
       "Update_User",
       {{"UserNo", kDecoy},
        {"UserID", kValue},
        {"UserName", kValue},
        {"UserDescription", kValue},
        {"UserPassword", kValue}},
       "User_Master",
       "User_No = 'K1'",
       {{"User_ID", kValue},
        {"User_Name", kValue},
        {"User_Description", kValue},
        {"User_Password", kValue}}},
      {"TavikUser.User",
       "Change_Password",
       {{"UserNo", kDecoy}, {"UserPassword", "OLD"}, {"NewPassword", kValue}},
       "User_Master",
       "User_No = 'K1'",
       {{"User_Password", kValue}}},
  };
  return operations;
}

struct Case {
  Backend backend;
  const Hostile* hostile;
};

class HostileInputTest : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override { store_ = TestStore::Create(GetParam().backend); }

  bool postgresql() const { return GetParam().backend == Backend::kPostgreSQL; }
  const std::string& value() const { return GetParam().hostile->value; }

  // Whether the store can hold the value at all (PostgreSQL's text is UTF-8
  // without NUL; SQLite keeps any bytes).
  bool Storable() const {
    return !HasNul(value()) && (!postgresql() || GetParam().hostile->utf8);
  }

  // The value as an SQL expression of the store's own client.
  std::string Literal(const std::string& text) const {
    return postgresql() ? "convert_from('\\x" + Hex(text) + "'::bytea, 'UTF8')"
                        : "CAST(X'" + Hex(text) + "' AS TEXT)";
  }
  std::string HexOf(const std::string& column) const {
    return postgresql()
               ? "upper(encode(convert_to(" + column + ", 'UTF8'), 'hex'))"
               : "hex(" + column + ")";
  }

  // Only the decoys' rows and, when `with_value_rows` and the store can
  // hold them, the same rows under the hostile value.
  void Reset(bool with_value_rows) {
    for (const char* table :
         {"Rights_Master", "Role_Master", "Role_Detail", "Access_Control",
          "User_Group", "User_Master", "Access_Control_Rights", "Branch_Master",
          "Document_Counter"}) {
      store_->Exec(std::string("DELETE FROM ") + table);
    }
    AddRowsUnder(kDecoy, "decoy");
    if (with_value_rows && Storable()) AddRowsUnder(value(), "hit");
  }

  // One row under `key` in every table that operations find by key, as a
  // host keeps them.
  void AddRowsUnder(const std::string& key, const char* name) {
    const std::string k = Literal(key);
    const std::string n = std::string("'") + name + "'";
    for (const std::string& insert : {
             "INSERT INTO Rights_Master (Rights_No, Rights_Name) VALUES (" + k +
                 ", " + n + ")",
             "INSERT INTO Role_Master (Role_No, Role_Name) VALUES (" + k +
                 ", " + n + ")",
             "INSERT INTO Role_Detail VALUES (" + k + ", 'A')",
             "INSERT INTO Access_Control VALUES (" + k + ", 'G')",
             "INSERT INTO User_Group (User_Group_No, User_Group_Name, "
             "Last_Update) VALUES (" +
                 k + ", " + n + ", '2024-06-30 17:45:01')",
             "INSERT INTO User_Master (User_No, User_ID, User_Name, "
             "User_Password, Company_Prefix, Branch_Prefix) VALUES (" +
                 k + ", " + k + ", " + n + ", 'old', " + k + ", " + k + ")",
             "INSERT INTO Access_Control_Rights VALUES (" + k + ", " + k + ")",
             "INSERT INTO Branch_Master VALUES (" + k + ", " + k +
                 ", 'old', 'old', 'old')",
         }) {
      store_->Exec(insert);
    }
  }

  // The rows under the decoy's key, everywhere.
  std::string Decoys() {
    std::string rows;
    for (const char* query :
         {"SELECT * FROM Rights_Master WHERE Rights_No = 'K1'",
          "SELECT * FROM Role_Master WHERE Role_No = 'K1'",
          "SELECT * FROM Role_Detail WHERE Role_No = 'K1'",
          "SELECT * FROM Access_Control WHERE Role_No = 'K1'",
          "SELECT * FROM User_Group WHERE User_Group_No = 'K1'",
          "SELECT * FROM User_Master WHERE User_No = 'K1'",
          "SELECT * FROM Access_Control_Rights WHERE User_No = 'K1'",
          "SELECT * FROM Branch_Master WHERE Company_Prefix = 'K1'"}) {
      for (const auto& row : store_->Query(query)) {
        for (const auto& column : row) rows += column.value_or("NULL") + " ";
        rows += "\n";
      }
    }
    return rows;
  }

  // A new object of `progid` on the store with `properties` set, kValue
  // standing for the hostile value.
  ObjectRef Object(const char* progid, const Properties& properties) {
    ObjectRef object = automation::CreateObject(progid);
    object->Let("ADOConnectionString", store_->connection_string());
    for (const auto& [property, text] : properties) {
      object->Let(property, text == kValue ? value() : text);
    }
    return object;
  }

  // A refused value leaves a text that says why, and the store as it was.
  void ExpectRefused(const ObjectRef& object, const std::string& before) {
    const std::string err_desc = object->Get("ErrDesc").ToText();
    if (HasNul(value())) {
      EXPECT_NE(err_desc.find("NUL"), std::string::npos) << err_desc;
    } else if (Storable()) {
      EXPECT_NE(err_desc.find("single quote"), std::string::npos) << err_desc;
    } else {
      EXPECT_NE(err_desc, "");  // the store's own text
    }
    EXPECT_TRUE(testing::Snapshot(*store_) == before) << "the store changed";
  }

  std::unique_ptr<TestStore> store_;
};

TEST_P(HostileInputTest, AKeyFindsExactlyTheRowThatHoldsIt) {
  // A key is refused where a quote would end its literal early.
  const bool refused = !Storable() || HasQuote(value());

  for (const KeyedOperation& operation : KeyedOperations()) {
    SCOPED_TRACE(std::string(operation.member) + " " +
                 (operation.properties.empty()
                      ? "by argument"
                      : operation.properties.front().first));
    Reset(true);
    const std::string decoys = Decoys();
    const std::string before = testing::Snapshot(*store_);
    ObjectRef object = Object(operation.progid, operation.properties);
    std::vector<Variant> arguments;
    if (operation.key_as_argument) arguments.emplace_back(value());
    const bool result = object->Call(operation.member, arguments).ToBool();

    if (refused) {
      EXPECT_FALSE(result);
      ExpectRefused(object, before);
      continue;
    }
    EXPECT_TRUE(result) << object->Get("ErrDesc").ToText();
    if (operation.found) {
      EXPECT_EQ(object->Get(operation.found).ToText(), "hit");
    }
    EXPECT_EQ(testing::Snapshot(*store_) != before, operation.writes);
    EXPECT_TRUE(Decoys() == decoys) << "a decoy changed";
  }
}

TEST_P(HostileInputTest, AWrittenValueReadsBackByteForByte) {
  for (const WritingOperation& operation : WritingOperations()) {
    SCOPED_TRACE(operation.member);
    Reset(false);
    const std::string before = testing::Snapshot(*store_);
    ObjectRef object = Object(operation.progid, operation.properties);
    const bool result = object->Call(operation.member).ToBool();

    if (!Storable()) {
      EXPECT_FALSE(result);
      ExpectRefused(object, before);
      continue;
    }
    EXPECT_TRUE(result) << object->Get("ErrDesc").ToText();
    for (const auto& [column, expected] : operation.columns) {
      SCOPED_TRACE(column);
      const std::string text =
          expected == kRecordKey ? value() + value() + value() + "1" : value();
      EXPECT_EQ(store_->Query("SELECT " + HexOf(column) + " FROM " +
                              operation.table + " WHERE " + operation.row),
                (testing::Rows{{Hex(text)}}));
    }
  }
}

std::vector<Case> AllCases() {
  std::vector<Case> cases;
  for (const Backend backend : {Backend::kSQLite, Backend::kPostgreSQL}) {
    for (const Hostile& hostile : HostileValues()) {
      cases.push_back({backend, &hostile});
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(EveryBackend, HostileInputTest,
                         ::testing::ValuesIn(AllCases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           return testing::BackendName(info.param.backend) +
                                  "_" + info.param.hostile->name;
                         });

void PrintTo(const Case& c, std::ostream* out) {
  *out << testing::BackendName(c.backend) << " " << c.hostile->name;
}

}  // namespace
}  // namespace tavikuser
