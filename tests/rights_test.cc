// Rights created under counter-issued numbers and updated, on real stores:
// the record key, what a refusal or a failure leaves behind, a host's own
// counter service, and creators in several processes at once.
#include "tavikuser/rights.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/counter/counter_transaction.h"
#include "support/test_store.h"
#include "tavikuser/automation.h"

namespace tavikuser {
namespace {

using testing::Backend;
using testing::TestStore;

constexpr char kCounterService[] = "TavikSystem.CounterTransaction";

// A host's own counter service: issues `next` and refuses where told to.
struct HostCounter {
  static inline std::int32_t next = 900;
  static inline bool refuse_last_counter = false;
  static inline bool refuse_increase = false;

  void Prefix(std::string) {}
  Variant Get_Last_Counter(std::vector<Variant>&) {
    return Variant(!refuse_last_counter);
  }
  std::int32_t NextDocumentNo() const { return next; }
  bool Increase_Counter() { return !refuse_increase; }
  Variant ErrDesc() const { return Variant("host counter says no"); }

  static const automation::ClassInfo& Class() {
    static const automation::ClassInfo info =
        automation::MemberTable<HostCounter>(kCounterService)
            .Let("CompanyPrefix", &HostCounter::Prefix)
            .Let("BranchPrefix", &HostCounter::Prefix)
            .Let("DocumentPrefix", &HostCounter::Prefix)
            .ByRefFunction("Get_Last_Counter", VarType::kBool, 1,
                           &HostCounter::Get_Last_Counter)
            .Get("NextDocumentNo", &HostCounter::NextDocumentNo)
            .Function("Increase_Counter", &HostCounter::Increase_Counter)
            .Get("ErrDesc", &HostCounter::ErrDesc)
            .Build();
    return info;
  }
};

class RightsTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    store_ = TestStore::Create(GetParam());
    store_->Exec("INSERT INTO Document_Counter VALUES ('C1', 'B2', 'RG', 44)");
    rights_.ADOConnectionString(store_->connection_string());
    rights_.CompanyPrefix("C1");
    rights_.BranchPrefix("B2");
    rights_.DocumentPrefix("RG");
    rights_.RightsName("Post journals");
  }

  void TearDown() override {
    automation::RegisterClass(
        counter::CounterTransaction::Class(),
        &automation::CreateInstance<counter::CounterTransaction>);
  }

  void UseHostCounter(bool refuse_last_counter, bool refuse_increase) {
    HostCounter::refuse_last_counter = refuse_last_counter;
    HostCounter::refuse_increase = refuse_increase;
    automation::RegisterClass(HostCounter::Class(),
                              &automation::CreateInstance<HostCounter>);
  }

  std::string RightsRows() {
    std::string rows;
    for (const auto& row :
         store_->Query("SELECT Rights_No, Rights_Identity FROM Rights_Master "
                       "ORDER BY Rights_Identity")) {
      rows += *row[0] + "=" + *row[1] + ";";
    }
    return rows;
  }
  std::string LastNo() {
    return store_
        ->Scalar(
            "SELECT Last_No FROM Document_Counter WHERE "
            "Document_Prefix = 'RG'")
        .value_or("none");
  }
  std::string ErrDesc() const { return rights_.ErrDesc(); }

  std::unique_ptr<TestStore> store_;
  Rights rights_;
};

