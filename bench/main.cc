// tavikuser_bench: the access check and the numbered creations through the
// library, side by side with the same work on the providers' own C APIs (for
// the check: the statement the library runs, the listed statement, and the
// form the library ran before), on SQLite (rollback journal and write-ahead
// log), and on a PostgreSQL and a MariaDB server over loopback that it starts
// itself; and the library through the PostgreSQL ODBC driver on the same
// database as the native PostgreSQL store. Prints the table with its ratios and
// the targets, and writes every figure to a CSV file for the plot.
//
//   tavikuser_bench [--quick] [--only access|creation] [--seed N]
//                   [--csv FILE] [--folder DIR]
#include <sched.h>
#include <sqlite3.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <vector>

#include "access/access_statement.h"
#include "dataset.h"
#include "measure.h"
#include "raw_store.h"
#include "support/servers.h"
#include "tavikuser/access_report.h"
#include "tavikuser/check_access_rights.h"
#include "tavikuser/rights.h"
#include "tavikuser/role.h"
#include "tavikuser/tavikuser.h"
#include "tavikuser/user.h"
#include "tavikuser/user_group.h"

namespace tavikuser::bench {
namespace {

namespace fs = std::filesystem;
using testing::MariaDBServer;
using testing::PostgresServer;

struct Options {
  bool quick = false;
  bool access = true;
  bool creation = true;
  std::uint64_t seed = 20240601;
  std::string csv = "bench-results.csv";
  std::string folder;  // for the SQLite files; a temporary one by default
  int core = -1;       // the one core the run keeps to, if it could
};

// A store that the contenders run against, as the library names it and as
// the raw clients reach it.
struct Store {
  std::string name;
  std::string connection_string;
  RawOpener raw;
  // Reached over loopback: a check takes several times as long.
  bool server;
  // The library on the same data through the store's ODBC driver; empty
  // where that route is not measured.
  std::string odbc_connection_string;
};

// One timed figure of the run.
struct Row {
  std::string section;  // "access" or "creation"
  std::string store;
  std::int64_t grants = 0;
  std::int64_t rights = 0;
  std::string what;  // the contender; for a creation, the operation too
  Timing timing;
};

// The resident set before and after many checks.
struct MemoryFigure {
  std::string store;
  std::size_t checks;
  Resident before;
  Resident after;
};

// The contenders of the access check, in the order of the table.
constexpr const char* kLibrary = "library";
constexpr const char* kLateBound = "late-bound";
constexpr const char* kFloor = "floor";
constexpr const char* kListed = "listed";
constexpr const char* kPrevious = "previous";
constexpr const char* kConnectionPerCheck = "conn/check";
// The library through the store's ODBC driver, timed among the store's own
// contenders and shown as a row of its own, named after the store.
constexpr const char* kODBC = "ODBC";
constexpr const char* kThroughODBC = " ODBC";

// The statement the library runs, as the floor runs it.
CheckShape Granted() {
  return {access::kGrantedCatalogueRows, {true, false, false, true}};
}

// The check as the system lists it, its values bound instead of spliced:
// PostgreSQL scans the whole catalogue for its OR of two IN tests.
CheckShape Listed() {
  return {
      "SELECT * FROM Rights_Master Where Rights_No In (Select Rights_No "
      "From Access_Control_Rights Where User_No=? and Rights_No=?) or "
      "Rights_No In (Select Rights_No From Group_Detail  Where  "
      "Rights_No=? and User_Group_No In(Select User_Group_No from "
      "Access_Control_Groups  Where USer_No =?))",
      {true, false, false, true}};
}

// The form the library ran before the two probes: one existence test per
// grant path, which answers as the listed check only where the key columns
// compare alike from table to table.
CheckShape Previous() {
  return {
      "SELECT Rights_No FROM Rights_Master WHERE (EXISTS (SELECT 1 FROM "
      "Access_Control_Rights WHERE User_No=? AND Rights_No=?) OR EXISTS "
      "(SELECT 1 FROM Access_Control_Groups g JOIN Group_Detail d ON "
      "d.User_Group_No = g.User_Group_No WHERE g.User_No=? AND "
      "d.Rights_No=?)) AND Rights_No=?",
      {true, false, true, false, false}};
}

// A check's statement prepared once on its own connection, and run again
// with each question's values.
class PreparedCheck {
 public:
  PreparedCheck(std::unique_ptr<RawConnection> connection, CheckShape shape)
      : shape_(std::move(shape)),
        connection_(std::move(connection)),
        statement_(connection_->Prepare(shape_.sql)) {}

  int Granted(const Question& question) {
    shape_.Fill(question, values_);
    return statement_->Rows(values_) > 0 ? 1 : 0;
  }

