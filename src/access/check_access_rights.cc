#include "tavikuser/check_access_rights.h"

#include "access/access_statement.h"
#include "frame/messages.h"
#include "frame/operation.h"
#include "platform/adodb/recordset.h"

namespace tavikuser {

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
    catalogue_rows.Open(access::IndexedStatement(user_no_, rights_no_),
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
