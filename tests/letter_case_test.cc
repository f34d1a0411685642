// The letter case of the password change: each letter's simple Unicode
// uppercase, and bytes that are not UTF-8 left as they are, one by one.
#include "frame/letter_case.h"

#include <gtest/gtest.h>

#include <string>

namespace tavikuser::frame {
namespace {

TEST(LetterCaseTest, UppercasesLettersAndPassesOtherBytesThrough) {
  // An uppercase may take fewer or more bytes; "ß" and "漢" have none.
  EXPECT_EQ(UpperCase("café жук ω ς ǆ ա ÿ ı ɐ 𐐨 ß 42 漢字 ✓ 😀"),
            "CAFÉ ЖУК Ω Σ Ǆ Ա Ÿ I Ɐ 𐐀 ß 42 漢字 ✓ 😀");
  // A continuation byte without a lead, a lead cut off by a letter, an
  // overlong form, a surrogate, a code point beyond U+10FFFF.
  for (const std::string invalid : {"\x80", "\xC3", "\xC0\xA9", "\xED\xA0\x80",
                                    "\xF4\x90\x80\x80", "\xFF"}) {
    EXPECT_EQ(UpperCase("a" + invalid + "zé"), "A" + invalid + "ZÉ");
  }
  EXPECT_EQ(UpperCase("é\xC3"), "É\xC3");  // a lead cut off at the end
}

}  // namespace
}  // namespace tavikuser::frame
