#include "formats/json_page.h"

#include <charconv>
#include <cstdint>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "core/text/encoding.h"
#include "formats/snippet_html.h"

namespace {

using Json = nlohmann::ordered_json;

std::string Dump(const Json& json) {
  return json.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void AppendNumber(int64_t number, std::string* out) {
  char digits[24];
  const std::to_chars_result written = std::to_chars(digits, digits + sizeof digits, number);
  out->append(digits, static_cast<size_t>(written.ptr - digits));
}

// ',"match":...,"score":...,"snippets":{...},"marks":{...}' of one hit.
void AppendHitMembers(const tJsonHit& hit, const std::vector<std::string>& quotedNames,
                      std::string* json) {
  if (hit.match != HitMatch::kNotShown) {
    *json += hit.match == HitMatch::kWord ? ",\"match\":\"word\"" : ",\"match\":\"part\"";
  }
  if (hit.scored) {
    char score[48];
    std::snprintf(score, sizeof score, ",\"score\":%.6g", hit.score);
    *json += score;
  }
  if (hit.snippets.empty()) return;
  std::vector<std::pair<int32_t, int32_t>> marks;
  std::string marksJson = ",\"marks\":{";
  *json += ",\"snippets\":{";
  for (size_t f = 0; f < hit.snippets.size(); ++f) {
    const std::string& name = f < quotedNames.size() ? quotedNames[f] : std::string("\"\"");
    if (f > 0) {
      *json += ',';
      marksJson += ',';
    }
    *json += name;
    *json += ':';
    AppendExcerptJson(hit.snippets[f].text, hit.snippets[f].excerpt, json, &marks);
    marksJson += name;
    marksJson += ":[";
    for (size_t m = 0; m < marks.size(); ++m) {
      marksJson += m > 0 ? ",[" : "[";
      AppendNumber(marks[m].first, &marksJson);
      marksJson += ',';
      AppendNumber(marks[m].second, &marksJson);
      marksJson += ']';
    }
    marksJson += ']';
  }
  *json += '}';
  *json += marksJson;
  *json += '}';
}

Json ExplainValueJson(const tJsonExplainValue& value) {
  Json words = Json::array();
  for (const tJsonExplainValue::tWord& word : value.words) {
    Json one;
    one["word"] = word.word;
    one["number"] = word.number;
    words.push_back(std::move(one));
  }
  Json one;
  if (value.hasField) one["field"] = value.field;
  one["value"] = value.value;
  one["read_as"] = value.readAs;
  one["words"] = std::move(words);
  one["outside_words"] = value.outside;
  one["restricts"] = value.restricts;
  if (value.hasPosition) one["position"] = value.position;
  return one;
}

// The members after the hits: ',"facets":{...}', ',"warnings":[...]', ',"explain":{...}'.
void AppendPageMembers(const tJsonPageExtras& extras, std::string* json) {
  if (!extras.facets.empty()) {
    *json += ",\"facets\":{";
    for (size_t f = 0; f < extras.facets.size(); ++f) {
      if (f > 0) *json += ',';
      AppendJsonString(extras.facets[f].name, json);
      *json += ":[";
      const std::vector<tJsonFacet::tCount>& counts = extras.facets[f].counts;
      for (size_t i = 0; i < counts.size(); ++i) {
        *json += i > 0 ? ",{\"value\":" : "{\"value\":";
        AppendNumber(counts[i].value, json);
        *json += ",\"count\":";
        AppendNumber(counts[i].count, json);
        *json += '}';
      }
      *json += ']';
    }
    *json += '}';
  }
  if (!extras.warnings.empty()) *json += ",\"warnings\":" + Dump(Json(extras.warnings));
  if (!extras.explained) return;
  Json explain;
  explain["syntax"] = extras.explain.syntax;
  if (extras.explain.hasTree) explain["tree"] = extras.explain.tree;
  Json values = Json::array();
  for (const tJsonExplainValue& value : extras.explain.values) {
    values.push_back(ExplainValueJson(value));
  }
  explain["values"] = std::move(values);
  *json += ",\"explain\":" + Dump(explain);
}

}  // namespace

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
                           const tJsonPageExtras* extras, int cappedAt) {
  std::vector<std::string> quoted(names.size());
  for (size_t i = 0; i < names.size(); ++i) AppendJsonString(names[i], &quoted[i]);
  std::vector<std::string> quotedSnippetNames;
  if (extras != nullptr) {
    quotedSnippetNames.resize(extras->snippetNames.size());
    for (size_t i = 0; i < quotedSnippetNames.size(); ++i) {
      AppendJsonString(extras->snippetNames[i], &quotedSnippetNames[i]);
    }
  }
  std::string json;
  json.reserve(page.text.size() * 3 / 2 + 256);
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
    if (extras != nullptr && static_cast<size_t>(record) < extras->hits.size()) {
      AppendHitMembers(extras->hits[static_cast<size_t>(record)], quotedSnippetNames, &json);
    }
    json += '}';
  }
  json += ']';
  if (extras != nullptr) AppendPageMembers(*extras, &json);
  json += '}';
  return json;
}
