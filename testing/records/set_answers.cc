#include "testing/records/set_answers.h"

#include <cstdio>
#include <memory>

#include "core/query/facets.h"
#include "core/query/query.h"
#include "core/query/text_query.h"
#include "core/records/data_line_index.h"
#include "core/records/data_set_load.h"
#include "core/records/field_info.h"
#include "core/text/pdat.h"

namespace {

void AppendAnswer(const CDataLineIndex& store, int facetColumn, int total, CQuery* query,
                  std::string* answers) {
  answers->append(" = " + std::to_string(total) + "\n");
  for (bool descending : {false, true}) {
    const ResultPage& page = query->GetPage(0, total + 1, descending);
    answers->append(page.text + "|");
    for (int32_t length : page.valueLengths) answers->append(std::to_string(length) + ",");
    answers->append("\n");
  }
  for (const tFacetCount& count : CountFacet(store, facetColumn, query->GetHits(), 100)) {
    answers->append(std::to_string(count.value) + ":" + std::to_string(count.count) + " ");
  }
  if (query->RankByRelevance({})) {
    char score[32];
    for (int64_t i = 0; i < total; ++i) {
      std::snprintf(score, sizeof score, " %.12g ", query->ScoreAt(i));
      answers->append(query->GetPage(static_cast<int>(i), 1).text + score);
    }
  }
  answers->append("\n");
}

}  // namespace

std::string DataSetAnswers(const tDataSetPaths& paths, const std::vector<std::string>& queries,
                           const std::vector<std::string>& texts, int facetColumn) {
  tDATA_SET_CHECK check;
  if (!CheckDataSet(paths, &check)) return "check: " + check.message;
  CFieldInfo schema;
  CPDAT trie;
  if (!schema.LoadBinary(paths.schema.c_str()) || !trie.Load(paths.trie.c_str())) {
    return "cannot load the schema or the trie";
  }
  std::unique_ptr<CDataLineIndex> store = LoadDataSetStore(schema, &trie, paths.base, check);
  if (!store) return "cannot load " + paths.base;
  std::string answers = std::to_string(store->GetLiveRecordCount()) + " records\n";
  for (MatchMode match : {MatchMode::kWords, MatchMode::kContains}) {
    for (const std::string& text : queries) {
      CQuery query(schema, *store);
      query.SetMatch(match);
      const int total = query.Execute(text.c_str());
      answers += text;
      AppendAnswer(*store, facetColumn, total, &query, &answers);
    }
    for (const std::string& text : texts) {
      CQuery query(schema, *store);
      query.SetMatch(match);
      const tTextParse parse = ParseTextQuery(text);
      tTextEvaluation evaluation;
      answers += "text " + text;
      if (!parse.ok || !EvaluateTextQuery(parse.root, "*", schema, &query, &evaluation)) {
        answers += " refused\n";
        continue;
      }
      AppendAnswer(*store, facetColumn, static_cast<int>(query.GetHits().size()), &query, &answers);
    }
  }
  return answers;
}
