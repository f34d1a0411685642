#include "tavikuser/administration.h"

#include "frame/statements.h"
#include "platform/store/store.h"
#include "platform/store/transaction.h"

namespace tavikuser {
namespace {

// A master table and its key column.
struct Master {
  const char* table;
  const char* key;
};

constexpr Master kUsers{"User_Master", "User_No"};
constexpr Master kGroups{"User_Group", "User_Group_No"};
constexpr Master kRoles{"Role_Master", "Role_No"};
constexpr Master kRights{"Rights_Master", "Rights_No"};

struct LinkTable {
  const char* table;
  Master first;
  Master second;
};

// By Link; a link table's columns are named as its masters' keys.
constexpr LinkTable kLinkTables[] = {
    {"Access_Control_Rights", kUsers, kRights},
    {"Group_Detail", kGroups, kRights},
    {"Role_Detail", kRoles, kRights},
    {"Access_Control_Groups", kUsers, kGroups},
    {"Access_Control", kRoles, kGroups},
};

std::string Text(const char* text) { return text; }

// "<first key> = ? AND <second key> = ?" for a link table.
std::string RowCondition(const LinkTable& link) {
  return Text(link.first.key) + " = ? AND " + link.second.key + " = ?";
}

std::string CountOf(const Master& master) {
  return Text("(SELECT COUNT(*) FROM ") + master.table + " WHERE " +
         master.key + " = ?)";
}

// How many master rows carry each number, and how many link rows join them.
struct Counts {
  std::int64_t first, second, links;
};

Counts CountRows(store::Connection& db, const LinkTable& link,
                 const std::string& first, const std::string& second) {
  const store::Rows rows =
      db.Query("SELECT " + CountOf(link.first) + ", " + CountOf(link.second) +
                   ", (SELECT COUNT(*) FROM " + link.table + " WHERE " +
                   RowCondition(link) + ")",
               {first, second, first, second});
  auto count = [&](std::size_t column) {
    return frame::CountOf({{rows.at(0).at(column)}});
  };
  return {count(0), count(1), count(2)};
}

LinkChange UnknownOr(const Counts& counts, LinkChange otherwise) {
  if (counts.first == 0) return LinkChange::kUnknownFirst;
  if (counts.second == 0) return LinkChange::kUnknownSecond;
  return otherwise;
}

// Runs `work` on the link table in one transaction, committed when it
// returns; values that hold a single quote are refused before it begins.
template <class Work>
LinkChange InTransaction(const std::string& connection_string, Link link,
                         const std::string& first, const std::string& second,
                         Work&& work) {
  frame::Quoted(first);
  frame::Quoted(second);
  store::Lease db = store::Borrow(connection_string);
  store::Transaction transaction(db);
  const LinkChange change = work(*db, kLinkTables[static_cast<int>(link)]);
  transaction.Commit();
  return change;
}

}  // namespace

LinkChange AddLink(const std::string& connection_string, Link link,
                   const std::string& first, const std::string& second) {
  return InTransaction(connection_string, link, first, second,
                       [&](store::Connection& db, const LinkTable& table) {
                         const Counts counts =
                             CountRows(db, table, first, second);
                         const LinkChange change = UnknownOr(
                             counts, counts.links > 0 ? LinkChange::kUnchanged
                                                      : LinkChange::kMade);
                         if (change == LinkChange::kMade) {
                           db.Execute(Text("INSERT INTO ") + table.table +
                                          " (" + table.first.key + ", " +
                                          table.second.key + ") VALUES (?, ?)",
                                      {first, second});
                         }
                         return change;
                       });
}

LinkChange RemoveLink(const std::string& connection_string, Link link,
                      const std::string& first, const std::string& second) {
  return InTransaction(
      connection_string, link, first, second,
      [&](store::Connection& db, const LinkTable& table) {
        // Rows that name a master row since deleted are removed all the same.
        const std::int64_t deleted =
            db.Execute(Text("DELETE FROM ") + table.table + " WHERE " +
                           RowCondition(table),
                       {first, second});
        return deleted > 0 ? LinkChange::kMade
                           : UnknownOr(CountRows(db, table, first, second),
                                       LinkChange::kNotFound);
      });
}

std::vector<RegisterRow> ListRegister(const std::string& connection_string,
                                      Register what, const std::string& company,
                                      const std::string& branch) {
  struct Columns {
    Master master;
    const char* name;
    const char* user_id;
  };
  static constexpr Columns kRegisters[] = {
      {kUsers, "User_Name", "User_ID"},
      {kGroups, "User_Group_Name", "NULL"},
      {kRights, "Rights_Name", "NULL"},
      {kRoles, "Role_Name", "NULL"},
  };
  const Columns& columns = kRegisters[static_cast<int>(what)];
  std::string sql = Text("SELECT ") + columns.master.key + ", " + columns.name +
                    ", Company_Prefix, Branch_Prefix, " + columns.user_id +
                    " FROM " + columns.master.table;
  store::Values values;
  for (const auto& [column, value] : {std::pair{"Company_Prefix", &company},
                                      std::pair{"Branch_Prefix", &branch}}) {
    if (value->empty()) continue;
    sql += values.empty() ? " WHERE " : " AND ";
    sql += Text(column) + " = ?";
    values.emplace_back(frame::Quoted(*value));
  }
  sql += Text(" ORDER BY ") + columns.master.key;

  std::vector<RegisterRow> rows;
  for (const store::Row& row :
       store::Borrow(connection_string)->Query(sql, values)) {
    auto text = [&](std::size_t i) {
      return row.at(i).is_null() ? std::string() : row.at(i).ToText();
    };
    rows.push_back({text(0), text(1), text(2), text(3), text(4)});
  }
  return rows;
}

}  // namespace tavikuser
