// The five classes as callers bind to them: member lists in interface order,
// new-object defaults, accessors early- and late-bound, and the operation
// frame's traps.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <utility>
#include <vector>

#include "frame/operation.h"
#include "tavikuser/automation.h"
#include "tavikuser/check_access_rights.h"
#include "tavikuser/rights.h"
#include "tavikuser/user.h"
#include "tavikuser/user_group.h"

namespace tavikuser {
namespace {

using automation::MemberKind;
using Listing = std::vector<std::pair<MemberKind, std::string>>;

constexpr MemberKind kGet = MemberKind::kGet;
constexpr MemberKind kLet = MemberKind::kLet;
constexpr MemberKind kSet = MemberKind::kSet;
constexpr MemberKind kFunction = MemberKind::kFunction;

Listing ListingOf(const automation::ClassInfo& info) {
  Listing listing;
  for (const auto& member : info.members()) {
    listing.emplace_back(member.kind, member.name);
  }
  return listing;
}

Listing ListingOf(std::string_view progid) {
  return ListingOf(automation::CreateObject(progid)->Class());
}

// The interface order callers bind to; operations appear as they are built.
TEST(MemberTableTest, EachClassListsItsMembersInInterfaceOrder) {
  const Listing prefixes = {{kGet, "CompanyPrefix"},  {kLet, "CompanyPrefix"},
                            {kGet, "BranchPrefix"},   {kLet, "BranchPrefix"},
                            {kGet, "DocumentPrefix"}, {kLet, "DocumentPrefix"}};
  auto join = [](std::initializer_list<Listing> parts) {
    Listing all;
    for (const Listing& part : parts)
      all.insert(all.end(), part.begin(), part.end());
    return all;
  };

  EXPECT_EQ(ListingOf("TavikUser.Rights"),
            join({{{kLet, "ADOConnectionString"}},
                  prefixes,
                  {{kGet, "RightsNo"},
                   {kLet, "RightsNo"},
                   {kGet, "RightsName"},
                   {kLet, "RightsName"},
                   {kGet, "RightsParent"},
                   {kLet, "RightsParent"},
                   {kGet, "LastUpdate"},
                   {kLet, "LastUpdate"},
                   {kFunction, "Create_Rights"},
                   {kFunction, "Update_Rights"},
                   {kGet, "ErrDesc"}}}));
  EXPECT_EQ(ListingOf("TavikUser.Role"), join({{{kLet, "ADOConnectionString"},
                                                {kLet, "RoleNumber"},
                                                {kGet, "RoleName"},
                                                {kLet, "RoleName"}},
                                               prefixes,
                                               {{kFunction, "Create_Role"},
                                                {kFunction, "Update_Role"},
                                                {kFunction, "Delete_Role"},
                                                {kGet, "ErrDesc"}}}));
  EXPECT_EQ(ListingOf("TavikUser.UserGroup"),
            join({{{kLet, "ADOConnectionString"},
                   {kLet, "GroupNumber"},
                   {kGet, "GroupNumber"},
                   {kGet, "GroupName"},
                   {kLet, "GroupName"},
                   {kGet, "GroupDescription"},
                   {kLet, "GroupDescription"}},
                  prefixes,
                  {{kGet, "LastUpdate"},
                   {kLet, "LastUpdate"},
                   {kFunction, "Create_Group"},
                   {kFunction, "Update_Group"},
                   {kFunction, "Delete_Group"},
                   {kGet, "ErrDesc"},
                   {kFunction, "Get_UserGroup"}}}));
  EXPECT_EQ(ListingOf("TavikUser.CheckAccessRights"),
            (Listing{{kLet, "ADOConnectionString"},
                     {kLet, "RightsNo"},
                     {kLet, "UserNo"},
                     {kFunction, "Check_Access_Rights"},
                     {kGet, "ErrDesc"}}));
  EXPECT_EQ(ListingOf("TavikUser.User"),
            join({{{kFunction, "Change_Password"},
                   {kLet, "NewPassword"},
                   {kGet, "NewPassword"},
                   {kLet, "ADOConnectionString"},
                   {kSet, "AdoConnectionObject"}},
                  prefixes,
                  {{kGet, "UserNo"},
                   {kLet, "UserNo"},
                   {kGet, "UserID"},
                   {kLet, "UserID"},
                   {kGet, "UserName"},
                   {kLet, "UserName"},
                   {kGet, "UserDescription"},
                   {kLet, "UserDescription"},
                   {kGet, "UserPassword"},
                   {kLet, "UserPassword"},
                   {kGet, "LastUpdate"},
                   {kLet, "LastUpdate"},
                   {kFunction, "Create_User"},
                   {kFunction, "Update_User"},
                   {kFunction, "Delete_User"},
                   {kGet, "ErrDesc"},
                   {kFunction, "Get_User"},
                   {kFunction, "Get_User_Unique"}}}));
}

std::string Upper(std::string name) {
  for (char& c : name) c = static_cast<char>(std::toupper(c));
  return name;
}

// The lookups take one text argument: required for a group, optional for a
// user.
TEST(MemberTableTest, LookupsTakeTheirOneArgument) {
  const auto* group = UserGroup::Class().Find("Get_UserGroup", kFunction);
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->required_args + 10 * group->optional_args, 1u);
  for (const char* lookup : {"Get_User", "Get_User_Unique"}) {
    const auto* user = User::Class().Find(lookup, kFunction);
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(user->required_args + 10 * user->optional_args, 10u) << lookup;
  }
}

const char* const kClasses[] = {
    "TavikUser.Rights", "TavikUser.Role", "TavikUser.UserGroup",
    "TavikUser.CheckAccessRights", "TavikUser.User"};

TEST(MemberTableTest, NewObjectsHoldEmptyTextsAndTheZeroDate) {
  for (const char* progid : kClasses) {
    ObjectRef object = automation::CreateObject(progid);
    for (const auto& member : object->Class().members()) {
      if (member.kind != kGet) continue;
      const Variant value = object->Get(member.name);
      if (member.type == VarType::kDate) {
        EXPECT_EQ(value.ToDate(), DateTime()) << progid << "." << member.name;
      } else {
        // ErrDesc too: a text variant, never Empty or Null.
        ASSERT_NE(value.text(), nullptr) << progid << "." << member.name;
        EXPECT_EQ(*value.text(), "") << progid << "." << member.name;
      }
    }
  }
}

TEST(MemberTableTest, LateBoundPropertiesRoundTripAndIgnoreLetterCase) {
  for (const char* progid : kClasses) {
    ObjectRef object = automation::CreateObject(progid);
    for (const auto& member : object->Class().members()) {
      if (member.kind != kLet || !object->Class().Find(member.name, kGet)) {
        continue;
      }
      const Variant value = member.type == VarType::kDate
                                ? Variant(DateTime(45000.5))
                                : Variant("  " + member.name + " value ");
      object->Let(Upper(member.name), value);
      EXPECT_EQ(object->Get(member.name).ToText(), value.ToText())
          << progid << "." << member.name;
    }
  }
}

TEST(MemberTableTest, EarlyAndLateBindingReachTheSameValues) {
  automation::Instance<Rights> object(Rights::Class());
  object.Let("rightsname", Variant("Post journals"));
  object.Let("LastUpdate", Variant("2024-03-01 10:11:12.345"));
  object.value().RightsParent("Ledger");
  EXPECT_EQ(object.value().RightsName(), "Post journals");
  EXPECT_EQ(object.value().LastUpdate().ToIsoText(), "2024-03-01 10:11:12.345");
  EXPECT_EQ(object.Get("RIGHTSPARENT").ToText(), "Ledger");
}

TEST(MemberTableTest, WriteOnlyAndMissingMembersAreRefused) {
  auto status_of = [](auto action) {
    try {
      action();
    } catch (const AutomationError& e) {
      return e.status();
    }
    return static_cast<int>(automation::kOk);
  };
  ObjectRef check = automation::CreateObject("tavikuser.checkaccessrights");
  for (const char* write_only : {"ADOConnectionString", "RightsNo", "UserNo"}) {
    EXPECT_EQ(status_of([&] { check->Get(write_only); }),
              automation::kWrongKind);
  }
  EXPECT_EQ(status_of([&] { check->Let("ErrDesc", Variant("x")); }),
            automation::kWrongKind);
  EXPECT_EQ(status_of([&] { check->Call("UserNo"); }), automation::kWrongKind);
  EXPECT_EQ(status_of([&] { check->Get("CompanyPrefix"); }),
            automation::kUnknownMember);
  EXPECT_EQ(status_of([&] { automation::CreateObject("TavikUser.Nothing"); }),
            automation::kUnknownClass);
  ObjectRef role = automation::CreateObject("TavikUser.Role");
  EXPECT_EQ(status_of([&] { role->Get("RoleNumber"); }),
            automation::kWrongKind);
  ObjectRef user = automation::CreateObject("TavikUser.User");
  EXPECT_EQ(status_of([&] { user->Get("AdoConnectionObject"); }),
            automation::kWrongKind);
  EXPECT_EQ(status_of([&] { user->Let("LastUpdate", Variant("not a date")); }),
            automation::kTypeMismatch);
}

TEST(MemberTableTest, LiveObjectsAreCountedUntilTheLastReference) {
  const std::size_t before = automation::LiveObjects();
  {
    ObjectRef first = automation::CreateObject("TavikUser.User");
    ObjectRef second = first;
    // The account and the connection object it owns.
    EXPECT_EQ(automation::LiveObjects(), before + 2);
  }
  EXPECT_EQ(automation::LiveObjects(), before);
}

TEST(MemberTableTest, AHostClassReplacesARegisteredOne) {
  static const automation::ClassInfo kHostCheck =
      automation::MemberTable<CheckAccessRights>("Host.Check")
          .Get("ErrDesc", &CheckAccessRights::ErrDesc)
          .Build();
  automation::RegisterClass(kHostCheck,
                            &automation::CreateInstance<CheckAccessRights>);
  EXPECT_EQ(automation::CreateObject("HOST.CHECK")->Class().progid(),
            "Host.Check");
}

// The single trap keeps the result it finds and stores the failure's text;
// nothing clears an earlier text.
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
