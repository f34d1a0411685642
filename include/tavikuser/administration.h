// The link rows that grant rights, and the registers an operator reads: the
// work of an administration tool (the `tavikuser` command), beside the five
// classes. Each change runs in one transaction on one pooled connection,
// with every value bound.
//
// Every function here is thread-safe (each call borrows its own connection)
// and returns plain values. Each throws DataAccessError with the store's
// text when the store fails, and for a number holding a single quote.
#ifndef TAVIKUSER_ADMINISTRATION_H_
#define TAVIKUSER_ADMINISTRATION_H_

#include <string>
#include <vector>

#include "tavikuser/export.h"

namespace tavikuser {

// A link table, named by what its two columns hold, in their order.
enum class Link {
  kUserRight,   // Access_Control_Rights: User_No, Rights_No
  kGroupRight,  // Group_Detail: User_Group_No, Rights_No
  kRoleRight,   // Role_Detail: Role_No, Rights_No
  kUserGroup,   // Access_Control_Groups: User_No, User_Group_No
  kRoleGroup,   // Access_Control: Role_No, User_Group_No
};

enum class LinkChange {
  kMade,           // the row was written, or every such row deleted
  kUnchanged,      // AddLink: the row was there already
  kNotFound,       // RemoveLink: no such row
  kUnknownFirst,   // no master row carries the first number; nothing changed
  kUnknownSecond,  // no master row carries the second number; nothing changed
};

// Writes the link row (`first`, `second`) unless it is there already, so that
// adding twice leaves one row. Both numbers must name master rows (User_Master,
// User_Group, Role_Master, Rights_Master).
TAVIK_EXPORT LinkChange AddLink(const std::string& connection_string, Link link,
                                const std::string& first,
                                const std::string& second);

// Deletes every link row (`first`, `second`). Where there is none, tells
// whether a number is unknown (the first one first) or the row is missing.
TAVIK_EXPORT LinkChange RemoveLink(const std::string& connection_string,
                                   Link link, const std::string& first,
                                   const std::string& second);

enum class Register { kUsers, kGroups, kRights, kRoles };

// One row of a register; Null columns read as empty text.
struct RegisterRow {
  std::string number;
  std::string name;
  std::string company;
  std::string branch;
  std::string user_id;  // users only: the ID a user signs in with
};

// The rows of a register sorted by number, of one company and branch prefix
// where `company` or `branch` is not empty.
TAVIK_EXPORT std::vector<RegisterRow> ListRegister(
    const std::string& connection_string, Register what,
    const std::string& company, const std::string& branch);

}  // namespace tavikuser

#endif  // TAVIKUSER_ADMINISTRATION_H_
