// Several processes, each with several threads that own one object apiece,
// creating records through every numbered creation at once on one store,
// while other threads check access and look records up. Every call succeeds,
// or fails with its text in ErrDesc having waited out the busy timeout and
// no longer; the numbers of each prefix triple are unique and without gaps;
// every row created is there, whole, once.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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
constexpr int kThreadsPerCreation = 1;  // in each process
constexpr int kCreationsPerThread = 20;
// How long an SQLite connection waits for another writer's lock. A call
// may fail only after waiting that long (SQLite's waiters are not served in
// turn, so under heavy load one can lose every time), and no call may take
// much longer.
constexpr auto kBusyTimeout = std::chrono::seconds(10);
constexpr auto kRollbackTime = std::chrono::seconds(5);

struct NumberedCreation {
  const char* progid;
  const char* member;
  const char* document_prefix;
  const char* table;
  const char* key_column;
  const char* identity_column;
  const char* name_property;
  const char* name_column;
  // User: the name also goes into the user ID, which creation requires.
  bool name_is_user_id = false;
};

constexpr NumberedCreation kCreations[] = {
    {"TavikUser.Rights", "Create_Rights", "RG", "Rights_Master", "Rights_No",
     "Rights_Identity", "RightsName", "Rights_Name"},
    {"TavikUser.Role", "Create_Role", "RL", "Role_Master", "Role_No",
     "Role_Identity", "RoleName", "Role_Name"},
    {"TavikUser.UserGroup", "Create_Group", "GR", "User_Group", "User_Group_No",
     "User_Group_Identity", "GroupName", "User_Group_Name"},
    {"TavikUser.User", "Create_User", "US", "User_Master", "User_No",
     "User_Identity", "UserName", "User_Name", true},
};
constexpr int kKinds = std::size(kCreations);

// Creations alternate between two companies: C1's numbers go on from 100,
// C2 has none yet.
constexpr const char* kCompanies[] = {"C1", "C2"};
constexpr int kFirstNumber[] = {101, 1};

// The readers: one object each, asking the same question over and over.
struct Reader {
  const char* progid;
  std::vector<std::pair<const char*, const char*>> properties;
  const char* member;
  const char* argument;  // or null
};

const std::vector<Reader>& Readers() {
  static const std::vector<Reader> readers = {
      {"TavikUser.CheckAccessRights",
       {{"RightsNo", "R0"}, {"UserNo", "U0"}},
       "Check_Access_Rights",
       nullptr},
      {"TavikUser.User", {}, "Get_User", "reader"},
      {"TavikUser.User",
       {{"CompanyPrefix", "S"}, {"BranchPrefix", "B1"}},
       "Get_User_Unique",
       "reader"},
      {"TavikUser.UserGroup", {}, "Get_UserGroup", "G0"},
  };
  return readers;
}

// What every process tells the test, in memory they all share.
struct Tally {
  std::atomic<int> created[kKinds][std::size(kCompanies)];
  std::atomic<int> reads;
  // Calls that failed with their text after waiting out the busy timeout.
  std::atomic<int> timed_out;
  // Anything else that was not a success: a failure without a text or
  // before the timeout (a lock that could never be had), an exception.
  std::atomic<int> faults;
  std::atomic<long long> longest_call_ms;
  std::atomic<bool> first_fault_taken;
  char first_fault[512];

  void Fault(const std::string& what) {
    ++faults;
    if (!first_fault_taken.exchange(true)) {
      std::strncpy(first_fault, what.c_str(), sizeof first_fault - 1);
    }
  }
};

// Calls `member` on `object`; true when it succeeded.
bool Call(const ObjectRef& object, const char* member, const char* argument,
          Tally& tally) {
  std::vector<Variant> arguments;
  if (argument) arguments.emplace_back(argument);
  const auto started = std::chrono::steady_clock::now();
  bool succeeded = false;
  std::string failure;
  try {
    succeeded = object->Call(member, arguments).ToBool();
    if (!succeeded) failure = object->Get("ErrDesc").ToText();
  } catch (const std::exception& error) {
    tally.Fault(std::string(member) + " raised " + error.what());
    return false;
  }
  const auto took = std::chrono::steady_clock::now() - started;
  if (!succeeded) {
    if (failure.empty() || took < kBusyTimeout) {
      tally.Fault(std::string(member) + " failed: '" + failure + "'");
    } else {
      ++tally.timed_out;
    }
  }
  const long long ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(took).count();
  long long longest = tally.longest_call_ms;
  while (ms > longest &&
         !tally.longest_call_ms.compare_exchange_weak(longest, ms)) {
  }
  return succeeded;
}

std::string RecordName(int process, int thread, int creation) {
  return "p" + std::to_string(process) + "t" + std::to_string(thread) + "n" +
         std::to_string(creation);
}

