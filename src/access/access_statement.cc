#include "access/access_statement.h"

namespace tavikuser::access {

using adodb::Quoted;

adodb::Statement ListedStatement(std::string_view user_no,
                                 std::string_view rights_no) {
  return adodb::Statement::Compose({
      "SELECT * FROM Rights_Master Where Rights_No In ",
      "(Select Rights_No From Access_Control_Rights Where User_No='",
      Quoted{user_no},
      "' and Rights_No='",
      Quoted{rights_no},
      "')",
      " or Rights_No In (Select Rights_No From Group_Detail ",
      " Where  Rights_No='",
      Quoted{rights_no},
      "' and User_Group_No In(Select User_Group_No from "
      "Access_Control_Groups ",
      " Where USer_No ='",
      Quoted{user_no},
      "'))",
  });
}

adodb::Statement IndexedStatement(std::string_view user_no,
                                  std::string_view rights_no) {
  // The user number comes first, as in the listed form, so that a value
  // refused for a single quote is the same value in both.
  return adodb::Statement::Compose({
      "SELECT Rights_No FROM Rights_Master WHERE (EXISTS (SELECT 1 FROM "
      "Access_Control_Rights WHERE User_No='",
      Quoted{user_no},
      "' AND Rights_No='",
      Quoted{rights_no},
      "') OR EXISTS (SELECT 1 FROM Access_Control_Groups g JOIN Group_Detail "
      "d ON d.User_Group_No = g.User_Group_No WHERE g.User_No='",
      Quoted{user_no},
      "' AND d.Rights_No='",
      Quoted{rights_no},
      "')) AND Rights_No='",
      Quoted{rights_no},
      "'",
  });
}

}  // namespace tavikuser::access
