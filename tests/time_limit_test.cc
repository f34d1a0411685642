// Every wait on a store ends at its limit, with a text that says what was
// waited for: a lock that another session holds, a statement that runs on, a
// server process that stopped, a server that accepts and never answers. The
// limits are set small in the connection strings, so each wait is short.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/store/connection_string.h"
#include "platform/store/store.h"
#include "support/test_store.h"
#include "tavikuser/check_access_rights.h"
#include "tavikuser/errors.h"
#include "tavikuser/rights.h"

namespace tavikuser {
namespace {

using std::chrono::steady_clock;
using testing::Backend;
using testing::TestStore;

// Each wait below is limited to a second or two: far less than this.
constexpr auto kBound = std::chrono::seconds(6);

// The text of the DataAccessError that `step` throws, and that it threw
// within kBound.
std::string BoundedFailure(const std::function<void()>& step) {
  const auto started = steady_clock::now();
  std::string text = "no DataAccessError";
  try {
    step();
  } catch (const DataAccessError& error) {
    text = error.what();
  }
  EXPECT_LT(steady_clock::now() - started, kBound) << text;
  return text;
}

class TimeLimitTest : public ::testing::TestWithParam<Backend> {
 protected:
  bool OnSQLite() const { return GetParam() == Backend::kSQLite; }
  const testing::BackendTraits& traits() const {
    return testing::Traits(GetParam());
  }
  std::string Limited(const std::string& limits) const {
    return store_->connection_string() + ";" + limits;
  }

  const std::unique_ptr<TestStore> store_ = TestStore::Create(GetParam());
};

// Another session holds the counter row (on SQLite, the write lock): the
// creation ends at the Lock Timeout, and succeeds once the lock is gone.
TEST_P(TimeLimitTest, ACounterRowHeldElsewhereEndsTheCreationAtTheLockTimeout) {
  store_->Exec("INSERT INTO Document_Counter VALUES ('C1', 'B1', 'RG', 44)");
  sqlite3* holder = nullptr;
  if (OnSQLite()) {
    sqlite3_open(store::ParseConnectionString(store_->connection_string())
                     .parameters.c_str(),
                 &holder);
    ASSERT_EQ(
        sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr),
        SQLITE_OK);
  } else {
    store_->Exec("BEGIN; SELECT * FROM Document_Counter FOR UPDATE");
  }
  Rights rights;
  rights.ADOConnectionString(Limited("Lock Timeout=1"));
  rights.CompanyPrefix("C1");
  rights.BranchPrefix("B1");
  rights.DocumentPrefix("RG");
  rights.RightsName("Post journals");
  const auto started = steady_clock::now();
  EXPECT_FALSE(rights.Create_Rights());
  EXPECT_LT(steady_clock::now() - started, kBound);
  EXPECT_NE(rights.ErrDesc().find(traits().lock_timeout_text),
            std::string::npos)
      << rights.ErrDesc();

  if (OnSQLite()) {
    sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(holder);
  } else {
    store_->Exec("COMMIT");
  }
  EXPECT_TRUE(rights.Create_Rights()) << rights.ErrDesc();
  EXPECT_EQ(store_->Scalar("SELECT Last_No FROM Document_Counter"), "45");
}

// A statement that would run for ever ends at the Command Timeout, and its
// connection serves the next statement.
TEST_P(TimeLimitTest, AStatementEndsAtTheCommandTimeout) {
  store::Lease lease = store::Borrow(Limited("Command Timeout=1"));
  EXPECT_NE(BoundedFailure([&] {
              lease->Query(traits().endless, {});
            }).find(traits().command_timeout_text),
            std::string::npos);
  EXPECT_EQ(lease->Query("SELECT 1", {}), store::Rows{{store::Value(1)}});
}

TAVIK_ON_EVERY_STORE(Stores, TimeLimitTest);

// Continues a stopped process when it goes, so that no test leaves a server
// process stopped.
class Stopped {
 public:
  explicit Stopped(pid_t pid) : pid_(pid) { kill(pid_, SIGSTOP); }
  ~Stopped() { kill(pid_, SIGCONT); }

 private:
  pid_t pid_;
};

// The server process behind a pooled connection stops: a call ends at the
// Command Timeout and a grace, its connection is given up, and once the
// process runs again the next call works on a fresh one. Stopped inside a
// transaction, the transaction counts as rolled back (its connection is
// closed before anything else is sent), unless the commit was awaited.
TEST(StoppedServerTest, ACallEndsAtTheCommandTimeoutAndItsConnectionGoes) {
  auto store = TestStore::Create(Backend::kPostgreSQL);
  store->Exec(
      "INSERT INTO Rights_Master (Rights_No) VALUES ('R-POST');"
      "INSERT INTO Access_Control_Rights (User_No, Rights_No) VALUES "
      "('U-ANN', 'R-POST')");
  const std::string limited = store->connection_string() + ";Command Timeout=1";
  const auto backend = [](store::Lease& lease) {
    return static_cast<pid_t>(
        *lease->Query("SELECT pg_backend_pid()", {}).at(0).at(0).integer());
  };
  CheckAccessRights check;
  check.ADOConnectionString(limited);
  check.UserNo("U-ANN");
  check.RightsNo("R-POST");
  {
    pid_t pooled;
    {
      store::Lease lease = store::Borrow(limited);
      pooled = backend(lease);
    }
    const Stopped stopped(pooled);
    const auto started = steady_clock::now();
    EXPECT_FALSE(check.Check_Access_Rights());
    EXPECT_LT(steady_clock::now() - started, kBound);
    EXPECT_NE(
        check.ErrDesc().find("no answer within the Command Timeout of 1 s"),
        std::string::npos)
        << check.ErrDesc();
  }
  EXPECT_TRUE(check.Check_Access_Rights()) << check.ErrDesc();

  for (const bool at_commit : {false, true}) {
    store::Lease lease = store::Borrow(limited);
    const pid_t pid = backend(lease);
    lease->Begin();
    const Stopped stopped(pid);
    BoundedFailure([&] {
      if (at_commit) {
        lease->Commit();
      } else {
        lease->Execute("DELETE FROM Access_Control_Rights", {});
      }
    });
    EXPECT_EQ(
        BoundedFailure([&] { lease->Rollback(); }) == "no DataAccessError",
        !at_commit);
    EXPECT_FALSE(lease->Reusable());
  }
  EXPECT_EQ(store->Scalar("SELECT COUNT(*) FROM Access_Control_Rights"), "1");
}

// A server that accepts the connection and never answers: opening ends at
// the Connect Timeout (libpq waits two seconds at the least).
TEST(UnansweringServerTest, OpeningEndsAtTheConnectTimeout) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  ASSERT_EQ(
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string text = BoundedFailure([&] {
    store::Borrow("Provider=PostgreSQL;Host=127.0.0.1;Port=" +
                  std::to_string(ntohs(address.sin_port)) +
                  ";Database=books;User ID=clerk;Connect Timeout=1");
  });
  EXPECT_NE(text.find("the Connect Timeout of 1 s"), std::string::npos) << text;
  close(listener);
}

}  // namespace
}  // namespace tavikuser
