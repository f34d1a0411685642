#include "platform/adodb/recordset.h"

#include <cctype>
#include <charconv>
#include <limits>
#include <optional>
#include <variant>
#include <vector>

#include "platform/adodb/connection_state.h"
#include "platform/adodb/session.h"
#include "platform/automation/text.h"
#include "tavikuser/errors.h"

namespace tavikuser::adodb {
namespace {

using automation::EqualsIgnoringCase;

constexpr char kNoCurrentRow[] =
    "No current row: the recordset is empty or positioned past its last row.";

// ASCII letters, digits and underscores, whatever the host's locale: every
// row stored checks each of its column names.
bool IsNameStart(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool IsNamePart(char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }

// A table or column name that can stand in a statement as it is.
bool IsPlainName(std::string_view name) {
  if (name.empty() || !IsNameStart(name.front())) return false;
  for (char c : name) {
    if (!IsNamePart(c)) return false;
  }
  return true;
}

const std::string& PlainName(const std::string& name) {
  if (!IsPlainName(name)) {
    throw DataAccessError("The name " + name +
                          " cannot be used in a statement: only letters, "
                          "digits and underscores are.");
  }
  return name;
}

// The table that a whole-table source reads ("select * from T", followed by
// nothing or by a where or order by clause), and the text after its name.
struct BaseTable {
  std::string name;
  std::string rest;
};

std::optional<BaseTable> WholeTableSource(std::string_view sql) {
  std::size_t pos = 0;
  const auto skip_blanks = [&] {
    const std::size_t start = pos;
    while (pos < sql.size() &&
           std::isspace(static_cast<unsigned char>(sql[pos]))) {
      ++pos;
    }
    return pos > start;
  };
  const auto keyword = [&](std::string_view word) {
    if (!EqualsIgnoringCase(sql.substr(pos, word.size()), word)) return false;
    const std::size_t end = pos + word.size();
    if (end < sql.size() && IsNamePart(sql[end])) return false;
    pos = end;
    return true;
  };
  skip_blanks();
  if (!keyword("select") || !skip_blanks() || sql.substr(pos, 1) != "*") {
    return std::nullopt;
  }
  ++pos;
  if (!skip_blanks() || !keyword("from") || !skip_blanks()) return std::nullopt;
  const std::size_t name_start = pos;
  while (pos < sql.size() && IsNamePart(sql[pos])) ++pos;
  std::string name(sql.substr(name_start, pos - name_start));
  if (!IsPlainName(name)) return std::nullopt;
  const std::size_t rest_start = pos;
  if (!skip_blanks()) {
    if (pos == sql.size()) return BaseTable{std::move(name), {}};
    return std::nullopt;  // e.g. "T,U" or "schema.T"
  }
  if (pos == sql.size()) return BaseTable{std::move(name), {}};
  if (keyword("where") || keyword("order")) {
    return BaseTable{std::move(name), std::string(sql.substr(rest_start))};
  }
  return std::nullopt;
}

// How the store names a row for as long as it is unchanged: SQLite's rowid,
// PostgreSQL's tuple id. ODBC names none that every driver has, so a row is
// found there by all of the values it was read with.
std::optional<std::string> RowIdentityColumn(Provider provider) {
  switch (provider) {
    case Provider::kSQLite:
      return "rowid";
    case Provider::kPostgreSQL:
      return "CAST(ctid AS text)";
    case Provider::kODBC:
      break;
  }
  return std::nullopt;
}

// The condition that finds a row by its identity (read through
// RowIdentityColumn) in `placeholder`. PostgreSQL compares the tuple id
// itself, which it looks up directly.
std::string RowIdentityCondition(Provider provider,
                                 const std::string& placeholder) {
  if (provider == Provider::kPostgreSQL) {
    return "ctid = CAST(" + placeholder + " AS tid)";
  }
  return "rowid = " + placeholder;
}

// A value as the stores take it: text, with dates in the ISO form they keep.
BoundValue ToStoreText(const Variant& value, const std::string& column) {
  switch (value.type()) {
    case VarType::kEmpty:
    case VarType::kNull:
      return std::nullopt;
    case VarType::kText:
      return *value.text();
    case VarType::kI4:
      return std::to_string(value.ToI4());
    case VarType::kDouble: {
      char digits[32];
      const auto end =
          std::to_chars(digits, digits + sizeof digits, value.ToDouble()).ptr;
      return std::string(digits, end);
    }
    case VarType::kDate:
      return value.ToDate().ToIsoText();
    case VarType::kBool:
      return value.ToBool() ? "1" : "0";
    case VarType::kObject:
    case VarType::kVariant:  // a declared type, never a value's
      break;
  }
  throw DataAccessError("An object cannot be stored in column " + column + ".");
}

// A stored value as its column's type; a text that does not read as that
// type (SQLite stores anything anywhere) is handed over as text.
Variant FromStoreText(const std::optional<std::string>& text, VarType type) {
  if (!text) return Variant::Null();
  const char* begin = text->data();
  const char* end = begin + text->size();
  switch (type) {
    case VarType::kI4: {
      long long number;
      const auto [stop, error] = std::from_chars(begin, end, number);
      if (error != std::errc() || stop != end) break;
      if (number >= std::numeric_limits<std::int32_t>::min() &&
          number <= std::numeric_limits<std::int32_t>::max()) {
        return Variant(static_cast<std::int32_t>(number));
      }
      return Variant(static_cast<double>(number));
    }
    case VarType::kDouble: {
      double number;
      const auto [stop, error] = std::from_chars(begin, end, number);
      if (error == std::errc() && stop == end) return Variant(number);
      break;
    }
    case VarType::kDate:
      if (auto date = DateTime::FromIsoText(*text)) return Variant(*date);
      break;
    default:
      break;
  }
  return Variant(*text);
}

// Appends `value` to the values of a statement being composed and returns
// its placeholder.
std::string Placeholder(std::vector<BoundValue>& values, BoundValue value) {
  values.push_back(std::move(value));
  return ":p" + std::to_string(values.size());
}

// `column` holds `value` (Null included).
std::string Holds(const std::string& column, const BoundValue& value,
                  std::vector<BoundValue>& values) {
  if (!value) return PlainName(column) + " IS NULL";
  return PlainName(column) + " = " + Placeholder(values, value);
}

// A column value written but not yet stored.
struct Assignment {
  std::string column;
  Variant value;
  BoundValue stored;
};

Assignment* Find(std::vector<Assignment>& assignments,
                 std::string_view column) {
  for (Assignment& assignment : assignments) {
    if (EqualsIgnoringCase(assignment.column, column)) return &assignment;
  }
  return nullptr;
}

void Assign(std::vector<Assignment>& assignments, const std::string& column,
            Variant value) {
  BoundValue stored = ToStoreText(value, column);
  if (Assignment* earlier = Find(assignments, column)) {
    earlier->value = std::move(value);
    earlier->stored = std::move(stored);
  } else {
    assignments.push_back({column, std::move(value), std::move(stored)});
  }
}

}  // namespace

class Recordset::Impl {
 public:
  // Runs on the connection object's session, or on a session of its own.
  using Owner = std::variant<Connection, Lease>;

