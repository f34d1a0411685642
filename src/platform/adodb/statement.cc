#include "platform/adodb/statement.h"

#include <charconv>

#include "tavikuser/errors.h"

namespace tavikuser::adodb {
namespace {

// Placeholders are written in place, without a string of their own: the
// access check composes its statement on every call.
constexpr std::string_view kPlaceholderPrefix = ":p";

std::size_t PlaceholderLength(std::size_t number) {
  std::size_t digits = 1;
  while (number >= 10) {
    number /= 10;
    ++digits;
  }
  return kPlaceholderPrefix.size() + digits;
}

void AppendPlaceholder(std::string& sql, std::size_t number) {
  char digits[20];
  char* end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  sql += kPlaceholderPrefix;
  sql.append(digits, end);
}

[[noreturn]] void Unframed() {
  throw DataAccessError(
      "A quoted value must stand between the single quotes of the pieces "
      "around it; the statement was not run.");
}

}  // namespace

Statement Statement::Compose(std::initializer_list<Piece> pieces) {
  Statement statement;
  // Sized up front, so that each part is allocated once.
  std::size_t length = 0;
  std::size_t values = 0;
  for (const Piece& piece : pieces) {
    if (const auto* literal = std::get_if<std::string_view>(&piece)) {
      length += literal->size();
    } else {
      length += PlaceholderLength(++values);
    }
  }
  statement.sql_.reserve(length);
  statement.values_.reserve(values);
  statement.placeholder_offsets_.reserve(values);
  bool drop_leading_quote = false;
  for (const Piece& piece : pieces) {
    if (const auto* literal = std::get_if<std::string_view>(&piece)) {
      std::string_view text = *literal;
      if (drop_leading_quote) {
        if (text.empty() || text.front() != '\'') Unframed();
        text.remove_prefix(1);
        drop_leading_quote = false;
      }
      statement.sql_ += text;
      continue;
    }
    const std::string_view value = std::get<Quoted>(piece).value;
    if (value.find('\'') != std::string_view::npos) {
      throw DataAccessError(
          "The value " + std::string(value) +
          " contains a single quote, which would end its quoted literal "
          "early; the statement was not run.");
    }
    if (drop_leading_quote || statement.sql_.empty() ||
        statement.sql_.back() != '\'') {
      Unframed();
    }
    statement.sql_.pop_back();
    statement.values_.emplace_back(value);
    statement.placeholder_offsets_.push_back(statement.sql_.size());
    AppendPlaceholder(statement.sql_, statement.values_.size());
    drop_leading_quote = true;
  }
  if (drop_leading_quote) Unframed();
  return statement;
}

std::string Statement::Text() const {
  std::string text;
  std::size_t copied = 0;
  for (std::size_t i = 0; i < values_.size(); ++i) {
    const std::size_t offset = placeholder_offsets_[i];
    text.append(sql_, copied, offset - copied);
    text += '\'' + *values_[i] + '\'';
    copied = offset + PlaceholderLength(i + 1);
  }
  text.append(sql_, copied);
  return text;
}

}  // namespace tavikuser::adodb