 private:
  CheckShape shape_;
  std::vector<const char*> values_;
  // Declared after its connection: closed before it.
  std::unique_ptr<RawConnection> connection_;
  std::unique_ptr<RawStatement> statement_;
};

void Require(tavik_status status, const char* call) {
  if (status != TAVIK_OK) {
    throw std::runtime_error(std::string(call) + ": " + tavik_last_error());
  }
}

std::vector<Contender> AccessContenders(
    const Store& store, const std::vector<Question>& questions) {
  std::vector<Contender> contenders;

  // A fresh object per check, as most hosts make them.
  const auto library = [&questions](const std::string& connection_string) {
    return [&connection_string, &questions](std::size_t i) {
      CheckAccessRights check;
      check.ADOConnectionString(connection_string);
      check.RightsNo(questions[i].rights_no);
      check.UserNo(questions[i].user_no);
      return check.Check_Access_Rights() ? 1 : 0;
    };
  };
  contenders.push_back({kLibrary, library(store.connection_string)});
  contenders.push_back(
      {kLateBound, [&store, &questions](std::size_t i) {
         tavik_object* check = nullptr;
         Require(tavik_create("TavikUser.CheckAccessRights", &check),
                 "tavik_create");
         std::unique_ptr<tavik_object, decltype(&tavik_object_release)> owned(
             check, &tavik_object_release);
         Require(tavik_let_text(check, "ADOConnectionString",
                                store.connection_string.c_str()),
                 "tavik_let_text");
         Require(
             tavik_let_text(check, "RightsNo", questions[i].rights_no.c_str()),
             "tavik_let_text");
         Require(tavik_let_text(check, "UserNo", questions[i].user_no.c_str()),
                 "tavik_let_text");
         int granted = 0;
         Require(
             tavik_call_bool(check, "Check_Access_Rights", nullptr, &granted),
             "tavik_call_bool");
         return granted;
       }});
  if (!store.odbc_connection_string.empty()) {
    contenders.push_back({kODBC, library(store.odbc_connection_string)});
  }

  // The same statement prepared once on the raw API and run again with new
  // values: the floor; and the other forms the same way.
  for (const auto& [name, shape] :
       {std::pair{kFloor, Granted()}, std::pair{kListed, Listed()},
        std::pair{kPrevious, Previous()}}) {
    auto prepared = std::make_shared<PreparedCheck>(store.raw(), shape);
    contenders.push_back({name, [prepared, &questions](std::size_t i) {
                            return prepared->Granted(questions[i]);
                          }});
  }

  contenders.push_back(
      {kConnectionPerCheck,
       [&store, granted = Granted(), &questions](std::size_t i) {
         return CheckOnNewConnection(store.raw, granted, questions[i]) > 0 ? 1
                                                                           : 0;
       },
       /*alone=*/true});
  return contenders;
}

// Every contender must give the floor's answer to every question that both
// were asked.
void RequireAgreement(const std::vector<Contender>& contenders,
                      const std::string& where) {
  const Contender* floor = nullptr;
  for (const Contender& contender : contenders) {
    if (contender.name == kFloor) floor = &contender;
  }
  for (const Contender& contender : contenders) {
    const std::size_t n =
        std::min(contender.answers.size(), floor->answers.size());
    for (std::size_t i = 0; i < n; ++i) {
      if (contender.answers[i] != floor->answers[i]) {
        throw std::runtime_error(where + ": " + contender.name +
                                 " answers question " + std::to_string(i) +
                                 " otherwise than the floor");
      }
    }
  }
}

// Resident size before and after `checks` checks, half of them early-bound
// and half late-bound, after a warm-up.
MemoryFigure MemoryOverChecks(const Store& store,
                              const std::vector<Question>& questions,
                              std::size_t checks) {
  std::vector<Contender> contenders = AccessContenders(store, questions);
  const auto run = [&](std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      contenders[i % 2].call(i % questions.size());
    }
  };
  run(10000);
  const Resident before = ReadResident();
  run(checks);
  return {store.name, checks, before, ReadResident()};
}

// A host's menu: the rights of 200 actions, for one user.
struct Menu {
  std::string user_no;
  std::vector<std::string> rights;
};

constexpr std::size_t kMenuSize = 200;

// The user who holds the most rights, directly or through groups, and a
// menu of half of them and others drawn to make it up: some of those the
// user holds too.
Menu MenuOfTheBusiestUser(const Dataset& data, std::uint64_t seed) {
  // Each user's rights are gathered one user at a time: a set of every
  // user's rights at once took hundreds of megabytes at a million grants,
  // which the allocator kept, and the memory figures taken next showed.
  using Lists = std::vector<std::vector<std::int32_t>>;
  Lists direct(data.size.users() + 1);
  Lists groups(data.size.users() + 1);
  Lists group_rights(data.size.groups() + 1);
  for (const auto& [group, right] : data.group_rights) {
    group_rights[group].push_back(right);
  }
  for (const auto& [user, right] : data.grants) direct[user].push_back(right);
  for (const auto& [user, group] : data.memberships) {
    groups[user].push_back(group);
  }
  const auto held = [&](std::size_t user) {
    std::vector<std::int32_t> rights = direct[user];
    for (const std::int32_t group : groups[user]) {
      rights.insert(rights.end(), group_rights[group].begin(),
                    group_rights[group].end());
    }
    std::ranges::sort(rights);
    rights.erase(std::unique(rights.begin(), rights.end()), rights.end());
    return rights;
  };
  std::size_t busiest = 0;
  std::size_t most = 0;
  for (std::size_t user = 1; user < direct.size(); ++user) {
    const std::size_t count = held(user).size();
    if (count > most) {
      most = count;
      busiest = user;
    }
  }
  Menu menu{UserNo(static_cast<std::int64_t>(busiest)), {}};
  // The smallest catalogue has fewer rights than a menu.
  const std::size_t size = std::min<std::size_t>(kMenuSize, data.size.rights);
  std::unordered_set<std::int32_t> rights;
  for (const std::int32_t right : held(busiest)) {
    if (rights.size() < size / 2) rights.insert(right);
  }
  std::mt19937_64 random(seed);
  while (rights.size() < size) {
    rights.insert(static_cast<std::int32_t>(random() % data.size.rights) + 1);
  }
  for (const std::int32_t right : rights)
    menu.rights.push_back(RightsNo(right));
  return menu;
}

// The menu drawn both ways; each call returns how many of its actions the
// user may take.
std::vector<Contender> MenuContenders(const Store& store, const Menu& menu) {
  return {
      {"200 checks",
       [&store, &menu](std::size_t) {
         CheckAccessRights check;
         check.ADOConnectionString(store.connection_string);
         check.UserNo(menu.user_no);
         int granted = 0;
         for (const std::string& right : menu.rights) {
           check.RightsNo(right);
           granted += check.Check_Access_Rights() ? 1 : 0;
         }
         return granted;
       }},
      {"effective rights",
       [&store, &menu](std::size_t) {
         std::unordered_set<std::string> held;
         for (const HeldRight& right :
              EffectiveRights(store.connection_string, menu.user_no)) {
           held.insert(right.rights_no);
         }
         return static_cast<int>(std::ranges::count_if(
             menu.rights, [&held](const std::string& right) {
               return held.contains(right);
             }));
       }},
  };
}

// A numbered creation through the library, and the raw work it stands for.
struct CreationCase {
  const char* operation;
  RecordShape shape;
  // Returns one creation through a library object set up for the store and
  // the document prefix.
  std::function<std::function<int(std::size_t)>(const std::string&,
                                                const std::string&)>
      library;
};

constexpr char kLastUpdateText[] = "2024-01-02 03:04:05.000";

// An object of an entity class set up to create records of `prefix`.
template <class Entity>
std::shared_ptr<Entity> Prefixed(const std::string& connection_string,
                                 const std::string& prefix) {
  auto entity = std::make_shared<Entity>();
  entity->ADOConnectionString(connection_string);
  entity->CompanyPrefix("C1");
  entity->BranchPrefix("B1");
  entity->DocumentPrefix(prefix);
  return entity;
}

DateTime LastUpdate() { return *DateTime::FromIsoText(kLastUpdateText); }

std::vector<CreationCase> CreationCases() {
  return {
      {"Create_Rights",
       {"Rights_Master",
        "Rights_No",
        "Rights_Identity",
        {{"Rights_Name", "Post journals"},
         {"Rights_Parent", ""},
         {"Last_Update", kLastUpdateText}}},
       [](const std::string& connection_string, const std::string& prefix) {
         auto rights = Prefixed<Rights>(connection_string, prefix);
         rights->RightsName("Post journals");
         rights->LastUpdate(LastUpdate());
         return [rights](std::size_t) { return rights->Create_Rights(); };
       }},
      {"Create_Role",
       {"Role_Master", "Role_No", "Role_Identity", {{"Role_Name", "Clerks"}}},
       [](const std::string& connection_string, const std::string& prefix) {
         auto role = Prefixed<Role>(connection_string, prefix);
         role->RoleName("Clerks");
         return [role](std::size_t) { return role->Create_Role(); };
       }},
      {"Create_Group",
       {"User_Group",
        "User_Group_No",
        "User_Group_Identity",
        {{"User_Group_Name", "Clerks"},
         {"User_Group_Desc", "Users of a desk"},
         {"Last_Update", kLastUpdateText}}},
       [](const std::string& connection_string, const std::string& prefix) {
         auto group = Prefixed<UserGroup>(connection_string, prefix);
         group->LastUpdate(LastUpdate());
         group->GroupName("Clerks");
         group->GroupDescription("Users of a desk");
         return [group](std::size_t) { return group->Create_Group(); };
       }},
      {"Create_User",
       {"User_Master",
        "User_No",
        "User_Identity",
        {{"User_ID", "clerk"},
         {"User_Name", "A clerk"},
         {"User_Description", "Clerk"},
         {"User_Password", "secret"},
         {"Last_Update", kLastUpdateText}}},
       [](const std::string& connection_string, const std::string& prefix) {
         auto user = Prefixed<User>(connection_string, prefix);
         user->LastUpdate(LastUpdate());
         user->UserID("clerk");
         user->UserName("A clerk");
         user->UserDescription("Clerk");
         user->UserPassword("secret");
         return [user](std::size_t) { return user->Create_User(); };
       }},
  };
}

std::string Thousands(std::int64_t n) {
  if (n >= 1000000 && n % 1000000 == 0)
    return std::to_string(n / 1000000) + "M";
  if (n >= 1000 && n % 1000 == 0) return std::to_string(n / 1000) + "k";
  return std::to_string(n);
}

// A figure to `decimals` places; a dash for one that was not measured.
std::string Fixed(double value, int decimals = 1) {
  if (std::isnan(value)) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Pad(const std::string& text, std::size_t width, bool right = true) {
  if (text.size() >= width) return text;
  const std::string blanks(width - text.size(), ' ');
  return right ? blanks + text : text + blanks;
}

std::string FirstLine(const std::string& path, const std::string& prefix) {
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind(prefix, 0) == 0) {
      return line.substr(line.find(':') + 2);
    }
  }
  return "unknown";
}

