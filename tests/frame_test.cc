// The five classes as callers bind to them, and the operation frame's trap.
#include <gtest/gtest.h>

#include <string>

#include "frame/operation.h"
#include "tavikuser/automation.h"

namespace tavikuser {
namespace {

using automation::MemberKind;

// Each class's members in interface order, which sets the dispatch
// identifiers that callers bind to: "GL Name" is a getter followed by a
// setter of that name, "F Name(1+0)" a function taking one required and no
// optional argument.
constexpr std::pair<const char*, const char*> kInterfaces[] = {
    {"TavikUser.Rights",
     "L ADOConnectionString, GL CompanyPrefix, GL BranchPrefix, "
     "GL DocumentPrefix, GL RightsNo, GL RightsName, GL RightsParent, "
     "GL LastUpdate, F Create_Rights, F Update_Rights, G ErrDesc"},
    {"TavikUser.Role",
     "L ADOConnectionString, L RoleNumber, GL RoleName, GL CompanyPrefix, "
     "GL BranchPrefix, GL DocumentPrefix, F Create_Role, F Update_Role, "
     "F Delete_Role, G ErrDesc"},
    {"TavikUser.UserGroup",
     "L ADOConnectionString, LG GroupNumber, GL GroupName, "
     "GL GroupDescription, GL CompanyPrefix, GL BranchPrefix, "
     "GL DocumentPrefix, GL LastUpdate, F Create_Group, F Update_Group, "
     "F Delete_Group, G ErrDesc, F Get_UserGroup(1+0)"},
    {"TavikUser.CheckAccessRights",
     "L ADOConnectionString, L RightsNo, L UserNo, F Check_Access_Rights, "
     "G ErrDesc"},
    {"TavikUser.User",
     "F Change_Password, LG NewPassword, L ADOConnectionString, "
     "S AdoConnectionObject, GL CompanyPrefix, GL BranchPrefix, "
     "GL DocumentPrefix, GL UserNo, GL UserID, GL UserName, "
     "GL UserDescription, GL UserPassword, GL LastUpdate, F Create_User, "
     "F Update_User, F Delete_User, G ErrDesc, F Get_User(0+1), "
     "F Get_User_Unique(0+1)"},
};

std::string Interface(const automation::ClassInfo& info) {
  std::string listing, last;
  for (const automation::Member& member : info.members()) {
    const char kind = " GLSF"[static_cast<int>(member.kind)];
    if (member.name == last) {
      listing.insert(listing.size() - last.size() - 1, 1, kind);
      continue;
    }
    listing += (listing.empty() ? "" : ", ") + std::string(1, kind) + " " +
               member.name;
    if (member.kind == MemberKind::kFunction &&
        member.required_args + member.optional_args > 0) {
      listing += "(" + std::to_string(member.required_args) + "+" +
                 std::to_string(member.optional_args) + ")";
    }
    last = member.name;
  }
  return listing;
}

TEST(MemberTableTest, EachClassListsItsMembersInInterfaceOrder) {
  for (const auto& [progid, expected] : kInterfaces) {
    EXPECT_EQ(Interface(automation::CreateObject(progid)->Class()), expected);
  }
}

// A new object's properties hold the empty text (ErrDesc too: never Empty
// or Null) or the zero date, and each keeps what is assigned to it.
TEST(MemberTableTest, PropertiesStartEmptyAndKeepWhatIsAssigned) {
  for (const auto& [progid, interface] : kInterfaces) {
    ObjectRef object = automation::CreateObject(progid);
    for (const automation::Member& member : object->Class().members()) {
      if (member.kind != MemberKind::kGet) continue;
      SCOPED_TRACE(std::string(progid) + "." + member.name);
      const bool date = member.type == VarType::kDate;
      const Variant initial = object->Get(member.name);
      if (date) {
        EXPECT_EQ(initial.ToDate(), DateTime());
      } else {
        ASSERT_NE(initial.text(), nullptr);
        EXPECT_EQ(*initial.text(), "");
      }
      if (!object->Class().Find(member.name, MemberKind::kLet)) continue;
      const Variant given = date ? Variant(DateTime(45000.5))
                                 : Variant("  " + member.name + " value ");
      object->Let(member.name, given);
      EXPECT_EQ(object->Get(member.name).ToText(), given.ToText());
    }
  }
}

// The single trap keeps the result it finds (a failure after success, such
// as closing, does not undo it) and stores the failure's text; nothing
// clears an earlier text.
TEST(OperationFrameTest, SingleTrapKeepsTheResultAndStoresTheText) {
  std::string err_desc = "earlier failure";
  frame::Operation quiet(err_desc);
  EXPECT_TRUE(quiet.Trapped([&] { quiet.Succeed(); }));
  EXPECT_EQ(err_desc, "earlier failure");

  frame::Operation failing(err_desc);
  EXPECT_TRUE(failing.Trapped([&] {
    failing.Succeed();
    throw DataAccessError("close failed");
  }));
  EXPECT_EQ(err_desc, "close failed");
}

}  // namespace
}  // namespace tavikuser
