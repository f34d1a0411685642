// The letter case of the password change: Unicode letters map to their
// simple uppercase, and bytes that are not UTF-8 pass through untouched.
#include "frame/letter_case.h"

#include <gtest/gtest.h>

#include <string>

namespace tavikuser::frame {
namespace {

TEST(LetterCaseTest, MapsEachLetterToItsSimpleUppercase) {
  EXPECT_EQ(UpperCase("café crème"), "CAFÉ CRÈME");
  EXPECT_EQ(UpperCase("жук ω ς ǆ ա ÿ"), "ЖУК Ω Σ Ǆ Ա Ÿ");
  // The uppercase may take fewer or more bytes than the letter.
  EXPECT_EQ(UpperCase("ı"), "I");
  EXPECT_EQ(UpperCase("ɐ"), "Ɐ");
  EXPECT_EQ(UpperCase("𐐨"), "𐐀");
  // No simple uppercase: left as it is, never expanded ("ß" is not "SS").
  EXPECT_EQ(UpperCase("ß 42 漢字 ✓ 😀"), "ß 42 漢字 ✓ 😀");
  EXPECT_EQ(UpperCase(""), "");
}

TEST(LetterCaseTest, BytesThatAreNotUtf8PassThroughOneByOne) {
  for (const std::string invalid : {
           "\x80",              // a continuation byte with no lead
           "\xC3",              // a lead byte cut off at the end
           "\xC0\xA9",          // an overlong form
           "\xED\xA0\x80",      // a surrogate
           "\xF4\x90\x80\x80",  // beyond U+10FFFF
           "\xFF",
       }) {
    EXPECT_EQ(UpperCase("a" + invalid + "é"), "A" + invalid + "É");
  }
  // A broken sequence does not swallow the letter after it.
  EXPECT_EQ(UpperCase("\xC3z"), "\xC3Z");
}

}  // namespace
}  // namespace tavikuser::frame
