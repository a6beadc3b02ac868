#include "core/query/text_query.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>

#include "core/query/query.h"
#include "core/records/field_info.h"
#include "core/text/text_clean.h"

namespace {

constexpr int kDefaultMaxTerms = 1000;

bool IsBlank(char byte) { return byte == ' ' || byte == '\t' || byte == '\r' || byte == '\n'; }

bool IsLead(char byte) { return static_cast<unsigned char>(byte) >= 0x81; }

// Ends a word: a blank or one of the operator characters.
bool EndsWord(char byte) {
  return IsBlank(byte) || byte == '(' || byte == ')' || byte == '"' || byte == '|';
}

bool IsNameByte(char byte, bool first) {
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || byte == '_' ||
         byte == '*' || (!first && ((byte >= '0' && byte <= '9') || byte == '.'));
}

// A decimal integer, optionally signed, within +-10^15.
bool ReadInteger(const std::string& text, int64_t* number) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  if (i == text.size() || text.size() - i > 15) return false;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  *number = negative ? -value : value;
  return true;
}

// Reads "a..b", ">=a", ">a", "<=a", "<a" or "a" into the term's bounds.
bool ReadRange(const std::string& text, tTextNode* term) {
  int64_t a = 0;
  int64_t b = 0;
  const size_t dots = text.find("..");
  if (dots != std::string::npos) {
    if (!ReadInteger(text.substr(0, dots), &a) || !ReadInteger(text.substr(dots + 2), &b)) {
      return false;
    }
    term->low = a;
    term->high = b;
  } else if (text.rfind(">=", 0) == 0 && ReadInteger(text.substr(2), &a)) {
    term->low = a;
    term->high = INT64_MAX;
  } else if (text.rfind("<=", 0) == 0 && ReadInteger(text.substr(2), &a)) {
    term->low = INT64_MIN;
    term->high = a;
  } else if (text.rfind('>', 0) == 0 && ReadInteger(text.substr(1), &a)) {
    term->low = a + 1;
    term->high = INT64_MAX;
  } else if (text.rfind('<', 0) == 0 && ReadInteger(text.substr(1), &a)) {
    term->low = INT64_MIN;
    term->high = a - 1;
  } else if (ReadInteger(text, &a)) {
    term->low = term->high = a;
  } else {
    return false;
  }
  term->isRange = true;
  return true;
}

class CTextParser {
 public:
  CTextParser(const std::string& text, int maxTerms) : m_text(text), m_maxTerms(maxTerms) {}

  tTextParse Run() {
    tTextParse parse;
    tTextNode root;
    if (Group(0, &root)) {
      if (m_at < m_text.size()) Fail("')' without a matching '('", m_at);
    }
    parse.ok = m_error.empty();
    if (parse.ok) parse.root = std::move(root);
    parse.error = m_error;
    parse.position = m_errorAt;
    parse.terms = m_terms;
    return parse;
  }

 private:
  bool Fail(const std::string& message, size_t at) { return FailAt(message, Where(at)); }
  // `position` in characters.
  bool FailAt(const std::string& message, size_t position) {
    if (m_error.empty()) {
      m_error = message;
      m_errorAt = position;
    }
    return false;
  }
  // The character position of byte `at` (a two-byte character counts one). Positions are
  // asked for mostly in ascending order, so the count goes on from the last one asked.
  size_t Where(size_t at) const {
    at = std::min(at, m_text.size());
    if (at < m_whereByte) m_whereByte = m_whereCharacter = 0;
    while (m_whereByte < at) {
      m_whereByte = Next(m_whereByte);
      ++m_whereCharacter;
    }
    return m_whereCharacter;
  }
  bool AtEnd() const { return m_at >= m_text.size(); }
  char Peek() const { return AtEnd() ? '\0' : m_text[m_at]; }
  void SkipBlanks() {
    while (!AtEnd() && IsBlank(m_text[m_at])) ++m_at;
  }
  // The byte after the character at `at`.
  size_t Next(size_t at) const {
    return IsLead(m_text[at]) && at + 1 < m_text.size() ? at + 2 : at + 1;
  }
  // True when an "OR" word starts at the cursor.
  bool AtOrWord() const {
    if (m_text.compare(m_at, 2, "OR") != 0) return false;
    return m_at + 2 >= m_text.size() || IsBlank(m_text[m_at + 2]) || m_text[m_at + 2] == '(' ||
           m_text[m_at + 2] == '"';
  }

