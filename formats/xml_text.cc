#include "formats/xml_text.h"

#include <cstdint>

#include "core/text/encoding.h"

namespace {

bool IsNameStart(uint32_t c) {
  if (c < 0x80) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':';
  }
  return (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
         (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) ||
         (c >= 0x200C && c <= 0x200D) || (c >= 0x2070 && c <= 0x218F) ||
         (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
         (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD);
}

bool IsNameChar(uint32_t c) {
  return IsNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == 0xB7 ||
         (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

}  // namespace

bool AppendDocumentText(const char* value, size_t size, std::string* out) {
  const CGbkTable& table = CGbkTable::Get();
  const auto* bytes = reinterpret_cast<const unsigned char*>(value);
  out->reserve(out->size() + size);
  bool gbkOnly = false;
  size_t i = 0;
  while (i < size) {
    // Printable ASCII is by far the most common run; it is copied in one piece.
    size_t run = i;
    while (run < size && bytes[run] >= 0x20 && bytes[run] < 0x80) ++run;
    if (run > i) {
      out->append(value + i, run - i);
      i = run;
      continue;
    }
    const unsigned char byte = bytes[i];
    if (byte < 0x80) {
      const bool allowed = byte == '\t' || byte == '\n' || byte == '\r';
      out->push_back(allowed ? static_cast<char>(byte) : ' ');
      ++i;
      continue;
    }
    // Runs of two-byte characters are checked pair by pair and copied in one piece; a pair
    // of the right shape that GBK maps to nothing becomes one blank, the pair as a whole.
    size_t end = i;
    while (end + 1 < size && bytes[end] >= 0x80) {
      const uint8_t pairClass = table.PairClass(bytes[end], bytes[end + 1]);
      if (pairClass == CGbkTable::kNoCharacter) break;
      gbkOnly |= pairClass == CGbkTable::kGbkOnly;
      end += 2;
    }
    if (end > i) {
      out->append(value + i, end - i);
      i = end;
      continue;
    }
    if (i + 1 < size && CGbkTable::IsPairShape(byte, bytes[i + 1])) {
      out->push_back(' ');
      i += 2;
      continue;
    }
    // A byte alone: its trail is missing or cannot follow it (and is then read afresh).
    const uint8_t singleClass = table.SingleClass(byte);
    if (singleClass != CGbkTable::kNoCharacter) {
      out->push_back(static_cast<char>(byte));
      gbkOnly |= singleClass == CGbkTable::kGbkOnly;
    } else {
      out->push_back(' ');
    }
    ++i;
  }
  return gbkOnly;
}

bool IsDocumentName(const std::string& name, bool* gbkOnly) {
  const CGbkTable& table = CGbkTable::Get();
  *gbkOnly = false;
  if (name.empty()) return false;
  const auto* bytes = reinterpret_cast<const unsigned char*>(name.data());
  size_t i = 0;
  while (i < name.size()) {
    uint32_t code = bytes[i];
    size_t width = 1;
    if (code >= 0x80) {
      // Lone high bytes (0x80 alone in GBK) are not letters; only two-byte characters are
      // looked at here.
      if (i + 1 >= name.size()) return false;
      code = table.PairCodePoint(bytes[i], bytes[i + 1]);
      if (code == 0) return false;
      *gbkOnly |= table.PairClass(bytes[i], bytes[i + 1]) == CGbkTable::kGbkOnly;
      width = 2;
    }
    if (i == 0 ? !IsNameStart(code) : !IsNameChar(code)) return false;
    i += width;
  }
  return true;
}
