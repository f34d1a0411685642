// Letter case as the password change sees it: each character of a UTF-8 text
// mapped to its simple (one-to-one) Unicode uppercase, so that "é" matches
// "É" and "ж" matches "Ж", not only the ASCII letters.
#ifndef TAVIKUSER_FRAME_LETTER_CASE_H_
#define TAVIKUSER_FRAME_LETTER_CASE_H_

#include <string>
#include <string_view>

namespace tavikuser::frame {

// `text` with every character replaced by its simple uppercase; characters
// without one (digits, "ß", CJK) stay as they are. Bytes that are not valid
// UTF-8 pass through unchanged, one by one. Needs no process-wide locale and
// is safe on any thread. Throws tavikuser::Error when the system lacks the
// C.UTF-8 character tables that the mapping reads.
std::string UpperCase(std::string_view text);

}  // namespace tavikuser::frame

#endif  // TAVIKUSER_FRAME_LETTER_CASE_H_
