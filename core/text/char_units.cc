#include "core/text/char_units.h"

#include <cstring>

#include "core/text/gbk_chars.h"

namespace {

bool IsAlnum(unsigned char byte) {
  return (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') ||
         (byte >= 'A' && byte <= 'Z');
}

int32_t Lower(unsigned char byte) { return byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : byte; }

}  // namespace

int CutIntoUnits(const char* text, std::vector<int32_t>* units) {
  return CutIntoUnits(text, units, nullptr);
}

int CutIntoUnits(const char* text, std::vector<int32_t>* units, std::vector<int32_t>* offsets) {
  units->clear();
  if (offsets != nullptr) offsets->clear();
  if (text == nullptr) return 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  const size_t length = std::strlen(text);
  units->reserve(length);
  size_t position = 0;
  while (position < length) {
    const unsigned char byte = bytes[position];
    if (IsAlnum(byte)) {
      size_t end = position + 1;
      while (end < length && IsAlnum(bytes[end])) ++end;
      if (offsets != nullptr) {
        for (size_t at = position; at < end; ++at) offsets->push_back(static_cast<int32_t>(at));
      }
      if (end - position == 1) {
        units->push_back(kLoneBase + Lower(byte));
      } else {
        units->push_back(kFirstBase + Lower(byte));
        for (size_t inner = position + 1; inner + 1 < end; ++inner) {
          units->push_back(Lower(bytes[inner]));
        }
        units->push_back(kLastBase + Lower(bytes[end - 1]));
      }
      position = end;
      continue;
    }
    int width = 1;
    if (offsets != nullptr) offsets->push_back(static_cast<int32_t>(position));
    units->push_back(gbk::CharAt(bytes, position, length, &width));
    position += static_cast<size_t>(width);
  }
  if (offsets != nullptr) offsets->push_back(static_cast<int32_t>(length));
  return static_cast<int>(units->size());
}
