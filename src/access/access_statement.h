// The statement of the access check, apart from the operation that runs it,
// so that the benchmark's raw floor runs the very text the library runs.
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

}  // namespace tavikuser::access

#endif  // TAVIKUSER_ACCESS_ACCESS_STATEMENT_H_