// The width of the tables' first column, which names the store.
constexpr std::size_t kStoreWidth = 16;

constexpr const char* kStores[] = {"SQLite", "SQLite WAL", "PostgreSQL",
                                   "MariaDB"};

// Grants from 10k to 1M with everything else in proportion; then the
// catalogue from 1k to 100k rows at 100k grants.
constexpr Size kSmall{10000, 100};
constexpr Size kLarge{1000000, 10000};
constexpr Size kFewRights{100000, 1000};
constexpr Size kManyRights{100000, 100000};

class Benchmark {
 public:
  explicit Benchmark(Options options)
      : options_(std::move(options)),
        postgres_(PostgresServer::Instance()),
        mariadb_(MariaDBServer::Instance()) {
    // The test server's buffer pool is sized for tests' small tables, and
    // InnoDB reads its files past the system's cache: a store of a million
    // grants wants a pool that holds it, as a server holding one is set up.
    testing::MariaDBExec(mariadb_.Connect("").get(),
                         "SET GLOBAL innodb_buffer_pool_size = 1073741824");
  }

  void Run() {
    PrintMachine();
    if (options_.access) {
      for (const Size& size : Sizes()) Access(size);
      PrintAccess();
    }
    if (options_.creation) {
      Creations();
      PrintCreations();
    }
    PrintODBCCost();
    PrintTargets();
    WriteCsv();
  }

