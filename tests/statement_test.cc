// Statements composed from literal pieces and quoted values.
#include "platform/adodb/statement.h"

#include <gtest/gtest.h>

#include "tavikuser/errors.h"

namespace tavikuser::adodb {
namespace {

// The description of the DataAccessError that composing `pieces` throws.
std::string Refusal(std::initializer_list<Statement::Piece> pieces) {
  try {
    Statement::Compose(pieces);
  } catch (const DataAccessError& error) {
    return error.what();
  }
  ADD_FAILURE() << "the statement was composed";
  return {};
}

TEST(StatementTest, QuotedValuesBecomePlaceholdersInOrder) {
  const Statement statement = Statement::Compose(
      {"Select * From User_Master where User_No='", Quoted{"U001"},
       "' and Company_Prefix='", Quoted{"C"}, "'"});
  EXPECT_EQ(statement.sql(),
            "Select * From User_Master where User_No=:p1 and "
            "Company_Prefix=:p2");
  EXPECT_EQ(statement.values(), (std::vector<BoundValue>{"U001", "C"}));
  EXPECT_EQ(statement.Text(),
            "Select * From User_Master where User_No='U001' and "
            "Company_Prefix='C'");
}

TEST(StatementTest, TextSplicesValuesThatLookLikePlaceholders) {
  const Statement statement =
      Statement::Compose({"Select * From T where A='", Quoted{":p2"},
                          "' and B='", Quoted{""}, "')"});
  EXPECT_EQ(statement.sql(), "Select * From T where A=:p1 and B=:p2)");
  EXPECT_EQ(statement.Text(), "Select * From T where A=':p2' and B='')");
}

TEST(StatementTest, AStatementWithoutValuesIsItsText) {
  const Statement statement("Select * From Rights_Master");
  EXPECT_TRUE(statement.values().empty());
  EXPECT_EQ(statement.Text(), "Select * From Rights_Master");
}

TEST(StatementTest, AValueWithASingleQuoteIsRefused) {
  EXPECT_EQ(Refusal({"Select * From User_Master where User_No='",
                     Quoted{"x' or '1'='1"}, "'"}),
            "The value x' or '1'='1 contains a single quote, which would end "
            "its quoted literal early; the statement was not run.");
}

TEST(StatementTest, AQuotedValueNeedsAQuoteOnEachSide) {
  const std::string unframed =
      "A quoted value must stand between the single quotes of the pieces "
      "around it; the statement was not run.";
  EXPECT_EQ(Refusal({"where A=", Quoted{"v"}, "'"}), unframed);
  EXPECT_EQ(Refusal({"where A='", Quoted{"v"}, " and"}), unframed);
  EXPECT_EQ(Refusal({"where A='", Quoted{"v"}}), unframed);
  EXPECT_EQ(Refusal({"where A='", Quoted{"v"}, Quoted{"w"}, "'"}), unframed);
}

}  // namespace
}  // namespace tavikuser::adodb
