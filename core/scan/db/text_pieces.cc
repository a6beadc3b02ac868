#include "core/scan/db/text_pieces.h"

size_t WrittenTextUnits(const char16_t* piece, size_t capacity, int64_t reportedUnits) {
  if (capacity == 0) return 0;
  size_t reported = reportedUnits < 0 ? 0 : static_cast<size_t>(reportedUnits);
  if (reported > capacity - 1) reported = capacity - 1;
  if (reportedUnits >= 0 && piece[reported] == 0) return reported;
  for (size_t unit = reported; unit < capacity; ++unit) {
    if (piece[unit] == 0) return unit;
    if (piece[unit] == kPieceSentinel) break;  // past what the driver wrote
  }
  for (size_t unit = reported; unit > 0; --unit) {
    if (piece[unit - 1] == 0) return unit - 1;
  }
  size_t written = 0;
  while (written < capacity && piece[written] != kPieceSentinel) ++written;
  return written;
}
