#include "tavikuser/access_report.h"

#include <algorithm>
#include <map>

#include "access/access_statement.h"
#include "frame/messages.h"
#include "frame/statements.h"
#include "platform/store/store.h"
#include "tavikuser/errors.h"

namespace tavikuser {
namespace {

// The check's own validation, in its order, so that a report fails where the
// check would and with the text the check leaves in ErrDesc.
void Require(const std::string& value, const char* message) {
  if (value.empty()) throw DataAccessError(message);
}

void SortUnique(std::vector<std::string>& numbers) {
  std::ranges::sort(numbers);
  numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
}

}  // namespace

std::vector<HeldRight> EffectiveRights(const std::string& connection_string,
                                       const std::string& user_no) {
  Require(connection_string, frame::kInvalidConnectionString);
  Require(user_no, frame::kInvalidUserNo);
  const std::string& user = frame::Quoted(user_no);
  const store::Rows rows =
      store::Borrow(connection_string)
          ->Query(access::kHeldCatalogueRows, {user, user});

  // A catalogue without a key may hold a number twice: its first row names it.
  std::map<std::string, HeldRight> held;
  for (const store::Row& row : rows) {
    const std::string number = row.at(0).ToText();
    HeldRight& right = held[number];
    if (right.rights_no.empty()) {
      right.rights_no = number;
      if (!row.at(1).is_null()) right.rights_name = row.at(1).ToText();
    }
    if (row.at(2).is_null()) {
      right.direct = true;
    } else {
      right.groups.push_back(row.at(2).ToText());
    }
  }
  std::vector<HeldRight> rights;
  rights.reserve(held.size());
  for (auto& [number, right] : held) {
    SortUnique(right.groups);
    rights.push_back(std::move(right));
  }
  return rights;
}

AccessExplanation ExplainAccess(const std::string& connection_string,
                                const std::string& user_no,
                                const std::string& rights_no) {
  Require(connection_string, frame::kInvalidConnectionString);
  Require(rights_no, frame::kInvalidRightsCode);
  Require(user_no, frame::kInvalidUserNo);
  const std::string& user = frame::Quoted(user_no);
  const std::string& right = frame::Quoted(rights_no);
  const store::Rows rows =
      store::Borrow(connection_string)
          ->Query(access::kCheckFacts,
                  {user, right, user, right, user, right, user});

  AccessExplanation why;
  for (const store::Row& row : rows) {
    const std::string tag = row.at(0).ToText();
    const store::Value& value = row.at(1);
    if (tag == "direct") {
      why.direct = true;
    } else if (tag == "user") {
      why.user_known = true;
    } else if (tag == "catalogue") {
      if (!why.in_catalogue && !value.is_null()) {
        why.rights_name = value.ToText();
      }
      why.in_catalogue = true;
    } else if (!value.is_null()) {
      (tag == "granting" ? why.granting_groups : why.user_groups)
          .push_back(value.ToText());
    }
  }
  SortUnique(why.granting_groups);
  SortUnique(why.user_groups);
  why.granted = why.direct || !why.granting_groups.empty();
  if (why.granted) {
    why.missing = MissingLink::kNone;
  } else if (!why.in_catalogue) {
    why.missing = MissingLink::kCatalogueRow;
  } else if (!why.user_known) {
    why.missing = MissingLink::kUser;
  } else {
    why.missing = MissingLink::kGrant;
  }
  return why;
}

}  // namespace tavikuser
