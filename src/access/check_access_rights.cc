#include "tavikuser/check_access_rights.h"

#include "frame/messages.h"
#include "frame/operation.h"
#include "platform/adodb/recordset.h"

namespace tavikuser {
namespace {

using adodb::Quoted;

// The catalogue rows of the right that a direct grant or a group grant leads
// the user to. The count is that of catalogue rows, however many grants
// match.
adodb::Statement AccessStatement(const std::string& user_no,
                                 const std::string& rights_no) {
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

}  // namespace

void CheckAccessRights::RightsNo(std::string vNewRightsNo) {
  rights_no_ = std::move(vNewRightsNo);
}

void CheckAccessRights::UserNo(std::string vNewUserNo) {
  user_no_ = std::move(vNewUserNo);
}

bool CheckAccessRights::Check_Access_Rights() {
  frame::Operation operation(err_desc_);
  if (connection_string_.empty()) {
    return operation.Reject(frame::kInvalidConnectionString);
  }
  if (rights_no_.empty()) return operation.Reject("Invalid Rights Code.");
  if (user_no_.empty()) return operation.Reject(frame::kInvalidUserNo);

  return operation.Trapped([&] {
    adodb::Recordset catalogue_rows;
    catalogue_rows.Open(AccessStatement(user_no_, rights_no_),
                        connection_string_, adodb::kOpenKeyset,
                        adodb::kLockOptimistic, adodb::kOptionsUnspecified);
    if (catalogue_rows.RecordCount() > 0) {
      operation.Succeed();
    } else {
      operation.Reject("Access Denied");
    }
    catalogue_rows.Close();
  });
}

const automation::ClassInfo& CheckAccessRights::Class() {
  static const automation::ClassInfo info =
      automation::MemberTable<CheckAccessRights>("TavikUser.CheckAccessRights")
          .Let("ADOConnectionString", &CheckAccessRights::ADOConnectionString)
          .Let("RightsNo", &CheckAccessRights::RightsNo)
          .Let("UserNo", &CheckAccessRights::UserNo)
          .Function("Check_Access_Rights",
                    &CheckAccessRights::Check_Access_Rights)
          .Get("ErrDesc", &CheckAccessRights::ErrDesc)
          .Build();
  return info;
}

}  // namespace tavikuser
