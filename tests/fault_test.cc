// Failures injected at each store step of every operation that writes inside
// a transaction: a trigger that raises, that ends the transaction (SQLite),
// that removes the counter's row under a numbered creation; a dropped table,
// a failure at commit, the connection lost mid-transaction (the server backend
// terminated, or the connection closed underneath by the counter service). The
// store must be exactly as before and nothing written to standard error; a
// trapped failure leaves its text in ErrDesc, a failed rollback ends the call
// as CallError; and once the fault is gone the same object works again, without
// a number used up.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <set>

#include "platform/counter/counter_transaction.h"
#include "support/late_bound.h"
#include "tavikuser/connection.h"

namespace tavikuser {
namespace {

using counter::CounterTransaction;
using testing::Backend;
using testing::TestStore;

constexpr char kCounter[] = "Document_Counter";

// The operations besides the creations, each with the steps it reaches in
// turn.
constexpr std::pair<const char*, const char*> kOperations[] = {
    {"Role.Update_Role RoleNumber=R1 RoleName=Senior",
     "Role_Master:SELECT Role_Master:UPDATE"},
    {"Role.Delete_Role RoleNumber=R1",
     "Role_Master:DELETE Role_Detail:DELETE Access_Control:DELETE"},
};

struct FaultCase {
  Backend backend;
  std::string operation, table, event, fault, name;
  bool numbered;
};

// Every fault that each step can meet on each backend.
std::vector<FaultCase> AllFaultCases() {
  std::vector<std::pair<std::string, std::string>> operations(
      std::begin(kOperations), std::end(kOperations));
  for (const NumberedCreation& creation : kCreations) {
    operations.emplace_back(
        std::string(creation.line) + " " + creation.name_property + "=N " +
            creation.also_named +
            "=N CompanyPrefix=C1 BranchPrefix=B1 DocumentPrefix=D1",
        creation.table);
  }
  std::vector<FaultCase> cases;
  for (const Backend backend :
       {Backend::kSQLite, Backend::kODBCSQLite, Backend::kPostgreSQL}) {
    const bool postgresql = backend == Backend::kPostgreSQL;
    for (const auto& [operation, reached] : operations) {
      // A creation's steps: the counter locked (PostgreSQL: by an insert
      // that makes sure its row exists) and read, the new row, the counter
      // moved on.
      const bool numbered = reached.find(':') == std::string::npos;
      const std::string steps =
          !numbered ? reached
                    : (postgresql ? "Document_Counter:INSERT " : "") +
                          ("Document_Counter:SELECT " + reached) +
                          ":INSERT Document_Counter:UPDATE";
      const std::size_t dot = operation.find('.');
      const std::string member =
          operation.substr(dot + 1, operation.find(' ') - dot - 1);
      std::string table, event;
      const auto add = [&](const std::string& fault) {
        cases.push_back({backend, operation, table, event, fault,
                         testing::BackendName(backend) + "_" + member + "_" +
                             fault + "_" + table + event,
                         numbered});
      };
      std::set<std::string> tables_reached;
      std::istringstream words(steps);
      for (std::string step; words >> step;) {
        table = step.substr(0, step.find(':'));
        event = step.substr(step.find(':') + 1);
        // Dropping a table fails the first step that reaches it.
        if (tables_reached.insert(table).second) add("Drop");
        if (event == "SELECT") continue;
        add("Raise");
        add(postgresql ? "Terminate" : "End");
        if (!numbered) continue;
        // Before the new row, and before the counter's move.
        if (!postgresql) add("Sever");
        if (table != kCounter) add("Uncount");
      }
      if (postgresql) add("AtCommit");  // at the last step
    }
  }
  return cases;
}

// The built-in counter service, but closing the creation's connection as
// the creation reads its number (after the counter's read, before the new
// row), or as it moves the counter on (after the new row).
struct SeveringCounter {
  static inline const char* severed_at = "";

