// Arbitrary pieces composed into a statement: a quoted value always becomes
// a bound value and never SQL text, the statement reads back as the pieces
// joined, and anything else is refused with a DataAccessError.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/adodb/statement.h"
#include "tavikuser/errors.h"

namespace {

using tavikuser::adodb::Quoted;
using tavikuser::adodb::Statement;

constexpr std::size_t kMostPieces = 12;

void Require(bool holds) {
  if (!holds) std::abort();
}

template <std::size_t... I>
Statement ComposeOf(const std::vector<Statement::Piece>& pieces,
                    std::index_sequence<I...>) {
  return Statement::Compose({pieces[I]...});
}

// Compose takes its pieces as one braced list; one entry per length.
template <std::size_t... N>
constexpr auto ComposersUpTo(std::index_sequence<N...>) {
  return std::array<Statement (*)(const std::vector<Statement::Piece>&),
                    sizeof...(N)>{[](const std::vector<Statement::Piece>& p) {
    return ComposeOf(p, std::make_index_sequence<N>());
  }...};
}

}  // namespace

// The input is pieces separated by '\n'; a piece that begins with '\t' is a
// quoted value (without the '\t'), any other a literal piece.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<Statement::Piece> pieces;
  std::string joined;  // the pieces as the store would read them
  std::size_t quoted = 0;
  bool canonical = true;  // each value between a ...' and a '... piece
  bool value_has_quote = false;
  for (std::size_t start = 0;
       start <= input.size() && pieces.size() < kMostPieces;) {
    std::size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    std::string_view piece = input.substr(start, end - start);
    if (!piece.empty() && piece.front() == '\t') {
      piece.remove_prefix(1);
      pieces.emplace_back(Quoted{piece});
      ++quoted;
      value_has_quote |= piece.find('\'') != std::string_view::npos;
    } else {
      pieces.emplace_back(piece);
    }
    joined += piece;
    start = end + 1;
  }
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (!std::holds_alternative<Quoted>(pieces[i])) continue;
    const auto* before =
        i > 0 ? std::get_if<std::string_view>(&pieces[i - 1]) : nullptr;
    const auto* after = i + 1 < pieces.size()
                            ? std::get_if<std::string_view>(&pieces[i + 1])
                            : nullptr;
    canonical &= before && before->size() >= 2 && before->back() == '\'' &&
                 after && after->size() >= 2 && after->front() == '\'';
  }

  static constexpr auto kComposers =
      ComposersUpTo(std::make_index_sequence<kMostPieces + 1>());
  try {
    const Statement statement = kComposers[pieces.size()](pieces);
    Require(!value_has_quote);
    Require(statement.values().size() == quoted);
    Require(statement.Text() == joined);
  } catch (const tavikuser::DataAccessError&) {
    Require(!canonical || value_has_quote);
  }
  return 0;
}
