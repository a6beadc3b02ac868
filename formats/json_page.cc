#include "formats/json_page.h"

#include <cstdint>

#include "core/text/encoding.h"

void AppendJsonString(const std::string& utf8, std::string* json) {
  static const char kHex[] = "0123456789abcdef";
  json->push_back('"');
  const char* run = utf8.data();
  const char* end = run + utf8.size();
  for (const char* p = run; p < end; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    json->append(run, static_cast<size_t>(p - run));
    run = p + 1;
    switch (c) {
      case '"':
        json->append("\\\"");
        break;
      case '\\':
        json->append("\\\\");
        break;
      case '\n':
        json->append("\\n");
        break;
      case '\r':
        json->append("\\r");
        break;
      case '\t':
        json->append("\\t");
        break;
      default:
        json->append("\\u00");
        json->push_back(kHex[c >> 4]);
        json->push_back(kHex[c & 15]);
    }
  }
  json->append(run, static_cast<size_t>(end - run));
  json->push_back('"');
}

// Written directly rather than through a JSON tree: the hits are most of every answer, and a
// tree's encoder would re-validate the UTF-8 that the conversion has just produced.
std::string FormatJsonPage(const ResultPage& page, const std::vector<std::string>& names,
                           const std::vector<std::string>* hitTails, const std::string& pageTail,
                           int cappedAt) {
  std::vector<std::string> quoted(names.size());
  for (size_t i = 0; i < names.size(); ++i) AppendJsonString(names[i], &quoted[i]);
  std::string json;
  size_t tails = pageTail.size();
  if (hitTails != nullptr) {
    for (const std::string& tail : *hitTails) tails += tail.size();
  }
  json.reserve(page.text.size() * 3 / 2 + tails + 256);
  json += "{\"total\":" + std::to_string(page.total) + ",\"start\":" + std::to_string(page.start) +
          ",\"returned\":" + std::to_string(page.returned);
  if (cappedAt > 0) json += ",\"capped\":" + std::to_string(cappedAt);
  json += ",\"fields\":[";
  for (size_t i = 0; i < quoted.size(); ++i) {
    if (i > 0) json += ',';
    json += quoted[i];
  }
  json += "],\"hits\":[";
  size_t offset = 0;
  size_t value = 0;
  std::string utf8;
  for (int32_t record = 0; record < page.returned; ++record) {
    json += record > 0 ? ",{" : "{";
    for (int position = 0; position < page.fieldCount; ++position, ++value) {
      const size_t length = static_cast<size_t>(page.valueLengths[value]);
      utf8.clear();
      AppendGbkAsUtf8(page.text.data() + offset, length, &utf8);
      offset += length;
      if (position > 0) json += ',';
      json += position < static_cast<int>(quoted.size()) ? quoted[static_cast<size_t>(position)]
                                                         : std::string("\"\"");
      json += ':';
      AppendJsonString(utf8, &json);
    }
    if (hitTails != nullptr && static_cast<size_t>(record) < hitTails->size()) {
      json += (*hitTails)[static_cast<size_t>(record)];
    }
    json += '}';
  }
  json += ']';
  json += pageTail;
  json += '}';
  return json;
}