 private:
  std::vector<Size> Sizes() const {
    if (options_.quick) return {kSmall};
    return {kSmall, kFewRights, kLarge, {100000, 10000}, kManyRights};
  }

  // Memory is watched at the largest size, or at the only one.
  bool WatchesMemory(const Size& size) const {
    return options_.quick ||
           (size.grants == kLarge.grants && size.rights == kLarge.rights);
  }

  Budget AccessBudget(bool server) const {
    if (options_.quick) return {0.3, 2000, 100, 200};
    return server ? Budget{3.0, 20000, 500, 2000}
                  : Budget{1.5, 50000, 500, 5000};
  }

  Budget MenuBudget() const {
    return options_.quick ? Budget{0.3, 100, 10, 5} : Budget{2.0, 2000, 50, 20};
  }

  Budget CreationBudget() const {
    return options_.quick ? Budget{0.3, 500, 20, 10}
                          : Budget{2.0, 5000, 200, 20};
  }

  std::size_t MemoryChecks(bool server) const {
    if (options_.quick) return 20000;
    return server ? 100000 : 1000000;
  }

  // A database on each server, with the host tables.
  struct ServerDatabases {
    std::string postgresql;
    std::string mariadb;
  };

  ServerDatabases CreateDatabases() {
    return {postgres_.CreateDatabase(true), mariadb_.CreateDatabase(true)};
  }

  void DropDatabases(const ServerDatabases& databases) {
    postgres_.DropDatabase(databases.postgresql);
    mariadb_.DropDatabase(databases.mariadb);
  }