  static const automation::ClassInfo& Class() {
    static const automation::ClassInfo info = [] {
      std::vector<automation::Member> members =
          CounterTransaction::Class().members();
      for (automation::Member& member : members) {
        member.invoke = [member](automation::Object& self,
                                 std::vector<Variant>& args) {
          auto& counter =
              static_cast<automation::Instance<SeveringCounter>&>(self).value();
          if (member.name == "Get_Last_Counter") {
            counter.connection = automation::Marshal<Connection>::From(args[0]);
          }
          if (member.name == severed_at) counter.connection->Close();
          return member.invoke(*counter.inner.get(), args);
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

// Sets the fault up; returns what takes it away again, or null when it
// stays (a dropped table).
std::function<void()> Inject(TestStore& store, const FaultCase& c) {
  const bool postgresql = c.backend == Backend::kPostgreSQL;
  const std::string raise = "injected fault at " + c.table;
  if (c.fault == "Drop") {
    store.Exec("DROP TABLE " + c.table);
    return nullptr;
  }
  if (c.fault == "Sever") {
    SeveringCounter::severed_at =
        c.table == kCounter ? "Increase_Counter" : "NextDocumentNo";
    UseCounter<SeveringCounter>();
    return UseCounter<CounterTransaction>;
  }
  const std::string body =
      c.fault == "Uncount" ? "DELETE FROM Document_Counter"
      : c.fault == "End"   ? "SELECT RAISE(ROLLBACK, '" + raise + "')"
      : c.fault == "Terminate"
          ? "PERFORM pg_terminate_backend(pg_backend_pid())"
      : postgresql ? "RAISE EXCEPTION '" + raise + "'"
                   : "SELECT RAISE(ABORT, '" + raise + "')";
  const std::string on = c.event + " ON " + c.table;
  if (!postgresql) {
    store.Exec("CREATE TRIGGER fault BEFORE " + on + " BEGIN " + body +
               "; END");
  } else {
    // Only a row that really changes: the counter's lock, which sets
    // Last_No to itself, passes; its move does not.
    store.Exec(
        "CREATE FUNCTION fault() RETURNS trigger LANGUAGE plpgsql AS $$BEGIN " +
        body + "; RETURN NEW; END$$; CREATE " +
        (c.fault == "AtCommit" ? "CONSTRAINT TRIGGER fault AFTER " + on +
                                     " DEFERRABLE INITIALLY DEFERRED"
                               : "TRIGGER fault BEFORE " + on) +
        " FOR EACH ROW" +
        (c.event == "UPDATE" ? " WHEN (OLD.* IS DISTINCT FROM NEW.*)" : "") +
        " EXECUTE FUNCTION fault()");
  }
  return [&store, drop = testing::Traits(c.backend).drop_trigger(
                      "fault", c.table)] { store.Exec(drop); };
}

class FaultTest : public ::testing::TestWithParam<FaultCase> {
  // Also when a case ends early.
  void TearDown() override { UseCounter<CounterTransaction>(); }
};

TEST_P(FaultTest, LeavesTheStoreAsItWasAndTheObjectUsable) {
  const FaultCase& c = GetParam();
  const std::unique_ptr<TestStore> store = TestStore::Create(c.backend);
  store->Exec(RowsUnder("R1", "'Clerk'") +
              "INSERT INTO Document_Counter VALUES ('C1', 'B1', 'D1', 44)");
  const std::function<void()> remove_fault = Inject(*store, c);
  const testing::Rows before = Contents(*store);

  LateBoundCall call = Prepared(c.operation, store->connection_string());
  ::testing::internal::CaptureStderr();
  const std::string outcome = call.Run();
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(Contents(*store), before);
  const std::string err_desc = call.ErrDesc();
  if (c.fault == "Terminate" || c.fault == "Sever") {
    // The rollback on the lost connection fails too; the connection is let
    // go of without closing it a second time.
    EXPECT_TRUE(c.fault == "Sever"
                    ? outcome == "CallError: The connection is closed."
                    : outcome.starts_with("CallError: ") && outcome.size() > 11)
        << outcome;
    // A failed step's text is stored before the rollback by the classes
    // that release their connection, after it by Role; the counter's
    // refusal is stored by all.
    EXPECT_EQ(err_desc.empty(),
              c.operation.starts_with("Role.") && c.table != kCounter)
        << err_desc;
  } else {
    EXPECT_EQ(outcome, "false");
    const std::string expected = c.fault == "Drop" ? c.table
                                 : c.fault == "Uncount"
                                     ? "was removed during the transaction"
                                     : "injected fault";
    EXPECT_NE(strcasestr(err_desc.c_str(), expected.c_str()), nullptr)
        << err_desc;
  }

  if (!remove_fault) return;
  remove_fault();
  EXPECT_EQ(call.Run(), "true") << call.ErrDesc();
  EXPECT_NE(Contents(*store), before);
  EXPECT_EQ(store->Scalar("SELECT Last_No FROM Document_Counter"),
            c.numbered ? "45" : "44");
}

INSTANTIATE_TEST_SUITE_P(EveryStep, FaultTest,
                         ::testing::ValuesIn(AllFaultCases()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace tavikuser
