// Pieces of the tests' reference models of highlighting: the stored text normalised one
// character at a time with where each byte came from, and match ranges sorted and merged as
// CMatchFinder reports them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/query/snippet.h"
#include "core/text/text_clean.h"

// The stored text up to its first NUL, normalised character by character: *source gives for
// each normalised byte the offset of the stored character it came from, and the text's length
// after the last.
inline void NormalizeWithSource(const std::string& stored, std::string* normalized,
                                std::vector<int32_t>* source) {
  const std::string text = stored.substr(0, std::strlen(stored.c_str()));
  normalized->clear();
  source->clear();
  for (size_t i = 0; i < text.size();) {
    const size_t width = static_cast<unsigned char>(text[i]) >= 0x80 && i + 1 < text.size() ? 2 : 1;
    std::string character = text.substr(i, width);
    NormalizeText(&character[0]);
    character.resize(std::strlen(character.c_str()));
    source->insert(source->end(), character.size(), static_cast<int32_t>(i));
    *normalized += character;
    i += width;
  }
  source->push_back(static_cast<int32_t>(text.size()));
}

// Sorted by start, overlapping ranges merged into one, touching ones kept apart.
inline std::vector<tTextRange> SortedMerged(std::vector<tTextRange> ranges) {
  std::sort(ranges.begin(), ranges.end(), [](const tTextRange& a, const tTextRange& b) {
    return a.start != b.start ? a.start < b.start : a.end < b.end;
  });
  std::vector<tTextRange> merged;
  for (const tTextRange& range : ranges) {
    if (!merged.empty() && range.start < merged.back().end) {
      merged.back().end = std::max(merged.back().end, range.end);
    } else {
      merged.push_back(range);
    }
  }
  return merged;
}
