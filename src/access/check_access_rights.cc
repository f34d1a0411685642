#include "tavikuser/check_access_rights.h"

#include "access/access_statement.h"
#include "frame/messages.h"
#include "frame/operation.h"
#include "frame/state.h"
#include "frame/statements.h"

namespace tavikuser {

struct CheckAccessRights::Impl : frame::CommonState {
  std::string rights_no;
  std::string user_no;
};

CheckAccessRights::CheckAccessRights()
    : CheckAccessRights(std::make_unique<Impl>()) {}
CheckAccessRights::CheckAccessRights(std::unique_ptr<Impl> impl)
    : CommonProperties(*impl), impl_(std::move(impl)) {}
CheckAccessRights::~CheckAccessRights() = default;
CheckAccessRights::CheckAccessRights(CheckAccessRights&&) noexcept = default;
CheckAccessRights& CheckAccessRights::operator=(CheckAccessRights&&) noexcept =
    default;

void CheckAccessRights::RightsNo(std::string vNewRightsNo) {
  impl_->rights_no = std::move(vNewRightsNo);
}

void CheckAccessRights::UserNo(std::string vNewUserNo) {
  impl_->user_no = std::move(vNewUserNo);
}

bool CheckAccessRights::Check_Access_Rights() {
  Impl& check = *impl_;
  frame::Operation operation(check.err_desc);
  if (check.connection_string.empty()) {
    return operation.Reject(frame::kInvalidConnectionString);
  }
  if (check.rights_no.empty())
    return operation.Reject(frame::kInvalidRightsCode);
  if (check.user_no.empty()) return operation.Reject(frame::kInvalidUserNo);

  return operation.Trapped([&] {
    const std::string& user_no = frame::Quoted(check.user_no);
    const std::string& rights_no = frame::Quoted(check.rights_no);
    const store::Rows granted =
        store::Borrow(check.connection_string)
            ->Query(access::kGrantedCatalogueRows,
                    {user_no, rights_no, rights_no, user_no});
    if (!granted.empty()) {
      operation.Succeed();
    } else {
      operation.Reject("Access Denied");
    }
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
