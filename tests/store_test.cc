// The seam to the stores, on each store: values keep their kinds, pooled
// connections keep their statements and follow a schema that another
// connection changed, writers queue, waits end at their limits, and a
// failure leaves nothing open.
#include "platform/store/store.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <limits>

#include "support/test_store.h"
#include "tavikuser/errors.h"

namespace tavikuser::store {
namespace {

using tavikuser::testing::Backend;
using tavikuser::testing::TestStore;
using ::testing::HasSubstr;

// The text of the DataAccessError that `run` throws, within far less than
// the limits of a second that the tests set.
template <class Run>
std::string Failure(Run run) {
  const auto started = std::chrono::steady_clock::now();
  try {
    run();
    ADD_FAILURE() << "no DataAccessError";
  } catch (const DataAccessError& error) {
    EXPECT_LT(std::chrono::steady_clock::now() - started,
              std::chrono::seconds(6));
    return error.what();
  }
  return {};
}

class StoreTest : public ::testing::TestWithParam<Backend> {
 protected:
  const tavikuser::testing::BackendTraits& traits() const {
    return tavikuser::testing::Traits(GetParam());
  }
  Lease Borrowed(const std::string& limits = "") const {
    return Borrow(store_->connection_string() + limits);
  }

  const std::unique_ptr<TestStore> store_ = TestStore::Create(GetParam());
};

// SQLite keeps what it is given in columns of no declared type: a value
// bound in another kind would come back in that kind.
TEST_P(StoreTest, ValuesComeBackInTheirKinds) {
  store_->Exec(traits().typeless
                   ? "CREATE TABLE V (i, r, t, n, d DATETIME)"
                   : std::string("CREATE TABLE V (i bigint, r double "
                                 "precision, t text, n text, d ") +
                         traits().date_time + ")");
  const std::int64_t wide = (std::int64_t{1} << 40) + 3;
  const DateTime date = DateTime::FromCalendar({2024, 2, 29, 23, 59, 59, 999});
  // Longer than one piece a driver hands over at a time.
  const std::string text = "it's " + std::string(5000, 'x') + " «茶»";
  Lease lease = Borrowed();
  const char* insert = "INSERT INTO V VALUES (?, ?, ?, ?, ?)";
  EXPECT_EQ(lease->Execute(insert, {wide, 0.1, text, Value(), date}), 1);

  const Rows rows = lease->Query("SELECT i, r, t, n, d FROM V", {});
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0][0], Value(wide));
  EXPECT_EQ(rows[0][1], Value(0.1));
  EXPECT_EQ(rows[0][2], Value(text));
  EXPECT_TRUE(rows[0][3].is_null());
  // SQLite keeps the date as ISO text; the server as its own date-time.
  EXPECT_EQ(rows[0][4].ToDate(), date);
  EXPECT_EQ(lease->Query("SELECT 1 = 1", {}), Rows{{Value(1)}});

  EXPECT_THAT(Failure([&] {
                lease->Execute(
                    insert, {1, 1.0, std::string("a\0b", 3), Value(), Value()});
              }),
              HasSubstr("NUL"));
  EXPECT_EQ(store_->Scalar("SELECT COUNT(*) FROM V"), "1");
}

// The pool hands out the same connection, which runs its statement without
// preparing it again, until another connection rebuilds the table with its
// columns in another order: the statement then reads the new table (on the
// server, by preparing again what it will not run as prepared).
TEST_P(StoreTest, APooledStatementFollowsATableRebuiltElsewhere) {
  store_->Exec(
      "CREATE TABLE T (a INTEGER, b TEXT); INSERT INTO T VALUES "
      "(1, 'x')");
  const Connection* pooled;
  std::size_t prepared;
  {
    Lease lease = Borrowed();
    pooled = &*lease;
    EXPECT_EQ(lease->Query("SELECT * FROM T", {}), (Rows{{1, "x"}}));
    prepared = lease->statements_prepared();
  }
  Lease lease = Borrowed();
  ASSERT_EQ(&*lease, pooled);
  EXPECT_EQ(lease->Query("SELECT * FROM T", {}), (Rows{{1, "x"}}));
  EXPECT_EQ(lease->statements_prepared(), prepared);

  store_->Exec(
      "DROP TABLE T; CREATE TABLE T (b TEXT, a INTEGER); INSERT INTO T "
      "VALUES ('y', 2)");
  if (!traits().follows_rebuilt_tables) return;
  EXPECT_EQ(lease->Query("SELECT * FROM T", {}), (Rows{{"y", 2}}));

  // Inside a transaction the server's refusal spoils the transaction and
  // goes to the caller; the next transaction reads the table.
  store_->Exec(
      "ALTER TABLE T RENAME TO Old; CREATE TABLE T (a INTEGER, b TEXT); "
      "INSERT INTO T VALUES (3, 'z')");
  lease->Begin();
  if (traits().prepares_again_in_transaction) {
    EXPECT_EQ(lease->Query("SELECT * FROM T", {}), (Rows{{3, "z"}}));
  } else {
    EXPECT_THROW(lease->Query("SELECT * FROM T", {}), DataAccessError);
  }
  lease->Rollback();
  lease->Begin();
  EXPECT_EQ(lease->Query("SELECT * FROM T", {}), (Rows{{3, "z"}}));
  lease->Commit();
}

