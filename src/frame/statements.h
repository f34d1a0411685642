// What the operations' statements share: the refusal of a value that would
// have broken a quoted literal, and "the current row" of an operation that
// acts on the first of the rows a key selects.
#ifndef TAVIKUSER_FRAME_STATEMENTS_H_
#define TAVIKUSER_FRAME_STATEMENTS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/store/store.h"

namespace tavikuser::frame {

// The system's statements place these values between single quotes, where a
// quote inside would end the literal early and change what the statement
// means. Values are bound, so that cannot happen here; such a value is
// refused instead, before any statement runs, as it never found its row.
// Throws DataAccessError for a value holding a single quote.
const std::string& Quoted(const std::string& value);

// The number that a "SELECT COUNT(*) ..." found, in whatever kind the store
// gives it.
std::int64_t CountOf(const store::Rows& rows);

// Takes a guarded column's text into `property` only where the row holds
// something: a Null or empty value leaves the property as it was, so a
// lookup never blanks what the caller or an earlier lookup put there. A
// value of blanks is taken.
void TakeUnlessNullOrEmpty(const store::Value& column, std::string& property);

// The text of the failure to act on a row where a statement found none.
inline constexpr char kNoCurrentRow[] =
    "No current row: the recordset is empty or positioned past its last row.";

// The first row of a table that a condition selects, as the store returns
// it, found again by the store's own row identity so that an update reaches
// that row alone, however many share its key.
class CurrentRow {
 public:
  // Reads `columns` ("" for none) of the first row of `table` that
  // `condition` selects with `values`; nothing when it selects none. Where
  // the store names no row identity, the row is found again by `condition`,
  // and a condition that selects several rows is a failure rather than an
  // update of them all. Throws DataAccessError.
  static std::optional<CurrentRow> First(store::Connection& db,
                                         std::string_view table,
                                         std::string_view columns,
                                         std::string_view condition,
                                         const store::Values& values);

  // The value of the i-th of the columns read.
  const store::Value& operator[](std::size_t i) const {
    return row_[width_ + i];
  }

  // Runs "UPDATE <table> SET <assignments> WHERE <this row>", with `values`
  // for the assignments' placeholders. Throws DataAccessError.
  void Update(std::string_view assignments, store::Values values);

 private:
  CurrentRow(store::Connection& db, std::string_view table, store::Row row,
             std::size_t width, std::string condition,
             store::Values condition_values)
      : db_(&db),
        table_(table),
        row_(std::move(row)),
        width_(width),
        condition_(std::move(condition)),
        condition_values_(std::move(condition_values)) {}

  store::Connection* db_;
  std::string table_;
  store::Row row_;     // the identity's values, then the columns read
  std::size_t width_;  // how many of row_ belong to the identity
  std::string condition_;
  store::Values condition_values_;
};

}  // namespace tavikuser::frame

#endif  // TAVIKUSER_FRAME_STATEMENTS_H_
