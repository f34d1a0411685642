// The statement of the access check, apart from the operation that runs it,
// so that the benchmark's raw floor runs the very text the library runs; and
// beside it the statements that report on it, built from its probes.
#ifndef TAVIKUSER_ACCESS_ACCESS_STATEMENT_H_
#define TAVIKUSER_ACCESS_ACCESS_STATEMENT_H_

namespace tavikuser::access {

// The catalogue rows that a grant path leads the user to, one probe of the
// catalogue per path. Each probe is the listed check's own test,
// "Rights_No In (...)" over the same link rows, so that the two answer alike
// on any schema, whatever collations or column types a host's tables have;
// and each can be read through the indexes of its link tables, which one
// test over both paths joined by OR could not be on every store.
// Values: user number, rights number, rights number, user number.
inline constexpr char kGrantedCatalogueRows[] =
    "SELECT Rights_No FROM Rights_Master WHERE Rights_No IN (SELECT Rights_No "
    "FROM Access_Control_Rights WHERE User_No = ? AND Rights_No = ?) "
    "UNION ALL "
    "SELECT Rights_No FROM Rights_Master WHERE Rights_No IN (SELECT Rights_No "
    "FROM Group_Detail WHERE Rights_No = ? AND User_Group_No IN (SELECT "
    "User_Group_No FROM Access_Control_Groups WHERE User_No = ?))";

// Every catalogue row that the check's probes lead a user to, whatever rights
// number it is asked about: the same two probes without the rights number's
// test. The group probe is written as the join it means ("x IN (SELECT y
// ...)" is "x = y" for some y, x on the left as in the probe), so that each
// row names the group it came through and PostgreSQL can plan it from the
// user's memberships (a correlated IN it cannot); a direct grant's row has
// Null there. A row comes once per path that leads to it.
// Values: user number, user number.
inline constexpr char kHeldCatalogueRows[] =
    "SELECT Rights_No, Rights_Name, NULL FROM Rights_Master WHERE Rights_No "
    "IN (SELECT Rights_No FROM Access_Control_Rights WHERE User_No = ?) "
    "UNION ALL "
    "SELECT m.Rights_No, m.Rights_Name, g.User_Group_No FROM "
    "Access_Control_Groups g JOIN Group_Detail d ON d.User_Group_No = "
    "g.User_Group_No JOIN Rights_Master m ON m.Rights_No = d.Rights_No WHERE "
    "g.User_No = ?";

// The facts behind one check, each row tagged with what it tells: the
// check's direct probe ('direct'), its group probe as a join, once per group
// of the user it leads through ('granting'), the user's groups ('member'),
// the catalogue row ('catalogue', with its name) and the user's row
// ('user').
// Values: user number, rights number, user number, rights number, user
// number, rights number, user number.
inline constexpr char kCheckFacts[] =
    "SELECT 'direct', Rights_No FROM Rights_Master WHERE Rights_No IN (SELECT "
    "Rights_No FROM Access_Control_Rights WHERE User_No = ? AND Rights_No = ?) "
    "UNION ALL "
    "SELECT 'granting', g.User_Group_No FROM Access_Control_Groups g JOIN "
    "Group_Detail d ON d.User_Group_No = g.User_Group_No JOIN Rights_Master m "
    "ON m.Rights_No = d.Rights_No WHERE g.User_No = ? AND d.Rights_No = ? "
    "UNION ALL "
    "SELECT 'member', User_Group_No FROM Access_Control_Groups WHERE User_No "
    "= ? "
    "UNION ALL "
    "SELECT 'catalogue', Rights_Name FROM Rights_Master WHERE Rights_No = ? "
    "UNION ALL "
    "SELECT 'user', NULL FROM User_Master WHERE User_No = ?";

}  // namespace tavikuser::access

#endif  // TAVIKUSER_ACCESS_ACCESS_STATEMENT_H_
