#include "core/text/gbk_chars.h"

#include <cstring>

namespace gbk {
namespace {

// The replacement sets of NormalizeText, as strings of two-byte characters; membership is
// tested with FindAligned.
const char kOpenSet[] = "\xA3\xA8\xA1\xBE";   // （ 【
const char kCloseSet[] = "\xA3\xA9\xA1\xBF";  // ） 】
const char kTabSet[] =                        // ＼ ｜ ， ． 。 、 ‘ “ ” ＇ － —
    "\xA3\xDC\xA3\xFC\xA3\xAC\xA3\xAE\xA1\xA3\xA1\xA2\xA1\xAE\xA1\xB0\xA1\xB1\xA3\xA7\xA3\xAD"
    "\xA1\xAA";

unsigned char PairReplacement(unsigned char lead, unsigned char trail) {
  const char key[3] = {static_cast<char>(lead), static_cast<char>(trail), '\0'};
  if (FindAligned(kOpenSet, key) >= 0) return '(';
  if (FindAligned(kCloseSet, key) >= 0) return ')';
  if (FindAligned(kTabSet, key) >= 0) return '\t';
  if (lead == 0xAA && trail == 0xA4) return '\t';
  if (lead == 0xA3 && ((trail >= 0xB0 && trail <= 0xB9) || (trail >= 0xC1 && trail <= 0xDA) ||
                       (trail >= 0xE1 && trail <= 0xFA))) {
    return static_cast<unsigned char>(trail - 0x80);  // the ASCII digit or letter
  }
  return 0;
}

}  // namespace

// Only a few lead bytes have replacements; each of them gets a row of 256 trail entries
// (row 0 = no replacement), which keeps the tables small enough to stay in the first-level
// cache.
CNormalization::CNormalization() {
  std::memset(m_row, 0, sizeof m_row);
  std::memset(m_pair, 0, sizeof m_pair);
  for (int c = 0; c < 256; ++c) {
    m_single[c] = static_cast<unsigned char>(c);
    if (c == '"' || c == ',' || c == '/' || c == '_') m_single[c] = '\t';
    if (c >= 'A' && c <= 'Z') m_single[c] = static_cast<unsigned char>(c + 32);
  }
  std::memset(m_written, 0, sizeof m_written);
  for (int c = 0; c < 256; ++c) m_written[m_single[c]] = true;
  int rows = 1;
  for (int lead = 0x80; lead < 256; ++lead) {
    unsigned char replacements[256] = {};
    bool any = false;
    for (int trail = 1; trail < 256; ++trail) {
      unsigned char replacement =
          PairReplacement(static_cast<unsigned char>(lead), static_cast<unsigned char>(trail));
      replacements[trail] = replacement;
      if (replacement != 0) m_written[replacement] = true;
      any = any || replacement != 0;
    }
    if (!any || rows == kMaxRows) continue;  // the sets use three lead bytes
    m_row[lead] = static_cast<unsigned char>(rows);
    std::memcpy(m_pair[rows++], replacements, sizeof replacements);
  }
}

const CNormalization& Normalization() {
  static const CNormalization* tables = new CNormalization();  // never freed: used until exit
  return *tables;
}

WordReach ReachInNormalizedText(const char* word, int length) {
  const CNormalization& normalization = Normalization();
  const auto* bytes = reinterpret_cast<const unsigned char*>(word);
  const size_t size = length > 0 ? static_cast<size_t>(length) : 0;
  WordReach reach = WordReach::kAnyText;
  for (size_t position = 0; position < size;) {
    const int width = CharWidth(bytes, position, size);
    if (width == 2) {
      if (normalization.Pair(bytes[position], bytes[position + 1]) != 0) return WordReach::kNever;
    } else if (!normalization.CanWrite(bytes[position])) {
      return WordReach::kNever;
    } else if (normalization.Single(bytes[position]) != bytes[position]) {
      reach = WordReach::kFullWidthOnly;
    }
    position += static_cast<size_t>(width);
  }
  return reach;
}

int FindAligned(const char* text, const char* key) {
  if (key[0] == '\0') return -1;
  const char* hit = std::strstr(text, key);
  if (hit == nullptr) return -1;
  long offset = hit - text;
  return offset % 2 != 0 ? -1 : static_cast<int>(offset);
}

}  // namespace gbk