  // Members separated by blanks, up to the end or a ')'. A group of one member is that
  // member (parsed straight into *node: most texts are one word).
  bool Group(int depth, tTextNode* node) {
    const size_t start = Where(m_at);
    bool positive = false;
    size_t members = 0;
    size_t firstPosition = 0;
    for (;;) {
      SkipBlanks();
      if (AtEnd() || Peek() == ')') break;
      if (members == 1) {  // a second member: the first moves into the group's list
        tTextNode first = std::move(*node);
        *node = tTextNode();
        node->kind = TextNodeKind::kAll;
        node->position = start;
        node->children.push_back(std::move(first));
      }
      tTextNode* member = node;
      if (members >= 1) member = &node->children.emplace_back();
      if (!Alternatives(depth, member)) return false;
      if (members == 0) firstPosition = member->position;
      positive = positive || member->kind != TextNodeKind::kNot;
      ++members;
    }
    if (members == 0) {
      return Fail(AtEnd() && depth == 0 ? "the query is empty" : "empty parentheses", m_at);
    }
    if (!positive) {
      return FailAt("a query of exclusions only finds nothing: add a word that must hold",
                    firstPosition);
    }
    return true;
  }
  // Members joined by OR or '|'.
  bool Alternatives(int depth, tTextNode* node) {
    tTextNode first;
    if (!Unary(depth, &first)) return false;
    for (;;) {
      const size_t save = m_at;
      SkipBlanks();
      const size_t op = m_at;
      if (Peek() == '|') {
        ++m_at;
      } else if (AtOrWord()) {
        m_at += 2;
      } else {
        m_at = save;
        break;
      }
      SkipBlanks();
      if (AtEnd() || Peek() == ')' || Peek() == '|' || AtOrWord()) {
        return Fail("OR needs a word on each side", op);
      }
      tTextNode next;
      if (!Unary(depth, &next)) return false;
      if (node->kind != TextNodeKind::kAny) {
        if (first.kind == TextNodeKind::kNot) {
          return FailAt("an exclusion cannot be an alternative of OR", first.position);
        }
        node->kind = TextNodeKind::kAny;
        node->position = first.position;
        node->children.push_back(std::move(first));
      }
      if (next.kind == TextNodeKind::kNot) {
        return FailAt("an exclusion cannot be an alternative of OR", next.position);
      }
      node->children.push_back(std::move(next));
    }
    if (node->kind != TextNodeKind::kAny) *node = std::move(first);
    return true;
  }

  bool Unary(int depth, tTextNode* node) {
    if (Peek() == '-') {
      const size_t at = m_at;
      ++m_at;
      if (AtEnd() || IsBlank(Peek()) || Peek() == ')' || Peek() == '|') {
        return Fail("'-' needs a word right after it", at);
      }
      if (Peek() == '-') return Fail("an exclusion of an exclusion", m_at);
      if (depth + 1 > kMaxTextDepth) return Fail("nested deeper than 32 levels", at);
      node->kind = TextNodeKind::kNot;
      node->position = Where(at);
      tTextNode child;
      if (!Primary(depth + 1, &child)) return false;
      node->children.push_back(std::move(child));
      return true;
    }
    return Primary(depth, node);
  }

  bool CountTerm(size_t at) {
    if (++m_terms > m_maxTerms) {
      return Fail("the query has more than " + std::to_string(m_maxTerms) + " words", at);
    }
    return true;
  }

  // A quoted phrase at the cursor (on '"').
  bool Phrase(tTextNode* node) {
    const size_t open = m_at;
    size_t i = m_at + 1;
    while (i < m_text.size() && m_text[i] != '"') i = Next(i);
    if (i >= m_text.size()) return Fail("a '\"' without its closing '\"'", open);
    node->value = m_text.substr(open + 1, i - open - 1);
    node->quoted = true;
    m_at = i + 1;
    if (node->value.find_first_not_of(" \t\r\n") == std::string::npos) {
      return Fail("an empty phrase", open);
    }
    return true;
  }

