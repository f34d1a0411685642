// Failures injected at each store step of every operation that writes inside
// a transaction: a trigger that raises, a revoked privilege, a dropped table,
// a failure at commit, the connection lost mid-transaction (the server
// backend terminated, or the connection closed underneath), and a store that
// ends the transaction itself (a full disk, a trigger). The store must be
// exactly as before; a trapped failure leaves the store's text in ErrDesc, a
// failed rollback leaves the call as CallError; and once the fault is gone the
// same object works again. A connection that the server ends between two
// calls is not handed out again.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/counter/counter_transaction.h"
#include "platform/store/connection_object.h"
#include "support/snapshot.h"
#include "support/test_store.h"
#include "tavikuser/automation.h"
#include "tavikuser/connection.h"

namespace tavikuser {
namespace {

using testing::Backend;
using testing::TestStore;

constexpr char kCounterService[] = "TavikSystem.CounterTransaction";
constexpr char kCounter[] = "Document_Counter";
constexpr char kInjected[] = "injected fault";
// A login with every privilege on the host tables but the one taken away.
constexpr char kClerk[] = "tavik_clerk";

// What a step does to its table; kOpen is opening the connection itself.
enum class Event { kOpen, kSelect, kInsert, kUpdate, kDelete };

const char* EventName(Event event) {
  constexpr const char* kNames[] = {"CONNECT", "SELECT", "INSERT", "UPDATE",
                                    "DELETE"};
  return kNames[static_cast<int>(event)];
}

struct Step {
  const char* table;  // null for kOpen
  Event event;
  bool postgresql_only = false;
};

struct TransactionalOperation {
  const char* name;
  const char* progid;
  std::vector<std::pair<const char*, const char*>> properties;
  // The store steps in the order the operation reaches them.
  std::vector<Step> steps;
  // Takes its number from the counter service.
  bool numbered = false;
};

// A numbered creation: the counter's read (on PostgreSQL an insert that
// makes sure the counter row exists, locks and reads it), the new row, the
// counter moved on.
TransactionalOperation Creation(
    const char* name, const char* progid, const char* table,
    std::vector<std::pair<const char*, const char*>> properties) {
  properties.insert(properties.begin(), {{"CompanyPrefix", "C1"},
                                         {"BranchPrefix", "B1"},
                                         {"DocumentPrefix", "D1"}});
  return {name,
          progid,
          std::move(properties),
          {{nullptr, Event::kOpen, true},
           {kCounter, Event::kInsert, true},
           {kCounter, Event::kSelect},
           {table, Event::kInsert},
           {kCounter, Event::kUpdate}},
          true};
}

const std::vector<TransactionalOperation>& Operations() {
  static const std::vector<TransactionalOperation> operations = {
      Creation("Create_Rights", "TavikUser.Rights", "Rights_Master",
               {{"RightsName", "Post journals"}}),
      Creation("Create_Role", "TavikUser.Role", "Role_Master",
               {{"RoleName", "Clerk"}}),
      Creation("Create_Group", "TavikUser.UserGroup", "User_Group",
               {{"GroupName", "Cashiers"}}),
      Creation("Create_User", "TavikUser.User", "User_Master",
               {{"UserID", "jdoe"}, {"UserName", "Jane Doe"}}),
      {"Update_Role",
       "TavikUser.Role",
       {{"RoleNumber", "R1"}, {"RoleName", "Senior clerk"}},
       {{nullptr, Event::kOpen, true},
        {"Role_Master", Event::kSelect},
        {"Role_Master", Event::kUpdate}}},
      {"Delete_Role",
       "TavikUser.Role",
       {{"RoleNumber", "R1"}},
       {{nullptr, Event::kOpen, true},
        {"Role_Master", Event::kDelete},
        {"Role_Detail", Event::kDelete},
        {"Access_Control", Event::kDelete}}},
  };
  return operations;
}

enum class Fault {
  kRaise,      // a trigger raises at the step
  kEnd,        // a trigger ends the whole transaction at the step (SQLite)
  kRevoke,     // the login may not take the step
  kDrop,       // the step's table is not there
  kAtCommit,   // a deferred check raises when the transaction commits
  kTerminate,  // a trigger terminates the session's own server backend
  kSever,      // the connection is lost just before the step
};

const char* FaultName(Fault fault) {
  constexpr const char* kNames[] = {"Raise",    "End",       "Revoke", "Drop",
                                    "AtCommit", "Terminate", "Sever"};
  return kNames[static_cast<int>(fault)];
}

// The connection is lost, so the rollback fails too.
bool LosesTheConnection(Fault fault) {
  return fault == Fault::kTerminate || fault == Fault::kSever;
}

struct FaultCase {
  Backend backend;
  const TransactionalOperation* operation;
  Step step;
  Fault fault;
};

std::string Describe(const FaultCase& c) {
  std::string name = testing::BackendName(c.backend) + "_" + c.operation->name +
                     "_" + FaultName(c.fault) + "_";
  if (c.step.table) name += std::string(c.step.table) + "_";
  return name + EventName(c.step.event);
}

std::string CaseName(const ::testing::TestParamInfo<FaultCase>& info) {
  return Describe(info.param);
}

// For gtest's messages, instead of the bytes of the case.
void PrintTo(const FaultCase& c, std::ostream* out) { *out << Describe(c); }

// Every fault that each step can meet on each backend.
std::vector<FaultCase> AllFaultCases() {
  std::vector<FaultCase> cases;
  for (const Backend backend : {Backend::kSQLite, Backend::kPostgreSQL}) {
    const bool postgresql = backend == Backend::kPostgreSQL;
    for (const TransactionalOperation& operation : Operations()) {
      std::vector<std::string> tables_dropped;
      const Step* last_write = nullptr;
      for (const Step& step : operation.steps) {
        if (step.postgresql_only && !postgresql) continue;
        const auto add = [&](Fault fault) {
          cases.push_back({backend, &operation, step, fault});
        };
        if (postgresql) add(Fault::kRevoke);
        if (step.event == Event::kOpen) continue;
        if (step.event != Event::kSelect) {
          add(Fault::kRaise);
          add(postgresql ? Fault::kTerminate : Fault::kEnd);
          last_write = &step;
        }
        // Dropping a table fails the first step that touches it.
        if (std::find(tables_dropped.begin(), tables_dropped.end(),
                      step.table) == tables_dropped.end()) {
          tables_dropped.push_back(step.table);
          add(Fault::kDrop);
        }
        // Lost between the counter's read and the new row, and between the
        // new row and the counter's move.
        if (operation.numbered && step.event != Event::kSelect &&
            (std::string_view(step.table) != kCounter ||
             step.event == Event::kUpdate)) {
          add(Fault::kSever);
        }
      }
      if (postgresql) {
        cases.push_back({backend, &operation, *last_write, Fault::kAtCommit});
      }
    }
  }
  return cases;
}

// The built-in counter service, cutting the creation's connection off just
// before the step named by `sever_before`: the new row (after the counter
// was read) or the counter's move (after the row was added).
class SeveringCounter {
 public:
  static inline Step sever_before;
  static inline std::function<void(const Connection&)> sever;