  Impl(Statement source, Owner owner)
      : source_(std::move(source)),
        table_(WholeTableSource(source_.sql())),
        owner_(std::move(owner)) {}

  long RecordCount() {
    Read();
    long count = 0;
    for (const Row& row : rows_) count += row.deleted ? 0 : 1;
    return count;
  }

  bool EndOfFile() {
    Read();
    return position_ >= rows_.size();
  }

  void MoveNext() {
    StorePending();
    if (EndOfFile()) throw DataAccessError(kNoCurrentRow);
    ++position_;
  }

  Variant Field(std::string_view name) {
    if (new_row_) {
      const Assignment* assignment = Find(*new_row_, name);
      return assignment ? assignment->value : Variant::Null();
    }
    const Row& row = CurrentRow();
    const std::size_t column = ColumnIndex(name);
    if (const Assignment* change = Find(changes_, columns_[column].name)) {
      return change->value;
    }
    return FromStoreText(row.values[column], columns_[column].type);
  }

  void Collect(std::string_view name, Variant value) {
    if (new_row_) {
      // Before any row was read the store checks the name when storing.
      Assign(*new_row_,
             read_ ? columns_[ColumnIndex(name)].name : std::string(name),
             std::move(value));
      return;
    }
    CurrentRow();
    Assign(changes_, columns_[ColumnIndex(name)].name, std::move(value));
  }

