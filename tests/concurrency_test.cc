// Several processes, each with a thread per numbered creation that owns its
// object, creating records in two companies at once on one store, while
// other threads check access and look records up. Every call succeeds, or
// fails with its text in ErrDesc having waited out the busy timeout and no
// longer; the numbers of each prefix triple are unique and without gaps;
// every row created is there, whole, once.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/test_store.h"
#include "tavikuser/automation.h"

namespace tavikuser {
namespace {

using testing::Backend;
using testing::TestStore;

constexpr int kProcesses = 3;
constexpr int kCreationsPerThread = 20;
// How long an SQLite connection waits for another writer's lock. A call
// may fail only after waiting that long (SQLite's waiters are not served in
// turn, so under heavy load one can lose every time), and no call may take
// much longer.
constexpr auto kBusyTimeout = std::chrono::seconds(10);
constexpr auto kRollbackTime = std::chrono::seconds(5);

// Columns are named after `stem`: its _No, _Identity and _Name. A second
// property takes the name too (User: the user ID that creation requires),
// so that a row mixed from two calls shows.
struct NumberedCreation {
  const char *progid, *member, *document_prefix, *table, *stem, *name_property,
      *also_named, *also_column;
};

constexpr NumberedCreation kCreations[] = {
    {"TavikUser.Rights", "Create_Rights", "RG", "Rights_Master", "Rights",
     "RightsName", "RightsParent", "Rights_Parent"},
    {"TavikUser.Role", "Create_Role", "RL", "Role_Master", "Role", "RoleName",
     "RoleName", "Role_Name"},
    {"TavikUser.UserGroup", "Create_Group", "GR", "User_Group", "User_Group",
     "GroupName", "GroupDescription", "User_Group_Desc"},
    {"TavikUser.User", "Create_User", "US", "User_Master", "User", "UserName",
     "UserID", "User_ID"},
};
constexpr int kKinds = std::size(kCreations);

// Creations alternate between two companies: C1's numbers go on from 100,
// C2 has none yet.
constexpr const char* kCompanies[] = {"C1", "C2"};
constexpr int kFirstNumber[] = {101, 1};

// The readers: one object each, asking the same question over and over,
// about records outside the companies being numbered.
struct Reader {
  const char *progid, *member, *argument, *properties[4];
};
constexpr Reader kReaders[] = {
    {"TavikUser.CheckAccessRights",
     "Check_Access_Rights",
     nullptr,
     {"RightsNo", "R0", "UserNo", "U0"}},
    {"TavikUser.User", "Get_User", "reader", {}},
    {"TavikUser.User",
     "Get_User_Unique",
     "reader",
     {"CompanyPrefix", "S", "BranchPrefix", "B1"}},
    {"TavikUser.UserGroup", "Get_UserGroup", "G0", {}},
};

// What every process tells the test, in memory they all share.
struct Tally {
  std::atomic<int> created[kKinds][std::size(kCompanies)];
  std::atomic<int> reads;
  // Anything but a success or a failure with its text after waiting out
  // the busy timeout: a failure too soon (a lock that could never be had),
  // without a text, an exception, a call that took longer than a timeout
  // and a rollback.
  std::atomic<int> faults;
  char first_fault[512];