  bool Primary(int depth, tTextNode* node) {
    const size_t at = m_at;
    const char c = Peek();
    if (c == '(') {
      if (depth + 1 > kMaxTextDepth) return Fail("nested deeper than 32 levels", at);
      ++m_at;
      if (!Group(depth + 1, node)) return false;
      if (Peek() != ')') return Fail("a '(' without its closing ')'", at);
      ++m_at;
      return true;
    }
    if (c == ')') return Fail("')' without a matching '('", at);
    if (c == '|' || AtOrWord()) return Fail("OR needs a word on each side", at);
    node->kind = TextNodeKind::kTerm;
    node->position = Where(at);
    if (!CountTerm(at)) return false;
    if (c == '"') return Phrase(node);
    size_t end = m_at;
    while (end < m_text.size() && !EndsWord(m_text[end])) end = Next(end);
    size_t colon = m_at;
    while (colon < end && IsNameByte(m_text[colon], colon == m_at)) ++colon;
    if (colon > m_at && colon < m_text.size() && m_text[colon] == ':') {
      node->field = m_text.substr(m_at, colon - m_at);
      m_at = colon + 1;
      if (Peek() == '"') return Phrase(node);
      if (m_at >= end) return Fail("'" + node->field + ":' needs a word or a phrase after it", at);
      node->value = m_text.substr(m_at, end - m_at);
      m_at = end;
      const bool comparison = node->value.find("..") != std::string::npos ||
                              node->value[0] == '<' || node->value[0] == '>';
      if (!ReadRange(node->value, node) && comparison) {
        return Fail("a range is a..b, >=a, >a, <=a or <a with integers a and b", at);
      }
      if (node->isRange && node->low > node->high && comparison) {
        return Fail("the range is empty", at);
      }
      return true;
    }
    node->value = m_text.substr(m_at, end - m_at);
    m_at = end;
    return true;
  }

  const std::string& m_text;
  const int m_maxTerms;
  mutable size_t m_whereByte = 0;  // Where: the last byte asked for and its character
  mutable size_t m_whereCharacter = 0;
  size_t m_at = 0;
  int m_terms = 0;
  std::string m_error;
  size_t m_errorAt = 0;
};

void Describe(const tTextNode& node, std::string* out) {
  switch (node.kind) {
    case TextNodeKind::kAll:
    case TextNodeKind::kAny:
    case TextNodeKind::kNot:
      *out += node.kind == TextNodeKind::kAll   ? "(and"
              : node.kind == TextNodeKind::kAny ? "(or"
                                                : "(not";
      for (const tTextNode& child : node.children) {
        *out += ' ';
        Describe(child, out);
      }
      *out += ')';
      return;
    case TextNodeKind::kTerm:
      if (!node.field.empty()) *out += node.field + ":";
      if (node.isRange && node.low != node.high) {
        *out += "[" + (node.low == INT64_MIN ? std::string() : std::to_string(node.low)) + ".." +
                (node.high == INT64_MAX ? std::string() : std::to_string(node.high)) + "]";
      } else if (node.quoted) {
        *out += "\"" + node.value + "\"";
      } else {
        *out += node.value;
      }
      return;
  }
}

// A record set and whether it restricts anything.
struct tSet {
  bool restricts = false;
  std::vector<int32_t> records;
};

class CTextEvaluator {
 public:
  CTextEvaluator(const std::string& defaultField, const CFieldInfo& schema, CQuery* engine,
                 tTextEvaluation* evaluation)
      : m_defaultField(defaultField),
        m_schema(schema),
        m_engine(engine),
        m_out(evaluation),
        m_recordCount(engine->GetRecordCount()) {}