  void AddNew() {
    StorePending();
    Table();
    new_row_.emplace();
  }

  void Update() {
    if (new_row_) {
      Insert();
    } else if (!changes_.empty()) {
      StoreChanges();
    }
  }

  void Delete() {
    const std::string& table = Table();
    Row& row = CurrentRow();
    std::vector<BoundValue> values;
    const std::string sql =
        "DELETE FROM " + table + " WHERE " + Locate(row, values);
    if (session().Execute(sql, values) == 0) {
      ThrowChangedUnderneath("nothing was deleted");
    }
    row.deleted = true;
    changes_.clear();
  }

 private:
  struct Row {
    std::optional<std::string> identity;
    std::vector<std::optional<std::string>> values;
    bool deleted = false;
  };

  Session& session() {
    if (const auto* connection = std::get_if<Connection>(&owner_)) {
      return connection->internals().OpenSession();
    }
    return std::get<Lease>(owner_).session();
  }

  // The identity column read with each row, when rows can be changed and
  // the store has one.
  std::optional<std::string> IdentityColumn() {
    return table_ ? RowIdentityColumn(session().provider()) : std::nullopt;
  }

  void Read() {
    if (read_) return;
    const std::optional<std::string> identity = IdentityColumn();
    const std::string sql = identity ? "select " + *identity + ", * from " +
                                           table_->name + table_->rest
                                     : source_.sql();
    ResultSet result = session().Query(sql, source_.values());
    // Taken over as they are, without copying a value.
    columns_ = std::move(result.columns);
    if (identity) columns_.erase(columns_.begin());
    rows_.clear();
    rows_.reserve(result.rows.size());
    for (auto& values : result.rows) {
      Row& row = rows_.emplace_back();
      row.values = std::move(values);
      if (identity) {
        row.identity = std::move(row.values.front());
        row.values.erase(row.values.begin());
      }
    }
    position_ = 0;
    read_ = true;
  }

  Row& CurrentRow() {
    Read();
    if (position_ >= rows_.size()) throw DataAccessError(kNoCurrentRow);
    if (rows_[position_].deleted) {
      throw DataAccessError("No current row: the current row was deleted.");
    }
    return rows_[position_];
  }

  std::size_t ColumnIndex(std::string_view name) const {
    for (std::size_t i = 0; i < columns_.size(); ++i) {
      if (EqualsIgnoringCase(columns_[i].name, name)) return i;
    }
    throw DataAccessError("The recordset has no column named " +
                          std::string(name) + ".");
  }

  const std::string& Table() const {
    if (!table_) {
      throw DataAccessError(
          "Rows cannot be added, changed or deleted through " + source_.Text() +
          ": only through select * from one table.");
    }
    return table_->name;
  }

  // Moving on or starting a new row stores what was written first.
  void StorePending() {
    if (new_row_ || !changes_.empty()) Update();
  }

  void Insert() {
    std::string sql = "INSERT INTO " + Table();
    std::vector<BoundValue> values;
    if (new_row_->empty()) {
      sql += " DEFAULT VALUES";
    } else {
      // Appended in place: every numbered creation stores a row.
      values.reserve(new_row_->size());
      std::string placeholders;
      sql += " (";
      for (const Assignment& assignment : *new_row_) {
        if (!values.empty()) {
          sql += ", ";
          placeholders += ", ";
        }
        sql += PlainName(assignment.column);
        placeholders += Placeholder(values, assignment.stored);
      }
      sql += ") VALUES (";
      sql += placeholders;
      sql += ')';
    }
    session().Execute(sql, values);
    new_row_.reset();
    // The rows are read afresh when next needed, the new one among them.
    read_ = false;
  }

