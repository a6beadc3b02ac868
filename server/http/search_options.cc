#include "server/http/search_options.h"

#include <algorithm>
#include <cstdint>
#include <nlohmann/json.hpp>

#include "core/query/facets.h"
#include "core/query/query.h"
#include "core/query/snippet.h"
#include "core/records/field_info.h"
#include "core/text/encoding.h"
#include "formats/json_page.h"
#include "server/search_data.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr int32_t kMaxSnippetLength = 10000;
constexpr int32_t kMaxFacetLimit = 100000;

bool IsSnippetField(const tFIELD_ENTRY& entry) {
  return entry.isStored && entry.type == FIELD_TYPE_T;
}

bool IsFacetField(const tFIELD_ENTRY& entry) { return entry.isFilter != 0; }

// The UTF-8 index names of the fields (from 1, or from 0 with "*") that `accept` takes.
template <typename Accept>
std::vector<std::string> FieldNames(const CFieldInfo& schema, int first, Accept accept) {
  std::vector<std::string> names;
  for (int field = first; field < schema.GetFieldCount(); ++field) {
    if (accept(schema.GetField(field)))
      names.push_back(GbkToUtf8(schema.GetField(field).indexName));
  }
  return names;
}

tHttpResponse FieldErrorAnswer(const std::string& message, const std::vector<std::string>& names) {
  tHttpResponse answer;
  answer.status = 400;
  Json body;
  body["error"] = message;
  body["fields"] = names;
  answer.body = body.dump(-1, ' ', false, Json::error_handler_t::replace);
  return answer;
}

std::string Listed(const std::vector<std::string>& names) {
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
  return list.empty() ? "none" : list;
}

// Resolves the comma-separated UTF-8 names of `argument` to field numbers that `accept`
// takes; false with the 400 answer naming `kind` otherwise.
template <typename Accept>
bool ResolveFields(const std::string& argument, const char* parameter, const char* kind,
                   const CFieldInfo& schema, Accept accept, std::vector<int>* fields,
                   tHttpResponse* error) {
  size_t from = 0;
  while (from <= argument.size()) {
    size_t comma = argument.find(',', from);
    if (comma == std::string::npos) comma = argument.size();
    const std::string name = argument.substr(from, comma - from);
    from = comma + 1;
    if (name.empty()) continue;
    std::string gbk;
    const int field = Utf8ToGbk(name.data(), name.size(), &gbk, ToGbk::kReject)
                          ? schema.FindField(gbk.c_str())
                          : -1;
    if (field <= 0 || !accept(schema.GetField(field))) {
      const std::vector<std::string> names = FieldNames(schema, 1, accept);
      *error = FieldErrorAnswer(
          std::string(parameter) + "=" + name + ": " +
              (field == -1 ? "no field has this name" : "not " + std::string(kind)) + "; " + kind +
              "s: " + Listed(names),
          names);
      return false;
    }
    if (std::find(fields->begin(), fields->end(), field) == fields->end()) fields->push_back(field);
  }
  return true;
}

bool ReadBounded(const std::optional<std::string>& text, const char* parameter, int32_t low,
                 int32_t high, int* value, tHttpResponse* error) {
  if (!text) return true;
  int32_t number = 0;
  if (!ParseInteger(*text, &number) || number < low || number > high) {
    *error = ErrorAnswer(400, std::string(parameter) + " must be a whole number from " +
                                  std::to_string(low) + " to " + std::to_string(high));
    return false;
  }
  *value = number;
  return true;
}

}  // namespace

bool ReadResultLimits(const tSearchParameters& parameters, tResultOptions* options,
                      tHttpResponse* error) {
  if (parameters.order) {
    if (*parameters.order == "desc") {
      options->descending = true;
    } else if (*parameters.order == "relevance") {
      options->relevance = true;
    } else if (*parameters.order != "asc") {
      *error = ErrorAnswer(400, "order must be asc, desc or relevance");
      return false;
    }
  }
  if (parameters.match) {
    if (*parameters.match == "words") {
      options->match = MatchChoice::kWords;
    } else if (*parameters.match == "contains") {
      options->match = MatchChoice::kContains;
    } else {
      *error = ErrorAnswer(400, "match must be words or contains");
      return false;
    }
  }
  return ReadBounded(parameters.snippetLength, "snippet_length", 1, kMaxSnippetLength,
                     &options->snippetLength, error) &&
         ReadBounded(parameters.facetLimit, "facet_limit", 1, kMaxFacetLimit, &options->facetLimit,
                     error);
}

