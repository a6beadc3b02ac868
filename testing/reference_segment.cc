#include "testing/reference_segment.h"

#include <cstring>
#include <set>

namespace {

// Widths of the characters of `text` from `start`, by the GBK rule of the whole text.
size_t Width(const std::string& text, size_t position) {
  auto byte = static_cast<unsigned char>(text[position]);
  return byte >= 0x80 && position + 1 < text.size() ? 2 : 1;
}

bool IsSeparator(unsigned char byte) {
  return byte != 0 && std::strchr(" \t-_,.:/~#%^*()", byte) != nullptr;
}

// The first character of a word read on its own.
std::string FirstCharacter(const std::string& word) {
  auto byte = static_cast<unsigned char>(word[0]);
  return word.substr(0, byte >= 0x80 && word.size() > 1 ? 2 : 1);
}

}  // namespace

tReferenceSegments ReferenceSegment(const std::map<std::string, int>& words,
                                    const std::string& text) {
  std::set<std::string> firstCharacters;
  for (const auto& entry : words) firstCharacters.insert(FirstCharacter(entry.first));
  tReferenceSegments result;
  size_t position = 0;
  while (position < text.size()) {
    size_t width = Width(text, position);
    std::string first = text.substr(position, width);
    if (firstCharacters.count(first) == 0) {
      // Starts no word: an unmatched token, extended over an ASCII run.
      size_t end = position + width;
      if (width == 1 && !IsSeparator(static_cast<unsigned char>(text[position]))) {
        while (end < text.size() && static_cast<unsigned char>(text[end]) < 0x80 &&
               !IsSeparator(static_cast<unsigned char>(text[end]))) {
          ++end;
        }
      }
      result.tokens += text.substr(position, end - position) + "\t";
      position = end;
      continue;
    }
    size_t best = 0;
    int bestWord = -1;
    for (size_t end = position; end < text.size();) {
      end += Width(text, end);
      auto found = words.find(text.substr(position, end - position));
      if (found != words.end()) {
        best = end - position;
        bestWord = found->second;
      }
    }
    if (best == 0) best = width;  // begins a word but is none: alone, without a number
    result.tokens += text.substr(position, best) + "\t";
    if (bestWord != -1) result.ids.push_back(bestWord);
    position += best;
  }
  return result;
}
