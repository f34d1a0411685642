// Reading columns of the current row into an object's properties.
#ifndef TAVIKUSER_FRAME_FIELDS_H_
#define TAVIKUSER_FRAME_FIELDS_H_

#include <string>

#include "tavikuser/variant.h"

namespace tavikuser::frame {

// Takes a guarded column's text into `property` only where the row holds
// something: a Null or empty value leaves the property as it was, so a
// lookup never blanks what the caller or an earlier lookup put there. A
// value of blanks is taken.
inline void TakeUnlessNullOrEmpty(const Variant& column,
                                  std::string& property) {
  if (column.is_null()) return;
  std::string text = column.ToText();
  if (!text.empty()) property = std::move(text);
}

}  // namespace tavikuser::frame

#endif  // TAVIKUSER_FRAME_FIELDS_H_
