// A primary and a synchronous streaming standby on this machine, reached
// through libpq's multi-host connection strings: reads go to the standby,
// writes to the primary and fail on the standby. Then the primary crashes in
// the middle of a stream of numbered creations, the standby is promoted, and
// the creations go on through the same string with the next numbers, losing no
// record whose creation was acknowledged.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "platform/store/store.h"
#include "support/late_bound.h"
#include "tavikuser/errors.h"

namespace tavikuser {
namespace {

using testing::PostgresServer;
using testing::RunSql;

// Creations acknowledged before the crash, and after it.
constexpr int kBefore = 10, kAfter = 10;

// Which server the library's own pooled connection for `store` reaches: its
// port, and whether it is in recovery.
std::string Answering(const std::string& store) {
  const store::Rows rows = store::Borrow(store)->Query(
      "SELECT inet_server_port(), pg_is_in_recovery()", {});
  return rows.at(0).at(0).ToText() +
         (rows.at(0).at(1).ToText() == "1" ? " standby" : " primary");
}

TEST(ClusterTest, ReadsGoToTheStandbyAndCreationsSurviveAFailover) {
  PostgresServer primary;
  const std::string tavik = primary.CreateDatabase(true);
  RunSql(primary.ConnInfo(tavik),
         "INSERT INTO Rights_Master (Rights_No, Rights_Name, "
         "Company_Prefix) VALUES ('R0', 'Read', 'S');"
         "INSERT INTO Access_Control_Rights VALUES ('U0', 'R0');");
  PostgresServer standby(&primary);
  // Synchronous from here on: a commit returns once the standby has it.
  const std::string admin = primary.ConnInfo("postgres");
  RunSql(admin, "ALTER SYSTEM SET synchronous_standby_names = '*'");
  RunSql(admin, "SELECT pg_reload_conf()");
  for (int wait = 0; RunSql(admin,
                            "SELECT count(*) FROM pg_stat_replication WHERE "
                            "sync_state = 'sync'")[0][0] != "1";
       ++wait) {
    ASSERT_LT(wait, 300) << "the standby never streamed synchronously";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  // Both servers, the primary first, asked for a server of `kind`.
  const auto cluster = [&](const std::string& kind) {
    return "Provider=PostgreSQL;Host=127.0.0.1, 127.0.0.1;Port=" +
           primary.port() + "," + standby.port() + ";Database=" + tavik +
           ";User ID=postgres;Connect Timeout=2;"
           "Target Session Attrs=" +
           kind;
  };
  const std::string reader = cluster("prefer-standby");
  const std::string writer = cluster("read-write");
  const std::string standby_only = cluster("standby");

  LateBoundCall check = Prepared(
      "CheckAccessRights.Check_Access_Rights RightsNo=R0 UserNo=U0", reader);
  EXPECT_EQ(check.Run(), "true") << check.ErrDesc();
  // The pool hands out the connection the calls above gave back.
  EXPECT_EQ(Answering(reader), standby.port() + " standby");
  EXPECT_EQ(Answering(standby_only), standby.port() + " standby");

  // A write on the standby is refused with the server's own text, and not
  // tried elsewhere.
  LateBoundCall on_standby = Prepared(
      "Rights.Create_Rights CompanyPrefix=C1 BranchPrefix=B1 DocumentPrefix=RX "
      "RightsName=standby",
      reader);
  EXPECT_EQ(on_standby.Run(), "false");
  EXPECT_EQ(on_standby.ErrDesc(),
            "ERROR:  cannot execute INSERT in a read-only transaction");

  // A creator writes through the primary until kAfter creations are
  // acknowledged after the crash, or a minute has passed: a fault that fails
  // every creation ends here, not in a hang. It keeps the names whose
  // creation was acknowledged (one that failed may have committed all the
  // same).
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::minutes(1);
  const auto in_time = [&] {
    return std::chrono::steady_clock::now() < deadline;
  };
  const NumberedCreation& creation = kCreations[0];
  std::set<std::string> acknowledged;
  std::atomic<bool> crashed = false;
  std::atomic<int> before = 0, after = 0;
  std::string last_failure;
  std::thread creator([&] {
    LateBoundCall call =
        Prepared(std::string(creation.line) +
                     " CompanyPrefix=C1 BranchPrefix=B1 DocumentPrefix=" +
                     creation.document_prefix,
                 writer);
    for (int n = 0; after < kAfter && in_time(); ++n) {
      const bool after_crash = crashed;
      const std::string name = "n" + std::to_string(n);
      call.object->Let(creation.name_property, name);
      // A lost connection whose rollback fails ends as CallError: its
      // commit may or may not have taken place.
      if (call.Run() == "true") {
        acknowledged.insert(name);
        ++(after_crash ? after : before);
      } else {
        last_failure = call.ErrDesc();
        // As a host would, instead of hammering a server that is away.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    }
  });

  while (before < kBefore && in_time()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(Answering(writer), primary.port() + " primary");
  primary.Crash();
  crashed = true;
  standby.Promote();
  creator.join();
  ASSERT_EQ(after, kAfter)
      << "creations acknowledged after the failover within a minute; the "
         "last failure: "
      << last_failure;

  EXPECT_EQ(Answering(writer), standby.port() + " primary");
  // The connection kept from before is answered once by the promoted
  // server, which its answer reports, and then never handed out again: no
  // standby is left to connect to.
  EXPECT_EQ(Answering(standby_only), standby.port() + " primary");
  EXPECT_THROW(Answering(standby_only), DataAccessError);
  EXPECT_EQ(check.Run(), "true") << check.ErrDesc();

  // Numbered on from 1, none twice, none skipped; the counter at the last.
  const std::string stem = creation.Stem();
  const auto rows =
      RunSql(standby.ConnInfo(tavik),
             "SELECT " + stem + "_Identity, " + stem + "_Name FROM " +
                 creation.table + " WHERE Company_Prefix = 'C1' ORDER BY 1");
  std::set<std::string> names;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(rows[i][0], std::to_string(i + 1));
    EXPECT_TRUE(names.insert(*rows[i][1]).second) << *rows[i][1];
  }
  for (const std::string& name : acknowledged) {
    EXPECT_TRUE(names.count(name)) << "acknowledged, yet lost: " << name;
  }
  EXPECT_EQ(RunSql(standby.ConnInfo(tavik),
                   std::string("SELECT Last_No FROM Document_Counter WHERE "
                               "Document_Prefix = '") +
                       creation.document_prefix + "'")[0][0],
            std::to_string(rows.size()));
}

}  // namespace
}  // namespace tavikuser
