// A naive model of forward maximum matching, for tests only: at each position it tries
// every length for the longest dictionary word, with the segmenter's rules for characters
// that start no word (unmatched tokens, ASCII runs up to a separator) and for characters
// that start a word without being one (a one-character token without a word number).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct tReferenceSegments {
  std::vector<int32_t> ids;
  std::string tokens;  // every token followed by a tab
};

tReferenceSegments ReferenceSegment(const std::map<std::string, int>& words,
                                    const std::string& text);