  void CompanyPrefix(std::string value) { inner_.CompanyPrefix(value); }
  void BranchPrefix(std::string value) { inner_.BranchPrefix(value); }
  void DocumentPrefix(std::string value) { inner_.DocumentPrefix(value); }
  Variant Get_Last_Counter(std::vector<Variant>& args) {
    connection_ = automation::Marshal<Connection>::From(args.at(0));
    const bool ready = inner_.Get_Last_Counter(*connection_);
    if (std::string_view(sever_before.table) != kCounter) sever(*connection_);
    return Variant(ready);
  }
  std::int32_t NextDocumentNo() const { return inner_.NextDocumentNo(); }
  bool Increase_Counter() {
    if (std::string_view(sever_before.table) == kCounter) sever(*connection_);
    return inner_.Increase_Counter();
  }
  std::string ErrDesc() const { return inner_.ErrDesc(); }

  static const automation::ClassInfo& Class() {
    static const automation::ClassInfo info =
        automation::MemberTable<SeveringCounter>(kCounterService)
            .Let("CompanyPrefix", &SeveringCounter::CompanyPrefix)
            .Let("BranchPrefix", &SeveringCounter::BranchPrefix)
            .Let("DocumentPrefix", &SeveringCounter::DocumentPrefix)
            .ByRefFunction("Get_Last_Counter", VarType::kBool, 1,
                           &SeveringCounter::Get_Last_Counter)
            .Get("NextDocumentNo", &SeveringCounter::NextDocumentNo)
            .Function("Increase_Counter", &SeveringCounter::Increase_Counter)
            .Get("ErrDesc", &SeveringCounter::ErrDesc)
            .Build();
    return info;
  }

