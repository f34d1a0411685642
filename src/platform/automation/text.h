// Names are matched as automation matches them: without regard to letter
// case. Member names and programmatic identifiers are ASCII.
#ifndef TAVIKUSER_PLATFORM_AUTOMATION_TEXT_H_
#define TAVIKUSER_PLATFORM_AUTOMATION_TEXT_H_

#include <string>
#include <string_view>

namespace tavikuser::automation {

bool EqualsIgnoringCase(std::string_view a, std::string_view b);
std::string AsciiLower(std::string_view text);

}  // namespace tavikuser::automation

#endif  // TAVIKUSER_PLATFORM_AUTOMATION_TEXT_H_
