#include "frame/letter_case.h"

#include <locale.h>
#include <wctype.h>

#include <cstddef>
#include <optional>

#include "tavikuser/errors.h"

namespace tavikuser::frame {
namespace {

// The character tables of C.UTF-8, held in a locale object of our own: the
// host's process-wide locale is neither read nor changed.
class UnicodeCharacterTables {
 public:
  UnicodeCharacterTables()
      : locale_(newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{})) {
    if (locale_ == locale_t{}) {
      throw Error(
          "Letter case cannot be compared: this system has no C.UTF-8 "
          "locale.");
    }
  }
  ~UnicodeCharacterTables() { freelocale(locale_); }
  UnicodeCharacterTables(const UnicodeCharacterTables&) = delete;
  UnicodeCharacterTables& operator=(const UnicodeCharacterTables&) = delete;

  char32_t Upper(char32_t code_point) const {
    return static_cast<char32_t>(
        towupper_l(static_cast<wint_t>(code_point), locale_));
  }

 private:
  locale_t locale_;
};

const UnicodeCharacterTables& Tables() {
  static const UnicodeCharacterTables tables;
  return tables;
}

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The code point that starts at `text[at]` and its length in bytes, or
// nothing where the bytes there are not well-formed UTF-8 (a stray or
// missing continuation byte, an overlong form, a surrogate, a value beyond
// U+10FFFF).
struct Decoded {
  char32_t code_point;
  std::size_t length;
};
std::optional<Decoded> DecodeAt(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return Decoded{lead, 1};
  std::size_t length;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
  } else {
    return std::nullopt;
  }
  // The smallest code point that needs `length` bytes; below it the form is
  // overlong.
  constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  char32_t code_point = lead & (0x7F >> length);
  if (text.size() - at < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[at + i]);
    if (!IsContinuation(byte)) return std::nullopt;
    code_point = (code_point << 6) | (byte & 0x3F);
  }
  const bool surrogate = code_point >= 0xD800 && code_point <= 0xDFFF;
  if (code_point < kSmallest[length] || surrogate || code_point > 0x10FFFF) {
    return std::nullopt;
  }
  return Decoded{code_point, length};
}

void AppendUtf8(char32_t code_point, std::string& out) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code_point >> 18));
    out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

}  // namespace

std::string UpperCase(std::string_view text) {
  const UnicodeCharacterTables& tables = Tables();
  std::string upper;
  upper.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    if (const std::optional<Decoded> character = DecodeAt(text, at)) {
      AppendUtf8(tables.Upper(character->code_point), upper);
      at += character->length;
    } else {
      upper += text[at];
      ++at;
    }
  }
  return upper;
}

}  // namespace tavikuser::frame