// One process's share: its creator threads and, while they work, its
// readers. Objects are created late-bound, one per thread.
void RunProcess(int process, const std::string& connection_string,
                Tally& tally) {
  std::atomic<int> creators_working = kKinds * kThreadsPerCreation;
  std::vector<std::thread> threads;
  for (int kind = 0; kind < kKinds; ++kind) {
    for (int thread = 0; thread < kThreadsPerCreation; ++thread) {
      threads.emplace_back([&, kind, thread] {
        const NumberedCreation& creation = kCreations[kind];
        ObjectRef object = automation::CreateObject(creation.progid);
        object->Let("ADOConnectionString", connection_string);
        object->Let("BranchPrefix", "B1");
        object->Let("DocumentPrefix", creation.document_prefix);
        for (int n = 0; n < kCreationsPerThread; ++n) {
          const int company = n % 2;
          const std::string name = RecordName(process, thread, n);
          object->Let("CompanyPrefix", kCompanies[company]);
          object->Let(creation.name_property, name);
          if (creation.name_is_user_id) object->Let("UserID", name);
          if (Call(object, creation.member, nullptr, tally)) {
            ++tally.created[kind][company];
          }
        }
        --creators_working;
      });
    }
  }
  for (const Reader& reader : Readers()) {
    threads.emplace_back([&] {
      ObjectRef object = automation::CreateObject(reader.progid);
      object->Let("ADOConnectionString", connection_string);
      for (const auto& [property, value] : reader.properties) {
        object->Let(property, value);
      }
      while (creators_working > 0) {
        tally.reads += Call(object, reader.member, reader.argument, tally);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}

class ConcurrencyTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    store_ = TestStore::Create(GetParam());
    // What the readers ask for, outside the companies being numbered.
    store_->Exec(
        "INSERT INTO Rights_Master (Rights_No, Rights_Name, Company_Prefix) "
        "VALUES ('R0', 'Read', 'S')");
    store_->Exec("INSERT INTO Access_Control_Rights VALUES ('U0', 'R0')");
    store_->Exec(
        "INSERT INTO User_Master (User_No, User_ID, User_Name, "
        "Company_Prefix, Branch_Prefix) VALUES ('U0', 'reader', 'Reader', "
        "'S', 'B1')");
    store_->Exec(
        "INSERT INTO User_Group (User_Group_No, User_Group_Name, "
        "Company_Prefix, Last_Update) VALUES ('G0', 'Readers', 'S', "
        "'2024-06-30 17:45:01')");
    for (const NumberedCreation& creation : kCreations) {
      store_->Exec(std::string("INSERT INTO Document_Counter VALUES ('C1', ") +
                   "'B1', '" + creation.document_prefix + "', 100)");
    }
    void* shared = mmap(nullptr, sizeof(Tally), PROT_READ | PROT_WRITE,
                        MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(shared, MAP_FAILED);
    tally_ = new (shared) Tally();
  }

  void TearDown() override {
    if (tally_) munmap(tally_, sizeof(Tally));
  }

  std::unique_ptr<TestStore> store_;
  Tally* tally_ = nullptr;
};

TEST_P(ConcurrencyTest, EveryCallEndsCleanlyAndEveryNumberIsIssuedOnce) {
  std::vector<pid_t> children;
  for (int process = 0; process < kProcesses; ++process) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      RunProcess(process, store_->connection_string(), *tally_);
      _exit(0);  // no destructors: the parent's connections stay its own
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "a process ended abnormally: " << status;
  }

  const Tally& tally = *tally_;
  EXPECT_EQ(tally.faults, 0) << tally.first_fault;
  EXPECT_GT(tally.reads, 0);
  RecordProperty("reads", tally.reads);
  RecordProperty("timed_out", tally.timed_out);
  RecordProperty("longest_call_ms", std::to_string(tally.longest_call_ms));
  // A call that timed out has waited the busy timeout and then rolled back.
  EXPECT_LT(tally.longest_call_ms,
            std::chrono::milliseconds(kBusyTimeout + kRollbackTime).count());

  for (int kind = 0; kind < kKinds; ++kind) {
    const NumberedCreation& creation = kCreations[kind];
    for (int company = 0; company < 2; ++company) {
      SCOPED_TRACE(std::string(creation.member) + " " + kCompanies[company]);
      const std::string triple =
          std::string(kCompanies[company]) + "B1" + creation.document_prefix;
      const testing::Rows rows = store_->Query(
          std::string("SELECT ") + creation.identity_column + ", " +
          creation.key_column + ", " + creation.name_column +
          ", Branch_Prefix, Document_Prefix" +
          (creation.name_is_user_id ? ", User_ID" : ", NULL") + " FROM " +
          creation.table + " WHERE Company_Prefix = '" + kCompanies[company] +
          "' ORDER BY " + creation.identity_column);
      ASSERT_EQ(rows.size(), std::size_t(tally.created[kind][company]));
      std::set<std::string> names;
      for (std::size_t i = 0; i < rows.size(); ++i) {
        const auto& row = rows[i];
        const std::string number = std::to_string(kFirstNumber[company] + i);
        EXPECT_EQ(*row[0], number);  // in order, without gaps
        EXPECT_EQ(*row[1], triple + number);
        EXPECT_EQ(*row[3], "B1");
        EXPECT_EQ(*row[4], creation.document_prefix);
        if (creation.name_is_user_id) {
          EXPECT_EQ(row[5], row[2]);
        }
        names.insert(*row[2]);
      }
      std::set<std::string> attempted;
      for (int process = 0; process < kProcesses; ++process) {
        for (int thread = 0; thread < kThreadsPerCreation; ++thread) {
          for (int n = company; n < kCreationsPerThread; n += 2) {
            attempted.insert(RecordName(process, thread, n));
          }
        }
      }
      // Each row once, and each one a creation that was asked for.
      EXPECT_EQ(names.size(), rows.size());
      EXPECT_TRUE(std::includes(attempted.begin(), attempted.end(),
                                names.begin(), names.end()));
      EXPECT_EQ(
          store_->Scalar(std::string("SELECT Last_No FROM ") +
                         "Document_Counter WHERE Company_Prefix = '" +
                         kCompanies[company] + "' AND Document_Prefix = '" +
                         creation.document_prefix + "'"),
          std::to_string(kFirstNumber[company] + rows.size() - 1));
    }
  }
}

TAVIK_ON_EVERY_STORE(OneStore, ConcurrencyTest);

}  // namespace
}  // namespace tavikuser