  bool Run(const tTextNode& root) {
    if (root.kind == TextNodeKind::kTerm) {
      m_sole = true;
      tSet sole;
      sole.records = Take();
      const bool ok = Term(root, true, &sole);
      if (ok && !m_soleApplied) {
        // A range: its records are the hits.
        if (!sole.restricts) sole.records.clear();
        m_engine->FinishSets(sole.records, {}, false);
      }
      Give(&sole.records);
      return ok;
    }
    tSet set;
    set.records = Take();
    if (!Evaluate(root, true, &set)) {
      Give(&set.records);
      return false;
    }
    std::vector<tCondition> positive;
    for (auto& [field, values] : m_positive) {
      tCondition condition;
      condition.field = field;
      condition.values = std::move(values);
      condition.kind = ConditionKind::kIndexed;
      positive.push_back(std::move(condition));
    }
    if (!set.restricts) set.records.clear();
    m_engine->FinishSets(set.records, std::move(positive), false);
    Give(&set.records);
    return true;
  }

 private:
  bool Fail(const std::string& message, size_t position) {
    m_out->error = message;
    m_out->position = position;
    return false;
  }

  bool Term(const tTextNode& node, bool positive, tSet* set) {
    const std::string& name = node.field.empty() ? m_defaultField : node.field;
    const int field = m_schema.FindField(name.c_str());
    if (field < 0) return Fail("no field has the index name " + name, node.position);
    const tFIELD_ENTRY& entry = m_schema.GetField(field);
    if (entry.isIndexed) {
      const bool comparison =
          node.isRange && (node.low != node.high || node.value[0] == '>' || node.value[0] == '<');
      if (comparison) {
        return Fail(name + " is no filter field: ranges apply to filter fields", node.position);
      }
      std::string value = node.value;
      NormalizeText(&value[0]);
      value.resize(std::strlen(value.c_str()));
      if (m_sole) {
        // The whole query: straight into the engine's hits, as the selector syntax does it.
        m_soleApplied = true;
        set->restricts = m_engine->ApplySoleValue(field, value);
      } else {
        set->restricts = m_engine->ValueRecords(field, value, &set->records);
      }
      if (!set->restricts && !m_engine->SetsStopped()) {
        m_out->unrestricting.emplace_back(node.position, node.value);
      }
      if (positive && set->restricts) m_positive[field].push_back(value);
      return true;
    }
    if (entry.isFilter) {
      if (!node.isRange) {
        return Fail(name + " is a filter field: give an integer, a range a..b or a comparison",
                    node.position);
      }
      set->records = m_engine->RangeRecords(field, node.low, node.high);
      set->restricts = true;
      return true;
    }
    return Fail(name + " is neither indexed nor a filter field", node.position);
  }

  // Record lists come from a pool kept by the thread, so that their storage serves one
  // query after another.
  static std::vector<std::vector<int32_t>>& Pool() {
    thread_local std::vector<std::vector<int32_t>> pool;
    return pool;
  }
  static std::vector<int32_t> Take() {
    std::vector<std::vector<int32_t>>& pool = Pool();
    if (pool.empty()) return {};
    std::vector<int32_t> list = std::move(pool.back());
    pool.pop_back();
    list.clear();
    return list;
  }
  static void Give(std::vector<int32_t>* list) {
    constexpr size_t kPoolSize = 16;
    constexpr size_t kLargestKept = size_t{1} << 22;  // records; larger lists are freed
    std::vector<std::vector<int32_t>>& pool = Pool();
    if (pool.size() < kPoolSize && list->capacity() <= kLargestKept) {
      pool.push_back(std::move(*list));
    }
    *list = std::vector<int32_t>();
  }
  // The three operations over ascending record lists, *into = *into op other (a union
  // through the scratch list). A union merges. For the others, which list holds the next
  // record is as good as random, so a merge would mispredict a branch for about every other
  // record; instead `other` is marked in a bitmap of the records (kept by the thread, zero
  // between uses) and *into is filtered against it without branches.
  enum class Op { kUnion, kIntersection, kDifference };
  void Combine(std::vector<int32_t>* into, const std::vector<int32_t>& other,
               std::vector<int32_t>* scratch, Op op) const {
    const size_t na = into->size();
    const size_t nb = other.size();
    const size_t words = (static_cast<size_t>(std::max(m_recordCount, 0)) + 63) / 64;
    if (op == Op::kUnion) {
      scratch->resize(na + nb);
      const auto end =
          std::set_union(into->begin(), into->end(), other.begin(), other.end(), scratch->begin());
      scratch->resize(static_cast<size_t>(end - scratch->begin()));
      into->swap(*scratch);
      return;
    }
    thread_local std::vector<uint64_t> bits;
    if (bits.size() < words) bits.resize(words, 0);
    uint64_t* map = bits.data();
    const auto inMap = [words](int32_t record) {
      return record >= 0 && static_cast<size_t>(record) / 64 < words;
    };
    for (const int32_t record : other) {
      if (inMap(record)) map[record / 64] |= uint64_t{1} << (record % 64);
    }
    const uint64_t keepMarked = op == Op::kIntersection ? 1 : 0;
    int32_t* out = into->data();
    size_t k = 0;
    for (const int32_t record : *into) {
      const uint64_t marked =
          inMap(record) ? (map[record / 64] >> (record % 64)) & uint64_t{1} : uint64_t{0};
      out[k] = record;
      k += static_cast<size_t>(marked == keepMarked);
    }
    into->resize(k);
    for (const int32_t record : other) {
      if (inMap(record)) map[record / 64] = 0;
    }
  }

