// CQueryParser: the parse of the query language (core/query/query.h describes it) over the
// schema alone: the text becomes conditions, the index names that name no field and the count
// of selectors that failed. Nothing of a data set is read, so a broker that holds only the
// schema parses a query as a server over the data set does. Failing selectors are skipped
// with a line in the daily log ("<name>非法的字段名!" / "<name>非法的属性值!"), the first few of
// one text only.
//
// Ownership: the schema is borrowed and must outlive the parser. Thread safety: one parser
// per thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

class CFieldInfo;

// What a condition's field is; the numbers are the kinds the query language describes.
enum class ConditionKind : int32_t { kNeither = 0, kIndexed = 1, kFilter = 2 };
// The operator word of a selector: kOr when it begins with "OR" (any case). An indexed
// condition under kOr holds when any one of its values holds; filter values always read so.
enum class OperatorWord : int32_t { kAnd = 0, kOr = 1 };

// One parsed condition.
struct tCondition {
  int32_t field = 0;                // field number (0 = "*")
  std::vector<std::string> values;  // normalised values, in query order
  ConditionKind kind = ConditionKind::kNeither;
  OperatorWord orFlag = OperatorWord::kAnd;
};

// What one text parses to.
struct tParsedQuery {
  std::vector<tCondition> conditions;
  // The index names that name no field, in query order without repeats.
  std::vector<std::string> unknownFields;
  int failedSelectors = 0;  // skipped selectors, each counted as a condition against maxWords
};

class CQueryParser {
 public:
  explicit CQueryParser(const CFieldInfo& schema);
  virtual ~CQueryParser();
  CQueryParser(const CQueryParser&) = delete;
  CQueryParser& operator=(const CQueryParser&) = delete;

  // Fills *parsed (replaced) from `text` (a NUL ends it); returns 1, or 0 when a selector has
  // no "[" after its keyword (the conditions before it stand).
  int Parse(const std::string& text, tParsedQuery* parsed);

  // The tokenizer over the text given to Parse. With `start` given, the cursor moves there
  // and the limit becomes `limit` (or the end of the text when `limit` is npos); with
  // `start` npos the scan goes on where it stopped. Returns false when no token is left;
  // otherwise the token is text[*tokenStart, *tokenStart + *tokenLength), never empty, never
  // reaching the limit.
  bool NextToken(size_t start, size_t limit, const char* delimiters, size_t* tokenStart,
                 size_t* tokenLength);

 private:
  // Counts a selector that fails to parse and logs it (its field name, when it has one, then
  // `message`); only the first few of one text are logged.
  void LogFailedSelector(const std::string& name, const char* message, tParsedQuery* parsed);

  const CFieldInfo& m_schema;
  std::string m_text;  // the private copy being parsed
  size_t m_cursor = 0;
  size_t m_limit = 0;
  std::unordered_set<std::string> m_unknownSeen;  // the members of unknownFields
};

// Parses `text` over `schema` alone (CQueryParser::Parse).
int ParseQuery(const CFieldInfo& schema, const std::string& text, tParsedQuery* parsed);

// Whether `parsed` holds more conditions (failed selectors counted) or more values of all its
// conditions together than `maxWords` allows (0: no bound).
bool OverWordLimit(const tParsedQuery& parsed, int maxWords);
