#include "snapshot.h"

#include <algorithm>
#include <exception>

namespace tavikuser::testing {

std::string Snapshot(TestStore& store) {
  static constexpr const char* kTables[] = {
      "Rights_Master", "Role_Master",           "User_Group",
      "User_Master",   "Role_Detail",           "Access_Control",
      "Group_Detail",  "Access_Control_Rights", "Access_Control_Groups",
      "Branch_Master", "Document_Counter"};
  std::string snapshot;
  for (const char* table : kTables) {
    snapshot += std::string(table) + ":";
    Rows rows;
    try {
      rows = store.Query(std::string("SELECT * FROM ") + table);
    } catch (const std::exception&) {
      snapshot += " absent\n";
      continue;
    }
    std::sort(rows.begin(), rows.end());
    for (const auto& row : rows) {
      snapshot += "\n ";
      for (const auto& value : row) snapshot += " " + value.value_or("NULL");
    }
    snapshot += "\n";
  }
  return snapshot;
}

}  // namespace tavikuser::testing
