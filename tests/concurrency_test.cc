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
#include <new>
#include <set>
#include <thread>

#include "support/late_bound.h"

namespace tavikuser {
namespace {

constexpr int kProcesses = 3;
constexpr int kCreationsPerThread = 20;
// How long an SQLite connection waits for another writer's lock. A call
// may fail only after waiting that long (SQLite's waiters are not served in
// turn, so under heavy load one can lose every time), and no call may take
// longer than that and a rollback.
constexpr auto kBusyTimeout = std::chrono::seconds(10);
constexpr auto kLongest = kBusyTimeout + std::chrono::seconds(5);

constexpr int kKinds = std::size(kCreations);

// Creations alternate between two companies: C1's numbers go on from 100,
// C2 has none yet.
constexpr const char* kCompanies[] = {"C1", "C2"};
constexpr int kFirstNumber[] = {101, 1};

// The readers, each asking the same question over and over, about records
// outside the companies being numbered.
constexpr const char* kReaders[] = {
    "CheckAccessRights.Check_Access_Rights RightsNo=S UserNo=S",
    "User.Get_User (S)",
    "User.Get_User_Unique CompanyPrefix=S BranchPrefix=S (S)",
    "UserGroup.Get_UserGroup (S)"};

// What every process tells the test, in memory they all share.
struct Tally {
  std::atomic<int> created[kKinds][std::size(kCompanies)];
  std::atomic<int> reads, faults;
  char first_fault[512];

  // Runs the call; true when it succeeded. Anything else but a failure
  // with its text after waiting out the busy timeout is a fault: a failure
  // too soon (a lock that could never be had) or without a text, an error
  // of the call, a call that took too long.
  bool Call(LateBoundCall& call) {
    const auto started = std::chrono::steady_clock::now();
    const std::string outcome = call.Run();
    const auto took = std::chrono::steady_clock::now() - started;
    const std::string err_desc = outcome == "false" ? call.ErrDesc() : "";
    const std::string fault =
        outcome != "true" && (err_desc.empty() || took < kBusyTimeout)
            ? outcome + " '" + err_desc + "'"
        : took > kLongest ? "took " + std::to_string(took.count()) + " ns"
                          : "";
    if (!fault.empty() && faults++ == 0) {
      std::strncpy(first_fault, (call.member + " " + fault).c_str(),
                   sizeof first_fault - 1);
    }
    return outcome == "true";
  }
};

// One process's share: its creator threads and, while they work, its
// readers, each thread with an object of its own.
void RunProcess(int process, const std::string& connection_string,
                Tally& tally) {
  std::atomic<int> creators_working = kKinds;
  std::vector<std::thread> threads;
  for (int kind = 0; kind < kKinds; ++kind) {
    threads.emplace_back([&, kind] {
      const NumberedCreation& creation = kCreations[kind];
      LateBoundCall call = Prepared(
          std::string(creation.line) +
              " BranchPrefix=B1 DocumentPrefix=" + creation.document_prefix,
          connection_string);
      for (int n = 0; n < kCreationsPerThread; ++n) {
        const std::string name = std::string(kCompanies[n % 2]) + "/p" +
                                 std::to_string(process) + "n" +
                                 std::to_string(n);
        call.object->Let("CompanyPrefix", kCompanies[n % 2]);
        call.object->Let(creation.name_property, name);
        call.object->Let(creation.also_named, name);
        tally.created[kind][n % 2] += tally.Call(call);
      }
      --creators_working;
    });
  }
  for (const char* reader : kReaders) {
    threads.emplace_back([&, reader] {
      LateBoundCall call = Prepared(reader, connection_string);
      while (creators_working > 0) tally.reads += tally.Call(call);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

class ConcurrencyTest : public ::testing::TestWithParam<testing::Backend> {};

TEST_P(ConcurrencyTest, EveryCallEndsCleanlyAndEveryNumberIsIssuedOnce) {
  const auto store = testing::TestStore::Create(GetParam());
  std::string sql = RowsUnder("S", "'reader'");
  for (const NumberedCreation& creation : kCreations) {
    sql += std::string("INSERT INTO Document_Counter VALUES ('C1', 'B1', '") +
           creation.document_prefix + "', 100);";
  }
  store->Exec(sql);
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
      SCOPED_TRACE(std::string(creation.line) + " " + kCompanies[company]);
      const std::string stem = creation.Stem(),
                        company_is = std::string(" WHERE Company_Prefix = '") +
                                     kCompanies[company] + "'";
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
                               number,
                               kCompanies[company] +
                                   ("B1" + (creation.document_prefix + number)),
                               "B1", creation.document_prefix, name, name}));
        EXPECT_TRUE(name.starts_with(kCompanies[company]) &&
                    names.insert(name).second)
            << name;
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
