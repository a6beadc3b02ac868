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
    // One character as the encoding module cuts GBK (GbkPairs::kByShape): kept when GBK maps
    // it, one blank when not (a pair of the two-byte shape as a whole).
    const size_t start = i;
    if (NextGbkCodePoint(table, bytes, size, &i, GbkPairs::kByShape) == 0) {
      out->push_back(' ');
      continue;
    }
    out->append(value + start, i - start);
    const uint8_t characterClass =
        i - start == 2 ? table.PairClass(byte, bytes[start + 1]) : table.SingleClass(byte);
    gbkOnly |= characterClass == CGbkTable::kGbkOnly;
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
    const size_t start = i;
    const uint32_t code = NextGbkCodePoint(table, bytes, name.size(), &i, GbkPairs::kMapped);
    // Lone high bytes (0x80 alone in GBK) are not letters; only two-byte characters are
    // looked at here.
    if (bytes[start] >= 0x80) {
      if (code == 0 || i - start != 2) return false;
      *gbkOnly |= table.PairClass(bytes[start], bytes[start + 1]) == CGbkTable::kGbkOnly;
    }
    if (start == 0 ? !IsNameStart(code) : !IsNameChar(code)) return false;
  }
  return true;
}
