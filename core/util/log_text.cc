#include "core/util/log_text.h"

std::string LoggedQuery(const std::string& query) {
  static const char kHex[] = "0123456789ABCDEF";
  // The kept part ends at a character boundary: a byte from 0x80 up starts a two-byte
  // character unless it is the last byte.
  size_t kept = 0;
  while (kept < query.size()) {
    const size_t width =
        static_cast<unsigned char>(query[kept]) >= 0x80 && kept + 1 < query.size() ? 2 : 1;
    if (kept + width > kLoggedQueryBytes) break;
    kept += width;
  }
  std::string line;
  line.reserve(kept + 32);
  const auto escape = [&line](unsigned char byte) {
    line.append("\\x").push_back(kHex[byte >> 4]);
    line.push_back(kHex[byte & 15]);
  };
  for (size_t i = 0; i < kept; ++i) {
    const auto byte = static_cast<unsigned char>(query[i]);
    if (byte >= 0x80 && i + 1 < kept) {
      // A GBK pair stays whole (its second byte may be a backslash), but a control byte
      // behind a lead byte is still escaped: no pair may end the line.
      line.push_back(query[i]);
      const auto second = static_cast<unsigned char>(query[++i]);
      if (second < 0x20 || second == 0x7F) {
        escape(second);
      } else {
        line.push_back(query[i]);
      }
    } else if (byte < 0x20 || byte == 0x7F) {
      escape(byte);
    } else if (byte == '\\') {
      line.append("\\\\");
    } else {
      line.push_back(query[i]);
    }
  }
  if (kept < query.size()) line += "... (" + std::to_string(query.size()) + " bytes)";
  return line;
}