// Two creators never read the same number: the second waits for the first
// to commit (SQLite at its Begin, the server at the counter row); one that
// may wait a second only fails at its Lock Timeout, saying so.
TEST_P(StoreTest, ASecondWriterWaitsForTheFirst) {
  Lease first = Borrowed();
  Lease second = Borrowed();
  first->Begin();
  const bool row = first->LockCounter("C", "B", "D").has_value();
  EXPECT_EQ(row, traits().lock_makes_counter_row);
  first->Execute(row ? "UPDATE Document_Counter SET Last_No = 7"
                     : "INSERT INTO Document_Counter VALUES ('C', 'B', 'D', 7)",
                 {});
  if (traits().bounds_waits) {
    Lease hasty = Borrowed(";Lock Timeout=1");
    EXPECT_THAT(Failure([&] {
                  hasty->Begin();
                  hasty->LockCounter("C", "B", "D");
                }),
                HasSubstr(traits().lock_timeout_text));
  }
  std::future<std::optional<Value>> waiting = std::async([&] {
    second->Begin();
    std::optional<Value> last_no = second->LockCounter("C", "B", "D");
    second->Commit();
    return last_no;
  });
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(300)),
            std::future_status::timeout);
  first->Commit();
  EXPECT_EQ(waiting.get(), Value(7));
}

// A statement that fails after SQLite has handed out some of its rows, or
// that runs on past its Command Timeout, is ended all the same, so that its
// connection runs the next statement and holds nothing open.
TEST_P(StoreTest, AFailedStatementLeavesNothingOpen) {
  store_->Exec("CREATE TABLE F (x BIGINT)");
  Lease lease = Borrowed(";Command Timeout=1");
  if (traits().bounds_waits) {
    EXPECT_THAT(Failure([&] { lease->Query(traits().endless, {}); }),
                HasSubstr(traits().command_timeout_text));
  }
  for (std::int64_t x : {std::int64_t{1}, std::int64_t{2},
                         std::numeric_limits<std::int64_t>::min()}) {
    lease->Execute("INSERT INTO F VALUES (?)", {x});
  }
  // abs() overflows on the third row.
  const char* absolute = "SELECT abs(x) FROM F WHERE x <> ?";
  EXPECT_THROW(lease->Query(absolute, {0}), DataAccessError);
  EXPECT_THROW(lease->Query("SELECT nothing FROM F", {}), DataAccessError);
  EXPECT_TRUE(lease->Reusable());
  store_->Exec("DELETE FROM F WHERE x < 0");
  EXPECT_EQ(lease->Query(absolute, {0}), (Rows{{1}, {2}}));
}

TEST(SQLiteStoreTest, AMissingFileIsAFailureAndStaysMissing) {
  // In a folder that exists, where SQLite could create the file.
  const std::string path = ::testing::TempDir() + "tavik-missing-" +
                           std::to_string(getpid()) + ".db";
  const std::string failure =
      Failure([&] { Borrow("Provider=SQLite;Data Source=" + path); });
  EXPECT_THAT(failure, HasSubstr(path));
  EXPECT_THAT(failure, HasSubstr("unable to open database file"));
  EXPECT_FALSE(std::filesystem::exists(path));
}

TAVIK_ON_EVERY_STORE(Stores, StoreTest);

}  // namespace
}  // namespace tavikuser::store