bool ReadResultFields(const tSearchParameters& parameters, const CFieldInfo& schema,
                      tResultOptions* options, tHttpResponse* error) {
  if (parameters.snippet &&
      !ResolveFields(*parameters.snippet, "snippet", "a stored text field", schema, IsSnippetField,
                     &options->snippetFields, error)) {
    return false;
  }
  return !parameters.facet || ResolveFields(*parameters.facet, "facet", "a filter field", schema,
                                            IsFacetField, &options->facetFields, error);
}

tHttpResponse UnknownFieldAnswer(const std::vector<std::string>& gbkNames,
                                 const CFieldInfo& schema) {
  std::string unknown;
  for (const std::string& name : gbkNames) {
    unknown += (unknown.empty() ? "" : ", ") + GbkToUtf8(name);
  }
  const std::vector<std::string> names =
      FieldNames(schema, 0, [](const tFIELD_ENTRY&) { return true; });
  return FieldErrorAnswer((gbkNames.size() == 1 ? "no field is named " : "no fields are named ") +
                              unknown + "; fields: " + Listed(names),
                          names);
}

void AddSnippets(const CQuery& engine, const ResultPage& page, const CSearchData& data,
                 const tResultOptions& options, tJsonPageExtras* extras) {
  if (options.snippetFields.empty() || page.returned <= 0) return;
  const CFieldInfo& schema = data.schema();
  const CQueryPhrases phrases(schema, data.trie(), engine.GetConditions(),
                              engine.match() == MatchMode::kContains);
  CMatchFinder finder(data.trie());
  std::vector<tTextRange> matches;
  for (int field : options.snippetFields) {
    extras->snippetNames.push_back(GbkToUtf8(schema.GetField(field).indexName));
  }
  if (extras->hits.size() < static_cast<size_t>(page.returned)) {
    extras->hits.resize(static_cast<size_t>(page.returned));
  }
  for (int32_t i = 0; i < page.returned; ++i) {
    const int32_t record = engine.RecordAt(int64_t{page.start} + i, options.descending);
    std::vector<tJsonSnippet>& snippets = extras->hits[static_cast<size_t>(i)].snippets;
    snippets.resize(options.snippetFields.size());
    for (size_t f = 0; f < options.snippetFields.size(); ++f) {
      const int field = options.snippetFields[f];
      int length = 0;
      const char* text =
          record >= 0
              ? data.store().GetCell(record, schema.GetListPosition(field, LIST_STORED), &length)
              : nullptr;
      if (text == nullptr || length < 0) length = 0;
      finder.Find(text, length, phrases.ForField(field), options.snippetLength, &matches);
      ChooseExcerpt(text, length, matches, options.snippetLength, &snippets[f].excerpt);
      snippets[f].text = text;
    }
  }
}

std::vector<tJsonFacet> Facets(const CQuery& engine, const CSearchData& data,
                               const tResultOptions& options) {
  std::vector<tJsonFacet> facets;
  const CFieldInfo& schema = data.schema();
  for (int field : options.facetFields) {
    tJsonFacet& facet = facets.emplace_back();
    facet.name = GbkToUtf8(schema.GetField(field).indexName);
    for (const tFacetCount& count :
         CountFacet(data.store(), schema.GetListPosition(field, LIST_FILTER), engine.GetHits(),
                    options.facetLimit)) {
      facet.counts.push_back({count.value, count.count});
    }
  }
  return facets;
}

std::vector<std::string> SnippetFieldNames(const CFieldInfo& schema) {
  return FieldNames(schema, 1, IsSnippetField);
}

std::vector<std::string> FacetFieldNames(const CFieldInfo& schema) {
  return FieldNames(schema, 1, IsFacetField);
}
