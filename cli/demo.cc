// tavikuser demo: a fresh store, a small company's rights, roles, groups and
// users created through the classes, granted with the operator's verbs, and
// the access check answering for them and explaining itself. The demo is a list
// of steps over one store; each step prints what it asked and what the library
// answered.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "operator.h"
#include "store.h"
#include "subcommand.h"
#include "tavikuser/check_access_rights.h"
#include "tavikuser/rights.h"
#include "tavikuser/role.h"
#include "tavikuser/user.h"
#include "tavikuser/user_group.h"

namespace tavikuser::cli {
namespace {

constexpr std::string_view kDemoFile = "tavik-demo.db";
constexpr std::string_view kCompany = "C1";
constexpr std::string_view kBranch = "B2";

// What the demo learns as it goes: the keys that the library issued.
struct Demo {
  const Store& store;
  std::vector<std::string> rights;  // catalogue keys, in creation order
  std::vector<std::string> groups;  // group keys, in creation order
  std::map<std::string, std::string> user_numbers;  // by user ID
};

// One line of a step's table: the answer goes last, where it may run long.
std::vector<std::string> Row(std::string call, std::string subject,
                             std::string answer, std::string detail = "") {
  return {std::move(call), std::move(subject), std::move(detail),
          std::move(answer)};
}

// "True", or "False" with the object's ErrDesc: ErrDesc is never cleared, so
// it means something only after False.
template <class Object>
std::string Answer(bool result, const Object& object) {
  return result ? "True" : "False: " + object.ErrDesc();
}

// A step's table, under its title.
void PrintStepTable(std::ostream& out, const Table& table) {
  PrintTable(out, table, 3);
}

// Grants with the verbs' own code, one line each: the command an operator
// would type, and what it did.
void RunVerbs(const Demo& demo, std::ostream& out,
              std::initializer_list<
                  std::tuple<std::string, Link, std::string, std::string>>
                  verbs) {
  Table table;
  for (const auto& [command, link, first, second] : verbs) {
    const ChangeReport report =
        ChangeLink(demo.store.connection_string, link, true, first, second);
    if (report.status != kExitSucceeded) throw std::runtime_error(report.text);
    table.push_back({"tavikuser " + command, report.text});
  }
  PrintStepTable(out, table);
}

// Sets what every entity object needs: the store and the key's scope.
template <class Entity>
void Scope(Entity& entity, const Demo& demo, std::string_view document) {
  entity.ADOConnectionString(demo.store.connection_string);
  entity.CompanyPrefix(std::string(kCompany));
  entity.BranchPrefix(std::string(kBranch));
  entity.DocumentPrefix(std::string(document));
}

std::string Key(std::string_view document, std::size_t number) {
  return std::string(kCompany) + std::string(kBranch) + std::string(document) +
         std::to_string(number);
}

void CreateDemoTables(Demo& demo, std::ostream& out) {
  out << "   " << CreateTables(demo.store)
      << " statements of the built-in schema, one transaction.\n";
}

void CreateRights(Demo& demo, std::ostream& out) {
  Table table;
  Rights rights;  // one object creates them all
  Scope(rights, demo, "RG");
  rights.LastUpdate(*DateTime::FromIsoText("2026-01-05 09:00"));
  for (const char* name :
       {"View ledger", "Post journal entries", "Close the period"}) {
    rights.RightsName(name);
    const bool created = rights.Create_Rights();
    // A fresh store's counter issues 1, 2, 3: the key is not handed back.
    if (created) demo.rights.push_back(Key("RG", demo.rights.size() + 1));
    table.push_back(Row("Create_Rights", name, Answer(created, rights),
                        created ? demo.rights.back() : ""));
  }
  rights.RightsNo(demo.rights.at(1));
  rights.RightsName("Post and reverse journal entries");
  table.push_back(Row("Update_Rights", demo.rights.at(1) + " renamed",
                      Answer(rights.Update_Rights(), rights)));
  PrintStepTable(out, table);
}

void CreateRenameAndDeleteARole(Demo& demo, std::ostream& out) {
  Table table;
  Role role;  // one object serves every operation
  Scope(role, demo, "RL");
  role.RoleName("Month-end closing");
  table.push_back(Row("Create_Role", "Month-end closing",
                      Answer(role.Create_Role(), role), Key("RL", 1)));
  PrintStepTable(out, table);
  table.clear();
  // Delete_Role deletes the role's link rows with it.
  RunVerbs(demo, out,
           {{"grant " + demo.rights.at(2) + " --role " + Key("RL", 1),
             Link::kRoleRight, Key("RL", 1), demo.rights.at(2)},
            {"member add --role " + Key("RL", 1) + " " + demo.groups.at(1),
             Link::kRoleGroup, Key("RL", 1), demo.groups.at(1)}});
  role.RoleNumber(Key("RL", 1));
  role.RoleName("Period closing");
  table.push_back(Row("Update_Role", Key("RL", 1) + " renamed",
                      Answer(role.Update_Role(), role)));
  table.push_back(Row("Delete_Role", Key("RL", 1) + " and its two link rows",
                      Answer(role.Delete_Role(), role)));
  role.RoleNumber("C1B2RL99");
  table.push_back(Row("Update_Role", "C1B2RL99, which no row carries",
                      Answer(role.Update_Role(), role)));
  PrintStepTable(out, table);
}

void CreateGroups(Demo& demo, std::ostream& out) {
  Table table;
  UserGroup group;
  Scope(group, demo, "GR");
  group.LastUpdate(*DateTime::FromIsoText("2026-01-05 09:30"));
  const std::pair<const char*, const char*> groups[] = {
      {"Clerks", "Day-to-day bookkeeping"},
      {"Controllers", "Closing and review"}};
  for (const auto& [name, description] : groups) {
    group.GroupName(name);
    group.GroupDescription(description);
    const bool created = group.Create_Group();
    // GroupNumber holds the new key as soon as the number is issued.
    if (created) demo.groups.push_back(group.GroupNumber());
    table.push_back(
        Row("Create_Group", name, Answer(created, group), group.GroupNumber()));
  }
  PrintStepTable(out, table);
  table.clear();
  // Rights granted to a group: a group with them cannot be deleted.
  RunVerbs(demo, out,
           {{"grant " + demo.rights.at(0) + " --group " + demo.groups.at(0),
             Link::kGroupRight, demo.groups.at(0), demo.rights.at(0)},
            {"grant " + demo.rights.at(2) + " --group " + demo.groups.at(1),
             Link::kGroupRight, demo.groups.at(1), demo.rights.at(2)}});
  group.GroupNumber(demo.groups.at(0));
  table.push_back(Row("Delete_Group", demo.groups.at(0) + ", which has rows",
                      Answer(group.Delete_Group(), group)));

  UserGroup reader;
  reader.ADOConnectionString(demo.store.connection_string);
  const bool found = reader.Get_UserGroup(demo.groups.at(1));
  table.push_back(
      Row("Get_UserGroup", demo.groups.at(1), Answer(found, reader),
          reader.GroupName() + ", " + reader.LastUpdate().ToIsoText()));
  PrintStepTable(out, table);
}

void CreateUsersAndChangeAPassword(Demo& demo, std::ostream& out) {
  Table table;
  User user;
  Scope(user, demo, "US");
  const std::tuple<const char*, const char*, const char*> users[] = {
      {"ada", "Ada Byron", "Café au lait"}, {"ben", "Ben Okafor", "tea"}};
  for (const auto& [id, name, password] : users) {
    user.UserID(id);
    user.UserName(name);
    user.UserPassword(password);
    table.push_back(Row("Create_User", std::string(id) + " (" + name + ")",
                        Answer(user.Create_User(), user)));
  }
  // The new key is not handed back: the lookup by ID finds it.
  for (const auto& [id, name, password] : users) {
    const bool found = user.Get_User(id);
    if (found) demo.user_numbers[id] = user.UserNo();
    table.push_back(Row("Get_User", std::string("by ID ") + id,
                        Answer(found, user), "UserNo " + user.UserNo()));
  }
  User by_number;
  by_number.ADOConnectionString(demo.store.connection_string);
  by_number.UserNo(demo.user_numbers.at("ada"));
  const bool found = by_number.Get_User();
  table.push_back(Row("Get_User", "by number " + demo.user_numbers.at("ada"),
                      Answer(found, by_number),
                      "UserID " + by_number.UserID()));

  by_number.UserPassword("CAFÉ AU LAIT");  // letter case does not count
  by_number.NewPassword("Thé vert");
  table.push_back(Row("Change_Password", "ada, old one in capitals",
                      Answer(by_number.Change_Password(), by_number)));
  by_number.UserPassword("wrong");
  table.push_back(Row("Change_Password", "ada, a wrong old one",
                      Answer(by_number.Change_Password(), by_number)));
  PrintStepTable(out, table);
}

// Rights granted to a user directly and through a group.
void GrantWithTheVerbs(Demo& demo, std::ostream& out) {
  const std::string& ada = demo.user_numbers.at("ada");
  const std::string& ben = demo.user_numbers.at("ben");
  const std::string& clerks = demo.groups.at(0);
  RunVerbs(
      demo, out,
      {{"grant " + demo.rights.at(1) + " --user " + ada, Link::kUserRight, ada,
        demo.rights.at(1)},
       {"member add " + ada + " " + clerks, Link::kUserGroup, ada, clerks},
       {"member add " + ben + " " + clerks, Link::kUserGroup, ben, clerks}});
}

// An empty SQLite file in the temporary folder, a store without tables,
// removed again when done: the store failure to show.
class StoreWithoutTables {
 public:
  StoreWithoutTables()
      : file_(std::filesystem::temp_directory_path() /
              ("tavik-demo-no-tables-" + std::to_string(getpid()) + ".db")) {
    std::ofstream{file_};
  }
  StoreWithoutTables(const StoreWithoutTables&) = delete;
  StoreWithoutTables& operator=(const StoreWithoutTables&) = delete;
  ~StoreWithoutTables() {
    std::error_code ignored;
    std::filesystem::remove(file_, ignored);
  }