  std::vector<Store> Stores(const std::string& journal, const std::string& wal,
                            const ServerDatabases& databases) const {
    const auto sqlite = [](const std::string& path) {
      return [path] { return RawConnection::SQLite(path); };
    };
    return {
        {kStores[0], "Provider=SQLite;Data Source=" + journal, sqlite(journal),
         false, ""},
        {kStores[1], "Provider=SQLite;Data Source=" + wal, sqlite(wal), false,
         ""},
        {kStores[2], postgres_.ConnectionString(databases.postgresql),
         [conninfo = postgres_.ConnInfo(databases.postgresql)] {
           return RawConnection::PostgreSQL(conninfo);
         },
         true, postgres_.ODBCConnectionString(databases.postgresql)},
        {kStores[3], mariadb_.ConnectionString(databases.mariadb),
         [this, database = databases.mariadb] {
           return RawConnection::MariaDB(mariadb_.Connect(database));
         },
         true, ""},
    };
  }

  void Access(const Size& size) {
    std::cerr << "access: " << size.grants << " grants, " << size.rights
              << " rights: generating" << std::flush;
    const Dataset data = Dataset::Generate(size, options_.seed);
    const std::string label =
        Thousands(size.grants) + "-" + Thousands(size.rights);
    const std::string journal = options_.folder + "/access-" + label + ".db";
    const std::string wal = options_.folder + "/access-" + label + "-wal.db";
    // How long each store takes to load, shown as the run goes.
    const auto load = [](const char* store, const auto& write) {
      const auto start = std::chrono::steady_clock::now();
      write();
      const std::chrono::duration<double> took =
          std::chrono::steady_clock::now() - start;
      std::cerr << ", " << store << " " << Fixed(took.count()) << " s"
                << std::flush;
    };
    std::cerr << ", loading" << std::flush;
    load(kStores[0], [&] {
      WriteSQLite(data, journal);
      CopyAsWAL(journal, wal);
    });
    const ServerDatabases databases = CreateDatabases();
    load(kStores[2], [&] {
      WritePostgreSQL(data, postgres_.ConnInfo(databases.postgresql));
    });
    load(kStores[3], [&] {
      WriteMariaDB(data, mariadb_.Connect(databases.mariadb).get());
    });
    std::cerr << "; measuring" << std::flush;

    const Budget largest = AccessBudget(false);
    const std::vector<Question> questions = Questions(
        data, largest.most + largest.warm_ups, options_.seed + size.grants);
    for (const Store& store : Stores(journal, wal, databases)) {
      std::vector<Contender> contenders = AccessContenders(store, questions);
      MeasureSideBySide(contenders, AccessBudget(store.server));
      RequireAgreement(contenders, store.name);
      for (const Contender& contender : contenders) {
        Keep("access", store, size, contender);
        if (contender.name == kFloor) {
          for (int answer : contender.answers) granted_ += answer;
          asked_ += contender.answers.size();
        }
      }
      if (WatchesMemory(size)) {
        const Menu menu = MenuOfTheBusiestUser(data, options_.seed);
        std::vector<Contender> menus = MenuContenders(store, menu);
        MeasureSideBySide(menus, MenuBudget());
        // Every call draws the same menu: every answer is the same count.
        menu_held_ = menus[0].answers.at(0);
        menu_size_ = menu.rights.size();
        for (const Contender& contender : menus) {
          if (std::ranges::count(contender.answers, menu_held_) !=
              static_cast<std::ptrdiff_t>(contender.answers.size())) {
            throw std::runtime_error(store.name + ": " + contender.name +
                                     " answers the menu otherwise");
          }
        }
        for (const Contender& contender : menus) {
          Keep("menu", store, size, contender);
        }
        memory_.push_back(
            MemoryOverChecks(store, questions, MemoryChecks(store.server)));
      }
      std::cerr << "." << std::flush;
    }
    std::cerr << "\n";
    DropDatabases(databases);
    fs::remove(journal);
    fs::remove(wal);
  }

  // Creations write: their SQLite stores live in memory (tmpfs), like the
  // servers' data, which neither server flushes at a commit. A disk's fsync,
  // which the library and the floor pay alike, took anything from 0.1 to 20 ms
  // per commit here, and drowned what the library adds.
  void Creations() {
    std::cerr << "creation: measuring" << std::flush;
    char in_memory[] = "/dev/shm/tavik-bench-XXXXXX";
    const std::string folder =
        mkdtemp(in_memory) ? std::string(in_memory) : options_.folder;
    const std::string journal = folder + "/creation.db";
    const std::string wal = folder + "/creation-wal.db";
    WriteSQLite(Dataset{}, journal);
    CopyAsWAL(journal, wal);
    const ServerDatabases databases = CreateDatabases();
    for (const Store& store : Stores(journal, wal, databases)) {
      for (const CreationCase& creation : CreationCases()) {
        CreationFloor floor(store.raw(), creation.shape, "FL");
        std::vector<Contender> contenders{
            {kLibrary, creation.library(store.connection_string, "LB")},
            {kFloor, [&floor](std::size_t) {
               floor.Create();
               return 1;
             }}};
        if (!store.odbc_connection_string.empty()) {
          contenders.push_back(
              {kODBC, creation.library(store.odbc_connection_string, "OD")});
        }
        MeasureSideBySide(contenders, CreationBudget());
        RequireAgreement(contenders, store.name + " " + creation.operation);
        for (const Contender& contender : contenders) {
          Keep("creation", store, {0, 0}, contender, &creation);
        }
        std::cerr << "." << std::flush;
      }
    }
    std::cerr << "\n";
    DropDatabases(databases);
    if (folder == options_.folder) {
      fs::remove(journal);
      fs::remove(wal);
    } else {
      fs::remove_all(folder);
    }
  }