  bool Evaluate(const tTextNode& node, bool positive, tSet* set) {
    set->restricts = false;
    set->records.clear();
    if (m_engine->SetsStopped()) return true;
    if (node.kind == TextNodeKind::kTerm) return Term(node, positive, set);
    if (node.kind == TextNodeKind::kAny && AnyOfWordTerms(node, positive, set)) return true;
    tSet child;
    child.records = Take();
    std::vector<int32_t> scratch = Take();
    std::vector<int32_t> excluded = Take();
    bool anyExcluded = false;
    bool ok = true;
    // Members of an either-or, and what an exclusion excludes, are united; the members of a
    // group all hold, less every exclusion. In a group the members that are no exclusion
    // come first; once they restrict, a word term narrows the records found so far by a
    // lookup over just those records (as the selector syntax applies a second condition),
    // and so does an excluded word term.
    const bool group = node.kind == TextNodeKind::kAll;
    for (int pass = 0; pass < (group ? 2 : 1); ++pass) {
      for (const tTextNode& member : node.children) {
        const bool exclusion = member.kind == TextNodeKind::kNot;
        if (group && exclusion != (pass == 1)) continue;
        const tTextNode& term = exclusion ? member.children.front() : member;
        const bool keepsPositive = positive && !exclusion && node.kind != TextNodeKind::kNot;
        if (group && set->restricts && IsWordTerm(term) && FilterPays(term, set->records)) {
          FilterTerm(term, keepsPositive, !exclusion, &set->records);
          continue;
        }
        if (!EvaluateMember(term, keepsPositive, exclusion, set, &child, &scratch, &excluded,
                            &anyExcluded, node.kind)) {
          ok = false;
          break;
        }
      }
      if (!ok) break;
    }
    if (ok && set->restricts && anyExcluded)
      Combine(&set->records, excluded, &scratch, Op::kDifference);
    Give(&child.records);
    Give(&scratch);
    Give(&excluded);
    return ok;
  }

  // Evaluates one member on its own and combines it into *set (or, excluded, into *excluded).
  bool EvaluateMember(const tTextNode& term, bool keepsPositive, bool exclusion, tSet* set,
                      tSet* child, std::vector<int32_t>* scratch, std::vector<int32_t>* excluded,
                      bool* anyExcluded, TextNodeKind kind) {
    {
      if (!Evaluate(term, keepsPositive, child)) {
        return false;
      }
      if (!child->restricts) return true;
      if (exclusion) {
        if (*anyExcluded) {
          Combine(excluded, child->records, scratch, Op::kUnion);
        } else {
          excluded->swap(child->records);
        }
        *anyExcluded = true;
      } else if (!set->restricts) {
        set->records.swap(child->records);
        set->restricts = true;
      } else if (kind == TextNodeKind::kAll) {
        Combine(&set->records, child->records, scratch, Op::kIntersection);
      } else {
        Combine(&set->records, child->records, scratch, Op::kUnion);
      }
    }
    return true;
  }

