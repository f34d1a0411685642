// A primary and a synchronous streaming standby on this machine, reached
// through libpq's multi-host connection strings: reads go to the standby,
// writes to the primary and fail on the standby. Then the primary crashes in
// the middle of a stream of numbered creations, the standby is promoted, and
// the creations go on through the same string with the next numbers, losing
// no record whose creation was acknowledged.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/store/store.h"
#include "support/postgres_server.h"
#include "tavikuser/automation.h"
#include "tavikuser/errors.h"

namespace tavikuser {
namespace {

using Clock = std::chrono::steady_clock;
using testing::OwnServer;
using testing::RunSql;

constexpr char kDatabase[] = "tavik";
// Acknowledged creations per creator before the crash, and after it.
constexpr int kBefore = 10;
constexpr int kAfter = 10;

struct Creation {
  const char* progid;
  const char* member;
  const char* table;
  const char* identity_column;
  const char* name_property;
  const char* name_column;
  const char* document_prefix;
};

constexpr Creation kCreations[] = {
    {"TavikUser.Rights", "Create_Rights", "Rights_Master", "Rights_Identity",
     "RightsName", "Rights_Name", "RG"},
    {"TavikUser.Role", "Create_Role", "Role_Master", "Role_Identity",
     "RoleName", "Role_Name", "RL"},
};

// What one creator saw: the names whose creation was acknowledged, and of
// those that failed, whether they may have committed all the same.
struct Outcomes {
  std::set<std::string> acknowledged;
  std::set<std::string> failed;
  int acknowledged_after_crash = 0;
  Clock::time_point first_after_crash;
  std::string first_failure;
};

bool Call(const ObjectRef& object, const char* member,
          std::vector<Variant> arguments = {}) {
  return object->Call(member, arguments).ToBool();
}

class ClusterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    primary_ = OwnServer::Initialised().release();
    primary_->Start();
    RunSql(primary_->ConnInfo("postgres"),
           std::string("CREATE DATABASE ") + kDatabase);
    RunSql(primary_->ConnInfo(kDatabase),
           testing::ReadFile(TAVIK_SOURCE_DIR "/schema/postgresql.sql") +
               "INSERT INTO Rights_Master (Rights_No, Rights_Name, "
               "Company_Prefix) VALUES ('R0', 'Read', 'S');"
               "INSERT INTO Access_Control_Rights VALUES ('U0', 'R0');"
               "INSERT INTO User_Master (User_No, User_ID, User_Name, "
               "Company_Prefix, Branch_Prefix) VALUES ('U0', 'reader', "
               "'Reader', 'S', 'B1');");
    standby_ = OwnServer::StandbyOf(*primary_).release();
    standby_->Start();
    // Synchronous from here on: a commit returns once the standby has it.
    for (const char* sql : {"ALTER SYSTEM SET synchronous_standby_names = '*'",
                            "SELECT pg_reload_conf()"}) {
      RunSql(primary_->ConnInfo("postgres"), sql);
    }
    for (int wait = 0; wait < 300 && !Synchronous(); ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  static void TearDownTestSuite() {
    delete standby_;
    delete primary_;
  }

  static bool Synchronous() {
    return RunSql(primary_->ConnInfo("postgres"),
                  "SELECT count(*) FROM pg_stat_replication WHERE "
                  "sync_state = 'sync'")[0][0] == "1";
  }

  // Both servers, the primary first, asked for a server of `kind`.
  static std::string ConnectionString(const std::string& kind) {
    return "Provider=PostgreSQL;Host=127.0.0.1, 127.0.0.1;Port=" +
           primary_->port() + "," + standby_->port() +
           ";Database=" + kDatabase + ";User ID=postgres;Connect Timeout=2;" +
           "Target Session Attrs=" + kind;
  }

  // Which server the library's own pooled connection for `connection`
  // reaches: its port, and whether it is in recovery.
  static std::string Answering(const std::string& connection) {
    const store::Rows rows =
        store::Borrow(connection)
            ->Query("SELECT inet_server_port(), pg_is_in_recovery()", {});
    return rows.at(0).at(0).ToText() +
           (rows.at(0).at(1).ToText() == "1" ? " standby" : " primary");
  }

  static OwnServer* primary_;
  static OwnServer* standby_;
};

OwnServer* ClusterTest::primary_ = nullptr;
OwnServer* ClusterTest::standby_ = nullptr;

TEST_F(ClusterTest, ReadsGoToTheStandbyAndAWriteThereChangesNothing) {
  ASSERT_TRUE(Synchronous()) << "the standby never streamed synchronously";
  const std::string reader = ConnectionString("prefer-standby");
  ObjectRef check = automation::CreateObject("TavikUser.CheckAccessRights");
  check->Let("ADOConnectionString", reader);
  check->Let("RightsNo", "R0");
  check->Let("UserNo", "U0");
  EXPECT_TRUE(Call(check, "Check_Access_Rights"))
      << check->Get("ErrDesc").ToText();
  ObjectRef user = automation::CreateObject("TavikUser.User");
  user->Let("ADOConnectionString", reader);
  EXPECT_TRUE(Call(user, "Get_User", {Variant("reader")}))
      << user->Get("ErrDesc").ToText();
  // The pool hands out the connection the calls above gave back.
  EXPECT_EQ(Answering(reader), standby_->port() + " standby");

  ObjectRef rights = automation::CreateObject("TavikUser.Rights");
  rights->Let("ADOConnectionString", reader);
  rights->Let("CompanyPrefix", "C1");
  rights->Let("BranchPrefix", "B1");
  rights->Let("DocumentPrefix", "RX");
  rights->Let("RightsName", "on the standby");
  EXPECT_FALSE(Call(rights, "Create_Rights"));
  EXPECT_EQ(rights->Get("ErrDesc").ToText(),
            "ERROR:  cannot execute INSERT in a read-only transaction");
  EXPECT_EQ(RunSql(primary_->ConnInfo(kDatabase),
                   "SELECT (SELECT count(*) FROM Document_Counter WHERE "
                   "Document_Prefix = 'RX') + (SELECT count(*) FROM "
                   "Rights_Master WHERE Rights_Name = 'on the standby')")[0][0],
            "0");
}

TEST_F(ClusterTest, CreationsGoOnAfterAFailoverWithTheNextNumbers) {
  ASSERT_TRUE(Synchronous()) << "the standby never streamed synchronously";
  const std::string writer = ConnectionString("read-write");
  const std::string standby_only = ConnectionString("standby");
  EXPECT_EQ(Answering(standby_only), standby_->port() + " standby");

  std::atomic<bool> crashed = false;
  std::atomic<int> creators_working = std::size(kCreations);
  std::atomic<int> acknowledged_before = 0;
  std::atomic<int> reads = 0, failed_reads = 0;
  Clock::time_point crash_time;
  std::vector<Outcomes> outcomes(std::size(kCreations));
  std::vector<std::thread> threads;
  for (std::size_t kind = 0; kind < std::size(kCreations); ++kind) {
    threads.emplace_back([&, kind] {
      const Creation& creation = kCreations[kind];
      Outcomes& seen = outcomes[kind];
      ObjectRef object = automation::CreateObject(creation.progid);
      object->Let("ADOConnectionString", writer);
      object->Let("CompanyPrefix", "C1");
      object->Let("BranchPrefix", "B1");
      object->Let("DocumentPrefix", creation.document_prefix);
      for (int n = 0; seen.acknowledged_after_crash < kAfter; ++n) {
        const bool after_crash = crashed;
        const std::string name = "n" + std::to_string(n);
        object->Let(creation.name_property, name);
        std::string failure;
        try {
          if (!Call(object, creation.member)) {
            failure = object->Get("ErrDesc").ToText();
          }
        } catch (const Error& error) {
          // A lost connection whose rollback fails: its commit may or may
          // not have taken place.
          failure = std::string("raised: ") + error.what();
        }
        if (failure.empty()) {
          seen.acknowledged.insert(name);
          if (!after_crash) {
            ++acknowledged_before;
          } else if (seen.acknowledged_after_crash++ == 0) {
            seen.first_after_crash = Clock::now();
          }
        } else {
          seen.failed.insert(name);
          if (seen.first_failure.empty()) seen.first_failure = failure;
          // As a host would, instead of hammering a server that is away.
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
      }
      --creators_working;
    });
  }
  threads.emplace_back([&] {
    ObjectRef check = automation::CreateObject("TavikUser.CheckAccessRights");
    check->Let("ADOConnectionString", ConnectionString("prefer-standby"));
    check->Let("RightsNo", "R0");
    check->Let("UserNo", "U0");
    while (creators_working > 0) {
      ++reads;
      if (!Call(check, "Check_Access_Rights")) ++failed_reads;
    }
  });

  while (acknowledged_before < kBefore * int(std::size(kCreations))) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(Answering(writer), primary_->port() + " primary");
  crash_time = Clock::now();
  primary_->Crash();
  crashed = true;
  standby_->Promote();
  const auto promoted = Clock::now() - crash_time;
  for (std::thread& thread : threads) thread.join();

  EXPECT_EQ(Answering(writer), standby_->port() + " primary");
  // The connection kept from before is answered once by the promoted
  // server, which its answer reports, and then never handed out again: no
  // standby is left to connect to.
  EXPECT_EQ(Answering(standby_only), standby_->port() + " primary");
  EXPECT_THROW(Answering(standby_only), DataAccessError);
  EXPECT_EQ(failed_reads, 0);

  const auto ms = [](Clock::duration duration) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(duration)
        .count();
  };
  Clock::duration failover{};
  int failed_calls = 0, lost = 0, committed_unacknowledged = 0;
  for (std::size_t kind = 0; kind < std::size(kCreations); ++kind) {
    const Creation& creation = kCreations[kind];
    const Outcomes& seen = outcomes[kind];
    SCOPED_TRACE(creation.member);
    failover = std::max(failover, seen.first_after_crash - crash_time);
    failed_calls += seen.failed.size();
    const auto rows =
        RunSql(standby_->ConnInfo(kDatabase),
               std::string("SELECT ") + creation.identity_column + ", " +
                   creation.name_column + " FROM " + creation.table +
                   " WHERE Company_Prefix = 'C1' ORDER BY " +
                   creation.identity_column);
    std::set<std::string> names;
    for (std::size_t i = 0; i < rows.size(); ++i) {
      // Numbered on from 1, none twice, none skipped.
      EXPECT_EQ(rows[i][0], std::to_string(i + 1));
      EXPECT_TRUE(names.insert(rows[i][1]).second) << rows[i][1];
      committed_unacknowledged += seen.failed.count(rows[i][1]);
      EXPECT_TRUE(seen.acknowledged.count(rows[i][1]) ||
                  seen.failed.count(rows[i][1]))
          << rows[i][1];
    }
    for (const std::string& name : seen.acknowledged) {
      if (!names.count(name)) ++lost;
    }
    EXPECT_EQ(RunSql(standby_->ConnInfo(kDatabase),
                     std::string("SELECT Last_No FROM Document_Counter WHERE "
                                 "Document_Prefix = '") +
                         creation.document_prefix + "'")[0][0],
              std::to_string(rows.size()));
    if (!seen.first_failure.empty()) {
      std::cout << creation.member
                << " first failed with: " << seen.first_failure << "\n";
    }
  }
  EXPECT_EQ(lost, 0);
  RecordProperty("promotion_ms", std::to_string(ms(promoted)));
  RecordProperty("failover_ms", std::to_string(ms(failover)));
  RecordProperty("failed_calls", failed_calls);
  RecordProperty("reads", reads);
  std::cout << "promotion " << ms(promoted) << " ms, failover seen by the host "
            << ms(failover) << " ms, failed creations " << failed_calls
            << " (of which committed " << committed_unacknowledged
            << "), reads " << reads << " (failed " << failed_reads
            << "), acknowledged records lost " << lost << "\n";
}

}  // namespace
}  // namespace tavikuser
