// What a user holds, and why an access check answers as it does: read-only
// questions beside TavikUser.CheckAccessRights, over the same tables and the
// same tests, each answered by one statement on one pooled connection.
//
//   for (const tavikuser::HeldRight& right :
//        tavikuser::EffectiveRights("Provider=SQLite;Data Source=tavik.db",
//                                   "C1B2US7")) {
//     enable_menu_item(right.rights_no);
//   }
//
// Every function here is thread-safe (each call borrows its own connection)
// and returns plain values that the caller owns.
#ifndef TAVIKUSER_ACCESS_REPORT_H_
#define TAVIKUSER_ACCESS_REPORT_H_

#include <string>
#include <vector>

#include "tavikuser/export.h"

namespace tavikuser {

// One right that a user holds, and every way the user holds it.
struct HeldRight {
  std::string rights_no;
  std::string rights_name;  // empty when the catalogue row has none
  // An Access_Control_Rights row grants it to the user.
  bool direct = false;
  // The user's groups whose Group_Detail rows grant it; sorted, each once.
  std::vector<std::string> groups;
};

// Every right in the rights catalogue that a direct or a group grant leads
// `user_no` to, sorted by rights number, each number once: the catalogue rows
// that Check_Access_Rights finds for this user, whatever rights number it is
// asked about. Where the link tables compare keys as the catalogue does (the
// shipped schema), Check_Access_Rights is true exactly for the numbers listed
// here. Throws DataAccessError with the text that Check_Access_Rights would
// leave in ErrDesc: an empty connection string or user number, a number with
// a single quote, the store's failure.
TAVIK_EXPORT std::vector<HeldRight> EffectiveRights(
    const std::string& connection_string, const std::string& user_no);

// The first link missing on the way from a user to a right, in the order an
// operator mends them.
enum class MissingLink {
  kNone,          // nothing: the right is granted
  kCatalogueRow,  // no Rights_Master row carries the rights number
  kUser,          // no User_Master row carries the user number
  kGrant,         // no direct grant, and none of the user's groups grants it
};

// Why Check_Access_Rights answers as it does for one user and one right.
struct AccessExplanation {
  // What Check_Access_Rights answers: true when `direct` or a group grants.
  bool granted = false;
  MissingLink missing = MissingLink::kNone;
  // Whether the catalogue has a row for the rights number, and its name.
  bool in_catalogue = false;
  std::string rights_name;
  // Whether a User_Master row carries the user number (the check itself
  // does not ask: a grant to an unknown number is granted all the same).
  bool user_known = false;
  // A direct grant leads to the catalogue row.
  bool direct = false;
  // The user's groups that lead to it, and all the user's groups; both
  // sorted, each once.
  std::vector<std::string> granting_groups;
  std::vector<std::string> user_groups;
};

// Explains the access check of `user_no` for `rights_no`; `granted` agrees
// with Check_Access_Rights. Throws DataAccessError as EffectiveRights does,
// also for an empty rights number.
TAVIK_EXPORT AccessExplanation
ExplainAccess(const std::string& connection_string, const std::string& user_no,
              const std::string& rights_no);

}  // namespace tavikuser

#endif  // TAVIKUSER_ACCESS_REPORT_H_
