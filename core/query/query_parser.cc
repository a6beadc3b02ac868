#include "core/query/query_parser.h"

#include <algorithm>
#include <cstring>

#include "core/records/field_info.h"
#include "core/text/text_clean.h"
#include "core/util/daily_log.h"
#include "core/util/log_text.h"

namespace {

const char kKeyword[] = "[FIELD]";
constexpr size_t kKeywordLength = sizeof(kKeyword) - 1;
const char kDelimiters[] = "\r\t\n ";
constexpr int kMaxLoggedSelectors = 10;

bool IsDelimiter(char byte, const char* delimiters) {
  return byte != '\0' && std::strchr(delimiters, byte) != nullptr;
}

char LowerAscii(char byte) {
  return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte + 32) : byte;
}

int FindCondition(const std::vector<tCondition>& conditions, int field) {
  for (size_t i = 0; i < conditions.size(); ++i) {
    if (conditions[i].field == field) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace

CQueryParser::CQueryParser(const CFieldInfo& schema) : m_schema(schema) {}

CQueryParser::~CQueryParser() = default;

bool CQueryParser::NextToken(size_t start, size_t limit, const char* delimiters, size_t* tokenStart,
                             size_t* tokenLength) {
  if (start != std::string::npos) m_cursor = start;
  if (limit != std::string::npos) {
    m_limit = limit;
  } else if (start != std::string::npos) {
    m_limit = m_text.size();
  }
  m_limit = std::min(m_limit, m_text.size());
  if (m_cursor >= m_limit) return false;
  while (m_cursor < m_limit && IsDelimiter(m_text[m_cursor], delimiters)) ++m_cursor;
  if (m_cursor >= m_limit || m_text[m_cursor] == '\0') return false;
  size_t end = m_cursor;
  while (end < m_limit && m_text[end] != '\0' && !IsDelimiter(m_text[end], delimiters)) ++end;
  *tokenStart = m_cursor;
  *tokenLength = end - m_cursor;
  m_cursor = std::min(end + 1, m_limit);
  return true;
}

void CQueryParser::LogFailedSelector(const std::string& name, const char* message,
                                     tParsedQuery* parsed) {
  ++parsed->failedSelectors;  // counted against maxWords too
  if (parsed->failedSelectors <= kMaxLoggedSelectors) {
    WriteLog((name.empty() ? std::string() : LoggedQuery(name)) + message);
  } else if (parsed->failedSelectors == kMaxLoggedSelectors + 1) {
    WriteLog("... further failing selectors of this query are not logged");
  }
}

int CQueryParser::Parse(const std::string& text, tParsedQuery* parsed) {
  *parsed = tParsedQuery();
  std::vector<tCondition>& conditions = parsed->conditions;
  m_unknownSeen.clear();
  m_text.assign(text.c_str());  // a NUL ends the query
  m_cursor = m_limit = 0;
  size_t keyword = m_text.find(kKeyword);
  while (keyword != std::string::npos) {
    const size_t fieldPart = keyword + kKeywordLength;
    const size_t open = m_text.find('[', fieldPart);
    if (open == std::string::npos) return 0;
    size_t tokenStart = 0;
    size_t tokenLength = 0;
    if (!NextToken(fieldPart, open, kDelimiters, &tokenStart, &tokenLength)) {
      LogFailedSelector(std::string(), "非法的字段名!", parsed);
      keyword = m_text.find(kKeyword, open);
      continue;
    }
    const std::string name = m_text.substr(tokenStart, tokenLength);
    const int field = m_schema.FindField(name.c_str());
    if (field == -1) {
      LogFailedSelector(name, "非法的字段名!", parsed);
      if (m_unknownSeen.insert(name).second) parsed->unknownFields.push_back(name);
      keyword = m_text.find(kKeyword, open);
      continue;
    }
    const tFIELD_ENTRY& entry = m_schema.GetField(field);
    const ConditionKind kind = entry.isIndexed  ? ConditionKind::kIndexed
                               : entry.isFilter ? ConditionKind::kFilter
                                                : ConditionKind::kNeither;
    const OperatorWord orFlag = open + 2 < m_text.size() && LowerAscii(m_text[open + 1]) == 'o' &&
                                        LowerAscii(m_text[open + 2]) == 'r'
                                    ? OperatorWord::kOr
                                    : OperatorWord::kAnd;
    const int existing = FindCondition(conditions, field);
    const size_t close = m_text.find(']', open + 1);
    if (close == std::string::npos) {
      LogFailedSelector(name, "非法的属性值!", parsed);
      keyword = m_text.find(kKeyword, open);
      continue;
    }
    const size_t next = m_text.find(kKeyword, close + 1);
    std::vector<std::string> values;
    size_t from = close + 1;
    size_t limit = next == std::string::npos ? m_text.size() : next;
    while (NextToken(from, limit, kDelimiters, &tokenStart, &tokenLength)) {
      from = limit = std::string::npos;  // go on where the last token ended
      std::string value = m_text.substr(tokenStart, tokenLength);
      NormalizeText(&value[0]);
      value.resize(std::strlen(value.c_str()));
      values.push_back(std::move(value));
    }
    if (existing == -1) {
      tCondition condition;
      condition.field = field;
      condition.values = std::move(values);
      condition.kind = kind;
      condition.orFlag = orFlag;
      conditions.push_back(std::move(condition));
    } else {
      std::vector<std::string>& merged = conditions[static_cast<size_t>(existing)].values;
      for (std::string& value : values) merged.push_back(std::move(value));
    }
    keyword = next;
  }
  return 1;
}

int ParseQuery(const CFieldInfo& schema, const std::string& text, tParsedQuery* parsed) {
  CQueryParser parser(schema);
  return parser.Parse(text, parsed);
}

bool OverWordLimit(const tParsedQuery& parsed, int maxWords) {
  if (maxWords <= 0) return false;
  const size_t limit = static_cast<size_t>(maxWords);
  // A selector that fails (naming no field, say) is skipped, yet it was parsed: it counts as a
  // condition.
  if (parsed.conditions.size() + static_cast<size_t>(parsed.failedSelectors) > limit) return true;
  size_t values = 0;
  for (const tCondition& condition : parsed.conditions) values += condition.values.size();
  return values > limit;
}
