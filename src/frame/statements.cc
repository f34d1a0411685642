#include "frame/statements.h"

#include "tavikuser/errors.h"

namespace tavikuser::frame {

const std::string& Quoted(const std::string& value) {
  if (value.find('\'') != std::string::npos) {
    throw DataAccessError(
        "The value " + value +
        " contains a single quote, which would end its quoted literal early; "
        "the statement was not run.");
  }
  return value;
}

std::int64_t CountOf(const store::Rows& rows) {
  const store::Value& count = rows.at(0).at(0);
  if (const std::int64_t* whole = count.integer()) return *whole;
  return static_cast<std::int64_t>(count.ToVariant().ToDouble());
}

void TakeUnlessNullOrEmpty(const store::Value& column, std::string& property) {
  if (column.is_null()) return;
  std::string text = column.ToText();
  if (!text.empty()) property = std::move(text);
}

std::optional<CurrentRow> CurrentRow::First(store::Connection& db,
                                            std::string_view table,
                                            std::string_view columns,
                                            std::string_view condition,
                                            const store::Values& values) {
  const std::optional<store::RowIdentity> identity = db.IdentityOf(table);
  std::string select = "SELECT ";
  if (identity) {
    select += identity->columns;
    if (!columns.empty()) select += ", ";
  }
  select += columns.empty() && !identity ? "1" : columns;
  select += " FROM ";
  select += table;
  select += " WHERE ";
  select += condition;
  store::Rows rows = db.Query(select, values);

  if (identity) {
    if (rows.empty()) return std::nullopt;
    store::Values identity_values(rows.front().begin(),
                                  rows.front().begin() + identity->width);
    return CurrentRow(db, table, std::move(rows.front()), identity->width,
                      identity->condition, std::move(identity_values));
  }
  // Without an identity the condition itself finds the row again, which is
  // right only where it selects that row alone.
  const std::size_t found = rows.size();
  if (found == 0) return std::nullopt;
  if (found > 1) {
    throw DataAccessError("The store cannot tell apart the " +
                          std::to_string(found) + " rows of " +
                          std::string(table) +
                          " that share this key; nothing was changed.");
  }
  return CurrentRow(db, table, std::move(rows.front()), 0,
                    std::string(condition), values);
}

void CurrentRow::Update(std::string_view assignments, store::Values values) {
  std::string update = "UPDATE ";
  update += table_;
  update += " SET ";
  update += assignments;
  update += " WHERE ";
  update += condition_;
  values.insert(values.end(), condition_values_.begin(),
                condition_values_.end());
  db_->Execute(update, values);
}

}  // namespace tavikuser::frame