  static std::string CreationName(const CreationCase& creation,
                                  const std::string& contender) {
    return std::string(creation.operation) + " " + contender;
  }

  // Keeps a contender's figure; the library through the ODBC driver goes
  // to a row of its own, named after the store.
  void Keep(const std::string& section, const Store& store, const Size& size,
            const Contender& contender,
            const CreationCase* creation = nullptr) {
    const bool odbc = contender.name == kODBC;
    const std::string what = odbc ? kLibrary : contender.name;
    rows_.push_back({section, odbc ? store.name + kThroughODBC : store.name,
                     size.grants, size.rights,
                     creation ? CreationName(*creation, what) : what,
                     contender.timing});
  }

  // The rows of a section's table: each store, followed by the library
  // through its ODBC driver where that was measured.
  std::vector<std::string> TableStores(const std::string& section) const {
    std::vector<std::string> stores;
    for (const std::string store : kStores) {
      stores.push_back(store);
      const std::string odbc = store + kThroughODBC;
      if (std::ranges::any_of(rows_, [&](const Row& row) {
            return row.section == section && row.store == odbc;
          })) {
        stores.push_back(odbc);
      }
    }
    return stores;
  }

  // The store whose floor and native library a row is measured against:
  // its own, or for a route through ODBC, the store beneath.
  static std::string NativeStore(const std::string& store) {
    return store.ends_with(kThroughODBC)
               ? store.substr(0, store.size() - std::strlen(kThroughODBC))
               : store;
  }

  const Timing* Find(const std::string& section, const std::string& store,
                     std::int64_t grants, std::int64_t rights,
                     const std::string& what) const {
    for (const Row& row : rows_) {
      if (row.section == section && row.store == store &&
          row.grants == grants && row.rights == rights && row.what == what) {
        return &row.timing;
      }
    }
    return nullptr;
  }

  // The median of an access contender; not a number when it was not run.
  double Median(const std::string& store, const Size& size,
                const std::string& what) const {
    const Timing* timing =
        Find("access", store, size.grants, size.rights, what);
    return timing ? timing->median_us : NAN;
  }

  // The median time of a creation through the library over the floor's.
  double CreationRatio(const std::string& store,
                       const CreationCase& creation) const {
    const Timing* library =
        Find("creation", store, 0, 0, CreationName(creation, kLibrary));
    const Timing* floor = Find("creation", NativeStore(store), 0, 0,
                               CreationName(creation, kFloor));
    return library && floor ? library->median_us / floor->median_us : NAN;
  }

  void PrintMachine() const {
    utsname system;
    uname(&system);
    std::cout << "tavikuser_bench, seed " << options_.seed << "\n"
              << "machine: " << FirstLine("/proc/cpuinfo", "model name") << ", "
              << sysconf(_SC_NPROCESSORS_ONLN) << " cores, "
              << static_cast<long long>(sysconf(_SC_PHYS_PAGES)) *
                     sysconf(_SC_PAGESIZE) / (1 << 30)
              << " GiB, Linux " << system.release << "\n"
              << "run on core " << options_.core << " only, with its servers\n"
              << "stores: SQLite " << sqlite3_libversion()
              << ", PostgreSQL server "
              << testing::RunSql(postgres_.ConnInfo("postgres"),
                                 "SHOW server_version")[0][0]
                     .value_or("")
              << ", MariaDB server "
              << mysql_get_server_info(mariadb_.Connect("").get())
              << ", both over loopback\n";
  }