TEST_P(RightsTest, CreatesUnderTheNextNumberAndAgainOnTheSameObject) {
  rights_.RightsNo("ignored");
  ASSERT_TRUE(rights_.Create_Rights()) << ErrDesc();
  const auto row = store_->Query(
      "SELECT Company_Prefix, Branch_Prefix, Document_Prefix, Rights_Name, "
      "Rights_Parent, Last_Update FROM Rights_Master");
  ASSERT_EQ(row.size(), 1u);
  EXPECT_EQ(*row[0][0] + *row[0][1] + *row[0][2], "C1B2RG");
  EXPECT_EQ(*row[0][3], "Post journals");
  EXPECT_EQ(row[0][4], std::optional<std::string>(""));  // empty, not Null
  EXPECT_EQ(row[0][5]->substr(0, 19), "1899-12-30 00:00:00");
  EXPECT_EQ(rights_.RightsNo(), "ignored");

  rights_.LastUpdate(*DateTime::FromIsoText("2024-06-30 17:45:01.257"));
  ASSERT_TRUE(rights_.Create_Rights()) << ErrDesc();
  EXPECT_EQ(RightsRows(), "C1B2RG45=45;C1B2RG46=46;");
  EXPECT_EQ(LastNo(), "46");
  EXPECT_EQ(*store_->Scalar("SELECT Last_Update FROM Rights_Master WHERE "
                            "Rights_Identity = 46"),
            "2024-06-30 17:45:01.257");
  EXPECT_EQ(ErrDesc(), "");
}

TEST_P(RightsTest, ACounterRefusalRollsEverythingBack) {
  for (const bool on_increase : {false, true}) {
    UseHostCounter(!on_increase, on_increase);
    EXPECT_FALSE(rights_.Create_Rights());
    EXPECT_EQ(ErrDesc(), "host counter says no");
    EXPECT_EQ(RightsRows(), "");  // after a refused increase too
  }
}

TEST_P(RightsTest, AHostCounterServiceIsUsed) {
  UseHostCounter(false, false);
  ASSERT_TRUE(rights_.Create_Rights()) << ErrDesc();
  EXPECT_EQ(RightsRows(), "C1B2RG900=900;");
  EXPECT_EQ(LastNo(), "44");  // the host keeps its numbers elsewhere
}

TEST_P(RightsTest, AStoreFailureAfterTheRowWasAddedLeavesNoTrace) {
  store_->Exec(testing::Traits(GetParam())
                   .failing_trigger("frozen_numbering", "BEFORE UPDATE",
                                    "Document_Counter", "numbering is frozen"));
  EXPECT_FALSE(rights_.Create_Rights());
  EXPECT_NE(ErrDesc().find("numbering is frozen"), std::string::npos)
      << ErrDesc();
  EXPECT_EQ(RightsRows(), "");
  EXPECT_EQ(LastNo(), "44");
}

TEST_P(RightsTest, AFailureBeforeTheTransactionLeavesTheObjectUsable) {
  rights_.ADOConnectionString("Provider=Nowhere;Data Source=x");
  EXPECT_FALSE(rights_.Create_Rights());
  EXPECT_NE(ErrDesc().find("Nowhere"), std::string::npos) << ErrDesc();
  rights_.ADOConnectionString(store_->connection_string());
  ASSERT_TRUE(rights_.Create_Rights()) << ErrDesc();
  EXPECT_EQ(RightsRows(), "C1B2RG45=45;");
}

TEST_P(RightsTest, CreationValidatesInOrderAndNeverCallsTheCounter) {
  UseHostCounter(true, true);  // would leave its own text if called
  Rights rights;
  // Each message, then the value that gets past it. RightsNo is not
  // validated: setting it leaves the name's message.
  const std::vector<std::pair<std::string, std::function<void()>>> steps = {
      {"Invalid Connection string Property.",
       [&] { rights.ADOConnectionString(store_->connection_string()); }},
      {"Invalid Company Prefix.", [&] { rights.CompanyPrefix("C1"); }},
      {"Invalid Branch Prefix.", [&] { rights.BranchPrefix(" "); }},
      {"Invalid Document Prefix.", [&] { rights.DocumentPrefix("RG"); }},
      {"Invalid Rights Name", [&] { rights.RightsNo("R"); }},
      {"Invalid Rights Name", [] {}}};
  for (const auto& [message, get_past_it] : steps) {
    EXPECT_FALSE(rights.Create_Rights());
    EXPECT_EQ(rights.ErrDesc(), message);
    get_past_it();
  }
  EXPECT_EQ(RightsRows(), "");
}

