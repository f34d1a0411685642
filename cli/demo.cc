// tavikuser demo: a fresh store, a small company's rights, groups and users,
// and the access check answering for them. The demo is a list of steps over
// one store, so that a step can be added (or one replaced, such as writing
// the company through the classes instead of SQL) without touching the rest.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <exception>
#include <filesystem>
#include <initializer_list>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "store.h"
#include "subcommand.h"
#include "tavikuser/check_access_rights.h"

namespace tavikuser::cli {
namespace {

constexpr std::string_view kDemoFile = "tavik-demo.db";

// The company that the demo sets up, apart from how it gets into the store.
struct DemoRight {
  std::string_view number;
  int identity;
  std::string_view name;
};
struct DemoGroup {
  std::string_view number;
  int identity;
  std::string_view name;
  std::vector<std::string_view> rights;
};
struct DemoUser {
  std::string_view number;
  int identity;
  std::string_view id;
  std::string_view name;
  std::vector<std::string_view> rights;  // granted directly
  std::vector<std::string_view> groups;
};
struct DemoCompany {
  std::string_view company_prefix;
  std::string_view branch_prefix;
  std::vector<DemoRight> rights;
  std::vector<DemoGroup> groups;
  std::vector<DemoUser> users;
};

const DemoCompany& Company() {
  static const DemoCompany company{
      .company_prefix = "C1",
      .branch_prefix = "B2",
      .rights = {{"C1B2RG1", 1, "View ledger"},
                 {"C1B2RG2", 2, "Post journal entries"},
                 {"C1B2RG3", 3, "Close the period"}},
      .groups = {{"C1B2GR1", 1, "Clerks", {"C1B2RG1"}},
                 {"C1B2GR2", 2, "Controllers", {"C1B2RG3"}}},
      .users = {{"C1B2US1", 1, "ada", "Ada Byron", {"C1B2RG2"}, {"C1B2GR1"}},
                {"C1B2US2", 2, "ben", "Ben Okafor", {}, {"C1B2GR1"}}},
  };
  return company;
}

using Table = std::vector<std::vector<std::string>>;

// Columns padded to their widest cell, with no blanks at the ends of lines.
void PrintTable(std::ostream& out, const Table& table) {
  std::vector<std::size_t> widths;
  for (const auto& row : table) {
    widths.resize(std::max(widths.size(), row.size()));
    for (std::size_t column = 0; column < row.size(); ++column) {
      widths[column] = std::max(widths[column], row[column].size());
    }
  }
  for (const auto& row : table) {
    std::string line = "   ";
    for (std::size_t column = 0; column < row.size(); ++column) {
      line += row[column];
      line.append(widths[column] - row[column].size() + 2, ' ');
    }
    line.erase(line.find_last_not_of(' ') + 1);
    out << line << "\n";
  }
}

template <class Items>
std::string Joined(const Items& items) {
  std::string joined;
  for (const auto& item : items) {
    if (!joined.empty()) joined += ", ";
    joined += item;
  }
  return joined;
}

void CreateDemoTables(const Store& store, std::ostream& out) {
  out << "   " << CreateTables(store)
      << " statements of the built-in schema, one transaction.\n";
}

// A SQL text literal. The demo's values are its own constants, none with a
// quote in it.
std::string Literal(std::string_view text) {
  return "'" + std::string(text) + "'";
}

std::string Insert(std::string_view table_and_columns,
                   std::initializer_list<std::string> values) {
  return "INSERT INTO " + std::string(table_and_columns) + " VALUES (" +
         Joined(values) + ")";
}

// The rows of the company, as the host's tables hold them.
std::vector<std::string> CompanyInserts(const DemoCompany& company) {
  const std::string company_prefix = Literal(company.company_prefix);
  const std::string branch_prefix = Literal(company.branch_prefix);
  std::vector<std::string> inserts;
  for (const DemoRight& right : company.rights) {
    inserts.push_back(
        Insert("Rights_Master (Rights_No, Rights_Identity, Company_Prefix, "
               "Branch_Prefix, Document_Prefix, Rights_Name, Rights_Parent, "
               "Last_Update)",
               {Literal(right.number), std::to_string(right.identity),
                company_prefix, branch_prefix, Literal("RG"),
                Literal(right.name), Literal(""), "CURRENT_TIMESTAMP"}));
  }
  for (const DemoGroup& group : company.groups) {
    inserts.push_back(Insert(
        "User_Group (User_Group_No, User_Group_Identity, Company_Prefix, "
        "Branch_Prefix, Document_Prefix, User_Group_Name, User_Group_Desc, "
        "Last_Update)",
        {Literal(group.number), std::to_string(group.identity), company_prefix,
         branch_prefix, Literal("GR"), Literal(group.name), Literal(group.name),
         "CURRENT_TIMESTAMP"}));
    for (const std::string_view right : group.rights) {
      inserts.push_back(Insert("Group_Detail (User_Group_No, Rights_No)",
                               {Literal(group.number), Literal(right)}));
    }
  }
  for (const DemoUser& user : company.users) {
    inserts.push_back(Insert(
        "User_Master (User_No, User_Identity, Company_Prefix, Branch_Prefix, "
        "Document_Prefix, User_ID, User_Name, User_Description, "
        "User_Password, Last_Update, Default_Flag)",
        {Literal(user.number), std::to_string(user.identity), company_prefix,
         branch_prefix, Literal("US"), Literal(user.id), Literal(user.name),
         Literal("demo user"), Literal("changeme"), "CURRENT_TIMESTAMP", "0"}));
    for (const std::string_view right : user.rights) {
      inserts.push_back(Insert("Access_Control_Rights (User_No, Rights_No)",
                               {Literal(user.number), Literal(right)}));
    }
    for (const std::string_view group : user.groups) {
      inserts.push_back(Insert("Access_Control_Groups (User_No, User_Group_No)",
                               {Literal(user.number), Literal(group)}));
    }
  }
  return inserts;
}

// Who is who and holds what, however the company was written.
void PrintCompany(const DemoCompany& company, std::ostream& out) {
  Table table;
  for (const DemoRight& right : company.rights) {
    table.push_back(
        {"right", std::string(right.number), std::string(right.name), ""});
  }
  for (const DemoGroup& group : company.groups) {
    table.push_back({"group", std::string(group.number),
                     std::string(group.name), "holds " + Joined(group.rights)});
  }
  for (const DemoUser& user : company.users) {
    std::string grants;
    if (!user.rights.empty()) grants = "holds " + Joined(user.rights) + "; ";
    table.push_back({"user", std::string(user.number),
                     std::string(user.id) + " (" + std::string(user.name) + ")",
                     grants + "member of " + Joined(user.groups)});
  }
  PrintTable(out, table);
}

void WriteCompanyWithSql(const Store& store, std::ostream& out) {
  ExecuteAllOrNone(store.connection_string, CompanyInserts(Company()));
  PrintCompany(Company(), out);
}

// A SQLite file in the temporary folder that has no tables, removed again
// when done: the store failure to show.
class StoreWithoutTables {
 public:
  StoreWithoutTables()
      : file_(std::filesystem::temp_directory_path() /
              ("tavik-demo-no-tables-" + std::to_string(getpid()) + ".db")) {
    std::filesystem::remove(file_);
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
  std::string_view shows;
  std::string_view user_no;
  std::string_view rights_no;
  bool on_store_without_tables = false;
};

void AskCheckAccessRights(const Store& store, std::ostream& out) {
  const DemoCheck checks[] = {
      {"a direct grant", "C1B2US1", "C1B2RG2"},
      {"a grant to a group (Clerks)", "C1B2US2", "C1B2RG1"},
      {"no grant", "C1B2US2", "C1B2RG2"},
      {"a group the user is not in", "C1B2US1", "C1B2RG3"},
      {"no user number", "", "C1B2RG1"},
      {"a quote in a value", "C1B2US1' OR '1'='1", "C1B2RG1"},
      {"a store without the tables", "C1B2US1", "C1B2RG2", true},
  };
  const StoreWithoutTables store_without_tables;
  Table table = {{"shows", "UserNo", "RightsNo", "answer", "ErrDesc"}};
  for (const DemoCheck& check : checks) {
    CheckAccessRights access;
    access.ADOConnectionString(check.on_store_without_tables
                                   ? store_without_tables.connection_string()
                                   : store.connection_string);
    access.UserNo(std::string(check.user_no));
    access.RightsNo(std::string(check.rights_no));
    const bool allowed = access.Check_Access_Rights();
    // ErrDesc is never cleared, so it means something only after False.
    table.push_back(
        {std::string(check.shows),
         check.user_no.empty() ? "(none)" : std::string(check.user_no),
         std::string(check.rights_no), allowed ? "True" : "False",
         allowed ? "" : access.ErrDesc().ToText()});
  }
  PrintTable(out, table);
}

struct DemoStep {
  std::string_view title;
  void (*run)(const Store& store, std::ostream& out);
};

constexpr DemoStep kDemoSteps[] = {
    {"Create the tables", CreateDemoTables},
    {"Write rights, groups, users and grants with plain SQL "
     "(Connection::Execute)",
     WriteCompanyWithSql},
    {"Ask TavikUser.CheckAccessRights", AskCheckAccessRights},
};

// A SQLite demo store starts afresh each run: its file and the files SQLite
// keeps beside it are deleted.
void DeleteSqliteStore(const std::filesystem::path& file) {
  for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
    std::filesystem::remove(file.string() + suffix);
  }
}

int Demo(std::span<const std::string_view> args) {
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
    int number = 0;
    for (const DemoStep& step : kDemoSteps) {
      std::cout << "\n" << ++number << ". " << step.title << "\n";
      step.run(store, std::cout);
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
    .summary = "show the access check at work on a fresh store",
    .help =
        R"(Sets up a store, writes a small company's rights, user groups, users and
grants into it, and asks TavikUser.CheckAccessRights about them: a direct
grant, a grant through a group, a refusal, a missing user number, a value
with a quote in it and a store without the tables.

CONNECTION is as for init; without it the demo uses the SQLite file
tavik-demo.db. A SQLite file is deleted and created afresh each run; any
other store must not have the tables yet, and keeps the demo's rows after.

Exit status: 0 done, 1 a step failed (the reason on stderr), 2 bad usage.
)",
    .run = Demo,
};

}  // namespace tavikuser::cli
