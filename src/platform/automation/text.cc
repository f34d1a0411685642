#include "platform/automation/text.h"

#include <algorithm>

namespace tavikuser::automation {
namespace {
char Lower(char c) { return c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c; }
}  // namespace

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [](char x, char y) { return Lower(x) == Lower(y); });
}

std::string AsciiLower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), Lower);
  return lower;
}

}  // namespace tavikuser::automation