  void PrintAccess() const {
    const std::vector<std::string> contenders{
        kLibrary, kLateBound, kFloor, kListed, kPrevious, kConnectionPerCheck};
    std::cout << "\nAccess check: microseconds per check, median / p99; "
              << Fixed(100.0 * static_cast<double>(granted_) /
                       static_cast<double>(std::max<std::size_t>(asked_, 1)))
              << "% of checks granted\n"
              << Pad("store", kStoreWidth, false) << Pad("grants", 7)
              << Pad("rights", 7) << " |";
    for (const std::string& contender : contenders) {
      std::cout << Pad(contender, 20);
    }
    std::cout << " | lib/floor late/floor conn/lib\n";
    for (const std::string& store : TableStores("access")) {
      for (const Size& size : Sizes()) {
        std::cout << Pad(store, kStoreWidth, false)
                  << Pad(Thousands(size.grants), 7)
                  << Pad(Thousands(size.rights), 7) << " |";
        for (const std::string& contender : contenders) {
          const Timing* timing =
              Find("access", store, size.grants, size.rights, contender);
          std::cout << Pad(
              timing ? Fixed(timing->median_us) + " / " + Fixed(timing->p99_us)
                     : "-",
              20);
        }
        const double floor = Median(NativeStore(store), size, kFloor);
        const double library = Median(store, size, kLibrary);
        std::cout
            << " | " << Pad(Fixed(library / floor, 2), 9)
            << Pad(Fixed(Median(store, size, kLateBound) / floor, 2), 11)
            << Pad(Fixed(Median(store, size, kConnectionPerCheck) / library, 1),
                   9)
            << "\n";
      }
    }
    std::cout << "\nA menu of " << menu_size_ << " rights for one user ("
              << menu_held_ << " held): microseconds per menu, median / p99\n";
    for (const Row& row : rows_) {
      if (row.section != "menu") continue;
      std::cout << Pad(row.store, kStoreWidth, false)
                << Pad(Thousands(row.grants), 7) << " grants  "
                << Pad(row.what, 17, false)
                << Pad(Fixed(row.timing.median_us) + " / " +
                           Fixed(row.timing.p99_us),
                       22)
                << "\n";
    }
    std::cout << "\nMemory: resident KiB before and after many checks, half "
                 "early-, half late-bound (anonymous: not a mapped file)\n";
    for (const MemoryFigure& figure : memory_) {
      std::cout << Pad(figure.store, kStoreWidth, false)
                << Pad(std::to_string(figure.checks), 8)
                << " checks: " << figure.before.total_kib << " -> "
                << figure.after.total_kib << ", anonymous "
                << figure.before.anonymous_kib << " -> "
                << figure.after.anonymous_kib << "\n";
    }
  }

  void PrintCreations() const {
    std::cout << "\nNumbered creation: per second (from the mean), median / "
                 "p99 microseconds\n"
              << Pad("store", kStoreWidth, false) << Pad("operation", 15, false)
              << Pad("library", 26) << Pad("floor", 26) << "  lib/floor\n";
    const auto cell = [](const Timing* timing) {
      return Fixed(1e6 / timing->mean_us, 0) + "/s " +
             Fixed(timing->median_us, 0) + " / " + Fixed(timing->p99_us, 0);
    };
    for (const std::string& store : TableStores("creation")) {
      for (const CreationCase& creation : CreationCases()) {
        std::cout << Pad(store, kStoreWidth, false)
                  << Pad(creation.operation, 15, false)
                  << Pad(cell(Find("creation", store, 0, 0,
                                   CreationName(creation, kLibrary))),
                         26)
                  << Pad(cell(Find("creation", NativeStore(store), 0, 0,
                                   CreationName(creation, kFloor))),
                         26)
                  << Pad(Fixed(CreationRatio(store, creation), 2), 11) << "\n";
      }
    }
  }

  // What the route through ODBC costs: each of its figures beside the
  // native library's, timed in the same rounds.
  void PrintODBCCost() const {
    bool header = false;
    for (const Row& row : rows_) {
      if (!row.store.ends_with(kThroughODBC)) continue;
      const Timing* native = Find(row.section, NativeStore(row.store),
                                  row.grants, row.rights, row.what);
      if (!header) {
        std::cout << "\nThrough ODBC against the native library: "
                     "microseconds, median / p99\n";
        header = true;
      }
      const std::string what = row.section == "access"
                                   ? "check at " + Thousands(row.grants) +
                                         " / " + Thousands(row.rights)
                                   : row.what.substr(0, row.what.find(' '));
      std::cout << Pad(row.store, kStoreWidth, false) << Pad(what, 24, false)
                << Pad(Fixed(row.timing.median_us) + " / " +
                           Fixed(row.timing.p99_us),
                       20)
                << "  native "
                << Pad(Fixed(native->median_us) + " / " + Fixed(native->p99_us),
                       18)
                << "  ODBC/native "
                << Fixed(row.timing.median_us / native->median_us, 2) << "\n";
    }
  }

  // One line per target: the figure, the bound, and whether it holds.
  // A growth target also shows the floor's growth over the same step: what
  // the store itself does, beside what the library adds.
  static void Target(const std::string& what, double figure, double bound,
                     double floor_growth = NAN) {
    std::cout << "  " << Pad(what, 56, false) << Pad(Fixed(figure, 3), 8)
              << "  <= " << Pad(Fixed(bound, 2), 6) << "  "
              << (figure <= bound ? "met" : "MISSED");
    if (!std::isnan(floor_growth)) {
      std::cout << "  (floor: " << Fixed(floor_growth, 3) << ")";
    }
    std::cout << "\n";
  }