  // A term that names an indexed field (a word or phrase, no range); other terms, and names
  // that fail, take the general path (which reports them).
  int WordTermField(const tTextNode& node) const {
    if (node.kind != TextNodeKind::kTerm) return -1;
    const std::string& name = node.field.empty() ? m_defaultField : node.field;
    const int field = m_schema.FindField(name.c_str());
    if (field < 0 || !m_schema.GetField(field).isIndexed) return -1;
    if (node.isRange && (node.low != node.high || node.value[0] == '>' || node.value[0] == '<')) {
      return -1;
    }
    return field;
  }
  bool IsWordTerm(const tTextNode& node) const { return WordTermField(node) >= 0; }

  // An either-or of word terms that are one dictionary word each, read from the postings in
  // one pass (CQuery::AnyOfWords); false when it is not such an either-or.
  bool AnyOfWordTerms(const tTextNode& node, bool positive, tSet* set) {
    std::vector<std::pair<int, std::string>> values;
    for (const tTextNode& member : node.children) {
      const int field = WordTermField(member);
      if (field < 0) return false;
      std::string value = member.value;
      NormalizeText(&value[0]);
      value.resize(std::strlen(value.c_str()));
      values.emplace_back(field, std::move(value));
    }
    std::vector<char> restricting;
    if (!m_engine->AnyOfWords(values, &set->records, &restricting)) return false;
    for (size_t i = 0; i < values.size(); ++i) {
      if (restricting[i] == 0) {
        m_out->unrestricting.emplace_back(node.children[i].position, node.children[i].value);
      } else {
        set->restricts = true;
        if (positive) m_positive[values[i].first].push_back(values[i].second);
      }
    }
    if (!set->restricts) set->records.clear();
    return true;
  }

  // Whether narrowing `records` by a lookup over them beats a lookup of the whole term: a
  // narrowing looks every record up in the term's postings, a whole lookup walks them once.
  bool FilterPays(const tTextNode& node, const std::vector<int32_t>& records) const {
    std::string value = node.value;
    NormalizeText(&value[0]);
    value.resize(std::strlen(value.c_str()));
    const int64_t postings = m_engine->ValuePostings(WordTermField(node), value);
    return postings < 0 || static_cast<int64_t>(records.size()) * 4 < postings;
  }

  // Narrows *records to those that hold the word term (keepHolding) or those that do not.
  void FilterTerm(const tTextNode& node, bool positive, bool keepHolding,
                  std::vector<int32_t>* records) {
    const int field = WordTermField(node);
    std::string value = node.value;
    NormalizeText(&value[0]);
    value.resize(std::strlen(value.c_str()));
    const bool restricts = m_engine->FilterRecords(field, value, keepHolding, records);
    if (!restricts && !m_engine->SetsStopped()) {
      m_out->unrestricting.emplace_back(node.position, node.value);
    }
    if (positive && restricts) m_positive[field].push_back(value);
  }

  const std::string& m_defaultField;
  const CFieldInfo& m_schema;
  CQuery* m_engine;
  tTextEvaluation* m_out;
  const int32_t m_recordCount;
  bool m_sole = false;  // the term being evaluated is the whole query
  bool m_soleApplied = false;
  std::map<int, std::vector<std::string>> m_positive;
};

}  // namespace

tTextParse ParseTextQuery(const std::string& gbk, int maxTerms) {
  // A NUL ends the text, as it ends a query of the binary port.
  const std::string text(gbk.c_str());
  CTextParser parser(text, maxTerms > 0 ? maxTerms : kDefaultMaxTerms);
  return parser.Run();
}

std::string DescribeTextTree(const tTextNode& node) {
  std::string out;
  Describe(node, &out);
  return out;
}

bool EvaluateTextQuery(const tTextNode& root, const std::string& defaultField,
                       const CFieldInfo& schema, CQuery* engine, tTextEvaluation* evaluation) {
  engine->BeginSets();
  CTextEvaluator evaluator(defaultField, schema, engine, evaluation);
  return evaluator.Run(root);
}
