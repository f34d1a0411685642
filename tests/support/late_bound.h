// What the fault, hostile-input and concurrency suites share: operations
// written as one line and run late-bound on a test store, and what the store
// holds.
#ifndef TAVIKUSER_TESTS_SUPPORT_LATE_BOUND_H_
#define TAVIKUSER_TESTS_SUPPORT_LATE_BOUND_H_

#include <algorithm>
#include <exception>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "tavikuser/automation.h"
#include "test_store.h"

namespace tavikuser {

// An operation's object, its properties let.
struct LateBoundCall {
  ObjectRef object;
  std::string member;
  std::vector<Variant> arguments;

  // "true", "false", or "CallError: ..." when the call leaves as an error.
  std::string Run() {
    try {
      return object->Call(member, arguments).ToBool() ? "true" : "false";
    } catch (const CallError& error) {
      return std::string("CallError: ") + error.what();
    }
  }
  std::string ErrDesc() const { return object->Get("ErrDesc").ToText(); }
};

// The operation `line` ("Class.Member Property=Value ... (Argument)") on the
// store, its properties let in turn; a value or argument "*" is `star`.
inline LateBoundCall Prepared(const std::string& line,
                              const std::string& connection_string,
                              const std::string& star = "") {
  std::istringstream words(line);
  std::string word;
  words >> word;
  const std::size_t dot = word.find('.');
  LateBoundCall call{
      automation::CreateObject("TavikUser." + word.substr(0, dot)),
      word.substr(dot + 1),
      {}};
  call.object->Let("ADOConnectionString", connection_string);
  while (words >> word) {
    const std::size_t equals = word.find('=');
    const bool argument = equals == std::string::npos;  // "(Argument)"
    std::string value =
        argument ? word.substr(1, word.size() - 2) : word.substr(equals + 1);
    if (value == "*") value = star;
    if (argument) call.arguments.emplace_back(value);
    if (!argument) call.object->Let(word.substr(0, equals), value);
  }
  return call;
}

// One row under the key @ in every table that operations find rows in, as a
// host keeps them; # names the row (an SQL literal).
constexpr char kRowsUnderAKey[] =
    "INSERT INTO Rights_Master (Rights_No, Rights_Name) VALUES (@, #);"
    "INSERT INTO Role_Master (Role_No, Role_Name) VALUES (@, #);"
    "INSERT INTO Role_Detail VALUES (@, 'A');"
    "INSERT INTO Access_Control VALUES (@, 'G');"
    "INSERT INTO User_Group (User_Group_No, User_Group_Name, Last_Update) "
    "VALUES (@, #, '2024-06-30 17:45:01');"
    "INSERT INTO User_Master (User_No, User_ID, User_Name, User_Password, "
    "Company_Prefix, Branch_Prefix) VALUES (@, @, #, 'old', @, @);"
    "INSERT INTO Access_Control_Rights VALUES (@, @);"
    "INSERT INTO Branch_Master VALUES (@, @, 'old', 'old', 'old');";

inline std::string RowsUnder(const std::string& key, const std::string& name) {
  std::string quoted = "'", sql;
  for (const char c : key) quoted += c == '\'' ? "''" : std::string(1, c);
  for (const char c : std::string_view(kRowsUnderAKey)) {
    sql += c == '@' ? quoted + "'" : c == '#' ? name : std::string(1, c);
  }
  return sql;
}

// The numbered creations: each one's document prefix and table, whose
// columns are named after its stem (_No, _Identity, _Name), and a second
// property that takes the name too (User: the user ID that creation
// requires), so that a row mixed from two calls shows.
struct NumberedCreation {
  const char *line, *document_prefix, *table, *name_property, *also_named,
      *also_column;
  std::string Stem() const {
    return std::string(table).substr(0, std::string(table).find("_Master"));
  }
};
constexpr NumberedCreation kCreations[] = {
    {"Rights.Create_Rights", "RG", "Rights_Master", "RightsName",
     "RightsParent", "Rights_Parent"},
    {"Role.Create_Role", "RL", "Role_Master", "RoleName", "RoleName",
     "Role_Name"},
    {"UserGroup.Create_Group", "GR", "User_Group", "GroupName",
     "GroupDescription", "User_Group_Desc"},
    {"User.Create_User", "US", "User_Master", "UserName", "UserID", "User_ID"},
};

constexpr const char* kHostTables[] = {
    "Rights_Master", "Role_Master",           "User_Group",
    "User_Master",   "Role_Detail",           "Access_Control",
    "Group_Detail",  "Access_Control_Rights", "Access_Control_Groups",
    "Branch_Master", "Document_Counter"};

// Every row of every host table, each table's rows sorted after a row that
// names it; a table that is not there has no rows.
inline testing::Rows Contents(testing::TestStore& store) {
  testing::Rows contents;
  for (const char* table : kHostTables) {
    testing::Rows rows;
    try {
      rows = store.Query(std::string("SELECT * FROM ") + table);
    } catch (const std::exception&) {
    }
    std::sort(rows.begin(), rows.end());
    contents.push_back({table});
    contents.insert(contents.end(), rows.begin(), rows.end());
  }
  return contents;
}

}  // namespace tavikuser

#endif  // TAVIKUSER_TESTS_SUPPORT_LATE_BOUND_H_
