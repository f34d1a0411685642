// The statement of the access check, in two forms that find the same rows.
//
// Both select the rights catalogue rows that carry the rights number and that
// a grant path leads the user to: a direct grant in Access_Control_Rights,
// or a Group_Detail row of the right for a group that Access_Control_Groups
// pairs with the user. One row per such catalogue row, however many grants
// lead to it, so a catalogue that holds a number twice yields two rows in
// either form.
#ifndef TAVIKUSER_ACCESS_ACCESS_STATEMENT_H_
#define TAVIKUSER_ACCESS_ACCESS_STATEMENT_H_

#include <string_view>

#include "platform/adodb/statement.h"

namespace tavikuser::access {

// The statement joined from the system's own pieces, in their order and with
// their spacing: the reference that the indexed form answers exactly as.
// SQLite reads it through its indexes, but PostgreSQL cannot: it scans the
// whole catalogue on every check, so the check grows with the catalogue.
adodb::Statement ListedStatement(std::string_view user_no,
                                 std::string_view rights_no);

// The form that Check_Access_Rights runs: the catalogue row is found by its
// key, and each grant path is a separate existence test on the indexes of
// its link tables, which every store runs at most once per check.
//
// It answers as the listed form wherever the key columns compare alike, as
// they do in the host tables of schema/: a store whose key columns used
// different collations from one table to the next could tell the two apart.
// A single quote in either value is refused before any store is touched,
// with the same text as the listed form gives.
adodb::Statement IndexedStatement(std::string_view user_no,
                                  std::string_view rights_no);

}  // namespace tavikuser::access

#endif  // TAVIKUSER_ACCESS_ACCESS_STATEMENT_H_
