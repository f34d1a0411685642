// Failures injected at each store step of every operation that writes inside
// a transaction: a trigger that raises, a dropped table, a failure at commit,
// a database that takes no connections, the connection lost mid-transaction
// (the server backend terminated, or the connection closed underneath by the
// counter service), and a store that ends the transaction itself. The store
// must be exactly as before; a trapped failure leaves the store's text in
// ErrDesc, a failed rollback leaves the call as CallError; and once the fault
// is gone the same object works again.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "platform/counter/counter_transaction.h"
#include "support/postgres_server.h"
#include "support/snapshot.h"
#include "support/test_store.h"
#include "tavikuser/automation.h"
#include "tavikuser/connection.h"

namespace tavikuser {
namespace {

using counter::CounterTransaction;
using testing::Backend;
using testing::TestStore;
using Properties = std::vector<std::pair<const char*, const char*>>;

constexpr char kCounter[] = "Document_Counter";
constexpr char kInjected[] = "injected fault";

struct Step {
  std::string table, event;  // event: an SQL verb, or CONNECT
  bool postgresql_only = false;
};

struct TransactionalOperation {
  const char* name;
  const char* progid;
  Properties properties;
  std::vector<Step> steps;  // in the order the operation reaches them
  bool numbered = false;    // takes its number from the counter service
};

// A numbered creation: the counter locked and read (on PostgreSQL by an
// insert that makes sure its row exists), the new row, the counter moved on.
TransactionalOperation Creation(const char* name, const char* progid,
                                const char* table, Properties properties) {
  properties.insert(properties.begin(), {{"CompanyPrefix", "C1"},
                                         {"BranchPrefix", "B1"},
                                         {"DocumentPrefix", "D1"}});
  return {name,
          progid,
          std::move(properties),
          {{kCounter, "INSERT", true},
           {kCounter, "SELECT"},
           {table, "INSERT"},
           {kCounter, "UPDATE"}},
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
       {{"Role_Master", "SELECT"}, {"Role_Master", "UPDATE"}}},
      {"Delete_Role",
       "TavikUser.Role",
       {{"RoleNumber", "R1"}},
       {{"Role_Master", "DELETE"},
        {"Role_Detail", "DELETE"},
        {"Access_Control", "DELETE"}}},
  };
  return operations;
}

enum class Fault {
  kRaise,          // a trigger raises at the step
  kEnd,            // a trigger ends the whole transaction at the step (SQLite)
  kDrop,           // the step's table is not there
  kAtCommit,       // a deferred check raises when the transaction commits
  kTerminate,      // a trigger terminates the session's own server backend
  kSever,          // the counter service closes the connection before the step
  kNoConnections,  // the database takes no connections (PostgreSQL)
};
constexpr const char* kFaultNames[] = {
    "Raise", "End", "Drop", "AtCommit", "Terminate", "Sever", "NoConnections"};

struct FaultCase {
  Backend backend;
  const TransactionalOperation* operation;
  Step step;
  Fault fault;
};

// Also the test's name.
void PrintTo(const FaultCase& c, std::ostream* out) {
  *out << testing::BackendName(c.backend) << "_" << c.operation->name << "_"
       << kFaultNames[static_cast<int>(c.fault)] << "_" << c.step.table
       << (c.step.table.empty() ? "" : "_") << c.step.event;
}

// Every fault that each step can meet on each backend.
std::vector<FaultCase> AllFaultCases() {
  std::vector<FaultCase> cases;
  for (const Backend backend : {Backend::kSQLite, Backend::kPostgreSQL}) {
    const bool postgresql = backend == Backend::kPostgreSQL;
    for (const TransactionalOperation& operation : Operations()) {
      const auto add = [&](const Step& step, Fault fault) {
        cases.push_back({backend, &operation, step, fault});
      };
      if (postgresql) add({"", "CONNECT"}, Fault::kNoConnections);
      std::set<std::string> tables_reached;
      for (const Step& step : operation.steps) {
        if (step.postgresql_only && !postgresql) continue;
        // Dropping a table fails the first step that reaches it.
        if (tables_reached.insert(step.table).second) add(step, Fault::kDrop);
        if (step.event == "SELECT") continue;
        add(step, Fault::kRaise);
        add(step, postgresql ? Fault::kTerminate : Fault::kEnd);
        // Before the new row, and before the counter's move.
        if (operation.numbered && !postgresql) add(step, Fault::kSever);
      }
      if (postgresql) add(operation.steps.back(), Fault::kAtCommit);
    }
  }
  return cases;
}

// The built-in counter service, each member passed on, but closing the
// creation's connection just before the new row (after reading the counter)
// or before the counter's move (after the row was added).
struct SeveringCounter {
  static inline bool before_counter_move = false;