TEST_P(RightsTest, UpdateRewritesExactlyOneRowUnderTheKey) {
  store_->Exec(
      "INSERT INTO Rights_Master (Rights_No, Rights_Identity, Rights_Name, "
      "Rights_Parent) VALUES ('K1', 1, 'old', 'p'), ('K2', 2, 'other', 'q')");
  rights_.RightsNo("K1");
  rights_.RightsName("new");
  rights_.LastUpdate(*DateTime::FromIsoText("2025-01-02 03:04:05.006"));
  ASSERT_TRUE(rights_.Update_Rights()) << ErrDesc();
  EXPECT_EQ(store_->Query("SELECT Rights_Name, Rights_Parent, Last_Update "
                          "FROM Rights_Master ORDER BY Rights_No"),
            (testing::Rows{{"new", "", "2025-01-02 03:04:05.006"},
                           {"other", "q", std::nullopt}}));

  rights_.RightsNo("missing");
  EXPECT_TRUE(rights_.Update_Rights());
  EXPECT_EQ(ErrDesc(), "");
}

TEST_P(RightsTest, UpdateLeavesAKeyThatTwoRowsShare) {
  store_->Exec("DROP TABLE Rights_Master");
  store_->Exec(
      "CREATE TABLE Rights_Master (Rights_No text, Rights_Identity integer, "
      "Rights_Name text, Rights_Parent text, Last_Update text)");
  store_->Exec(
      "INSERT INTO Rights_Master (Rights_No, Rights_Name) VALUES "
      "('K1', 'a'), ('K1', 'b')");
  rights_.RightsNo("K1");
  EXPECT_TRUE(rights_.Update_Rights());
  EXPECT_EQ(store_->Query("SELECT Rights_Name FROM Rights_Master ORDER BY 1"),
            (testing::Rows{{"a"}, {"b"}}));
}

TEST_P(RightsTest, UpdateValidatesConnectionThenKeyAndName) {
  Rights rights;
  EXPECT_FALSE(rights.Update_Rights());
  EXPECT_EQ(rights.ErrDesc(), "Invalid Connection string Property.");
  rights.ADOConnectionString(store_->connection_string());
  rights.RightsName("named");
  EXPECT_FALSE(rights.Update_Rights());
  EXPECT_EQ(rights.ErrDesc(), "Invalid Rights Name");
  rights.RightsNo("K'1");
  EXPECT_FALSE(rights.Update_Rights());
  EXPECT_NE(rights.ErrDesc().find("single quote"), std::string::npos);
}

// Creators in separate processes share nothing but the store: every
// success gets its own number, with no gaps, and nothing is lost.
TEST_P(RightsTest, ProcessesCreatingAtOnceNeverShareANumber) {
  constexpr int kProcesses = 4;
  constexpr int kEach = 15;
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int i = 0; i < kEach; ++i) failures += !rights_.Create_Rights();
      _exit(failures);  // no destructors: the parent's connections stay its own
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "creations failed in a child";
  }
  const auto numbers =
      store_->Query("SELECT Rights_Identity FROM Rights_Master");
  std::set<int> distinct;
  for (const auto& row : numbers) distinct.insert(std::stoi(*row[0]));
  EXPECT_EQ(numbers.size(), std::size_t{kProcesses * kEach});
  EXPECT_EQ(distinct.size(), numbers.size());
  EXPECT_EQ(*distinct.begin(), 45);
  EXPECT_EQ(*distinct.rbegin(), 44 + kProcesses * kEach);
  EXPECT_EQ(LastNo(), std::to_string(44 + kProcesses * kEach));
}

TAVIK_ON_EVERY_STORE(Stores, RightsTest);

}  // namespace
}  // namespace tavikuser