  std::string connection_string() const {
    return SqliteConnectionString(file_.string());
  }

 private:
  std::filesystem::path file_;
};

struct DemoCheck {
  std::string shows;
  std::string user_no;
  std::string rights_no;
  bool on_store_without_tables = false;
};

void AskCheckAccessRights(Demo& demo, std::ostream& out) {
  const std::string& ada = demo.user_numbers.at("ada");
  const std::string& ben = demo.user_numbers.at("ben");
  const DemoCheck checks[] = {
      {"a direct grant", ada, demo.rights.at(1)},
      {"a grant to a group (Clerks)", ben, demo.rights.at(0)},
      {"no grant", ben, demo.rights.at(1)},
      {"a group the user is not in", ada, demo.rights.at(2)},
      {"no user number", "", demo.rights.at(0)},
      {"a quote in a value", ada + "' OR '1'='1", demo.rights.at(0)},
      {"a store without the tables", ada, demo.rights.at(1), true},
  };
  const StoreWithoutTables store_without_tables;
  Table table = {{"shows", "UserNo", "RightsNo", "answer"}};
  for (const DemoCheck& check : checks) {
    CheckAccessRights access;
    access.ADOConnectionString(check.on_store_without_tables
                                   ? store_without_tables.connection_string()
                                   : demo.store.connection_string);
    access.UserNo(check.user_no);
    access.RightsNo(check.rights_no);
    table.push_back(
        {check.shows, check.user_no.empty() ? "(none)" : check.user_no,
         check.rights_no, Answer(access.Check_Access_Rights(), access)});
  }
  PrintStepTable(out, table);
}

// The access check explaining a refusal and a grant through a group.
void ExplainTwoAnswers(Demo& demo, std::ostream& out) {
  const std::string& ben = demo.user_numbers.at("ben");
  for (const std::string& right : {demo.rights.at(1), demo.rights.at(0)}) {
    out << "   $ tavikuser can " << ben << " " << right << " --explain\n";
    PrintCan(out, demo.store.connection_string, ben, right, true, false, 3);
  }
}

struct DemoStep {
  std::string_view title;
  void (*run)(Demo& demo, std::ostream& out);
};

constexpr DemoStep kDemoSteps[] = {
    {"Create the tables", CreateDemoTables},
    {"Create rights through TavikUser.Rights", CreateRights},
    {"Create user groups through TavikUser.UserGroup", CreateGroups},
    {"Create, rename and delete a role through TavikUser.Role",
     CreateRenameAndDeleteARole},
    {"Create users and change a password through TavikUser.User",
     CreateUsersAndChangeAPassword},
    {"Grant rights to a user and put users into a group (tavikuser grant, "
     "member)",
     GrantWithTheVerbs},
    {"Ask TavikUser.CheckAccessRights", AskCheckAccessRights},
    {"Ask why (tavikuser can --explain)", ExplainTwoAnswers},
};

// A SQLite demo store starts afresh each run: its file and the files SQLite
// keeps beside it are deleted.
void DeleteSqliteStore(const std::filesystem::path& file) {
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    std::filesystem::remove(file.string() + suffix);
  }
}

int RunDemo(std::span<const std::string_view> args) {
  const std::string connection_string =
      ConnectionStringFromArguments(args, kDemoFile);
  try {
    const Store store(connection_string);
    std::cout << "tavikuser demo on " << store.described.printable;
    if (store.described.provider == "SQLite") {
      DeleteSqliteStore(store.described.sqlite_file);
      std::cout << " (created afresh)";
    }
    std::cout << "\n";
    Demo demo{store, {}, {}, {}};
    int number = 0;
    for (const DemoStep& step : kDemoSteps) {
      std::cout << "\n" << ++number << ". " << step.title << "\n";
      step.run(demo, std::cout);
    }
  } catch (const std::exception& failure) {
    std::cout << std::endl;
    std::cerr << "tavikuser demo: " << failure.what() << "\n";
    return kExitFailed;
  }
  return kExitSucceeded;
}

}  // namespace

const Subcommand kDemoSubcommand{
    .name = "demo",
    .synopsis = "[CONNECTION]",
    .summary = "run a small company through the library on a fresh store",
    .help =
        R"(Sets up a store and runs a small company through the library: rights, a
role, user groups and users created, renamed, deleted and read back through
the classes (TavikUser.Rights, .Role, .UserGroup, .User), a password changed,
rights granted and users put into groups with the code of the grant and
member commands, TavikUser.CheckAccessRights answering for them (a direct
grant, a grant through a group, refusals, a missing user number, a value
with a quote in it and a store without the tables), and can --explain
telling why for a refusal and for a grant through a group. Each line shows the call, what it was about, and True or False with
ErrDesc.

CONNECTION is as for init; without it the demo uses the SQLite file
tavik-demo.db. A SQLite file is deleted and created afresh each run; any
other store must not have the tables yet, and keeps the demo's rows after.

Exit status: 0 done, 1 a step failed (the reason on stderr), 2 bad usage.
)",
    .run = RunDemo,
};

}  // namespace tavikuser::cli
