#include "testing/gbk_reference.h"

#include <cstddef>

#include "testing/iconv_reference.h"

namespace {

// The UTF-8 form of one GBK character (1 or 2 bytes), or "" when GBK maps nothing there.
std::string ConvertOne(const char* bytes, size_t size) {
  thread_local CIconvReference converter("UTF-8", "GBK");
  std::string utf8;
  return converter.Convert(std::string(bytes, size), &utf8) ? utf8 : std::string();
}

bool IsPair(unsigned char lead, unsigned char trail) {
  return lead >= 0x81 && lead <= 0xFE && trail >= 0x40 && trail <= 0xFE && trail != 0x7F;
}

// Calls `character(bytes, size)` for each character of the reading.
template <typename Visit>
void EachCharacter(const std::string& gbk, Visit character) {
  for (size_t i = 0; i < gbk.size();) {
    const auto byte = static_cast<unsigned char>(gbk[i]);
    const size_t size =
        byte >= 0x80 && i + 1 < gbk.size() && IsPair(byte, static_cast<unsigned char>(gbk[i + 1]))
            ? 2
            : 1;
    character(gbk.data() + i, size);
    i += size;
  }
}

}  // namespace

std::string ReferenceGbkToUtf8(const std::string& gbk) {
  std::string utf8;
  EachCharacter(gbk, [&utf8](const char* bytes, size_t size) {
    if (static_cast<unsigned char>(bytes[0]) < 0x80) {
      utf8.push_back(bytes[0]);
      return;
    }
    const std::string converted = ConvertOne(bytes, size);
    utf8 += converted.empty() ? "\xEF\xBF\xBD" : converted;
  });
  return utf8;
}

std::string ReferenceDocumentText(const std::string& gbk) {
  std::string text;
  EachCharacter(gbk, [&text](const char* bytes, size_t size) {
    const auto byte = static_cast<unsigned char>(bytes[0]);
    if (byte < 0x80) {
      const bool kept = byte >= 0x20 || byte == '\t' || byte == '\n' || byte == '\r';
      text.push_back(kept ? bytes[0] : ' ');
      return;
    }
    if (ConvertOne(bytes, size).empty()) {
      text.push_back(' ');
    } else {
      text.append(bytes, size);
    }
  });
  return text;
}