 private:
  counter::CounterTransaction inner_;
  std::optional<Connection> connection_;
};

void UseCounter(const automation::ClassInfo& info,
                automation::Factory factory) {
  automation::RegisterClass(info, factory);
}

// A store with a counter for the creations and a role with its links.
std::unique_ptr<TestStore> SeededStore(Backend backend) {
  std::unique_ptr<TestStore> store = TestStore::Create(backend);
  store->Exec("INSERT INTO Document_Counter VALUES ('C1', 'B1', 'D1', 44)");
  store->Exec(
      "INSERT INTO Role_Master (Role_No, Role_Name) VALUES ('R1', 'Clerk')");
  store->Exec("INSERT INTO Role_Detail VALUES ('R1', 'A')");
  store->Exec("INSERT INTO Access_Control VALUES ('R1', 'G')");
  return store;
}

// A new object for `operation` on `connection_string`, its properties set.
ObjectRef ObjectFor(const TransactionalOperation& operation,
                    const std::string& connection_string) {
  ObjectRef object = automation::CreateObject(operation.progid);
  object->Let("ADOConnectionString", connection_string);
  for (const auto& [property, value] : operation.properties) {
    object->Let(property, value);
  }
  return object;
}

// Runs the operation late-bound on `object`; "CallError: ..." when it
// leaves as an error of the call.
std::string Outcome(const TransactionalOperation& operation,
                    const ObjectRef& object) {
  try {
    return object->Call(operation.name).ToBool() ? "true" : "false";
  } catch (const CallError& error) {
    return std::string("CallError: ") + error.what();
  }
}

// Terminates the PostgreSQL server backends that `which` selects from
// pg_stat_activity, and waits until they are gone.
void TerminateBackends(TestStore& store, const std::string& which) {
  store.Exec("SELECT pg_terminate_backend(pid) FROM pg_stat_activity WHERE " +
             which);
  while (store.Scalar("SELECT COUNT(*) FROM pg_stat_activity WHERE " + which) !=
         "0") {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

class FaultTest : public ::testing::TestWithParam<FaultCase> {
 protected:
  void SetUp() override {
    store_ = SeededStore(GetParam().backend);
    connection_string_ = store_->connection_string();
  }

  void TearDown() override {
    UseCounter(counter::CounterTransaction::Class(),
               &automation::CreateInstance<counter::CounterTransaction>);
  }

  bool postgresql() const { return GetParam().backend == Backend::kPostgreSQL; }
  const Step& step() const { return GetParam().step; }

  // A trigger on the step's table that runs `body` before its statement
  // (PostgreSQL: once per statement, so it fires even when no row matches).
  void Trigger(const std::string& body) {
    const std::string event = EventName(step().event);
    if (!postgresql()) {
      store_->Exec("CREATE TRIGGER fault BEFORE " + event + " ON " +
                   step().table + " BEGIN " + body + "; END");
      return;
    }
    store_->Exec(
        "CREATE FUNCTION fault() RETURNS trigger LANGUAGE plpgsql AS $$BEGIN " +
        body + "; RETURN NULL; END$$");
    store_->Exec("CREATE TRIGGER fault BEFORE " + event + " ON " +
                 step().table + " FOR EACH STATEMENT EXECUTE FUNCTION fault()");
  }

  // Sets the fault up; returns what takes it away again, or null when it
  // stays (a dropped table).
  std::function<void()> Inject() {
    const std::string table = step().table ? step().table : "";
    const std::string raise = std::string(kInjected) + " at " + table;
    const auto drop_trigger = [this, table] {
      store_->Exec(postgresql() ? "DROP TRIGGER fault ON " + table
                                : "DROP TRIGGER fault");
    };
    switch (GetParam().fault) {
      case Fault::kRaise:
        Trigger(postgresql() ? "RAISE EXCEPTION '" + raise + "'"
                             : "SELECT RAISE(ABORT, '" + raise + "')");
        return drop_trigger;
      case Fault::kEnd:
        Trigger("SELECT RAISE(ROLLBACK, '" + raise + "')");
        return drop_trigger;
      case Fault::kTerminate:
        Trigger("PERFORM pg_terminate_backend(pg_backend_pid())");
        return drop_trigger;
      case Fault::kAtCommit:
        store_->Exec(
            "CREATE FUNCTION fault() RETURNS trigger LANGUAGE plpgsql AS "
            "$$BEGIN RAISE EXCEPTION '" +
            raise + "'; END$$");
        store_->Exec("CREATE CONSTRAINT TRIGGER fault AFTER " +
                     std::string(EventName(step().event)) + " ON " + table +
                     " DEFERRABLE INITIALLY DEFERRED FOR EACH ROW EXECUTE "
                     "FUNCTION fault()");
        return drop_trigger;
      case Fault::kDrop:
        store_->Exec("DROP TABLE " + table);
        return nullptr;
      case Fault::kRevoke:
        return RevokeFromClerk();
      case Fault::kSever:
        SeveringCounter::sever_before = step();
        SeveringCounter::sever = [this](const Connection& connection) {
          Sever(connection);
        };
        UseCounter(SeveringCounter::Class(),
                   &automation::CreateInstance<SeveringCounter>);
        return [] {
          UseCounter(counter::CounterTransaction::Class(),
                     &automation::CreateInstance<counter::CounterTransaction>);
        };
    }
    return nullptr;
  }

  // The operation runs as the clerk, who may do everything but the step.
  std::function<void()> RevokeFromClerk() {
    store_->Exec(std::string("DO $$BEGIN CREATE ROLE ") + kClerk +
                 " LOGIN PASSWORD 'clerk'; EXCEPTION WHEN duplicate_object "
                 "THEN NULL; END$$");
    const std::string database = *store_->Scalar("SELECT current_database()");
    const std::string grant_all = std::string("GRANT ALL ON ALL TABLES IN ") +
                                  "SCHEMA public TO " + kClerk;
    store_->Exec(grant_all);
    connection_string_ += std::string(";User ID=") + kClerk + ";Password=clerk";
    if (step().event == Event::kOpen) {
      store_->Exec("REVOKE CONNECT ON DATABASE " + database + " FROM PUBLIC");
      return [this, database] {
        store_->Exec("GRANT CONNECT ON DATABASE " + database + " TO PUBLIC");
      };
    }
    store_->Exec(std::string("REVOKE ") + EventName(step().event) + " ON " +
                 step().table + " FROM " + kClerk);
    return [this, grant_all] { store_->Exec(grant_all); };
  }

  // SQLite: the connection is closed underneath the creation. PostgreSQL:
  // its server backend is terminated from outside and is gone before the
  // creation goes on.
  void Sever(const Connection& connection) {
    if (!postgresql()) {
      Connection(connection).Close();
      return;
    }
    const std::string pid = store::ConnectionObject::Of(connection)
                                .Opened()
                                .Query("SELECT pg_backend_pid()", {})
                                .at(0)
                                .at(0)
                                .ToText();
    TerminateBackends(*store_, "pid = " + pid);
  }

  std::unique_ptr<TestStore> store_;
  std::string connection_string_;
};

TEST_P(FaultTest, LeavesTheStoreAsItWasAndTheObjectUsable) {
  const FaultCase& c = GetParam();
  const std::function<void()> remove_fault = Inject();
  const std::string before = testing::Snapshot(*store_);

  ObjectRef object = ObjectFor(*c.operation, connection_string_);
  ::testing::internal::CaptureStderr();
  const std::string outcome = Outcome(*c.operation, object);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");  // nothing logged
  const std::string err_desc = object->Get("ErrDesc").ToText();

  EXPECT_EQ(testing::Snapshot(*store_), before);
  if (LosesTheConnection(c.fault)) {
    EXPECT_EQ(outcome.rfind("CallError: ", 0), 0u) << outcome;
    EXPECT_GT(outcome.size(), std::string("CallError: ").size());
  } else {
    EXPECT_EQ(outcome, "false");
    std::string expected = kInjected;
    if (c.fault == Fault::kRevoke) expected = "permission denied";
    if (c.fault == Fault::kDrop) {
      // PostgreSQL names the table in lower case.
      expected = c.step.table;
      if (postgresql()) {
        std::transform(expected.begin(), expected.end(), expected.begin(),
                       ::tolower);
      }
    }
    EXPECT_NE(err_desc.find(expected), std::string::npos) << err_desc;
  }

  if (!remove_fault) return;
  remove_fault();
  EXPECT_EQ(Outcome(*c.operation, object), "true")
      << object->Get("ErrDesc").ToText();
  EXPECT_NE(testing::Snapshot(*store_), before);
  if (c.operation->numbered) {
    // The failed attempt took no number.
    EXPECT_EQ(store_->Scalar("SELECT Last_No FROM Document_Counter"), "45");
  }
}

INSTANTIATE_TEST_SUITE_P(EveryStep, FaultTest,
                         ::testing::ValuesIn(AllFaultCases()), CaseName);

// The server ends the pooled connections while no call uses them: the next
// call gets a fresh one.
class LostBetweenCallsTest
    : public ::testing::TestWithParam<const TransactionalOperation*> {};

TEST_P(LostBetweenCallsTest, TheNextCallDoesNotGetTheLostConnection) {
  const TransactionalOperation& operation = *GetParam();
  std::unique_ptr<TestStore> store = SeededStore(Backend::kPostgreSQL);
  ObjectRef object = ObjectFor(operation, store->connection_string());
  ASSERT_EQ(Outcome(operation, object), "true");
  TerminateBackends(*store,
                    "datname = current_database() AND pid <> "
                    "pg_backend_pid()");
  EXPECT_EQ(Outcome(operation, object), "true")
      << object->Get("ErrDesc").ToText();
}

INSTANTIATE_TEST_SUITE_P(
    PostgreSQL, LostBetweenCallsTest, ::testing::ValuesIn([] {
      std::vector<const TransactionalOperation*> operations;
      for (const TransactionalOperation& operation : Operations()) {
        operations.push_back(&operation);
      }
      return operations;
    }()),
    [](const auto& info) { return std::string(info.param->name); });

// SQLite ends the whole transaction itself when the disk is full: a
// creation (whose class lets go of its connection) and a rename (Role, which
// keeps it) answer false with SQLite's own text, and the store is as before.
// The pooled connection that each takes is held to the pages its file has.
TEST(DiskFullTest, TheStoreEndingTheTransactionIsAnOrdinaryFailure) {
  const std::pair<const TransactionalOperation*, const char*> writes[] = {
      {&Operations()[0], "RightsName"}, {&Operations()[4], "RoleName"}};
  for (const auto& [operation, name] : writes) {
    std::unique_ptr<TestStore> store = SeededStore(Backend::kSQLite);
    {
      store::Lease lease = store::Borrow(store->connection_string());
      const std::string pages =
          lease->Query("PRAGMA page_count", {}).at(0).at(0).ToText();
      lease->Query("PRAGMA max_page_count = " + pages, {});
    }
    const std::string before = testing::Snapshot(*store);
    ObjectRef object = ObjectFor(*operation, store->connection_string());
    object->Let(name, std::string(20000, 'x'));  // more than a page
    EXPECT_EQ(Outcome(*operation, object), "false") << operation->name;
    EXPECT_EQ(object->Get("ErrDesc").ToText(), "database or disk is full");
    EXPECT_EQ(testing::Snapshot(*store), before);
  }
}

}  // namespace
}  // namespace tavikuser
