// Statements composed from the system's literal pieces and property values.
// A value never becomes SQL text: each quoted value turns into a bound
// parameter, so no value can change a statement's meaning on any backend.
#ifndef TAVIKUSER_PLATFORM_ADODB_STATEMENT_H_
#define TAVIKUSER_PLATFORM_ADODB_STATEMENT_H_

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tavikuser::adodb {

// A value bound to a placeholder, as text; nothing is Null.
using BoundValue = std::optional<std::string>;

// A value placed between the single quotes that the neighbouring literal
// pieces supply (a piece ending in `='` and the next beginning with `'`).
struct Quoted {
  std::string_view value;
};

class Statement {
 public:
  using Piece = std::variant<std::string_view, Quoted>;

  // Joins the pieces with nothing between them. A Quoted piece takes the
  // quote that ends the piece before it and the one that begins the piece
  // after it, and becomes a placeholder. Throws DataAccessError, before any
  // store is touched, when a value contains a single quote (it would end the
  // quoted literal early), or when a Quoted piece is not framed by quotes.
  static Statement Compose(std::initializer_list<Piece> pieces);

  // A statement without values, e.g. "Select * From Rights_Master".
  explicit Statement(std::string sql) : sql_(std::move(sql)) {}

  // SQL text with :p1, :p2, ... for the values, in order. A composed
  // value is never Null; the values are kept as a session takes them.
  const std::string& sql() const { return sql_; }
  const std::vector<BoundValue>& values() const { return values_; }

  // The statement as the store would have read it with the values spliced
  // into their quotes; for messages and for comparison with the pieces.
  std::string Text() const;

 private:
  Statement() = default;
  std::string sql_;
  std::vector<BoundValue> values_;
  // Where each value's placeholder begins in sql_, for Text().
  std::vector<std::size_t> placeholder_offsets_;
};

}  // namespace tavikuser::adodb

#endif  // TAVIKUSER_PLATFORM_ADODB_STATEMENT_H_