  // Calls `member` on `object`; true when it succeeded.
  bool Call(const ObjectRef& object, const char* member, const char* argument) {
    std::vector<Variant> arguments;
    if (argument) arguments.emplace_back(argument);
    const auto started = std::chrono::steady_clock::now();
    bool succeeded = false;
    std::string fault;
    try {
      succeeded = object->Call(member, arguments).ToBool();
      const auto took = std::chrono::steady_clock::now() - started;
      const std::string err_desc =
          succeeded ? "" : object->Get("ErrDesc").ToText();
      if (!succeeded && (err_desc.empty() || took < kBusyTimeout)) {
        fault = "failed: '" + err_desc + "'";
      } else if (took > kBusyTimeout + kRollbackTime) {
        fault = "took " + std::to_string(took.count()) + " ns";
      }
    } catch (const std::exception& error) {
      fault = std::string("raised ") + error.what();
    }
    if (!fault.empty() && faults++ == 0) {
      std::strncpy(first_fault, (member + (" " + fault)).c_str(),
                   sizeof first_fault - 1);
    }
    return succeeded;
  }
};

// One process's share: its creator threads and, while they work, its
// readers. Objects are created late-bound, one per thread.
void RunProcess(int process, const std::string& connection_string,
                Tally& tally) {
  std::atomic<int> creators_working = kKinds;
  std::vector<std::thread> threads;
  for (int kind = 0; kind < kKinds; ++kind) {
    threads.emplace_back([&, kind] {
      const NumberedCreation& creation = kCreations[kind];
      ObjectRef object = automation::CreateObject(creation.progid);
      object->Let("ADOConnectionString", connection_string);
      object->Let("BranchPrefix", "B1");
      object->Let("DocumentPrefix", creation.document_prefix);
      for (int n = 0; n < kCreationsPerThread; ++n) {
        const std::string name = std::string(kCompanies[n % 2]) + "/p" +
                                 std::to_string(process) + "n" +
                                 std::to_string(n);
        object->Let("CompanyPrefix", kCompanies[n % 2]);
        object->Let(creation.name_property, name);
        object->Let(creation.also_named, name);
        if (tally.Call(object, creation.member, nullptr)) {
          ++tally.created[kind][n % 2];
        }
      }
      --creators_working;
    });
  }
  for (const Reader& reader : kReaders) {
    threads.emplace_back([&] {
      ObjectRef object = automation::CreateObject(reader.progid);
      object->Let("ADOConnectionString", connection_string);
      for (int i = 0; i < 4 && reader.properties[i]; i += 2) {
        object->Let(reader.properties[i], reader.properties[i + 1]);
      }
      while (creators_working > 0) {
        tally.reads += tally.Call(object, reader.member, reader.argument);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}

class ConcurrencyTest : public ::testing::TestWithParam<Backend> {};

TEST_P(ConcurrencyTest, EveryCallEndsCleanlyAndEveryNumberIsIssuedOnce) {
  const std::unique_ptr<TestStore> store = TestStore::Create(GetParam());
  store->Exec(
      "INSERT INTO Rights_Master (Rights_No, Rights_Name, Company_Prefix) "
      "VALUES ('R0', 'Read', 'S');"
      "INSERT INTO Access_Control_Rights VALUES ('U0', 'R0');"
      "INSERT INTO User_Master (User_No, User_ID, User_Name, Company_Prefix, "
      "Branch_Prefix) VALUES ('U0', 'reader', 'Reader', 'S', 'B1');"
      "INSERT INTO User_Group (User_Group_No, User_Group_Name, Company_Prefix, "
      "Last_Update) VALUES ('G0', 'Readers', 'S', '2024-06-30 17:45:01')");
  for (const NumberedCreation& creation : kCreations) {
    store->Exec(
        std::string("INSERT INTO Document_Counter VALUES ('C1', 'B1', '") +
        creation.document_prefix + "', 100)");
  }
  void* shared = mmap(nullptr, sizeof(Tally), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(shared, MAP_FAILED);
  const std::unique_ptr<Tally, void (*)(Tally*)> tally(
      new (shared) Tally(), [](Tally* tally) { munmap(tally, sizeof(Tally)); });

  std::vector<pid_t> children;
  for (int process = 0; process < kProcesses; ++process) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      RunProcess(process, store->connection_string(), *tally);
      _exit(0);  // no destructors: the parent's connections stay its own
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  EXPECT_EQ(tally->faults, 0) << tally->first_fault;
  EXPECT_GT(tally->reads, 0);

  for (int kind = 0; kind < kKinds; ++kind) {
    const NumberedCreation& creation = kCreations[kind];
    for (int company = 0; company < 2; ++company) {
      SCOPED_TRACE(std::string(creation.member) + " " + kCompanies[company]);
      const std::string stem = creation.stem,
                        company_is = std::string(" WHERE Company_Prefix = '") +
                                     kCompanies[company] + "'";
      const std::string triple =
          std::string(kCompanies[company]) + "B1" + creation.document_prefix;
      const testing::Rows rows = store->Query(
          "SELECT " + stem + "_Identity, " + stem +
          "_No, Branch_Prefix, Document_Prefix, " + stem + "_Name, " +
          creation.also_column + " FROM " + creation.table + company_is +
          " ORDER BY " + stem + "_Identity");
      ASSERT_EQ(rows.size(), std::size_t(tally->created[kind][company]));
      std::set<std::string> names;
      for (std::size_t i = 0; i < rows.size(); ++i) {
        // In order, without gaps, each row whole and one that was asked for
        // in its own company, once.
        const std::string number = std::to_string(kFirstNumber[company] + i);
        const std::string name = rows[i][4].value_or("");
        EXPECT_EQ(rows[i], (testing::Rows::value_type{
                               number, triple + number, "B1",
                               creation.document_prefix, name, name}));
        EXPECT_TRUE(name.starts_with(kCompanies[company]));
        EXPECT_TRUE(names.insert(name).second) << name;
      }
      EXPECT_EQ(store->Scalar("SELECT Last_No FROM Document_Counter" +
                              company_is + " AND Document_Prefix = '" +
                              creation.document_prefix + "'"),
                std::to_string(kFirstNumber[company] + rows.size() - 1));
    }
  }
}

TAVIK_ON_EVERY_STORE(OneStore, ConcurrencyTest);

}  // namespace
}  // namespace tavikuser