  // Where-condition for the current row: its identity and, for an update,
  // the values that it is about to change as they were read, so that a row
  // changed by someone else since is not found.
  std::string Locate(const Row& row, std::vector<BoundValue>& values,
                     const std::vector<Assignment>& changes = {}) {
    std::string condition;
    const auto add = [&condition](const std::string& term) {
      condition += (condition.empty() ? "" : " AND ") + term;
    };
    if (row.identity) {
      add(RowIdentityCondition(session().provider(),
                               Placeholder(values, row.identity)));
      for (const Assignment& change : changes) {
        add(Holds(change.column, row.values[ColumnIndex(change.column)],
                  values));
      }
    } else {
      for (std::size_t i = 0; i < columns_.size(); ++i) {
        add(Holds(columns_[i].name, row.values[i], values));
      }
    }
    return condition;
  }

  void StoreChanges() {
    Row& row = CurrentRow();
    std::vector<BoundValue> values;
    std::string sql = "UPDATE " + Table() + " SET ";
    for (const Assignment& change : changes_) {
      if (&change != &changes_.front()) sql += ", ";
      sql +=
          PlainName(change.column) + " = " + Placeholder(values, change.stored);
    }
    sql += " WHERE " + Locate(row, values, changes_);
    if (const std::optional<std::string> identity = IdentityColumn()) {
      // The stored row as the store now holds it, under its new identity
      // (PostgreSQL gives a changed row a new one).
      ResultSet stored =
          session().Query(sql + " RETURNING " + *identity + ", *", values);
      if (stored.rows.empty()) ThrowChangedUnderneath("nothing was stored");
      row.identity = std::move(stored.rows.front().front());
      row.values.assign(
          std::make_move_iterator(stored.rows.front().begin() + 1),
          std::make_move_iterator(stored.rows.front().end()));
    } else {
      if (session().Execute(sql, values) == 0)
        ThrowChangedUnderneath("nothing was stored");
      for (const Assignment& change : changes_) {
        row.values[ColumnIndex(change.column)] = change.stored;
      }
    }
    changes_.clear();
  }

  [[noreturn]] static void ThrowChangedUnderneath(const char* consequence) {
    throw DataAccessError(
        std::string("The row was changed or deleted by someone else since it "
                    "was read; ") +
        consequence + ".");
  }

  Statement source_;
  std::optional<BaseTable> table_;  // absent: rows can only be read
  Owner owner_;

  bool read_ = false;
  std::vector<Column> columns_;
  std::vector<Row> rows_;
  std::size_t position_ = 0;

  std::optional<std::vector<Assignment>> new_row_;  // after AddNew
  std::vector<Assignment> changes_;                 // to the current row
};

namespace {

// The recordset's state while it is open.
template <class Impl>
Impl& Opened(const std::unique_ptr<Impl>& impl) {
  if (!impl) throw DataAccessError("The recordset is closed.");
  return *impl;
}

}  // namespace

Recordset::Recordset() = default;
Recordset::~Recordset() = default;

void Recordset::Open(Statement source, const Connection& active_connection,
                     CursorType, LockType, int) {
  if (impl_) throw DataAccessError("The recordset is already open.");
  active_connection.internals().OpenSession();  // refuses a closed one
  impl_ = std::make_unique<Impl>(std::move(source), active_connection);
}

void Recordset::Open(Statement source, const std::string& connection_string,
                     CursorType, LockType, int) {
  if (impl_) throw DataAccessError("The recordset is already open.");
  impl_ = std::make_unique<Impl>(
      std::move(source), Borrow(*ParsedConnectionString(connection_string)));
}

long Recordset::RecordCount() { return Opened(impl_).RecordCount(); }
bool Recordset::EndOfFile() { return Opened(impl_).EndOfFile(); }
void Recordset::MoveNext() { Opened(impl_).MoveNext(); }

Variant Recordset::Field(std::string_view name) {
  return Opened(impl_).Field(name);
}

void Recordset::Collect(std::string_view name, Variant value) {
  Opened(impl_).Collect(name, std::move(value));
}

void Recordset::AddNew() { Opened(impl_).AddNew(); }
void Recordset::Update() { Opened(impl_).Update(); }
void Recordset::Delete() { Opened(impl_).Delete(); }

void Recordset::Close() {
  Opened(impl_);
  impl_.reset();
}

void Execute(const Connection& connection, const Statement& statement) {
  connection.internals().OpenSession().Execute(statement.sql(),
                                               statement.values());
}

}  // namespace tavikuser::adodb
