// The five classes as callers bind to them, the operation frame's trap, and
// the letter case of the password change.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "frame/letter_case.h"
#include "frame/operation.h"
#include "tavikuser/automation.h"
#include "tavikuser/rights.h"

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

// The members in interface order; a new object's properties hold the empty
// text (ErrDesc too: never Empty or Null) or the zero date.
TEST(MemberTableTest, MembersComeInInterfaceOrderAndPropertiesStartEmpty) {
  for (const auto& [progid, expected] : kInterfaces) {
    ObjectRef object = automation::CreateObject(progid);
    EXPECT_EQ(Interface(object->Class()), expected);
    for (const automation::Member& member : object->Class().members()) {
      if (member.kind != MemberKind::kGet) continue;
      const Variant initial = object->Get(member.name);
      EXPECT_TRUE(member.type == VarType::kDate
                      ? initial.ToDate() == DateTime()
                      : initial.text() && initial.text()->empty())
          << progid << "." << member.name;
    }
  }
}

// A date outside the calendar is refused, early or late bound.
TEST(MemberTableTest, ADateOutsideTheCalendarIsRefusedWhenLet) {
  Rights right;
  for (double day : {std::nan(""), 1e12, -1e12, 2958466.0, -657435.0}) {
    EXPECT_THROW(right.LastUpdate(DateTime(day)), AutomationError) << day;
  }
  const ObjectRef late = automation::CreateObject("TavikUser.Rights");
  EXPECT_THAT([&] { late->Let("LastUpdate", Variant(1e12)); },
              ::testing::Throws<AutomationError>(::testing::Property(
                  &AutomationError::status, automation::kTypeMismatch)));
  EXPECT_EQ(right.LastUpdate(), DateTime());
}

// The single trap keeps the result it finds: a failure after success, such
// as closing, does not undo it; the failure's text is stored.
TEST(OperationFrameTest, SingleTrapKeepsTheResultAndStoresTheText) {
  std::string err_desc;
  frame::Operation operation(err_desc);
  EXPECT_TRUE(operation.Trapped([&] {
    operation.Succeed();
    throw DataAccessError("close failed");
  }));
  EXPECT_EQ(err_desc, "close failed");
}

// Each letter's simple Unicode uppercase, and bytes that are not UTF-8 left
// as they are, one by one.
TEST(LetterCaseTest, UppercasesLettersAndPassesOtherBytesThrough) {
  // An uppercase may take fewer or more bytes; "ß" and "漢" have none.
  EXPECT_EQ(frame::UpperCase("café жук ω ς ǆ ա ÿ ı ɐ 𐐨 ß 42 漢字 ✓ 😀"),
            "CAFÉ ЖУК Ω Σ Ǆ Ա Ÿ I Ɐ 𐐀 ß 42 漢字 ✓ 😀");
  // A continuation byte without a lead, a lead cut off by a letter, an
  // overlong form, a surrogate, a code point beyond U+10FFFF.
  for (const std::string invalid : {"\x80", "\xC3", "\xC0\xA9", "\xED\xA0\x80",
                                    "\xF4\x90\x80\x80", "\xFF"}) {
    EXPECT_EQ(frame::UpperCase("a" + invalid + "zé"), "A" + invalid + "ZÉ");
  }
  EXPECT_EQ(frame::UpperCase("é\xC3"), "É\xC3");  // a lead cut off at the end
}

}  // namespace
}  // namespace tavikuser