  // How much `what` grows from `from` to `to`.
  double Growth(const std::string& store, const Size& from, const Size& to,
                const std::string& what) const {
    return Median(store, to, what) / Median(store, from, what);
  }

  void PrintTargets() const {
    if (options_.quick) return;
    std::cout << "\nTargets, on medians\n";
    for (const std::string store : kStores) {
      if (options_.access) {
        const double floor = Median(store, kLarge, kFloor);
        Target(store + ": library / floor at 1M grants",
               Median(store, kLarge, kLibrary) / floor, 1.15);
        Target(store + ": late-bound / floor at 1M grants",
               Median(store, kLarge, kLateBound) / floor, 1.25);
        Target(store + ": library, 1M over 10k grants",
               Growth(store, kSmall, kLarge, kLibrary), 1.5,
               Growth(store, kSmall, kLarge, kFloor));
        // Flat: within what repeated runs differ by.
        Target(store + ": library, 100k over 1k catalogue rows",
               Growth(store, kFewRights, kManyRights, kLibrary), 1.2,
               Growth(store, kFewRights, kManyRights, kFloor));
      }
      if (options_.creation) {
        for (const CreationCase& creation : CreationCases()) {
          Target(store + ": " + creation.operation + " / floor",
                 CreationRatio(store, creation), 1.3);
        }
      }
    }
    for (const MemoryFigure& figure : memory_) {
      // Flat: no more than a few pages beyond the warm-up.
      Target(figure.store + ": anonymous KiB gained over " +
                 std::to_string(figure.checks) + " checks",
             static_cast<double>(figure.after.anonymous_kib -
                                 figure.before.anonymous_kib),
             256);
    }
  }

  void WriteCsv() const {
    std::ofstream csv(options_.csv);
    csv << "section,store,grants,rights,what,median_us,p99_us,mean_us,calls\n";
    for (const Row& row : rows_) {
      csv << row.section << ',' << row.store << ',' << row.grants << ','
          << row.rights << ',' << row.what << ',' << row.timing.median_us << ','
          << row.timing.p99_us << ',' << row.timing.mean_us << ','
          << row.timing.calls << '\n';
    }
    std::cout << "\nfigures written to " << options_.csv << "\n";
  }

  Options options_;
  PostgresServer& postgres_;
  MariaDBServer& mariadb_;
  std::vector<Row> rows_;
  std::vector<MemoryFigure> memory_;
  int menu_held_ = 0;
  std::size_t menu_size_ = 0;
  std::size_t granted_ = 0;
  std::size_t asked_ = 0;
};

// Runs this process, and the servers it is about to start, on one core. Across
// cores, every round trip to the server wakes the other core, which on a small
// virtual machine costs anything from nothing to several times the check
// itself, depending on what else runs there; on one core all contenders pay the
// same two switches per round trip. Returns the core.
int PinToOneCore() {
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return -1;
  int core = -1;
  for (int c = 0; c < CPU_SETSIZE; ++c) {
    if (CPU_ISSET(c, &allowed)) core = c;
  }
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(core, &one);
  return sched_setaffinity(0, sizeof one, &one) == 0 ? core : -1;
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const bool has_value = i + 1 < argc;
    if (argument == "--quick") {
      options.quick = true;
    } else if (argument == "--only" && has_value) {
      const std::string part = argv[++i];
      options.access = part == "access";
      options.creation = part == "creation";
    } else if (argument == "--seed" && has_value) {
      options.seed = std::stoull(argv[++i]);
    } else if (argument == "--csv" && has_value) {
      options.csv = argv[++i];
    } else if (argument == "--folder" && has_value) {
      options.folder = argv[++i];
    } else {
      throw std::runtime_error(
          "usage: tavikuser_bench [--quick] [--only access|creation] "
          "[--seed N] [--csv FILE] [--folder DIR]");
    }
  }
  return options;
}

}  // namespace
}  // namespace tavikuser::bench

int main(int argc, char** argv) {
  namespace bench = tavikuser::bench;
  try {
    bench::Options options = bench::ParseOptions(argc, argv);
    std::string temporary;
    if (options.folder.empty()) {
      char folder[] = "/tmp/tavik-bench-XXXXXX";
      if (!mkdtemp(folder)) throw std::runtime_error("Cannot create a folder.");
      options.folder = temporary = folder;
    }
    options.core = bench::PinToOneCore();
    bench::Benchmark(options).Run();
    if (!temporary.empty()) std::filesystem::remove_all(temporary);
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "\ntavikuser_bench: " << error.what() << "\n";
    return 1;
  }
}