  static const automation::ClassInfo& Class() {
    static const automation::ClassInfo info = [] {
      std::vector<automation::Member> members =
          CounterTransaction::Class().members();
      for (automation::Member& member : members) {
        member.invoke = [member](automation::Object& self,
                                 std::vector<Variant>& args) {
          auto& counter =
              static_cast<automation::Instance<SeveringCounter>&>(self).value();
          if (member.name == "Increase_Counter" && before_counter_move) {
            counter.connection->Close();
          }
          const Variant result = member.invoke(*counter.inner.get(), args);
          if (member.name == "Get_Last_Counter") {
            counter.connection = automation::Marshal<Connection>::From(args[0]);
            if (!before_counter_move) counter.connection->Close();
          }
          return result;
        };
      }
      return automation::ClassInfo(counter::kCounterProgId, members);
    }();
    return info;
  }

  ObjectRef inner = automation::CreateInstance<CounterTransaction>(
      CounterTransaction::Class());
  std::optional<Connection> connection;
};

template <class Service>
void UseCounter() {
  automation::RegisterClass(Service::Class(),
                            &automation::CreateInstance<Service>);
}

// A store with a counter for the creations and a role with its links.
std::unique_ptr<TestStore> SeededStore(Backend backend) {
  std::unique_ptr<TestStore> store = TestStore::Create(backend);
  store->Exec(
      "INSERT INTO Document_Counter VALUES ('C1', 'B1', 'D1', 44);"
      "INSERT INTO Role_Master (Role_No, Role_Name) VALUES ('R1', 'Clerk');"
      "INSERT INTO Role_Detail VALUES ('R1', 'A');"
      "INSERT INTO Access_Control VALUES ('R1', 'G')");
  return store;
}

ObjectRef ObjectFor(const TransactionalOperation& operation,
                    const std::string& connection_string) {
  ObjectRef object = automation::CreateObject(operation.progid);
  object->Let("ADOConnectionString", connection_string);
  for (const auto& [property, value] : operation.properties) {
    object->Let(property, value);
  }
  return object;
}

// Runs the operation late-bound; "CallError: ..." when it leaves as an error
// of the call.
std::string Outcome(const TransactionalOperation& operation,
                    const ObjectRef& object) {
  try {
    return object->Call(operation.name).ToBool() ? "true" : "false";
  } catch (const CallError& error) {
    return std::string("CallError: ") + error.what();
  }
}

// Sets the fault up; returns what takes it away again, or null when it
// stays (a dropped table).
std::function<void()> Inject(TestStore& store, const FaultCase& c) {
  const bool postgresql = c.backend == Backend::kPostgreSQL;
  const Step& step = c.step;
  const std::string raise = std::string(kInjected) + " at " + step.table;
  std::string body = postgresql ? "RAISE EXCEPTION '" + raise + "'"
                                : "SELECT RAISE(ABORT, '" + raise + "')";
  switch (c.fault) {
    case Fault::kDrop:
      store.Exec("DROP TABLE " + step.table);
      return nullptr;
    case Fault::kSever:
      SeveringCounter::before_counter_move = step.table == kCounter;
      UseCounter<SeveringCounter>();
      return UseCounter<CounterTransaction>;
    case Fault::kNoConnections: {
      // Refused for the database one is connected to: said from another.
      const auto alter = [&store](const char* allow) {
        testing::RunSql(
            testing::PostgresServer::Instance().ConnInfo("postgres"),
            "ALTER DATABASE " + *store.Scalar("SELECT current_database()") +
                " ALLOW_CONNECTIONS " + allow);
      };
      alter("false");
      return [alter] { alter("true"); };
    }
    case Fault::kEnd:
      body = "SELECT RAISE(ROLLBACK, '" + raise + "')";
      break;
    case Fault::kTerminate:
      body = "PERFORM pg_terminate_backend(pg_backend_pid())";
      break;
    case Fault::kRaise:
    case Fault::kAtCommit:
      break;
  }
  const std::string on = step.event + " ON " + step.table;
  if (!postgresql) {
    store.Exec("CREATE TRIGGER fault BEFORE " + on + " BEGIN " + body +
               "; END");
  } else {
    // Only a row that really changes: the counter's lock, which sets
    // Last_No to itself, passes; its move does not.
    store.Exec(
        "CREATE FUNCTION fault() RETURNS trigger LANGUAGE plpgsql AS $$BEGIN " +
        body + "; RETURN NEW; END$$; CREATE " +
        (c.fault == Fault::kAtCommit ? "CONSTRAINT TRIGGER fault AFTER " + on +
                                           " DEFERRABLE INITIALLY DEFERRED"
                                     : "TRIGGER fault BEFORE " + on) +
        " FOR EACH ROW" +
        (step.event == "UPDATE" ? " WHEN (OLD.* IS DISTINCT FROM NEW.*)" : "") +
        " EXECUTE FUNCTION fault()");
  }
  return [&store, drop = testing::Traits(c.backend).drop_trigger(
                      "fault", step.table)] { store.Exec(drop); };
}

class FaultTest : public ::testing::TestWithParam<FaultCase> {
  // Also when a case ends early.
  void TearDown() override { UseCounter<CounterTransaction>(); }
};

TEST_P(FaultTest, LeavesTheStoreAsItWasAndTheObjectUsable) {
  const FaultCase& c = GetParam();
  const std::unique_ptr<TestStore> store = SeededStore(c.backend);
  const std::function<void()> remove_fault = Inject(*store, c);
  const std::string before = testing::Snapshot(*store);

  ObjectRef object = ObjectFor(*c.operation, store->connection_string());
  ::testing::internal::CaptureStderr();
  const std::string outcome = Outcome(*c.operation, object);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");  // nothing logged
  EXPECT_EQ(testing::Snapshot(*store), before);
  if (c.fault == Fault::kSever) {
    // The rollback on the closed connection fails; the connection is let go
    // of all the same, without closing it a second time.
    EXPECT_EQ(outcome, "CallError: The connection is closed.");
  } else if (c.fault == Fault::kTerminate) {
    EXPECT_TRUE(outcome.starts_with("CallError: ") && outcome.size() > 11)
        << outcome;
  } else {
    EXPECT_EQ(outcome, "false");
    const std::string expected = c.fault == Fault::kNoConnections
                                     ? "not currently accepting connections"
                                 : c.fault == Fault::kDrop ? c.step.table
                                                           : kInjected;
    const std::string err_desc = object->Get("ErrDesc").ToText();
    EXPECT_NE(strcasestr(err_desc.c_str(), expected.c_str()), nullptr)
        << err_desc;
  }

  if (!remove_fault) return;
  remove_fault();
  EXPECT_EQ(Outcome(*c.operation, object), "true")
      << object->Get("ErrDesc").ToText();
  EXPECT_NE(testing::Snapshot(*store), before);
  if (c.operation->numbered) {
    // The failed attempt took no number.
    EXPECT_EQ(store->Scalar("SELECT Last_No FROM Document_Counter"), "45");
  }
}

INSTANTIATE_TEST_SUITE_P(EveryStep, FaultTest,
                         ::testing::ValuesIn(AllFaultCases()),
                         [](const auto& info) {
                           return ::testing::PrintToString(info.param);
                         });

}  // namespace
}  // namespace tavikuser
